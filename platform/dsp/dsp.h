// Stand-in for the platform's vector signal-processing library: multichannel biquad cascades,
// power-of-two FFTs (complex and packed real), the Hann window, split-complex conversion and the
// block-vector operations the effects call. Set-ups are built on the control side (they allocate);
// everything else is allocation-free and lock-free, safe on audio threads. Objects are not shared
// between threads while they run; the free functions are reentrant.
#pragma once

#include <cstdint>
#include <vector>

namespace platform::dsp {

// Complex data as two separate arrays, the layout the FFTs work on.
struct SplitComplex {
  float* realp;
  float* imagp;
};

enum class FftDirection { forward, inverse };

// FFT set-up for every power-of-two size from 2 up to 2^maxLog2n points. Scale conventions are
// the platform library's, which the effects are written against:
//  - complexInPlace, forward: X[k] = sum x[n] e^(-2 pi i k n / N), unscaled.
//    inverse: x[n] = sum X[k] e^(+2 pi i k n / N), unscaled (a round trip gives N times the input).
//  - realInPlace on N real samples held as N/2 complex values (even samples in realp, odd samples
//    in imagp; see ctoz): forward gives TWICE the plain DFT, packed: realp[0] = 2 X[0] (DC),
//    imagp[0] = 2 X[N/2] (Nyquist), realp[k] + i imagp[k] = 2 X[k] for k = 1 .. N/2 - 1.
//    inverse takes that packed layout and gives 2N times the signal (a round trip gives 2N times
//    the input; callers scale by 1/(2N)).
class FftSetup {
public:
  // Control side: allocates the twiddle table. maxLog2n is clamped to 1..20.
  explicit FftSetup(int maxLog2n);

  int maxLog2n() const { return maxLog2n_; }

  // Both return false (and leave the data untouched) when log2n is outside 1..maxLog2n.
  bool complexInPlace(SplitComplex data, int log2n, FftDirection direction) const;
  bool realInPlace(SplitComplex data, int log2n, FftDirection direction) const;

private:
  void radix2(float* re, float* im, int log2n, bool inverse) const;

  int maxLog2n_;
  std::vector<float> cosTable_; // cos(2 pi k / Nmax), k < Nmax / 2
  std::vector<float> sinTable_; // sin(2 pi k / Nmax), k < Nmax / 2
};

// Interleaved complex values (re, im, re, im, ...) to split form and back; count is the number of
// complex values. A real signal of 2n samples passed to ctoz lands as n pairs, the layout
// realInPlace expects.
void ctoz(const float* interleaved, SplitComplex out, uint32_t count);
void ztoc(SplitComplex in, float* interleaved, uint32_t count);

// Hann window of n points, periodic in n: denormalised 0.5 * (1 - cos(2 pi i / n)), normalised
// 0.8165 * (1 - cos(2 pi i / n)) (the library's normalising flag).
enum class HannKind { denormalised, normalised };
void hannWindow(float* out, uint32_t n, HannKind kind);

// Multichannel biquad cascade: `sections` second-order sections in series, run on `channels`
// independent channels. Coefficients are doubles laid out section by section, channel by channel,
// five per set: b0, b1, b2, a1, a2 (already divided by a0), so that
//   y[n] = b0 x[n] + b1 x[n-1] + b2 x[n-2] - a1 y[n-1] - a2 y[n-2].
// The state (last two inputs and outputs of every section and channel, direct form I) survives
// a coefficient change, so coefficients can glide without clicks; reset() clears it.
class BiquadCascade {
public:
  // Control side: allocates coefficients and state. Non-finite coefficients become pass-through.
  BiquadCascade(int sections, int channels, const double* coefficients = nullptr);

  int sections() const { return sections_; }
  int channels() const { return channels_; }

  // Replaces the coefficients of `count` sections starting at `firstSection` (count < 0: up to the
  // last section); `coefficients` holds count x channels x 5 values. A set with a value that is not
  // finite, or a range outside the cascade, is refused (false, nothing changes). Audio-safe.
  bool setCoefficients(const double* coefficients, int firstSection = 0, int count = -1);
  // Clears every section's state. Audio-safe.
  void reset();
  // Runs `frames` samples of every channel through the cascade; in[c] and out[c] may be the same
  // buffer. Audio-safe.
  void process(const float* const* in, float* const* out, uint32_t frames);

private:
  struct State {
    double x1, x2, y1, y2;
  };
  int sections_;
  int channels_;
  std::vector<double> coefficients_; // [section][channel][5]
  std::vector<State> state_;         // [section][channel]
};

// ---- block-vector operations (n elements each; output may alias an input) ----
void clear(float* v, uint32_t n);
void fill(float* v, float value, uint32_t n);
void abs(const float* a, float* out, uint32_t n);
void max(const float* a, const float* b, float* out, uint32_t n); // element-wise maximum
void add(const float* a, const float* b, float* out, uint32_t n);
void mul(const float* a, const float* b, float* out, uint32_t n);
void scale(const float* a, float s, float* out, uint32_t n);                    // a * s
void scaleAdd(const float* a, float s, const float* b, float* out, uint32_t n); // a * s + b
void addScalar(const float* a, float s, float* out, uint32_t n);                // a + s
// Decibels relative to `reference`: amplitude 20 log10(a / ref), power 10 log10(a / ref).
void toDb(const float* a, float reference, float* out, uint32_t n, bool amplitude);
void exp(const float* a, float* out, uint32_t n);
float maxValue(const float* a, uint32_t n);     // -infinity for n = 0
float minValue(const float* a, uint32_t n);     // +infinity for n = 0
float maxMagnitude(const float* a, uint32_t n); // 0 for n = 0
float sum(const float* a, uint32_t n);
float sumOfSquares(const float* a, uint32_t n);
float dot(const float* a, const float* b, uint32_t n);
// Split-complex: |z|^2 per element; out = a * b, or conj(a) * b when conjugateA is set.
void squaredMagnitudes(SplitComplex a, float* out, uint32_t n);
void complexMultiply(SplitComplex a, SplitComplex b, SplitComplex out, uint32_t n, bool conjugateA);

} // namespace platform::dsp
