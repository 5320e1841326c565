// Test audio made at test time: WAV files written here, every other container encoded with the
// ffmpeg command line, all in a temporary folder. Used by the platform and media suites.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace velto::fixtures {

constexpr double kPi = 3.14159265358979323846;

struct TempFolder {
  std::string path;
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velto-XXXXXX").string();
    path = mkdtemp(pattern.data()) ? pattern : "";
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
};

// HOME and VELTO_SYSTEM_ROOT on fresh folders, and a folder for the test's audio.
class AudioFolderTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_FALSE(home_.path.empty() || root_.path.empty() || files_.path.empty());
    setenv("HOME", home_.path.c_str(), 1);
    setenv("VELTO_SYSTEM_ROOT", root_.path.c_str(), 1);
  }
  std::string file(const std::string& name) const { return files_.path + "/" + name; }
  const std::string& folder() const { return files_.path; }

private:
  TempFolder home_, root_, files_;
};

// The float a 16-bit PCM decoder gives back for `x`.
inline float quantize16(double x) {
  return float(std::lround(std::fmax(-32768.0, std::fmin(x * 32768.0, 32767.0)))) / 32768.0f;
}

// 16-bit WAV of interleaved `samples`; `tag` 1 is PCM, anything else a codec nobody knows.
inline bool writeWav(const std::string& path, int rate, int channels,
                     const std::vector<float>& samples, uint16_t tag = 1) {
  std::ofstream out(path, std::ios::binary);
  auto put = [&](uint32_t v, int bytes) { out.write(reinterpret_cast<const char*>(&v), bytes); };
  out.write("RIFF", 4);
  put(uint32_t(36 + samples.size() * 2), 4);
  out.write("WAVEfmt ", 8);
  for (uint32_t v : {16u, uint32_t(tag) | uint32_t(channels) << 16, uint32_t(rate),
                     uint32_t(rate * channels * 2), uint32_t(channels * 2) | 16u << 16}) {
    put(v, 4);
  }
  out.write("data", 4);
  put(uint32_t(samples.size() * 2), 4);
  for (float x : samples) put(uint32_t(std::lround(double(quantize16(x)) * 32768.0)), 2);
  return bool(out);
}

inline bool writeText(const std::string& path, const std::string& text) {
  return bool(std::ofstream(path, std::ios::binary) << text);
}

inline bool encode(const std::string& source, const std::string& target, const std::string& args) {
  std::string command = "ffmpeg -nostdin -loglevel error -y -i '" + source + "' " + args + " '" +
                        target + "' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// Rewrites the 36-bit total-samples field of a FLAC stream info (0 = not stated).
inline bool setFlacTotalSamples(const std::string& path, uint64_t total) {
  std::fstream io(path, std::ios::in | std::ios::out | std::ios::binary);
  char head[26];
  if (!io.read(head, sizeof head) || std::string(head, 4) != "fLaC") return false;
  head[21] = char((uint8_t(head[21]) & 0xF0) | ((total >> 32) & 0x0F));
  for (int i = 0; i < 4; ++i) head[22 + i] = char(total >> (24 - 8 * i));
  io.seekp(0);
  return bool(io.write(head, sizeof head));
}

struct Format {
  const char* extension;
  const char* args;
  bool lossless;
  int decodeSlack; // priming and padding a decode may add, in 48 kHz frames
  int lengthSlack; // how far the stated length may overshoot, in source frames
};

inline void PrintTo(const Format& format, std::ostream* out) {
  *out << format.extension;
}

// Two codec frames of 1024 (AAC) or 1152 (MP3) samples at 44.1 kHz, as 48 kHz frames.
constexpr int kAacPadding = 2 * 1024 * 48000 / 44100 + 1;
constexpr int kMp3Padding = 2 * 1152 * 48000 / 44100 + 1;

// A CAF file states its length in whole packets (4096 frames for ALAC).
inline const std::vector<Format> kFormats = {
    {".wav", "-c:a pcm_s24le", true, 0, 0},
    {".aif", "-c:a pcm_s16be -f aiff", true, 0, 0},
    {".aiff", "-c:a pcm_s24be -f aiff", true, 0, 0},
    {".mp3", "-c:a libmp3lame -b:a 256k", false, kMp3Padding, 2 * 1152},
    {".m4a", "-c:a aac -b:a 256k", false, kAacPadding, 2 * 1024},
    {".aac", "-c:a aac -b:a 256k -f adts", false, kAacPadding, 2 * 1024},
    {".flac", "-c:a flac", true, 0, 0},
    {".caf", "-c:a alac -f caf", true, 0, 4096},
    {".mp4", "-c:a aac -b:a 256k -f mp4", false, kAacPadding, 2 * 1024},
};

inline const Format& formatOf(const std::string& extension) {
  for (const Format& f : kFormats) {
    if (extension == f.extension) return f;
  }
  return kFormats.front();
}

// One sine per channel, channel c at freqs[c], interleaved.
inline std::vector<float> tones(const std::vector<double>& freqs, double amplitude, int rate,
                                double seconds) {
  std::vector<float> out(size_t(seconds * rate) * freqs.size());
  for (size_t i = 0; i < out.size(); ++i) {
    double t = double(i / freqs.size()) / rate;
    out[i] = float(amplitude * std::sin(2.0 * kPi * freqs[i % freqs.size()] * t));
  }
  return out;
}

// Stereo frames numbered by their samples (left: low 16 bits, right: high bits), so that a
// bit-exact decode names every frame.
inline std::vector<float> frameCounter(size_t frames) {
  std::vector<float> out(frames * 2);
  for (size_t i = 0; i < frames; ++i) {
    out[2 * i] = float(int(i & 0xFFFF) - 32768) / 32768.0f;
    out[2 * i + 1] = float(int(i >> 16) - 32768) / 32768.0f;
  }
  return out;
}

inline int64_t counterValue(const float* frame) {
  return (std::lround(frame[1] * 32768.0) + 32768) << 16 |
         (std::lround(frame[0] * 32768.0) + 32768);
}

// Adds a hit at `seconds`: linear attack, exponential decay, shaped `source`.
template <typename Source>
void addHit(std::vector<float>& mono, int rate, double seconds, double attack, double decay,
            double amplitude, Source source) {
  size_t start = size_t(std::lround(seconds * rate));
  for (size_t j = 0; j < size_t((attack + 6 * decay) * rate) && start + j < mono.size(); ++j) {
    double t = double(j) / rate;
    mono[start + j] +=
        float(amplitude * (t < attack ? t / attack : std::exp(-(t - attack) / decay)) * source(t));
  }
}

// Mono beats from `firstBeat` on. Clicks: short 1 kHz pings. Drums: a kick gliding from 110 to
// 50 Hz and a snare on alternate beats, a hi-hat on every beat, a faint noise floor.
inline std::vector<float> beatTrack(bool drums, double bpm, double seconds, int rate,
                                    double firstBeat) {
  std::vector<float> mono(size_t(seconds * rate));
  std::mt19937 random(7);
  std::normal_distribution<double> noise(0.0, 1.0);
  if (drums) {
    for (float& x : mono) x = float(0.002 * noise(random));
  }
  for (int k = 0; (firstBeat + k * 60.0 / bpm) * rate < double(mono.size()); ++k) {
    double t = firstBeat + k * 60.0 / bpm;
    if (!drums) {
      addHit(mono, rate, t, 0.0005, 0.01, 0.5,
             [](double s) { return std::sin(2 * kPi * 1e3 * s); });
    } else if (k % 2 == 0) {
      addHit(mono, rate, t, 0.004, 0.08, 0.8, [](double s) {
        return std::sin(2 * kPi * (50 * s + 2.4 * (1 - std::exp(-s / 0.04))));
      });
    } else {
      addHit(mono, rate, t, 0.004, 0.06, 0.5,
             [&](double s) { return 0.6 * noise(random) + 0.4 * std::sin(2 * kPi * 190 * s); });
    }
    if (drums) addHit(mono, rate, t, 0.002, 0.015, 0.12, [&](double) { return noise(random); });
  }
  return mono;
}

// Sign changes of one channel over frames [from, to).
inline int zeroCrossings(const std::vector<float>& samples, int channels, int channel, size_t from,
                         size_t to) {
  int count = 0;
  for (size_t i = from + 1; i < to; ++i) {
    count += (samples[(i - 1) * channels + channel] < 0) != (samples[i * channels + channel] < 0);
  }
  return count;
}

// Grows the file to `size` bytes without writing them: the tail reads as zeros and costs no disk.
inline bool growFile(const std::string& path, int64_t size) {
  std::error_code failed;
  std::filesystem::resize_file(path, uintmax_t(size), failed);
  return !failed;
}

// States `dataBytes` in the RIFF and data sizes of a plain 44-byte-header WAV from writeWav.
inline bool stateWavDataBytes(const std::string& path, uint32_t dataBytes) {
  std::fstream out(path, std::ios::in | std::ios::out | std::ios::binary);
  auto put = [&](std::streamoff at, uint32_t v) {
    out.seekp(at);
    out.write(reinterpret_cast<const char*>(&v), 4);
  };
  put(4, 36 + dataBytes);
  put(40, dataBytes);
  return bool(out);
}

} // namespace velto::fixtures
