// The Player tab on a live engine: the table's rows, icons and add list change the playlist,
// the transport buttons, switches and crossfade slider act on the player, the panel shows the
// current and following track with their times, and the player folder is made on first use.
#include "ui/player_tab.h"

#include "platform/audio/manual_clock.h"
#include "platform/dispatch/main_queue.h"
#include "tests/platform/audiofile_fixtures.h"
#include "tests/support/ui/ui_harness.h"
#include "ui/icons.h"
#include "ui/window.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace velto {
namespace {

namespace fs = std::filesystem;

TEST(PlayerTime, ShowsWholeSecondsOfNonNegativeTimes) {
  const struct {
    double seconds;
    const char* text;
  } cases[] = {
      {0.0, "0:00"},
      {59.99, "0:59"},
      {61.5, "1:01"},
      {3600.0, "60:00"},
      {-4.0, "0:00"},
      {std::nan(""), "0:00"},
      {1e300, "35791394:07"}, // the largest int of seconds
      {std::numeric_limits<double>::infinity(), "35791394:07"},
  };
  for (const auto& c : cases) {
    char text[16];
    formatTime(text, c.seconds);
    EXPECT_STREQ(text, c.text) << c.seconds;
  }
}

TEST(ShortPath, AbbreviatesALeadingHome) {
  const char* saved = std::getenv("HOME");
  const std::string keep = saved ? saved : "";
  const struct {
    const char* home; // null: unset
    const char* path;
    const char* shown;
  } cases[] = {
      {"/Users/ann", "/Users/ann/Music", "~/Music"},
      {"/Users/ann", "/Users/ann", "~"},
      {"/Users/ann", "/Users/ann2/x", "~2/x"},
      {"/Users/ann", "/Volumes/x", "/Volumes/x"},
      {"/Users/ann", "/Users", "/Users"},
      {nullptr, "/Users/ann/Music", "/Users/ann/Music"},
      {"", "/Users/ann/Music", "/Users/ann/Music"},
  };
  for (const auto& c : cases) {
    if (c.home)
      setenv("HOME", c.home, 1);
    else
      unsetenv("HOME");
    EXPECT_EQ(shortPath(c.path), c.shown) << (c.home ? c.home : "(unset)") << " " << c.path;
  }
  if (saved)
    setenv("HOME", keep.c_str(), 1);
  else
    unsetenv("HOME");
}

std::string gRevealed;
bool gRevealedExisted = false;
void reveal(const std::string& path) {
  gRevealed = path;
  gRevealedExisted = fs::is_directory(path);
}

const ImVec2 kNowhere{2.0f, 795.0f}; // window background below the panels

class PlayerTabTest : public test::UiEngineTest {
protected:
  void SetUp() override {
    test::UiEngineTest::SetUp();
    selectTab(kTabPlayer);
    ui->frames(2);
  }
  void TearDown() override {
    gRevealHandler = nullptr;
    test::UiEngineTest::TearDown();
  }

public:
  Player& player() { return engine->player; }
  const std::string& folder() { return engine->settings.playerFolder; }

  // `seconds` of a steady tone for each name, in the player folder.
  void writeTracks(std::initializer_list<const char*> names, size_t seconds = 2) {
    fs::create_directories(folder());
    const std::vector<float> tone(size_t{48000} * 2 * seconds, 0.25f);
    for (const char* name : names)
      ASSERT_TRUE(fixtures::writeWav(folder() + "/" + name, 48000, 2, tone));
  }
  void addTracks(std::initializer_list<const char*> names) {
    for (const char* name : names) {
      std::string error;
      ASSERT_NE(player().add(folder() + "/" + name, error), 0u) << error;
    }
    ui->frames(2);
  }
  std::vector<std::string> titles() {
    std::vector<std::string> out;
    for (const PlayerTrack& t : player().playlist) out.push_back(t.title);
    return out;
  }

  // Centre of row icon `slot` (0 up, 1 down, 2 remove) in the row of `title`; the icons start
  // one fixed column plus cell padding right of the crossfade header.
  ImVec2 rowIconAt(const std::string& title, int slot) {
    rest(); // a row's tooltip names the crossfade too
    const ImVec2 header = ui->textPos("Übergang");
    const float cellPad = ImGui::GetStyle().CellPadding.x;
    const float h = ImGui::GetTextLineHeight();
    const float start = header.x - 4.0f + 80.0f + 2.0f * cellPad;
    return ImVec2(start + 22.0f * slot + h * 0.5f, ui->textPos(title).y);
  }
  // Clicks the icon after checking that its tooltip names what it does.
  void clickRowIcon(const std::string& title, int slot, const char* tip) {
    const ImVec2 at = rowIconAt(title, slot);
    hover(at);
    EXPECT_TRUE(ui->shows(tip)) << title << " slot " << slot << "\n" << ui->text();
    ui->click(at);
  }
  // The mouse off every control, popups closed.
  void rest() {
    ui->click(kNowhere);
    ui->frame();
  }
  // A tooltip is sized in the frame after it first shows.
  void hover(ImVec2 at) {
    ui->move(at);
    ui->frame();
  }
  void openAddList() {
    ui->click(ui->textPos("Titel hinzufügen"));
    ui->frame();
  }

  // Runs clock cycles, each once the playing deck holds it, and the main queue (the player's
  // tick) until `done`; false on timeout.
  bool runUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      const Deck& deck = player().decks[player().activeDeck.load()];
      const bool starved = deck.state.load() != Player::kIdle && deck.ready.load() &&
                           !deck.ended.load() && deck.ring->fill() < 512;
      if (!starved) platform::audio::runCycles(1);
      platform::dispatch::runMainQueueFor(std::chrono::milliseconds(1));
    }
    ui->frame();
    return true;
  }
};

TEST_F(PlayerTabTest, FreshAccountGetsThePlayerFolderWithItsParents) {
  const struct {
    const char* name;
    std::function<void(PlayerTabTest&)> act;
    bool revealed;
  } cases[] = {
      {"opening the add list", [](PlayerTabTest& t) { t.openAddList(); }, false},
      {"showing the folder",
       [](PlayerTabTest& t) {
         gRevealHandler = reveal;
         t.ui->click(t.ui->textPos("Im Finder"));
       },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path music = fs::path(folder()).parent_path();
    fs::remove_all(music);
    ASSERT_FALSE(fs::exists(music));
    gRevealed.clear();
    c.act(*this);
    EXPECT_TRUE(fs::is_directory(folder()));
    EXPECT_EQ(gRevealed, c.revealed ? folder() : "");
    EXPECT_EQ(gRevealedExisted, c.revealed);
    if (!c.revealed) {
      EXPECT_TRUE(ui->shows("Ordner enthält keine Audiodateien")) << ui->text();
    }
    rest();
  }
}

TEST_F(PlayerTabTest, TableAndAddListChangeThePlaylist) {
  writeTracks({"Alpha.wav", "Bravo.wav", "Charlie.wav", "Delta.wav"});
  const struct {
    const char* name;
    std::function<void(PlayerTabTest&)> act;
    std::vector<std::string> titles;
    int current;
  } cases[] = {
      {"double click plays that row",
       [](PlayerTabTest& t) { t.ui->doubleClick(t.ui->textPos("Bravo")); },
       {"Alpha", "Bravo", "Charlie"},
       1},
      {"a single click does not",
       [](PlayerTabTest& t) { t.ui->click(t.ui->textPos("Bravo")); },
       {"Alpha", "Bravo", "Charlie"},
       -1},
      {"down",
       [](PlayerTabTest& t) { t.clickRowIcon("Alpha", 1, "nach unten"); },
       {"Bravo", "Alpha", "Charlie"},
       -1},
      {"up",
       [](PlayerTabTest& t) { t.clickRowIcon("Charlie", 0, "nach oben"); },
       {"Alpha", "Charlie", "Bravo"},
       -1},
      {"first row has no up icon",
       [](PlayerTabTest& t) { t.ui->click(t.rowIconAt("Alpha", 0)); },
       {"Alpha", "Bravo", "Charlie"},
       -1},
      {"last row's remove stays at its place",
       [](PlayerTabTest& t) { t.clickRowIcon("Charlie", 2, "aus der Playlist entfernen"); },
       {"Alpha", "Bravo"},
       -1},
      {"remove",
       [](PlayerTabTest& t) { t.clickRowIcon("Bravo", 2, "aus der Playlist entfernen"); },
       {"Alpha", "Charlie"},
       -1},
      {"add one file",
       [](PlayerTabTest& t) {
         t.openAddList();
         t.ui->click(t.ui->textPos("Delta.wav"));
       },
       {"Alpha", "Bravo", "Charlie", "Delta"},
       -1},
      {"add the whole folder",
       [](PlayerTabTest& t) {
         t.openAddList();
         t.ui->click(t.ui->textPos("Alle aus dem Ordner"));
       },
       {"Alpha", "Bravo", "Charlie", "Alpha", "Bravo", "Charlie", "Delta"},
       -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    player().stop();
    player().playlist.clear(); // new entries get new ids, so nothing old stays current
    addTracks({"Alpha.wav", "Bravo.wav", "Charlie.wav"});
    c.act(*this);
    ui->frame();
    EXPECT_EQ(titles(), c.titles);
    EXPECT_EQ(player().currentIndex(), c.current);
  }
}

TEST_F(PlayerTabTest, PanelShowsTheTrackItsTimesAndTheFollowingOne) {
  writeTracks({"Alpha.wav", "Bravo.wav", "Charlie.wav"});
  const struct {
    const char* name;
    std::function<void(PlayerTabTest&)> setUp;
    std::vector<std::string> texts;
  } cases[] = {
      {"empty", [](PlayerTabTest&) {}, {"Playlist ist leer", "0:00 -0:00", "Danach: Ende"}},
      {"second requested",
       [](PlayerTabTest& t) {
         t.addTracks({"Alpha.wav", "Bravo.wav", "Charlie.wav"});
         t.player().play(1);
       },
       {"Bravo", "0:00 -0:02", "Danach: Charlie", "1 Alpha 0:02", "3 Charlie 0:02"}},
      {"last requested",
       [](PlayerTabTest& t) {
         t.addTracks({"Alpha.wav", "Bravo.wav"});
         t.player().play(1);
       },
       {"Danach: Ende"}},
      {"unknown and absurd lengths",
       [](PlayerTabTest& t) {
         t.addTracks({"Alpha.wav", "Bravo.wav", "Charlie.wav"});
         t.player().playlist[0].seconds = 0.0;
         t.player().playlist[1].seconds = std::nan("");
         t.player().playlist[2].seconds = 754.9;
       },
       {"1 Alpha –", "2 Bravo –", "3 Charlie 12:34"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    player().stop();
    player().playlist.clear();
    c.setUp(*this);
    ui->frames(2);
    for (const std::string& text : c.texts)
      EXPECT_TRUE(ui->shows(text)) << text << "\n" << ui->text();
  }
}

TEST_F(PlayerTabTest, TransportButtonsActOnThePlayer) {
  writeTracks({"Alpha.wav", "Bravo.wav"}, 6); // long enough to go back and forth
  addTracks({"Alpha.wav", "Bravo.wav"});
  Player& p = player();
  p.crossfade.exchange(1.0f); // each transition done well within a track
  const struct {
    const char* name;
    int button;
    const char* tip; // shown when hovered before the click
    std::function<bool()> reached;
  } steps[] = {
      {"play starts the first track", 1, "Abspielen",
       [&p] { return p.playing.load() && !p.paused.load() && p.currentIndex() == 0; }},
      {"play while playing pauses", 1, "Pause", [&p] { return p.paused.load(); }},
      {"play while paused resumes", 1, "Abspielen",
       [&p] { return p.playing.load() && !p.paused.load(); }},
      {"next goes over to the second", 3, "Übergang zum nächsten Titel",
       [&p] { return p.currentIndex() == 1; }},
      {"back within 3 s plays the previous", 0, "Zurück", [&p] { return p.currentIndex() == 0; }},
      {"stop fades out", 2, "Stopp (blendet aus)", [&p] { return !p.playing.load(); }},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.name);
    const ImVec2 at = playerButtonPoint(s.button);
    hover(at);
    EXPECT_TRUE(ui->shows(s.tip)) << ui->text();
    ui->click(at);
    EXPECT_TRUE(runUntil(s.reached))
        << "current " << p.currentIndex() << ", playing " << p.playing.load();
  }
  EXPECT_EQ(playerButtonPoint(4).x, 0.0f); // only the four buttons are recorded
}

TEST_F(PlayerTabTest, SwitchesAndCrossfadeReachThePlayer) {
  Player& p = player();
  // On the slider just left of the first switch; drags past its ends pin the value there.
  const ImVec2 t = ui->textPos("Stille kürzen");
  const ImVec2 on(t.x - 60.0f, t.y), left(t.x - 1200.0f, t.y), right(t.x + 400.0f, t.y);
  const struct {
    const char* name;
    std::function<void()> act;
    std::function<bool()> holds;
  } cases[] = {
      {"trim off", [this] { ui->click(ui->textPos("Stille kürzen")); },
       [&p] { return !p.trim.load(); }},
      {"trim on", [this] { ui->click(ui->textPos("Stille kürzen")); },
       [&p] { return p.trim.load(); }},
      {"repeat on", [this] { ui->click(ui->textPos("Wiederholen")); }, [&p] { return p.repeat; }},
      {"beat sync on", [this] { ui->click(ui->textPos("Beat-Abgleich")); },
       [&p] { return p.beatSync.load(); }},
      {"crossfade to the left end", [this, on, left] { ui->drag(on, left); },
       [&p] { return p.crossfade.load() == 0.0f; }},
      {"crossfade to the right end", [this, on, right] { ui->drag(on, right); },
       [&p] { return p.crossfade.load() == 30.0f; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.act();
    ui->frame();
    EXPECT_TRUE(c.holds());
  }
}

TEST_F(PlayerTabTest, TrackCrossfadeIsSetInItsPopupAndResetByStandard) {
  writeTracks({"Alpha.wav"});
  addTracks({"Alpha.wav"});
  PlayerTrack& track = player().playlist[0];
  const ImVec2 cell = ui->textPos("8.0 s"); // the row's cell comes after the global slider
  ui->click(cell);
  ui->frame();
  ASSERT_TRUE(ui->shows("Standard")) << ui->text();
  const ImVec2 popupValue = ui->textPos("8.0 s");
  ui->drag(popupValue, ImVec2(popupValue.x - 300, popupValue.y));
  EXPECT_EQ(track.crossfade, 0.0f);
  EXPECT_EQ(player().crossfade.load(), 8.0f);
  ui->click(ui->textPos("Standard"));
  ui->frame();
  EXPECT_EQ(track.crossfade, -1.0f);
  EXPECT_FALSE(ui->shows("Standard"));
}

} // namespace
} // namespace velto
