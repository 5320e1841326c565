// When the feedback suppressor decides that a tone is a howl: growth per analysis, how long the
// tone must hold, sensitivity, the quiet gate, steady tones and speech-like material.
#include "feedback_rig.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace velto::test::fb {
namespace {

struct GrowthCase {
  double rateDb;      // level change per analysis
  float sensitivity;  //
  uint32_t holdCount; // analyses the tone holds when it is detected
};

class FeedbackGrowth : public ::testing::TestWithParam<GrowthCase> {};

// The tone crosses the -55 dB gate at analysis k0 (counted from 1); it is detected in the
// analysis where it has been followed for `holdCount` analyses, never earlier.
TEST_P(FeedbackGrowth, DetectedExactlyWhenTheToneHasHeldLongEnough) {
  const GrowthCase c = GetParam();
  Rig rig(c.sensitivity);
  Tone tone{1000.0, -70.0, c.rateDb};
  uint32_t gateAt = 0, detectedAt = 0;
  for (uint32_t k = 1; k <= 100 && detectedAt == 0; ++k) {
    const auto in = tone.hop();
    if (gateAt == 0 && levelDb(in.data(), kHop) >= -55.0) gateAt = k;
    rig.hop(in);
    if (rig.events() > 0) detectedAt = k;
  }
  ASSERT_GE(gateAt, 5u) << "the ring must be full of the tone before it passes the gate";
  EXPECT_EQ(detectedAt, gateAt + c.holdCount - 1);
  EXPECT_EQ(rig.events(), 1u);
  EXPECT_NEAR(rig.bank->feedbackLastHz.load(), 1000.0f, 3.0f);

  // The new notch is published with the next analysis: 12 dB at the tone.
  rig.silence(1);
  const auto notches = rig.bank->notches();
  EXPECT_NEAR(notches[0].first, 1000.0f, 3.0f);
  EXPECT_FLOAT_EQ(notches[0].second, 12.0f);
  for (int k = 1; k < InputFx::kNotches; ++k) EXPECT_EQ(notches[k], std::make_pair(0.0f, 0.0f));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FeedbackGrowth,
    ::testing::Values(GrowthCase{2.0, 5.0f, 6},    // rises 3 dB within two analyses
                      GrowthCase{1.6, 5.0f, 6},    // 3.2 dB within two analyses
                      GrowthCase{1.0, 5.0f, 16},   // too slow to rise: grows over 8 analyses
                      GrowthCase{1.4, 5.0f, 16},   // 2.8 dB within two: still only growing
                      GrowthCase{1.0, 8.0f, 10},   // more sensitive: growth judged from 10
                      GrowthCase{1.0, 10.0f, 8},   // never before 8 analyses
                      GrowthCase{0.5, 1.0f, 24})); // least sensitive: 24 analyses

TEST(FeedbackDetection, LoudToneLastingOneSecondIsDetected) {
  // Steady at -6 dB (above -10 dB): found once it has held for 94 analyses (1.003 s); the
  // candidate starts within the first analyses, as soon as the ring is mostly tone.
  Rig rig;
  Tone tone{800.0, -6.0};
  uint32_t detectedAt = 0;
  for (uint32_t k = 1; k <= 120 && detectedAt == 0; ++k) {
    rig.hop(tone.hop());
    if (rig.events() > 0) detectedAt = k;
  }
  EXPECT_GE(detectedAt, 94u);
  EXPECT_LE(detectedAt, 97u);
}

TEST(FeedbackDetection, SteadyToneBelowMinusTenDbIsLeftAlone) {
  Rig rig;
  Tone tone{800.0, -14.0};
  for (int k = 0; k < 300; ++k) rig.hop(tone.hop()); // 3.2 s
  EXPECT_EQ(rig.events(), 0u);
  EXPECT_EQ(rig.activeNotches(), 0);
}

TEST(FeedbackDetection, QuietInputDropsTheToneBeingFollowed) {
  // One quiet period (below -55 dB) after the tone has been followed for 4 analyses drops it:
  // it needs 6 fresh analyses after the gap instead of being found 2 analyses later.
  auto detection = [](uint32_t gapAt, uint32_t* gateAt) {
    Rig rig;
    Tone tone{1200.0, -70.0, 2.0};
    for (uint32_t k = 1; k <= 60; ++k) {
      auto in = tone.hop();
      if (*gateAt == 0 && levelDb(in.data(), kHop) >= -55.0) *gateAt = k;
      if (k == gapAt) {
        for (auto& x : in) x *= 0.001f; // 60 dB down for one period
      }
      rig.hop(in);
      if (rig.events() > 0) return k;
    }
    return 0u;
  };
  uint32_t gateAt = 0, unused = 0;
  const uint32_t plain = detection(0, &gateAt);
  ASSERT_GT(gateAt, 0u);
  EXPECT_EQ(plain, gateAt + 5);
  const uint32_t gap = gateAt + 4;
  EXPECT_GE(detection(gap, &unused), gap + 6);
}

TEST(FeedbackDetection, SilenceAndQuietNoiseNeverDetect) {
  Rig rig(10.0f);
  rig.silence(200);
  std::mt19937 rng(3);
  std::normal_distribution<float> noise(0.0f, 0.001f); // -60 dB
  std::vector<float> in(kHop);
  for (int k = 0; k < 200; ++k) {
    for (auto& x : in) x = noise(rng);
    rig.hop(in);
  }
  EXPECT_EQ(rig.events(), 0u);
  EXPECT_EQ(rig.bank->feedbackDuckDb.load(), 0.0f);
}

// Syllables of breath noise and a voiced part whose pitch moves with the intonation, at speaking
// level: nothing in it holds still long enough or grows like a howl.
TEST(FeedbackDetection, SpeechLikeMaterialPassesUntouched) {
  Rig rig;
  std::mt19937 rng(11);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  double phase = 0.0;
  const uint32_t hops = 940; // 10 s
  for (uint32_t k = 0; k < hops; ++k) {
    std::vector<float> in(kHop);
    for (uint32_t i = 0; i < kHop; ++i) {
      const double t = static_cast<double>(k * kHop + i) / kRate;
      const double syllable = 0.5 + 0.5 * std::sin(2.0 * std::numbers::pi * 4.0 * t);
      const double f0 = 150.0 + 30.0 * std::sin(2.0 * std::numbers::pi * 3.0 * t) +
                        20.0 * std::sin(2.0 * std::numbers::pi * 0.7 * t);
      phase += 2.0 * std::numbers::pi * f0 / kRate;
      double voiced = 0.0;
      for (int h = 1; h <= 12; ++h) voiced += std::sin(h * phase) / h;
      const bool vowel = std::fmod(t, 0.5) < 0.3;
      in[i] = static_cast<float>(syllable * (vowel ? 0.08 * voiced : 0.0) +
                                 syllable * 0.02 * noise(rng));
    }
    rig.hop(in);
    // No notch and no duck: the suppressor hands the signal on sample for sample.
    ASSERT_EQ(rig.out, in) << "analysis " << k;
  }
  EXPECT_EQ(rig.events(), 0u);
  EXPECT_EQ(rig.activeNotches(), 0);
}

} // namespace
} // namespace velto::test::fb
