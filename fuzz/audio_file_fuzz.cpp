// Raw bytes as a hostile audio file: the first byte picks the extension (and, from 0xE0 up, a
// tail of zeros of up to 496 MiB that the file is grown by without writing it), the rest is
// written to a file in the run's private folder, which is then opened, read, sought and read
// again through the streaming reader, and decoded whole with a short length limit. A tail a
// reader scanned through would take minutes and end the run at its time-out.
#include "fuzz/fuzz_support.h"
#include "media/audio_file.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr const char* kExtensions[] = {".wav", ".aif",  ".aiff", ".mp3", ".m4a",
                                       ".aac", ".flac", ".caf",  ".mp4"};
constexpr uint32_t kChunk = 4096;
constexpr uint8_t kTailFrom = 0xE0;
constexpr off_t kTailStep = off_t(16) << 20;

// Reads at most `chunks` chunks; no read may claim more frames than were asked for.
void readSome(velto::AudioFileReader& reader, std::vector<float>& buffer, int chunks) {
  for (int i = 0; i < chunks; ++i) {
    const uint32_t got = reader.read(buffer.data(), kChunk);
    if (got > kChunk) abort();
    if (got == 0) return;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || velto::fuzz::privateFolder().empty()) return 0;
  const std::string path =
      velto::fuzz::privateFolder() + "/input" + kExtensions[data[0] % std::size(kExtensions)];
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
  if (data[0] >= kTailFrom) {
    const off_t tail = off_t(data[0] & 0x1f) * kTailStep;
    if (truncate(path.c_str(), off_t(size - 1) + tail) != 0) return 0;
  }

  velto::AudioFileReader reader;
  std::string error;
  if (reader.open(path, error)) {
    if (reader.channels == 0 || reader.fileFrames < 0) abort();
    std::vector<float> buffer(size_t{kChunk} * reader.channels);
    readSome(reader, buffer, 8);
    for (const double seconds : {0.5, 0.0, 1e12, -3.0}) {
      reader.seekSeconds(seconds);
      readSome(reader, buffer, 2);
    }
    reader.close();
  } else if (error.empty()) {
    abort();
  }

  velto::PadSample sample;
  error.clear();
  if (velto::decodeAudioFile(path, sample, error, 2.0)) {
    if (sample.samples.size() != 2 * sample.frames || sample.frames > 3 * 48000) abort();
  } else if (error.empty()) {
    abort();
  }
  return 0;
}
