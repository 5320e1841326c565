// The fixed 512-point FFT against a double-precision DFT: impulses, sines, noise, round trips.
#include "effects/fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

namespace velto {
namespace {

constexpr int kN = FixedFft::kSize;
using Cf = std::complex<float>;
using Cd = std::complex<double>;

std::vector<Cd> referenceDft(const std::vector<Cf>& x, bool inverse) {
  std::vector<Cd> out(kN);
  const double sign = inverse ? 1.0 : -1.0;
  for (int k = 0; k < kN; ++k) {
    Cd acc = 0.0;
    for (int n = 0; n < kN; ++n) {
      const double angle = sign * 2.0 * std::numbers::pi * k * n / kN;
      acc += Cd(x[n]) * Cd(std::cos(angle), std::sin(angle));
    }
    out[k] = inverse ? acc / static_cast<double>(kN) : acc;
  }
  return out;
}

double maxError(const Cf* actual, const std::vector<Cd>& want) {
  double worst = 0.0;
  for (int k = 0; k < kN; ++k) worst = std::max(worst, std::abs(Cd(actual[k]) - want[k]));
  return worst;
}

std::vector<Cf> noise(uint32_t seed, bool complexValues) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<Cf> x(kN);
  for (auto& v : x) v = {u(rng), complexValues ? u(rng) : 0.0f};
  return x;
}

TEST(FixedFft, TablesHoldReversedIndicesAndUnitTwiddles) {
  const FixedFft fft;
  const struct {
    int i, reversed;
  } cases[] = {
      {0, 0}, {1, 256}, {2, 128}, {3, 384}, {256, 1}, {511, 511}, {0b100000110, 0b011000001}};
  for (const auto& c : cases) EXPECT_EQ(fft.bitReverse[c.i], c.reversed) << c.i;
  for (int i = 0; i < kN; ++i) EXPECT_EQ(fft.bitReverse[fft.bitReverse[i]], i);
  for (int k = 0; k < kN / 2; ++k) {
    const double angle = -2.0 * std::numbers::pi * k / kN;
    EXPECT_NEAR(fft.twiddle[k].real(), std::cos(angle), 2e-6) << k;
    EXPECT_NEAR(fft.twiddle[k].imag(), std::sin(angle), 2e-6) << k;
  }
}

TEST(FixedFft, UnitImpulseAtZeroTransformsToAllOnes) {
  const FixedFft fft;
  std::vector<Cf> x(kN);
  x[0] = 1.0f;
  fft.run(x.data(), false);
  for (int k = 0; k < kN; ++k) {
    EXPECT_EQ(x[k].real(), 1.0f) << k;
    EXPECT_EQ(x[k].imag(), 0.0f) << k;
  }
}

TEST(FixedFft, ShiftedImpulsesMatchTheDft) {
  const FixedFft fft;
  for (int position : {1, 7, 100, 255, 256, 511}) {
    std::vector<Cf> x(kN);
    x[position] = 1.0f;
    const auto want = referenceDft(x, false);
    fft.run(x.data(), false);
    EXPECT_LT(maxError(x.data(), want), 1e-5) << position;
  }
}

TEST(FixedFft, SineLandsInItsTwoBinsWithHalfTheSizeTimesAmplitude) {
  const FixedFft fft;
  for (int bin : {1, 10, 64, 200, 255}) {
    const float amplitude = 0.5f;
    std::vector<Cf> x(kN);
    for (int n = 0; n < kN; ++n)
      x[n] = {static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * bin * n / kN)),
              0.0f};
    const auto want = referenceDft(x, false);
    fft.run(x.data(), false);
    EXPECT_LT(maxError(x.data(), want), 2e-4) << bin;
    // A real sine of amplitude A at bin b: X[b] = -i N A / 2, X[N-b] = +i N A / 2.
    EXPECT_NEAR(x[bin].imag(), -kN * amplitude / 2, 1e-3) << bin;
    EXPECT_NEAR(x[kN - bin].imag(), kN * amplitude / 2, 1e-3) << bin;
    for (int k = 0; k < kN; ++k) {
      if (k != bin && k != kN - bin) {
        EXPECT_LT(std::abs(x[k]), 1e-3) << bin << " " << k;
      }
    }
  }
}

TEST(FixedFft, ForwardAndInverseMatchTheDftOnNoise) {
  const FixedFft fft;
  for (uint32_t seed : {1u, 2u, 3u}) {
    for (bool inverse : {false, true}) {
      auto x = noise(seed, true);
      const auto want = referenceDft(x, inverse);
      fft.run(x.data(), inverse);
      // Rounding grows with log2(N) and the sqrt(N) spread of the sum.
      const double scale = inverse ? 1.0 / kN : 1.0;
      EXPECT_LT(maxError(x.data(), want), 2e-4 * std::sqrt(kN) * scale * 4) << seed << inverse;
    }
  }
}

TEST(FixedFft, InverseScalesByOneOver512) {
  const FixedFft fft;
  std::vector<Cf> x(kN, Cf(1.0f, 0.0f));
  fft.inverse(x.data());
  EXPECT_FLOAT_EQ(x[0].real(), 1.0f);
  for (int n = 1; n < kN; ++n) EXPECT_LT(std::abs(x[n]), 1e-6) << n;
}

TEST(FixedFft, RoundTripReturnsTheInput) {
  const FixedFft fft;
  for (bool complexValues : {false, true}) {
    const auto original = noise(42, complexValues);
    auto x = original;
    fft.run(x.data(), false);
    fft.inverse(x.data());
    double worst = 0.0;
    for (int n = 0; n < kN; ++n) worst = std::max(worst, double(std::abs(x[n] - original[n])));
    EXPECT_LT(worst, 2e-6);
  }
}

} // namespace
} // namespace velto
