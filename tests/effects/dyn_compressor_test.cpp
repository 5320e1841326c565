// The compressor measured with steady signals: the static curve (threshold, ratio, soft knee,
// make-up) and the attack and release time constants, plus the ratio-1 and reading cases.
#include "tests/effects/dyn_signals.h"

#include <gtest/gtest.h>

#include <cmath>

namespace velto {
namespace {

using namespace test::dyn;

struct CurvePoint {
  float thresholdDb, ratio, kneeDb, makeupDb, inputDb, gainDb;
};

class CompressorCurve : public testing::TestWithParam<CurvePoint> {};

// A square wave has the same magnitude at every sample, so the gain settles on the curve itself.
TEST_P(CompressorCurve, SteadyLevelSettlesOnTheStaticCurve) {
  const CurvePoint c = GetParam();
  auto bank = bankWith(FxId::compressor, {{"threshold", c.thresholdDb},
                                          {"ratio", c.ratio},
                                          {"knee", c.kneeDb},
                                          {"makeup", c.makeupDb},
                                          {"attack", 1.0f},
                                          {"release", 20.0f}});
  Stereo s = both(square(24000, 250.0, dbToGain(c.inputDb)));
  const Stereo in = s;
  run(*bank, s);
  for (const size_t n : {size_t{20000}, size_t{23999}}) {
    EXPECT_NEAR(gainToDb(s.left[n] / in.left[n]), c.gainDb, 0.01) << "input " << c.inputDb;
    EXPECT_NEAR(gainToDb(s.right[n] / in.right[n]), c.gainDb, 0.01) << "input " << c.inputDb;
  }
  EXPECT_NEAR(bank->takeReductionDb(FxId::compressor), std::min(c.gainDb - c.makeupDb, 0.0f), 0.01)
      << "the reading leaves make-up out";
}

INSTANTIATE_TEST_SUITE_P(
    Points, CompressorCurve,
    testing::Values(
        // Hard knee: untouched below, threshold + (x - threshold) / ratio above.
        CurvePoint{-20, 4, 0, 0, -30, 0}, CurvePoint{-20, 4, 0, 0, -20, 0},
        CurvePoint{-20, 4, 0, 0, -10, -7.5f}, CurvePoint{-20, 4, 0, 0, 0, -15},
        CurvePoint{-30, 2, 0, 0, -6, -12},
        // Knee of 12 dB: the quadratic joins both lines 6 dB either side of the threshold.
        CurvePoint{-20, 4, 12, 0, -26, 0}, CurvePoint{-20, 4, 12, 0, -20, -1.125f},
        CurvePoint{-20, 4, 12, 0, -14, -4.5f}, CurvePoint{-20, 4, 12, 0, -8, -9},
        CurvePoint{-18, 20, 6, 0, 0, -17.1f},
        // Make-up is added on top of the curve, also where nothing is reduced.
        CurvePoint{-20, 4, 0, 6, -10, -1.5f}, CurvePoint{-20, 4, 0, 6, -40, 6},
        // Ratio 1 never reduces.
        CurvePoint{-40, 1, 6, 3, -5, 3}));

struct Times {
  float attackMs, releaseMs;
};

class CompressorTimes : public testing::TestWithParam<Times> {};

// A step from -40 dB to -10 dB (threshold -20, ratio 4: 7.5 dB of reduction wanted) and back:
// the reduction follows 1 - e^(-t / attack) in, e^(-t / release) out.
TEST_P(CompressorTimes, StepResponseFollowsAttackAndRelease) {
  const Times t = GetParam();
  auto bank = bankWith(FxId::compressor, {{"threshold", -20.0f},
                                          {"ratio", 4.0f},
                                          {"knee", 0.0f},
                                          {"attack", t.attackMs},
                                          {"release", t.releaseMs}});
  const double tauA = t.attackMs * 48.0, tauR = t.releaseMs * 48.0;
  const size_t up = 4800, down = up + static_cast<size_t>(12 * tauA);
  const size_t total = down + static_cast<size_t>(12 * tauR);
  std::vector<float> levels(total, dbToGain(-40.0));
  std::fill(levels.begin() + static_cast<std::ptrdiff_t>(up),
            levels.begin() + static_cast<std::ptrdiff_t>(down), dbToGain(-10.0));
  const auto sq = square(total, 100.0, 1.0);
  for (size_t i = 0; i < total; ++i) levels[i] *= sq[i];
  Stereo s = both(levels);
  const Stereo in = s;
  run(*bank, s);
  for (const double k : {0.25, 0.5, 1.0, 2.0, 5.0}) {
    const size_t a = up + static_cast<size_t>(k * tauA) - 1;
    EXPECT_NEAR(gainToDb(s.left[a] / in.left[a]), -7.5 * (1.0 - std::exp(-k)), 0.02)
        << "attack at " << k << " time constants";
    const size_t r = down + static_cast<size_t>(k * tauR) - 1;
    EXPECT_NEAR(gainToDb(s.left[r] / in.left[r]), -7.5 * std::exp(-k), 0.02)
        << "release at " << k << " time constants";
  }
}

INSTANTIATE_TEST_SUITE_P(Constants, CompressorTimes,
                         testing::Values(Times{10.0f, 100.0f}, Times{1.0f, 50.0f},
                                         Times{50.0f, 500.0f}));

} // namespace
} // namespace velto
