// Test helper: judges a sound path by where every frame it plays came from. The signal is a tone
// on the left and a frame counter on the right; one recording holds the counter as it entered
// the path and as it left it, so a break of the player or of the recorder hits both alike, and
// only what the path itself lost or inserted changes the distance between the two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velto::test {

// The counter's period: values 1..kCounterPeriod in 16-bit steps (0 stays silence).
constexpr uint32_t kCounterPeriod = 32767;

// Interleaved stereo at 48000 Hz, `millis` long: a sine of `hz` at `amplitude` on the left, the
// counter on the right.
std::vector<float> countedTone(double hz, double amplitude, int millis);

struct PathJudgement {
  size_t frames = 0;     // output frames traced back to their input frame
  int breaks = 0;        // times the in-to-out distance changed
  int64_t latency = -1;  // the distance most frames had, in frames; -1 when none was traced
  int64_t shortest = -1; // the distance's range over the traced frames
  int64_t longest = -1;
  int64_t last = -1; // the distance at the end: a late cycle must not leave the path longer
};

// `recorded`: `channels` interleaved; the counter entering the path in channel `in`, leaving it
// in `out`. Where both counters leap alike in one frame the recorder lost those frames: they count
// as time that passed, so a path with a latency is not judged by the recorder's own breaks.
PathJudgement judgePath(const std::vector<float>& recorded, uint32_t channels, uint32_t in,
                        uint32_t out);

} // namespace velto::test
