// The noise gate on real levels: opening and closing thresholds with their 4 dB of hysteresis,
// attack, hold and release at their stated rates in dB per sample, the depth of the closed gate,
// the linked detector, and the gain-reduction reading.
#include "tests/effects/dyn_signals.h"

#include <gtest/gtest.h>

namespace velto {
namespace {

using namespace test::dyn;

constexpr float kQuiet = 0.001f; // -60 dB: below every closing level used here

// Gain the gate applied at every sample, in dB (the input is never zero).
std::vector<double> gainDb(const std::vector<float>& out, const std::vector<float>& in) {
  std::vector<double> g(out.size());
  for (size_t i = 0; i < out.size(); ++i) g[i] = gainToDb(out[i] / in[i]);
  return g;
}

struct Timing {
  float attackMs, holdMs, releaseMs;
};

class GateTiming : public testing::TestWithParam<Timing> {};

// Closed on a quiet level, one click on the right channel only opens the gate: it rises at
// range/attack, stays open for the hold time, then falls at range/release back to -range.
TEST_P(GateTiming, ClickOpensHoldsAndClosesAtStatedRates) {
  const Timing t = GetParam();
  const float range = 30.0f;
  auto bank = bankWith(FxId::gate, {{"threshold", -40.0f},
                                    {"range", range},
                                    {"attack", t.attackMs},
                                    {"hold", t.holdMs},
                                    {"release", t.releaseMs}});
  const double attack = t.attackMs * 48.0, release = t.releaseMs * 48.0;
  const auto hold = static_cast<size_t>(t.holdMs * 48.0);
  const size_t click = 60000; // fully closed by then at every release
  Stereo s = both(std::vector<float>(click + hold + static_cast<size_t>(release) + 4000, kQuiet));
  s.right[click] = 0.5f; // the louder channel decides for both
  const Stereo in = s;
  run(*bank, s);
  const auto g = gainDb(s.left, in.left);

  for (size_t n = 0; n < g.size(); ++n) {
    double expected;
    if (n < click) {
      expected = std::max<double>(-range, -(n + 1.0) * range / release); // closing from 0 dB
    } else if (n <= click + hold) {
      expected = std::min(0.0, -range + (n - click + 1.0) * range / attack);
    } else {
      expected = std::max<double>(-range, -double(n - click - hold) * range / release);
    }
    // The gain moves in float steps: thousands of them drift by a few thousandths of a dB.
    ASSERT_NEAR(g[n], expected, 0.01) << "sample " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Times, GateTiming,
                         testing::Values(Timing{0.1f, 50.0f, 150.0f}, Timing{1.0f, 10.0f, 20.0f},
                                         Timing{5.0f, 100.0f, 1000.0f}));

struct Level {
  bool startOpen;
  float levelDb;
  float expectedDb;
};

class GateHysteresis : public testing::TestWithParam<Level> {};

// Threshold -40 dB opens at -40 and closes below -44: a level between the two keeps the state.
TEST_P(GateHysteresis, LevelBetweenThresholdsKeepsTheState) {
  const Level c = GetParam();
  auto bank = bankWith(FxId::gate, {{"threshold", -40.0f}, {"range", 25.0f}, {"hold", 20.0f}});
  const auto lead = std::vector<float>(24000, c.startOpen ? dbToGain(-20.0) : kQuiet);
  const auto steady = std::vector<float>(48000, dbToGain(c.levelDb));
  Stereo s = both(concat({lead, steady}));
  const Stereo in = s;
  run(*bank, s);
  const size_t last = s.left.size() - 1;
  EXPECT_NEAR(gainToDb(s.left[last] / in.left[last]), c.expectedDb, 1e-3);
}

INSTANTIATE_TEST_SUITE_P(Levels, GateHysteresis,
                         testing::Values(Level{true, -38.0f, 0.0f}, Level{true, -42.0f, 0.0f},
                                         Level{true, -43.9f, 0.0f}, Level{true, -44.5f, -25.0f},
                                         Level{false, -39.9f, 0.0f}, Level{false, -42.0f, -25.0f},
                                         Level{false, -46.0f, -25.0f}));

// The closed gate lowers by exactly its range, and the reading reports that depth.
TEST(GateDepth, ClosedGateLowersByRangeAndReportsIt) {
  for (const float range : {6.0f, 20.0f, 80.0f}) {
    auto bank = bankWith(FxId::gate, {{"range", range}, {"release", 10.0f}});
    Stereo s = both(sine(24000, 300.0, 0.0015)); // -56.5 dB peaks: below -54, the closing level
    const Stereo in = s;
    run(*bank, s);
    EXPECT_NEAR(amplitudeAt(s.left, 300.0, 12000, 12000) /
                    amplitudeAt(in.left, 300.0, 12000, 12000),
                dbToGain(-range), 1e-4 * dbToGain(-range))
        << range;
    EXPECT_NEAR(bank->takeReductionDb(FxId::gate), -range, 1e-3) << range;
    EXPECT_EQ(bank->takeReductionDb(FxId::gate), 0.0f) << "second reading without audio";
  }
}

TEST(GateDepth, RangeZeroNeverChangesTheSignal) {
  auto bank = bankWith(FxId::gate, {{"range", 0.0f}});
  Stereo s = both(concat({noise(9000, 0.0005, 3), sine(9000, 440.0, 0.5), noise(9000, 0.0001, 4)}));
  s.right = noise(27000, 0.3, 5);
  const Stereo in = s;
  run(*bank, s, 256);
  EXPECT_EQ(s.left, in.left);
  EXPECT_EQ(s.right, in.right);
  EXPECT_EQ(bank->takeReductionDb(FxId::gate), 0.0f);
}

} // namespace
} // namespace velto
