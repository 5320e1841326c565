// The level of a recorded steady sine, for suites that play a tone through a real sound server
// and record it back. Any thread.
#pragma once

#include <cstddef>
#include <vector>

namespace velto::test {

struct ToneLevel {
  double db = -200.0; // RMS in dBFS of the clean frames
  size_t clean = 0;   // frames measured
  int breaks = 0;     // places where the tone is cut off, jumps or pauses
};

// The level of one channel of interleaved stereo holding a sine of `hz` at `rate`, between the
// first and the last sound with 20 ms left off each end (the tone's start and end are not
// steady). Frames where the sine breaks (a lost or silent block) and the block around them are
// left out and counted, so they are reported rather than measured.
ToneLevel steadyToneLevel(const std::vector<float>& stereo, int channel, double hz, int rate);

// The median RMS level in dBFS of the left channel's whole blocks of `block` frames, so that
// dropouts and the silence before a recorder was linked do not move it; -200 for silence or no
// block. With `minSounding` above 0, blocks that hold a gap (two zero samples in a row) are left
// out, and fewer than that many remaining blocks count as silence.
double medianBlockLevel(const std::vector<float>& stereo, size_t block, size_t minSounding = 0);

// Interleaved stereo of a sine of `amplitude` and `hz` at `rate`, both channels alike.
std::vector<float> stereoTone(double hz, double amplitude, int rate, int millis);

} // namespace velto::test
