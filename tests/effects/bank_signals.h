// Signals and measurements for the bank and chain suites: sines, stereo interleaving, the level
// of one frequency by a least-squares fit, and an independent double-precision cookbook
// high-pass to compare the bank's low cut against.
#pragma once

#include "effects/input_fx.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace velto::test {

inline constexpr double kRate = 48000.0;

inline std::vector<float> sine(size_t n, double hz, float amplitude, size_t start = 0) {
  std::vector<float> out(n);
  for (size_t i = 0; i < n; ++i) {
    out[i] = static_cast<float>(
        amplitude * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(start + i) / kRate));
  }
  return out;
}

inline std::vector<float> interleave(const std::vector<float>& l, const std::vector<float>& r) {
  std::vector<float> out(l.size() * 2);
  for (size_t i = 0; i < l.size(); ++i) out[2 * i] = l[i], out[2 * i + 1] = r[i];
  return out;
}

inline std::vector<float> channelOf(const std::vector<float>& interleaved, int c) {
  std::vector<float> out(interleaved.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) out[i] = interleaved[2 * i + static_cast<size_t>(c)];
  return out;
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

inline double toDb(double ratio) {
  return 20.0 * std::log10(ratio);
}

// A mono signal through a bank on both channels in 256-frame calls; the left channel back.
inline std::vector<float> runMono(InputFx& bank, const std::vector<float>& mono) {
  auto buffer = interleave(mono, mono);
  const auto frames = static_cast<uint32_t>(mono.size());
  for (uint32_t pos = 0; pos < frames; pos += 256) {
    bank.process(buffer.data() + size_t{pos} * 2, std::min(256u, frames - pos));
  }
  return channelOf(buffer, 0);
}

// Gain of the bank at `hz` in dB, fitted over the part after `settle` frames.
inline double measuredGainDb(InputFx& bank, double hz, size_t settle = 48000,
                             size_t measure = 48000) {
  const auto in = sine(settle + measure, hz, 0.5f);
  const auto out = runMono(bank, in);
  return toDb(amplitudeAt(out, hz, settle, measure) / amplitudeAt(in, hz, settle, measure));
}

inline void switchAllOff(InputFx& bank) {
  for (auto& flag : bank.enabled) flag.store(false);
}

// Cookbook high-pass, direct form I in double precision.
struct RefHighPass {
  RefHighPass(double hz, double q) {
    const double w = 2.0 * std::numbers::pi * hz / kRate;
    const double alpha = std::sin(w) / (2.0 * q), a0 = 1.0 + alpha;
    b0 = b2 = (1.0 + std::cos(w)) / 2.0 / a0;
    b1 = -(1.0 + std::cos(w)) / a0;
    a1 = -2.0 * std::cos(w) / a0;
    a2 = (1.0 - alpha) / a0;
  }
  double run(double x) {
    const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1, x1 = x, y2 = y1, y1 = y;
    return y;
  }
  double b0, b1, b2, a1, a2, x1 = 0, x2 = 0, y1 = 0, y2 = 0;
};

} // namespace velto::test
