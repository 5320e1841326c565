#include <gtest/gtest.h>

#include <thread>

#include "platform/audiofile/audiofile.h"
#include "tests/platform/audiofile_fixtures.h"

namespace {

namespace af = platform::audiofile;
using namespace velto::fixtures;

// The whole file, with a seek back to 20000 after the first 4096 frames.
std::vector<float> decode(const std::string& path) {
  std::vector<float> out, block(4096 * 2);
  af::File* f = af::openFile(path);
  if (f && af::startConversion(f)) {
    for (int64_t got; (got = af::readFrames(f, block.data(), 4096)) > 0;) {
      if (out.empty()) af::seekFrame(f, 20000);
      out.insert(out.end(), block.begin(), block.begin() + got * 2);
    }
  }
  af::closeFile(f);
  return out;
}

class AudioFileThreads : public AudioFolderTest {};

// The player's reader thread, its analyzer thread and pad loads read files at the same time.
TEST_F(AudioFileThreads, FilesDecodedSideBySideMatchASingleDecode) {
  ASSERT_TRUE(writeWav(file("source.wav"), 44100, 2, tones({440.0, 880.0}, 0.4, 44100, 2.0)));
  std::vector<std::string> paths;
  std::vector<std::vector<float>> expected;
  for (const char* ext : {".mp3", ".m4a", ".flac", ".aac"}) {
    paths.push_back(file(std::string("encoded") + ext));
    ASSERT_TRUE(encode(file("source.wav"), paths.back(), formatOf(ext).args));
    expected.push_back(decode(paths.back()));
    ASSERT_GT(expected.back().size(), 96000u);
  }
  std::vector<std::vector<float>> results(paths.size() * 2);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < results.size(); ++i) {
    threads.emplace_back([&, i] { results[i] = decode(paths[i % paths.size()]); });
  }
  for (std::thread& t : threads) t.join();
  for (size_t i = 0; i < results.size(); ++i) {
    EXPECT_EQ(results[i], expected[i % paths.size()]) << paths[i % paths.size()];
  }
}

} // namespace
