// Pitch detector and multi-voice pitch shifter behind the pitch, octaver and harmonizer effects.
// Each effect bank owns three (one per effect) as fixed arrays inside the bank; nothing here
// allocates. Everything runs on the owning bank's audio thread; the control side only constructs.
#pragma once

#include <cstdint>

namespace velto {

class PitchShifter {
public:
  // "Stimme": pitch-synchronous grains on the detected period, for a single voice.
  // "Alles": fixed 1280-sample grains aligned by correlation, for any material.
  enum class Mode : int32_t { voice = 0, all = 1 };

  static constexpr uint32_t kRing = 8192;
  static constexpr uint32_t kMask = kRing - 1;
  static constexpr int kVoices = 3;
  static constexpr uint32_t kVoiceLatency = 1200;
  static constexpr uint32_t kAllLatency = 2112;
  static constexpr double kStartPeriod = 480.0;

  PitchShifter() { reset(); }

  static uint32_t latency(Mode mode) { return mode == Mode::all ? kAllLatency : kVoiceLatency; }

  // audio thread: silence, default period, detection restarts once 2049 samples have arrived.
  void reset();
  // audio thread: renders `voices` (1..3) shifted copies of `in`, voice v at ratios[v], into
  // out[v]. A mode other than the stored one resets the shifter first. With frames = 0 nothing is
  // rendered. Returns the latency of `mode` in samples.
  uint32_t process(const float* in, float* const* out, const float* ratios, int voices,
                   uint32_t frames, Mode mode);
  // audio thread: YIN estimate on the most recent 1536 samples, decimated 2:1.
  void detect();

  float voicedFrequency() const { return voicedHz; }
  double currentPeriod() const { return period; }
  Mode currentMode() const { return mode; }

  float inputRing[kRing];
  float outputRing[kVoices][kRing];
  uint64_t time = 0;
  double nextMark[kVoices] = {};
  double analysisMark[kVoices] = {};
  bool started[kVoices] = {};
  double lastMark[kVoices] = {}; // "Stimme": centre of the last grain placed
  bool placedOne[kVoices] = {};
  double period = kStartPeriod;
  float voicedHz = 0.0f;
  uint32_t sinceDetection = 0;
  Mode mode = Mode::voice;

private:
  float inputAt(double position) const;
  void grainsAll(int v, double r);
  void grainsVoice(int v, double r);
  double followWaveform(double previous, double predicted, double p, int w) const;
  void retireVoice(int v);
};

} // namespace velto
