// Signals and pitch measurement for the pitch-shifter suites: band-limited sawtooth, a gliding
// glottal vowel, white noise, a bank driven in callback-sized calls, and the frequency of the
// strongest spectral peak in a band (zero-padded FFT, then a fine search of the windowed
// spectrum).
#pragma once

#include "effects/input_fx.h"
#include "platform/dsp/dsp.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <random>
#include <utility>
#include <vector>

// Own namespace: other suites of this program keep helpers of their own in velto::test.
namespace velto::test::shift {

inline constexpr double kSampleRate = 48000.0;

// Sum of the sawtooth's harmonics up to 8 kHz, peak near `amplitude`.
inline std::vector<float> sawtooth(size_t n, double hz, float amplitude) {
  std::vector<float> out(n, 0.0f);
  const int harmonics = static_cast<int>(8000.0 / hz);
  for (size_t i = 0; i < n; ++i) {
    const double phase = 2.0 * std::numbers::pi * hz * static_cast<double>(i) / kSampleRate;
    double sum = 0.0;
    for (int k = 1; k <= harmonics; ++k) sum += ((k & 1) ? 1.0 : -1.0) * std::sin(k * phase) / k;
    out[i] = static_cast<float>(amplitude * 2.0 / std::numbers::pi * sum);
  }
  return out;
}

// A vowel on a gliding glottal source: Rosenberg pulses whose pitch moves between loHz and hiHz
// and back every two seconds, through formant resonators at 600, 1100 and 2500 Hz; peak near 0.5.
inline std::vector<float> glottalVowel(size_t n, double loHz, double hiHz) {
  std::vector<float> source(n, 0.0f);
  double phase = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / kSampleRate;
    const double hz = loHz + (hiHz - loHz) * (0.5 - 0.5 * std::cos(std::numbers::pi * t));
    phase += hz / kSampleRate;
    phase -= std::floor(phase);
    // Opening over 40 % of the cycle, closing over 16 %, closed for the rest.
    double g = 0.0;
    if (phase < 0.4) {
      g = 0.5 - 0.5 * std::cos(std::numbers::pi * phase / 0.4);
    } else if (phase < 0.56) {
      g = std::cos(0.5 * std::numbers::pi * (phase - 0.4) / 0.16);
    }
    source[i] = static_cast<float>(g);
  }
  // The derivative of the glottal flow excites the vocal tract; then three two-pole resonators.
  std::vector<double> x(n, 0.0);
  for (size_t i = 1; i < n; ++i) x[i] = source[i] - source[i - 1];
  for (const auto& [hz, bandwidth] : {std::pair{600.0, 80.0}, {1100.0, 90.0}, {2500.0, 120.0}}) {
    const double radius = std::exp(-std::numbers::pi * bandwidth / kSampleRate);
    const double a1 = 2.0 * radius * std::cos(2.0 * std::numbers::pi * hz / kSampleRate);
    const double a2 = -radius * radius;
    double y1 = 0.0, y2 = 0.0;
    for (auto& v : x) {
      const double y = (1.0 - radius) * v + a1 * y1 + a2 * y2;
      y2 = y1, y1 = y;
      v = y;
    }
  }
  double peak = 0.0;
  for (const double v : x) peak = std::max(peak, std::fabs(v));
  std::vector<float> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<float>(0.5 * x[i] / peak);
  return out;
}

inline std::vector<float> whiteNoise(size_t n, float amplitude, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-amplitude, amplitude);
  std::vector<float> out(n);
  for (auto& s : out) s = u(rng);
  return out;
}

// Runs the bank over separate channels in calls of `call` frames, as a device callback would.
inline void runStereo(InputFx& bank, std::vector<float>& left, std::vector<float>& right,
                      uint32_t call = 128) {
  std::vector<float> buffer(size_t{call} * 2);
  for (size_t pos = 0; pos < left.size(); pos += call) {
    const auto n = static_cast<uint32_t>(std::min<size_t>(call, left.size() - pos));
    for (uint32_t i = 0; i < n; ++i) {
      buffer[2 * i] = left[pos + i];
      buffer[2 * i + 1] = right[pos + i];
    }
    bank.process(buffer.data(), n);
    for (uint32_t i = 0; i < n; ++i) {
      left[pos + i] = buffer[2 * i];
      right[pos + i] = buffer[2 * i + 1];
    }
  }
}

// Magnitude of the Hann-windowed spectrum of x[from, from + count) at `hz`.
inline double windowedMagnitude(const std::vector<float>& x, size_t from, size_t count, double hz) {
  const double w = 2.0 * std::numbers::pi * hz / kSampleRate;
  const double cw = std::cos(w), sw = std::sin(w);
  double c = 1.0, s = 0.0, re = 0.0, im = 0.0;
  for (size_t i = 0; i < count; ++i) {
    const double win =
        0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / count);
    re += win * x[from + i] * c;
    im -= win * x[from + i] * s;
    const double nc = c * cw - s * sw;
    s = s * cw + c * sw;
    c = nc;
  }
  return std::hypot(re, im);
}

// Frequency of the strongest component between lo and hi Hz in x[from, from + count).
inline double peakHz(const std::vector<float>& x, size_t from, size_t count, double lo, double hi) {
  constexpr int kLog2 = 18;
  constexpr size_t kPoints = size_t{1} << kLog2;
  std::vector<float> re(kPoints, 0.0f), im(kPoints, 0.0f);
  for (size_t i = 0; i < count && i < kPoints; ++i) {
    const double win =
        0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / count);
    re[i] = static_cast<float>(win * x[from + i]);
  }
  platform::dsp::FftSetup fft(kLog2);
  fft.complexInPlace({re.data(), im.data()}, kLog2, platform::dsp::FftDirection::forward);
  const double binHz = kSampleRate / kPoints;
  size_t best = static_cast<size_t>(lo / binHz);
  for (size_t k = best; k <= static_cast<size_t>(hi / binHz); ++k) {
    if (re[k] * re[k] + im[k] * im[k] > re[best] * re[best] + im[best] * im[best]) best = k;
  }
  // Golden-section search of the windowed spectrum around the coarse peak.
  double a = (static_cast<double>(best) - 1.0) * binHz,
         b = (static_cast<double>(best) + 1.0) * binHz;
  const double g = (std::sqrt(5.0) - 1.0) / 2.0;
  double c = b - g * (b - a), d = a + g * (b - a);
  double fc = windowedMagnitude(x, from, count, c), fd = windowedMagnitude(x, from, count, d);
  for (int iter = 0; iter < 30; ++iter) {
    if (fc > fd) {
      b = d, d = c, fd = fc;
      c = b - g * (b - a);
      fc = windowedMagnitude(x, from, count, c);
    } else {
      a = c, c = d, fc = fd;
      d = a + g * (b - a);
      fd = windowedMagnitude(x, from, count, d);
    }
  }
  return 0.5 * (a + b);
}

inline double cents(double hz, double reference) {
  return 1200.0 * std::log2(hz / reference);
}

inline std::unique_ptr<InputFx> bankWithOnly(FxId id) {
  auto bank = std::make_unique<InputFx>();
  for (auto& flag : bank->enabled) flag.store(false);
  bank->enabled[id].store(true);
  return bank;
}

} // namespace velto::test::shift
