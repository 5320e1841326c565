#include "core/levels.h"
#include "engine/strip.h"
#include "strip_signals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

namespace velto {
namespace {

// The producing callback runs while the control side moves the fader (also to values that are
// not numbers), mutes, re-routes and reads the meters, and a consumer drains the ring. Nothing
// that reaches the ring or the meter may exceed the loudest legal gain or be non-finite.
TEST(StripThreads, ControlChangesDuringAudioNeverCorruptTheOutput) {
  Strip strip;
  strip.init("Input 1");
  strip.routeMask = 1;
  const auto left = test::sine(128, 1000.0, 0.5f);
  const auto right = test::constant(128, -0.5f);
  const float bound = 0.5f * dbToGain(kMaxDb) + 1e-6f;
  std::atomic<bool> running{true};
  std::atomic<int> badSamples{0};
  std::atomic<uint64_t> samplesSeen{0};

  std::thread audio([&] {
    for (int block = 0; block < 100000; ++block) {
      strip.produce({left.data(), 1}, {right.data(), 1}, 128);
      if (block % 64 == 0) std::this_thread::yield();
    }
    running = false;
  });
  std::thread consumer([&] {
    std::vector<float> buffer(2 * 512);
    for (;;) {
      const bool last = !running.load();
      uint32_t got;
      while ((got = strip.rings[0]->read(buffer.data(), 512)) > 0) {
        for (uint32_t i = 0; i < 2 * got; ++i) {
          if (!std::isfinite(buffer[i]) || std::fabs(buffer[i]) > bound) ++badSamples;
        }
        samplesSeen += 2 * got;
      }
      if (last) break;
      std::this_thread::yield();
    }
  });

  const float levels[] = {0.0f, -6.0f, 12.0f, -60.0f, std::numeric_limits<float>::quiet_NaN(),
                          3.0f, -20.0f};
  int step = 0;
  float peakSeen = 0.0f;
  while (running.load()) {
    const float db = levels[step % 7];
    strip.gain = std::isnan(db) ? db : dbToGain(db);
    if (step % 5 == 0) strip.mute = !strip.mute.load();
    if (step % 11 == 0) strip.routeMask.fetch_xor(2);
    peakSeen = std::max({peakSeen, strip.meter.takeLeft(), strip.meter.takeRight()});
    ++step;
    std::this_thread::yield();
  }
  audio.join();
  consumer.join();

  EXPECT_EQ(badSamples.load(), 0);
  EXPECT_GT(samplesSeen.load(), 0u);
  EXPECT_LE(peakSeen, bound);
  EXPECT_TRUE(std::isfinite(strip.lastGain));
}

} // namespace
} // namespace velto
