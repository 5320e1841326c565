// The main window's menus, headless on a live engine: shortcuts and clicked items reach the tab
// and settings requests and the hooks, items without their hook stay disabled, and the mixer
// takes the work area below the bar.
#include "app/markdown.h"
#include "app/menus.h"
#include "app/text_view.h"
#include "tests/support/ui/ui_steps.h"
#include "ui/help.h"
#include "ui/style.h"
#include "ui/window.h"

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#include <gtest/gtest.h>
#include <imgui_internal.h>

#include <functional>
#include <string>
#include <vector>

namespace velto::test {
namespace {

std::vector<std::string> gCalls;

class MenusTest : public UiEngineTest {
protected:
  void SetUp() override {
    UiEngineTest::SetUp();
    setHooks(true);
    ui->scene = [] { drawMenus(); };
    reset();
  }
  void TearDown() override {
    setHelpMode(false);
    setHooks(false);
    reset();
    UiEngineTest::TearDown();
  }
  static void setHooks(bool on) {
    setQuitHandler(on ? +[] { gCalls.push_back("quit"); } : nullptr);
    setMinimiseHandler(on ? +[] { gCalls.push_back("minimise"); } : nullptr);
    setDocsHandler(on ? +[] { gCalls.push_back("docs"); } : nullptr);
    setHelpHandler(on ? +[](const char* key) { gCalls.push_back(std::string("help ") + key); }
                      : nullptr);
  }
  void showMixer() {
    ui->scene = [this] {
      drawMenus();
      drawMixer(*engine, *api);
    };
    ui->frames(3);
  }
  static void reset() {
    gWantTab = -1;
    gWantSection.clear();
    gCalls.clear();
  }
  // One key (a GLFW key code) held with the modifiers past the key repeat delay, then
  // everything released.
  void chord(int key, bool ctrl, bool shift = false, bool alt = false) {
    ui->hold(shift, ctrl, alt);
    ImGui::GetIO().KeysDown[key] = true;
    ui->frames(12);
    ImGui::GetIO().KeysDown[key] = false;
    ui->hold(false);
    ui->frame();
  }
  void choose(const char* menu, const char* item) {
    ui->frame();
    clickText(*ui, menu);
    clickText(*ui, item);
    ui->frame();
    // A disabled item leaves its menu open; a click beside it closes it.
    if (!GImGui->OpenPopupStack.empty())
      ui->click(ImVec2(UiHarness::kWidth - 5, UiHarness::kHeight - 5));
  }
  static std::string calls() {
    std::string out;
    for (const std::string& c : gCalls) out += (out.empty() ? "" : ",") + c;
    return out;
  }
};

struct Outcome {
  int tab;
  const char* section;
  const char* calls;
};

TEST_F(MenusTest, ShortcutsReachTheirRequestsAndHooks) {
  enum { C = 1, S = 2, A = 4 }; // Strg, Shift, Alt held
  struct Case {
    const char* name;
    int key, mods;
    Outcome want;
  };
  const Case cases[] = {
      {"Strg+1 board", GLFW_KEY_1, C, {kTabBoard, "", ""}},
      {"Strg+3 effects, third in the bar", GLFW_KEY_3, C, {kTabEffects, "", ""}},
      {"Strg+0 settings tab", GLFW_KEY_0, C, {kTabSettings, "", ""}},
      {"Strg+, settings without section", GLFW_KEY_COMMA, C, {kTabSettings, "", ""}},
      {"Strg+Q quits", GLFW_KEY_Q, C, {-1, "", "quit"}},
      {"Strg+M minimises", GLFW_KEY_M, C, {-1, "", "minimise"}},
      {"Strg+? on a US layout", GLFW_KEY_SLASH, C | S, {-1, "", "help uebersicht"}},
      {"Strg+? on a German layout", GLFW_KEY_MINUS, C | S, {-1, "", "help uebersicht"}},
      {"Strg+/ without Shift", GLFW_KEY_SLASH, C, {-1, "", ""}},
      {"3 without Strg", GLFW_KEY_3, 0, {-1, "", ""}},
      {"Strg+Shift+3", GLFW_KEY_3, C | S, {-1, "", ""}},
      {"Strg+Alt+3", GLFW_KEY_3, C | A, {-1, "", ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset();
    chord(c.key, c.mods & C, c.mods & S, c.mods & A);
    EXPECT_EQ(gWantTab, c.want.tab);
    EXPECT_EQ(gWantSection, c.want.section);
    EXPECT_EQ(calls(), c.want.calls); // once, though the key stayed down past its repeat
  }
}

TEST_F(MenusTest, ItemsChosenInTheBarReachTheirRequestsAndHooks) {
  struct Case {
    const char* menu;
    const char* item;
    Outcome want;
  };
  const Case cases[] = {
      {"Velto", "Einstellungen …", {kTabSettings, "", ""}},
      {"Velto", "Audio", {kTabSettings, "Audio", ""}},
      {"Velto", "Velto beenden", {-1, "", "quit"}},
      {"Ansicht", "Effekte", {kTabEffects, "", ""}},
      {"Ansicht", "Visualisierung", {kTabVisual, "", ""}},
      {"Fenster", "Minimieren", {-1, "", "minimise"}},
      {"Hilfe", "Velto-Hilfe", {-1, "", "help uebersicht"}},
      {"Hilfe", "API-Dokumentation", {-1, "", "docs"}},
      {"Bearbeiten", "Kopieren", {-1, "", ""}}, // no receiver in this window
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.menu) + " > " + c.item);
    reset();
    choose(c.menu, c.item);
    EXPECT_EQ(gWantTab, c.want.tab);
    EXPECT_EQ(gWantSection, c.want.section);
    EXPECT_EQ(calls(), c.want.calls);
  }
  // The four sections stand indented under "Einstellungen …".
  clickText(*ui, "Velto");
  for (const char* section : {"Audio", "Start", "Treiber", "API"})
    EXPECT_GT(ui->textPos(section).x, ui->textPos("Einstellungen …").x + 5.0f) << section;
}

const MenuItem* itemTitled(const char* menu, const char* title) {
  for (int m = 0; m < kMenuCount; ++m)
    for (int i = 0; i < kMenus[m].count; ++i)
      if (std::string(kMenus[m].title) == menu && kMenus[m].items[i].title != nullptr &&
          std::string(kMenus[m].items[i].title) == title)
        return &kMenus[m].items[i];
  return nullptr;
}

TEST_F(MenusTest, ItemsWithoutTheirHookAreDisabledAndDoNothing) {
  struct Case {
    const char* menu;
    const char* item;
    bool enabledWithHooks;
  };
  const Case cases[] = {
      {"Velto", "Velto beenden", true},         {"Fenster", "Minimieren", true},
      {"Hilfe", "Velto-Hilfe", true},           {"Hilfe", "API-Dokumentation", true},
      {"Bearbeiten", "Alles auswählen", false}, {"Bearbeiten", "Suchen …", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.item);
    const MenuItem* item = itemTitled(c.menu, c.item);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(menuItemEnabled(*item), c.enabledWithHooks);
    setHooks(false);
    EXPECT_FALSE(menuItemEnabled(*item));
    reset();
    choose(c.menu, c.item);
    if (item->key != 0) chord(item->key, true, item->shift);
    runMenuItem(*item);
    EXPECT_EQ(calls(), "");
    setHooks(true);
  }
  // The settings and tab items need no hook; "Visualisierung" has no shortcut.
  EXPECT_TRUE(menuItemEnabled(*itemTitled("Velto", "Treiber")));
  EXPECT_TRUE(menuItemEnabled(*itemTitled("Ansicht", "Pads")));
  EXPECT_EQ(itemTitled("Ansicht", "Visualisierung")->key, 0);
}

TextView gPage;
bool gPageShown = false;

TEST_F(MenusTest, EditItemsActOnTheDocumentWindowThatHadTheKeyboardLast) {
  gPage.setText(VeltoRenderMarkdown("# Hilfe\nErste Zeile\n\nZweite Zeile"));
  gPageShown = true;
  setEditTarget([]() -> TextView* { return gPageShown ? &gPage : nullptr; },
                [] { gCalls.push_back("raise"); });
  const std::string whole = gPage.plain();
  enum { Choose, Chord };
  struct Case {
    const char* name;
    int how;
    const char* item; // Choose: the item; Chord: unused
    int key;          // Chord: the key held with Strg
    bool shown;       // the target's window is shown
    size_t selected;  // the page's selected length afterwards
    const char* clipboard;
    bool findBar;
    const char* calls;
  };
  const Case cases[] = {
      {"Kopieren without a selection is disabled", Choose, "Kopieren", 0, true, 0, "", false, ""},
      {"Alles auswählen", Choose, "Alles auswählen", 0, true, whole.size(), "", false, ""},
      {"Kopieren follows the selection", Choose, "Kopieren", 0, true, whole.size(), whole.c_str(),
       false, ""},
      {"Suchen opens the page's find bar", Choose, "Suchen …", 0, true, whole.size(), "", true,
       "raise"},
      {"Strg+C in the main window is its field's", Chord, nullptr, GLFW_KEY_C, true, whole.size(),
       "", false, ""},
      {"a hidden window's page is no target", Choose, "Alles auswählen", 0, false, 0, "", false,
       ""},
      {"Strg+A in the main window is its field's", Chord, nullptr, GLFW_KEY_A, true, 0, "", false,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset();
    ImGui::SetClipboardText("");
    gPageShown = c.shown;
    if (!c.shown) gPage.select({0, 0});
    if (c.how == Choose) {
      choose("Bearbeiten", c.item);
    } else {
      chord(c.key, true);
    }
    EXPECT_EQ(gPage.selection().length, c.selected);
    const char* clip = ImGui::GetClipboardText();
    EXPECT_EQ(std::string(clip != nullptr ? clip : ""), c.clipboard);
    EXPECT_EQ(gPage.findBarOpen(), c.findBar);
    EXPECT_EQ(calls(), c.calls);
    gPage = TextView{};
    gPage.setText(VeltoRenderMarkdown("# Hilfe\nErste Zeile\n\nZweite Zeile"));
    if (c.selected > 0) gPage.selectAll();
  }
  setEditTarget(nullptr, nullptr);
}

TEST_F(MenusTest, DocumentWindowsTakeTheApplicationShortcutsOnly) {
  const MenuItem* pressed = nullptr;
  ui->scene = [&] {
    ImGui::Begin("document");
    if (const MenuItem* item = pressedAppShortcut()) pressed = item;
    ImGui::End();
  };
  enum { C = 1, S = 2 };
  struct Case {
    const char* name;
    int key, mods;
    Outcome want;
  };
  const Case cases[] = {
      {"Strg+Q quits", GLFW_KEY_Q, C, {-1, "", "quit"}},
      {"Strg+2 hardware inputs", GLFW_KEY_2, C, {kTabInputs, "", ""}},
      {"Strg+0 settings tab", GLFW_KEY_0, C, {kTabSettings, "", ""}},
      {"Strg+, settings", GLFW_KEY_COMMA, C, {kTabSettings, "", ""}},
      {"Strg+? help", GLFW_KEY_MINUS, C | S, {-1, "", "help uebersicht"}},
      {"Strg+M is the window's own", GLFW_KEY_M, C, {-1, "", ""}},
      {"Strg+C is the page's own", GLFW_KEY_C, C, {-1, "", ""}},
      {"Strg+F is the page's own", GLFW_KEY_F, C, {-1, "", ""}},
      {"2 without Strg", GLFW_KEY_2, 0, {-1, "", ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset();
    pressed = nullptr;
    chord(c.key, c.mods & C, c.mods & S);
    if (pressed != nullptr) runMenuItem(*pressed);
    EXPECT_EQ(gWantTab, c.want.tab);
    EXPECT_EQ(calls(), c.want.calls);
  }
}

TEST_F(MenusTest, MixerTakesTheWorkAreaBelowTheBarAndFollowsTheMenus) {
  showMixer();
  const ImGuiWindow* bar = ImGui::FindWindowByName("##MainMenuBar");
  const ImGuiWindow* mixer = ImGui::FindWindowByName("Velto");
  ASSERT_NE(bar, nullptr);
  ASSERT_NE(mixer, nullptr);
  const float barHeight = bar->Size.y;
  EXPECT_FLOAT_EQ(barHeight, ImGui::GetFrameHeight());
  EXPECT_FLOAT_EQ(mixer->Pos.y, barHeight);
  EXPECT_FLOAT_EQ(mixer->Size.y, UiHarness::kHeight - barHeight);
  for (const char* title : {"Bearbeiten", "Ansicht", "Fenster", "Hilfe"})
    EXPECT_LT(ui->textPos(title).y, barHeight) << title;
  EXPECT_GT(ui->tabCentre("Board").y, barHeight);

  struct Case {
    const char* name;
    std::function<void()> act;
    const char* selected;
    bool flashes;
  };
  const Case cases[] = {
      {"Strg+3", [this] { chord(GLFW_KEY_3, true); }, "Effekte", false},
      {"Velto > Treiber", [this] { choose("Velto", "Treiber"); }, "Einstellungen", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gSectionFlash = -10.0;
    c.act();
    ui->frames(2);
    EXPECT_EQ(ui->selectedTab(), c.selected);
    EXPECT_EQ(gWantSection, ""); // consumed by the settings tab when it asked for one
    if (!c.flashes) {
      EXPECT_EQ(gSectionFlash, -10.0);
      continue;
    }
    EXPECT_NEAR(gSectionFlash, ImGui::GetTime(), 0.2); // the heading started flashing
    const ImVec2 heading = ui->textPos("Treiber");
    EXPECT_GT(heading.y, barHeight);
    EXPECT_LT(heading.y, UiHarness::kHeight);
  }
}

TEST_F(MenusTest, InHelpModeTheBarStaysAMenuAndTheMixerStillAsksForHelp) {
  showMixer();
  struct Case {
    const char* name;
    std::function<void()> act;
    const char* calls;
    bool helpModeAfter;
    const char* selected;
  };
  const Case cases[] = {
      {"item chosen from the bar", [this] { choose("Ansicht", "Pads"); }, "", true, "Pads"},
      {"click on the mixer", [this] { ui->click(ImVec2(40, 500)); }, "help board", false, "Board"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    chord(GLFW_KEY_1, true);
    ui->frames(2);
    reset();
    setHelpMode(true);
    ui->frame();
    c.act();
    ui->frames(2);
    EXPECT_EQ(calls(), c.calls);
    EXPECT_EQ(helpModeActive(), c.helpModeAfter);
    EXPECT_EQ(ui->selectedTab(), c.selected);
    setHelpMode(false);
  }
}

} // namespace
} // namespace velto::test
