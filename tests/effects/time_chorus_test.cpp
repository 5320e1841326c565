// The chorus on impulse trains: every voice's delay stays within delay + 1 .. delay + 1 + depth
// samples and follows its sine, and the voices are spread left and right by their number and
// the width, each scaled by 1 / sqrt(voices).
#include "tests/effects/dyn_signals.h"

#include <gtest/gtest.h>

#include <cmath>

namespace velto {
namespace {

using namespace test::dyn;

// Centroid of x over [from, to), relative to `origin`.
double centroid(const std::vector<float>& x, size_t origin, size_t from, size_t to) {
  double area = 0.0, moment = 0.0;
  for (size_t n = from; n < to; ++n) area += x[n], moment += x[n] * double(n - origin);
  return moment / area;
}

// Delay of voice v of `voices` at output sample n, for a bank whose modulation phase started at 0.
double voiceDelay(double delayMs, double depthMs, double rateHz, int v, int voices, size_t n) {
  const double phase = 2.0 * std::numbers::pi * (rateHz * double(n) / kRate + double(v) / voices);
  return delayMs * 48.0 + 1.0 + depthMs * 48.0 * (std::sin(phase) + 1.0) / 2.0;
}

// One voice, impulses every 2400 samples for one LFO cycle: the echo of each impulse sits where
// the voice's sine puts it, and over the cycle the delays sweep the whole stated range.
TEST(Chorus, VoiceDelayStaysInTheStatedRangeAndFollowsItsSine) {
  const double delay = 15.0, depth = 10.0, rate = 0.5;
  auto bank = bankWith(
      FxId::chorus,
      {{"voices", 1.0f}, {"delay", 15.0f}, {"depth", 10.0f}, {"rate", 0.5f}, {"mix", 100.0f}});
  const size_t spacing = 2400, count = 40; // 96000 samples: one cycle at 0.5 Hz
  Stereo s = silence(spacing * count + spacing);
  for (size_t k = 0; k < count; ++k) s.left[k * spacing] = s.right[k * spacing] = 1.0f;
  const Stereo in = s;
  run(*bank, s);
  const auto wet = difference(s.left, in.left);
  const double low = delay * 48.0 + 1.0, high = low + depth * 48.0; // 721 .. 1201
  double seenLow = high, seenHigh = low;
  for (size_t k = 0; k < count; ++k) {
    const size_t origin = k * spacing;
    const double d = centroid(wet, origin, origin + 700, origin + 1230);
    const double expected = voiceDelay(delay, depth, rate, 0, 1, origin + static_cast<size_t>(d));
    EXPECT_NEAR(d, expected, 0.1) << "impulse " << k;
    EXPECT_GE(d, low - 0.05);
    EXPECT_LE(d, high + 0.05);
    seenLow = std::min(seenLow, d), seenHigh = std::max(seenHigh, d);
  }
  EXPECT_LT(seenLow, low + 2.0);
  EXPECT_GT(seenHigh, high - 2.0);
  EXPECT_EQ(difference(s.right, in.right), wet) << "one voice is centred";
}

struct Spread {
  int voices;
  float width, mix;
};

class ChorusSpread : public testing::TestWithParam<Spread> {};

// A slow LFO holds the voices apart: an impulse yields one echo per voice, of area
// mix / sqrt(voices) on its own side and (1 - width) times that on the other; one voice is
// always centred.
TEST_P(ChorusSpread, VoicesLeanBySideAndWidth) {
  const Spread c = GetParam();
  auto bank = bankWith(FxId::chorus, {{"voices", float(c.voices)},
                                      {"delay", 15.0f},
                                      {"depth", 10.0f},
                                      {"rate", 0.05f},
                                      {"width", c.width},
                                      {"mix", c.mix}});
  const size_t origin = 6000;
  Stereo s = silence(origin + 2000);
  s.left[origin] = s.right[origin] = 1.0f;
  const Stereo in = s;
  run(*bank, s);
  const auto wetL = difference(s.left, in.left), wetR = difference(s.right, in.right);
  const double area = c.mix / 100.0 / std::sqrt(double(c.voices));
  const double across = 1.0 - c.width / 100.0;
  for (int v = 0; v < c.voices; ++v) {
    const double d = voiceDelay(15.0, 10.0, 0.05, v, c.voices, origin + 900);
    const auto at = origin + static_cast<size_t>(d);
    const bool leftSide = c.voices == 1 || v % 2 == 0;
    const bool rightSide = c.voices == 1 || v % 2 == 1;
    EXPECT_NEAR(sumRange(wetL, at - 2, at + 4), area * (leftSide ? 1.0 : across), 2e-3) << v;
    EXPECT_NEAR(sumRange(wetR, at - 2, at + 4), area * (rightSide ? 1.0 : across), 2e-3) << v;
  }
  EXPECT_NEAR(sumRange(wetL, 0, wetL.size()),
              area * (c.voices == 1 ? 1 : (c.voices + 1) / 2 + c.voices / 2 * across), 5e-3)
      << "nothing else on the left";
}

INSTANTIATE_TEST_SUITE_P(Voices, ChorusSpread,
                         testing::Values(Spread{1, 100, 100}, Spread{1, 0, 50}, Spread{2, 100, 100},
                                         Spread{2, 0, 100}, Spread{2, 50, 80}, Spread{3, 100, 100},
                                         Spread{4, 100, 100}, Spread{4, 30, 50}));

} // namespace
} // namespace velto
