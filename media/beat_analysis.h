// Beat and tempo analysis of a track: an onset curve from the file, the tempo by autocorrelation
// (settled between a tempo and its double by whether drums, not only hi-hats, fall on every
// pulse), the beat phase near the start and the end. Runs on the player's analyzer thread on its
// own reader; no state.
#pragma once

#include <cstddef>
#include <string>

namespace velto {

// Frames per second of the onset curve: a hop of 512 samples at 48000 Hz.
constexpr double kOnsetFrameRate = 93.75;

struct BeatInfo {
  bool valid = false;      // a steady beat was found (confidence above 0.1)
  double bpm = 0.0;        // 0 when no tempo was found
  double firstBeat = 0.0;  // seconds from the file start, a beat in the opening window
  double lastBeat = 0.0;   // seconds, a beat in the closing window
  double confidence = 0.0; // 0 to 1
};

// Analyses the stretch from `startSeconds` to `endSeconds` (0 or less: the file's end).
BeatInfo analyzeBeats(const std::string& path, double startSeconds, double endSeconds);

// Tempo in BPM of an onset curve of `count` values at `frameRate` per second; 0 when the curve
// is shorter than 4 s or holds no periodicity. Writes `confidence` (when given) if a tempo is
// found.
double estimateBpm(const float* curve, size_t count, double frameRate, double* confidence);

// Time in seconds of the first beat within the curve, for the given tempo.
double estimatePhase(const float* curve, size_t count, double frameRate, double bpm);

} // namespace velto
