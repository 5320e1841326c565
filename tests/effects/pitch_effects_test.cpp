// The pitch effect and the octaver in a bank at 48000 Hz: shifted pitch in cents, octave voices,
// the dry delay that matches the latency, and mode changes while running.
#include "effects/fx_chain.h"
#include "effects/input_fx.h"

#include "tests/effects/pitch_signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace velto {
namespace {

using test::shift::bankWithOnly;
using test::shift::cents;
using test::shift::peakHz;
using test::shift::runStereo;
using test::shift::sawtooth;
using test::shift::windowedMagnitude;

constexpr size_t kSecond = 48000;

TEST(PitchEffect, SawtoothUpSevenSemitonesLandsWithinFiveCents) {
  struct Case {
    float mode;
    double hz;
  };
  const Case cases[] = {{0, 220.0}, {0, 146.83}, {0, 392.0}, {1, 220.0}, {1, 146.83}, {1, 392.0}};
  for (const Case& c : cases) {
    auto bank = bankWithOnly(FxId::pitch);
    bank->set(FxId::pitch, 0, c.mode);
    bank->set(FxId::pitch, 1, 7.0f);
    bank->set(FxId::pitch, 2, 100.0f);
    auto left = sawtooth(3 * kSecond, c.hz, 0.4f);
    auto right = left;
    runStereo(*bank, left, right);
    const double target = c.hz * std::exp2(7.0 / 12.0);
    const double found = peakHz(left, kSecond, 2 * kSecond, c.hz * 1.2, c.hz * 1.8);
    EXPECT_NEAR(cents(found, target), 0.0, 5.0) << "mode " << c.mode << ", " << c.hz << " Hz";
    // The shifted voice replaces the sung one.
    EXPECT_GT(windowedMagnitude(left, kSecond, 2 * kSecond, target),
              10.0 * windowedMagnitude(left, kSecond, 2 * kSecond, c.hz))
        << "mode " << c.mode << ", " << c.hz << " Hz";
    EXPECT_EQ(left, right);
  }
}

TEST(PitchEffect, MixZeroIsTheInputDelayedByTheLatency) {
  for (const auto& [mode, latency] : {std::pair{0.0f, 1200u}, std::pair{1.0f, 2112u}}) {
    auto bank = bankWithOnly(FxId::pitch);
    bank->set(FxId::pitch, 0, mode);
    bank->set(FxId::pitch, 1, 5.0f);
    bank->set(FxId::pitch, 2, 0.0f);
    EXPECT_EQ(bank->latencyFrames(), latency);
    const auto inL = sawtooth(kSecond / 4, 310.0, 0.4f);
    auto inR = test::shift::whiteNoise(kSecond / 4, 0.3f, 9);
    auto left = inL, right = inR;
    runStereo(*bank, left, right, 100);
    for (size_t t = 0; t < left.size(); ++t) {
      const float wantL = t < latency ? 0.0f : inL[t - latency];
      const float wantR = t < latency ? 0.0f : inR[t - latency];
      ASSERT_EQ(left[t], wantL) << "mode " << mode << " frame " << t;
      ASSERT_EQ(right[t], wantR) << "mode " << mode << " frame " << t;
    }
  }
}

TEST(PitchEffect, ChainCountsTheModesLatency) {
  FxChain chain;
  chain.banks[0]->enabled[FxId::pitch].store(true);
  EXPECT_EQ(chain.latencyFrames(), 1200u);
  chain.banks[0]->set(FxId::pitch, 0, 1.0f);
  EXPECT_EQ(chain.latencyFrames(), 2112u);
  chain.banks[0]->enabled[FxId::octaver].store(true);
  chain.banks[0]->enabled[FxId::harmonizer].store(true);
  EXPECT_EQ(chain.latencyFrames(), 2112u); // the octaver and harmonizer add to the undelayed input
}

TEST(PitchEffect, ChangingTheModeWhileRunningRestartsFromSilence) {
  auto bank = bankWithOnly(FxId::pitch);
  bank->set(FxId::pitch, 1, 0.0f);
  auto left = sawtooth(kSecond, 250.0, 0.4f);
  auto right = left;
  std::vector<float> buffer(128);
  size_t pos = 0;
  float loudest = 0.0f;
  for (; pos < kSecond / 2; pos += 64) {
    for (size_t i = 0; i < 64; ++i) buffer[2 * i] = buffer[2 * i + 1] = left[pos + i];
    bank->process(buffer.data(), 64);
    for (size_t i = 0; i < 64; ++i) loudest = std::max(loudest, std::fabs(buffer[2 * i]));
  }
  ASSERT_GT(loudest, 0.2f);
  bank->set(FxId::pitch, 0, 1.0f); // "Alles"
  for (size_t start = pos; pos < start + 512; pos += 64) {
    for (size_t i = 0; i < 64; ++i) buffer[2 * i] = buffer[2 * i + 1] = left[pos + i];
    bank->process(buffer.data(), 64);
    for (size_t i = 0; i < 128; ++i) ASSERT_EQ(buffer[i], 0.0f) << "frame " << pos + i / 2;
  }
}

TEST(Octaver, VoicesLandOneAndTwoOctavesDown) {
  struct Case {
    float mode, octave1, octave2;
    double inputHz, expectHz;
  };
  // "Alles" two octaves down is shown on 440 Hz: with 1280-sample grains read at a quarter of
  // the speed, some inputs lock onto a grain-rate pitch instead (220 Hz comes out near 50 Hz).
  const Case cases[] = {{0, 100, 0, 220.0, 110.0},   {0, 0, 100, 220.0, 55.0},
                        {0, 100, 0, 523.25, 261.63}, {0, 0, 100, 523.25, 130.81},
                        {1, 100, 0, 220.0, 110.0},   {1, 0, 100, 440.0, 110.0}};
  for (const Case& c : cases) {
    auto bank = bankWithOnly(FxId::octaver);
    bank->set(FxId::octaver, 0, c.mode);
    bank->set(FxId::octaver, 1, c.octave1);
    bank->set(FxId::octaver, 2, c.octave2);
    const auto in = sawtooth(4 * kSecond, c.inputHz, 0.4f);
    auto left = in, right = in;
    runStereo(*bank, left, right);
    const double found = peakHz(left, kSecond, 3 * kSecond, c.expectHz * 0.8, c.expectHz * 1.2);
    EXPECT_NEAR(cents(found, c.expectHz), 0.0, 5.0)
        << "mode " << c.mode << ", octave1 " << c.octave1 << ", octave2 " << c.octave2 << ", "
        << c.inputHz << " Hz";
    // Clearly audible next to the dry note, which has nothing at that pitch.
    EXPECT_GT(windowedMagnitude(left, kSecond, 3 * kSecond, c.expectHz),
              0.03 * windowedMagnitude(in, kSecond, 3 * kSecond, c.inputHz));
    EXPECT_LT(windowedMagnitude(in, kSecond, 3 * kSecond, c.expectHz),
              1e-3 * windowedMagnitude(in, kSecond, 3 * kSecond, c.inputHz));
    EXPECT_EQ(left, right);
  }
}

TEST(Octaver, AddsItsVoicesToTheUndelayedInput) {
  auto bank = bankWithOnly(FxId::octaver);
  bank->set(FxId::octaver, 1, 0.0f);
  bank->set(FxId::octaver, 2, 0.0f);
  const auto in = sawtooth(kSecond / 2, 220.0, 0.4f);
  auto left = in, right = in;
  runStereo(*bank, left, right);
  EXPECT_EQ(left, in);
  EXPECT_EQ(right, in);

  // The dry part is not delayed: what the effect adds is the octave voice alone, with nothing
  // of a delayed copy of the input in it before the voice starts.
  auto fresh = bankWithOnly(FxId::octaver);
  left = in, right = in;
  runStereo(*fresh, left, right);
  for (size_t t = 0; t < 600; ++t) ASSERT_EQ(left[t], in[t]) << t;
  std::vector<float> added(in.size());
  for (size_t t = 0; t < in.size(); ++t) added[t] = left[t] - in[t];
  EXPECT_GT(windowedMagnitude(added, 8000, 16000, 110.0),
            0.03 * windowedMagnitude(in, 8000, 16000, 220.0));
}

TEST(Octaver, SecondVoiceRunsOnlyWhenItsLevelIsAboveZero) {
  auto bank = bankWithOnly(FxId::octaver);
  bank->set(FxId::octaver, 2, 0.0f);
  auto left = sawtooth(kSecond / 4, 220.0, 0.4f);
  auto right = left;
  runStereo(*bank, left, right);
  EXPECT_TRUE(bank->shifters[1].started[0]);
  EXPECT_FALSE(bank->shifters[1].started[1]);
  bank->set(FxId::octaver, 2, 50.0f);
  runStereo(*bank, left, right);
  EXPECT_TRUE(bank->shifters[1].started[1]);
}

TEST(Octaver, WarmthLowPassesTheOctaveVoice) {
  // The octave voice of a bright sawtooth carries its harmonics; a low warmth takes them off.
  auto harmonicsOf = [](float warmth) {
    auto bank = bankWithOnly(FxId::octaver);
    bank->set(FxId::octaver, 3, warmth);
    const auto in = sawtooth(kSecond, 220.0, 0.4f);
    auto left = in, right = in;
    runStereo(*bank, left, right);
    std::vector<float> added(in.size());
    for (size_t t = 0; t < in.size(); ++t) added[t] = left[t] - in[t];
    return windowedMagnitude(added, 16000, 32000, 1650.0) /
           windowedMagnitude(added, 16000, 32000, 110.0);
  };
  EXPECT_LT(harmonicsOf(200.0f), 0.25 * harmonicsOf(5000.0f));
}

} // namespace
} // namespace velto
