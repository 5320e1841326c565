// The Pads tab on a live engine: tiles start, stop or select pads, the editor's rows reach the
// pad bank (a failed load keeps the name, long names are cut at a character boundary), and the
// pads folder is made with its parents on first use.
#include "ui/pads_tab.h"

#include "core/levels.h"
#include "platform/audio/layer/manual_clock.h"
#include "platform/dispatch/background_queue.h"
#include "platform/dispatch/main_queue.h"
#include "tests/support/test_files.h"
#include "tests/support/ui/ui_harness.h"
#include "ui/icons.h"
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
  const std::pair<double, const char*> cases[] = {
      {0.0, "0:00.0"},    {5.25, "0:05.3"}, {59.96, "1:00.0"},        {61.5, "1:01.5"},
      {119.97, "2:00.0"}, {-3.0, "0:00.0"}, {std::nan(""), "0:00.0"}, {600.04, "10:00.0"}};
  char text[32];
  for (const auto& [seconds, shown] : cases) {
    formatPadLength(text, seconds);
    EXPECT_STREQ(text, shown) << seconds;
  }
}

std::string gRevealed;
void reveal(const std::string& path) {
  gRevealed = fs::is_directory(path) ? path : "(missing) " + path;
}

class PadsTabTest : public test::UiEngineTest {
protected:
  void SetUp() override {
    test::UiEngineTest::SetUp();
    gPadEdit = false;
    selectTab(kTabPads);
    ui->frames(2);
    fs::create_directories(folder());
    ASSERT_TRUE(test::writeSteadyWav(path("Kick.wav"), 2));
    ASSERT_TRUE(test::writeSteadyWav(path("Snare.wav"), 2));
    ASSERT_TRUE(fixtures::writeText(path("Kaputt.wav"), "no sound"));
    std::string error;
    ASSERT_TRUE(engine->pads.load(2, path("Kick.wav"), error)) << error;
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

  // Clock cycles and the main queue (where loads land) until `done`.
  void runUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      platform::audio::runCycles(1);
      platform::dispatch::runMainQueueFor(std::chrono::milliseconds(1));
    }
    ui->frame();
  }
  void editPad(int i) {
    gPadEdit = true;
    ui->frame();
    ui->click(padPoint(i));
  }
  // A point `dx` into the value column of the editor row labelled `label`.
  ImVec2 value(const char* label, float dx = 20.0f) {
    const ImVec2 at = ui->textPos(label);
    return ImVec2(at.x - ImGui::GetStyle().WindowPadding.x + 130.0f + dx, at.y + 3.0f);
  }
  void choose(const char* file) {
    ui->click(value("Klang"));
    ui->frame();
    ui->click(ui->textPos(file));
    runUntil([this] { return !pad(3).loading; });
  }
  void slide(const char* label, float dx) { ui->drag(value(label, 60), value(label, 60 + dx)); }
  void retype(const std::string& name) {
    pad(3).name = name;
    ui->click(value("Name", 400));
    ui->key(ImGuiKey_End);
    ui->key(ImGuiKey_Backspace);
    ui->type("b");
    ui->click(ImVec2(2, 795));
  }
};

TEST_F(PadsTabTest, TileTogglesItsPadInOperationAndSelectsItInEditMode) {
  const struct {
    const char* name;
    bool edit, startFirst;
    int tile;
    bool playing, stopping; // pad 2 after the click
    const char* shown;
  } cases[] = {
      {"a loaded pad starts", false, false, 2, true, false, nullptr},
      {"a playing pad fades out", false, true, 2, true, true, nullptr},
      {"an empty pad does nothing", false, false, 5, false, false, nullptr},
      {"in edit mode a click only selects", true, false, 2, false, false, "Länge 0:02.0"},
      {"an empty pad selected shows no sound", true, false, 5, false, false, "Klang keiner"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    engine->pads.stopAll();
    runUntil([this] { return !pad(2).playing.load(); });
    if (c.edit != gPadEdit) ui->click(padsGearPoint());
    if (c.startFirst) engine->pads.toggle(2);
    platform::audio::runCycles(2);
    ui->click(padPoint(c.tile));
    platform::audio::runCycles(2);
    ui->frame();
    EXPECT_EQ(gPadEdit, c.edit);
    EXPECT_EQ(pad(2).playing.load(), c.playing);
    EXPECT_EQ(pad(2).stopping.load(), c.stopping);
    EXPECT_FALSE(pad(5).playing.load());
    if (c.shown) {
      EXPECT_TRUE(ui->shows(c.shown)) << ui->text();
    }
    EXPECT_EQ(ui->shows("Länge"), c.edit && c.tile == 2);
  }
}

TEST_F(PadsTabTest, EditorRowsReachThePadBank) {
  editPad(3);
  PadBank::Pad& p = pad(3);
  const std::string a61(61, 'a');
  const auto click = [this](const char* text) {
    return [=, this] { ui->click(ui->textPos(text)); };
  };
  const struct {
    const char* name;
    std::function<void()> act;
    std::function<bool()> holds;
  } cases[] = {
      {"a sound takes its file's name", [&] { choose("Snare.wav"); },
       [&] { return p.file == path("Snare.wav") && p.name == "Snare"; }},
      {"a failed load keeps name and sound", [&] { choose("Kaputt.wav"); },
       [&] {
         return p.name == "Snare" && p.file == path("Snare.wav") && !p.error.empty() &&
                ui->shows("Fehler") && p.sample.load();
       }},
      {"the next sound renames", [&] { choose("Kick.wav"); },
       [&] { return p.name == "Kick" && p.error.empty(); }},
      {"name", [&] { retype("Kurz"); }, [&] { return p.name == "Kurb"; }},
      {"the euro sign past 63 bytes is left out whole", [&] { retype(a61 + "€"); },
       [&] { return p.name == a61.substr(1) + "b"; }},
      {"63 bytes fit", [&] { retype(a61 + "ä"); }, [&] { return p.name == a61 + "b"; }},
      {"the ö at byte 63 is left out whole", [&] { retype(a61 + "aö"); },
       [&] { return p.name == a61 + "b"; }},
      {"loop", click("Schleife"), [&] { return p.loop.load(); }},
      {"loop crossfade", [&] { slide("Übergang", 1500); },
       [&] { return p.crossfade.load() == 10.0f; }},
      {"once", click("Einmal"), [&] { return !p.loop.load() && !ui->shows("Übergang"); }},
      {"level at the bottom is silence", [&] { slide("Pegel", -1500); },
       [&] { return p.gain.load() == 0.0f; }},
      {"level at the top", [&] { slide("Pegel", 1500); },
       [&] { return p.gain.load() == dbToGain(12.0f); }},
      {"double click resets the level", [&] { ui->doubleClick(value("Pegel", 60)); },
       [&] { return p.gain.load() == 1.0f; }},
      {"fade in", [&] { slide("Einblenden", 1500); }, [&] { return p.fadeIn.load() == 60.0f; }},
      {"fade out", [&] { slide("Ausblenden", -1500); }, [&] { return p.fadeOut.load() == 0.0f; }},
      {"play", click("Abspielen"), [&] { return p.command.load() == PadBank::kCommandStart; }},
      {"clear", click("Leeren"),
       [&] { return !p.sample.load() && p.name.empty() && !ui->shows("Leeren"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.act();
    ui->frame();
    EXPECT_TRUE(c.holds()) << "name " << p.name << "\n" << ui->text();
  }
}

TEST_F(PadsTabTest, TileTooltipNamesTheFileItsSoundOrItsFailedLoadCameFrom) {
  engine->pads.loadAsync(3, path("Snare.wav"));
  runUntil([this] { return !pad(3).loading; });
  engine->pads.loadAsync(3, path("Kaputt.wav")); // fails, keeps the snare
  engine->pads.loadAsync(4, path("Kaputt.wav"));
  runUntil([this] { return !pad(3).loading && !pad(4).loading; });
  std::string error;
  EXPECT_FALSE(engine->pads.load(6, path("Fehlt.wav"), error));
  const struct {
    const char* name;
    int tile;
    const char* file; // the file the tooltip names; null: no tooltip
  } cases[] = {
      {"a loaded pad", 2, "Kick.wav"},
      {"a failed load over a sound", 3, "Kaputt.wav"},
      {"a failed load on an empty pad", 4, "Kaputt.wav"},
      {"a file that is not there", 6, "Fehlt.wav"},
      {"an empty pad", 5, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ui->move(padPoint(c.tile));
    ui->frames(2);
    for (const char* file : {"Kick.wav", "Snare.wav", "Kaputt.wav", "Fehlt.wav"}) {
      const bool named = c.file != nullptr && std::string(c.file) == file;
      EXPECT_EQ(ui->shows(shortPath(path(file))), named) << file << "\n" << ui->text();
    }
  }
  // A good load afterwards names its own file again.
  engine->pads.loadAsync(4, path("Snare.wav"));
  runUntil([this] { return !pad(4).loading; });
  ui->move(padPoint(4));
  ui->frames(2);
  EXPECT_TRUE(ui->shows(shortPath(path("Snare.wav"))));
  EXPECT_FALSE(ui->shows(shortPath(path("Kaputt.wav"))));
}

TEST_F(PadsTabTest, FreshAccountGetsThePadsFolderWithItsParents) {
  editPad(0);
  const fs::path parent = fs::path(folder()).parent_path();
  fs::remove_all(parent);
  ui->click(value("Klang")); // the sound list
  ui->frame();
  EXPECT_TRUE(fs::is_directory(folder()));
  EXPECT_TRUE(ui->shows("Ordner enthält keine Audiodateien")) << ui->text();
  ui->click(ImVec2(2, 795));
  fs::remove_all(parent);
  gRevealHandler = reveal;
  ui->click(ui->textPos("Im Dateimanager"));
  EXPECT_EQ(gRevealed, folder()); // made before it was shown
}

} // namespace
} // namespace velto
