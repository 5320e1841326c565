// Power-of-two FFTs of the vector-library stand-in: an iterative radix-2 complex transform on
// split data and the packed real transform built on a complex one of half the size.
#include "platform/dsp/dsp.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

namespace platform::dsp {

namespace {

constexpr int kMaxLog2n = 20;

uint32_t reverseBits(uint32_t value, int bits) {
  uint32_t out = 0;
  for (int b = 0; b < bits; ++b) {
    out = (out << 1) | (value & 1u);
    value >>= 1;
  }
  return out;
}

} // namespace

FftSetup::FftSetup(int maxLog2n) : maxLog2n_(std::clamp(maxLog2n, 1, kMaxLog2n)) {
  const size_t n = size_t{1} << maxLog2n_;
  cosTable_.resize(n / 2);
  sinTable_.resize(n / 2);
  // Computed in double so that every size shares one accurate table.
  for (size_t k = 0; k < n / 2; ++k) {
    const double angle = 2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(n);
    cosTable_[k] = static_cast<float>(std::cos(angle));
    sinTable_[k] = static_cast<float>(std::sin(angle));
  }
}

void FftSetup::radix2(float* re, float* im, int log2n, bool inverse) const {
  const uint32_t n = 1u << log2n;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t j = reverseBits(i, log2n);
    if (i < j) {
      std::swap(re[i], re[j]);
      std::swap(im[i], im[j]);
    }
  }
  const float sign = inverse ? 1.0f : -1.0f;
  for (int stage = 1; stage <= log2n; ++stage) {
    const uint32_t span = 1u << stage;
    const uint32_t half = span >> 1;
    const uint32_t stride = 1u << (maxLog2n_ - stage); // table step for this span
    for (uint32_t start = 0; start < n; start += span) {
      for (uint32_t k = 0; k < half; ++k) {
        const float wr = cosTable_[k * stride];
        const float wi = sign * sinTable_[k * stride];
        const uint32_t a = start + k;
        const uint32_t b = a + half;
        const float tr = wr * re[b] - wi * im[b];
        const float ti = wr * im[b] + wi * re[b];
        re[b] = re[a] - tr;
        im[b] = im[a] - ti;
        re[a] += tr;
        im[a] += ti;
      }
    }
  }
}

bool FftSetup::complexInPlace(SplitComplex data, int log2n, FftDirection direction) const {
  if (log2n < 1 || log2n > maxLog2n_) return false;
  radix2(data.realp, data.imagp, log2n, direction == FftDirection::inverse);
  return true;
}

bool FftSetup::realInPlace(SplitComplex data, int log2n, FftDirection direction) const {
  if (log2n < 1 || log2n > maxLog2n_) return false;
  float* re = data.realp;
  float* im = data.imagp;
  const uint32_t half = 1u << (log2n - 1); // complex points
  const uint32_t stride = 1u << (maxLog2n_ - log2n);

  if (direction == FftDirection::forward) {
    radix2(re, im, log2n - 1, false);
    // Z = DFT of (even + i odd); 2X[k] = (Z[k] + conj Z[M-k]) - i W^k (Z[k] - conj Z[M-k]).
    const float z0r = re[0];
    const float z0i = im[0];
    re[0] = 2.0f * (z0r + z0i);
    im[0] = 2.0f * (z0r - z0i);
    for (uint32_t k = 1; k <= half / 2; ++k) {
      const uint32_t m = half - k;
      const float ar = re[k], ai = im[k], br = re[m], bi = im[m];
      auto combine = [&](float zr, float zi, float cr, float ci, uint32_t bin, float* outR,
                         float* outI) {
        // E = Z + conj(C), O = Z - conj(C), result E - i W O with W = e^(-2 pi i bin / N).
        const float er = zr + cr, ei = zi - ci;
        const float orr = zr - cr, oi = zi + ci;
        const float c = cosTable_[bin * stride], s = sinTable_[bin * stride];
        const float wor = c * orr + s * oi; // W * O, W = c - i s
        const float woi = c * oi - s * orr;
        *outR = er + woi;
        *outI = ei - wor;
      };
      float kr, ki, mr, mi;
      combine(ar, ai, br, bi, k, &kr, &ki);
      combine(br, bi, ar, ai, m, &mr, &mi);
      re[k] = kr;
      im[k] = ki;
      re[m] = mr;
      im[m] = mi;
    }
    return true;
  }

  // Inverse: Z[k] = (Y[k] + conj Y[M-k]) + i conj(W^k) (Y[k] - conj Y[M-k]), Y[M] = packed Nyquist;
  // the unscaled half-size inverse of Z then holds 2N times (even + i odd).
  const float dc = re[0];
  const float nyquist = im[0];
  re[0] = dc + nyquist;
  im[0] = dc - nyquist;
  for (uint32_t k = 1; k <= half / 2; ++k) {
    const uint32_t m = half - k;
    const float ar = re[k], ai = im[k], br = re[m], bi = im[m];
    auto combine = [&](float yr, float yi, float cr, float ci, uint32_t bin, float* outR,
                       float* outI) {
      const float er = yr + cr, ei = yi - ci;
      const float dr = yr - cr, di = yi + ci;
      const float c = cosTable_[bin * stride], s = sinTable_[bin * stride];
      const float vr = c * dr - s * di; // conj(W) * D, conj(W) = c + i s
      const float vi = c * di + s * dr;
      *outR = er - vi; // E + i V
      *outI = ei + vr;
    };
    float kr, ki, mr, mi;
    combine(ar, ai, br, bi, k, &kr, &ki);
    combine(br, bi, ar, ai, m, &mr, &mi);
    re[k] = kr;
    im[k] = ki;
    re[m] = mr;
    im[m] = mi;
  }
  radix2(re, im, log2n - 1, true);
  return true;
}

void ctoz(const float* interleaved, SplitComplex out, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    out.realp[i] = interleaved[2 * i];
    out.imagp[i] = interleaved[2 * i + 1];
  }
}

void ztoc(SplitComplex in, float* interleaved, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    interleaved[2 * i] = in.realp[i];
    interleaved[2 * i + 1] = in.imagp[i];
  }
}

void hannWindow(float* out, uint32_t n, HannKind kind) {
  const double scale = kind == HannKind::normalised ? 0.8165 : 0.5;
  for (uint32_t i = 0; i < n; ++i) {
    const double angle = 2.0 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n);
    out[i] = static_cast<float>(scale * (1.0 - std::cos(angle)));
  }
}

} // namespace platform::dsp
