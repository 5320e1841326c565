// Levels and the fixed audio format shared by the engine, the effects and the media sources:
// dB <-> linear gain, the fade-speed mapping, the sample rate and the chunk sizes.
// Header-only and free of state: any thread may call.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace velto {

// Interleaved stereo 32-bit float at one fixed rate everywhere inside the system.
inline constexpr uint32_t kSampleRate = 48000;
inline constexpr uint32_t kChannels = 2;
// Real-time work runs in chunks of at most this many frames...
inline constexpr uint32_t kChunkFrames = 4096;
// ...so every work buffer holds one chunk of stereo frames.
inline constexpr uint32_t kWorkFloats = kChunkFrames * kChannels;
// Effects work inside a chunk in blocks of at most this many frames.
inline constexpr uint32_t kBlockFrames = 64;
inline constexpr uint32_t kSamplesPerMs = kSampleRate / 1000;

// Every interface shows and sets levels over this range; the bottom means silence.
inline constexpr float kMinDb = -60.0f;
inline constexpr float kMaxDb = 12.0f;
// A gain at or below this reads as kMinDb.
inline constexpr float kSilentGain = 0.001f;

// Fade speeds: kMinFadeSpeed (and below) is the slowest, 1 is immediate.
inline constexpr float kMinFadeSpeed = 0.01f;
inline constexpr double kSlowestFadeSeconds = 10.0;

inline float dbToGain(float db) {
  if (db <= kMinDb) return 0.0f;
  return std::pow(10.0f, db / 20.0f);
}

inline float gainToDb(float gain) {
  if (gain <= kSilentGain) return kMinDb;
  return 20.0f * std::log10(gain);
}

// The divisor takes the slowest speed in single precision, so that speed 0.01f maps to exactly
// 10 s and speed 1 to exactly 0 s.
inline double fadeSeconds(float speed) {
  if (speed < kMinFadeSpeed) return kSlowestFadeSeconds;
  const double span = 1.0 - static_cast<double>(kMinFadeSpeed);
  return kSlowestFadeSeconds * (1.0 - static_cast<double>(std::min(speed, 1.0f))) / span;
}

} // namespace velto
