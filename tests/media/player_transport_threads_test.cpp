// The player's transport as the API and the window use it: play with and without an entry,
// pause and resume, next and prev with and without repeat, seek, stop, the end of the playlist,
// and entries removed while they play. The tick and the renderer run as the engine runs them.
#include <gtest/gtest.h>

#include "player_fixture.h"

namespace velto::test {
namespace {

class PlayerTransportThreads : public PlayerTest {
protected:
  // `count` entries of `seconds` each; entry i plays the constant 0.1 × (i + 1). Crossfades
  // of 1 s unless a test sets another.
  void addEntries(int count, double seconds) {
    player->crossfade.store(1.0f);
    for (int i = 0; i < count; ++i) {
      const float level = 0.1f * float(i + 1);
      ids.push_back(addTrack(std::string("t").append(std::to_string(i)).append(".wav"),
                             constantFrames(size_t(seconds * kRate), level, level)));
    }
  }
  uint32_t sentCommands() const {
    return player->commandGeneration[0] + player->commandGeneration[1];
  }
  // Renders until the crossfade into another deck has begun; the id it fades into.
  uint32_t crossfadeTarget(std::vector<float>& out, uint64_t within = kRate) {
    if (!renderUntil([this] { return player->transitioning(); }, 128, out, within)) return 0;
    return active().trackId.load();
  }
  void renderToRest(std::vector<float>& out) {
    ASSERT_TRUE(
        renderUntil([this] { return !player->playing.load(); }, 128, out, uint64_t{kRate} * 30));
  }

  // What entry i's constant decodes to.
  static float level(int i) { return fixtures::quantize16(0.1 * (i + 1)); }

  std::vector<uint32_t> ids;
  std::vector<float> out;
};

TEST_F(PlayerTransportThreads, PlayWithoutAnEntryStartsResumesOrDoesNothing) {
  addEntries(3, 4.0);
  startPlaying(-1, 128, out); // at rest, no current entry: the first
  EXPECT_EQ(active().trackId.load(), ids[0]);
  EXPECT_EQ(player->currentIndex(), 0);
  EXPECT_EQ(leftAt(out, out.size() / 2 - 1), level(0));

  ASSERT_TRUE(settle());
  const uint32_t sent = sentCommands();
  player->play(-1); // while playing: nothing
  EXPECT_EQ(sentCommands(), sent);
  EXPECT_EQ(player->queuedNextId, 0u);

  player->pause();
  EXPECT_TRUE(player->paused.load());
  player->play(-1); // while paused: resumes only
  EXPECT_FALSE(player->paused.load());
  EXPECT_EQ(sentCommands(), sent);
  EXPECT_EQ(player->queuedNextId, 0u);
  renderFrames(kRate / 2, 128, out);
  EXPECT_EQ(active().trackId.load(), ids[0]);
  EXPECT_EQ(leftAt(out, out.size() / 2 - 1), level(0));
}

TEST_F(PlayerTransportThreads, NextAtRestMovesTheCursorAndPlayStartsThere) {
  addEntries(3, 2.0);
  player->pause();
  EXPECT_FALSE(player->paused.load()) << "nothing to pause";
  player->next();
  EXPECT_EQ(player->currentIndex(), -1) << "no current entry, no next";
  player->lastTrackId = ids[0];
  player->next();
  EXPECT_EQ(player->currentIndex(), 1);
  EXPECT_EQ(sentCommands(), 0u);
  EXPECT_FALSE(player->playing.load());
  player->next();
  EXPECT_EQ(player->currentIndex(), 2);
  startPlaying(-1, 128, out);
  EXPECT_EQ(active().trackId.load(), ids[2]);
  EXPECT_EQ(leftAt(out, out.size() / 2 - 1), level(2));
}

TEST_F(PlayerTransportThreads, PlayAnEntryWhilePlayingReplacesThePreloadedOneAndCrossfadesAtOnce) {
  addEntries(3, 10.0);
  startPlaying(0, 128, out);
  ASSERT_TRUE(waitFor([this] { return inactive().armed.load(); }));
  EXPECT_EQ(inactive().trackId.load(), ids[1]) << "the following entry is preloaded";
  EXPECT_EQ(player->nextIndex(), 1);

  player->play(2);
  EXPECT_EQ(player->nextIndex(), 2);
  EXPECT_EQ(crossfadeTarget(out, kRate / 2), ids[2]) << "at once, not at the end";
  EXPECT_LT(player->position(), 0.5);
  EXPECT_EQ(player->queuedNextId, 0u);
  EXPECT_EQ(player->currentIndex(), 2);
  EXPECT_FALSE(player->skipRequest.load());
}

TEST_F(PlayerTransportThreads, NextWhilePlayingCrossfadesToTheFollowingEntry) {
  addEntries(3, 10.0);
  startPlaying(1, 128, out);
  renderFrames(kRate / 4, 128, out);
  player->next();
  EXPECT_EQ(crossfadeTarget(out, kRate / 2), ids[2]);
  // The crossfade of 8 s runs; a seek is ignored meanwhile.
  ASSERT_TRUE(settle());
  const uint32_t sent = sentCommands();
  player->seek(1.0);
  EXPECT_EQ(sentCommands(), sent);
  EXPECT_TRUE(active().ready.load());
}

// A stop between the tick's skip and the renderer's next block: the skip is dropped, so the next
// start plays its track instead of crossfading away from it at once.
TEST_F(PlayerTransportThreads, StopDropsASkipTheRendererHasNotTaken) {
  addEntries(3, 10.0);
  startPlaying(0, 128, out);
  ASSERT_TRUE(waitFor([this] { return inactive().armed.load(); }));
  player->next();
  ASSERT_TRUE(waitFor([this] { return player->skipRequest.load(); }));
  player->stop();
  renderToRest(out);
  EXPECT_FALSE(player->skipRequest.load());

  startPlaying(0, 128, out);
  ASSERT_TRUE(waitFor([this] { return inactive().armed.load(); }));
  renderFrames(kRate, 128, out);
  EXPECT_FALSE(player->transitioning());
  EXPECT_EQ(active().trackId.load(), ids[0]);
}

TEST_F(PlayerTransportThreads, PrevRestartsAfterThreeSecondsElseGoesBack) {
  addEntries(3, 8.0);
  player->crossfade.store(1.0f);
  // More than 3 s into the second entry: back to its start.
  startPlaying(1, 128, out);
  renderFrames(uint64_t(3.5 * kRate), 128, out);
  player->prev();
  EXPECT_TRUE(renderUntil([this] { return player->position() < 0.1; }, 128, out, kRate));
  EXPECT_EQ(active().trackId.load(), ids[1]);
  EXPECT_FALSE(player->transitioning());
  player->stop();
  renderToRest(out);

  // 2 s into the first entry: back to the first entry again, or with repeat to the last.
  for (bool repeat : {false, true}) {
    SCOPED_TRACE(repeat);
    player->repeat = repeat;
    startPlaying(0, 128, out);
    renderFrames(2 * kRate, 128, out);
    player->prev();
    EXPECT_EQ(crossfadeTarget(out, kRate / 2), repeat ? ids[2] : ids[0]);
    player->stop();
    renderToRest(out);
  }

  // At rest only the cursor moves.
  player->repeat = false;
  player->lastTrackId = ids[2];
  const uint32_t sent = sentCommands();
  player->prev();
  EXPECT_EQ(player->currentIndex(), 1);
  EXPECT_EQ(sentCommands(), sent);
}

TEST_F(PlayerTransportThreads, PlaybackEndsAfterTheLastEntryUnlessRepeatIsOn) {
  addEntries(3, 2.0);
  player->crossfade.store(0.5f);
  startPlaying(2, 128, out);
  EXPECT_EQ(player->nextIndex(), -1);
  renderToRest(out);
  EXPECT_EQ(inactive().trackId.load(), 0u) << "nothing was preloaded";
  EXPECT_EQ(player->currentIndex(), 2);

  player->repeat = true;
  startPlaying(2, 128, out);
  EXPECT_EQ(player->nextIndex(), 0);
  ASSERT_TRUE(waitFor([this] { return inactive().armed.load(); }));
  EXPECT_EQ(inactive().trackId.load(), ids[0]) << "the first entry follows";
  EXPECT_EQ(crossfadeTarget(out, 2 * kRate), ids[0]);
  // It began with the first block from 1.5 s before the end on.
  EXPECT_EQ(inactive().position.load(), (72000u + 127) / 128 * 128 + 128);
}

TEST_F(PlayerTransportThreads, RemovingThePlayingEntryLetsItPlayOut) {
  addEntries(2, 3.0);
  player->crossfade.store(1.0f);
  startPlaying(1, 128, out);
  player->remove(1);
  EXPECT_EQ(player->currentIndex(), -1);
  EXPECT_EQ(player->nextIndex(), -1);
  renderToRest(out);
  // It played its three seconds to the end and nothing followed it.
  EXPECT_EQ(inactive().trackId.load(), 0u);
  size_t played = 0;
  for (size_t i = 0; i < out.size() / 2; ++i) played += leftAt(out, i) == level(1);
  EXPECT_EQ(played, 3 * kRate);
}

// Asking for another entry while a removed entry plays: the asked-for entry follows at once.
TEST_F(PlayerTransportThreads, PlayingAnEntryWhileARemovedOnePlaysCrossfadesToIt) {
  addEntries(3, 10.0);
  startPlaying(0, 128, out);
  ASSERT_TRUE(waitFor([this] { return inactive().armed.load(); }));
  player->remove(0);
  player->play(1); // now the third file
  EXPECT_EQ(crossfadeTarget(out, kRate / 2), ids[2]);
  EXPECT_EQ(player->currentIndex(), 1);
}

TEST_F(PlayerTransportThreads, PositionAndDurationFollowTheActiveDeck) {
  addEntries(2, 3.0);
  player->crossfade.store(1.0f);
  player->lastTrackId = ids[1];
  EXPECT_DOUBLE_EQ(player->duration(), 3.0) << "the entry's length before it plays";
  startPlaying(0, 128, out);
  renderFrames(kRate, 128, out);
  EXPECT_DOUBLE_EQ(player->position(), double(kRate + 128) / kRate);
  EXPECT_DOUBLE_EQ(player->duration(), 3.0);
  EXPECT_EQ(crossfadeTarget(out, 2 * kRate), ids[1]);
  EXPECT_DOUBLE_EQ(player->position(), 128.0 / kRate) << "the incoming deck";
}

} // namespace
} // namespace velto::test
