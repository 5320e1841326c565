// The hand-over from a sound server's capture of a tap to the aggregate device around it: the
// reader waits for a margin, reads the frames in order, keeps the delay short after a stall and
// fills what is missing with silence.
#include "platform/audio/simulated/sim_objects.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace platform::audio {
namespace {

constexpr uint32_t kCapacity = 16384;

TEST(AudioTapFeed, ReadsInOrderAfterAMarginAndKeepsTheDelayShort) {
  struct Case {
    const char* what;
    uint32_t block;  // frames per write
    uint32_t writes; // before reading
    uint32_t read;   // frames per read
    uint32_t reads;  // the last one is checked
    int first;       // its first frame's number; -1: silence
    uint32_t sound;  // its frames that are not silence
  };
  const Case cases[] = {
      {"a block alone is not enough", 1024, 1, 128, 1, -1, 0},
      {"a block and a read start at the beginning", 1024, 2, 128, 1, 0, 128},
      {"reads follow on without a gap", 1024, 2, 128, 3, 256, 128},
      {"a backlog is cut to a block and a read", 1024, 8, 128, 1, 8 * 1024 - 1152, 128},
      {"a read past the end ends in silence", 1024, 2, 1000, 3, 2000, 48},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TapFeed feed(kCapacity);
    // Frame n holds n + 1 on the left and -(n + 1) on the right.
    uint32_t written = 0;
    std::vector<float> block(size_t(c.block) * 2);
    for (uint32_t w = 0; w < c.writes; ++w) {
      for (uint32_t f = 0; f < c.block; ++f) {
        block[f * 2] = float(written + f + 1);
        block[f * 2 + 1] = -float(written + f + 1);
      }
      feed.write(block.data(), c.block);
      written += c.block;
    }
    std::vector<float> out(size_t(c.read) * 2, 99.0f);
    for (uint32_t r = 0; r < c.reads; ++r) feed.read(out.data(), c.read);
    uint32_t sound = 0;
    for (uint32_t f = 0; f < c.read; ++f) {
      if (out[f * 2] == 0.0f && out[f * 2 + 1] == 0.0f) continue;
      ++sound;
      ASSERT_EQ(out[f * 2], float(c.first + int(f) + 1)) << "frame " << f;
      ASSERT_EQ(out[f * 2 + 1], -out[f * 2]) << "frame " << f;
    }
    EXPECT_EQ(sound, c.sound);
    // Silence only after the sound: a short read does not leave a gap in the middle.
    for (uint32_t f = sound; f < c.read; ++f) ASSERT_EQ(out[f * 2], 0.0f) << "frame " << f;
  }
}

// A writer whose clock runs fast or slow against the reader's, with now and then a block a read
// late: after the margin is set, the sound never breaks; the delay stays where the margin set
// it, moved by single dropped or repeated frames; with the clocks alike nothing is moved.
TEST(AudioTapFeed, FollowsClockDriftBySingleFrames) {
  struct Case {
    const char* what;
    uint32_t block, read; // frames per write, per read
    double ppm;           // the writer's rate against the reader's
    uint32_t lateEvery;   // every so many writes, one comes a read late; 0: never
  };
  const Case cases[] = {
      {"the same clock, blocks late now and then", 1024, 128, 0.0, 7},
      {"the same clock, equal blocks", 128, 128, 0.0, 0},
      {"a fast writer", 1024, 128, 1000.0, 0},
      {"a slow writer", 1024, 128, -1000.0, 0},
      {"a slow writer with late blocks", 256, 128, -700.0, 5},
      {"a fast writer of small blocks", 128, 256, 700.0, 0},
  };
  constexpr double kSeconds = 40.0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TapFeed feed(kCapacity);
    std::vector<float> block(size_t(c.block) * 2), out(size_t(c.read) * 2);
    const double writePeriod = c.block / (48000.0 * (1.0 + c.ppm * 1e-6));
    const double readPeriod = c.read / 48000.0;
    double nextWrite = 0.0, nextRead = readPeriod * 0.5;
    uint32_t written = 0, writes = 0;
    int64_t previous = -1; // the counter of the last frame heard
    uint64_t heard = 0, silentAfter = 0, slips = 0, jumps = 0;
    int64_t firstDelay = -1, delay = 0;
    while (nextRead < kSeconds) {
      const double late = c.lateEvery != 0 && writes % c.lateEvery == 0 ? readPeriod : 0.0;
      if (nextWrite + late <= nextRead) {
        for (uint32_t f = 0; f < c.block; ++f)
          block[f * 2] = block[f * 2 + 1] = float(written + f + 1);
        feed.write(block.data(), c.block);
        written += c.block;
        ++writes;
        nextWrite += writePeriod;
        continue;
      }
      feed.read(out.data(), c.read);
      nextRead += readPeriod;
      for (uint32_t f = 0; f < c.read; ++f) {
        const auto n = int64_t(out[f * 2]) - 1;
        if (n < 0) {
          silentAfter += previous >= 0 ? 1 : 0;
          continue;
        }
        ++heard;
        if (previous >= 0 && n != previous + 1)
          ++(n == previous || n == previous + 2 ? slips : jumps);
        previous = n;
      }
      delay = int64_t(written) - previous;
      if (firstDelay < 0 && heard > 48000) firstDelay = delay;
    }
    ASSERT_GT(heard, uint64_t(30 * 48000));
    EXPECT_EQ(silentAfter, 0u);
    EXPECT_EQ(jumps, 0u);
    EXPECT_LE(std::abs(delay - firstDelay), int64_t(c.block + c.read) + 64)
        << firstDelay << " -> " << delay;
    const double drifted = std::abs(c.ppm) * 1e-6 * 48000.0 * kSeconds;
    if (c.ppm == 0.0) {
      EXPECT_EQ(slips, 0u);
    } else {
      // The drift itself, a frame at a time, not many times over.
      EXPECT_GE(double(slips), drifted * 0.7);
      EXPECT_LE(double(slips), drifted * 1.3);
    }
  }
}

} // namespace
} // namespace platform::audio
