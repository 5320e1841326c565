#include "media/audio_file.h"

#include <gtest/gtest.h>

#include "tests/platform/audiofile_fixtures.h"

namespace {

using namespace velto::fixtures;
using velto::AudioFileReader;
using velto::decodeAudioFile;
using velto::PadSample;

class DecodeAudioFile : public AudioFolderTest {};

TEST_F(DecodeAudioFile, MonoIsCopiedToBothSidesAndSixChannelsGiveTheirFirstTwo) {
  std::vector<float> six(4800 * 6);
  for (size_t i = 0; i < six.size(); ++i) six[i] = float(i % 6 + 1) / 10.0f; // channel c: (c+1)/10
  ASSERT_TRUE(writeWav(file("six.wav"), 48000, 6, six));
  ASSERT_TRUE(writeWav(file("mono.wav"), 44100, 1, tones({440.0}, 0.5, 44100, 1.0)));
  PadSample sample;
  std::string error;
  ASSERT_TRUE(decodeAudioFile(file("six.wav"), sample, error));
  ASSERT_EQ(sample.frames, 4800u);
  for (size_t i = 0; i < sample.frames; i += 97) {
    EXPECT_EQ(sample.samples[2 * i], quantize16(0.1));
    EXPECT_EQ(sample.samples[2 * i + 1], quantize16(0.2));
  }
  ASSERT_TRUE(decodeAudioFile(file("mono.wav"), sample, error));
  EXPECT_EQ(sample.frames, 48000u) << "1 s at 44.1 kHz";
  ASSERT_EQ(sample.samples.size(), 96000u) << "the earlier sample is replaced";
  for (size_t i = 0; i < sample.frames; ++i)
    ASSERT_EQ(sample.samples[2 * i], sample.samples[2 * i + 1]);
  EXPECT_NEAR(zeroCrossings(sample.samples, 2, 0, 12000, 36000), 440, 2);
  EXPECT_TRUE(error.empty());
}

// A file's stated length decides before anything is decoded, and what actually decodes is held
// to the limit too: a header may understate the length or state none. Each file holds 4 s.
TEST_F(DecodeAudioFile, LengthLimitByHeaderAndByDecodedFrames) {
  ASSERT_TRUE(writeWav(file("tone.wav"), 44100, 1, tones({440.0}, 0.5, 44100, 4.0)));
  struct Case {
    uint64_t statedFrames; // 0: not stated
    double limitSeconds;
    bool accepted;
  } cases[] = {{1200ull * 44100, 1200.0, true},
               {1200ull * 44100 + 4410, 1200.0, false},
               {44100, 2.0, false},
               {0, 2.0, false},
               {0, 3.5, true /* codec slack */},
               {44100, 1200.0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.statedFrames) + " limit " + std::to_string(c.limitSeconds));
    ASSERT_TRUE(encode(file("tone.wav"), file("stated.flac"), "-c:a flac"));
    ASSERT_TRUE(setFlacTotalSamples(file("stated.flac"), c.statedFrames));
    PadSample sample{{0.25f, 0.5f}, 1};
    std::string error;
    EXPECT_EQ(decodeAudioFile(file("stated.flac"), sample, error, c.limitSeconds), c.accepted);
    if (c.accepted) {
      EXPECT_EQ(sample.frames, 4u * 48000);
    } else {
      EXPECT_EQ(error, "länger als 20 min");
      // Refused by the header: untouched. Refused while decoding: emptied, memory given back.
      EXPECT_EQ(sample.frames, c.statedFrames > c.limitSeconds * 44100 ? 1u : 0u);
      if (sample.frames == 0) {
        EXPECT_EQ(sample.samples.capacity(), 0u);
      }
    }
  }
}

TEST_F(DecodeAudioFile, FailuresGiveTheirMessages) {
  ASSERT_TRUE(writeText(file("text.wav"), "kein Klang\n"));
  ASSERT_TRUE(writeText(file("empty.mp3"), ""));
  ASSERT_TRUE(writeWav(file("zero.wav"), 44100, 2, {}));
  ASSERT_TRUE(writeWav(file("codec.wav"), 44100, 1, std::vector<float>(4410), 0x7777));
  std::filesystem::create_directory(file("folder.wav"));
  for (auto [name, message] : {std::pair{"text.wav", "Datei nicht lesbar"},
                               {"missing.flac", "Datei nicht lesbar"},
                               {"empty.mp3", "Datei nicht lesbar"},
                               {"folder.wav", "Datei nicht lesbar"},
                               {"codec.wav", "Format nicht umwandelbar"},
                               {"zero.wav", "Datei ist leer"}}) {
    PadSample sample;
    std::string error;
    EXPECT_FALSE(decodeAudioFile(file(name), sample, error)) << name;
    EXPECT_EQ(error, message) << name;
  }
}

class AudioFileReaderTest : public AudioFolderTest {
protected:
  // The frame number found right after a seek; -1 when nothing more comes.
  static int64_t frameAfterSeek(AudioFileReader& reader, double seconds) {
    float frame[2];
    if (!reader.seekSeconds(seconds)) return -2;
    return reader.read(frame, 1) == 1 ? counterValue(frame) : -1;
  }
};

TEST_F(AudioFileReaderTest, SeeksAreClampedToTheKnownEndOnly) {
  ASSERT_TRUE(writeWav(file("source.wav"), 48000, 2, frameCounter(96000)));
  ASSERT_TRUE(encode(file("source.wav"), file("stated.flac"), "-c:a flac"));
  ASSERT_TRUE(encode(file("source.wav"), file("unstated.flac"), "-c:a flac"));
  ASSERT_TRUE(setFlacTotalSamples(file("unstated.flac"), 0));
  for (const char* name : {"stated.flac", "unstated.flac"}) {
    SCOPED_TRACE(name);
    AudioFileReader reader;
    std::string error;
    ASSERT_TRUE(reader.open(file(name), error));
    EXPECT_EQ(reader.channels, 2u);
    EXPECT_EQ(reader.fileRate, 48000.0);
    EXPECT_EQ(reader.fileFrames, name == std::string("stated.flac") ? 96000 : 0);
    // An unknown length is not an end at frame 0.
    EXPECT_EQ(frameAfterSeek(reader, 1.5), 72000);
    EXPECT_EQ(frameAfterSeek(reader, -5.0), 0);
    EXPECT_EQ(frameAfterSeek(reader, 12345.9 / 48000), 12345) << "truncated toward zero";
    EXPECT_EQ(frameAfterSeek(reader, 99.0), -1) << "past the end";
    EXPECT_EQ(frameAfterSeek(reader, 0.5), 24000);
    EXPECT_FALSE(reader.seekSeconds(std::nan("")));
  }
}

TEST_F(AudioFileReaderTest, ClosedOrFailedReaderReadsNothing) {
  ASSERT_TRUE(writeWav(file("stereo.wav"), 48000, 2, frameCounter(4800)));
  ASSERT_TRUE(writeWav(file("mono.wav"), 22050, 1, tones({440.0}, 0.5, 22050, 1.0)));
  AudioFileReader reader;
  std::string error;
  float frame[2];
  EXPECT_EQ(reader.read(frame, 1), 0u);
  EXPECT_FALSE(reader.seekSeconds(0.0));
  ASSERT_TRUE(reader.open(file("stereo.wav"), error));
  ASSERT_TRUE(reader.open(file("mono.wav"), error)) << "a second open replaces the first file";
  EXPECT_EQ(reader.channels, 1u);
  EXPECT_EQ(reader.fileRate, 22050.0);
  EXPECT_EQ(reader.fileFrames, 22050);
  EXPECT_EQ(reader.read(frame, 1), 1u);
  reader.close();
  EXPECT_EQ(reader.file, nullptr);
  EXPECT_EQ(reader.read(frame, 1), 0u);
  ASSERT_TRUE(reader.open(file("stereo.wav"), error));
  EXPECT_FALSE(reader.open(file("missing.wav"), error));
  EXPECT_EQ(error, "Datei nicht lesbar");
  EXPECT_EQ(reader.file, nullptr) << "a failed open leaves no earlier file behind";
  EXPECT_FALSE(reader.seekSeconds(0.0));
}

} // namespace
