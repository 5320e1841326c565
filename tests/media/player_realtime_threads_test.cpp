// Real-time safety of the player's audio-thread side: every heap allocation and every lock, wait
// or sleep made while Player::render runs is counted, through starts, crossfades at the end and
// on a skip, flushes after seeks, pause and stop ramps, underruns and tracks that end early;
// the count must be 0. The counters see only the thread while it renders. Sanitizers interpose
// the same functions: there the paths still run (checked for memory errors and races), but
// nothing is counted.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "player_fixture.h"
#include "tests/support/realtime/realtime_probe.h"
#include "thread_hold.h"

namespace velto::test {
namespace {

class PlayerRealtimeThreads : public PlayerTest {
protected:
  void renderInto(float* interleaved, uint32_t frames) override {
    setRealtimeFlag(true);
    player->render(interleaved, frames);
    setRealtimeFlag(false);
  }
};

TEST_F(PlayerRealtimeThreads, CountingSeesAllocationsAndLocksOnAFlaggedThread) {
  if (!kRealtimeCounting) GTEST_SKIP() << "the sanitizer interposes allocation and locking";
  EXPECT_TRUE(realtimeProbeWorks());
}

TEST_F(PlayerRealtimeThreads, RenderNeitherAllocatesNorLocksOnAnyPath) {
  // A player made here, to tell its reader and analyzer threads from the process's others.
  player.reset();
  const std::vector<pid_t> playerThreads =
      threadsStartedBy([this] { player = std::make_unique<Player>(); });
  ASSERT_EQ(playerThreads.size(), 2u);

  const uint64_t allocations = realtimeAllocations();
  const uint64_t locks = realtimeLocks();

  // A stereo track, a mono one at 44.1 kHz, a six-channel one and one that cannot be read.
  addTrack("a.wav", constantFrames(2 * kRate, 0.3f, 0.2f));
  ASSERT_TRUE(
      fixtures::writeWav(file("b.wav"), 44100, 1, fixtures::tones({440.0}, 0.4, 44100, 3.0)));
  ASSERT_TRUE(
      fixtures::writeWav(file("c.wav"), kRate, 6, std::vector<float>(6 * 12 * kRate, 0.1f)));
  std::string error;
  ASSERT_NE(player->add(file("b.wav"), error), 0u) << error;
  ASSERT_NE(player->add(file("c.wav"), error), 0u) << error;
  addTrack("d.wav", constantFrames(kRate, 0.1f, 0.1f));
  ASSERT_TRUE(fixtures::writeText(file("d.wav"), "kein Klang"));
  player->crossfade.store(0.5f);

  std::vector<float> out;
  startPlaying(0, 128, out);
  renderFrames(kRate, 128, out);
  player->seek(0.5); // flush and refill
  renderFrames(kRate / 2, 256, out);
  ASSERT_TRUE(renderUntil([this] { return player->transitioning(); }, 128, out, 3 * kRate));
  renderFrames(kRate, 512, out); // through the crossfade into b
  player->pause();
  renderFrames(kRate / 4, 128, out); // pause ramp and hold
  player->play(-1);
  renderFrames(kRate / 4, 128, out);
  player->next(); // skip into c
  ASSERT_TRUE(renderUntil([this] { return player->transitioning(); }, 64, out, kRate));
  renderFrames(kRate, 4096, out);
  {
    // With its reader held nothing refills the deck, whose ring runs dry within its capacity
    // while c still has seconds to go: underruns. No tick meanwhile, as it takes a lock the
    // held analyzer may have.
    ThreadHold hold(playerThreads);
    ASSERT_TRUE(hold.holding());
    block.assign(size_t{4096} * 2, 0.0f);
    for (uint32_t i = 0; i <= Deck::kRingFrames / 4096 && active().underruns.load() == 0; ++i) {
      renderInto(block.data(), 4096);
    }
    EXPECT_FALSE(active().ended.load());
  }
  player->stop();
  ASSERT_TRUE(renderUntil([this] { return !player->playing.load(); }, 32, out, kRate));
  player->play(3); // unreadable: ends at once
  renderFrames(kRate / 10, 128, out);
  EXPECT_FALSE(player->playing.load());
  EXPECT_EQ(active().trackId.load(), player->playlist[3].id);

  EXPECT_GT(player->decks[0].underruns.load() + player->decks[1].underruns.load(), 0u);
  if (kRealtimeCounting) {
    EXPECT_EQ(realtimeAllocations() - allocations, 0u);
    EXPECT_EQ(realtimeLocks() - locks, 0u);
  }
}

} // namespace
} // namespace velto::test
