// The player's playlist on the main thread: adding files (titles, ids, lengths, refusals),
// removing and moving entries, the order of play, the queries on an empty player, and the
// analyzer thread's results reaching the tracks and the decks on the tick.
#include <gtest/gtest.h>

#include "player_fixture.h"

namespace velto::test {
namespace {

class PlayerPlaylistThreads : public PlayerTest {
protected:
  // Five one-second entries titled A to E.
  void addFive() {
    for (const char* name : {"A", "B", "C", "D", "E"}) {
      addTrack(std::string(name) + ".wav", constantFrames(kRate, 0.1f, 0.1f));
    }
  }
  std::string order() const {
    std::string titles;
    for (const PlayerTrack& t : player->playlist) titles += t.title;
    return titles;
  }
};

TEST_F(PlayerPlaylistThreads, AddNamesEntriesAfterTheirFilesAndNumbersThemInOrder) {
  const struct {
    const char* file;
    const char* title;
  } cases[] = {{"My Song.wav", "My Song"},
               {"a.b.c.wav", "a.b.c"},
               {".wav", ".wav"},
               {"plain", "plain"},
               {".hidden.wav", ".hidden"}};
  uint32_t expectedId = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    ASSERT_TRUE(fixtures::writeWav(file(c.file), 44100, 1, std::vector<float>(44100, 0.25f)));
    std::string error;
    EXPECT_EQ(player->add(file(c.file), error), expectedId++);
    const PlayerTrack& track = player->playlist.back();
    EXPECT_EQ(track.title, c.title);
    EXPECT_EQ(track.path, file(c.file));
    EXPECT_DOUBLE_EQ(track.seconds, 1.0);
    EXPECT_LT(track.crossfade, 0.0f) << "the player's crossfade applies";
  }
  EXPECT_EQ(player->playlist.size(), 5u);
  EXPECT_EQ(player->indexOf(3), 2);
  EXPECT_EQ(player->indexOf(0), -1);
  EXPECT_EQ(player->indexOf(99), -1);
}

TEST_F(PlayerPlaylistThreads, AddRefusesFilesTheReaderCannotOpenWithItsMessage) {
  ASSERT_TRUE(fixtures::writeText(file("text.wav"), "kein Klang\n"));
  ASSERT_TRUE(fixtures::writeWav(file("codec.wav"), 44100, 1, std::vector<float>(4410), 0x7777));
  for (auto [name, message] : {std::pair{"text.wav", "Datei nicht lesbar"},
                               {"missing.mp3", "Datei nicht lesbar"},
                               {"codec.wav", "Format nicht umwandelbar"}}) {
    std::string error;
    EXPECT_EQ(player->add(file(name), error), 0u) << name;
    EXPECT_EQ(error, message) << name;
  }
  EXPECT_TRUE(player->playlist.empty());
}

TEST_F(PlayerPlaylistThreads, RemoveAndMoveReorderWithinRangeOnly) {
  addFive();
  const struct {
    const char* what;
    std::function<void(Player&)> change;
    const char* after;
  } steps[] = {
      {"move first to fourth", [](Player& p) { p.move(0, 3); }, "BCDAE"},
      {"move last to second", [](Player& p) { p.move(4, 1); }, "BECDA"},
      {"move onto itself", [](Player& p) { p.move(2, 2); }, "BECDA"},
      {"move from past the end", [](Player& p) { p.move(5, 0); }, "BECDA"},
      {"move to past the end", [](Player& p) { p.move(0, 5); }, "BECDA"},
      {"move from -1", [](Player& p) { p.move(-1, 2); }, "BECDA"},
      {"remove second", [](Player& p) { p.remove(1); }, "BCDA"},
      {"remove past the end", [](Player& p) { p.remove(4); }, "BCDA"},
      {"remove -1", [](Player& p) { p.remove(-1); }, "BCDA"},
      {"remove last", [](Player& p) { p.remove(3); }, "BCD"},
  };
  for (const auto& step : steps) {
    step.change(*player);
    EXPECT_EQ(order(), step.after) << step.what;
  }
  // Ids stay with their entries.
  EXPECT_EQ(player->playlist[0].id, 2u);
  EXPECT_EQ(player->indexOf(4), 2);
}

TEST_F(PlayerPlaylistThreads, FollowingAndNextIndexWrapOnlyWithRepeat) {
  addFive();
  player->remove(4);
  player->remove(3); // A, B, C with ids 1 to 3
  EXPECT_EQ(player->following(1), 2u);
  EXPECT_EQ(player->following(3), 0u);
  EXPECT_EQ(player->following(7), 0u) << "not listed";
  EXPECT_EQ(player->nextIndex(), -1) << "no current entry";

  player->lastTrackId = 3; // the cursor on the last entry
  EXPECT_EQ(player->currentIndex(), 2);
  EXPECT_EQ(player->nextIndex(), -1);
  player->repeat = true;
  EXPECT_EQ(player->following(3), 1u);
  EXPECT_EQ(player->nextIndex(), 0);

  player->queuedNextId = 2; // asked for: overrides the order
  EXPECT_EQ(player->nextIndex(), 1);
  player->queuedNextId = 9;
  EXPECT_EQ(player->nextIndex(), -1);
}

TEST_F(PlayerPlaylistThreads, EmptyPlayerAnswersWithNothing) {
  EXPECT_EQ(player->currentIndex(), -1);
  EXPECT_EQ(player->nextIndex(), -1);
  EXPECT_EQ(player->position(), 0.0);
  EXPECT_EQ(player->duration(), 0.0);
  EXPECT_FALSE(player->transitioning());
  player->play(-1);
  player->play(0);
  player->next();
  player->prev();
  player->seek(5.0);
  player->pause();
  player->tick();
  EXPECT_EQ(player->commandGeneration[0] + player->commandGeneration[1], 0u);
  EXPECT_FALSE(player->paused.load());
  EXPECT_FALSE(player->startRequest.load());
}

TEST_F(PlayerPlaylistThreads, AnalysisResultsReachTheTracksAndTheirDecksOnTheTick) {
  std::vector<float> clicks = fixtures::beatTrack(false, 128.0, 20.0, int(kRate), 0.25);
  ASSERT_TRUE(fixtures::writeWav(file("clicks.wav"), kRate, 1, clicks));
  std::string error;
  const uint32_t clickId = player->add(file("clicks.wav"), error);
  ASSERT_NE(clickId, 0u);
  const uint32_t shortId = addTrack("short.wav", constantFrames(5 * kRate, 0.2f, 0.2f));
  addTrack("gone.wav", constantFrames(9 * kRate, 0.2f, 0.2f));
  player->remove(2); // its result is dropped
  player->load(1, player->playlist[0], 0.0);
  EXPECT_EQ(player->decks[1].beatPeriod.load(), 0.0) << "no grid before the analysis";

  ASSERT_TRUE(waitAnalyzed());
  ASSERT_EQ(player->playlist.size(), 2u);
  const PlayerTrack& click = player->playlist[size_t(player->indexOf(clickId))];
  EXPECT_TRUE(click.beats.valid);
  EXPECT_NEAR(click.beats.bpm, 128.0, 0.5);
  EXPECT_GT(click.beats.confidence, 0.1);
  const PlayerTrack& quiet = player->playlist[size_t(player->indexOf(shortId))];
  EXPECT_TRUE(quiet.analyzed);
  EXPECT_FALSE(quiet.beats.valid) << "shorter than 8 s";
  EXPECT_EQ(quiet.beats.bpm, 0.0);

  // The deck holding the analysed track got its grid in frames.
  const Deck& deck = player->decks[1];
  EXPECT_NEAR(deck.beatPeriod.load(), 60.0 / click.beats.bpm * kRate, 1e-6);
  EXPECT_NEAR(deck.firstBeat.load(), click.beats.firstBeat * kRate, 1e-6);
  EXPECT_NEAR(deck.lastBeat.load(), click.beats.lastBeat * kRate, 1e-6);
  // A beat-aligned start only with beat sync.
  EXPECT_EQ(player->startOf(click), 0.0);
  player->beatSync.store(true);
  EXPECT_EQ(player->startOf(click), click.beats.firstBeat);
  EXPECT_EQ(player->startOf(quiet), 0.0);
  // A track without a valid grid zeroes the deck's.
  player->setBeats(1, quiet);
  EXPECT_EQ(deck.beatPeriod.load(), 0.0);
}

} // namespace
} // namespace velto::test
