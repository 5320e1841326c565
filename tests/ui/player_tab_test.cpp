// The Player tab on a live engine: the table's rows, icons and add list change the playlist,
// the transport buttons, switches and crossfade slider act on the player, the panel shows the
// current and following track with their times, and the player folder is made on first use.
#include "ui/player_tab.h"

#include "platform/audio/layer/manual_clock.h"
#include "platform/dispatch/background_queue.h"
#include "platform/dispatch/main_queue.h"
#include "tests/support/test_files.h"
#include "tests/support/ui/ui_harness.h"
#include "ui/icons.h"
#include "ui/style.h"
#include "ui/window.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace velto {
namespace {

namespace fs = std::filesystem;

TEST(PlayerTime, ShowsWholeSecondsOfNonNegativeTimes) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "0:00"},  {59.99, "0:59"},        {61.5, "1:01"},
      {-4.0, "0:00"}, {std::nan(""), "0:00"}, {1e300, "35791394:07"}, // capped at the int range
  };
  for (const auto& [seconds, text] : cases) {
    char out[16];
    formatTime(out, seconds);
    EXPECT_STREQ(out, text) << seconds;
  }
}

TEST(ShortPath, AbbreviatesALeadingHome) {
  const std::string saved = std::getenv("HOME") ? std::getenv("HOME") : "";
  const struct {
    const char* home; // null: unset
    const char* path;
    const char* shown;
  } cases[] = {
      {"/Users/ann", "/Users/ann/Music", "~/Music"},
      {"/Users/ann", "/Users/ann", "~"},
      {"/Users/ann", "/Users/ann2/x", "/Users/ann2/x"}, // a sibling that shares the text
      {"/home/u", "/home/u2/Velto Player", "/home/u2/Velto Player"},
      {"/home/u/", "/home/u/Musik", "~/Musik"},
      {"/Users/ann", "/Volumes/x", "/Volumes/x"},
      {"/Users/ann", "/Users", "/Users"},
      {nullptr, "/Users/ann/x", "/Users/ann/x"},
      {"", "/Users/ann/x", "/Users/ann/x"},
  };
  for (const auto& c : cases) {
    c.home ? setenv("HOME", c.home, 1) : unsetenv("HOME");
    EXPECT_EQ(shortPath(c.path), c.shown) << (c.home ? c.home : "unset") << " " << c.path;
  }
  setenv("HOME", saved.c_str(), 1);
}

std::string gRevealed;
bool gRevealedExisted = false;
void reveal(const std::string& path) {
  gRevealed = path;
  gRevealedExisted = fs::is_directory(path);
}

const ImVec2 kNowhere{2.0f, 795.0f}; // window background below the panels

class PlayerTabTest : public test::UiEngineTest {
public:
  using Act = std::function<void()>;

  void SetUp() override {
    test::UiEngineTest::SetUp();
    selectTab(kTabPlayer);
    ui->frames(2);
  }
  void TearDown() override {
    gRevealHandler = nullptr;
    test::UiEngineTest::TearDown();
  }
  Player& player() { return engine->player; }
  const std::string& folder() { return engine->settings.playerFolder; }

  // A fresh playlist of the tracks named (separated by blanks), `seconds` of a steady tone each,
  // written to the player folder. New entries get new ids, so nothing earlier stays current.
  void tracks(const std::string& names, size_t seconds = 2) {
    player().stop();
    player().playlist.clear();
    fs::create_directories(folder());
    std::string error;
    std::istringstream words(names);
    for (std::string name; words >> name;) {
      const std::string path = folder() + "/" + name + ".wav";
      ASSERT_TRUE(test::writeSteadyWav(path, seconds));
      ASSERT_NE(player().add(path, error), 0u) << error;
    }
    ui->frames(2);
  }
  std::string titles() {
    std::string out;
    for (const PlayerTrack& t : player().playlist) out += t.title + " ";
    return out;
  }
  void clickWithTip(ImVec2 at, const char* tip) {
    ui->move(at);
    ui->frame(); // a tooltip is sized in the frame after it first shows
    EXPECT_TRUE(ui->shows(tip)) << tip << " at " << at.x << "," << at.y;
    ui->click(at);
  }
  // Row icon `slot` (0 up, 1 down, 2 remove) of the row of `title`: the icons start one fixed
  // column plus cell padding right of the crossfade header.
  ImVec2 iconAt(const char* title, int slot) {
    ui->click(kNowhere); // no row tooltip, which names the crossfade too
    const float x = ui->textPos("Übergang").x - 4 + 80 + 2 * ImGui::GetStyle().CellPadding.x;
    return ImVec2(x + 22.0f * slot + ImGui::GetTextLineHeight() * 0.5f, ui->textPos(title).y);
  }
  Act icon(const char* title, int slot, const char* tip) {
    return [=, this] { clickWithTip(iconAt(title, slot), tip); };
  }
  Act click(const char* text) {
    return [=, this] { ui->click(ui->textPos(text)); };
  }
  // Ctrl+click edits the slider at `at` as text; `value` is typed and entered.
  void typeAt(ImVec2 at, const char* value) {
    ui->hold(false, true);
    ui->click(at);
    ui->hold(false);
    ui->type(value);
    ui->key(ImGuiKey_Enter);
  }
  Act pick(const char* entry) {
    return [=, this] {
      click("Titel hinzufügen")();
      ui->frame();
      if (entry) click(entry)();
    };
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
  const fs::path parent = fs::path(folder()).parent_path();
  fs::remove_all(parent);
  pick(nullptr)(); // the add list
  EXPECT_TRUE(fs::is_directory(folder()));
  EXPECT_TRUE(ui->shows("Ordner enthält keine Audiodateien"));
  ui->click(kNowhere);
  fs::remove_all(parent);
  gRevealHandler = reveal;
  click("Im Dateimanager")();
  EXPECT_EQ(gRevealed, folder());
  EXPECT_TRUE(gRevealedExisted); // made before it was shown
}

std::string gPickerTitle;
std::string pickFolder(const std::string& start, const char* title) {
  gPickerTitle = title;
  return start + "/Neu";
}

TEST_F(PlayerTabTest, FolderButtonsUseTheirHelpersOrSayWhichOneIsMissing) {
  const struct {
    const char* name;
    FolderPicker picker;
    RevealHandler opener;
    const char* button;
    const char* line; // the one line shown after the click; null: none
    bool picked;      // the picker ran, titled for the player
  } cases[] = {
      {"no chooser", nullptr, nullptr, "Ordner wählen …",
       "Hilfsprogramm fehlt: zenity oder kdialog", false},
      {"no opener", nullptr, nullptr, "Im Dateimanager", "Hilfsprogramm fehlt: xdg-open", false},
      {"a chooser", pickFolder, nullptr, "Ordner wählen …", nullptr, true},
      {"an opener", nullptr, reveal, "Im Dateimanager", nullptr, false},
  };
  const std::string start = folder();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    engine->settings.playerFolder = start;
    gPickerTitle.clear();
    gRevealed.clear();
    setFolderPicker(c.picker);
    setRevealHandler(c.opener);
    setMissingChooser(c.picker ? "" : "zenity oder kdialog");
    setMissingOpener(c.opener ? "" : "xdg-open");
    ui->frame();
    ui->click(ui->textPos(c.button));
    ui->frames(2);
    for (const char* line :
         {"Hilfsprogramm fehlt: zenity oder kdialog", "Hilfsprogramm fehlt: xdg-open"})
      EXPECT_EQ(ui->shows(line), c.line != nullptr && std::string(c.line) == line) << line;
    EXPECT_EQ(gPickerTitle, c.picked ? "Ordner mit Audiodateien für den Player" : "");
    EXPECT_EQ(folder(), c.picked ? start + "/Neu" : start);
    EXPECT_EQ(gRevealed, c.opener ? start : "");
  }
  setFolderPicker(nullptr);
  setMissingChooser("");
  setMissingOpener("");
  engine->settings.playerFolder = start;
}

// The colour of the glyph drawn at `p` in the last frame; 0 when none is there.
ImU32 glyphColourAt(ImVec2 p) {
  const ImVec2 white = ImGui::GetIO().Fonts->TexUvWhitePixel;
  const ImDrawData* data = ImGui::GetDrawData();
  for (int l = 0; data != nullptr && l < data->CmdListsCount; ++l)
    for (const ImDrawVert& v : data->CmdLists[l]->VtxBuffer)
      if (std::fabs(v.pos.x - p.x) < 5 && std::fabs(v.pos.y - p.y) < 7 &&
          (v.uv.x != white.x || v.uv.y != white.y))
        return v.col;
  return 0;
}

TEST_F(PlayerTabTest, CurrentRowTextsStandOutOnTheSelectionBlue) {
  tracks("Alpha Bravo Charlie", 8);
  player().play(1);
  ASSERT_TRUE(runUntil([this] { return player().playing.load() && player().currentIndex() == 1; }));
  ui->move(kNowhere);
  ui->frames(2);
  const ImU32 white = ImGui::GetColorU32(ImVec4(1, 1, 1, 1));
  const ImU32 light = ImGui::GetColorU32(kTextLight);
  const ImU32 grey = ImGui::GetColorU32(ImGuiCol_TextDisabled);
  const ImU32 next = ImGui::GetColorU32(ImVec4(0.75f, 0.76f, 0.95f, 1.0f)); // the following one
  const struct {
    const char* title;
    ImU32 titleColour, lengthColour;
  } rows[] = {{"Bravo", white, light}, {"Alpha", light, grey}, {"Charlie", next, grey}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.title);
    const ImVec2 title = ui->textPos(r.title);
    ASSERT_GE(title.x, 0.0f);
    EXPECT_EQ(glyphColourAt(title), r.titleColour);
    // The length column's "0:08" on the row's line.
    const ImVec2 length(ui->textPos("0:08").x, title.y);
    EXPECT_EQ(glyphColourAt(length), r.lengthColour);
  }
}

TEST_F(PlayerTabTest, TableShowsAndChangesThePlaylist) {
  tracks("Delta");
  const char* const abc = "Alpha Bravo Charlie ";
  const struct {
    const char* name;
    Act act; // on a playlist of Alpha, Bravo, Charlie
    const char* titles;
    int current;
    const char* texts; // shown, each before a "|"
  } cases[] = {
      {"empty", [&] { tracks(""); }, "", -1, "Playlist ist leer|0:00 -0:00|Danach: Ende|"},
      {"double click plays that row", [&] { ui->doubleClick(ui->textPos("Bravo")); }, abc, 1,
       "Bravo|0:00 -0:02|Danach: Charlie|1 Alpha 0:02|"},
      {"unknown lengths",
       [&] { player().playlist[0].seconds = 0.0, player().playlist[1].seconds = std::nan(""); },
       abc, -1, "1 Alpha – |2 Bravo – |3 Charlie 0:02|"},
      {"down", icon("Alpha", 1, "nach unten"), "Bravo Alpha Charlie ", -1, ""},
      {"up", icon("Charlie", 0, "nach oben"), "Alpha Charlie Bravo ", -1, ""},
      {"no up in the first row", [&] { ui->click(iconAt("Alpha", 0)); }, abc, -1, ""},
      {"remove", icon("Bravo", 2, "aus der Playlist entfernen"), "Alpha Charlie ", -1, ""},
      {"add one file", pick("Delta.wav"), "Alpha Bravo Charlie Delta ", -1, ""},
      {"add the folder", pick("Alle aus dem Ordner"),
       "Alpha Bravo Charlie Alpha Bravo Charlie Delta ", -1, ""},
      {"own crossfade typed below the range",
       [&] {
         click("8.0 s")(); // the last row's cell opens its popup
         ui->frame();
         typeAt(ui->textPos("8.0 s"), "-3"); // on the popup's slider
       },
       abc, -1, "3 Charlie 0:02|0.0 s|"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tracks("Alpha Bravo Charlie");
    c.act();
    // Chosen files are opened in the background, one after the other.
    do {
      ASSERT_TRUE(platform::dispatch::waitBackgroundIdle(std::chrono::seconds(10)));
    } while (platform::dispatch::runMainQueueUntilIdle() > 0);
    ui->frames(2);
    EXPECT_EQ(titles(), c.titles);
    EXPECT_EQ(player().currentIndex(), c.current);
    std::istringstream texts(c.texts);
    for (std::string t; std::getline(texts, t, '|');) EXPECT_TRUE(ui->shows(t)) << t << ui->text();
  }
}

TEST_F(PlayerTabTest, ControlsActOnThePlayer) {
  tracks("Alpha Bravo", 6); // long enough to go back and forth
  Player& p = player();
  p.crossfade.exchange(1.0f); // each transition done well within a track
  const auto button = [this](int n, const char* tip) {
    return [=, this] { clickWithTip(playerButtonPoint(n), tip); };
  };
  // On the crossfade slider just left of the first switch; drags past its ends pin the value.
  const ImVec2 s = ui->textPos("Stille kürzen");
  const auto slide = [=, this](float dx) {
    return [=, this] { ui->drag(ImVec2(s.x - 60, s.y), ImVec2(s.x + dx, s.y)); };
  };
  const auto typed = [=, this](const char* value) {
    return [=, this] { typeAt(ImVec2(s.x - 60, s.y), value); };
  };
  const struct {
    const char* name;
    Act act;
    std::function<bool()> reached;
  } steps[] = {
      {"play starts the first", button(1, "Abspielen"),
       [&p] { return p.playing.load() && p.currentIndex() == 0; }},
      {"then pauses", button(1, "Pause"), [&p] { return p.paused.load(); }},
      {"and resumes", button(1, "Abspielen"), [&p] { return !p.paused.load(); }},
      {"next goes over", button(3, "Übergang zum nächsten Titel"),
       [&p] { return p.currentIndex() == 1; }},
      {"back within 3 s", button(0, "Zurück"), [&p] { return p.currentIndex() == 0; }},
      {"stop fades out", button(2, "Stopp (blendet aus)"), [&p] { return !p.playing.load(); }},
      {"trim off", click("Stille kürzen"), [&p] { return !p.trim.load(); }},
      {"repeat on", click("Wiederholen"), [&p] { return p.repeat; }},
      {"beat sync on", click("Beat-Abgleich"), [&p] { return p.beatSync.load(); }},
      {"crossfade to 30", slide(400), [&p] { return p.crossfade.load() == 30.0f; }},
      {"typed below it", typed("-3"), [&p] { return p.crossfade.load() == 0.0f; }},
      {"typed past the range", typed("500"), [&p] { return p.crossfade.load() == 30.0f; }},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    step.act();
    EXPECT_TRUE(runUntil(step.reached))
        << "current " << p.currentIndex() << ", crossfade " << p.crossfade.load();
  }
  EXPECT_EQ(playerButtonPoint(4).x, 0.0f); // only the four buttons are recorded
}

} // namespace
} // namespace velto
