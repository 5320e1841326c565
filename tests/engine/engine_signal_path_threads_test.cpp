// End to end under the manual clock, sample for sample: a simulated microphone through a
// hardware input and a route to a hardware output (any channel layout on either side), gain
// ramps, mutes and meters on the way, a virtual output through the driver to "Velto Out 1", the
// system sound from a process playing to "Velto Input" through "Mac-Ton" and "Default", the
// internal strips paced by the driver's clock device, and the rings' backlog rule.
#include "engine/engine.h"

#include "core/denormals.h"
#include "engine_live_harness.h"
#include "platform/audio/layer/manual_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace velto {
namespace {

namespace audio = platform::audio;
using test::channelOf;
using test::firstSound;
using test::holdsCopy;
using test::numberedFrames;
using test::numberedSource;
using test::simInput;
using test::simOutput;

constexpr uint32_t kFrames = 128;
constexpr uint32_t kSignalFrames = 4096;

class EngineSignalPathThreads : public test::LiveEngineFixture {
protected:
  // A microphone on hardware input 1 and speakers on hardware output 1, routed.
  void micToSpeakers(std::vector<uint32_t> micLayout, uint32_t sourceChannels,
                     std::vector<uint32_t> speakerLayout) {
    startSystem();
    auto mic = simInput("Mikrofon", "mic", std::move(micLayout));
    mic.input = numberedSource(kSignalFrames, sourceChannels);
    ASSERT_NE(audio::addSimDevice(mic), 0u);
    ASSERT_NE(audio::addSimDevice(simOutput("Lautsprecher", "spk", std::move(speakerLayout))), 0u);
    startEngine();
    engine->setHwInputDevice(0, "mic");
    engine->setHwOutputDevice(0, "spk");
    engine->hwInputs[0].strip.routeMask.store(1);
  }
};

TEST_F(EngineSignalPathThreads, MicrophoneReachesOutputOneInEveryChannelLayout) {
  struct Case {
    const char* name;
    std::vector<uint32_t> mic;
    uint32_t sourceChannels;
    std::vector<uint32_t> speaker;
  };
  const Case cases[] = {
      {"stereo to stereo", {2}, 2, {2}},
      {"mono to stereo", {1}, 1, {2}},
      {"four channels to four channels", {4}, 4, {4}},
      {"one buffer per channel both sides", {1, 1}, 2, {1, 1}},
      {"stereo to mono", {2}, 2, {1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    micToSpeakers(c.mic, c.sourceChannels, c.speaker);
    ASSERT_TRUE(audio::runCycles(40));
    const audio::CapturedAudio played = audio::takeSimOutput("spk");
    const auto source = numberedFrames(kSignalFrames, c.sourceChannels);
    const auto left = channelOf(source, c.sourceChannels, 0);
    const auto right = c.sourceChannels > 1 ? channelOf(source, c.sourceChannels, 1) : left;

    const auto outLeft = played.channel(0);
    const int64_t delay = firstSound(outLeft);
    EXPECT_TRUE(holdsCopy(outLeft, left, delay, kSignalFrames));
    EXPECT_LE(delay, 2 * kFrames); // within the cycles of the two callbacks
    if (played.channels > 1) {
      EXPECT_TRUE(holdsCopy(played.channel(1), right, delay, kSignalFrames));
    }
    for (uint32_t ch = 2; ch < played.channels; ++ch) {
      const auto extra = played.channel(ch);
      EXPECT_TRUE(std::all_of(extra.begin(), extra.end(), [](float v) { return v == 0.0f; }))
          << "channel " << ch;
    }
    EXPECT_EQ(engine->buses[0].underruns.load(), 0u);
    engine.reset();
    system.reset();
  }
}

// The device callbacks run with denormals flushed: a microphone whose every other frame is
// denormal plays those frames as exact zeros and the others sample for sample.
TEST_F(EngineSignalPathThreads, DenormalFramesReachTheSpeakersAsZeros) {
  if (!denormals::kSupported) GTEST_SKIP() << "no flush mode on this processor";
  const float tiny = std::numeric_limits<float>::denorm_min() * 1024.0f;
  std::vector<float> fed = numberedFrames(kSignalFrames, 2);
  std::vector<float> expected = fed;
  for (uint32_t f = 1; f < kSignalFrames; f += 2) {
    fed[2 * f] = fed[2 * f + 1] = tiny;
    expected[2 * f] = expected[2 * f + 1] = 0.0f;
  }
  startSystem();
  auto mic = simInput("Mikrofon", "mic", {2});
  mic.input = audio::SignalSource::samples(fed, 2, false);
  ASSERT_NE(audio::addSimDevice(mic), 0u);
  ASSERT_NE(audio::addSimDevice(simOutput("Lautsprecher", "spk", {2})), 0u);
  startEngine();
  engine->setHwInputDevice(0, "mic");
  engine->setHwOutputDevice(0, "spk");
  engine->hwInputs[0].strip.routeMask.store(1);
  ASSERT_TRUE(audio::runCycles(40));
  const audio::CapturedAudio played = audio::takeSimOutput("spk");
  const auto left = played.channel(0);
  const int64_t delay = firstSound(left);
  ASSERT_GE(delay, 0);
  EXPECT_TRUE(holdsCopy(left, channelOf(expected, 2, 0), delay, kSignalFrames));
  EXPECT_TRUE(holdsCopy(played.channel(1), channelOf(expected, 2, 1), delay, kSignalFrames));
}

// The ratio of what was played to what was fed, per input frame.
std::vector<float> gainCurve(const std::vector<float>& played, const std::vector<float>& fed,
                             int64_t delay) {
  std::vector<float> g;
  for (size_t n = 0; n < fed.size() && delay + n < played.size(); ++n) {
    g.push_back(played[delay + n] / fed[n]);
  }
  return g;
}

// Where the curve leaves 1: that frame, which must start a block, then a linear ramp to
// `target` whose last frame is exact, then `target` for the rest.
::testing::AssertionResult rampsOnce(const std::vector<float>& g, float from, float target) {
  size_t start = 0;
  while (start < g.size() && std::fabs(g[start] - from) < 1e-6f) ++start;
  if (start + kFrames > g.size()) return ::testing::AssertionFailure() << "no ramp";
  if (start % kFrames != 0) {
    return ::testing::AssertionFailure() << "ramp starts inside a block at " << start;
  }
  for (uint32_t i = 0; i < kFrames; ++i) {
    const float expected = from + (target - from) * static_cast<float>(i + 1) / kFrames;
    if (std::fabs(g[start + i] - expected) > 1e-5f) {
      return ::testing::AssertionFailure()
             << "ramp frame " << i << ": " << g[start + i] << " instead of " << expected;
    }
  }
  for (size_t n = start + kFrames; n < g.size(); ++n) {
    if (std::fabs(g[n] - target) > 1e-6f) {
      return ::testing::AssertionFailure() << "frame " << n << " after the ramp: " << g[n];
    }
  }
  return ::testing::AssertionSuccess();
}

TEST_F(EngineSignalPathThreads, StripAndBusGainsRampWithinOneBlock) {
  struct Case {
    const char* name;
    bool bus;
    bool mute;
    float db;
  };
  const Case cases[] = {{"strip gain", false, false, -6.0f},
                        {"strip mute", false, true, 0.0f},
                        {"bus gain", true, false, 6.0f},
                        {"bus mute", true, true, 0.0f}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    micToSpeakers({2}, 2, {2});
    ASSERT_TRUE(audio::runCycles(9));
    std::atomic<float>& gain = c.bus ? engine->buses[0].gain : engine->hwInputs[0].strip.gain;
    std::atomic<bool>& mute = c.bus ? engine->buses[0].mute : engine->hwInputs[0].strip.mute;
    if (c.mute) {
      mute.store(true);
    } else {
      gain.store(dbToGain(c.db));
    }
    ASSERT_TRUE(audio::runCycles(31));
    const auto played = audio::takeSimOutput("spk").channel(0);
    const auto fed = channelOf(numberedFrames(kSignalFrames, 2), 2, 0);
    const int64_t delay = firstSound(played);
    ASSERT_GE(delay, 0);
    const float target = c.mute ? 0.0f : dbToGain(c.db);
    EXPECT_TRUE(rampsOnce(gainCurve(played, fed, delay), 1.0f, target));
    engine.reset();
    system.reset();
  }
}

TEST_F(EngineSignalPathThreads, MetersShowThePeakAfterGain) {
  micToSpeakers({2}, 2, {1});
  engine->hwInputs[0].strip.gain.store(0.5f);
  engine->hwInputs[0].strip.lastGain = 0.5f; // no ramp: the first block already at 0.5
  ASSERT_TRUE(audio::runCycles(40));
  const auto source = numberedFrames(kSignalFrames, 2);
  float peakLeft = 0.0f;
  float peakRight = 0.0f;
  for (uint32_t n = 0; n < kSignalFrames; ++n) {
    peakLeft = std::max(peakLeft, std::fabs(source[2 * n]));
    peakRight = std::max(peakRight, std::fabs(source[2 * n + 1]));
  }
  EXPECT_EQ(engine->hwInputs[0].strip.meter.takeLeft(), 0.5f * peakLeft);
  EXPECT_EQ(engine->hwInputs[0].strip.meter.takeRight(), 0.5f * peakRight);
  // The mono output plays only the left channel: its right meter stays 0.
  EXPECT_EQ(engine->buses[0].meter.takeLeft(), 0.5f * peakLeft);
  EXPECT_EQ(engine->buses[0].meter.takeRight(), 0.0f);
  // Taken once: read again, they are 0.
  EXPECT_EQ(engine->hwInputs[0].strip.meter.takeLeft(), 0.0f);
}

TEST_F(EngineSignalPathThreads, VirtualOutputReachesVeltoOutOneThroughTheDriver) {
  startSystem();
  auto mic = simInput("Mikrofon", "mic", {2});
  mic.input = numberedSource(kSignalFrames, 2);
  audio::addSimDevice(mic);
  startEngine();
  engine->setHwInputDevice(0, "mic");
  engine->hwInputs[0].strip.routeMask.store(1u << 3);
  const audio::ObjectId out1 = test::deviceForUid("VeltoOut1_UID");
  ASSERT_NE(out1, 0u);
  test::InputRecorder recorder(out1);
  ASSERT_TRUE(recorder.running());
  ASSERT_TRUE(audio::runCycles(48));

  const auto source = numberedFrames(kSignalFrames, 2);
  const auto left = recorder.channel(0);
  const int64_t delay = firstSound(left);
  EXPECT_TRUE(holdsCopy(left, channelOf(source, 2, 0), delay, kSignalFrames));
  EXPECT_TRUE(holdsCopy(recorder.channel(1), channelOf(source, 2, 1), delay, kSignalFrames));
  EXPECT_EQ(engine->sourcesOf(3), (std::vector<std::string>{"Input 1"}));
}

TEST_F(EngineSignalPathThreads, InternalStripsAdvanceOncePerClockCycle) {
  startSystem();
  startEngine();
  const uint64_t pads = engine->padsStrip.rings[0]->writeIndex.load();
  const uint64_t player = engine->playerStrip.rings[0]->writeIndex.load();
  for (int k = 0; k < 4; ++k) engine->virtualIns[k].strip.routeMask.store(1u << 5);
  ASSERT_TRUE(audio::runCycles(10));
  EXPECT_EQ(engine->padsStrip.rings[0]->writeIndex.load() - pads, 10u * kFrames);
  EXPECT_EQ(engine->playerStrip.rings[0]->writeIndex.load() - player, 10u * kFrames);
  // Bus 5 (the third virtual output) consumes their rings on its own cycle, which comes before
  // the clock's in every period: the clock's newest block still waits.
  for (int k = 0; k < 4; ++k) {
    const StereoRing& ring = *engine->virtualIns[k].strip.rings[5];
    EXPECT_EQ(ring.writeIndex.load(), 10u * kFrames) << k;
    EXPECT_EQ(ring.readIndex.load(), 9u * kFrames) << k;
  }

  ASSERT_TRUE(engine->setBufferFrames(512));
  const uint64_t at = engine->padsStrip.rings[0]->writeIndex.load();
  ASSERT_TRUE(audio::advanceFrames(4 * 512));
  EXPECT_EQ(engine->padsStrip.rings[0]->writeIndex.load() - at, 4u * 512u);
}

TEST_F(EngineSignalPathThreads, ReturningOutputTrimsTheBacklogItFinds) {
  micToSpeakers({2}, 2, {2});
  ASSERT_TRUE(audio::runCycles(4));
  ASSERT_TRUE(audio::removeSimDevice("spk"));
  settle();
  ASSERT_TRUE(audio::runCycles(20)); // the input keeps producing: 2560 frames wait
  StereoRing& ring = *engine->hwInputs[0].strip.rings[0];
  EXPECT_GE(ring.fill(), 20u * kFrames);

  ASSERT_NE(audio::addSimDevice(simOutput("Lautsprecher", "spk", {2})), 0u);
  settle();
  ASSERT_TRUE(audio::runCycles(1));
  // The first read kept the request plus one buffer and took the request.
  EXPECT_LE(ring.fill(), 2u * kFrames);
  ASSERT_TRUE(audio::runCycles(10));
  EXPECT_EQ(engine->buses[0].underruns.load(), 0u);
  EXPECT_LE(ring.fill(), 2u * kFrames);
}

} // namespace
} // namespace velto
