// The looper's transport: every command in every state, recording and playback with the edge
// fades and the playback ramp, loop length limits, and commands posted before the buffers exist.
#include "looper_rig.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace velto::test::loop {
namespace {

using A = LooperAction;
using S = LooperState;

constexpr uint32_t kLoop = 4800; // 100 ms

// Brings a fresh looper into `state`; the position reached is given in the comments.
void reach(Looper& looper, S state) {
  switch (state) {
  case S::empty:
    break;
  case S::recording: // position 1000
    looper.post(A::record);
    looper.run(noise(1000, 1));
    break;
  case S::playing: // loop of 4800, position 1000
    looper.record(noise(kLoop, 1));
    looper.runSilence(1000);
    break;
  case S::overdubbing: // position 2000
    reach(looper, S::playing);
    looper.post(A::overdub);
    looper.runSilence(1000);
    break;
  case S::stopped: // position 1000
    reach(looper, S::playing);
    looper.post(A::stop);
    looper.runSilence(64);
    break;
  }
}

struct Transition {
  S from;
  A action;
  S to;
  uint32_t position; // after one more 64-frame block
};

class LooperTransitions : public ::testing::TestWithParam<Transition> {};

TEST_P(LooperTransitions, OneCommandMovesTheLooperAsTheTableSays) {
  const Transition t = GetParam();
  Looper looper;
  reach(looper, t.from);
  ASSERT_EQ(looper.state(), t.from);
  looper.post(t.action);
  looper.runSilence(64);
  EXPECT_EQ(looper.state(), t.to);
  EXPECT_EQ(looper.position(), t.position);
  EXPECT_EQ(looper.bank->looperCommand.load(), 0u); // taken
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, LooperTransitions, ::testing::Values(
    Transition{S::empty, A::main, S::recording, 64},
    Transition{S::empty, A::record, S::recording, 64},
    Transition{S::empty, A::play, S::empty, 0},
    Transition{S::empty, A::overdub, S::empty, 0},
    Transition{S::empty, A::stop, S::empty, 0},
    Transition{S::empty, A::clear, S::empty, 0},
    Transition{S::empty, A::undo, S::empty, 0},
    Transition{S::recording, A::main, S::playing, 64},
    Transition{S::recording, A::record, S::recording, 1064},
    Transition{S::recording, A::play, S::playing, 64},
    Transition{S::recording, A::overdub, S::overdubbing, 64},
    Transition{S::recording, A::stop, S::stopped, 0},
    Transition{S::recording, A::clear, S::empty, 0},
    Transition{S::recording, A::undo, S::recording, 1064},
    Transition{S::playing, A::main, S::overdubbing, 1064},
    Transition{S::playing, A::record, S::overdubbing, 1064},
    Transition{S::playing, A::play, S::playing, 1064},
    Transition{S::playing, A::overdub, S::overdubbing, 1064},
    Transition{S::playing, A::stop, S::stopped, 1000},
    Transition{S::playing, A::clear, S::empty, 0},
    Transition{S::playing, A::undo, S::playing, 1064},
    Transition{S::overdubbing, A::main, S::playing, 2064},
    Transition{S::overdubbing, A::record, S::overdubbing, 2064},
    Transition{S::overdubbing, A::play, S::playing, 2064},
    Transition{S::overdubbing, A::overdub, S::overdubbing, 2064},
    Transition{S::overdubbing, A::stop, S::stopped, 2000},
    Transition{S::overdubbing, A::clear, S::empty, 0},
    Transition{S::overdubbing, A::undo, S::overdubbing, 2064},
    Transition{S::stopped, A::main, S::playing, 64},
    Transition{S::stopped, A::record, S::overdubbing, 64},
    Transition{S::stopped, A::play, S::playing, 64},
    Transition{S::stopped, A::overdub, S::stopped, 1000},
    Transition{S::stopped, A::stop, S::stopped, 1000},
    Transition{S::stopped, A::clear, S::empty, 0},
    Transition{S::stopped, A::undo, S::stopped, 1000}));
// clang-format on

TEST(LooperTransport, UnknownCommandWordsAreIgnored) {
  Looper looper;
  reach(looper, S::playing);
  for (uint32_t word : {8u, 99u, 0xffffffffu}) {
    looper.bank->looperCommand.store(word);
    looper.runSilence(64);
    EXPECT_EQ(looper.state(), S::playing) << word;
    EXPECT_EQ(looper.bank->looperCommand.load(), 0u);
  }
}

TEST(LooperTransport, RecordingPassesTheInputAndPlaysItBackWithEdgeFades) {
  Looper looper;
  looper.setLevelDb(-6.0f);
  const float g = std::pow(10.0f, -6.0f / 20.0f);
  const Stereo take = noise(kLoop, 7);
  looper.post(A::record);
  const Stereo during = looper.run(take);
  EXPECT_EQ(maxDiff(during, 0, take), 0.0f); // recording adds nothing
  EXPECT_EQ(looper.state(), S::recording);
  EXPECT_EQ(looper.position(), kLoop);
  EXPECT_EQ(looper.length(), 0u);

  looper.post(A::main);
  const Stereo out = looper.runSilence(3 * kLoop);
  EXPECT_EQ(looper.state(), S::playing);
  EXPECT_EQ(looper.length(), kLoop);
  EXPECT_EQ(looper.position(), 0u); // three whole passes
  const Stereo loop = closedLoop(take, kLoop);
  // First pass: the playback ramp rises over 240 frames, frame i at (i + 1)/240.
  Stereo ramped = mix(loop, g, loop, 0.0f);
  for (size_t i = 0; i < 240; ++i) {
    const float r = std::min(1.0f, static_cast<float>(i + 1) / 240.0f);
    ramped.left[i] *= r, ramped.right[i] *= r;
  }
  EXPECT_LT(maxDiff(out, 0, ramped), 1e-6f);
  EXPECT_LT(maxDiff(out, kLoop, mix(loop, g, loop, 0.0f)), 1e-6f);
  EXPECT_LT(maxDiff(out, 2 * kLoop, mix(loop, g, loop, 0.0f)), 1e-6f);
  // The loop's first and last frames are silent; the fades are exactly i/240.
  EXPECT_EQ(out.left[kLoop], 0.0f);
  EXPECT_EQ(out.right[2 * kLoop - 1], 0.0f);
  EXPECT_FLOAT_EQ(out.left[kLoop + 120], take.left[120] * 0.5f * g);
  EXPECT_FLOAT_EQ(out.right[2 * kLoop - 1 - 60], take.right[kLoop - 1 - 60] * 0.25f * g);
}

TEST(LooperTransport, ShortRecordingBecomesTheMinimumLoopOfSilencePaddedFrames) {
  Looper looper;
  // A loud minute-long loop with an overdub layer fills the buffers first.
  looper.record(noise(48000, 20, 0.9f));
  looper.post(A::overdub);
  looper.run(noise(48000, 21, 0.9f));
  looper.post(A::clear);
  looper.runSilence(64);
  EXPECT_EQ(looper.state(), S::empty);
  EXPECT_EQ(looper.length(), 0u);

  const Stereo take = noise(100, 22, 0.1f);
  looper.record(take);
  const Stereo out = looper.runSilence(4 * 480);
  EXPECT_EQ(looper.length(), 480u);
  const Stereo loop = closedLoop(take, 480);
  EXPECT_LT(maxDiff(out, 2 * 480, loop), 1e-7f);
  for (size_t pass = 1; pass < 4; ++pass) {
    for (size_t i = 100; i < 480; ++i) {
      ASSERT_EQ(out.left[pass * 480 + i], 0.0f) << "pass " << pass << " frame " << i;
      ASSERT_EQ(out.right[pass * 480 + i], 0.0f) << "pass " << pass << " frame " << i;
    }
  }
}

TEST(LooperTransport, RecordingThatFillsTheBufferClosesIntoASixtySecondLoop) {
  Looper looper;
  constexpr uint32_t kMax = InputFx::kLoopFrames;
  auto value = [](uint64_t i, int c) {
    return static_cast<float>(((i * 7919 + static_cast<uint64_t>(c) * 104729) % 2001) / 4000.0 -
                              0.25);
  };
  looper.post(A::record);
  const uint32_t callback = 128;
  std::vector<float> buffer(2 * callback);
  uint64_t frame = 0;
  float worstDuring = 0.0f;
  while (frame < kMax) {
    for (uint32_t i = 0; i < callback; ++i) {
      buffer[2 * i] = value(frame + i, 0), buffer[2 * i + 1] = value(frame + i, 1);
    }
    looper.bank->process(buffer.data(), callback);
    for (uint32_t i = 0; i < callback; ++i) {
      worstDuring = std::max(worstDuring, std::fabs(buffer[2 * i] - value(frame + i, 0)));
    }
    frame += callback;
  }
  EXPECT_EQ(worstDuring, 0.0f);
  EXPECT_EQ(looper.state(), S::playing); // closed by itself
  EXPECT_EQ(looper.length(), kMax);
  EXPECT_EQ(looper.position(), 0u);

  // Playback from frame 0 under silence: fade-in times the playback ramp.
  const Stereo out = looper.runSilence(480);
  for (size_t i : {0ul, 1ul, 100ul, 239ul, 240ul, 479ul}) {
    const float fade = std::min(1.0f, static_cast<float>(i) / 240.0f);
    const float ramp = std::min(1.0f, static_cast<float>(i + 1) / 240.0f);
    EXPECT_NEAR(out.left[i], value(i, 0) * fade * ramp, 1e-6f) << i;
  }
}

TEST(LooperTransport, CommandPostedBeforeTheBuffersExistWaitsForThem) {
  Looper looper(false);
  looper.post(A::record);
  const Stereo in = noise(640, 5);
  const Stereo out = looper.run(in);
  EXPECT_EQ(maxDiff(out, 0, in), 0.0f);
  EXPECT_EQ(looper.state(), S::empty);
  EXPECT_EQ(looper.bank->looperCommand.load(), static_cast<uint32_t>(A::record)); // pending

  looper.bank->ensureLooper();
  looper.run(in);
  EXPECT_EQ(looper.state(), S::recording);
  EXPECT_EQ(looper.position(), 640u);
}

TEST(LooperTransport, LaterCommandReplacesOneNotYetTaken) {
  Looper looper;
  looper.post(A::record);
  looper.post(A::play); // nothing to play in an empty looper
  looper.runSilence(64);
  EXPECT_EQ(looper.state(), S::empty);
}

TEST(LooperTransport, EnsureLooperAllocatesOnceAndKeepsTheLoop) {
  Looper looper;
  const float* base = looper.bank->looperBase.load();
  ASSERT_NE(base, nullptr);
  ASSERT_NE(looper.bank->looperLayerBuffer.load(), nullptr);
  ASSERT_NE(looper.bank->looperTags.load(), nullptr);
  looper.record(noise(kLoop, 9));
  looper.runSilence(kLoop);
  looper.bank->ensureLooper();
  EXPECT_EQ(looper.bank->looperBase.load(), base);
  EXPECT_EQ(looper.length(), kLoop);
  const Stereo out = looper.runSilence(kLoop);
  EXPECT_LT(maxDiff(out, 0, closedLoop(noise(kLoop, 9), kLoop)), 1e-6f);
}

TEST(LooperTransport, StopFadesThePlaybackOutAndHoldsThePosition) {
  Looper looper;
  looper.record(noise(kLoop, 12));
  looper.runSilence(1000);
  looper.post(A::stop);
  const Stereo out = looper.runSilence(1000);
  EXPECT_EQ(looper.position(), 1000u);
  for (size_t i = 240; i < 1000; ++i) ASSERT_EQ(out.left[i], 0.0f) << i; // faded out in 5 ms
  looper.post(A::play);
  const Stereo again = looper.runSilence(kLoop);
  EXPECT_EQ(looper.position(), 0u); // restarted from frame 0 and went once round
  EXPECT_LT(maxDiff(again, 240,
                    [&] {
                      Stereo loop = closedLoop(noise(kLoop, 12), kLoop);
                      loop.left.erase(loop.left.begin(), loop.left.begin() + 240);
                      loop.right.erase(loop.right.begin(), loop.right.begin() + 240);
                      return loop;
                    }()),
            1e-6f);
}

} // namespace
} // namespace velto::test::loop
