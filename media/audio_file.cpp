#include "media/audio_file.h"

#include <dirent.h>
#include <strings.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <string_view>

namespace velto {
namespace {

namespace af = platform::audiofile;

constexpr double kRate = 48000.0;
constexpr uint32_t kDecodeChunk = 8192;
// What a codec may add beyond the stated length (priming and padding frames, which last
// longest at low rates); a decode that runs past the limit by more is refused.
constexpr double kDecodeSlackSeconds = 1.0;
// Largest seek target: far beyond any real file, small enough for exact integer arithmetic.
constexpr double kMaxSeekFrame = 7.0e13;

constexpr std::array<std::string_view, 9> kAudioExtensions = {
    ".wav", ".aif", ".aiff", ".mp3", ".m4a", ".aac", ".flac", ".caf", ".mp4"};

// On a machine too busy to give a decode its share of the processor, a slice still ends after
// this many times its length on the clock.
constexpr double kWallSliceFactor = 10.0;

bool hasAudioExtension(std::string_view name) {
  for (std::string_view ext : kAudioExtensions) {
    // At least one character must stand before the extension.
    if (name.size() <= ext.size()) continue;
    std::string_view tail = name.substr(name.size() - ext.size());
    if (strncasecmp(tail.data(), ext.data(), ext.size()) == 0) return true;
  }
  return false;
}

} // namespace

bool AudioFileReader::open(const std::string& path, std::string& error) {
  close();
  af::File* handle = af::openFile(path);
  if (!handle) {
    error = "Datei nicht lesbar";
    return false;
  }
  fileRate = af::sampleRate(handle);
  if (!af::startConversion(handle)) {
    af::closeFile(handle);
    error = "Format nicht umwandelbar";
    return false;
  }
  // Read after the conversion is set up: a stream that does not state its channel count has
  // it from its first decoded frame.
  channels = std::max<uint32_t>(af::channelCount(handle), 1);
  fileFrames = af::lengthFrames(handle);
  file = handle;
  return true;
}

uint32_t AudioFileReader::read(float* destination, uint32_t frames) {
  if (!file) return 0;
  int64_t got = af::readFrames(file, destination, frames);
  return got > 0 ? uint32_t(got) : 0;
}

bool AudioFileReader::seekSeconds(double seconds) {
  if (!file || std::isnan(seconds)) return false;
  double target = std::trunc(seconds * fileRate);
  // A file that does not state its length has no known end to clamp to: the seek goes where
  // it was asked, and reads past the real end simply return nothing.
  double end = fileFrames > 0 ? double(fileFrames) : kMaxSeekFrame;
  target = std::clamp(target, 0.0, std::min(end, kMaxSeekFrame));
  return af::seekFrame(file, int64_t(target));
}

void AudioFileReader::close() {
  if (file) af::closeFile(file);
  file = nullptr;
}

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double steadySeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

bool AudioFileDecode::begin(const std::string& path, double maxSeconds) {
  finished_ = false;
  error.clear();
  if (!reader_.open(path, error)) return finish(nullptr);
  double seconds = reader_.fileRate > 0 ? double(reader_.fileFrames) / reader_.fileRate : 0.0;
  statedSeconds_ = seconds;
  if (seconds > maxSeconds) return finish("länger als 20 min");
  sample.samples.clear();
  sample.frames = 0;
  size_t reserveFrames = reader_.fileRate > 0 ? size_t(seconds * kRate + 16) : 16;
  sample.samples.reserve(reserveFrames * 2);
  // The stated length may be missing or wrong: the decoded frames are held to the limit too.
  limitFrames_ = uint64_t((maxSeconds + kDecodeSlackSeconds) * kRate);
  scratch_.assign(size_t(reader_.channels) * kDecodeChunk, 0.0f);
  return true;
}

bool AudioFileDecode::finish(const char* message) {
  if (message != nullptr) error = message;
  if (!error.empty()) sample = PadSample{};
  reader_.close();
  scratch_ = {};
  finished_ = true;
  return false;
}

bool AudioFileDecode::run(double seconds) {
  if (finished_) return true;
  const double cpuEnd = threadCpuSeconds() + seconds;
  const double wallEnd = steadySeconds() + seconds * kWallSliceFactor;
  const uint32_t channels = reader_.channels;
  for (;;) {
    uint32_t got = reader_.read(scratch_.data(), kDecodeChunk);
    if (got == 0) break;
    for (uint32_t i = 0; i < got; ++i) {
      const float* frame = scratch_.data() + size_t(i) * channels;
      sample.samples.push_back(frame[0]);
      sample.samples.push_back(channels >= 2 ? frame[1] : frame[0]);
    }
    if (sample.samples.size() / 2 > limitFrames_) {
      finish("länger als 20 min");
      return true;
    }
    if (threadCpuSeconds() >= cpuEnd || steadySeconds() >= wallEnd) return false;
  }
  sample.frames = sample.samples.size() / 2;
  finish(sample.samples.size() < 2 ? "Datei ist leer" : nullptr);
  return true;
}

bool decodeAudioFile(const std::string& path, PadSample& sample, std::string& error,
                     double maxSeconds) {
  AudioFileDecode decode;
  const bool begun = decode.begin(path, maxSeconds);
  if (begun) decode.run(std::numeric_limits<double>::infinity());
  if (!decode.error.empty()) {
    // Refused by its header: untouched. Refused while decoding: emptied, memory given back.
    if (begun) sample = PadSample{};
    error = decode.error;
    return false;
  }
  sample = std::move(decode.sample);
  return true;
}

std::vector<std::string> listAudioFiles(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return names;
  while (const dirent* entry = readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name.empty() || name.front() == '.') continue;
    if (hasAudioExtension(name)) names.emplace_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  });
  return names;
}

} // namespace velto
