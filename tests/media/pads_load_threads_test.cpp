// Loading pads from real files: at once on the main thread, or decoded on the background queue
// and installed on the main queue, with stale results dropped and failures keeping the sound.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "media/pad_bank.h"
#include "platform/dispatch/dispatch.h"
#include "tests/platform/audiofile_fixtures.h"

namespace velto {
namespace {

namespace dispatch = platform::dispatch;
using namespace velto::fixtures;

class PadLoadThreads : public AudioFolderTest {
protected:
  void SetUp() override {
    AudioFolderTest::SetUp();
    dispatch::resetMainQueue();
    // Lengths tell the files apart: 0.1 s, 0.2 s and 0.3 s of tone at 48 kHz.
    ASSERT_TRUE(writeWav(file("kurz.wav"), 48000, 1, tones({440.0}, 0.5, 48000, 0.1)));
    ASSERT_TRUE(writeWav(file("mittel.wav"), 48000, 2, tones({330.0, 550.0}, 0.5, 48000, 0.2)));
    ASSERT_TRUE(writeWav(file("lang.wav"), 44100, 1, tones({220.0}, 0.5, 44100, 0.3)));
    ASSERT_TRUE(writeText(file("text.wav"), "kein Klang\n"));
  }
  void TearDown() override {
    EXPECT_TRUE(dispatch::waitBackgroundIdle(std::chrono::seconds(30)));
    dispatch::resetMainQueue();
  }

  // Runs the main queue until the pad's background load has landed.
  static bool settle(const PadBank::Pad& pad) {
    return dispatch::runMainQueueUntil([&pad] { return !pad.loading; }, std::chrono::seconds(30));
  }
  static uint64_t framesOn(const PadBank::Pad& pad) {
    const PadSample* sample = pad.sample.load();
    return sample == nullptr ? 0 : sample->frames;
  }
};

TEST_F(PadLoadThreads, LoadInstallsAtOnceOrKeepsTheSoundAndTellsWhy) {
  ASSERT_TRUE(writeWav(file("zero.wav"), 44100, 2, {}));
  ASSERT_TRUE(writeWav(file("codec.wav"), 44100, 1, std::vector<float>(4410), 0x7777));
  ASSERT_TRUE(encode(file("kurz.wav"), file("riesig.flac"), "-c:a flac"));
  ASSERT_TRUE(setFlacTotalSamples(file("riesig.flac"), 1201ull * 48000));
  PadBank bank;
  std::string error;
  ASSERT_TRUE(bank.load(2, file("mittel.wav"), error));
  const PadBank::Pad& pad = bank.pads[2];
  EXPECT_EQ(framesOn(pad), 9600u);
  EXPECT_EQ(pad.file, file("mittel.wav"));
  EXPECT_EQ(pad.name, "mittel");
  EXPECT_EQ(pad.loadToken, 1u);
  // The tone's channels come through: 330 Hz left, 550 Hz right, for 0.2 s.
  const std::vector<float>& decoded = pad.sample.load()->samples;
  EXPECT_NEAR(zeroCrossings(decoded, 2, 0, 0, 9600), 132, 2);
  EXPECT_NEAR(zeroCrossings(decoded, 2, 1, 0, 9600), 220, 2);

  const PadSample* sound = pad.sample.load();
  for (auto [name, message] : {std::pair{"text.wav", "Datei nicht lesbar"},
                               {"fehlt.wav", "Datei nicht lesbar"},
                               {"codec.wav", "Format nicht umwandelbar"},
                               {"riesig.flac", "länger als 20 min"},
                               {"zero.wav", "Datei ist leer"}}) {
    error.clear();
    EXPECT_FALSE(bank.load(2, file(name), error)) << name;
    EXPECT_EQ(error, message) << name;
    EXPECT_EQ(pad.error, message) << name;
    EXPECT_EQ(pad.sample.load(), sound) << name;
    EXPECT_EQ(pad.file, file("mittel.wav")) << name;
  }
  ASSERT_TRUE(bank.load(2, file("kurz.wav"), error));
  EXPECT_EQ(pad.error, "") << "the next good load clears the message";
}

TEST_F(PadLoadThreads, BackgroundLoadIsInstalledOnTheMainQueue) {
  PadBank bank;
  bank.pads[5].error = "Datei nicht lesbar";
  bank.loadAsync(5, file("lang.wav"));
  const PadBank::Pad& pad = bank.pads[5];
  EXPECT_TRUE(pad.loading);
  EXPECT_EQ(pad.error, "");
  ASSERT_TRUE(dispatch::waitBackgroundIdle(std::chrono::seconds(30)));
  EXPECT_EQ(pad.sample.load(), nullptr) << "decoded, but not yet installed";
  ASSERT_TRUE(settle(pad));
  EXPECT_EQ(framesOn(pad), 14400u) << "0.3 s at 44.1 kHz";
  EXPECT_EQ(pad.file, file("lang.wav"));
  EXPECT_EQ(pad.name, "lang");
}

// Whatever order the background decodes finish in, only the newest request lands; a failed one
// leaves the sound that was there.
TEST_F(PadLoadThreads, OnlyTheNewestRequestLands) {
  struct Case {
    const char* then; // what follows a background load of lang.wav
    const char* file;
    uint64_t frames;
    const char* error;
  } cases[] = {{"background kurz.wav", "kurz.wav", 4800, ""},
               {"load kurz.wav", "kurz.wav", 4800, ""},
               {"clear", "", 0, ""},
               {"background text.wav", "kurz.wav", 4800, "Datei nicht lesbar"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.then);
    PadBank bank;
    PadBank::Pad& pad = bank.pads[7];
    std::string error;
    const std::string then = c.then;
    if (then == "background text.wav") {
      ASSERT_TRUE(bank.load(7, file("kurz.wav"), error));
    }
    bank.loadAsync(7, file("lang.wav"));
    if (then == "background kurz.wav") bank.loadAsync(7, file("kurz.wav"));
    if (then == "load kurz.wav") {
      ASSERT_TRUE(bank.load(7, file("kurz.wav"), error));
    }
    if (then == "clear") bank.clear(7);
    if (then == "background text.wav") bank.loadAsync(7, file("text.wav"));
    ASSERT_TRUE(dispatch::waitBackgroundIdle(std::chrono::seconds(30)));
    dispatch::runMainQueueUntilIdle();
    EXPECT_FALSE(pad.loading);
    EXPECT_EQ(framesOn(pad), c.frames);
    EXPECT_EQ(pad.file, *c.file ? file(c.file) : "");
    EXPECT_EQ(pad.name, *c.file ? "kurz" : "");
    EXPECT_EQ(pad.error, c.error);
    EXPECT_EQ(bank.retired.size(), 0u) << "a dropped result never reached the pad";
  }
}

TEST_F(PadLoadThreads, ResultForAGoneBankIsDropped) {
  auto bank = std::make_unique<PadBank>();
  for (int index = 0; index < PadBank::kPads; ++index) bank->loadAsync(index, file("mittel.wav"));
  ASSERT_TRUE(dispatch::waitBackgroundIdle(std::chrono::seconds(30)));
  bank.reset();
  EXPECT_EQ(dispatch::runMainQueueUntilIdle(), size_t{PadBank::kPads})
      << "every result arrives and is let go";
}

} // namespace
} // namespace velto
