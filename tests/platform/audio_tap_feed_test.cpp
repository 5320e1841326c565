// The hand-over from a sound server's capture of a tap to the aggregate device around it: the
// reader waits for a margin, reads the frames in order, keeps the delay short after a stall and
// fills what is missing with silence.
#include "platform/audio/simulated/sim_objects.h"

#include <gtest/gtest.h>

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

} // namespace
} // namespace platform::audio
