// Files whose layout could make a reader scan for a long time: long zero tails, a header that
// claims hours, a large chunk to skip before the data. Each opens, reads and seeks to its end in
// bounded time and delivers exactly the audio its header states.
#include "platform/audiofile/audiofile.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "tests/platform/audiofile_fixtures.h"

namespace {

// Processor time to open a file, read its first second and seek to its end. Before the reads
// were bounded a 16 MiB tail of zeros took 6.8 s, and an MP3 whose parser looks through the
// 4 MiB it may probe takes 0.1-0.2 s; a busy machine costs more, and a sanitizer's allocator
// makes that parser's growing buffer about ten times dearer.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kMaxCpuSeconds = 3.0;
#else
constexpr double kMaxCpuSeconds = 0.5;
#endif

namespace af = platform::audiofile;
using namespace velto::fixtures;

constexpr int64_t kMiB = int64_t(1) << 20;

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void putLe(std::fstream& out, std::streamoff at, uint32_t value) {
  out.seekp(at);
  for (int i = 0; i < 4; ++i) out.put(char((value >> (8 * i)) & 0xff));
}

// One second of a 440 Hz tone, 44100 Hz stereo 16-bit: 176400 bytes of data at offset 44.
bool writeSecond(const std::string& path) {
  return writeWav(path, 44100, 2, tones({440.0, 660.0}, 0.5, 44100, 1.0));
}

// The second of tone behind a 16 MiB chunk of padding that a reader must skip, not read.
bool writeBehindJunk(const std::string& path, const std::string& second) {
  std::ifstream in(second, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
  if (bytes.size() < 44) return false;
  const uint32_t junk = uint32_t(16 * kMiB);
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), 36); // RIFF header and fmt chunk
  out.write("JUNK", 4);
  for (int i = 0; i < 4; ++i) out.put(char((junk >> (8 * i)) & 0xff));
  out.seekp(std::streamoff(44 + junk)); // the hole reads as zeros
  out.write(bytes.data() + 36, std::streamsize(bytes.size() - 36));
  out.close();
  std::fstream patch(path, std::ios::in | std::ios::out | std::ios::binary);
  putLe(patch, 4, uint32_t(bytes.size()) + 8 + junk - 8);
  return bool(patch);
}

// The second of tone as MP3 behind a large picture of noise (which does not compress).
bool withCover(const std::string& second, const std::string& path) {
  const std::string picture = path + ".png";
  const std::string make = "ffmpeg -nostdin -loglevel error -y -f lavfi -i "
                           "'nullsrc=s=2200x2200,geq=random(1)*255:random(2)*255:random(3)*255' "
                           "-frames:v 1 '" +
                           picture + "' >/dev/null 2>&1";
  if (std::system(make.c_str()) != 0) return false;
  const std::string mux = "ffmpeg -nostdin -loglevel error -y -i '" + second + "' -i '" + picture +
                          "' -map 0 -map 1 -c:a libmp3lame -c:v copy -id3v2_version 3 '" + path +
                          "' >/dev/null 2>&1";
  return std::system(mux.c_str()) == 0 && std::filesystem::file_size(path) > 8u << 20;
}

using AudioFileBounds = AudioFolderTest;

TEST_F(AudioFileBounds, LongTailsAndLargeClaimsOpenReadAndSeekInBoundedTime) {
  struct Case {
    const char* name;
    std::function<bool(const std::string&)> make;
    int64_t statedFrames; // at the file's rate
    int64_t readFrames;   // delivered at 48 kHz when read to the end (or up to 1 s)
  };
  const std::string second = file("second.wav");
  ASSERT_TRUE(writeSecond(second));
  const auto tail = [this](int64_t bytes) {
    return [this, bytes](const std::string& path) {
      return writeSecond(path) && growFile(path, 44 + 176400 + bytes);
    };
  };
  const Case cases[] = {
      {"plain.wav", writeSecond, 44100, 48000},
      {"tail16.wav", tail(16 * kMiB), 44100, 48000},
      {"tail64.wav", tail(64 * kMiB), 44100, 48000},
      {"tail256.wav", tail(256 * kMiB), 44100, 48000},
      {"tail4g.wav",
       [](const std::string& p) { return writeSecond(p) && growFile(p, 4096 * kMiB); }, 44100,
       48000},
      // About 6.8 hours stated, all but the first second of it zeros.
      {"claims.wav",
       [](const std::string& p) {
         return writeSecond(p) && stateWavDataBytes(p, 0xFFFFFF00u) && growFile(p, 4096 * kMiB);
       },
       0xFFFFFF00 / 4, 48000},
      {"junk.wav", [&second](const std::string& p) { return writeBehindJunk(p, second); }, 44100,
       48000},
      // A cover picture of about 13 MB in front of the sound is read whole, not decoded.
      {"cover.mp3", [&second](const std::string& p) { return withCover(second, p); }, -1, 48000},
      // Without a table of contents a seek scans for packets: 256 MiB of zeros took 8.9 s.
      {"tail256.mp3",
       [&second](const std::string& p) {
         return encode(second, p, "-c:a libmp3lame -write_xing 0") &&
                growFile(p, int64_t(std::filesystem::file_size(p)) + 256 * kMiB);
       },
       -1, 48000},
  };
  for (const Case& c : cases) {
    const std::string path = file(c.name);
    ASSERT_TRUE(c.make(path)) << c.name;
    const double start = threadCpuSeconds();
    af::File* f = af::openFile(path);
    ASSERT_NE(f, nullptr) << c.name;
    if (c.statedFrames >= 0) {
      EXPECT_EQ(af::lengthFrames(f), c.statedFrames) << c.name;
    }
    ASSERT_TRUE(af::startConversion(f)) << c.name;
    std::vector<float> block(8192 * 2);
    int64_t total = 0;
    // Of the second block: an MP3 without its header of delays starts with the encoder's
    // silence. The tone at its 0.5 amplitude has a mean square of 0.125.
    double firstPower = 0.0;
    while (total < 48000 + 8192) {
      const int64_t got = af::readFrames(f, block.data(), 8192);
      if (got == 0) break;
      if (total == 8192) {
        for (int64_t i = 0; i < got * 2; ++i) firstPower += double(block[i]) * block[i];
        firstPower /= double(got * 2);
      }
      total += got;
    }
    // A seek to the end, as the player's end of a track or a hostile position does, finds
    // nothing there in bounded time too.
    EXPECT_TRUE(af::seekFrame(f, int64_t(1) << 40)) << c.name;
    EXPECT_EQ(af::readFrames(f, block.data(), 8192), 0) << c.name;
    const double seconds = threadCpuSeconds() - start;
    af::closeFile(f);
    // Zeros behind the stated data are no audio; a claimed length delivers what lies there.
    EXPECT_EQ(std::min<int64_t>(total, 48000), c.readFrames) << c.name;
    if (c.statedFrames == 44100) {
      EXPECT_EQ(total, c.readFrames) << c.name;
    }
    EXPECT_NEAR(firstPower, 0.125, 0.02) << c.name;
    EXPECT_LT(seconds, kMaxCpuSeconds) << c.name;
  }
}

} // namespace
