// Spectral noise reduction of one hardware input: a learned noise profile (257 dB values) and a
// 512-point frame streamed with a hop of 128, so the signal leaves 512 frames late while on.
// Owned by the engine (one per hardware input, heap-allocated). process()/processFrame() run on
// the input's audio thread; setProfile(), setStrength() and `enabled` belong to the main thread.
#pragma once

#include "effects/fft.h"

#include <atomic>
#include <complex>
#include <cstdint>

namespace velto {

class NoiseFilter {
public:
  static constexpr int kFrame = 512;
  static constexpr int kHop = 128;
  static constexpr int kBins = 257;
  static constexpr float kFloorDb = -120.0f;
  static constexpr float kDefaultStrength = 18.0f;

  NoiseFilter();

  // The square root of the periodic Hann window, built once on first use. Any thread.
  static const float* window();
  // dB spectrum of 512 samples: windowed, 20*log10(2|X|/512), floored at -140 dB. Any thread.
  static void spectrumDb(const FixedFft& fft, const float* samples, float* outDb);

  // main thread: writes the inactive profile buffer, then switches to it. A value that is not
  // finite would poison the gains for good, so such a profile is refused (false, no change).
  bool setProfile(const float* db);
  // main thread: stores the reduction depth in dB; refuses a value that is not finite.
  bool setStrength(float db);
  // Clears the streaming state; profiles, `enabled` and `strength` stay. Audio thread, or while
  // no audio thread can reach the filter.
  void resetState();

  void process(float* interleaved, uint32_t frames); // audio thread, in place
  void processFrame(int channel);                    // audio thread

  // Shared with the main thread.
  std::atomic<bool> enabled{false};
  std::atomic<float> strength{kDefaultStrength};
  FixedFft fft;
  // Two profile buffers (dB per bin); only the inactive one is ever written. The values are
  // relaxed atomics so that a reader in the middle of a frame never races a writer.
  std::atomic<float> profiles[2][kBins];
  std::atomic<uint32_t> activeProfile{0};

  // Audio thread only.
  struct Channel {
    float input[kFrame];
    float overlap[kFrame];
    float output[kHop];
    float smoothedDb[kBins];
    float gain[kBins];
  };
  bool running = false;
  Channel channels[2];
  int32_t hopPos = 0;
  std::complex<float> work[kFrame];
  float frameDb[kBins];
  // The last finite strength read; it stands in while the atomic holds anything else.
  float lastStrength = kDefaultStrength;
};

} // namespace velto
