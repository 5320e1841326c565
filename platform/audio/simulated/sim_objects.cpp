#include "platform/audio/simulated/sim_objects.h"

#include <algorithm>

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

TapFeed::TapFeed(uint32_t frames) : ring_(frames, kStereo) {}

void TapFeed::write(const float* stereo, uint32_t frames) {
  ring_.write(stereo, frames);
  lastBlock_.store(frames, std::memory_order_relaxed);
}

void TapFeed::read(float* stereo, uint32_t frames) {
  const uint64_t wanted = std::min<uint64_t>(
      uint64_t(lastBlock_.load(std::memory_order_relaxed)) + frames, ring_.capacity());
  const uint64_t waiting = ring_.available();
  if (!primed_ && waiting >= wanted) primed_ = true;
  if (primed_ && waiting > 2 * wanted) ring_.skip(waiting - wanted);
  const uint32_t count = primed_ ? ring_.read(stereo, frames) : 0;
  std::fill(stereo + size_t(count) * kStereo, stereo + size_t(frames) * kStereo, 0.0f);
  if (count < frames) primed_ = false; // ran dry: wait for a fresh margin
}

} // namespace platform::audio
