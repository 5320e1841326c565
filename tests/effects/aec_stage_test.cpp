// The bank's echo-canceller stage at 48000 Hz: delay without a far end, the 10 ms fades, mono
// inputs, the far-end rings (backlog, reset, switch-on), echo reduction in a simulated room, the
// reset request and the divergence guard.
#include "core/stereo_ring.h"
#include "effects/input_fx.h"

#include "tests/effects/aec_room.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

namespace velto {
namespace {

using namespace test::aec;

std::unique_ptr<InputFx> aecBank(bool on = true) {
  auto bank = std::make_unique<InputFx>();
  for (auto& flag : bank->enabled) flag.store(false);
  bank->enabled[FxId::aec].store(on);
  return bank;
}

// A room like a laptop on a desk: 5 ms to the microphone, half the level on the direct path and
// a diffuse tail dying away in 150 ms.
std::vector<float> deskRoom() {
  return roomResponse(240, 0.5f, 0.15, 0.02f, 6000, 2);
}

// Runs interleaved stereo through processPre in calls of `call` frames.
void runInterleaved(InputFx& bank, std::vector<float>& data, uint32_t call) {
  const auto frames = static_cast<uint32_t>(data.size() / 2);
  for (uint32_t pos = 0; pos < frames; pos += call) {
    bank.processPre(data.data() + size_t{pos} * 2, std::min(call, frames - pos));
  }
}

TEST(AecStage, WithoutFarEndTheInputComesOutDelayedBy256Frames) {
  for (const uint32_t call : {64u, 100u, 128u, 512u, 5000u}) {
    auto bank = aecBank();
    StereoRing ring(kRingFrames); // connected, but nothing is played
    bank->farEnd[1] = &ring;
    const auto left = whiteFarEnd(20000, 0.3f, 31);
    const auto right = whiteFarEnd(20000, 0.2f, 32);
    std::vector<float> data(40000);
    for (size_t i = 0; i < left.size(); ++i) data[2 * i] = left[i], data[2 * i + 1] = right[i];
    runInterleaved(*bank, data, call);
    for (size_t t = 0; t < left.size(); ++t) {
      // The stage fades in over 480 frames from the dry input to the processed one.
      const double level = std::min((t + 1) / 480.0, 1.0);
      const double wetL = t < 256 ? 0.0 : left[t - 256];
      const double wetR = t < 256 ? 0.0 : right[t - 256];
      ASSERT_NEAR(data[2 * t], left[t] + (wetL - left[t]) * level, 2e-5) << call << " " << t;
      ASSERT_NEAR(data[2 * t + 1], right[t] + (wetR - right[t]) * level, 2e-5) << call << " " << t;
    }
    EXPECT_EQ(bank->aecFade, 1.0f);
  }
}

TEST(AecStage, SwitchedOffItFadesOutAndThenLeavesTheInputAlone) {
  auto bank = aecBank();
  const auto in = whiteFarEnd(4096, 0.3f, 33);
  std::vector<float> data(2 * in.size());
  for (size_t i = 0; i < in.size(); ++i) data[2 * i] = data[2 * i + 1] = in[i];
  runInterleaved(*bank, data, 128);
  ASSERT_EQ(bank->aecFade, 1.0f);

  bank->enabled[FxId::aec].store(false);
  const auto more = whiteFarEnd(1024, 0.3f, 34);
  std::vector<float> tail(2 * more.size());
  for (size_t i = 0; i < more.size(); ++i) tail[2 * i] = tail[2 * i + 1] = more[i];
  auto processed = tail;
  runInterleaved(*bank, processed, 128);
  EXPECT_NE(processed[0], tail[0]); // still mostly the delayed signal at first
  for (size_t t = 480; t < more.size(); ++t) ASSERT_EQ(processed[2 * t], tail[2 * t]) << t;
  EXPECT_EQ(bank->aecFade, 0.0f);

  // Fully off: the stage returns at once and reads no far end.
  StereoRing ring(kRingFrames);
  bank->farEnd[0] = &ring;
  std::vector<float> far(2 * 512, 0.25f);
  ring.write(far.data(), 512);
  auto untouched = tail;
  runInterleaved(*bank, untouched, 128);
  EXPECT_EQ(untouched, tail);
  EXPECT_EQ(ring.fill(), 512u);
}

TEST(AecStage, IdenticalChannelsRunOnlyTheLeftCanceller) {
  auto bank = aecBank();
  StereoRing ring(kRingFrames);
  bank->farEnd[0] = &ring;
  const size_t n = kRate * 2;
  const auto far = whiteFarEnd(n, 0.1f, 35);
  const auto near = convolve(far, deskRoom());
  std::vector<float> right;
  const auto left = runStage(*bank, ring, far, near, 128, &right);
  EXPECT_EQ(left, right);
  EXPECT_GT(bank->aecLeft->suppressionDb, 10.0f);
  // The right canceller never saw a block.
  EXPECT_EQ(bank->aecRight->newest, 0);
  for (const auto& frame : bank->aecRight->historyPower) {
    for (const float p : frame) ASSERT_EQ(p, 0.0f);
  }
}

TEST(AecStage, SwitchingOnFromOffAndResetRequestsDropWaitingFarEnd) {
  auto bank = aecBank(false);
  StereoRing busA(kRingFrames), busB(kRingFrames);
  bank->farEnd[0] = &busA;
  bank->farEnd[2] = &busB;
  std::vector<float> far(2 * 3000, 0.1f);
  busA.write(far.data(), 3000);
  busB.write(far.data(), 1000);
  std::vector<float> data(2 * 64, 0.05f);
  bank->processPre(data.data(), 64); // off and faded out: nothing read
  EXPECT_EQ(busA.fill(), 3000u);
  bank->enabled[FxId::aec].store(true);
  bank->processPre(data.data(), 64);
  EXPECT_EQ(busA.fill(), 0u);
  EXPECT_EQ(busB.fill(), 0u);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(bank->aecFar[i], 0.0f) << i; // the backlog never played

  busA.write(far.data(), 2500);
  bank->aecReset.fetch_add(1);
  bank->processPre(data.data(), 0);
  EXPECT_EQ(busA.fill(), 0u);
  EXPECT_EQ(bank->aecFill, 0u);
  busA.write(far.data(), 2500);
  bank->processPre(data.data(), 64); // the request was acted on once
  EXPECT_EQ(busA.fill(), 2500u - 64u);
}

TEST(AecStage, FarEndTooFarAheadIsCutBackTo1088Frames) {
  auto bank = aecBank();
  StereoRing ring(kRingFrames);
  bank->farEnd[0] = &ring;
  std::vector<float> data(2 * 64, 0.0f);
  bank->processPre(data.data(), 64); // switched on: the stage runs from here
  std::vector<float> far(2 * 10000);
  for (size_t i = 0; i < 10000; ++i) far[2 * i] = far[2 * i + 1] = static_cast<float>(i);
  ASSERT_EQ(ring.write(far.data(), 10000), 10000u);
  bank->processPre(data.data(), 64);
  EXPECT_EQ(ring.fill(), 1024u);
  // The frames read are the oldest of the 1088 that were kept.
  for (uint32_t i = 0; i < 64; ++i) ASSERT_EQ(bank->aecFar[64 + i], 10000.0f - 1088 + i) << i;

  // A backlog of exactly chunk + 4096 frames is left as it is.
  ring.drain();
  ring.write(far.data(), 64 + 4096);
  bank->processPre(data.data(), 64);
  EXPECT_EQ(ring.fill(), 4096u);
}

TEST(AecStage, FarEndsOfSeveralOutputsAreSummedToMono) {
  auto bank = aecBank();
  StereoRing a(kRingFrames), b(kRingFrames);
  bank->farEnd[0] = &a;
  bank->farEnd[3] = &b;
  std::vector<float> data(2 * 128, 0.0f);
  bank->processPre(data.data(), 64);
  std::vector<float> fa(2 * 64), fb(2 * 32);
  for (int i = 0; i < 64; ++i) fa[2 * i] = 0.5f, fa[2 * i + 1] = 0.1f;
  for (int i = 0; i < 32; ++i) fb[2 * i] = -0.2f, fb[2 * i + 1] = 0.0f;
  a.write(fa.data(), 64);
  b.write(fb.data(), 32);
  bank->processPre(data.data(), 64);
  for (int i = 0; i < 64; ++i) {
    // The second output had only 32 frames waiting: the rest of its share is silence.
    const float want = 0.3f + (i < 32 ? -0.1f : 0.0f);
    ASSERT_FLOAT_EQ(bank->aecFar[64 + i], want) << i;
  }
}

struct RoomCase {
  const char* name;
  bool speech;
  float micNoise; // rms of the microphone's own noise
  uint32_t call;
};

TEST(AecStage, EchoIsReducedByAtLeast20DbAfterConvergence) {
  const RoomCase cases[] = {{"white noise, 128-frame calls", false, 0.0003f, 128},
                            {"white noise, 480-frame calls", false, 0.0003f, 480},
                            {"speech-like, -50 dBFS microphone noise", true, 0.003f, 128},
                            {"speech-like, 64-frame calls", true, 0.003f, 64}};
  for (const RoomCase& c : cases) {
    auto bank = aecBank();
    StereoRing ring(kRingFrames);
    bank->farEnd[1] = &ring;
    const size_t n = kRate * 8;
    const auto far = c.speech ? speechLikeFarEnd(n, 0.1f, 36) : whiteFarEnd(n, 0.1f, 36);
    const auto near = mixed(convolve(far, deskRoom()), whiteFarEnd(n, c.micNoise, 37));
    const auto out = runStage(*bank, ring, far, near, c.call);
    const double erle = erleDb(near, out, kRate * 5, n);
    EXPECT_GE(erle, 20.0) << c.name;
    EXPECT_GT(bank->aecSuppressionDb.load(), 20.0f) << c.name;
    EXPECT_EQ(bank->aecSuppressionDb.load(), bank->aecLeft->suppressionDb);
  }
}

TEST(AecStage, ResetRequestClearsTheFilterAndItRelearns) {
  auto bank = aecBank();
  StereoRing ring(kRingFrames);
  bank->farEnd[0] = &ring;
  const size_t n = kRate * 10;
  const auto far = whiteFarEnd(n, 0.1f, 38);
  const auto near = mixed(convolve(far, deskRoom()), whiteFarEnd(n, 0.0003f, 39));
  const size_t half = kRate * 4;
  const std::vector<float> farA(far.begin(), far.begin() + half),
      nearA(near.begin(), near.begin() + half);
  const auto outA = runStage(*bank, ring, farA, nearA, 128);
  ASSERT_GE(erleDb(nearA, outA, kRate * 3, half), 20.0);

  bank->aecReset.fetch_add(1);
  std::vector<float> none(2, 0.0f);
  bank->processPre(none.data(), 0);
  EXPECT_EQ(bank->aecSuppressionDb.load(), 0.0f);
  EXPECT_EQ(bank->aecLeft->echoReturnDb, 0.0f);
  for (int p = 0; p < EchoCanceller::kPartitions; ++p) {
    for (int k = 0; k < EchoCanceller::kBins; ++k) ASSERT_EQ(bank->aecLeft->filterRe[p][k], 0.0f);
  }

  const std::vector<float> farB(far.begin() + half, far.end()),
      nearB(near.begin() + half, near.end());
  const auto outB = runStage(*bank, ring, farB, nearB, 128);
  EXPECT_GE(erleDb(nearA, outA, half - 1024, half), 20.0);
  // The echo is back at first: the first two blocks after the request (256 frames later) come
  // out nearly as loud as they went in.
  double inFirst = 0.0, outFirst = 0.0;
  for (size_t t = 0; t < 256; ++t) {
    inFirst += static_cast<double>(nearB[t]) * nearB[t];
    outFirst += static_cast<double>(outB[t + 256]) * outB[t + 256];
  }
  EXPECT_LT(10.0 * std::log10(inFirst / outFirst), 6.0);
  EXPECT_GE(erleDb(nearB, outB, kRate * 4, farB.size()), 20.0);
}

TEST(AecStage, AFilterThatAddsEchoIsClearedAndRelearns) {
  // The loudspeaker's wiring is swapped mid-stream: the learned path now doubles the echo
  // instead of removing it.
  auto bank = aecBank();
  StereoRing ring(kRingFrames);
  bank->farEnd[0] = &ring;
  const size_t n = kRate * 10;
  const size_t flip = kRate * 4;
  const auto far = whiteFarEnd(n, 0.1f, 40);
  auto room = deskRoom();
  const auto before = convolve(far, room);
  for (auto& tap : room) tap = -tap;
  const auto after = convolve(far, room);
  std::vector<float> near(n);
  for (size_t t = 0; t < n; ++t) near[t] = t < flip ? before[t] : after[t];
  const auto out = runStage(*bank, ring, far, near, 128);
  ASSERT_GE(erleDb(near, out, kRate * 3, flip), 20.0);
  EXPECT_GE(bank->aecLeft->divergences, 1u);
  float loudestIn = 0.0f, loudestOut = 0.0f;
  for (size_t t = flip; t < flip + kRate / 2; ++t) {
    loudestIn = std::max(loudestIn, std::fabs(near[t]));
    loudestOut = std::max(loudestOut, std::fabs(out[t]));
  }
  EXPECT_LT(loudestOut, 1.5f * loudestIn); // never much more than the plain input
  EXPECT_GE(erleDb(near, out, kRate * 8, n), 20.0);
}

} // namespace
} // namespace velto
