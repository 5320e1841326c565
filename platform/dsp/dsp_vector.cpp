// Block-vector operations of the vector-library stand-in. Plain loops: the compiler vectorises
// them, and none allocates or blocks.
#include "platform/dsp/dsp.h"

#include <cmath>
#include <limits>

namespace platform::dsp {

void clear(float* v, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) v[i] = 0.0f;
}

void fill(float* v, float value, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) v[i] = value;
}

void abs(const float* a, float* out, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) out[i] = std::fabs(a[i]);
}

void max(const float* a, const float* b, float* out, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) out[i] = a[i] > b[i] ? a[i] : b[i];
}

void add(const float* a, const float* b, float* out, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) out[i] = a[i] + b[i];
}

void mul(const float* a, const float* b, float* out, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) out[i] = a[i] * b[i];
}

void scale(const float* a, float s, float* out, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) out[i] = a[i] * s;
}

void scaleAdd(const float* a, float s, const float* b, float* out, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) out[i] = a[i] * s + b[i];
}

void addScalar(const float* a, float s, float* out, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) out[i] = a[i] + s;
}

void toDb(const float* a, float reference, float* out, uint32_t n, bool amplitude) {
  const float factor = amplitude ? 20.0f : 10.0f;
  for (uint32_t i = 0; i < n; ++i) out[i] = factor * std::log10(a[i] / reference);
}

void exp(const float* a, float* out, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) out[i] = std::exp(a[i]);
}

float maxValue(const float* a, uint32_t n) {
  float m = -std::numeric_limits<float>::infinity();
  for (uint32_t i = 0; i < n; ++i) m = a[i] > m ? a[i] : m;
  return m;
}

float minValue(const float* a, uint32_t n) {
  float m = std::numeric_limits<float>::infinity();
  for (uint32_t i = 0; i < n; ++i) m = a[i] < m ? a[i] : m;
  return m;
}

float maxMagnitude(const float* a, uint32_t n) {
  float m = 0.0f;
  for (uint32_t i = 0; i < n; ++i) {
    const float v = std::fabs(a[i]);
    m = v > m ? v : m;
  }
  return m;
}

float sum(const float* a, uint32_t n) {
  float s = 0.0f;
  for (uint32_t i = 0; i < n; ++i) s += a[i];
  return s;
}

float sumOfSquares(const float* a, uint32_t n) {
  float s = 0.0f;
  for (uint32_t i = 0; i < n; ++i) s += a[i] * a[i];
  return s;
}

float dot(const float* a, const float* b, uint32_t n) {
  float s = 0.0f;
  for (uint32_t i = 0; i < n; ++i) s += a[i] * b[i];
  return s;
}

void squaredMagnitudes(SplitComplex a, float* out, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) out[i] = a.realp[i] * a.realp[i] + a.imagp[i] * a.imagp[i];
}

void complexMultiply(SplitComplex a, SplitComplex b, SplitComplex out, uint32_t n,
                     bool conjugateA) {
  const float sign = conjugateA ? -1.0f : 1.0f;
  for (uint32_t i = 0; i < n; ++i) {
    const float ar = a.realp[i], ai = sign * a.imagp[i];
    const float br = b.realp[i], bi = b.imagp[i];
    out.realp[i] = ar * br - ai * bi;
    out.imagp[i] = ar * bi + ai * br;
  }
}

} // namespace platform::dsp
