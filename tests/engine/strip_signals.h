// Test signals for the engine suites: sines, ramps, impulses, as one channel of floats.
#pragma once

#include "core/levels.h"

#include <cmath>
#include <cstdint>
#include <vector>

namespace velto::test {

inline std::vector<float> sine(uint32_t frames, double hz, float amplitude, double phase = 0.0) {
  std::vector<float> out(frames);
  for (uint32_t i = 0; i < frames; ++i) {
    out[i] = amplitude * static_cast<float>(std::sin(phase + 2.0 * M_PI * hz * i / kSampleRate));
  }
  return out;
}

// 0, 1/frames, 2/frames, ... : every frame distinct, so order and position are visible.
inline std::vector<float> ramp(uint32_t frames, float scale = 1.0f) {
  std::vector<float> out(frames);
  for (uint32_t i = 0; i < frames; ++i) out[i] = scale * static_cast<float>(i + 1) / frames;
  return out;
}

inline std::vector<float> impulse(uint32_t frames, uint32_t at, float height = 1.0f) {
  std::vector<float> out(frames, 0.0f);
  if (at < frames) out[at] = height;
  return out;
}

inline std::vector<float> constant(uint32_t frames, float value) {
  return std::vector<float>(frames, value);
}

// Interleaves two channels into stereo frames.
inline std::vector<float> stereo(const std::vector<float>& left, const std::vector<float>& right) {
  std::vector<float> out(left.size() * 2);
  for (size_t i = 0; i < left.size(); ++i) {
    out[2 * i] = left[i];
    out[2 * i + 1] = right[i];
  }
  return out;
}

} // namespace velto::test
