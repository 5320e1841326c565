// Helpers of the feedback-suppression suites: a bank with only the suppressor on, fed one
// analysis period (512 frames) per call so that every call ends with exactly one analysis, and
// tones whose level moves by a fixed number of dB per analysis period.
#pragma once

#include "effects/input_fx.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

namespace velto::test::fb {

inline constexpr double kRate = 48000.0;
inline constexpr uint32_t kHop = 512; // frames per analysis

// Mean-square level in dB of a block, as the suppressor's quiet gate measures it.
inline double levelDb(const float* x, uint32_t n) {
  double e = 0.0;
  for (uint32_t i = 0; i < n; ++i) e += static_cast<double>(x[i]) * x[i];
  return 10.0 * std::log10(e / n + 1e-20);
}

// Amplitude of the component at `hz` in x[0, n): least-squares sine and cosine.
inline double amplitudeAt(const float* x, uint32_t n, double hz, uint64_t start = 0) {
  double ss = 0, cc = 0, sc = 0, xs = 0, xc = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const double ph = 2.0 * std::numbers::pi * hz * static_cast<double>(start + i) / kRate;
    const double s = std::sin(ph), c = std::cos(ph);
    ss += s * s, cc += c * c, sc += s * c, xs += x[i] * s, xc += x[i] * c;
  }
  const double det = ss * cc - sc * sc;
  return std::hypot((xs * cc - xc * sc) / det, (xc * ss - xs * sc) / det);
}

// A sine whose mean-square level starts at `startDb` and changes by `rateDb` per 512 samples.
struct Tone {
  double hz;
  double startDb;
  double rateDb = 0.0;
  uint64_t n = 0;

  float next() {
    const double t = static_cast<double>(n);
    const double db = startDb + rateDb * t / kHop;
    const double amp = std::sqrt(2.0) * std::pow(10.0, db / 20.0);
    ++n;
    return static_cast<float>(amp * std::sin(2.0 * std::numbers::pi * hz * t / kRate));
  }
  std::vector<float> hop() {
    std::vector<float> out(kHop);
    for (auto& x : out) x = next();
    return out;
  }
};

// A bank with only feedback suppression on; `hop` runs one analysis period through `process`
// (in 64-frame blocks inside) with the same signal on both channels.
struct Rig {
  std::unique_ptr<InputFx> bank = std::make_unique<InputFx>();
  uint32_t analyses = 0; // analyses run so far (one per hop)
  std::vector<float> out = std::vector<float>(kHop);

  explicit Rig(float sensitivity = 5.0f, float range = 24.0f) {
    for (auto& flag : bank->enabled) flag.store(false);
    bank->enabled[FxId::feedback].store(true);
    bank->set(FxId::feedback, 0, sensitivity);
    bank->set(FxId::feedback, 1, range);
  }

  // Left channel of the processed hop lands in `out`.
  void hop(const std::vector<float>& mono) {
    std::vector<float> buffer(2 * kHop);
    for (uint32_t i = 0; i < kHop; ++i) buffer[2 * i] = buffer[2 * i + 1] = mono[i];
    bank->process(buffer.data(), kHop);
    for (uint32_t i = 0; i < kHop; ++i) out[i] = buffer[2 * i];
    ++analyses;
  }
  void silence(uint32_t hops) {
    const std::vector<float> zero(kHop, 0.0f);
    for (uint32_t h = 0; h < hops; ++h) hop(zero);
  }
  uint32_t events() const { return bank->feedbackEvents.load(); }

  // Grows a tone at `hz` (2 dB per analysis from -66 dB) until a detection, at most `limit`
  // analyses, then lets the analysis ring run empty. Returns whether a detection happened.
  bool detect(double hz, uint32_t limit = 80) {
    const uint32_t before = events();
    Tone tone{hz, -66.0, 2.0};
    bool hit = false;
    for (uint32_t h = 0; h < limit && !hit; ++h) {
      hop(tone.hop());
      hit = events() > before;
    }
    silence(5);
    return hit;
  }

  int activeNotches() const {
    int count = 0;
    for (const auto& [hz, depth] : bank->notches()) count += depth > 0.0f ? 1 : 0;
    return count;
  }
};

} // namespace velto::test::fb
