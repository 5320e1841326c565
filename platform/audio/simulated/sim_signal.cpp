#include "platform/audio/simulated/sim_signal.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace platform::audio {
namespace {

constexpr double kRate = 48000.0;

} // namespace

SignalSource SignalSource::sine(double hz, float amplitude, double phase) {
  SignalSource s;
  s.kind_ = Kind::Sine;
  s.hz_ = hz;
  s.amplitude_ = amplitude;
  s.phase_ = phase;
  return s;
}

SignalSource SignalSource::samples(std::vector<float> interleaved, uint32_t channels, bool loop) {
  SignalSource s;
  s.kind_ = Kind::Samples;
  s.sampleChannels_ = std::max<uint32_t>(channels, 1);
  s.sampleFrames_ = interleaved.size() / s.sampleChannels_;
  s.samples_ = std::make_shared<const std::vector<float>>(std::move(interleaved));
  s.loop_ = loop;
  return s;
}

SignalSource SignalSource::callback(Callback fill) {
  SignalSource s;
  if (!fill) return s;
  s.kind_ = Kind::Callback;
  s.fill_ = std::move(fill);
  return s;
}

float SignalSource::sample(uint64_t position, uint32_t channel) const {
  if (kind_ == Kind::Sine) {
    // The position is reduced to one period's worth of cycles first, so long runs keep the
    // phase exact.
    const double cycles = std::fmod(double(position) * hz_ / kRate, 1.0);
    return float(double(amplitude_) * std::sin(2.0 * std::numbers::pi * cycles + phase_));
  }
  if (sampleFrames_ == 0) return 0.0f;
  if (position >= sampleFrames_) {
    if (!loop_) return 0.0f;
    position %= sampleFrames_;
  }
  if (sampleChannels_ == 1) return (*samples_)[position];
  if (channel >= sampleChannels_) return 0.0f;
  return (*samples_)[position * sampleChannels_ + channel];
}

void SignalSource::render(uint64_t position, float* out, uint32_t frames, uint32_t channels) const {
  if (kind_ == Kind::Callback) {
    fill_(position, out, frames, channels);
    return;
  }
  if (kind_ == Kind::Silence) {
    std::fill_n(out, size_t(frames) * channels, 0.0f);
    return;
  }
  for (uint32_t f = 0; f < frames; ++f) {
    for (uint32_t c = 0; c < channels; ++c) out[size_t(f) * channels + c] = sample(position + f, c);
  }
}

void SignalSource::renderAdd(uint64_t position, float* out, uint32_t frames,
                             uint32_t channels) const {
  if (kind_ == Kind::Silence) return;
  if (kind_ == Kind::Callback) {
    // A callback writes; it renders one frame at a time into a small stack buffer so that
    // nothing is allocated.
    constexpr uint32_t kMaxChannels = 64;
    float frame[kMaxChannels];
    const uint32_t used = std::min(channels, kMaxChannels);
    for (uint32_t f = 0; f < frames; ++f) {
      fill_(position + f, frame, 1, used);
      for (uint32_t c = 0; c < used; ++c) out[size_t(f) * channels + c] += frame[c];
    }
    return;
  }
  for (uint32_t f = 0; f < frames; ++f) {
    for (uint32_t c = 0; c < channels; ++c)
      out[size_t(f) * channels + c] += sample(position + f, c);
  }
}

} // namespace platform::audio
