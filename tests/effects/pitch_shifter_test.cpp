// The pitch shifter on its own: period detection, latency, resets, ratio limits and voices that
// sit out and come back.
#include "effects/pitch_shifter.h"

#include "tests/effects/pitch_signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

namespace velto {
namespace {

using test::shift::cents;
using test::shift::sawtooth;
using test::shift::whiteNoise;
using Mode = PitchShifter::Mode;

// Feeds `in` through one voice in 64-sample calls; returns the voice.
std::vector<float> shiftOne(PitchShifter& shifter, const std::vector<float>& in, float ratio,
                            Mode mode) {
  std::vector<float> out(in.size());
  for (size_t pos = 0; pos < in.size(); pos += 64) {
    const auto n = static_cast<uint32_t>(std::min<size_t>(64, in.size() - pos));
    float* voice[1] = {out.data() + pos};
    shifter.process(in.data() + pos, voice, &ratio, 1, n, mode);
  }
  return out;
}

TEST(PitchShifter, DetectsThePeriodOfSungNotes) {
  for (const double hz : {52.0, 61.74, 73.42, 82.0, 110.0, 196.0, 261.63, 440.0, 659.26, 987.77}) {
    auto shifter = std::make_unique<PitchShifter>();
    shiftOne(*shifter, sawtooth(9600, hz, 0.5f), 1.0f, Mode::voice);
    ASSERT_GT(shifter->voicedFrequency(), 0.0f) << hz;
    EXPECT_NEAR(cents(shifter->voicedFrequency(), hz), 0.0, 3.0) << hz;
    EXPECT_NEAR(shifter->currentPeriod(), 48000.0 / shifter->voicedFrequency(), 1e-3) << hz;
  }
}

TEST(PitchShifter, DetectionWaitsFor2049SamplesAndRunsEvery256) {
  auto shifter = std::make_unique<PitchShifter>();
  const auto tone = sawtooth(4096, 200.0, 0.5f);
  float voice[1];
  float* out[1] = {voice};
  const float ratio = 1.0f;
  for (uint32_t t = 0; t < 2049; ++t) {
    shifter->process(&tone[t], out, &ratio, 1, 1, Mode::voice);
    ASSERT_EQ(shifter->currentPeriod(), 480.0) << t; // the start period until the first estimate
    ASSERT_EQ(shifter->voicedFrequency(), 0.0f) << t;
  }
  shifter->process(&tone[2049], out, &ratio, 1, 1, Mode::voice); // sample 2049: first detection
  EXPECT_NEAR(shifter->currentPeriod(), 240.0, 0.5);
  EXPECT_EQ(shifter->sinceDetection, 0u);
  for (uint32_t t = 2050; t < 2050 + 255; ++t) {
    shifter->process(&tone[t], out, &ratio, 1, 1, Mode::voice);
  }
  EXPECT_EQ(shifter->sinceDetection, 255u);
  shifter->process(&tone[2305], out, &ratio, 1, 1, Mode::voice);
  EXPECT_EQ(shifter->sinceDetection, 0u);
}

TEST(PitchShifter, NoiseAndSilenceAreUnvoicedAndKeepThePeriod) {
  auto shifter = std::make_unique<PitchShifter>();
  shiftOne(*shifter, sawtooth(6000, 300.0, 0.5f), 1.0f, Mode::voice);
  ASSERT_NEAR(shifter->currentPeriod(), 160.0, 0.5);
  ASSERT_GT(shifter->voicedFrequency(), 0.0f);
  // Once the detection frame holds only noise, the estimate says "unvoiced" and the period stays
  // where the last voiced frame left it.
  shiftOne(*shifter, whiteNoise(3000, 0.5f, 3), 1.0f, Mode::voice);
  EXPECT_EQ(shifter->voicedFrequency(), 0.0f);
  const double period = shifter->currentPeriod();
  EXPECT_NEAR(period, 160.0, 1.0);
  shiftOne(*shifter, whiteNoise(6000, 0.5f, 4), 1.0f, Mode::voice);
  EXPECT_EQ(shifter->voicedFrequency(), 0.0f);
  EXPECT_EQ(shifter->currentPeriod(), period);
  shiftOne(*shifter, std::vector<float>(6000, 0.0f), 1.0f, Mode::voice);
  EXPECT_EQ(shifter->voicedFrequency(), 0.0f);
  EXPECT_EQ(shifter->currentPeriod(), period);
}

TEST(PitchShifter, ReportsLatencyWithoutRenderingAtZeroFrames) {
  auto shifter = std::make_unique<PitchShifter>();
  float dummy = 0.0f;
  float* out[1] = {&dummy};
  const float ratio = 1.0f;
  EXPECT_EQ(shifter->process(&dummy, out, &ratio, 1, 0, Mode::voice), 1200u);
  EXPECT_EQ(shifter->process(&dummy, out, &ratio, 1, 0, Mode::all), 2112u);
  EXPECT_EQ(shifter->time, 0u);
  EXPECT_EQ(shifter->currentMode(), Mode::voice); // asking for a latency changes nothing
}

TEST(PitchShifter, UnityRatioReproducesTheInputAfterAboutTheLatency) {
  // Mode "Alles" at ratio 1: Hann grains at half overlap sum to one and each grain continues the
  // previous one, so a steady tone comes back whole, delayed by the latency less the chosen
  // alignment offset (at most 192 either way).
  auto shifter = std::make_unique<PitchShifter>();
  // 200 Hz: a whole number of samples per period, so any period-aligned grain continues exactly.
  const auto in = test::shift::sawtooth(24000, 200.0, 0.5f);
  const auto out = shiftOne(*shifter, in, 1.0f, Mode::all);
  double bestDb = 0.0;
  for (size_t delay = 2112 - 192; delay <= 2112 + 192; ++delay) {
    double err = 0.0, ref = 0.0;
    for (size_t t = 8000; t < in.size(); ++t) {
      err += std::pow(out[t] - in[t - delay], 2.0);
      ref += std::pow(in[t - delay], 2.0);
    }
    bestDb = std::min(bestDb, 10.0 * std::log10(err / ref));
  }
  EXPECT_LT(bestDb, -40.0);
}

TEST(PitchShifter, ChangingTheModeStartsFromSilence) {
  auto shifter = std::make_unique<PitchShifter>();
  const auto in = sawtooth(20000, 220.0, 0.5f);
  const auto before = shiftOne(*shifter, in, 1.0f, Mode::voice);
  ASSERT_GT(test::shift::windowedMagnitude(before, 8000, 8000, 220.0), 100.0);
  const auto after = shiftOne(*shifter, in, 1.0f, Mode::all);
  EXPECT_EQ(shifter->currentMode(), Mode::all);
  // Every grain of the first 600 output samples reads input from before the reset: silence.
  for (size_t t = 0; t < 600; ++t) ASSERT_EQ(after[t], 0.0f) << t;
  EXPECT_GT(test::shift::windowedMagnitude(after, 8000, 8000, 220.0), 100.0);
}

TEST(PitchShifter, RatiosAreHeldToTheModesRange) {
  struct Case {
    Mode mode;
    float asked, heldTo;
  };
  const Case cases[] = {{Mode::voice, 8.0f, 4.0f},
                        {Mode::voice, 0.1f, 0.25f},
                        {Mode::all, 3.0f, 2.0f},
                        {Mode::all, 0.05f, 0.25f},
                        {Mode::all, NAN, 1.0f}};
  const auto in = sawtooth(12000, 180.0, 0.5f);
  for (const Case& c : cases) {
    auto a = std::make_unique<PitchShifter>();
    auto b = std::make_unique<PitchShifter>();
    const auto asked = shiftOne(*a, in, c.asked, c.mode);
    const auto held = shiftOne(*b, in, c.heldTo, c.mode);
    EXPECT_EQ(asked, held) << c.asked;
  }
}

TEST(PitchShifter, AVoiceThatSitsOutComesBackFresh) {
  // Voice 2 rendered, then left out for a second, then rendered again: from then on it must sound
  // exactly as in a shifter that never rendered it before, not replay missed grains at once.
  for (const Mode mode : {Mode::voice, Mode::all}) {
    auto a = std::make_unique<PitchShifter>();
    auto b = std::make_unique<PitchShifter>();
    const auto in = sawtooth(48000 * 2, 200.0, 0.5f);
    const float ratios[2] = {0.5f, 0.25f};
    std::vector<float> v0(64), v1a(64), v1b(64);
    bool compared = false;
    for (size_t pos = 0; pos < in.size(); pos += 64) {
      const size_t block = pos / 64;
      const bool secondInA = block < 200 || block >= 950;
      const bool secondInB = block >= 950;
      float* outA[2] = {v0.data(), v1a.data()};
      float* outB[2] = {v0.data(), v1b.data()};
      a->process(in.data() + pos, outA, ratios, secondInA ? 2 : 1, 64, mode);
      b->process(in.data() + pos, outB, ratios, secondInB ? 2 : 1, 64, mode);
      if (block >= 950) {
        ASSERT_EQ(v1a, v1b) << "block " << block;
        compared = true;
      }
    }
    EXPECT_TRUE(compared);
  }
}

TEST(PitchShifter, AFallingPitchLeavesNoGhostOneRingTurnLater) {
  // A jump from 1000 Hz to 100 Hz lengthens the grains at once; grains placed right after the
  // jump reach back before the current output position. What they would write there would come
  // out again one ring turn (8192 samples) later, in the silence after the note.
  auto shifter = std::make_unique<PitchShifter>();
  const size_t jump = 24000, low = 3000;
  const auto high = sawtooth(jump, 1000.0, 0.5f);
  const auto deep = sawtooth(low, 100.0, 0.5f);
  std::vector<float> in(jump + low + 20000, 0.0f);
  std::copy(high.begin(), high.end(), in.begin());
  std::copy(deep.begin(), deep.end(), in.begin() + jump);
  const auto out = shiftOne(*shifter, in, 0.8f, Mode::voice);
  ASSERT_NEAR(shifter->currentPeriod(), 480.0, 5.0);
  float during = 0.0f;
  for (size_t t = jump + 1500; t < jump + low; ++t) during = std::max(during, std::fabs(out[t]));
  EXPECT_GT(during, 0.1f);
  for (size_t t = jump + low + 3000; t < in.size(); ++t) ASSERT_EQ(out[t], 0.0f) << t - jump;
}

} // namespace
} // namespace velto
