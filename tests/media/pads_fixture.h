// Helpers for the pad bank suites: samples whose frames are all distinct (so a shift, a repeat
// or a skipped frame shows), constant samples (so a gain shape shows), and block-wise rendering
// the way the clock device's cycle does it. Test thread only.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "media/pad_bank.h"

namespace velto::test {

// Left and right of frame n of a numbered sample: a golden-ratio walk, never 0, never repeating.
inline float padLeft(uint64_t n) {
  return static_cast<float>(0.05 +
                            0.4 * std::fmod(static_cast<double>(n) * 0.6180339887498949, 1.0));
}
inline float padRight(uint64_t n) {
  return -static_cast<float>(
      0.05 + 0.4 * std::fmod(static_cast<double>(n) * 0.6180339887498949 + 0.37, 1.0));
}

inline std::unique_ptr<PadSample> numberedPadSample(uint64_t frames) {
  auto sample = std::make_unique<PadSample>();
  sample->samples.resize(frames * 2);
  for (uint64_t n = 0; n < frames; ++n) {
    sample->samples[2 * n] = padLeft(n);
    sample->samples[2 * n + 1] = padRight(n);
  }
  sample->frames = frames;
  return sample;
}

inline std::unique_ptr<PadSample> constantPadSample(uint64_t frames, float left, float right) {
  auto sample = std::make_unique<PadSample>();
  sample->samples.resize(frames * 2);
  for (uint64_t n = 0; n < frames; ++n) {
    sample->samples[2 * n] = left;
    sample->samples[2 * n + 1] = right;
  }
  sample->frames = frames;
  return sample;
}

// Renders `frames` frames in blocks of `block` into cleared buffers and returns them
// interleaved, as the engine's clock cycle would.
inline std::vector<float> renderPads(PadBank& bank, uint64_t frames, uint32_t block = 128) {
  std::vector<float> out(frames * 2, 0.0f);
  std::vector<float> buffer(size_t{block} * 2);
  for (uint64_t at = 0; at < frames; at += block) {
    const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(block, frames - at));
    std::fill(buffer.begin(), buffer.end(), 0.0f);
    bank.render(buffer.data(), count);
    std::copy_n(buffer.begin(), size_t{count} * 2, out.begin() + static_cast<ptrdiff_t>(at * 2));
  }
  return out;
}

// The smoothstep the pads shape their fade level with.
inline double smoothstep(double level) {
  return (3.0 - 2.0 * level) * level * level;
}

} // namespace velto::test
