// The Pads tab on a live engine: a tile starts and stops its pad (or only selects it in edit
// mode), the editor's rows reach the pad bank, a failed load keeps the pad's name, the name
// field cuts long names at a character boundary, and the pads folder is made on first use.
#include "ui/pads_tab.h"

#include "core/levels.h"
#include "platform/audio/manual_clock.h"
#include "platform/dispatch/background_queue.h"
#include "platform/dispatch/main_queue.h"
#include "tests/platform/audiofile_fixtures.h"
#include "tests/support/ui/ui_harness.h"
#include "ui/window.h"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace velto {
namespace {

namespace fs = std::filesystem;

TEST(PadLength, RoundsToTenthsBeforeSplittingMinutes) {
  const struct {
    double seconds;
    const char* text;
  } cases[] = {
      {0.0, "0:00.0"},    {5.25, "0:05.3"}, {59.96, "1:00.0"},        {61.5, "1:01.5"},
      {119.97, "2:00.0"}, {-3.0, "0:00.0"}, {std::nan(""), "0:00.0"}, {600.04, "10:00.0"},
  };
  for (const auto& c : cases) {
    char text[32];
    formatPadLength(text, c.seconds);
    EXPECT_STREQ(text, c.text) << c.seconds;
  }
}

std::string gRevealed;
bool gRevealedExisted = false;
void reveal(const std::string& path) {
  gRevealed = path;
  gRevealedExisted = fs::is_directory(path);
}

const ImVec2 kNowhere{2.0f, 795.0f}; // window background below the card

class PadsTabTest : public test::UiEngineTest {
protected:
  void SetUp() override {
    test::UiEngineTest::SetUp();
    gPadEdit = false;
    selectTab(kTabPads);
    ui->frames(2);
  }
  void TearDown() override {
    EXPECT_TRUE(platform::dispatch::waitBackgroundIdle(std::chrono::seconds(10)));
    gPadEdit = false;
    gRevealHandler = nullptr;
    test::UiEngineTest::TearDown();
  }

public:
  PadBank::Pad& pad(int i) { return engine->pads.pads[size_t(i)]; }
  const std::string& folder() { return engine->settings.padsFolder; }
  std::string path(const char* name) { return folder() + "/" + name; }

  // Two seconds of a steady tone, and a file that is no sound at all.
  void writeSounds() {
    fs::create_directories(folder());
    const std::vector<float> tone(size_t{48000} * 2 * 2, 0.25f);
    ASSERT_TRUE(fixtures::writeWav(path("Kick.wav"), 48000, 2, tone));
    ASSERT_TRUE(fixtures::writeWav(path("Snare.wav"), 48000, 2, tone));
    ASSERT_TRUE(fixtures::writeText(path("Kaputt.wav"), "not a sound"));
  }
  void loadPad(int i, const char* name) {
    std::string error;
    ASSERT_TRUE(engine->pads.load(i, path(name), error)) << error;
    ui->frame();
  }

  // Clock cycles and the main queue (where loads land) until `done`; false on timeout.
  bool runUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      platform::audio::runCycles(1);
      platform::dispatch::runMainQueueFor(std::chrono::milliseconds(1));
    }
    ui->frame();
    return true;
  }
  void edit() {
    gPadEdit = true;
    ui->frames(2);
  }
  void rest() {
    ui->click(kNowhere);
    ui->frame();
  }
  // A point `dx` into the value column of the editor row labelled `label`.
  ImVec2 value(const char* label, float dx = 20.0f) {
    const ImVec2 at = ui->textPos(label);
    return ImVec2(at.x - ImGui::GetStyle().WindowPadding.x + 130.0f + dx, at.y + 3.0f);
  }
  void chooseSound(int i, const char* name) {
    ui->click(padPoint(i));
    ui->frame();
    ui->click(value("Klang"));
    ui->frame();
    ui->click(ui->textPos(name));
    EXPECT_TRUE(runUntil([this, i] { return !pad(i).loading; }));
  }
  void dragRow(const char* label, bool toRight) {
    const ImVec2 at = value(label, 60.0f);
    ui->drag(at, ImVec2(at.x + (toRight ? 1500.0f : -1500.0f), at.y));
  }
};

TEST_F(PadsTabTest, TileTogglesItsPadInOperationAndSelectsItInEditMode) {
  writeSounds();
  const struct {
    const char* name;
    bool edit;
    int tile;
    std::function<void(PadsTabTest&)> before;
    bool playing; // pad 2 after the click
    bool stopping;
    const char* shown; // also shown after the click ("" nothing)
  } cases[] = {
      {"a loaded pad starts", false, 2, [](PadsTabTest&) {}, true, false, "Kick"},
      {"a click on a playing pad fades it out", false, 2,
       [](PadsTabTest& t) { t.engine->pads.toggle(2); }, true, true, "Kick"},
      {"an empty pad does nothing", false, 5, [](PadsTabTest&) {}, false, false, ""},
      {"in edit mode a click only selects", true, 2, [](PadsTabTest&) {}, false, false, "0:02.0"},
      {"selecting an empty pad shows no length", true, 5,
       [](PadsTabTest& t) { t.ui->click(padPoint(2)); }, false, false, "keiner"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    engine->pads.stopAll();
    ASSERT_TRUE(runUntil([this] { return !pad(2).playing.load(); }));
    loadPad(2, "Kick.wav");
    if (c.edit) {
      if (!gPadEdit) ui->click(padsGearPoint());
      ui->frame();
      ASSERT_TRUE(gPadEdit);
    }
    c.before(*this);
    platform::audio::runCycles(2);
    ui->click(padPoint(c.tile));
    platform::audio::runCycles(2);
    ui->frame();
    EXPECT_EQ(pad(2).playing.load(), c.playing);
    EXPECT_EQ(pad(2).stopping.load(), c.stopping);
    EXPECT_FALSE(pad(5).playing.load());
    if (*c.shown) {
      EXPECT_TRUE(ui->shows(c.shown)) << ui->text();
    }
    if (c.edit && c.tile == 5) {
      EXPECT_FALSE(ui->shows("Länge")) << ui->text();
    }
  }
  ui->click(padsGearPoint());
  EXPECT_FALSE(gPadEdit);
  EXPECT_EQ(padPoint(16).x, 0.0f); // sixteen tiles, no more
}

TEST_F(PadsTabTest, EditorRowsReachThePadBank) {
  writeSounds();
  edit();
  const struct {
    const char* name;
    std::function<void(PadsTabTest&)> act;
    std::function<bool(PadBank::Pad&)> holds;
  } cases[] = {
      {"a sound from the folder, named after its file",
       [](PadsTabTest& t) { t.chooseSound(3, "Snare.wav"); },
       [this](PadBank::Pad& p) {
         return p.file == path("Snare.wav") && p.name == "Snare" && p.sample.load() != nullptr;
       }},
      {"name",
       [](PadsTabTest& t) {
         t.ui->click(t.value("Name", 400.0f));
         t.ui->type(" Bass");
         t.rest();
       },
       [](PadBank::Pad& p) { return p.name == "Snare Bass"; }},
      {"loop", [](PadsTabTest& t) { t.ui->click(t.ui->textPos("Schleife")); },
       [](PadBank::Pad& p) { return p.loop.load(); }},
      {"loop crossfade to its top", [](PadsTabTest& t) { t.dragRow("Übergang", true); },
       [](PadBank::Pad& p) { return p.crossfade.load() == 10.0f; }},
      {"once", [](PadsTabTest& t) { t.ui->click(t.ui->textPos("Einmal")); },
       [](PadBank::Pad& p) { return !p.loop.load(); }},
      {"level to the bottom is silence", [](PadsTabTest& t) { t.dragRow("Pegel", false); },
       [](PadBank::Pad& p) { return p.gain.load() == 0.0f; }},
      {"level to the top", [](PadsTabTest& t) { t.dragRow("Pegel", true); },
       [](PadBank::Pad& p) { return p.gain.load() == dbToGain(12.0f); }},
      {"double click resets the level",
       [](PadsTabTest& t) { t.ui->doubleClick(t.value("Pegel", 60.0f)); },
       [](PadBank::Pad& p) { return p.gain.load() == 1.0f; }},
      {"fade in to its top", [](PadsTabTest& t) { t.dragRow("Einblenden", true); },
       [](PadBank::Pad& p) { return p.fadeIn.load() == 60.0f; }},
      {"fade out to its bottom", [](PadsTabTest& t) { t.dragRow("Ausblenden", false); },
       [](PadBank::Pad& p) { return p.fadeOut.load() == 0.0f; }},
      {"play", [](PadsTabTest& t) { t.ui->click(t.ui->textPos("Abspielen")); },
       [](PadBank::Pad& p) { return p.command.load() == PadBank::kCommandStart; }},
      {"clear", [](PadsTabTest& t) { t.ui->click(t.ui->textPos("Leeren")); },
       [](PadBank::Pad& p) { return p.file.empty() && p.name.empty() && !p.sample.load(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.act(*this);
    ui->frame();
    EXPECT_TRUE(c.holds(pad(3))) << ui->text();
  }
  EXPECT_FALSE(ui->shows("Leeren")); // no file, no clear button
  EXPECT_FALSE(ui->shows("Übergang")) << "only in loop mode";
}

TEST_F(PadsTabTest, FailedLoadKeepsTheNameAndShowsTheError) {
  writeSounds();
  edit();
  loadPad(4, "Kick.wav");
  pad(4).name = "Tusch";
  const struct {
    const char* file;
    const char* name;
    const char* installed; // file on the pad afterwards
    bool error;
  } cases[] = {
      {"Kaputt.wav", "Tusch", "Kick.wav", true},
      {"Snare.wav", "Snare", "Snare.wav", false},
      {"Kaputt.wav", "Snare", "Snare.wav", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    chooseSound(4, c.file);
    rest();
    EXPECT_EQ(pad(4).name, c.name);
    EXPECT_EQ(pad(4).file, path(c.installed));
    EXPECT_NE(pad(4).sample.load(), nullptr);
    EXPECT_EQ(!pad(4).error.empty(), c.error);
    EXPECT_EQ(ui->shows("Fehler"), c.error) << ui->text();
    if (c.error) {
      EXPECT_TRUE(ui->shows(pad(4).error)) << ui->text();
    }
  }
}

TEST_F(PadsTabTest, NameFieldCutsLongNamesAtACharacterBoundary) {
  edit();
  ui->click(padPoint(0));
  const std::string a61(61, 'a');
  const struct {
    std::string name;
    std::string stored; // after one backspace and a typed "b" at the end of the field
  } cases[] = {
      {"Kurz", "Kurb"},
      {a61 + "€", std::string(60, 'a') + "b"}, // 64 bytes: the euro sign is left out whole
      {a61 + "ä", a61 + "b"},                  // 63 bytes fit
      {a61 + "üö", a61 + "b"},                 // 65 bytes: the ö is left out whole
      {std::string(70, 'x'), std::string(62, 'x') + "b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pad(0).name = c.name;
    ui->frame();
    ui->click(value("Name", 400.0f));
    ui->key(ImGuiKey_End);
    ui->key(ImGuiKey_Backspace);
    ui->type("b");
    rest();
    EXPECT_EQ(pad(0).name, c.stored);
  }
}

TEST_F(PadsTabTest, FreshAccountGetsThePadsFolderWithItsParents) {
  edit();
  const struct {
    const char* name;
    std::function<void(PadsTabTest&)> act;
    bool revealed;
  } cases[] = {
      {"opening the sound list",
       [](PadsTabTest& t) {
         t.ui->click(t.value("Klang"));
         t.ui->frame();
       },
       false},
      {"showing the folder",
       [](PadsTabTest& t) {
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
    gRevealedExisted = false;
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

} // namespace
} // namespace velto
