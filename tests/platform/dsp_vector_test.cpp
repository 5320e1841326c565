// The block-vector operations on small known inputs.
#include "platform/dsp/dsp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace platform::dsp {
namespace {

TEST(DspVector, ElementWiseOperations) {
  const float a[4] = {-2.0f, 0.5f, 3.0f, -0.25f};
  const float b[4] = {1.0f, -4.0f, 3.0f, 0.0f};
  float out[4];
  abs(a, out, 4);
  EXPECT_EQ(out[0], 2.0f);
  EXPECT_EQ(out[3], 0.25f);
  max(a, b, out, 4);
  EXPECT_EQ(out[0], 1.0f);
  EXPECT_EQ(out[1], 0.5f);
  EXPECT_EQ(out[2], 3.0f);
  EXPECT_EQ(out[3], 0.0f);
  mul(a, b, out, 4);
  EXPECT_EQ(out[1], -2.0f);
  add(a, b, out, 4);
  EXPECT_EQ(out[1], -3.5f);
  scale(a, 2.0f, out, 4);
  EXPECT_EQ(out[2], 6.0f);
  scaleAdd(a, 2.0f, b, out, 4);
  EXPECT_EQ(out[0], -3.0f);
  addScalar(a, 1.0f, out, 4);
  EXPECT_EQ(out[3], 0.75f);
  fill(out, 7.0f, 4);
  EXPECT_EQ(out[2], 7.0f);
  clear(out, 4);
  EXPECT_EQ(out[2], 0.0f);
  // Output may alias the input.
  float c[4] = {1, 2, 3, 4};
  scale(c, -1.0f, c, 4);
  EXPECT_EQ(c[3], -4.0f);
}

TEST(DspVector, DecibelsAndExponentials) {
  const float amplitude[4] = {1.0f, 0.1f, 0.001f, 2.0f};
  float db[4];
  toDb(amplitude, 1.0f, db, 4, true);
  EXPECT_NEAR(db[0], 0.0f, 1e-6);
  EXPECT_NEAR(db[1], -20.0f, 1e-5);
  EXPECT_NEAR(db[2], -60.0f, 1e-4);
  EXPECT_NEAR(db[3], 6.0206f, 1e-4);
  toDb(amplitude, 1.0f, db, 4, false);
  EXPECT_NEAR(db[1], -10.0f, 1e-5);
  toDb(amplitude, 0.5f, db, 4, true);
  EXPECT_NEAR(db[0], 6.0206f, 1e-4);
  // exp(dB * ln(10)/20) turns a dB curve into linear factors.
  const float curve[3] = {0.0f, -20.0f * 0.115129255f, 6.0206f * 0.115129255f};
  float gains[3];
  exp(curve, gains, 3);
  EXPECT_NEAR(gains[0], 1.0f, 1e-7);
  EXPECT_NEAR(gains[1], 0.1f, 1e-6);
  EXPECT_NEAR(gains[2], 2.0f, 1e-5);
}

TEST(DspVector, Reductions) {
  const float a[5] = {3.0f, -7.0f, 2.0f, 0.5f, -1.0f};
  const float b[5] = {1.0f, 1.0f, 2.0f, 2.0f, 0.0f};
  EXPECT_EQ(maxValue(a, 5), 3.0f);
  EXPECT_EQ(minValue(a, 5), -7.0f);
  EXPECT_EQ(maxMagnitude(a, 5), 7.0f);
  EXPECT_EQ(sum(a, 5), -2.5f);
  EXPECT_EQ(sumOfSquares(a, 5), 63.25f);
  EXPECT_EQ(dot(a, b, 5), 1.0f);
  EXPECT_EQ(maxValue(a, 0), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(minValue(a, 0), std::numeric_limits<float>::infinity());
  EXPECT_EQ(maxMagnitude(a, 0), 0.0f);
}

TEST(DspVector, SplitComplexProductsAndMagnitudes) {
  float ar[2] = {1.0f, 0.0f}, ai[2] = {2.0f, 1.0f};
  float br[2] = {3.0f, 2.0f}, bi[2] = {-1.0f, 5.0f};
  float outR[2], outI[2], mags[2];
  complexMultiply({ar, ai}, {br, bi}, {outR, outI}, 2, false);
  EXPECT_EQ(outR[0], 5.0f); // (1 + 2i)(3 - i) = 5 + 5i
  EXPECT_EQ(outI[0], 5.0f);
  EXPECT_EQ(outR[1], -5.0f); // i (2 + 5i) = -5 + 2i
  EXPECT_EQ(outI[1], 2.0f);
  complexMultiply({ar, ai}, {br, bi}, {outR, outI}, 2, true);
  EXPECT_EQ(outR[0], 1.0f); // (1 - 2i)(3 - i) = 1 - 7i
  EXPECT_EQ(outI[0], -7.0f);
  squaredMagnitudes({ar, ai}, mags, 2);
  EXPECT_EQ(mags[0], 5.0f);
  EXPECT_EQ(mags[1], 1.0f);
}

} // namespace
} // namespace platform::dsp
