// The echo canceller's far-end ring between a bus callback thread (writer) and the input's
// callback thread (the stage, reader): the reader's backlog cut never races the writer.
#include "effects/input_fx.h"
#include "core/stereo_ring.h"

#include "tests/effects/aec_room.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

namespace velto {
namespace {

TEST(AecFarEndThreads, BusWritesWhileTheInputCancelsAndCutsBacklog) {
  auto bank = std::make_unique<InputFx>();
  for (auto& flag : bank->enabled) flag.store(false);
  bank->enabled[FxId::aec].store(true);
  auto ring = std::make_unique<StereoRing>(kRingFrames);
  bank->farEnd[0] = ring.get();

  constexpr uint32_t kChunk = 64;
  constexpr int kWrites = 6000;
  std::atomic<bool> done{false};
  std::atomic<uint64_t> written{0};
  std::thread bus([&] {
    const auto far = test::aec::whiteFarEnd(2 * kChunk, 0.2f, 41);
    for (int i = 0; i < kWrites; ++i) {
      written.fetch_add(ring->write(far.data(), kChunk), std::memory_order_relaxed);
      // Bursts of a few blocks, then a breath: the reader sees both backlog and empty rings.
      if (i % 8 == 7) std::this_thread::yield();
    }
    done.store(true, std::memory_order_release);
  });

  const auto near = test::aec::whiteFarEnd(2 * kChunk, 0.1f, 42);
  std::vector<float> buffer(2 * kChunk);
  bool finite = true;
  uint64_t calls = 0;
  auto cycle = [&] {
    buffer = near;
    bank->processPre(buffer.data(), kChunk);
    for (const float s : buffer) finite = finite && std::isfinite(s);
    ++calls;
  };
  while (!done.load(std::memory_order_acquire)) cycle();
  bus.join();
  // Nothing is written any more: within a few calls the backlog is cut back and read away.
  for (int i = 0; i < 200 && ring->fill() > 0; ++i) cycle();

  EXPECT_TRUE(finite);
  EXPECT_GT(written.load(), 0u);
  EXPECT_EQ(ring->fill(), 0u);
  EXPECT_GT(calls, 0u);
  EXPECT_TRUE(std::isfinite(bank->aecSuppressionDb.load()));
}

} // namespace
} // namespace velto
