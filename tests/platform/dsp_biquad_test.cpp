// The multichannel biquad cascade against a direct-form reference in double precision, its
// state across coefficient changes and resets, and refused coefficients.
#include "platform/dsp/dsp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

namespace platform::dsp {
namespace {

struct Coeffs {
  double b0, b1, b2, a1, a2;
};

// RBJ cookbook low-pass and peaking sections (normalised by a0).
Coeffs lowPass(double hz, double q) {
  const double w = 2.0 * std::numbers::pi * hz / 48000.0;
  const double alpha = std::sin(w) / (2.0 * q), c = std::cos(w), a0 = 1.0 + alpha;
  return {(1.0 - c) / 2.0 / a0, (1.0 - c) / a0, (1.0 - c) / 2.0 / a0, -2.0 * c / a0,
          (1.0 - alpha) / a0};
}

Coeffs peaking(double hz, double q, double gainDb) {
  const double w = 2.0 * std::numbers::pi * hz / 48000.0;
  const double a = std::pow(10.0, gainDb / 40.0), alpha = std::sin(w) / (2.0 * q);
  const double c = std::cos(w), a0 = 1.0 + alpha / a;
  return {(1.0 + alpha * a) / a0, -2.0 * c / a0, (1.0 - alpha * a) / a0, -2.0 * c / a0,
          (1.0 - alpha / a) / a0};
}

// Coefficient array laid out section by section, channel by channel.
std::vector<double> layout(const std::vector<std::vector<Coeffs>>& perSectionPerChannel) {
  std::vector<double> out;
  for (const auto& section : perSectionPerChannel) {
    for (const Coeffs& c : section) out.insert(out.end(), {c.b0, c.b1, c.b2, c.a1, c.a2});
  }
  return out;
}

// Straightforward direct form I, one section at a time over the whole signal.
std::vector<double> reference(const std::vector<float>& in, const std::vector<Coeffs>& sections) {
  std::vector<double> x(in.begin(), in.end());
  for (const Coeffs& c : sections) {
    std::vector<double> y(x.size());
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (size_t i = 0; i < x.size(); ++i) {
      y[i] = c.b0 * x[i] + c.b1 * x1 + c.b2 * x2 - c.a1 * y1 - c.a2 * y2;
      x2 = x1;
      x1 = x[i];
      y2 = y1;
      y1 = y[i];
    }
    x = y;
  }
  return x;
}

std::vector<float> noise(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> out(n);
  for (auto& v : out) v = u(rng);
  return out;
}

TEST(DspBiquad, TwoChannelCascadeMatchesTheDirectFormReference) {
  // Four sections, different per channel, run in 64-frame blocks as the effects do.
  const std::vector<Coeffs> left = {lowPass(8000, 0.707), peaking(400, 1.0, 6.0),
                                    peaking(3000, 4.0, -12.0), lowPass(15000, 0.5)};
  const std::vector<Coeffs> right = {peaking(100, 0.3, 18.0), lowPass(2000, 2.0),
                                     peaking(12000, 10.0, -18.0), lowPass(300, 0.707)};
  const auto coeffs =
      layout({{left[0], right[0]}, {left[1], right[1]}, {left[2], right[2]}, {left[3], right[3]}});
  BiquadCascade cascade(4, 2, coeffs.data());
  const size_t n = 4096;
  const auto inL = noise(n, 1), inR = noise(n, 2);
  std::vector<float> outL(n), outR(n);
  for (size_t at = 0; at < n; at += 64) {
    const float* in[2] = {inL.data() + at, inR.data() + at};
    float* out[2] = {outL.data() + at, outR.data() + at};
    cascade.process(in, out, 64);
  }
  const auto wantL = reference(inL, left), wantR = reference(inR, right);
  for (size_t i = 0; i < n; ++i) {
    ASSERT_NEAR(outL[i], wantL[i], 1e-5 * (1.0 + std::fabs(wantL[i]))) << i;
    ASSERT_NEAR(outR[i], wantR[i], 1e-5 * (1.0 + std::fabs(wantR[i]))) << i;
  }
}

TEST(DspBiquad, InPlaceProcessingEqualsSeparateBuffers) {
  const auto coeffs = layout({{lowPass(1000, 0.707), lowPass(1000, 0.707)}});
  BiquadCascade a(1, 2, coeffs.data()), b(1, 2, coeffs.data());
  auto l = noise(500, 3), r = noise(500, 4);
  std::vector<float> outL(500), outR(500);
  const float* in[2] = {l.data(), r.data()};
  float* out[2] = {outL.data(), outR.data()};
  a.process(in, out, 500);
  float* inPlace[2] = {l.data(), r.data()};
  b.process(inPlace, inPlace, 500);
  EXPECT_EQ(l, outL);
  EXPECT_EQ(r, outR);
}

TEST(DspBiquad, StateSurvivesACoefficientChange) {
  // A settled DC level through one unity-DC-gain low-pass, then another: direct form I keeps
  // its history, so the output stays on the level instead of restarting from zero.
  const auto first = layout({{lowPass(200, 0.707), lowPass(200, 0.707)}});
  const auto second = layout({{lowPass(5000, 2.0), lowPass(50, 0.5)}});
  BiquadCascade cascade(1, 2, first.data());
  std::vector<float> ones(48000, 1.0f), outL(48000), outR(48000);
  const float* in[2] = {ones.data(), ones.data()};
  float* out[2] = {outL.data(), outR.data()};
  cascade.process(in, out, 48000);
  ASSERT_NEAR(outL.back(), 1.0f, 1e-6);
  ASSERT_TRUE(cascade.setCoefficients(second.data()));
  cascade.process(in, out, 256);
  for (int i = 0; i < 256; ++i) {
    EXPECT_NEAR(outL[i], 1.0f, 1e-5) << i;
    EXPECT_NEAR(outR[i], 1.0f, 1e-5) << i;
  }
  // After reset the same filter starts from rest: the first sample is b0 alone.
  cascade.reset();
  cascade.process(in, out, 1);
  EXPECT_NEAR(outL[0], lowPass(5000, 2.0).b0, 1e-7);
  EXPECT_NEAR(outR[0], lowPass(50, 0.5).b0, 1e-7);
}

TEST(DspBiquad, SettingSomeSectionsLeavesTheOthers) {
  const Coeffs pass{1, 0, 0, 0, 0};
  auto coeffs = layout({{pass, pass}, {pass, pass}, {pass, pass}});
  BiquadCascade cascade(3, 2, coeffs.data());
  const auto middle = layout({{peaking(1000, 2.0, -20.0), peaking(1000, 2.0, -20.0)}});
  ASSERT_TRUE(cascade.setCoefficients(middle.data(), 1, 1));
  const auto in = noise(2000, 5);
  std::vector<float> outL(2000), outR(2000);
  const float* ins[2] = {in.data(), in.data()};
  float* outs[2] = {outL.data(), outR.data()};
  cascade.process(ins, outs, 2000);
  const auto want = reference(in, {peaking(1000, 2.0, -20.0)});
  for (size_t i = 0; i < in.size(); ++i) ASSERT_NEAR(outL[i], want[i], 1e-5) << i;
  EXPECT_EQ(outL, outR);
}

TEST(DspBiquad, RefusesNonFiniteCoefficientsAndBadRanges) {
  const auto good = layout({{lowPass(500, 0.707), lowPass(500, 0.707)}});
  BiquadCascade cascade(1, 2, good.data());
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (double poison : {nan, inf, -inf}) {
    auto bad = good;
    bad[7] = poison;
    EXPECT_FALSE(cascade.setCoefficients(bad.data()));
  }
  EXPECT_FALSE(cascade.setCoefficients(good.data(), 1, 1));
  EXPECT_FALSE(cascade.setCoefficients(good.data(), -1, 1));
  EXPECT_FALSE(cascade.setCoefficients(nullptr));
  // The filter still runs on the good coefficients.
  const auto in = noise(1000, 6);
  std::vector<float> outL(1000), outR(1000);
  const float* ins[2] = {in.data(), in.data()};
  float* outs[2] = {outL.data(), outR.data()};
  cascade.process(ins, outs, 1000);
  const auto want = reference(in, {lowPass(500, 0.707)});
  for (size_t i = 0; i < in.size(); ++i) {
    ASSERT_TRUE(std::isfinite(outR[i]));
    ASSERT_NEAR(outR[i], want[i], 1e-5) << i;
  }
  // A set-up built from non-finite coefficients passes the signal through instead.
  auto bad = good;
  bad[0] = nan;
  BiquadCascade fresh(1, 2, bad.data());
  fresh.process(ins, outs, 1000);
  EXPECT_EQ(outL, in);
}

} // namespace
} // namespace platform::dsp
