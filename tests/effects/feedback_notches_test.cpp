// What the feedback suppressor does once it has found a howl: notch depth per detection, the
// duck, slot reuse, the published notch list, resets, switching, and the 60 s expiry.
#include "feedback_rig.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>

namespace velto::test::fb {
namespace {

// Magnitude in dB of a peaking cut of `depthDb` at `centreHz` with Q 30, evaluated at `hz`.
double peakingCutDb(double centreHz, double depthDb, double hz) {
  const double a = std::pow(10.0, -depthDb / 40.0);
  const double w0 = 2.0 * std::numbers::pi * centreHz / kRate;
  const double alpha = std::sin(w0) / 60.0;
  const std::complex<double> z = std::polar(1.0, -2.0 * std::numbers::pi * hz / kRate);
  const std::complex<double> num =
      (1.0 + alpha * a) - 2.0 * std::cos(w0) * z + (1.0 - alpha * a) * z * z;
  const std::complex<double> den =
      (1.0 + alpha / a) - 2.0 * std::cos(w0) * z + (1.0 - alpha / a) * z * z;
  return 20.0 * std::log10(std::abs(num / den));
}

// Gain in dB that the bank applies to a quiet probe at `hz` (below the -55 dB gate, so the
// probe itself never triggers anything).
double probeGainDb(Rig& rig, double hz) {
  Tone probe{hz, -62.0};
  for (int k = 0; k < 4; ++k) rig.hop(probe.hop()); // let the notch filter settle
  const uint64_t start = probe.n;
  const auto in = probe.hop();
  rig.hop(in);
  return 20.0 * std::log10(amplitudeAt(rig.out.data(), kHop, hz, start) /
                           amplitudeAt(in.data(), kHop, hz, start));
}

TEST(FeedbackNotches, DetectionsDeepenTheNotchThenDuckTheInput) {
  // A tone that keeps growing by 2 dB per analysis is found every 6 analyses: the notch starts
  // at 12 dB and deepens by 6 dB up to "range"; detections less than 3 s apart duck the input
  // by 6 dB more each, and a hit at full depth adds another 6 dB (at most 24).
  Rig rig;
  Tone tone{1000.0, -66.0, 2.0};
  struct Expect {
    float depth, duck;
  };
  const Expect expected[] = {{12, 0}, {18, 6}, {24, 12}, {24, 24}};
  uint32_t seen = 0;
  for (int k = 0; k < 200 && seen < 4; ++k) {
    rig.hop(tone.hop());
    if (rig.events() == seen) continue;
    ASSERT_EQ(rig.events(), seen + 1);
    rig.hop(tone.hop()); // published with the next analysis
    const auto notches = rig.bank->notches();
    EXPECT_NEAR(notches[0].first, 1000.0f, 3.0f) << "detection " << seen + 1;
    EXPECT_FLOAT_EQ(notches[0].second, expected[seen].depth) << "detection " << seen + 1;
    EXPECT_FLOAT_EQ(rig.bank->feedbackDuckDb.load(), expected[seen].duck)
        << "detection " << seen + 1;
    EXPECT_EQ(rig.activeNotches(), 1);
    ++seen;
  }
  ASSERT_EQ(seen, 4u);

  // On the signal (a steady probe: a growing tone escapes a narrow notch in part): 1 kHz loses
  // what the 24 dB notch, centred where the howl was measured, cuts there, and the duck's 24 dB.
  const double notch = peakingCutDb(rig.bank->notches()[0].first, 24.0, 1000.0);
  EXPECT_LT(notch, -18.0);
  EXPECT_NEAR(probeGainDb(rig, 1000.0), notch - 24.0, 0.3);
  EXPECT_NEAR(rig.bank->takeReductionDb(FxId::feedback), -24.0f, 0.01f);
}

TEST(FeedbackNotches, NotchCutsItsFrequencyByItsDepthAndLeavesTheRestAlone) {
  Rig rig(5.0f, 9.0f); // range 9 dB: the first notch is min(range, 12) = 9 dB
  ASSERT_TRUE(rig.detect(2000.0));
  EXPECT_NEAR(rig.bank->notches()[0].second, 9.0f, 1e-6f);
  EXPECT_NEAR(probeGainDb(rig, rig.bank->notches()[0].first), -9.0, 0.05);
  EXPECT_NEAR(probeGainDb(rig, 1000.0), 0.0, 0.05);
  EXPECT_NEAR(probeGainDb(rig, 4000.0), 0.0, 0.05);
}

TEST(FeedbackNotches, LoneDetectionDoesNotDuckButAQuickSecondOneDoes) {
  // The first detection of a bank has no predecessor, so it cannot follow one closely.
  Rig rig;
  ASSERT_TRUE(rig.detect(700.0));
  rig.silence(1);
  EXPECT_EQ(rig.bank->feedbackDuckDb.load(), 0.0f);
  ASSERT_TRUE(rig.detect(1900.0)); // a different tone, well within 3 s
  rig.silence(1);
  EXPECT_EQ(rig.bank->feedbackDuckDb.load(), 6.0f);
  EXPECT_EQ(rig.activeNotches(), 2);
}

TEST(FeedbackNotches, DetectionsMoreThanThreeSecondsApartDoNotDuck) {
  Rig rig;
  ASSERT_TRUE(rig.detect(700.0));
  rig.silence(290); // 3.1 s
  ASSERT_TRUE(rig.detect(1900.0));
  rig.silence(1);
  EXPECT_EQ(rig.bank->feedbackDuckDb.load(), 0.0f);
}

TEST(FeedbackNotches, TonesWithinFourPercentShareOneNotch) {
  Rig rig;
  ASSERT_TRUE(rig.detect(1000.0));
  ASSERT_TRUE(rig.detect(1030.0)); // 3 % higher
  rig.silence(1);
  EXPECT_EQ(rig.activeNotches(), 1);
  EXPECT_NEAR(rig.bank->notches()[0].first, 1000.0f, 3.0f);
  EXPECT_FLOAT_EQ(rig.bank->notches()[0].second, 18.0f);
  ASSERT_TRUE(rig.detect(1100.0)); // 10 % higher: a notch of its own
  rig.silence(1);
  EXPECT_EQ(rig.activeNotches(), 2);
}

TEST(FeedbackNotches, SeventhToneReplacesTheSlotHitLongestAgo) {
  Rig rig;
  const double tones[] = {500, 700, 1000, 1400, 2000, 2800};
  for (double hz : tones) ASSERT_TRUE(rig.detect(hz)) << hz;
  ASSERT_TRUE(rig.detect(1000.0)); // a fresh hit on slot 2: slot 0 is now the oldest
  ASSERT_TRUE(rig.detect(4000.0));
  rig.silence(1);
  const auto notches = rig.bank->notches();
  EXPECT_NEAR(notches[0].first, 4000.0f, 8.0f);
  EXPECT_FLOAT_EQ(notches[0].second, 12.0f); // grows from nothing to the first depth
  for (int k = 1; k < 6; ++k) EXPECT_NEAR(notches[k].first, tones[k], tones[k] * 0.004) << k;
  EXPECT_FLOAT_EQ(notches[2].second, 18.0f);
  EXPECT_EQ(rig.events(), 8u);
}

TEST(FeedbackNotches, ResetRequestClearsNotchesAndDuckButKeepsCountAndFrequency) {
  Rig rig;
  ASSERT_TRUE(rig.detect(1000.0));
  ASSERT_TRUE(rig.detect(2500.0));
  rig.silence(1);
  ASSERT_EQ(rig.activeNotches(), 2);
  ASSERT_GT(rig.bank->feedbackDuckDb.load(), 0.0f);
  const float lastHz = rig.bank->feedbackLastHz.load();

  rig.bank->feedbackReset.fetch_add(1);
  float block[2 * 64] = {};
  rig.bank->process(block, 64); // the next block acts on the request
  EXPECT_EQ(rig.activeNotches(), 0);
  for (const auto& [hz, depth] : rig.bank->notches()) EXPECT_EQ(hz, 0.0f);
  EXPECT_EQ(rig.bank->feedbackDuckDb.load(), 0.0f);
  EXPECT_EQ(rig.events(), 2u);
  EXPECT_EQ(rig.bank->feedbackLastHz.load(), lastHz);
  EXPECT_NEAR(probeGainDb(rig, 1000.0), 0.0, 0.01); // neither notch nor duck left
}

TEST(FeedbackNotches, SwitchingOffKeepsNotchesUntilSwitchedOnAfterAFullFadeOut) {
  Rig rig;
  ASSERT_TRUE(rig.detect(1000.0));
  rig.silence(1);
  ASSERT_EQ(rig.activeNotches(), 1);

  // Off and on again within the fade: nothing is reset.
  rig.bank->enabled[FxId::feedback].store(false);
  float block[2 * 64] = {};
  for (int b = 0; b < 3; ++b) rig.bank->process(block, 64);
  rig.bank->enabled[FxId::feedback].store(true);
  rig.bank->process(block, 64);
  EXPECT_EQ(rig.activeNotches(), 1);

  // Off until fully faded out: the notch list stays as it was while the suppressor rests.
  rig.bank->enabled[FxId::feedback].store(false);
  for (int b = 0; b < 40; ++b) rig.bank->process(block, 64);
  EXPECT_EQ(rig.activeNotches(), 1);
  rig.bank->enabled[FxId::feedback].store(true);
  rig.bank->process(block, 64);
  EXPECT_EQ(rig.activeNotches(), 0);
  EXPECT_EQ(rig.events(), 1u);
}

// About a minute of silence after two detections of one tone (range 12): the duck holds for 2 s,
// falls by 1 dB per second down to its floor, and the floor and the notch expire after 5626
// analyses (60 s) without a hit.
TEST(FeedbackNotches, NotchAndDuckFloorExpireAfterSixtySeconds) {
  Rig rig(5.0f, 12.0f);
  Tone tone{1000.0, -66.0, 2.0};
  while (rig.events() < 2 && rig.analyses < 200) rig.hop(tone.hop());
  ASSERT_EQ(rig.events(), 2u);
  // Second detection: the notch is already at range (duck +6) and it follows the first closely
  // (another +6): duck 12 dB with a floor of 6 dB.
  const uint32_t detection = rig.analyses;
  auto at = [&](uint32_t since) {
    while (rig.analyses < detection + since) rig.silence(1);
  };
  constexpr float kFall = 0.010666667f; // dB per analysis
  at(1);
  EXPECT_FLOAT_EQ(rig.bank->feedbackDuckDb.load(), 12.0f);
  EXPECT_FLOAT_EQ(rig.bank->notches()[0].second, 12.0f);
  at(187);
  EXPECT_FLOAT_EQ(rig.bank->feedbackDuckDb.load(), 12.0f);
  at(188); // 2 s without a detection
  EXPECT_NEAR(rig.bank->feedbackDuckDb.load(), 12.0f - kFall, 1e-5f);
  at(188 + 281); // 3 s later: 3 dB lower
  EXPECT_NEAR(rig.bank->feedbackDuckDb.load(), 12.0f - 282 * kFall, 1e-3f);
  at(800);
  EXPECT_FLOAT_EQ(rig.bank->feedbackDuckDb.load(), 6.0f); // held at the floor
  rig.bank->takeReductionDb(FxId::feedback);              // forget the deeper duck before
  EXPECT_NEAR(probeGainDb(rig, 3000.0), -6.0, 0.02);
  EXPECT_NEAR(rig.bank->takeReductionDb(FxId::feedback), -6.0f, 0.01f);
  at(5625);
  EXPECT_FLOAT_EQ(rig.bank->feedbackDuckDb.load(), 6.0f);
  EXPECT_FLOAT_EQ(rig.bank->notches()[0].second, 12.0f);
  at(5626); // 60 s without a hit: the notch and the floor let go
  EXPECT_EQ(rig.bank->notches()[0], std::make_pair(0.0f, 0.0f));
  EXPECT_NEAR(rig.bank->feedbackDuckDb.load(), 6.0f - kFall, 1e-5f);
  at(5626 + 600);
  EXPECT_EQ(rig.bank->feedbackDuckDb.load(), 0.0f);
  EXPECT_NEAR(probeGainDb(rig, 1000.0), 0.0, 0.01); // the notch has glided out
  EXPECT_EQ(rig.activeNotches(), 0);
}

} // namespace
} // namespace velto::test::fb
