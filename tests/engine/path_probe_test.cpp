// The judgement of a recorded path: the distance between a counter as it entered and as it left,
// with the recorder's own lost blocks told apart from what the path lost or inserted.
#include "tests/support/path_probe.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace velto {
namespace {

constexpr int64_t kBlock = 128;

struct PathCase {
  const char* what;
  int64_t latency;      // frames from the path's input to its output
  int64_t recorderLost; // the recording misses this many frames at the half (0: none)
  int64_t pathShift;    // from the half on, the path plays this much later (-: earlier)
  int breaks;
  int64_t last;
};

// Two counted channels as one recorder takes them: what enters the path, what leaves it.
std::vector<float> recording(const PathCase& c) {
  const std::vector<float> tone = test::countedTone(997.0, 0.25, 2000);
  const int64_t frames = int64_t(tone.size() / 2);
  const int64_t half = frames / 2;
  std::vector<float> recorded;
  for (int64_t f = 0; f < frames; ++f) {
    if (f >= half && f < half + c.recorderLost) continue; // the recorder missed them
    const int64_t from = f - c.latency - (f >= half ? c.pathShift : 0);
    recorded.push_back(tone[size_t(2 * f + 1)]);
    recorded.push_back(from >= 0 && from < frames ? tone[size_t(2 * from + 1)] : 0.0f);
  }
  return recorded;
}

TEST(PathProbe, BreaksAreThePathsOwnNotTheRecordersLostBlocks) {
  const PathCase cases[] = {
      {"steady at two blocks", 2 * kBlock, 0, 0, 0, 2 * kBlock},
      {"recorder lost a block, path at two blocks", 2 * kBlock, kBlock, 0, 0, 2 * kBlock},
      {"recorder lost two blocks, path at three", 3 * kBlock, 2 * kBlock, 0, 0, 3 * kBlock},
      {"recorder lost a block, path at none", 0, kBlock, 0, 0, 0},
      {"path dropped a block", 2 * kBlock, 0, -kBlock, 1, kBlock},
      {"path inserted a block", 2 * kBlock, 0, kBlock, 1, 3 * kBlock},
      {"path dropped a block as the recorder lost one", 2 * kBlock, kBlock, -kBlock, 1, kBlock},
  };
  for (const PathCase& c : cases) {
    const test::PathJudgement judged = test::judgePath(recording(c), 2, 0, 1);
    EXPECT_EQ(judged.breaks, c.breaks) << c.what;
    EXPECT_EQ(judged.last, c.last) << c.what;
    EXPECT_GT(judged.frames, size_t(90000)) << c.what;
  }
}

} // namespace
} // namespace velto
