// The fixed 512-point FFT: tables built once, radix-2 decimation in time in place.
#include "effects/fft.h"

#include <cmath>
#include <utility>

namespace velto {

namespace {

constexpr int kBits = 9;

} // namespace

FixedFft::FixedFft() {
  for (int i = 0; i < kSize; ++i) {
    int reversed = 0;
    for (int b = 0; b < kBits; ++b) reversed |= ((i >> b) & 1) << (kBits - 1 - b);
    bitReverse[i] = static_cast<uint16_t>(reversed);
  }
  for (int k = 0; k < kSize / 2; ++k) {
    const float angle = static_cast<float>(k) * -6.2831855f * (1.0f / 512.0f);
    twiddle[k] = {std::cos(angle), std::sin(angle)};
  }
}

void FixedFft::run(std::complex<float>* data, bool inverse) const {
  for (int i = 0; i < kSize; ++i) {
    if (i < bitReverse[i]) std::swap(data[i], data[bitReverse[i]]);
  }
  // The inverse conjugates every twiddle: the sign of its imaginary part.
  const float sign = inverse ? -1.0f : 1.0f;
  float* x = reinterpret_cast<float*>(data); // std::complex<float> is two adjacent floats
  for (int span = 2; span <= kSize; span <<= 1) {
    const int half = span >> 1;
    const int step = kSize / span;
    for (int k = 0; k < half; ++k) {
      const float wr = twiddle[k * step].real();
      const float wi = sign * twiddle[k * step].imag();
      for (int s = 0; s < kSize; s += span) {
        float* a = x + 2 * (s + k);
        float* b = x + 2 * (s + k + half);
        const float tr = wr * b[0] - wi * b[1];
        const float ti = wr * b[1] + wi * b[0];
        b[0] = a[0] - tr;
        b[1] = a[1] - ti;
        a[0] += tr;
        a[1] += ti;
      }
    }
  }
  if (inverse) {
    for (int i = 0; i < kSize; ++i) data[i] *= 0.001953125f;
  }
}

} // namespace velto
