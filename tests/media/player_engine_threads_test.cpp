// The player inside the engine: tracks play into the "Player" strip on the driver clock device's
// cycle, sample for sample under the manual clock, started by the engine's own 50 ms tick, and
// hand over to the next track; with the clock running in real time the reader thread keeps
// ahead of the audio thread.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "platform/audio/layer/manual_clock.h"
#include "platform/dispatch/dispatch.h"
#include "tests/media/player_fixture.h"
#include "tests/platform/audiofile_fixtures.h"
#include "tests/support/audio_test_system.h"

namespace velto {
namespace {

namespace audio = platform::audio;
namespace dispatch = platform::dispatch;
using fixtures::counterValue;
using fixtures::frameCounter;

constexpr uint32_t kCycle = 128; // the engine's default buffer size, the clock device's too

class PlayerEngineThreads : public ::testing::Test {
protected:
  void SetUp() override { dispatch::resetMainQueue(); }
  void TearDown() override {
    engine.reset();
    dispatch::resetMainQueue();
    system.reset();
  }

  void start(audio::ClockMode clock) {
    test::AudioTestOptions options;
    options.clock = clock;
    system = std::make_unique<test::AudioTestSystem>(options);
    ASSERT_TRUE(system->started());
    engine = std::make_unique<Engine>(true);
    ASSERT_NE(engine->clockLink.device, 0u) << "the driver's clock device paces the player";
    ASSERT_FALSE(files.path.empty());
  }
  std::string file(const std::string& name) const { return files.path + "/" + name; }
  Player& player() { return engine->player; }

  // Moves what the strip sent towards hardware output 1 into `out` (no bus reads it here).
  void drainStrip() {
    StereoRing& ring = *engine->playerStrip.rings[0];
    std::vector<float> chunk(size_t{ring.capacity()} * 2);
    chunk.resize(size_t{ring.read(chunk.data(), ring.capacity())} * 2);
    out.insert(out.end(), chunk.begin(), chunk.end());
  }

  // One clock cycle once the playing deck holds it, then whatever the main queue has due
  // (the engine's tick among it).
  void cycle() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      const Deck& deck = player().decks[player().activeDeck.load()];
      const bool waiting = deck.state.load() != Player::kIdle && deck.ready.load() &&
                           !deck.ended.load() && deck.ring->fill() < kCycle;
      if (!waiting) break;
      ASSERT_LT(std::chrono::steady_clock::now(), deadline);
      dispatch::runMainQueueFor(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(audio::runCycles(1));
    dispatch::runMainQueueUntilIdle();
    drainStrip();
  }

  fixtures::TempFolder files;
  std::unique_ptr<test::AudioTestSystem> system;
  std::unique_ptr<Engine> engine;
  std::vector<float> out;
};

TEST_F(PlayerEngineThreads, TrackPlaysIntoThePlayerStripSampleForSampleAndHandsOver) {
  start(audio::ClockMode::Manual);
  ASSERT_TRUE(fixtures::writeWav(file("a.wav"), 48000, 2, frameCounter(144000)));
  ASSERT_TRUE(
      fixtures::writeWav(file("b.wav"), 48000, 2, test::constantFrames(48000, 0.25f, 0.25f)));
  std::string error;
  ASSERT_NE(player().add(file("a.wav"), error), 0u) << error;
  ASSERT_NE(player().add(file("b.wav"), error), 0u) << error;
  player().crossfade.store(0.0f);

  player().play(0);
  // The engine's tick starts the track once its deck is ready; cycles run meanwhile.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!player().playing.load()) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    cycle();
    if (HasFatalFailure()) return;
    dispatch::runMainQueueFor(std::chrono::milliseconds(2));
  }
  // In real time the tick preloads and arms the next track long before this one ends; the
  // manual clock runs far faster, so wait for it here, with a cycle whenever the deck's flush
  // waits for one.
  const Deck& next = player().decks[1 - player().activeDeck.load()];
  while (!next.armed.load()) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    if (next.flushGeneration.load() != next.flushAck.load()) cycle();
    if (HasFatalFailure()) return;
    dispatch::runMainQueueFor(std::chrono::milliseconds(2));
  }
  while (player().playing.load() && out.size() / 2 < 6 * 48000) {
    cycle();
    if (HasFatalFailure()) return;
  }
  ASSERT_FALSE(player().playing.load()) << "both tracks played out";

  // A from its first frame to the block in which it ends, then B alone.
  const int64_t first = test::firstNonZero(out, 1);
  ASSERT_GE(first, 0);
  EXPECT_EQ(first % kCycle, 0) << "playback starts with a clock cycle";
  const size_t start = size_t(first);
  for (size_t j = 0; j < 143872; ++j) {
    ASSERT_EQ(counterValue(&out[2 * (start + j)]), int64_t(j)) << j;
  }
  const float b = fixtures::quantize16(0.25);
  EXPECT_EQ(test::leftAt(out, start + 143872 + 480), b);
  EXPECT_EQ(test::leftAt(out, start + 143872 + 47999), b);
  EXPECT_EQ(test::firstNonZero(out, 0, start + 143872 + 48000), -1);
  EXPECT_EQ(player().decks[0].underruns.load() + player().decks[1].underruns.load(), 0u);
}

TEST_F(PlayerEngineThreads, ReaderKeepsAheadOfTheClockInRealTime) {
  start(audio::ClockMode::RealTime);
  ASSERT_TRUE(fixtures::writeWav(file("tone.wav"), 44100, 2,
                                 fixtures::tones({440.0, 660.0}, 0.5, 44100, 3.0)));
  ASSERT_TRUE(
      fixtures::writeWav(file("next.wav"), 44100, 1, fixtures::tones({550.0}, 0.5, 44100, 3.0)));
  std::string error;
  ASSERT_NE(player().add(file("tone.wav"), error), 0u) << error;
  ASSERT_NE(player().add(file("next.wav"), error), 0u) << error;
  player().crossfade.store(1.0f);
  player().play(0);
  ASSERT_TRUE(dispatch::runMainQueueUntil([&] { return player().playing.load(); },
                                          std::chrono::seconds(10)));
  // Through the crossfade at 2 s and until the second track plays alone, however fast the
  // loaded machine lets the clock run.
  const uint32_t second = player().playlist[1].id;
  float quietest = 1.0f;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    engine->playerStrip.meter.takeLeft();
    dispatch::runMainQueueFor(std::chrono::milliseconds(100));
    quietest = std::min(quietest, engine->playerStrip.meter.takeLeft());
    const Deck& deck = player().decks[player().activeDeck.load()];
    if (deck.trackId.load() == second && !player().transitioning()) break;
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
  }
  EXPECT_GT(quietest, 0.3f) << "sound all along, through the crossfade";
  EXPECT_EQ(player().decks[0].underruns.load() + player().decks[1].underruns.load(), 0u);
}

} // namespace
} // namespace velto
