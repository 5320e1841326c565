// The bank's filter effects measured with sines at 48000 Hz: the low cut's corner and slopes,
// EQ bands at their centre, the EQ response against a measured sweep, the de-esser's detection
// band, and the parameter glide block by block.
#include "effects/input_fx.h"
#include "tests/effects/bank_signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

namespace velto {
namespace {

using test::measuredGainDb;

std::unique_ptr<InputFx> bankWith(FxId id) {
  auto bank = std::make_unique<InputFx>();
  test::switchAllOff(*bank);
  bank->enabled[id].store(true);
  return bank;
}

TEST(BankFilters, LowCutIsThreeDecibelsDownAtItsCornerWithTheStatedSlope) {
  const struct {
    float corner, slope;
  } cases[] = {{80, 12}, {80, 24}, {300, 12}, {300, 24}, {160, 24}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.corner << " Hz, " << c.slope << " dB/Okt");
    auto bank = bankWith(FxId::lowCut);
    bank->set(FxId::lowCut, 0, c.corner);
    bank->set(FxId::lowCut, 1, c.slope);
    EXPECT_NEAR(measuredGainDb(*bank, c.corner), -3.01, 0.05);
    // An octave far below the corner (f/8 against f/16) falls by the slope.
    const double upper = measuredGainDb(*bank, c.corner / 8.0, 96000, 96000);
    const double lower = measuredGainDb(*bank, c.corner / 16.0, 96000, 96000);
    EXPECT_NEAR(upper - lower, c.slope, 0.15);
    EXPECT_NEAR(measuredGainDb(*bank, 2000.0), 0.0, 0.02); // the voice passes
  }
}

TEST(BankFilters, EqPeakReachesExactlyItsGainAtItsCentre) {
  const struct {
    int band; // index of "mid1-frequency" or "mid2-frequency"; gain and Q follow it
    float hz, gainDb, q;
  } cases[] = {{2, 1000, 12, 1}, {2, 250, -9, 0.5f},   {2, 4000, 18, 10},
               {5, 3000, 6, 4},  {5, 9000, -18, 0.3f}, {5, 600, 3.5f, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.hz << " Hz " << c.gainDb << " dB Q " << c.q);
    auto bank = bankWith(FxId::eq);
    bank->set(FxId::eq, c.band, c.hz);
    bank->set(FxId::eq, c.band + 1, c.gainDb);
    bank->set(FxId::eq, c.band + 2, c.q);
    EXPECT_NEAR(bank->eqResponseDb(c.hz), c.gainDb, 1e-9); // before any audio ran
    EXPECT_NEAR(measuredGainDb(*bank, c.hz), c.gainDb, 0.02);
  }
}

TEST(BankFilters, EqResponseAgreesWithAMeasuredSweep) {
  const float values[10] = {150, 4.5f, 350, -6, 0.7f, 3500, 5, 2.5f, 9000, -7};
  auto bank = bankWith(FxId::eq);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(bank->set(FxId::eq, i, values[i]));
  for (double hz = 25.0; hz < 20000.0; hz *= 1.5) {
    EXPECT_NEAR(bank->eqResponseDb(hz), measuredGainDb(*bank, hz, 24000, 24000), 0.1) << hz;
  }
  EXPECT_NEAR(bank->eqResponseDb(10.0), 4.5, 0.1); // the low shelf far below its corner
}

TEST(BankFilters, DeEsserBandPassesItsCentreAtZeroDecibels) {
  auto bank = std::make_unique<InputFx>(); // feedback on: blocks run and prepare the filters
  bank->set(FxId::deEsser, 0, 5000.0f);
  std::vector<float> block(128, 0.0f);
  bank->process(block.data(), 64);
  auto bandDb = [&](double hz) {
    bank->deEsserFilter->reset();
    const auto in = test::sine(24000, hz, 0.5f);
    auto out = in;
    for (size_t pos = 0; pos < in.size(); pos += 64) {
      const float* src[2] = {in.data() + pos, in.data() + pos};
      float* dst[2] = {out.data() + pos, block.data()};
      bank->deEsserFilter->process(src, dst, 64);
    }
    return test::toDb(test::amplitudeAt(out, hz, 12000, 12000) / 0.5);
  };
  EXPECT_NEAR(bandDb(5000.0), 0.0, 0.02);
  EXPECT_LT(bandDb(1000.0), -12.0); // Q 1: about -14 dB a factor 5 below
  EXPECT_LT(bandDb(500.0), -19.0);  // and -20 dB a decade below
}

// One 64-frame block of a quiet sine through the bank.
void oneBlock(InputFx& bank, size_t& clock) {
  auto left = test::sine(64, 440.0, 0.1f, clock);
  auto buffer = test::interleave(left, left);
  bank.process(buffer.data(), 64);
  clock += 64;
}

TEST(BankFilters, ParameterChangesGlideByTheStatedFactorPerBlock) {
  auto bank = bankWith(FxId::eq);
  size_t clock = 0;
  oneBlock(*bank, clock); // the first block snaps to the parameters
  EXPECT_EQ(bank->smoothed[FxId::eq][2], 400.0f);
  bank->set(FxId::eq, 2, 1600.0f); // log kind: glides in the logarithm
  bank->set(FxId::eq, 3, 12.0f);   // linear kind
  const double c = 1.0 - std::exp(-1.0 / 15.0);
  for (int k = 1; k <= 40; ++k) {
    oneBlock(*bank, clock);
    const double done = 1.0 - std::pow(1.0 - c, k);
    EXPECT_NEAR(bank->smoothed[FxId::eq][3], 12.0 * done, 2e-4) << "block " << k;
    EXPECT_NEAR(bank->smoothed[FxId::eq][2], 400.0 * std::pow(4.0, done), 0.05) << "block " << k;
    EXPECT_EQ(bank->applied[FxId::eq][3], bank->smoothed[FxId::eq][3]); // coefficients follow
  }
  for (int k = 0; k < 200; ++k) oneBlock(*bank, clock);
  EXPECT_EQ(bank->smoothed[FxId::eq][2], 1600.0f); // the glide ends on the target exactly
  EXPECT_NEAR(measuredGainDb(*bank, 1600.0), 12.0, 0.02);

  // The low cut's corner glides too, its slope (a choice) switches at once.
  auto cut = bankWith(FxId::lowCut);
  oneBlock(*cut, clock);
  cut->set(FxId::lowCut, 0, 200.0f);
  cut->set(FxId::lowCut, 1, 24.0f);
  oneBlock(*cut, clock);
  EXPECT_EQ(cut->smoothed[FxId::lowCut][1], 24.0f);
  EXPECT_NEAR(cut->smoothed[FxId::lowCut][0], 80.0 * std::pow(2.5, c), 0.01);
  EXPECT_NE(cut->lowCutCoefs[2 * 5], 1.0); // second section no longer a pass-through
}

TEST(BankFilters, ANumberThatIsNotFiniteNeverReachesAFilter) {
  auto bank = bankWith(FxId::eq);
  bank->set(FxId::eq, 3, 6.0f);
  size_t clock = 0;
  oneBlock(*bank, clock);
  EXPECT_FALSE(bank->set(FxId::eq, 2, std::numeric_limits<float>::quiet_NaN()));
  // Even a value slipped into the atomic past set() is held off, and the glide recovers.
  bank->params[FxId::eq][4].store(std::numeric_limits<float>::quiet_NaN());
  for (int k = 0; k < 20; ++k) oneBlock(*bank, clock);
  EXPECT_EQ(bank->smoothed[FxId::eq][4], 1.0f);
  bank->params[FxId::eq][4].store(2.0f);
  const auto out = test::runMono(*bank, test::sine(48000, 400.0, 0.5f));
  for (const float v : out) ASSERT_TRUE(std::isfinite(v));
  EXPECT_NEAR(test::toDb(test::amplitudeAt(out, 400.0, 24000, 24000) / 0.5), 6.0, 0.02);
}

} // namespace
} // namespace velto
