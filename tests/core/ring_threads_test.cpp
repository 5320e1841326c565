#include "core/stereo_ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace velto {
namespace {

// Exactly representable in float for every frame of the stream.
constexpr uint32_t kValueRange = 1u << 22;
float leftOf(uint64_t frame) {
  return static_cast<float>(frame % kValueRange);
}
float rightOf(uint64_t frame) {
  return -1.0f - static_cast<float>(frame % kValueRange);
}

// A producer and a consumer callback on two threads, with block sizes that never line up with
// each other or with the ring, so the wrap lands everywhere. The producer retries what did not
// fit, so no frame is dropped and every frame must arrive whole and in order.
TEST(RingThreads, LongStreamArrivesInOrderWithoutTearing) {
  constexpr uint64_t kTotal = 3'000'000;
  auto ring = std::make_unique<StereoRing>(kRingFrames);
  std::atomic<bool> failed{false};

  std::thread producer([&] {
    std::vector<float> block(2 * 1021);
    uint64_t next = 0;
    uint32_t size = 1;
    while (next < kTotal && !failed.load(std::memory_order_relaxed)) {
      const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(size, kTotal - next));
      for (uint32_t i = 0; i < n; ++i) {
        block[2 * i] = leftOf(next + i);
        block[2 * i + 1] = rightOf(next + i);
      }
      const uint32_t stored = ring->write(block.data(), n);
      next += stored;
      if (stored < n) std::this_thread::yield();
      size = size * 7 % 1021 + 1;
    }
  });

  uint64_t received = 0;
  uint64_t firstBad = UINT64_MAX;
  std::vector<float> block(2 * 997);
  uint32_t size = 3;
  while (received < kTotal && !failed.load()) {
    const uint32_t got = ring->read(block.data(), size);
    for (uint32_t i = 0; i < got; ++i) {
      if (block[2 * i] != leftOf(received + i) || block[2 * i + 1] != rightOf(received + i)) {
        firstBad = received + i;
        failed.store(true);
        break;
      }
    }
    received += got;
    if (got == 0) std::this_thread::yield();
    size = size * 5 % 997 + 1;
  }
  producer.join();
  EXPECT_FALSE(failed.load()) << "first wrong frame " << firstBad;
  EXPECT_EQ(received, kTotal);
  EXPECT_EQ(ring->writeIndex.load(), kTotal);
  EXPECT_EQ(ring->fill(), 0u);
}

} // namespace
} // namespace velto
