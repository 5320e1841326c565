// The system's own fixed 512-point complex FFT with precomputed tables.
// Owned by whoever runs transforms (one per noise filter, one per input analysis).
// Immutable after construction: one instance may serve any thread; run() works in place.
#pragma once

#include <complex>
#include <cstdint>

namespace velto {

struct FixedFft {
  static constexpr int kSize = 512;

  FixedFft();

  // Forward transform is unscaled; the inverse is scaled by 1/512. Any thread, no allocation.
  void run(std::complex<float>* data, bool inverse) const;
  void inverse(std::complex<float>* data) const { run(data, true); }

  uint16_t bitReverse[kSize];
  std::complex<float> twiddle[kSize / 2];
};

} // namespace velto
