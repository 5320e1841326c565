// Noise-profile learning of an input: the 512-sample windows advancing by 128, the smoothed
// spectrum, the profile that only rises, and the measure / stop / discard / set state machine.
#include "effects/noise_filter.h"
#include "tests/engine/analysis_fixture.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace velto::test {
namespace {

constexpr int kBands = 257;
constexpr int kToneBand = 10; // 937.5 Hz lies exactly on profile band 10
constexpr double kToneHz = kToneBand * kProfileBandHz;

// Reference level of one band of a 512-sample window in dB: square-root Hann window, 2|X|/512,
// computed directly in double precision.
double referenceBandDb(const float* samples, int band) {
  double re = 0.0, im = 0.0;
  for (int n = 0; n < 512; ++n) {
    const double w = std::sqrt(0.5 - 0.5 * std::cos(2.0 * M_PI * n / 512.0));
    re += samples[n] * w * std::cos(2.0 * M_PI * band * n / 512.0);
    im -= samples[n] * w * std::sin(2.0 * M_PI * band * n / 512.0);
  }
  const double magnitude = 2.0 * std::hypot(re, im) / 512.0;
  return 20.0 * std::log10(std::max(magnitude, 1e-7));
}

// The smoothed level of `band` after every complete window of `mono`, starting from -120.
double referenceRunningDb(const std::vector<float>& mono, int band) {
  double running = -120.0;
  for (size_t start = 0; start + 512 <= mono.size(); start += 128) {
    running = 0.8 * running + 0.2 * referenceBandDb(mono.data() + start, band);
  }
  return running;
}

float activeFilterProfile(const NoiseFilter& filter, int band) {
  return filter.profiles[filter.activeProfile.load()][band].load();
}

std::array<float, kBands> filled(float db) {
  std::array<float, kBands> values;
  values.fill(db);
  return values;
}

using AnalysisLearner = AnalysisTest;

struct WindowCase {
  uint32_t samples;
  uint32_t windows;
  uint32_t windowFill;
};

class AnalysisLearnerWindows : public AnalysisTest,
                               public ::testing::WithParamInterface<WindowCase> {};

TEST_P(AnalysisLearnerWindows, FirstWindowAfter512SamplesThenOneEvery128) {
  const WindowCase c = GetParam();
  engine->startMeasure(0);
  const std::vector<float> tone = sine(c.samples, kToneHz, 1.0f);
  // Odd pieces, a tick after each: the window carries on across calls.
  for (uint32_t at = 0; at < c.samples; at += 100) {
    const uint32_t n = std::min(100u, c.samples - at);
    feedMono(0, std::vector<float>(tone.begin() + at, tone.begin() + at + n));
    engine->tickAnalysis(0);
  }
  const InputAnalysis& a = engine->analysis[0];
  EXPECT_EQ(a.windowFill, c.windowFill);
  const double expected = referenceRunningDb(tone, kToneBand);
  EXPECT_NEAR(a.running[kToneBand], expected, 0.01);
  if (c.windows == 0) {
    EXPECT_EQ(a.running[kToneBand], -120.0f);
    EXPECT_EQ(a.profile[kToneBand], -120.0f);
  } else {
    // A full-scale tone reads about -3.9 dB per window (the window's mean is 2/pi).
    const double perWindow = 20.0 * std::log10(2.0 / M_PI);
    const double decay = std::pow(0.8, c.windows);
    EXPECT_NEAR(a.running[kToneBand], -120.0 * decay + perWindow * (1.0 - decay), 0.02);
    EXPECT_EQ(a.profile[kToneBand], a.running[kToneBand]) << "the profile follows a rising band";
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, AnalysisLearnerWindows,
                         ::testing::Values(WindowCase{511, 0, 511}, WindowCase{512, 1, 384},
                                           WindowCase{639, 1, 511}, WindowCase{640, 2, 384},
                                           WindowCase{1024, 5, 384}, WindowCase{2000, 12, 464}));

TEST_F(AnalysisLearner, ProfileLearnedFromSilenceStaysAtMinus120) {
  engine->startMeasure(1);
  for (int piece = 0; piece < 12; ++piece) {
    feedMono(1, constant(4096, 0.0f));
    engine->tickAnalysis(1);
  }
  const InputAnalysis& a = engine->analysis[1];
  for (int b = 0; b < kBands; ++b) {
    ASSERT_EQ(a.profile[b], -120.0f) << "band " << b;
    ASSERT_NEAR(a.running[b], -140.0f, 0.01) << "silence is -140 dB";
  }
  engine->stopMeasure(1);
  const NoiseFilter& filter = *engine->hwInputs[1].noiseFilter;
  for (int b = 0; b < kBands; ++b) ASSERT_EQ(activeFilterProfile(filter, b), -120.0f);
}

TEST_F(AnalysisLearner, StartMeasureForgetsWhatTheRingHeldAndTheEarlierLearning) {
  feedSine(0, 4000, kToneHz, 1.0f);
  engine->tickAnalysis(0); // the smoothed spectrum now knows the tone
  feedSine(0, 4000, kToneHz, 1.0f);
  engine->startMeasure(0);
  const InputAnalysis& a = engine->analysis[0];
  EXPECT_EQ(engine->hwInputs[0].analysisRing->fill(), 0u);
  EXPECT_EQ(a.windowFill, 0u);
  EXPECT_EQ(a.running[kToneBand], -120.0f);

  feedMono(0, constant(1024, 0.0f));
  engine->tickAnalysis(0);
  EXPECT_TRUE(std::all_of(a.profile.begin(), a.profile.end(), [](float v) { return v == -120; }));
}

TEST_F(AnalysisLearner, ProfileHoldsTheHighestSmoothedLevelWhileMeasuring) {
  engine->startMeasure(2);
  feedSine(2, 4096, kToneHz, 0.1f);
  engine->tickAnalysis(2);
  const InputAnalysis& a = engine->analysis[2];
  const float loud = a.profile[kToneBand];
  EXPECT_NEAR(loud, a.running[kToneBand], 1e-6);
  EXPECT_GT(loud, -40.0f);

  // The tone stops: the smoothed spectrum falls, the profile keeps its highest value.
  for (int piece = 0; piece < 4; ++piece) {
    feedMono(2, constant(4096, 0.0f));
    engine->tickAnalysis(2);
  }
  EXPECT_LT(a.running[kToneBand], -130.0f);
  EXPECT_EQ(a.profile[kToneBand], loud);
}

TEST_F(AnalysisLearner, SmoothedSpectrumRunsWithoutMeasuringButTheProfileStays) {
  const std::array<float, kBands> quiet = filled(-90.0f);
  engine->setProfile(0, quiet.data());
  feedSine(0, 4096, kToneHz, 1.0f);
  engine->tickAnalysis(0);
  const InputAnalysis& a = engine->analysis[0];
  EXPECT_GT(a.running[kToneBand], -10.0f);
  EXPECT_EQ(a.profile, quiet);
}

TEST_F(AnalysisLearner, LearnerHearsTheMeanOfBothChannels) {
  engine->startMeasure(2);
  const std::vector<float> tone = sine(2048, kToneHz, 1.0f);
  feed(2, tone, constant(2048, 0.0f));
  engine->tickAnalysis(2);
  std::vector<float> mono(tone.size());
  for (size_t n = 0; n < tone.size(); ++n) mono[n] = 0.5f * tone[n];
  EXPECT_NEAR(engine->analysis[2].running[kToneBand], referenceRunningDb(mono, kToneBand), 0.01);

  // Opposite channels cancel: nothing to learn.
  engine->startMeasure(2);
  std::vector<float> inverted(tone.size());
  for (size_t n = 0; n < tone.size(); ++n) inverted[n] = -tone[n];
  feed(2, tone, inverted);
  engine->tickAnalysis(2);
  EXPECT_EQ(engine->analysis[2].profile[kToneBand], -120.0f);
}

TEST_F(AnalysisLearner, SamplesThatAreNotFiniteLeaveAUsableProfile) {
  engine->startMeasure(0);
  feedSine(0, 2048, kToneHz, 0.5f);
  std::vector<float> broken = constant(512, 0.0f);
  broken[7] = NAN;
  broken[300] = INFINITY;
  feedMono(0, broken);
  // Finite, but so large that the spectrum of every window holding them overflows.
  feedMono(0, constant(256, 1.5e38f));
  feedSine(0, 2048, kToneHz, 0.5f);
  engine->tickAnalysis(0);
  const InputAnalysis& a = engine->analysis[0];
  for (int b = 0; b < kBands; ++b) {
    ASSERT_TRUE(std::isfinite(a.running[b])) << "band " << b;
    ASSERT_TRUE(std::isfinite(a.profile[b])) << "band " << b;
  }
  EXPECT_GT(a.profile[kToneBand], -20.0f);
  engine->stopMeasure(0);
  EXPECT_TRUE(a.hasProfile);
  const NoiseFilter& filter = *engine->hwInputs[0].noiseFilter;
  for (int b = 0; b < kBands; ++b) ASSERT_EQ(activeFilterProfile(filter, b), a.profile[b]);
}

using AnalysisProfile = AnalysisTest;

TEST_F(AnalysisProfile, StopWithoutMeasuringChangesNothing) {
  const NoiseFilter& filter = *engine->hwInputs[0].noiseFilter;
  const uint32_t active = filter.activeProfile.load();
  engine->stopMeasure(0);
  const InputAnalysis& a = engine->analysis[0];
  EXPECT_FALSE(a.measuring);
  EXPECT_FALSE(a.hasProfile);
  EXPECT_EQ(filter.activeProfile.load(), active) << "nothing installed";
  EXPECT_EQ(engine->measureTimer, nullptr);
}

TEST_F(AnalysisProfile, StopInstallsTheLearnedProfileInTheFilter) {
  engine->startMeasure(1);
  EXPECT_TRUE(engine->analysis[1].measuring);
  EXPECT_FALSE(engine->analysis[1].hasProfile);
  feedSine(1, 3000, kToneHz, 0.25f);
  engine->tickAnalysis(1);
  engine->stopMeasure(1);
  const InputAnalysis& a = engine->analysis[1];
  EXPECT_FALSE(a.measuring);
  EXPECT_TRUE(a.hasProfile);
  EXPECT_EQ(engine->measureTimer, nullptr);
  const NoiseFilter& filter = *engine->hwInputs[1].noiseFilter;
  for (int b = 0; b < kBands; ++b) ASSERT_EQ(activeFilterProfile(filter, b), a.profile[b]);
  EXPECT_GT(a.profile[kToneBand], -30.0f);
  EXPECT_FALSE(filter.enabled.load()) << "installing a profile does not switch the filter on";

  // A second stop is ignored.
  const uint32_t active = filter.activeProfile.load();
  engine->stopMeasure(1);
  EXPECT_EQ(filter.activeProfile.load(), active);
  EXPECT_TRUE(a.hasProfile);
}

TEST_F(AnalysisProfile, DiscardWhileMeasuringEndsWithoutAProfile) {
  NoiseFilter& filter = *engine->hwInputs[2].noiseFilter;
  const std::array<float, kBands> earlier = filled(-70.0f);
  engine->setProfile(2, earlier.data());
  filter.enabled.store(true);

  engine->startMeasure(2);
  feedSine(2, 3000, kToneHz, 1.0f);
  engine->tickAnalysis(2);
  const std::array<float, kBands> learned = engine->analysis[2].profile;
  engine->discardProfile(2);

  const InputAnalysis& a = engine->analysis[2];
  EXPECT_FALSE(a.measuring);
  EXPECT_FALSE(a.hasProfile);
  EXPECT_FALSE(filter.enabled.load());
  EXPECT_EQ(engine->measureTimer, nullptr);
  EXPECT_EQ(a.profile, learned) << "the learned values stay";
  for (int b = 0; b < kBands; ++b) ASSERT_EQ(activeFilterProfile(filter, b), -70.0f);
}

TEST_F(AnalysisProfile, SetProfileDuringMeasurementIsRaisedFromThere) {
  engine->startMeasure(0);
  const std::array<float, kBands> given = filled(-50.0f);
  engine->setProfile(0, given.data());
  const InputAnalysis& a = engine->analysis[0];
  EXPECT_TRUE(a.measuring) << "setting a profile does not end the measurement";
  EXPECT_TRUE(a.hasProfile);
  EXPECT_EQ(a.profile, given);

  feedSine(0, 4096, kToneHz, 1.0f);
  engine->tickAnalysis(0);
  EXPECT_GT(a.profile[kToneBand], -10.0f) << "the tone's band rose above the given value";
  EXPECT_EQ(a.profile[100], -50.0f) << "a quiet band keeps the given value";
  EXPECT_EQ(a.profile[200], -50.0f);
  for (int b = 0; b < kBands; ++b) ASSERT_GE(a.profile[b], -50.0f);
}

TEST_F(AnalysisProfile, SetProfileInstallsWithoutTouchingTheSwitch) {
  NoiseFilter& filter = *engine->hwInputs[1].noiseFilter;
  std::array<float, kBands> values;
  for (int b = 0; b < kBands; ++b) values[b] = -100.0f + 0.25f * b;
  engine->setProfile(1, values.data());
  EXPECT_TRUE(engine->analysis[1].hasProfile);
  EXPECT_FALSE(engine->analysis[1].measuring);
  EXPECT_FALSE(filter.enabled.load());
  EXPECT_EQ(engine->analysis[1].profile, values);
  for (int b = 0; b < kBands; ++b) ASSERT_EQ(activeFilterProfile(filter, b), values[b]);

  filter.enabled.store(true);
  engine->setProfile(1, filled(-80.0f).data());
  EXPECT_TRUE(filter.enabled.load());
}

struct BadValue {
  int band;
  float value;
};

class AnalysisProfileRefused : public AnalysisTest,
                               public ::testing::WithParamInterface<BadValue> {};

TEST_P(AnalysisProfileRefused, ValuesThatAreNotFiniteChangeNothing) {
  const BadValue c = GetParam();
  const NoiseFilter& filter = *engine->hwInputs[0].noiseFilter;
  std::array<float, kBands> bad = filled(-60.0f);
  bad[c.band] = c.value;

  // Without a profile yet: still none.
  engine->setProfile(0, bad.data());
  EXPECT_FALSE(engine->analysis[0].hasProfile);
  for (int b = 0; b < kBands; ++b) ASSERT_EQ(activeFilterProfile(filter, b), -120.0f);

  // With one: the installed profile and the one shown stay the same.
  const std::array<float, kBands> good = filled(-75.0f);
  engine->setProfile(0, good.data());
  engine->setProfile(0, bad.data());
  EXPECT_TRUE(engine->analysis[0].hasProfile);
  EXPECT_EQ(engine->analysis[0].profile, good);
  for (int b = 0; b < kBands; ++b) ASSERT_EQ(activeFilterProfile(filter, b), -75.0f);
}

INSTANTIATE_TEST_SUITE_P(Values, AnalysisProfileRefused,
                         ::testing::Values(BadValue{0, NAN}, BadValue{128, INFINITY},
                                           BadValue{256, -INFINITY}));

} // namespace
} // namespace velto::test
