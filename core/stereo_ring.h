// Single-producer single-consumer ring of interleaved stereo frames between two real-time
// callbacks. Created and owned on the control side (heap, through a unique pointer); afterwards
// exactly one producer thread writes and one consumer thread reads, without locks or waits.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

namespace velto {

// Capacity of every strip ring and echo-reference ring, and of an input's analysis ring.
inline constexpr uint32_t kRingFrames = 16384;
inline constexpr uint32_t kAnalysisRingFrames = 8192;

struct alignas(64) StereoRing {
  // main thread: zero-filled storage. A capacity that is not a power of two is rounded up so
  // that the index mask stays valid.
  explicit StereoRing(uint32_t capacityFrames) {
    uint32_t capacity = 1;
    while (capacity < capacityFrames && capacity < (1u << 31)) capacity <<= 1;
    data.assign(static_cast<size_t>(capacity) * 2, 0.0f);
    mask = capacity - 1;
  }
  StereoRing(const StereoRing&) = delete;
  StereoRing& operator=(const StereoRing&) = delete;

  uint32_t capacity() const { return mask + 1; }

  // Frames waiting to be read. Either side.
  uint32_t fill() const {
    return static_cast<uint32_t>(writeIndex.load(std::memory_order_acquire) -
                                 readIndex.load(std::memory_order_acquire));
  }

  // audio thread (producer): appends up to `frames` frames of `src`; what does not fit (the
  // newest frames) is dropped, nothing is overwritten. Returns the frames stored.
  uint32_t write(const float* src, uint32_t frames) {
    const uint64_t w = writeIndex.load(std::memory_order_relaxed);
    const uint64_t r = readIndex.load(std::memory_order_acquire);
    const uint32_t space = mask + static_cast<uint32_t>(r - w) + 1;
    const uint32_t count = std::min(frames, space);
    if (count == 0) return 0;
    const uint32_t pos = static_cast<uint32_t>(w) & mask;
    const uint32_t first = std::min(mask + 1 - pos, count);
    std::memcpy(data.data() + size_t{pos} * 2, src, size_t{first} * 2 * sizeof(float));
    if (count > first) {
      std::memcpy(data.data(), src + size_t{first} * 2, size_t{count - first} * 2 * sizeof(float));
    }
    writeIndex.store(w + count, std::memory_order_release);
    return count;
  }

  // audio thread (consumer): takes up to `frames` frames into `dst`. Returns the frames read;
  // the ring's copy is left as it is.
  uint32_t read(float* dst, uint32_t frames) {
    const uint64_t r = readIndex.load(std::memory_order_relaxed);
    const uint64_t w = writeIndex.load(std::memory_order_acquire);
    const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(frames, w - r));
    if (count == 0) return 0;
    const uint32_t pos = static_cast<uint32_t>(r) & mask;
    const uint32_t first = std::min(mask + 1 - pos, count);
    std::memcpy(dst, data.data() + size_t{pos} * 2, size_t{first} * 2 * sizeof(float));
    if (count > first) {
      std::memcpy(dst + size_t{first} * 2, data.data(), size_t{count - first} * 2 * sizeof(float));
    }
    readIndex.store(r + count, std::memory_order_release);
    return count;
  }

  // audio thread (consumer), before reading `frames`: when more than frames + 8 x slack frames
  // wait, the oldest are dropped so that exactly frames + slack remain. This bounds the latency
  // between two callbacks of different devices. Returns the frames dropped.
  uint32_t skipBacklog(uint32_t frames, uint32_t slack) {
    const uint64_t r = readIndex.load(std::memory_order_relaxed);
    const uint64_t w = writeIndex.load(std::memory_order_acquire);
    const uint64_t backlog = static_cast<uint32_t>(w - r);
    // 64-bit sums: a huge request must not wrap into a tiny threshold.
    if (backlog <= uint64_t{frames} + 8 * uint64_t{slack}) return 0;
    const uint64_t keep = uint64_t{frames} + slack;
    const uint64_t drop = std::min(backlog - keep, w - r);
    readIndex.store(r + drop, std::memory_order_release);
    return static_cast<uint32_t>(drop);
  }

  // audio thread (consumer) of a ring whose route is off: forgets everything written so far,
  // so stale audio never plays when the route comes back.
  void drain() {
    readIndex.store(writeIndex.load(std::memory_order_acquire), std::memory_order_release);
  }

  std::vector<float> data;
  uint32_t mask = 0;
  // Free-running frame counts, each written by one side only, each on a cache line of its own.
  alignas(64) std::atomic<uint64_t> writeIndex{0};
  alignas(64) std::atomic<uint64_t> readIndex{0};
};

} // namespace velto
