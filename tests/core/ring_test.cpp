#include "core/stereo_ring.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace velto {
namespace {

// Frame f of a test stream: left f + 1, right -(f + 1): every frame and side distinct.
std::vector<float> frames(uint32_t first, uint32_t count) {
  std::vector<float> out(size_t{count} * 2);
  for (uint32_t i = 0; i < count; ++i) {
    out[2 * i] = static_cast<float>(first + i + 1);
    out[2 * i + 1] = -static_cast<float>(first + i + 1);
  }
  return out;
}

std::vector<float> readAll(StereoRing& ring, uint32_t want) {
  std::vector<float> out(size_t{want} * 2, 0.0f);
  out.resize(size_t{ring.read(out.data(), want)} * 2);
  return out;
}

TEST(Ring, CapacityThatIsNoPowerOfTwoIsRoundedUp) {
  EXPECT_EQ(StereoRing(kAnalysisRingFrames).mask, 0x1fffu);
  StereoRing ring(1000);
  EXPECT_EQ(ring.capacity(), 1024u);
  const auto in = frames(0, 1024);
  EXPECT_EQ(ring.write(in.data(), 1024), 1024u);
  EXPECT_EQ(readAll(ring, 1024), in);
}

TEST(Ring, IndicesSitOnCacheLinesOfTheirOwn) {
  auto ring = std::make_unique<StereoRing>(kRingFrames);
  const auto line = [](const void* p) { return reinterpret_cast<uintptr_t>(p) / 64; };
  EXPECT_EQ(reinterpret_cast<uintptr_t>(ring.get()) % 64, 0u);
  EXPECT_NE(line(&ring->writeIndex), line(&ring->readIndex));
  EXPECT_NE(line(&ring->writeIndex), line(&ring->mask));
  EXPECT_NE(line(&ring->readIndex), line(&ring->mask));
  EXPECT_NE(line(&ring->writeIndex), line(&ring->data));
  EXPECT_NE(line(&ring->readIndex), line(&ring->data));
  // Nothing after readIndex shares its line either: the object ends on a line boundary.
  EXPECT_EQ(sizeof(StereoRing) % 64, 0u);
}

TEST(Ring, WriteAndReadWrapAroundTheEndOfStorage) {
  StereoRing ring(16);
  const auto a = frames(0, 10);
  ASSERT_EQ(ring.write(a.data(), 10), 10u);
  EXPECT_EQ(readAll(ring, 10), a);
  // Positions 10..15, then 0..5 of the storage.
  const auto b = frames(10, 12);
  ASSERT_EQ(ring.write(b.data(), 12), 12u);
  EXPECT_EQ(ring.data[2 * 15], 16.0f);
  EXPECT_EQ(ring.data[0], 17.0f);
  EXPECT_EQ(readAll(ring, 12), b);
  EXPECT_EQ(ring.writeIndex.load(), 22u);
  EXPECT_EQ(ring.readIndex.load(), 22u);
}

TEST(Ring, ReadDeliversWhatIsThereAndLeavesTheStorage) {
  StereoRing ring(64);
  const auto in = frames(0, 50);
  ring.write(in.data(), 50);
  EXPECT_EQ(readAll(ring, 200), in);
  EXPECT_EQ(readAll(ring, 10).size(), 0u);
  // Reading does not clear the frames.
  EXPECT_EQ(ring.data[0], 1.0f);
  EXPECT_EQ(ring.data[2 * 49 + 1], -50.0f);
}

TEST(Ring, FullRingKeepsTheOldestAndDropsTheNewestFrames) {
  StereoRing ring(kRingFrames);
  const auto old = frames(0, kRingFrames - 100);
  ASSERT_EQ(ring.write(old.data(), kRingFrames - 100), kRingFrames - 100);
  const auto block = frames(100000, 300);
  EXPECT_EQ(ring.write(block.data(), 300), 100u);
  EXPECT_EQ(ring.fill(), kRingFrames);
  EXPECT_EQ(ring.write(block.data(), 300), 0u);

  const auto got = readAll(ring, kRingFrames);
  ASSERT_EQ(got.size(), size_t{kRingFrames} * 2);
  EXPECT_TRUE(std::equal(old.begin(), old.end(), got.begin()));
  EXPECT_TRUE(std::equal(block.begin(), block.begin() + 200, got.begin() + old.size()));
}

TEST(Ring, BacklogSkipLeavesRequestPlusOneBuffer) {
  struct Case {
    uint32_t backlog, n, b, dropped;
  };
  const Case cases[] = {
      {3000, 128, 128, 2744}, // 3000 > 128 + 8 x 128
      {1152, 128, 128, 0},    // exactly the limit: kept
      {1153, 128, 128, 897},  // one more: back to 256
      {4000, 512, 64, 3424},  // 4000 > 1024
      {100, 128, 128, 0},     // less than asked for
  };
  for (const auto& c : cases) {
    StereoRing ring(kRingFrames);
    const auto in = frames(0, c.backlog);
    ring.write(in.data(), c.backlog);
    EXPECT_EQ(ring.skipBacklog(c.n, c.b), c.dropped) << "backlog " << c.backlog;
    EXPECT_EQ(ring.fill(), c.backlog - c.dropped);
    // The oldest frames went: the next read starts right after the dropped ones.
    const auto got = readAll(ring, c.n);
    const auto want = frames(c.dropped, std::min(c.n, c.backlog - c.dropped));
    EXPECT_EQ(got, want) << "backlog " << c.backlog;
  }
}

TEST(Ring, BacklogSkipWithHugeRequestDoesNotWrap) {
  StereoRing ring(kRingFrames);
  const auto in = frames(0, 2000);
  ring.write(in.data(), 2000);
  EXPECT_EQ(ring.skipBacklog(0xffffff00u, 0x40000000u), 0u);
  EXPECT_EQ(ring.fill(), 2000u);
}

TEST(Ring, DrainForgetsStaleAudio) {
  StereoRing ring(kRingFrames);
  const auto stale = frames(0, 500);
  ring.write(stale.data(), 500);
  ring.drain();
  EXPECT_EQ(ring.fill(), 0u);
  EXPECT_EQ(readAll(ring, 128).size(), 0u);
  const auto fresh = frames(500, 128);
  ring.write(fresh.data(), 128);
  EXPECT_EQ(readAll(ring, 500), fresh);
}

TEST(Ring, FreeRunningIndicesCrossThirtyTwoBits) {
  StereoRing ring(256);
  const uint64_t start = 0xffffff80ull; // 128 frames below 2^32
  ring.writeIndex.store(start);
  ring.readIndex.store(start);
  const auto in = frames(0, 200);
  EXPECT_EQ(ring.write(in.data(), 200), 200u);
  EXPECT_EQ(ring.writeIndex.load(), start + 200);
  EXPECT_EQ(ring.fill(), 200u);
  const auto more = frames(200, 100);
  EXPECT_EQ(ring.write(more.data(), 100), 56u); // 256 - 200 free
  EXPECT_EQ(readAll(ring, 200), in);
  EXPECT_EQ(readAll(ring, 100), frames(200, 56));
}

} // namespace
} // namespace velto
