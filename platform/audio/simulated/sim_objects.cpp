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
  uint64_t waiting = ring_.available();
  if (!primed_ && waiting >= wanted) {
    primed_ = true;
    setMargin();
  }
  if (primed_ && waiting > 2 * wanted) {
    ring_.skip(waiting - wanted);
    waiting = wanted;
    setMargin(); // a stall, not drift: the margin is set anew
  }
  uint32_t count = 0;
  if (primed_) {
    watchDrift(waiting, frames);
    const bool slipping = slip_ != 0;
    if (slip_ > 0 && waiting > frames) {
      ring_.skip(1);
      --slip_;
    }
    if (slip_ < 0 && frames > 1) {
      stereo[0] = last_[0];
      stereo[1] = last_[1];
      count = 1 + ring_.read(stereo + kStereo, frames - 1);
      ++slip_;
    } else {
      count = ring_.read(stereo, frames);
    }
    if (slipping && slip_ == 0) {
      // Judged again from two whole windows after the move, never from one before it.
      startWindow(1);
    }
  }
  if (count > 0) {
    last_[0] = stereo[size_t(count - 1) * kStereo];
    last_[1] = stereo[size_t(count - 1) * kStereo + 1];
  }
  std::fill(stereo + size_t(count) * kStereo, stereo + size_t(frames) * kStereo, 0.0f);
  if (count < frames) primed_ = false; // ran dry: wait for a fresh margin
}

void TapFeed::watchDrift(uint64_t waiting, uint32_t frames) {
  lowest_ = std::min(lowest_, waiting);
  windowRead_ += frames;
  if (windowRead_ < kDriftWindow) return;
  // The first window after priming is the reference; a single late or early block moves one
  // window's least backlog, drift moves every one.
  if (!referenced_) {
    reference_ = lowest_;
    referenced_ = true;
  } else if (windows_ >= 2 && slip_ == 0) {
    const uint64_t low = std::min(lowest_, previousLowest_);
    const uint64_t high = std::max(lowest_, previousLowest_);
    if (low > reference_ + kDriftSlack) slip_ = int64_t(low - reference_);
    if (high + kDriftSlack < reference_) slip_ = -int64_t(reference_ - high);
  }
  previousLowest_ = lowest_;
  startWindow(windows_ + 1);
}

void TapFeed::setMargin() {
  referenced_ = false;
  slip_ = 0;
  startWindow(0);
}

void TapFeed::startWindow(int windows) {
  windows_ = windows;
  windowRead_ = 0;
  lowest_ = UINT64_MAX;
}

} // namespace platform::audio
