// Helpers of the dynamics and time-effect suites: a bank with one effect switched on from its
// first block, stereo signals driven through `process` in callback-sized calls, and the plain
// signals those suites feed (steady levels, clicks, bursts, noise).
#pragma once

#include "effects/input_fx.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <memory>
#include <numbers>
#include <random>
#include <utility>
#include <vector>

// Own namespace: other suites of this program keep helpers of their own in velto::test.
namespace velto::test::dyn {

inline constexpr double kRate = 48000.0;

struct Stereo {
  std::vector<float> left, right;
};

inline float dbToGain(double db) {
  return static_cast<float>(std::pow(10.0, db / 20.0));
}

inline double gainToDb(double gain) {
  return 20.0 * std::log10(gain);
}

// Writes parameters by their table keys; a key the table does not know fails the test.
inline void setParams(InputFx& bank, FxId id,
                      std::initializer_list<std::pair<const char*, float>> values) {
  for (const auto& [key, value] : values) {
    const int i = findParam(&kFx[id], key);
    ASSERT_GE(i, 0) << key;
    ASSERT_TRUE(bank.set(id, i, value)) << key;
  }
}

// A fresh bank with every effect off but `id`, which is on before the first block (full wet).
inline std::unique_ptr<InputFx>
bankWith(FxId id, std::initializer_list<std::pair<const char*, float>> values = {}) {
  auto bank = std::make_unique<InputFx>();
  for (auto& flag : bank->enabled) flag.store(false);
  bank->enabled[id].store(true);
  setParams(*bank, id, values);
  return bank;
}

// Runs a stereo signal through the bank in calls of `callback` frames, in place.
inline void run(InputFx& bank, Stereo& s, uint32_t callback = 128) {
  const size_t n = s.left.size();
  std::vector<float> buffer(2 * callback);
  for (size_t pos = 0; pos < n; pos += callback) {
    const auto frames = static_cast<uint32_t>(std::min<size_t>(callback, n - pos));
    for (uint32_t i = 0; i < frames; ++i) {
      buffer[2 * i] = s.left[pos + i];
      buffer[2 * i + 1] = s.right[pos + i];
    }
    bank.process(buffer.data(), frames);
    for (uint32_t i = 0; i < frames; ++i) {
      s.left[pos + i] = buffer[2 * i];
      s.right[pos + i] = buffer[2 * i + 1];
    }
  }
}

inline Stereo both(const std::vector<float>& mono) {
  return {mono, mono};
}

inline Stereo silence(size_t n) {
  return {std::vector<float>(n, 0.0f), std::vector<float>(n, 0.0f)};
}

inline std::vector<float> sine(size_t n, double hz, double amplitude, size_t start = 0) {
  std::vector<float> out(n);
  for (size_t i = 0; i < n; ++i) {
    out[i] = static_cast<float>(
        amplitude * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(start + i) / kRate));
  }
  return out;
}

// A square wave: its magnitude is the same at every sample, so a peak detector sees a steady level.
inline std::vector<float> square(size_t n, double hz, double amplitude) {
  std::vector<float> out(n);
  const auto half = static_cast<size_t>(kRate / hz / 2.0);
  for (size_t i = 0; i < n; ++i)
    out[i] = static_cast<float>((i / half) % 2 ? -amplitude : amplitude);
  return out;
}

inline std::vector<float> noise(size_t n, double amplitude, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-amplitude, amplitude);
  std::vector<float> out(n);
  for (auto& s : out) s = static_cast<float>(u(rng));
  return out;
}

inline std::vector<float> concat(std::initializer_list<std::vector<float>> parts) {
  std::vector<float> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// out - in per sample: what an effect added to the dry signal.
inline std::vector<float> difference(const std::vector<float>& out, const std::vector<float>& in) {
  std::vector<float> d(out.size());
  for (size_t i = 0; i < out.size(); ++i) d[i] = out[i] - in[i];
  return d;
}

inline double sumRange(const std::vector<float>& x, size_t from, size_t to) {
  double s = 0.0;
  for (size_t i = from; i < to && i < x.size(); ++i) s += x[i];
  return s;
}

inline double peakRange(const std::vector<float>& x, size_t from, size_t to) {
  double m = 0.0;
  for (size_t i = from; i < to && i < x.size(); ++i) m = std::max(m, std::fabs(double{x[i]}));
  return m;
}

// Index of the first sample at or after `from` whose magnitude exceeds `level`; the size if none.
inline size_t firstAbove(const std::vector<float>& x, size_t from, double level) {
  for (size_t i = from; i < x.size(); ++i) {
    if (std::fabs(x[i]) > level) return i;
  }
  return x.size();
}

// Amplitude of the component at `hz` in x[from, from + count): least-squares sine and cosine.
inline double amplitudeAt(const std::vector<float>& x, double hz, size_t from, size_t count) {
  double ss = 0, cc = 0, sc = 0, xs = 0, xc = 0;
  for (size_t i = from; i < from + count; ++i) {
    const double ph = 2.0 * std::numbers::pi * hz * static_cast<double>(i) / kRate;
    const double s = std::sin(ph), c = std::cos(ph);
    ss += s * s, cc += c * c, sc += s * c, xs += x[i] * s, xc += x[i] * c;
  }
  const double det = ss * cc - sc * sc;
  return std::hypot((xs * cc - xc * sc) / det, (xc * ss - xs * sc) / det);
}

} // namespace velto::test::dyn
