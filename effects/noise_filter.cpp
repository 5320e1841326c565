// Spectral noise reduction: per-bin gains from the distance between the running spectrum and the
// installed noise profile, applied on 512-point frames with a hop of 128 and overlap-add.
#include "effects/noise_filter.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace velto {

namespace {

constexpr int kHistory = NoiseFilter::kFrame - NoiseFilter::kHop; // 384

inline float levelDb(std::complex<float> x) {
  const float magnitude = std::sqrt(x.real() * x.real() + x.imag() * x.imag());
  return 20.0f * std::log10(std::max(2.0f * magnitude / 512.0f, 0.0000001f));
}

// A sample that is not finite would spread through every bin's smoothed level for good.
inline float finiteOrZero(float sample) {
  return std::isfinite(sample) ? sample : 0.0f;
}

} // namespace

NoiseFilter::NoiseFilter() {
  for (auto& profile : profiles) {
    for (auto& value : profile) value.store(kFloorDb, std::memory_order_relaxed);
  }
  for (auto& c : channels) {
    std::fill(std::begin(c.smoothedDb), std::end(c.smoothedDb), kFloorDb);
  }
  resetState();
  std::fill(std::begin(work), std::end(work), std::complex<float>{});
  std::fill(std::begin(frameDb), std::end(frameDb), 0.0f);
}

const float* NoiseFilter::window() {
  static const std::array<float, kFrame> values = [] {
    std::array<float, kFrame> w{};
    for (int n = 0; n < kFrame; ++n) {
      const float angle = static_cast<float>(n) * 6.2831855f * (1.0f / 512.0f);
      w[n] = std::sqrt(0.5f - 0.5f * std::cos(angle));
    }
    return w;
  }();
  return values.data();
}

void NoiseFilter::spectrumDb(const FixedFft& fft, const float* samples, float* outDb) {
  const float* w = window();
  std::complex<float> frame[kFrame];
  for (int n = 0; n < kFrame; ++n) frame[n] = {finiteOrZero(samples[n]) * w[n], 0.0f};
  fft.run(frame, false);
  for (int k = 0; k < kBins; ++k) outDb[k] = levelDb(frame[k]);
}

bool NoiseFilter::setProfile(const float* db) {
  for (int k = 0; k < kBins; ++k) {
    if (!std::isfinite(db[k])) return false;
  }
  const uint32_t inactive = activeProfile.load(std::memory_order_relaxed) ^ 1u;
  for (int k = 0; k < kBins; ++k) profiles[inactive][k].store(db[k], std::memory_order_relaxed);
  activeProfile.exchange(inactive, std::memory_order_acq_rel);
  return true;
}

bool NoiseFilter::setStrength(float db) {
  if (!std::isfinite(db)) return false;
  strength.store(db, std::memory_order_relaxed);
  return true;
}

void NoiseFilter::resetState() {
  for (auto& c : channels) {
    std::fill(std::begin(c.input), std::end(c.input), 0.0f);
    std::fill(std::begin(c.overlap), std::end(c.overlap), 0.0f);
    std::fill(std::begin(c.output), std::end(c.output), 0.0f);
    std::fill(std::begin(c.smoothedDb), std::end(c.smoothedDb), kFloorDb);
    std::fill(std::begin(c.gain), std::end(c.gain), 1.0f);
  }
  hopPos = 0;
}

void NoiseFilter::process(float* interleaved, uint32_t frames) {
  const bool on = enabled.load(std::memory_order_relaxed);
  if (on != running) {
    resetState();
    running = on;
  }
  if (!on || frames == 0) return;

  Channel& left = channels[0];
  Channel& right = channels[1];
  for (uint32_t i = 0; i < frames; ++i) {
    float* frame = interleaved + 2 * i;
    left.input[kHistory + hopPos] = finiteOrZero(frame[0]);
    frame[0] = left.output[hopPos];
    right.input[kHistory + hopPos] = finiteOrZero(frame[1]);
    frame[1] = right.output[hopPos];
    if (++hopPos == kHop) {
      processFrame(0);
      processFrame(1);
      hopPos = 0;
    }
  }
}

void NoiseFilter::processFrame(int channel) {
  Channel& c = channels[channel];
  const auto& profile = profiles[activeProfile.load(std::memory_order_acquire) & 1u];
  float depth = strength.load(std::memory_order_relaxed);
  if (std::isfinite(depth)) {
    lastStrength = depth;
  } else {
    depth = lastStrength;
  }
  const float gmin = std::pow(10.0f, -depth / 20.0f);
  const float* w = window();

  for (int n = 0; n < kFrame; ++n) work[n] = {c.input[n] * w[n], 0.0f};
  fft.run(work, false);

  // Instant rise, slow fall of the running spectrum.
  for (int k = 0; k < kBins; ++k) {
    const float p = levelDb(work[k]);
    frameDb[k] = p;
    c.smoothedDb[k] = p > c.smoothedDb[k] ? p : 0.7f * c.smoothedDb[k] + 0.3f * p;
  }

  // Full reduction at 6 dB or less above the profile, none at 18 dB or more; gains open fast and
  // close slowly.
  const float* s = c.smoothedDb;
  for (int k = 0; k < kBins; ++k) {
    const float below = s[std::max(k - 1, 0)];
    const float above = s[std::min(k + 1, kBins - 1)];
    const float local = (below + 2.0f * s[k] + above) / 4.0f;
    const float floorDb = profile[k].load(std::memory_order_relaxed) + 6.0f;
    const float x = std::clamp((local - floorDb) / 12.0f, 0.0f, 1.0f);
    const float target = gmin + x * (1.0f - gmin);
    c.gain[k] =
        target > c.gain[k] ? 0.4f * c.gain[k] + 0.6f * target : 0.85f * c.gain[k] + 0.15f * target;
  }

  for (int k = 0; k < kBins; ++k) work[k] *= c.gain[k];
  for (int k = 1; k < kBins - 1; ++k) work[kFrame - k] = std::conj(work[k]);
  fft.inverse(work);

  for (int n = 0; n < kFrame; ++n) c.overlap[n] += work[n].real() * w[n] * 0.5f;
  std::copy(c.overlap, c.overlap + kHop, c.output);
  std::copy(c.overlap + kHop, c.overlap + kFrame, c.overlap);
  std::fill(c.overlap + kHistory, c.overlap + kFrame, 0.0f);
  std::copy(c.input + kHop, c.input + kFrame, c.input);
}

} // namespace velto
