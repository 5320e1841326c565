// Peak levels (linear, >= 0) of one strip or bus since the last read. Owned by that strip or bus;
// its audio thread only raises the values, the main thread takes them, so each peak is reported
// once. Lock-free; header-only.
#pragma once

#include <atomic>

namespace velto {

struct PeakMeter {
  // audio thread: raises the stored peaks to the block's maxima; never lowers them.
  void raise(float leftPeak, float rightPeak) {
    raiseTo(left, leftPeak);
    raiseTo(right, rightPeak);
  }

  // main thread: takes the peak and resets it to 0.
  float takeLeft() { return left.exchange(0.0f); }
  float takeRight() { return right.exchange(0.0f); }

  // Compare-and-swap maximum: stores only while the value is greater than the stored one, so a
  // reader's reset in between is simply followed by the new maximum. A NaN is never greater.
  static void raiseTo(std::atomic<float>& peak, float value) {
    float stored = peak.load(std::memory_order_relaxed);
    while (value > stored && !peak.compare_exchange_weak(stored, value)) {
    }
  }

  std::atomic<float> left{0.0f};
  std::atomic<float> right{0.0f};
};

} // namespace velto
