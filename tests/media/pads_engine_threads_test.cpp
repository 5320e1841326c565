// The pad bank inside the engine: pads render into the "Pads" strip on the driver clock device's
// cycle, sample for sample under the manual clock, and keep playing while loads land and
// samples are retired with the clock running in real time.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "platform/audio/layer/manual_clock.h"
#include "platform/dispatch/dispatch.h"
#include "tests/media/pads_fixture.h"
#include "tests/platform/audiofile_fixtures.h"
#include "tests/support/audio_test_system.h"

namespace velto {
namespace {

namespace audio = platform::audio;
namespace dispatch = platform::dispatch;
using fixtures::tones;
using fixtures::writeWav;
using test::smoothstep;

constexpr uint32_t kCycle = 128; // the engine's default buffer size, the clock device's too

class PadsEngineThreads : public ::testing::Test {
protected:
  void SetUp() override { dispatch::resetMainQueue(); }
  void TearDown() override {
    engine.reset();
    EXPECT_TRUE(dispatch::waitBackgroundIdle(std::chrono::seconds(30)));
    dispatch::resetMainQueue();
    system.reset();
  }

  void start(audio::ClockMode clock = audio::ClockMode::Manual) {
    test::AudioTestOptions options;
    options.clock = clock;
    system = std::make_unique<test::AudioTestSystem>(options);
    ASSERT_TRUE(system->started());
    engine = std::make_unique<Engine>(true);
    ASSERT_NE(engine->clockLink.device, 0u) << "the driver's clock device paces the pads";
    ASSERT_FALSE(files.path.empty());
    // Two stereo tones, 0.25 s and 0.5 s at 48 kHz: decoded exactly as their 16-bit values.
    ASSERT_TRUE(writeWav(file("a.wav"), 48000, 2, tones({440.0, 660.0}, 0.5, 48000, 0.25)));
    ASSERT_TRUE(writeWav(file("b.wav"), 48000, 2, tones({550.0, 770.0}, 0.4, 48000, 0.5)));
    ASSERT_TRUE(writeWav(file("c.wav"), 44100, 1, tones({550.0}, 0.4, 44100, 0.3)));
  }
  std::string file(const std::string& name) const { return files.path + "/" + name; }

  // What the pads strip sent to hardware output 1 (nothing reads that ring in these tests).
  std::vector<float> padsOutput() {
    StereoRing& ring = *engine->padsStrip.rings[0];
    std::vector<float> out(size_t{ring.capacity()} * 2);
    out.resize(size_t{ring.read(out.data(), ring.capacity())} * 2);
    return out;
  }

  fixtures::TempFolder files;
  std::unique_ptr<test::AudioTestSystem> system;
  std::unique_ptr<Engine> engine;
};

TEST_F(PadsEngineThreads, PadPlaysIntoThePadsStripFromTheNextClockCycleSampleForSample) {
  start();
  std::string error;
  ASSERT_TRUE(engine->pads.load(0, file("a.wav"), error)) << error;
  const PadSample& sample = *engine->pads.pads[0].sample.load();
  ASSERT_EQ(sample.frames, 12000u);
  engine->pads.pads[0].gain.store(0.5f);
  ASSERT_TRUE(audio::runCycles(3));
  engine->pads.play(0, true);
  ASSERT_TRUE(audio::runCycles(100));

  const std::vector<float> out = padsOutput();
  ASSERT_EQ(out.size(), size_t{103} * kCycle * 2);
  const size_t begin = 3 * kCycle;
  for (size_t n = 0; n < begin; ++n) ASSERT_EQ(out[2 * n], 0.0f) << n;
  for (size_t n = 0; n < sample.frames; ++n) {
    ASSERT_EQ(out[2 * (begin + n)], 0.5f * sample.samples[2 * n]) << n;
    ASSERT_EQ(out[2 * (begin + n) + 1], 0.5f * sample.samples[2 * n + 1]) << n;
  }
  for (size_t n = begin + sample.frames; n < out.size() / 2; ++n) ASSERT_EQ(out[2 * n], 0.0f);
  EXPECT_FALSE(engine->pads.pads[0].playing.load()) << "the one-shot ended by itself";
}

TEST_F(PadsEngineThreads, ReplacedSampleGoesSilentAtOnceAndIsFreedTwoSecondsLater) {
  start();
  std::string error;
  ASSERT_TRUE(engine->pads.load(0, file("a.wav"), error)) << error;
  engine->pads.pads[0].loop.store(true);
  engine->pads.play(0, true);
  ASSERT_TRUE(audio::runCycles(10));
  ASSERT_TRUE(engine->pads.load(0, file("b.wav"), error)) << error;
  ASSERT_EQ(engine->pads.retired.size(), 1u);
  const double retiredAt = engine->pads.retired[0].time;
  padsOutput();
  ASSERT_TRUE(audio::runCycles(1));
  const std::vector<float> after = padsOutput();
  ASSERT_EQ(after.size(), size_t{kCycle} * 2);
  for (float x : after) ASSERT_EQ(x, 0.0f);
  EXPECT_FALSE(engine->pads.pads[0].playing.load());

  // The old sample stays while the clock keeps running, until it is two seconds old.
  while (PadBank::now() - retiredAt < 1.8) {
    ASSERT_TRUE(audio::runCycles(4));
    engine->pads.collect();
    ASSERT_EQ(engine->pads.retired.size(), 1u) << PadBank::now() - retiredAt;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  while (PadBank::now() - retiredAt < 2.0)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  engine->pads.collect();
  EXPECT_EQ(engine->pads.retired.size(), 0u);
}

// With the clock device on its own real-time thread, loads land, pads start and stop and old
// samples are retired meanwhile; the strip's meter shows pad 1 (440 Hz at 0.5) all along under
// the others (550 Hz, at most 0.4 each), whose peaks add to it over a window of many beats.
TEST_F(PadsEngineThreads, LoadsLandWhileTheClockRunsInRealTime) {
  start(audio::ClockMode::RealTime);
  std::string error;
  ASSERT_TRUE(engine->pads.load(0, file("a.wav"), error)) << error;
  engine->pads.pads[0].loop.store(true);
  engine->pads.play(0, true);
  int heard = 0;
  for (int round = 0; round < 12; ++round) {
    const int pad = 1 + round % 4;
    engine->pads.loadAsync(pad, file(round % 2 == 0 ? "b.wav" : "c.wav"));
    ASSERT_TRUE(dispatch::runMainQueueUntil([&] { return !engine->pads.pads[pad].loading; },
                                            std::chrono::seconds(30)));
    engine->pads.toggle(pad);
    engine->pads.pads[pad].gain.store(0.25f * float(round % 3));
    engine->padsStrip.meter.takeLeft();
    dispatch::runMainQueueFor(std::chrono::milliseconds(100));
    const float peak = engine->padsStrip.meter.takeLeft();
    EXPECT_LE(peak, 0.5f + 4 * 0.4f * 0.5f + 0.01f);
    heard += peak >= 0.45f;
  }
  EXPECT_GE(heard, 10) << "pad 1 loops at 0.5 all along (a loaded machine may miss a cycle)";
  engine->pads.stopAll();
  for (int pad = 0; pad < 5; ++pad) EXPECT_NE(engine->pads.pads[pad].sample.load(), nullptr);
  EXPECT_FALSE(engine->pads.retired.empty()) << "the latest replaced samples wait to be freed";
}

} // namespace
} // namespace velto
