#include "platform/audiofile/audiofile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include "tests/platform/audiofile_fixtures.h"

namespace {

namespace af = platform::audiofile;
using namespace velto::fixtures;

struct CloseFile {
  void operator()(af::File* f) const { af::closeFile(f); }
};
using FilePtr = std::unique_ptr<af::File, CloseFile>;

FilePtr openConverted(const std::string& path) {
  FilePtr f(af::openFile(path));
  if (f && !af::startConversion(f.get())) f.reset();
  return f;
}

std::vector<float> readAll(af::File* f) {
  const uint32_t channels = af::channelCount(f);
  std::vector<float> all, block(size_t(3000) * channels); // no codec's frame size on purpose
  while (int64_t got = af::readFrames(f, block.data(), 3000)) {
    all.insert(all.end(), block.begin(), block.begin() + got * channels);
  }
  return all;
}

class AudioFileFormats : public AudioFolderTest, public ::testing::WithParamInterface<Format> {
protected:
  // Encodes interleaved 44.1 kHz audio into the format under test.
  std::string make(int channels, const std::vector<float>& samples) {
    std::string source = file("source.wav"), target = file(std::string("x") + GetParam().extension);
    EXPECT_TRUE(writeWav(source, 44100, channels, samples));
    EXPECT_TRUE(encode(source, target, GetParam().args)) << target;
    return target;
  }
};

TEST_P(AudioFileFormats, OneSecondAt44100DecodesTo48000FramesOfTheSameTones) {
  const Format& format = GetParam();
  FilePtr f = openConverted(make(2, tones({1000.0, 1500.0}, 0.5, 44100, 1.0)));
  ASSERT_TRUE(f);
  EXPECT_EQ(af::channelCount(f.get()), 2u);
  EXPECT_EQ(af::sampleRate(f.get()), 44100.0);
  EXPECT_GE(af::lengthFrames(f.get()), 44100);
  EXPECT_LE(af::lengthFrames(f.get()), 44100 + format.lengthSlack);
  std::vector<float> all = readAll(f.get());
  EXPECT_GE(all.size() / 2, 48000u);
  EXPECT_LE(all.size() / 2, 48000u + format.decodeSlack);
  // Half a second: two crossings per period at 48000 Hz, each channel its own tone.
  EXPECT_NEAR(zeroCrossings(all, 2, 0, 12000, 36000), 1000, 2);
  EXPECT_NEAR(zeroCrossings(all, 2, 1, 12000, 36000), 1500, 2);
  if (format.lossless) {
    // The tone itself, sampled at 48 kHz, down to 16-bit quantisation.
    for (size_t k = 500; k < 47500; ++k) {
      ASSERT_NEAR(all[2 * k], 0.5 * std::sin(2 * kPi * 1000.0 * double(k) / 48000), 1e-4) << k;
    }
  }
}

TEST_P(AudioFileFormats, SeekDeliversWhatAReadFromTheStartDelivers) {
  std::vector<float> signal = tones({440.0, 660.0}, 0.3, 44100, 3.0);
  std::mt19937 random(11);
  std::normal_distribution<double> noise(0.0, 0.05);
  for (float& x : signal) x += float(noise(random));
  FilePtr f = openConverted(make(2, signal));
  ASSERT_TRUE(f);
  std::vector<float> all = readAll(f.get());
  const int64_t total = int64_t(all.size() / 2);
  // Forwards, backwards, on and off the common grid of both rates, near both ends.
  for (int64_t target : {130000, 12345, 0, 100000, 1, 44100, 4095, 132299, 77777}) {
    ASSERT_TRUE(af::seekFrame(f.get(), target));
    std::vector<float> block(2048 * 2);
    int64_t got = af::readFrames(f.get(), block.data(), 2048);
    int64_t from = (target * 96000 + 44100) / 88200; // the output frame at that time
    ASSERT_EQ(got, std::min<int64_t>(2048, total - from)) << target;
    // Lossy decoders may round differently after a restart, far below the codec's own noise.
    const float tolerance = GetParam().lossless ? 0.0f : 1e-4f;
    for (int64_t i = 0; i < got * 2; ++i) {
      ASSERT_NEAR(block[i], all[from * 2 + i], tolerance) << target << " + " << i / 2;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Every, AudioFileFormats, ::testing::ValuesIn(kFormats),
                         [](const auto& info) { return std::string(info.param.extension + 1); });

class AudioFile : public AudioFolderTest {};

TEST_F(AudioFile, LosslessFilesAt48000SeekToTheExactFrame) {
  ASSERT_TRUE(writeWav(file("source.wav"), 48000, 2, frameCounter(144000)));
  // The last case states no length at all: the seek still finds its frame.
  for (std::string ext : {".wav", ".aif", ".aiff", ".flac", ".caf", "-unstated.flac"}) {
    std::string path = file("counter" + ext);
    ASSERT_TRUE(encode(file("source.wav"), path, formatOf(ext.substr(ext.find('.'))).args));
    if (ext == "-unstated.flac") {
      ASSERT_TRUE(setFlacTotalSamples(path, 0));
    }
    FilePtr f = openConverted(path);
    ASSERT_TRUE(f) << ext;
    std::vector<float> all = readAll(f.get());
    ASSERT_EQ(all.size(), 144000u * 2) << ext;
    for (int64_t i = 0; i < 144000; i += 997) ASSERT_EQ(counterValue(&all[i * 2]), i) << ext;
    for (int64_t target : {99999, 0, 1, 777, 48000, 143999, 4096, 12289, 144000, 200000}) {
      ASSERT_TRUE(af::seekFrame(f.get(), target));
      float frame[2];
      int64_t got = af::readFrames(f.get(), frame, 1);
      EXPECT_EQ(got ? counterValue(frame) : -1, target < 144000 ? target : -1) << ext;
    }
  }
}

TEST_F(AudioFile, ChannelsArriveInTheFileOrder) {
  // AAC stores 5.1 in another order and gives it back in the file's; the fourth channel is the
  // low-frequency one.
  std::vector<double> freqs = {300, 500, 700, 80, 1100, 1300};
  ASSERT_TRUE(writeWav(file("six.wav"), 44100, 6, tones(freqs, 0.25, 44100, 1.0)));
  ASSERT_TRUE(encode(file("six.wav"), file("six.m4a"), "-c:a aac -b:a 384k"));
  for (const char* name : {"six.wav", "six.m4a"}) {
    FilePtr f = openConverted(file(name));
    ASSERT_TRUE(f);
    ASSERT_EQ(af::channelCount(f.get()), 6u);
    std::vector<float> all = readAll(f.get());
    for (int c = 0; c < 6; ++c) {
      EXPECT_NEAR(zeroCrossings(all, 6, c, 4000, 28000), freqs[c], 2) << name << " " << c;
    }
  }
}

TEST_F(AudioFile, WhatIsNotAnAcceptedAudioFileDoesNotOpen) {
  ASSERT_TRUE(writeText(file("text.wav"), "Dies ist keine Audiodatei.\n"));
  ASSERT_TRUE(writeText(file("empty.wav"), ""));
  ASSERT_TRUE(writeText(file("cut.wav"), std::string("RIFF\x24\x08\0\0WAVEfmt ", 16)));
  std::filesystem::create_directory(file("folder.wav"));
  ASSERT_EQ(mkfifo(file("pipe.wav").c_str(), 0600), 0) << "a pipe would block a reader forever";
  // Real audio in a container that is not accepted, named like an accepted one.
  ASSERT_TRUE(writeWav(file("tone.wav"), 44100, 1, tones({440.0}, 0.5, 44100, 0.5)));
  ASSERT_TRUE(encode(file("tone.wav"), file("vorbis.wav"), "-c:a libvorbis -f ogg"));
  ASSERT_TRUE(encode(file("tone.wav"), file("ogg.flac"), "-c:a flac -f ogg"));
  for (const char* name : {"missing.wav", "text.wav", "empty.wav", "cut.wav", "folder.wav",
                           "pipe.wav", "vorbis.wav", "ogg.flac"}) {
    EXPECT_FALSE(FilePtr(af::openFile(file(name)))) << name;
  }
}

TEST_F(AudioFile, RatesNoSoundCanHaveAreRefusedAtOnceAndTheLimitsStillPlay) {
  // A header's rate alone could make the resampler build a giant filter or output: 1 Hz
  // upsampled to 48 kHz turns 50000 samples into 2.4 billion frames.
  struct Case {
    int rate;
    int64_t frames; // expected at 48 kHz; -1: refused
  } const cases[] = {{1, -1},         {999, -1},      {768001, -1},  {400000000, -1},
                     {1000, 2400000}, {8000, 300000}, {768000, 3125}};
  for (const Case& c : cases) {
    const std::string name = file("rate" + std::to_string(c.rate) + ".wav");
    ASSERT_TRUE(writeWav(name, c.rate, 1, std::vector<float>(50000, 0.25f)));
    const auto start = std::chrono::steady_clock::now();
    FilePtr f = openConverted(name);
    const int64_t frames = f ? int64_t(readAll(f.get()).size()) : -1;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(frames, c.frames) << c.rate;
    EXPECT_LT(seconds, 2.0) << c.rate;
  }
}

TEST_F(AudioFile, DamagedFilesAreReadWithoutAWordOnTheConsole) {
  ASSERT_TRUE(writeWav(file("tone.wav"), 44100, 2, tones({440.0, 660.0}, 0.5, 44100, 2.0)));
  ASSERT_TRUE(encode(file("tone.wav"), file("damaged.mp3"), formatOf(".mp3").args));
  ASSERT_TRUE(encode(file("tone.wav"), file("damaged.aac"), formatOf(".aac").args));
  for (const char* name : {"damaged.mp3", "damaged.aac"}) {
    std::fstream io(file(name), std::ios::in | std::ios::out | std::ios::binary);
    io.seekp(9000);
    io << std::string(3000, '\x5a'); // garbage in the middle of the stream
  }
  ASSERT_TRUE(writeText(file("text.mp3"), "ID3 und sonst nichts"));
  // The decoders complain about such files unless told to keep quiet.
  fflush(stderr);
  int saved = dup(2);
  FILE* capture = std::tmpfile();
  dup2(fileno(capture), 2);
  std::vector<size_t> sizes;
  for (const char* name : {"damaged.mp3", "damaged.aac", "text.mp3"}) {
    FilePtr f = openConverted(file(name));
    sizes.push_back(f ? readAll(f.get()).size() / 2 : 0);
  }
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  EXPECT_EQ(ftell(capture), 0L) << "nothing written to the console";
  fclose(capture);
  // The damage costs a few frames; the rest plays.
  EXPECT_GT(sizes[0], 80000u);
  EXPECT_GT(sizes[1], 80000u);
  EXPECT_EQ(sizes[2], 0u);
}

TEST_F(AudioFile, RelativePathIsNeverTakenForAWebAddress) {
  ASSERT_TRUE(writeWav(file("http:tone.wav"), 48000, 1, tones({440.0}, 0.5, 48000, 0.25)));
  std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(folder());
  FilePtr f = openConverted("http:tone.wav");
  std::filesystem::current_path(previous);
  ASSERT_TRUE(f);
  EXPECT_EQ(readAll(f.get()).size(), 12000u);
}

TEST_F(AudioFile, StreamThatChangesItsWidthKeepsItsFirstWidth) {
  // A mono ADTS stream followed by a stereo one: the stereo part cannot be delivered in one
  // channel and is dropped, not read past the buffer.
  ASSERT_TRUE(writeWav(file("mono.wav"), 44100, 1, tones({500.0}, 0.5, 44100, 1.0)));
  ASSERT_TRUE(writeWav(file("stereo.wav"), 44100, 2, tones({700.0, 900.0}, 0.5, 44100, 1.0)));
  ASSERT_TRUE(encode(file("mono.wav"), file("mono.aac"), "-c:a aac -f adts"));
  ASSERT_TRUE(encode(file("stereo.wav"), file("stereo.aac"), "-c:a aac -f adts"));
  {
    std::ofstream joined(file("joined.aac"), std::ios::binary);
    joined << std::ifstream(file("mono.aac"), std::ios::binary).rdbuf()
           << std::ifstream(file("stereo.aac"), std::ios::binary).rdbuf();
  }
  FilePtr f = openConverted(file("joined.aac"));
  ASSERT_TRUE(f);
  ASSERT_EQ(af::channelCount(f.get()), 1u);
  std::vector<float> all = readAll(f.get());
  EXPECT_GE(all.size(), 48000u);
  EXPECT_LE(all.size(), 48000u + kAacPadding);
  EXPECT_NEAR(zeroCrossings(all, 1, 0, 12000, 36000), 500, 2);
}

} // namespace
