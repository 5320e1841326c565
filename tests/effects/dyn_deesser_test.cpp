// The de-esser on tones: a sibilant band at its frequency is lowered by the wanted amount (never
// more than "range"), a low voice tone passes untouched, and a mix of both keeps the low tone.
#include "tests/effects/dyn_signals.h"

#include <gtest/gtest.h>

namespace velto {
namespace {

using namespace test::dyn;

constexpr size_t kLength = 48000;
constexpr size_t kSettled = 12000;

double levelChangeDb(const Stereo& out, const Stereo& in, double hz) {
  const size_t count = kLength - kSettled;
  return gainToDb(amplitudeAt(out.left, hz, kSettled, count) /
                  amplitudeAt(in.left, hz, kSettled, count));
}

TEST(DeEsser, LowToneWithoutSibilanceEnergyPassesUnchanged) {
  auto bank = bankWith(FxId::deEsser); // 6500 Hz, threshold -30 dB, range 10 dB
  Stereo s = {sine(kLength, 500.0, dbToGain(-10.0)), sine(kLength, 180.0, dbToGain(-6.0))};
  const Stereo in = s;
  run(*bank, s);
  EXPECT_EQ(s.left, in.left);
  EXPECT_EQ(s.right, in.right);
  EXPECT_EQ(bank->takeReductionDb(FxId::deEsser), 0.0f);
}

struct Case {
  float frequencyHz, thresholdDb, rangeDb, toneDb, expectedDb;
};

class DeEsserBand : public testing::TestWithParam<Case> {};

// A tone at the band centre passes the 0 dB band-pass whole, so it is lowered by the wanted
// reduction: (level - threshold) x 0.75, capped at "range".
TEST_P(DeEsserBand, ToneAtTheBandCentreIsLoweredByTheWantedAmount) {
  const Case c = GetParam();
  auto bank =
      bankWith(FxId::deEsser,
               {{"frequency", c.frequencyHz}, {"threshold", c.thresholdDb}, {"range", c.rangeDb}});
  Stereo s = both(sine(kLength, c.frequencyHz, dbToGain(c.toneDb)));
  const Stereo in = s;
  run(*bank, s);
  EXPECT_NEAR(levelChangeDb(s, in, c.frequencyHz), c.expectedDb, 0.3);
  const float reading = bank->takeReductionDb(FxId::deEsser);
  EXPECT_GE(reading, -c.rangeDb - 1e-3f) << "never more than the range";
  EXPECT_NEAR(reading, c.expectedDb, 0.3);
}

INSTANTIATE_TEST_SUITE_P(Sibilance, DeEsserBand,
                         testing::Values(Case{6500, -30, 10, -10, -10},
                                         Case{6500, -30, 20, -10, -15}, Case{6500, -30, 5, 0, -5},
                                         Case{6500, -30, 20, -26, -3},
                                         Case{4000, -40, 20, -20, -15}, Case{9000, -20, 0, 0, 0}));

// Voice plus sibilance: the 6.5 kHz part is cut, the 500 Hz part stays within a fraction of a dB
// (only the little of it that leaks into the band-pass is touched).
TEST(DeEsser, CutsTheSibilantBandAndLeavesTheVoiceTone) {
  auto bank = bankWith(FxId::deEsser);
  const auto voice = sine(kLength, 500.0, 0.3);
  auto mixed = sine(kLength, 6500.0, 0.3);
  for (size_t i = 0; i < kLength; ++i) mixed[i] += voice[i];
  Stereo s = both(mixed);
  const Stereo in = s;
  run(*bank, s);
  EXPECT_NEAR(levelChangeDb(s, in, 500.0), 0.0, 0.2);
  EXPECT_LT(levelChangeDb(s, in, 6500.0), -8.0);
  EXPECT_GE(levelChangeDb(s, in, 6500.0), -10.3);
}

} // namespace
} // namespace velto
