#include "platform/audio/simulated/sim_objects.h"

#include <algorithm>
#include <cstring>

namespace platform::audio {

SourceCell::SourceCell(SignalSource initial) {
  set(std::move(initial));
}

void SourceCell::set(SignalSource next) {
  all_.push_back(std::make_unique<SignalSource>(std::move(next)));
  current_.store(all_.back().get(), std::memory_order_release);
}

namespace {
constexpr uint32_t kStereo = 2;
} // namespace

TapFeed::TapFeed(uint32_t frames) : data_(size_t(frames) * kStereo, 0.0f), capacity_(frames) {}

void TapFeed::write(const float* stereo, uint32_t frames) {
  const uint64_t written = written_.load(std::memory_order_relaxed);
  const uint64_t read = read_.load(std::memory_order_acquire);
  const uint64_t count = std::min<uint64_t>(frames, capacity_ - (written - read));
  for (uint64_t f = 0; f < count; ++f) {
    std::memcpy(&data_[((written + f) % capacity_) * kStereo], stereo + f * kStereo,
                kStereo * sizeof(float));
  }
  lastBlock_.store(frames, std::memory_order_relaxed);
  written_.store(written + count, std::memory_order_release);
}

void TapFeed::read(float* stereo, uint32_t frames) {
  const uint64_t written = written_.load(std::memory_order_acquire);
  uint64_t read = read_.load(std::memory_order_relaxed);
  const uint64_t wanted =
      std::min<uint64_t>(uint64_t(lastBlock_.load(std::memory_order_relaxed)) + frames, capacity_);
  if (!primed_ && written - read >= wanted) primed_ = true;
  if (primed_ && written - read > 2 * wanted) read = written - wanted;
  const uint64_t count = primed_ ? std::min<uint64_t>(frames, written - read) : 0;
  for (uint64_t f = 0; f < count; ++f) {
    std::memcpy(stereo + f * kStereo, &data_[((read + f) % capacity_) * kStereo],
                kStereo * sizeof(float));
  }
  std::fill(stereo + count * kStereo, stereo + size_t(frames) * kStereo, 0.0f);
  if (count < frames) primed_ = false; // ran dry: wait for a fresh margin
  read_.store(read + count, std::memory_order_release);
}

} // namespace platform::audio
