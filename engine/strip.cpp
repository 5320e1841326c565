#include "engine/strip.h"

#include "effects/fx_chain.h"
#include "effects/input_fx.h"
#include "effects/noise_filter.h"
#include "core/levels.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace velto {

namespace {

void interleave(float* out, ChannelRef left, ChannelRef right, size_t offset, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    const size_t frame = offset + i;
    out[2 * i] = left.data ? left.data[frame * left.stride] : 0.0f;
    out[2 * i + 1] = right.data ? right.data[frame * right.stride] : 0.0f;
  }
}

// Linear ramp from `from` to `to` over the chunk; the last frame gets `to` exactly.
void applyRamp(float* samples, uint32_t count, float from, float to) {
  const float step = (to - from) / static_cast<float>(count);
  for (uint32_t i = 0; i + 1 < count; ++i) {
    const float g = from + step * static_cast<float>(i + 1);
    samples[2 * i] *= g;
    samples[2 * i + 1] *= g;
  }
  samples[2 * (count - 1)] *= to;
  samples[2 * (count - 1) + 1] *= to;
}

void applyGain(float* samples, uint32_t count, float g) {
  for (uint32_t i = 0; i < 2 * count; ++i) samples[i] *= g;
}

void trackPeaks(const float* samples, uint32_t count, float* leftPeak, float* rightPeak) {
  for (uint32_t i = 0; i < count; ++i) {
    *leftPeak = std::max(*leftPeak, std::fabs(samples[2 * i]));
    *rightPeak = std::max(*rightPeak, std::fabs(samples[2 * i + 1]));
  }
}

} // namespace

void Strip::init(const std::string& stripName) {
  name = stripName;
  scratch.assign(kWorkFloats, 0.0f);
  for (auto& ring : rings) ring = std::make_unique<StereoRing>(kRingFrames);
}

void Strip::reset() {
  routeMask.exchange(0);
  gain.exchange(1.0f);
  mute.exchange(false);
}

uint32_t Strip::effectiveRoute() const {
  const uint32_t mask = routeMask.load();
  return mask != 0 ? mask : defaultRoute;
}

void Strip::produce(ChannelRef left, ChannelRef right, uint32_t frames) {
  float target = mute.load() ? 0.0f : gain.load();
  // A gain that is not a finite number must never reach the audio: keep the last good one.
  if (!std::isfinite(target)) target = lastGain;
  const uint32_t route = effectiveRoute();
  if (frames == 0) return;

  float* work = scratch.data();
  float leftPeak = 0.0f;
  float rightPeak = 0.0f;
  for (uint32_t offset = 0; offset < frames; offset += kChunkFrames) {
    const uint32_t count = std::min(frames - offset, kChunkFrames);
    interleave(work, left, right, offset, count);
    if (fxChain) fxChain->banks[0]->processPre(work, count);
    // The analysis sees the input after echo cancellation, before noise filter and effects.
    if (analysisRing) analysisRing->write(work, count);
    if (noiseFilter) noiseFilter->process(work, count);
    if (fxChain) fxChain->process(work, count);

    if (lastGain != target) {
      applyRamp(work, count, lastGain, target);
    } else {
      applyGain(work, count, target);
    }
    lastGain = target;

    trackPeaks(work, count, &leftPeak, &rightPeak);
    for (int k = 0; k < kRouteDestinations; ++k) {
      if (route & (1u << k)) rings[k]->write(work, count);
    }
  }
  meter.raise(leftPeak, rightPeak);
}

} // namespace velto
