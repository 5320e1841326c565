// The harmonizer in a bank at 48000 Hz: voices on the scale of the chosen key, panning by width,
// voices that are off, and unvoiced input.
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
constexpr int kKey = 1, kScale = 2, kVoice1 = 3, kMix = 6, kWidth = 7;

std::unique_ptr<InputFx> harmonizer(float key, float scale, float s1, float s2, float s3) {
  auto bank = bankWithOnly(FxId::harmonizer);
  bank->set(FxId::harmonizer, kKey, key);
  bank->set(FxId::harmonizer, kScale, scale);
  bank->set(FxId::harmonizer, kVoice1, s1);
  bank->set(FxId::harmonizer, kVoice1 + 1, s2);
  bank->set(FxId::harmonizer, kVoice1 + 2, s3);
  bank->set(FxId::harmonizer, kMix, 100.0f);
  return bank;
}

double noteHz(double midi) {
  return 440.0 * std::exp2((midi - 69.0) / 12.0);
}

TEST(Harmonizer, VoiceLandsOnTheScaleStepAboveOrBelowTheSungNote) {
  struct Case {
    int key, scale; // key 0 = C ... 9 = A, 11 = H; scale 0 major, 1 minor, 2 chromatic
    float step;
    double sungHz;
    double expectMidi;
    float mode = 0.0f; // 0 "Stimme", 1 "Alles"
  };
  const Case cases[] = {
      {9, 0, 2, 440.0, 73},     // A major, A sung, a third up: C sharp
      {9, 0, 4, 440.0, 76},     // a fifth up: E
      {9, 0, -2, 440.0, 66},    // a third down: F sharp
      {9, 0, 7, 440.0, 81},     // an octave up
      {0, 0, 2, 440.0, 72},     // C major, A sung: C
      {9, 1, 2, 440.0, 72},     // A minor: C
      {2, 1, -1, 293.66, 60},   // D minor, D sung, a step down: C
      {0, 2, -3, 440.0, 66},    // chromatic: three semitones down
      {0, 0, 2, 430.0, 72},     // sung a little flat: the voice still lands on C exactly
      {7, 0, 1, 196.0, 57},     // G major, G sung, one step up: A
      {11, 0, 2, 246.94, 63},   // H major, H sung: D sharp
      {9, 0, 2, 440.0, 73, 1},  // the same in "Alles"
      {0, 1, -2, 392.0, 63, 1}, // C minor, G sung, a third down: E flat
  };
  for (const Case& c : cases) {
    auto bank = harmonizer(static_cast<float>(c.key), static_cast<float>(c.scale), c.step, 0, 0);
    bank->set(FxId::harmonizer, kWidth, 0.0f);
    bank->set(FxId::harmonizer, 0, c.mode);
    auto left = sawtooth(2 * kSecond + kSecond / 2, c.sungHz, 0.4f);
    auto right = left;
    runStereo(*bank, left, right);
    const double target = noteHz(c.expectMidi);
    const double found = peakHz(left, kSecond, 3 * kSecond / 2, target * 0.985, target * 1.015);
    EXPECT_NEAR(cents(found, target), 0.0, 5.0)
        << "key " << c.key << " scale " << c.scale << " step " << c.step << " mode " << c.mode;
    EXPECT_GT(windowedMagnitude(left, kSecond, 3 * kSecond / 2, target),
              0.2 * windowedMagnitude(left, kSecond, 3 * kSecond / 2, c.sungHz))
        << "key " << c.key << " scale " << c.scale << " step " << c.step;
  }
}

TEST(Harmonizer, KeyAMajorSungAThirdUpHasTheRatioOfFourSemitones) {
  auto bank = harmonizer(9, 0, 2, 0, 0);
  auto left = sawtooth(kSecond, 440.0, 0.4f);
  auto right = left;
  runStereo(*bank, left, right);
  const float f0 = bank->shifters[2].voicedFrequency();
  ASSERT_GT(f0, 0.0f);
  // The ratio is taken against the detected pitch, so the voice sounds exactly C sharp.
  EXPECT_NEAR(f0 * bank->harmonizerRatio[0], noteHz(73), noteHz(73) * 1e-4);
  EXPECT_NEAR(bank->harmonizerRatio[0], std::exp2(4.0 / 12.0), 0.003);
}

TEST(Harmonizer, AllStepsZeroAddsNothingAndRunsNoShifter) {
  auto bank = harmonizer(0, 0, 0, 0, 0);
  const auto in = sawtooth(kSecond / 2, 330.0, 0.4f);
  auto left = in, right = in;
  runStereo(*bank, left, right);
  EXPECT_EQ(left, in);
  EXPECT_EQ(right, in);
  EXPECT_EQ(bank->shifters[2].time, 0u);
}

TEST(Harmonizer, VoiceOneOffVoiceTwoOnRendersTwoButOnlyTheSecondIsHeard) {
  auto bank = harmonizer(9, 0, 0, 4, 0);
  bank->set(FxId::harmonizer, kWidth, 0.0f);
  const auto in = sawtooth(2 * kSecond, 440.0, 0.4f);
  auto left = in, right = in;
  runStereo(*bank, left, right);
  EXPECT_TRUE(bank->shifters[2].started[0]);
  EXPECT_TRUE(bank->shifters[2].started[1]);
  EXPECT_FALSE(bank->shifters[2].started[2]);
  std::vector<float> added(in.size());
  for (size_t t = 0; t < in.size(); ++t) added[t] = left[t] - in[t];
  // Voice 2 is the fifth (E); voice 1 would sit in unison on A and must be silent.
  const double fifth = windowedMagnitude(added, kSecond, kSecond, noteHz(76));
  EXPECT_GT(fifth, 0.2 * windowedMagnitude(in, kSecond, kSecond, 440.0));
  EXPECT_LT(windowedMagnitude(added, kSecond, kSecond, 440.0), 0.05 * fifth);
}

TEST(Harmonizer, WidthPansVoiceOneLeftVoiceTwoRightVoiceThreeCentre) {
  struct Case {
    float s1, s2, s3;
    float width;
    double leftShare, rightShare; // of each voice, by channel
  };
  const Case cases[] = {
      {2, 0, 0, 100, 1.0, 0.0}, {0, 2, 0, 100, 0.0, 1.0}, {0, 0, 2, 100, 1.0, 1.0},
      {2, 0, 0, 50, 1.0, 0.5},  {0, 2, 0, 50, 0.5, 1.0},  {2, 0, 0, 0, 1.0, 1.0},
  };
  for (const Case& c : cases) {
    auto bank = harmonizer(9, 0, c.s1, c.s2, c.s3);
    bank->set(FxId::harmonizer, kWidth, c.width);
    const auto in = sawtooth(kSecond, 440.0, 0.4f);
    auto left = in, right = in;
    runStereo(*bank, left, right);
    double addedL = 0.0, addedR = 0.0;
    for (size_t t = kSecond / 2; t < in.size(); ++t) {
      addedL += std::pow(left[t] - in[t], 2.0);
      addedR += std::pow(right[t] - in[t], 2.0);
    }
    const double loud = std::max(addedL, addedR);
    ASSERT_GT(loud, 1.0);
    EXPECT_NEAR(std::sqrt(addedL / loud), c.leftShare, 1e-3) << c.s1 << c.s2 << c.s3 << c.width;
    EXPECT_NEAR(std::sqrt(addedR / loud), c.rightShare, 1e-3) << c.s1 << c.s2 << c.s3 << c.width;
  }
}

TEST(Harmonizer, UnvoicedInputKeepsTheLastRatios) {
  auto bank = harmonizer(9, 0, 2, 4, -3);
  auto left = sawtooth(kSecond, 440.0, 0.4f);
  auto right = left;
  runStereo(*bank, left, right);
  const float before[3] = {bank->harmonizerRatio[0], bank->harmonizerRatio[1],
                           bank->harmonizerRatio[2]};
  EXPECT_NEAR(before[0], std::exp2(4.0 / 12.0), 0.003);
  EXPECT_NEAR(before[1], std::exp2(7.0 / 12.0), 0.003);
  EXPECT_NEAR(before[2], std::exp2(-5.0 / 12.0), 0.003); // three steps down from A: E

  // Breath noise: once the detection frame holds only noise, nothing moves any more.
  auto noiseL = test::shift::whiteNoise(kSecond / 2, 0.3f, 21);
  auto noiseR = noiseL;
  runStereo(*bank, noiseL, noiseR);
  ASSERT_EQ(bank->shifters[2].voicedFrequency(), 0.0f);
  const float settled[3] = {bank->harmonizerRatio[0], bank->harmonizerRatio[1],
                            bank->harmonizerRatio[2]};
  noiseL = test::shift::whiteNoise(kSecond / 2, 0.3f, 22);
  noiseR = noiseL;
  runStereo(*bank, noiseL, noiseR);
  for (int j = 0; j < 3; ++j) {
    EXPECT_EQ(bank->harmonizerRatio[j], settled[j]) << j;
    EXPECT_NEAR(settled[j], before[j], 0.01) << j;
  }
}

TEST(Harmonizer, RatiosGlideThirtyPercentPerBlock) {
  auto bank = harmonizer(9, 0, 2, 0, 0);
  const auto tone = sawtooth(kSecond / 2 + 3 * 64, 440.0, 0.4f);
  std::vector<float> left(tone.begin(), tone.begin() + kSecond / 2);
  auto right = left;
  runStereo(*bank, left, right, 64);
  const float f0 = bank->shifters[2].voicedFrequency();
  ASSERT_GT(f0, 0.0f);
  // Jump from a third up (C sharp) to a fifth up (E): every block closes 30 % of the gap while
  // the detected pitch stays the same.
  bank->set(FxId::harmonizer, kVoice1, 4.0f);
  const double target = noteHz(76) / f0;
  double gap = bank->harmonizerRatio[0] - target;
  ASSERT_GT(std::fabs(gap), 0.1);
  std::vector<float> block(128, 0.0f);
  int compared = 0;
  for (size_t b = 0; b < 3; ++b) {
    const float f0AtStart = bank->shifters[2].voicedFrequency();
    if (f0AtStart != f0) break; // a fresh detection moves the target
    for (size_t i = 0; i < 64; ++i)
      block[2 * i] = block[2 * i + 1] = tone[kSecond / 2 + 64 * b + i];
    bank->process(block.data(), 64);
    const double now = bank->harmonizerRatio[0] - target;
    EXPECT_NEAR(now, 0.7 * gap, 1e-5) << b;
    gap = now;
    ++compared;
  }
  EXPECT_GE(compared, 1);
}

} // namespace
} // namespace velto
