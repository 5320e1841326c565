#include "platform/audio/layer/frame_ring.h"

#include <algorithm>
#include <cstring>

namespace platform::audio {

FrameRing::FrameRing(uint32_t frames, uint32_t channels)
    : data_(size_t(frames) * std::max(channels, 1u), 0.0f), channels_(std::max(channels, 1u)),
      capacity_(frames) {}

void FrameRing::write(const float* interleaved, uint32_t frames) {
  const uint64_t written = written_.load(std::memory_order_relaxed);
  const uint64_t read = read_.load(std::memory_order_acquire);
  const uint64_t count = std::min<uint64_t>(frames, capacity_ - (written - read));
  for (uint64_t f = 0; f < count; ++f) {
    std::memcpy(&data_[((written + f) % capacity_) * channels_], interleaved + f * channels_,
                channels_ * sizeof(float));
  }
  written_.store(written + count, std::memory_order_release);
}

uint32_t FrameRing::read(float* interleaved, uint32_t frames) {
  const uint64_t written = written_.load(std::memory_order_acquire);
  const uint64_t read = read_.load(std::memory_order_relaxed);
  const uint64_t count = std::min<uint64_t>(frames, written - read);
  for (uint64_t f = 0; f < count; ++f) {
    std::memcpy(interleaved + f * channels_, &data_[((read + f) % capacity_) * channels_],
                channels_ * sizeof(float));
  }
  read_.store(read + count, std::memory_order_release);
  return uint32_t(count);
}

uint64_t FrameRing::available() const {
  return written_.load(std::memory_order_acquire) - read_.load(std::memory_order_relaxed);
}

void FrameRing::skip(uint64_t frames) {
  const uint64_t read = read_.load(std::memory_order_relaxed);
  read_.store(read + std::min(frames, available()), std::memory_order_release);
}

void FrameRing::clear() {
  read_.store(0, std::memory_order_relaxed);
  written_.store(0, std::memory_order_relaxed);
}

} // namespace platform::audio
