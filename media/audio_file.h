// Every read of an audio file: a streaming reader delivering 48000 Hz float frames, the
// whole-file decoder that turns a file into a pad's stereo sample, and the folder lister.
// A reader belongs to one thread at a time; the free functions share no state (any thread).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/audiofile/audiofile.h"

namespace velto {

// Longest file the whole-file decoder accepts.
constexpr double kMaxDecodeSeconds = 1200.0;

// A decoded sound in memory: interleaved stereo (left, right) frames at 48000 Hz.
struct PadSample {
  std::vector<float> samples;
  uint64_t frames = 0; // always samples.size() / 2
};

// Streams one file converted to 48000 Hz interleaved float with the file's own channel count.
struct AudioFileReader {
  platform::audiofile::File* file = nullptr; // null when closed
  uint32_t channels = 1;                     // at least 1
  double fileRate = 0.0;                     // the file's own rate
  int64_t fileFrames = 0;                    // length at the file's own rate; 0 when unknown

  AudioFileReader() = default;
  AudioFileReader(const AudioFileReader&) = delete;
  AudioFileReader& operator=(const AudioFileReader&) = delete;
  ~AudioFileReader() { close(); }

  // Closes a previous file first. On failure `error` holds the German reason.
  bool open(const std::string& path, std::string& error);
  // Up to `frames` frames of `channels` floats; 0 at the end, on an error or when closed.
  uint32_t read(float* destination, uint32_t frames);
  // Moves the read position to `seconds` of the file (clamped to its start and known end).
  bool seekSeconds(double seconds);
  void close();
};

// A whole-file decode taken in steps, so that a caller can bound the time it spends on it and
// hand the rest to another thread (one thread at a time, like the reader).
class AudioFileDecode {
public:
  // Opens the file and checks its stated length. False with the German reason in `error`.
  bool begin(const std::string& path, double maxSeconds = kMaxDecodeSeconds);
  // Decodes until the file is done or this thread has given it `seconds` of processor time
  // (ten times that on the clock at most); true once finished. Then `error` is empty on
  // success and `sample` holds the sound.
  bool run(double seconds);
  bool finished() const { return finished_; }
  // The length the file states, in seconds (0 when it states none); known after `begin`.
  double statedSeconds() const { return statedSeconds_; }

  PadSample sample;
  std::string error;

private:
  bool finish(const char* message);

  AudioFileReader reader_;
  std::vector<float> scratch_;
  uint64_t limitFrames_ = 0;
  double statedSeconds_ = 0.0;
  bool finished_ = false;
};

// Processor time the calling thread has used so far, in seconds.
double threadCpuSeconds();
// Seconds of the steady clock. Any thread
double steadySeconds();

// Decodes the whole file into `sample` (its vector is replaced). False with the German reason
// in `error`. Refuses files longer than `maxSeconds`, by their stated length and by what
// actually decodes.
bool decodeAudioFile(const std::string& path, PadSample& sample, std::string& error,
                     double maxSeconds = kMaxDecodeSeconds);

// Names (without folder) of the audio files directly in `folder`, sorted without regard to case;
// empty when the folder cannot be opened.
std::vector<std::string> listAudioFiles(const std::string& folder);

} // namespace velto
