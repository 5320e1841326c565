// The echo on impulses, tone bursts and a ramp: the delay of the first repeat, the level of every
// further repeat (feedback through the tone filter), ping-pong crossing sides, and the glide of
// the delay after a change of time.
#include "tests/effects/dyn_signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>

namespace velto {
namespace {

using namespace test::dyn;

// The tone filter's pole for a corner frequency: the one-pole low-pass of every repeat.
double pole(double toneHz) {
  return std::exp(-2.0 * std::numbers::pi * toneHz / kRate);
}

// Magnitude of that low-pass at `hz`.
double lowPassGain(double toneHz, double hz) {
  const double p = pole(toneHz);
  const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * hz / kRate);
  return std::abs((1.0 - p) / (1.0 - p * z1));
}

class EchoDelay : public testing::TestWithParam<float> {};

// One impulse: the repeat is the impulse moved by time x 48 samples (fractional positions
// interpolated) and smeared by the tone filter, whose centroid lies p / (1 - p) samples later.
TEST_P(EchoDelay, FirstRepeatComesAfterTheSetTime) {
  const float ms = GetParam();
  auto bank = bankWith(
      FxId::echo,
      {{"time", ms}, {"feedback", 0.0f}, {"mix", 100.0f}, {"tone", 20000.0f}, {"width", 100.0f}});
  const double delay = ms * 48.0;
  const size_t start = 100, end = start + static_cast<size_t>(delay) + 400;
  Stereo s = silence(end);
  s.left[start] = s.right[start] = 1.0f;
  const Stereo in = s;
  run(*bank, s);
  const auto wet = difference(s.left, in.left);
  EXPECT_EQ(firstAbove(wet, 0, 0.0), start + static_cast<size_t>(std::floor(delay)));
  double area = 0.0, moment = 0.0;
  for (size_t n = start; n < end; ++n) area += wet[n], moment += wet[n] * double(n - start);
  EXPECT_NEAR(area, 1.0, 1e-4) << "one repeat at full mix";
  const double p = pole(20000.0);
  EXPECT_NEAR(moment / area, delay + p / (1.0 - p), 0.01);
  EXPECT_EQ(difference(s.right, in.right), wet);
}

INSTANTIATE_TEST_SUITE_P(Times, EchoDelay, testing::Values(1.0f, 10.01f, 350.0f, 2000.0f));

struct Repeats {
  float timeMs, feedback, mix, tone;
};

class EchoRepeats : public testing::TestWithParam<Repeats> {};

// A 1 kHz burst: repeat k has amplitude mix x G^k x feedback^(k-1), G being the tone filter's
// gain at 1 kHz (each trip around the loop passes the filter once more).
TEST_P(EchoRepeats, EveryRepeatDecaysByFeedbackAndTone) {
  const Repeats c = GetParam();
  auto bank = bankWith(FxId::echo, {{"time", c.timeMs},
                                    {"feedback", c.feedback},
                                    {"mix", c.mix},
                                    {"tone", c.tone},
                                    {"width", 100.0f}});
  const auto period = static_cast<size_t>(c.timeMs * 48.0f);
  const size_t burst = 960;
  auto x = sine(burst, 1000.0, 0.5);
  x.resize(4 * period + burst, 0.0f);
  Stereo s = both(x);
  run(*bank, s);
  const double g = lowPassGain(c.tone, 1000.0), f = c.feedback / 100.0, m = c.mix / 100.0;
  for (int k = 1; k <= 3; ++k) {
    const double expected = 0.5 * m * std::pow(g, k) * std::pow(f, k - 1);
    const double measured = amplitudeAt(s.left, 1000.0, k * period + 100, burst - 200);
    EXPECT_NEAR(measured, expected, 0.003 * 0.5 * m + 1e-6) << "repeat " << k;
  }
  EXPECT_NEAR(peakRange(s.left, burst + 10, period), 0.0, 1e-6) << "silence before the first";
}

INSTANTIATE_TEST_SUITE_P(Settings, EchoRepeats,
                         testing::Values(Repeats{50, 35, 25, 6000}, Repeats{120, 80, 100, 20000},
                                         Repeats{40, 95, 50, 1000}, Repeats{30, 0, 100, 6000}));

// Ping-pong with a signal on the right only: the input enters on the left, so the first repeat
// is on the left at half level, the next on the right, the third on the left again.
TEST(Echo, PingPongCrossesSidesFromTheLeft) {
  auto bank = bankWith(FxId::echo, {{"time", 10.0f},
                                    {"feedback", 50.0f},
                                    {"mix", 100.0f},
                                    {"tone", 20000.0f},
                                    {"pingpong", 1.0f},
                                    {"width", 100.0f}});
  const size_t t = 480;
  Stereo s = silence(4 * t + 300);
  s.right[0] = 1.0f;
  const Stereo in = s;
  run(*bank, s);
  const auto wetL = difference(s.left, in.left), wetR = difference(s.right, in.right);
  const double expectL[] = {0.5, 0.0, 0.125}, expectR[] = {0.0, 0.25, 0.0};
  for (int k = 1; k <= 3; ++k) {
    EXPECT_NEAR(sumRange(wetL, k * t - 2, k * t + 240), expectL[k - 1], 1e-4) << "repeat " << k;
    EXPECT_NEAR(sumRange(wetR, k * t - 2, k * t + 240), expectR[k - 1], 1e-4) << "repeat " << k;
  }
}

// A ramp makes the read position visible: a tap at delay d reads ramp(n - d). After a change
// from 100 ms to 200 ms the delay moves toward 9600 samples with a time constant of 2000 samples,
// never jumping.
TEST(Echo, TimeChangeGlidesToTheNewDelay) {
  auto bank = bankWith(FxId::echo, {{"time", 100.0f},
                                    {"feedback", 0.0f},
                                    {"mix", 100.0f},
                                    {"tone", 20000.0f},
                                    {"width", 100.0f}});
  constexpr double kSlope = 1e-5;
  const size_t change = 48000, total = change + 6000;
  std::vector<float> ramp(total);
  for (size_t n = 0; n < total; ++n) ramp[n] = static_cast<float>(kSlope * double(n));
  Stereo before = both(std::vector<float>(ramp.begin(), ramp.begin() + change));
  run(*bank, before);
  setParams(*bank, FxId::echo, {{"time", 200.0f}});
  Stereo after = both(std::vector<float>(ramp.begin() + change, ramp.end()));
  run(*bank, after);

  const double lag = pole(20000.0) / (1.0 - pole(20000.0)); // of the tone filter, in samples
  const double steady = double(change - 1) - (before.left.back() - ramp[change - 1]) / kSlope;
  EXPECT_NEAR(steady, 4800.0 + lag, 0.05);
  double previous = steady;
  for (size_t m = 1; m <= after.left.size(); ++m) {
    const size_t n = change + m - 1;
    const double d = double(n) - (after.left[m - 1] - ramp[n]) / kSlope;
    const double expected = 9600.0 - 4800.0 * std::pow(1.0 - 0.0005, double(m));
    ASSERT_NEAR(d, expected, 0.25) << m;
    ASSERT_LT(std::fabs(d - previous), 2.5) << "read position jumped at " << m;
    previous = d;
  }
}

} // namespace
} // namespace velto
