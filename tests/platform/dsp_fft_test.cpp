// The vector-library FFTs against a double-precision DFT, with the scale conventions the effects
// rely on; the Hann window and the split-complex conversion.
#include "platform/dsp/dsp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

namespace platform::dsp {
namespace {

using Cd = std::complex<double>;

std::vector<Cd> dft(const std::vector<Cd>& x, bool inverse) {
  const size_t n = x.size();
  std::vector<Cd> out(n);
  const double sign = inverse ? 1.0 : -1.0;
  for (size_t k = 0; k < n; ++k) {
    Cd acc = 0.0;
    for (size_t i = 0; i < n; ++i) {
      const double angle = sign * 2.0 * std::numbers::pi * double((k * i) % n) / double(n);
      acc += x[i] * Cd(std::cos(angle), std::sin(angle));
    }
    out[k] = acc;
  }
  return out;
}

std::vector<float> uniform(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> out(n);
  for (auto& v : out) v = u(rng);
  return out;
}

// Float rounding of a radix-2 transform of n unit-range values.
double tolerance(size_t n) {
  return 3e-7 * std::sqrt(double(n)) * std::log2(double(n)) * 4;
}

class DspComplexFft : public testing::TestWithParam<int> {};

TEST_P(DspComplexFft, MatchesTheUnscaledDftBothWays) {
  const int log2n = GetParam();
  const size_t n = size_t{1} << log2n;
  const FftSetup setup(12);
  for (bool inverse : {false, true}) {
    auto re = uniform(n, 1 + log2n);
    auto im = uniform(n, 100 + log2n);
    std::vector<Cd> x(n);
    for (size_t i = 0; i < n; ++i) x[i] = Cd(re[i], im[i]);
    const auto want = dft(x, inverse);
    ASSERT_TRUE(setup.complexInPlace({re.data(), im.data()}, log2n,
                                     inverse ? FftDirection::inverse : FftDirection::forward));
    double worst = 0.0;
    for (size_t k = 0; k < n; ++k) worst = std::max(worst, std::abs(Cd(re[k], im[k]) - want[k]));
    EXPECT_LT(worst, tolerance(n)) << "inverse " << inverse;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, DspComplexFft, testing::Range(1, 13));

class DspRealFft : public testing::TestWithParam<int> {};

TEST_P(DspRealFft, ForwardIsTwiceTheDftPackedWithNyquistInImag0) {
  const int log2n = GetParam();
  const size_t n = size_t{1} << log2n;
  const FftSetup setup(11);
  const auto signal = uniform(n, 7 + log2n);
  std::vector<Cd> x(signal.begin(), signal.end());
  const auto want = dft(x, false);
  std::vector<float> re(n / 2), im(n / 2);
  ctoz(signal.data(), {re.data(), im.data()}, static_cast<uint32_t>(n / 2));
  ASSERT_TRUE(setup.realInPlace({re.data(), im.data()}, log2n, FftDirection::forward));
  const double tol = 2.0 * tolerance(n);
  EXPECT_NEAR(re[0], 2.0 * want[0].real(), tol);
  EXPECT_NEAR(im[0], 2.0 * want[n / 2].real(), tol);
  for (size_t k = 1; k < n / 2; ++k) {
    EXPECT_NEAR(re[k], 2.0 * want[k].real(), tol) << k;
    EXPECT_NEAR(im[k], 2.0 * want[k].imag(), tol) << k;
  }
}

TEST_P(DspRealFft, InverseOfThePackedSpectrumGives2NTimesTheSignal) {
  const int log2n = GetParam();
  const size_t n = size_t{1} << log2n;
  const FftSetup setup(11);
  const auto signal = uniform(n, 70 + log2n);
  std::vector<float> re(n / 2), im(n / 2), back(n);
  ctoz(signal.data(), {re.data(), im.data()}, static_cast<uint32_t>(n / 2));
  ASSERT_TRUE(setup.realInPlace({re.data(), im.data()}, log2n, FftDirection::forward));
  ASSERT_TRUE(setup.realInPlace({re.data(), im.data()}, log2n, FftDirection::inverse));
  ztoc({re.data(), im.data()}, back.data(), static_cast<uint32_t>(n / 2));
  for (size_t i = 0; i < n; ++i) EXPECT_NEAR(back[i] / (2.0 * double(n)), signal[i], 2e-6) << i;
}

// The sizes the effects and the beat analysis use, and the smallest ones.
INSTANTIATE_TEST_SUITE_P(Sizes, DspRealFft, testing::Values(1, 2, 3, 8, 10, 11));

TEST(DspFft, RealSineReadsTwiceHalfNTimesAmplitudeInItsBin) {
  // 2048 points, a bin-centred sine of amplitude A: |packed bin| = 2 * N/2 * A = N * A.
  const FftSetup setup(11);
  const size_t n = 2048;
  const int bin = 85;
  std::vector<float> signal(n);
  for (size_t i = 0; i < n; ++i)
    signal[i] = static_cast<float>(0.25 * std::cos(2.0 * std::numbers::pi * bin * double(i) / n));
  std::vector<float> re(n / 2), im(n / 2), power(n / 2);
  ctoz(signal.data(), {re.data(), im.data()}, n / 2);
  setup.realInPlace({re.data(), im.data()}, 11, FftDirection::forward);
  squaredMagnitudes({re.data(), im.data()}, power.data(), n / 2);
  EXPECT_NEAR(std::sqrt(power[bin]), 0.25 * n, 0.01);
  for (size_t k = 1; k < n / 2; ++k) {
    if (static_cast<int>(k) != bin) {
      EXPECT_LT(std::sqrt(power[k]), 0.01) << k;
    }
  }
}

TEST(DspFft, RefusesSizesBeyondTheSetUp) {
  const FftSetup setup(8);
  std::vector<float> re(512, 1.0f), im(512, 0.0f);
  EXPECT_FALSE(setup.complexInPlace({re.data(), im.data()}, 9, FftDirection::forward));
  EXPECT_FALSE(setup.realInPlace({re.data(), im.data()}, 9, FftDirection::forward));
  EXPECT_FALSE(setup.complexInPlace({re.data(), im.data()}, 0, FftDirection::forward));
  EXPECT_EQ(re[0], 1.0f);
  EXPECT_EQ(re[511], 1.0f);
  EXPECT_TRUE(setup.complexInPlace({re.data(), im.data()}, 8, FftDirection::forward));
}

TEST(DspFft, SplitConversionRoundTrips) {
  const float interleaved[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  float re[4], im[4], back[8];
  ctoz(interleaved, {re, im}, 4);
  const float wantRe[4] = {1, 3, 5, 7}, wantIm[4] = {2, 4, 6, 8};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(re[i], wantRe[i]);
    EXPECT_EQ(im[i], wantIm[i]);
  }
  ztoc({re, im}, back, 4);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(back[i], interleaved[i]);
}

TEST(DspWindow, HannKindsArePeriodicWithTheirScales) {
  for (uint32_t n : {16u, 1024u, 2048u}) {
    std::vector<float> denorm(n), norm(n);
    hannWindow(denorm.data(), n, HannKind::denormalised);
    hannWindow(norm.data(), n, HannKind::normalised);
    EXPECT_EQ(denorm[0], 0.0f);
    EXPECT_FLOAT_EQ(denorm[n / 2], 1.0f);
    EXPECT_FLOAT_EQ(norm[n / 2], 1.633f);
    EXPECT_FLOAT_EQ(denorm[n / 4], 0.5f);
    for (uint32_t i = 1; i < n; ++i) {
      const double c = std::cos(2.0 * std::numbers::pi * i / n);
      EXPECT_NEAR(denorm[i], 0.5 * (1.0 - c), 1e-7) << i;
      EXPECT_NEAR(norm[i], 0.8165 * (1.0 - c), 1e-6) << i;
      EXPECT_FLOAT_EQ(denorm[i], denorm[n - i]) << i; // periodic: symmetric about n/2
    }
  }
}

} // namespace
} // namespace platform::dsp
