// What a simulated input device or a simulated process sounds like: silence, a sine, a test
// buffer played once or looped, or a caller's function. A source is a pure function of the
// frame position, so every listener can render it from its own position.
// Threading: made and handed over on a control thread; render() runs on I/O threads and neither
// allocates nor locks (a callback source must keep to that itself).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace platform::audio {

class SignalSource {
public:
  // Fills `out` with `frames` frames of `channels` interleaved channels from `position` on.
  using Callback =
      std::function<void(uint64_t position, float* out, uint32_t frames, uint32_t channels)>;

  SignalSource() = default; // silence
  static SignalSource silence() { return SignalSource(); }
  // amplitude x sin(2 pi hz n / 48000 + phase) on every channel, n = frame position.
  static SignalSource sine(double hz, float amplitude, double phase = 0.0);
  // Interleaved frames of `channels` channels. A one-channel buffer sounds on every channel; a
  // wider one feeds channel c from its channel c and leaves further channels silent. Once
  // played (loop false), it is silent.
  static SignalSource samples(std::vector<float> interleaved, uint32_t channels, bool loop);
  static SignalSource callback(Callback fill);

  // audio thread
  void render(uint64_t position, float* out, uint32_t frames, uint32_t channels) const;
  // Adds instead of writing. audio thread
  void renderAdd(uint64_t position, float* out, uint32_t frames, uint32_t channels) const;

private:
  enum class Kind { Silence, Sine, Samples, Callback };
  float sample(uint64_t position, uint32_t channel) const;

  Kind kind_ = Kind::Silence;
  double hz_ = 0.0;
  float amplitude_ = 0.0f;
  double phase_ = 0.0;
  std::shared_ptr<const std::vector<float>> samples_;
  uint32_t sampleChannels_ = 1;
  uint64_t sampleFrames_ = 0;
  bool loop_ = false;
  Callback fill_;
};

} // namespace platform::audio
