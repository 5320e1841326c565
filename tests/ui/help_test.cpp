#include "tests/support/ui/ui_harness.h"
#include "ui/help.h"
#include "ui/style.h"
#include "ui/window.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velto::test {
namespace {

std::vector<std::string> gOpened;
void recordHelp(const char* key) {
  gOpened.push_back(key);
}

class HelpTest : public UiEngineTest {
protected:
  void SetUp() override {
    UiEngineTest::SetUp();
    gOpened.clear();
    setHelpHandler(recordHelp);
    ui->frames(2);
  }
  void TearDown() override {
    setHelpMode(false);
    setHelpHandler(nullptr);
    gWantTab = -1;
    UiEngineTest::TearDown();
  }
  // An empty spot of the Board: left of the centred row, below the gear.
  static ImVec2 emptyBoard() { return ImVec2(40, 500); }
};

TEST_F(HelpTest, TooltipNamesTheKeyUnderTheMouseAndAClickHandsItToTheHook) {
  struct Case {
    const char* name;
    bool hook;
    std::function<ImVec2()> where;
    const char* tooltip;
    std::vector<std::string> opened;
  };
  const Case cases[] = {
      {"tab button",
       true,
       [this] { return ui->tabCentre("Effekte"); },
       "Hilfe: Effekte",
       {"effekte"}},
      {"empty board", true, [] { return emptyBoard(); }, "Hilfe: Board", {"board"}},
      {"board gear",
       true,
       [] { return boardGearPoint(); },
       "Hilfe: Zahnrad",
       {"board#Bearbeiten-Modus#Zahnrad"}},
      {"no hook", false, [] { return emptyBoard(); }, "Hilfe: Board", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gOpened.clear();
    setHelpHandler(c.hook ? recordHelp : nullptr);
    setHelpMode(true);
    ui->move(c.where());
    ui->frame();
    EXPECT_TRUE(ui->shows(c.tooltip)) << ui->text();
    ui->press();
    EXPECT_FALSE(helpModeActive());
    ui->release();
    EXPECT_EQ(gOpened, c.opened);
    EXPECT_EQ(ui->selectedTab(), "Board"); // the click never reached the tab bar
  }
}

TEST_F(HelpTest, HelpModeEndsWithoutOpeningHelp) {
  struct Case {
    const char* name;
    std::function<void()> action;
  };
  const Case cases[] = {
      {"? button", [this] { ui->click(helpButtonPoint()); }},
      {"escape", [this] { ui->key(ImGuiKey_Escape); }},
      {"right click", [this] { ui->click(emptyBoard(), 1); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    setHelpMode(true);
    ui->move(emptyBoard());
    c.action();
    EXPECT_FALSE(helpModeActive());
    EXPECT_TRUE(gOpened.empty());
  }
  ui->click(helpButtonPoint()); // and the button switches it on again
  EXPECT_TRUE(helpModeActive());
  ui->move(helpButtonPoint());
  EXPECT_TRUE(ui->shows("Hilfe-Modus beenden"));
}

TEST_F(HelpTest, KeysAndTheirDisplayNames) {
  struct Case {
    const char* page;
    const char* section;
    const char* item;
    const char* key;
    const char* shown;
  };
  const Case cases[] = {
      {"hardware-inputs", "", "FX", "hardware-inputs##FX", "FX"},
      {"uebersicht", "Fader", "", "uebersicht#Fader", "Fader"},
      {"werkzeuge", "Rauschfilter", "an / aus", "werkzeuge#Rauschfilter#an / aus", "an / aus"},
      {"effekte", "", "", "effekte", "Effekte"},
      {"board", "Bearbeiten-Modus", "board", "board#Bearbeiten-Modus#board", "Board"},
  };
  for (const Case& c : cases) {
    gHelpPage = c.page;
    EXPECT_EQ(helpRef(c.section, c.item), c.key);
    EXPECT_EQ(helpDisplayName(c.key), c.shown);
  }
  EXPECT_EQ(helpDisplayName("pads#Karte#"), "");
}

TEST_F(HelpTest, ColouredButtonRegistersItsLabelBeforeTheId) {
  std::string key;
  ui->sceneInWindow([&] {
    gHelpPage = "einstellungen";
    gHelpKey.clear();
    sectionTitle("Audio", kAccentIn);
    ImGui::SetCursorScreenPos(ImVec2(100, 200));
    coloredButton("Anwenden##audio", kAccentVi, kTextDark, 120, 30);
    key = gHelpKey;
  });
  setHelpMode(true);
  ui->move(ImVec2(150, 215));
  ui->frame();
  EXPECT_EQ(key, "einstellungen#Audio#Anwenden");
}

} // namespace
} // namespace velto::test
