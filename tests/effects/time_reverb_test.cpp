// The reverb on impulses: the first reflection arrives after the predelay plus the shortest line
// (its length scaled by the room size), and the tail falls by 60 dB in about the set decay time.
#include "tests/effects/dyn_signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace velto {
namespace {

using namespace test::dyn;

struct Reflection {
  float sizePercent, predelayMs;
  size_t firstSample; // predelay x 48 + the shortest line, 1153 x (0.4 + 1.2 x size), truncated
  double weight;      // share of the impulse that a linear read puts on that first sample
};

class ReverbReflection : public testing::TestWithParam<Reflection> {};

// An impulse reaches the first line through the predelay and four all-passes (0.6 each, so
// 0.6^4 passes at once), is read after the line's length and leaves through the damping filter
// (1 - p) and the output sum (0.25).
TEST_P(ReverbReflection, FirstReflectionAfterPredelayAndShortestLine) {
  const Reflection c = GetParam();
  auto bank = bankWith(
      FxId::reverb,
      {{"size", c.sizePercent}, {"predelay", c.predelayMs}, {"mix", 100.0f}, {"width", 100.0f}});
  const size_t origin = 500;
  Stereo s = silence(origin + c.firstSample + 500);
  s.left[origin] = s.right[origin] = 1.0f;
  const Stereo in = s;
  run(*bank, s);
  const auto wetL = difference(s.left, in.left), wetR = difference(s.right, in.right);
  const size_t first = origin + c.firstSample;
  EXPECT_EQ(firstAbove(wetL, 0, 0.0), first);
  EXPECT_EQ(firstAbove(wetR, 0, 0.0), first);
  const double damping = 1.0 - std::exp(-2.0 * std::numbers::pi * 8000.0 / kRate);
  const double expected = 0.25 * damping * std::pow(0.6, 4) * c.weight;
  // Line lengths are floats: 1153 x 1.6f is 1844.80005, not 1844.8.
  EXPECT_NEAR(wetL[first], expected, 1e-3 * expected);
  EXPECT_NEAR(wetR[first], expected, 1e-3 * expected);
}

INSTANTIATE_TEST_SUITE_P(Rooms, ReverbReflection,
                         testing::Values(Reflection{0, 0, 461, 0.8}, // the sample just written
                                         Reflection{50, 20, 960 + 1153, 1.0}, // the defaults
                                         Reflection{100, 0, 1844, 0.2},
                                         Reflection{100, 200, 9600 + 1844, 0.2},
                                         Reflection{25, 5, 240 + 807, 0.9}));

// The octave band around 1 kHz (cookbook band-pass, Q 1.41), as decay times are measured per
// band: the damping filter shortens the highest octaves on purpose.
std::vector<double> octaveAt1k(const std::vector<float>& x) {
  const double w = 2.0 * std::numbers::pi * 1000.0 / kRate, alpha = std::sin(w) / (2.0 * 1.41);
  const double a0 = 1.0 + alpha, b0 = alpha / a0, b2 = -alpha / a0;
  const double a1 = -2.0 * std::cos(w) / a0, a2 = (1.0 - alpha) / a0;
  std::vector<double> y(x.size());
  double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    y[i] = b0 * x[i] + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1, x1 = x[i], y2 = y1, y1 = y[i];
  }
  return y;
}

// Backward-integrated energy of the wet tail in the 1 kHz octave, in dB relative to its start.
std::vector<double> energyDecayDb(const std::vector<float>& left, const std::vector<float>& right) {
  const auto l = octaveAt1k(left), r = octaveAt1k(right);
  std::vector<double> curve(l.size());
  double sum = 0.0;
  for (size_t i = l.size(); i-- > 0;) {
    sum += l[i] * l[i] + r[i] * r[i];
    curve[i] = sum;
  }
  const double total = curve[0];
  for (auto& c : curve) c = 10.0 * std::log10(c / total + 1e-300);
  return curve;
}

class ReverbDecay : public testing::TestWithParam<float> {};

// Decay time measured as a reverberation engineer would: in one octave band, the slope of the
// backward-integrated energy between -5 and -35 dB, extrapolated to 60 dB.
TEST_P(ReverbDecay, TailFallsSixtyDecibelsInTheSetTime) {
  const float decay = GetParam();
  auto bank = bankWith(FxId::reverb, {{"decay", decay},
                                      {"damping", 20000.0f},
                                      {"predelay", 0.0f},
                                      {"mix", 100.0f},
                                      {"width", 100.0f}});
  const auto n = static_cast<size_t>(2.0 * decay * kRate);
  Stereo s = silence(n);
  s.left[0] = s.right[0] = 1.0f;
  const Stereo in = s;
  run(*bank, s);
  const auto curve = energyDecayDb(difference(s.left, in.left), difference(s.right, in.right));
  size_t a = 0;
  while (a < curve.size() && curve[a] > -5.0) ++a;
  size_t b = a;
  while (b < curve.size() && curve[b] > -35.0) ++b;
  ASSERT_LT(b, curve.size());
  const double secondsPerDb = double(b - a) / kRate / (curve[a] - curve[b]);
  EXPECT_NEAR(60.0 * secondsPerDb, decay, 0.05 * decay);
}

INSTANTIATE_TEST_SUITE_P(Times, ReverbDecay, testing::Values(0.5f, 1.0f, 2.0f, 4.0f));

} // namespace
} // namespace velto
