#include "ui/window.h"

#include "api/api.h"
#include "effects/fx_table.h"
#include "effects/input_fx.h"
#include "engine/engine.h"
#include "ui/board.h"
#include "ui/effects_tab.h"
#include "ui/help.h"
#include "ui/inputs_tab.h"
#include "ui/intro.h"
#include "ui/outputs_tab.h"
#include "ui/pads_tab.h"
#include "ui/player_tab.h"
#include "ui/settings_tab.h"
#include "ui/software_tab.h"
#include "ui/style.h"
#include "ui/virtual_tabs.h"
#include "ui/visual_tab.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <strings.h>

namespace velto {

Engine* gEngine = nullptr;
int gWantTab = -1;
int gOutputSettings = 0;
int gInputSettings = 0;
int gInputItem = 0;
bool gPadEdit = false;

PrivacyHandler gPrivacyHandler = nullptr;
IntroSoundHandler gIntroSound = nullptr;
FolderPicker gFolderPicker = nullptr;
RevealHandler gRevealHandler = nullptr;
FilePicker gFilePicker = nullptr;
SavePicker gSavePicker = nullptr;
DocsHandler gDocsHandler = nullptr;
HelpHandler gHelpHandler = nullptr;
ImFont* gTitleFont = nullptr;

ImVec2 gPlayerButton[6];
ImVec2 gFxNode[3][40];
ImVec2 gFxPlus[3];
ImVec2 gPadPoint[16];
ImVec2 gPadsGear;
ImVec2 gVizSource[9];
ImVec2 gVizTarget[6];

namespace {

struct TabInfo {
  const char* label;
  const char* helpKey;
  const char* word; // VELTO_TAB value that selects the tab
};

constexpr TabInfo kTabs[kTabCount] = {
    {"Board", "board", "board"},
    {"Hardware Inputs", "hardware-inputs", "inputs"},
    {"Hardware Outputs", "hardware-outputs", "outputs"},
    {"Virtual Inputs", "virtual-inputs", "vinputs"},
    {"Virtual Outputs", "virtual-outputs", "voutputs"},
    {"Software", "software", "software"},
    {"Player", "player", "player"},
    {"Pads", "pads", "pads"},
    {"Visualisierung", "visualisierung", "visual"},
    {"Einstellungen", "einstellungen", "settings"},
    {"Effekte", "effekte", "effects"},
};

constexpr int kBarOrder[kTabCount] = {0, 1, 10, 2, 3, 4, 5, 6, 7, 8, 9};
constexpr int kLastInputItem = 61;
constexpr int kLastHardware = 2;

struct TabEntry {
  const char* label;
  const char* helpKey;
  std::function<void()> body;
};

ImVec2 pointAt(const ImVec2* points, int count, int n) {
  return n >= 0 && n < count ? points[n] : ImVec2(0, 0);
}

// Effects on the first bank of hardware input 1, for demonstrations and screenshots.
void applyFxDemo(Engine& engine) {
  InputFx* fx = engine.hwInputs[0].fx;
  if (!fx) return;
  for (FxId id : {FxId::gate, FxId::lowCut, FxId::eq, FxId::compressor, FxId::limiter})
    fx->enabled[id].exchange(true);
  fx->set(FxId::limiter, 2, 1.0f);
  fx->set(FxId::eq, 1, 3.0f);
  fx->set(FxId::eq, 3, -4.0f);
  fx->set(FxId::eq, 9, 2.5f);
}

// Settings that are not saved concern every tab, so the line runs along the window's foot, in
// the red of the other status lines, over whatever the tab draws there.
void configNoticeLine(const Api& api) {
  const std::string notice = api.configNotice();
  if (notice.empty()) return;
  constexpr float kPad = 6.0f;
  const ImVec2 pos = ImGui::GetWindowPos();
  const ImVec2 size = ImGui::GetWindowSize();
  const float height = ImGui::GetTextLineHeight() + 2.0f * kPad;
  const ImVec2 top(pos.x, pos.y + size.y - height);
  const ImVec2 end(pos.x + size.x, pos.y + size.y);
  ImDrawList* list = ImGui::GetWindowDrawList();
  list->PushClipRect(top, end, false);
  list->AddRectFilled(top, end, ImGui::GetColorU32(kBg));
  list->AddText(ImVec2(top.x + 2.0f * kPad, top.y + kPad), ImGui::GetColorU32(kRed),
                notice.c_str());
  list->PopClipRect();
}

} // namespace

const char* tabLabelForKey(const std::string& key) {
  for (const TabInfo& t : kTabs)
    if (key == t.helpKey) return t.label;
  return nullptr;
}

void applyWindowEnv(Engine& engine, const char* tab, const char* item, const char* demo) {
  if (tab)
    for (int e = 0; e < kTabCount; ++e)
      if (strcasecmp(tab, kTabs[e].word) == 0) gWantTab = e;
  if (item) selectInputItem(std::atoi(item));
  if (demo) applyFxDemo(engine);
}

void drawMixer(Engine& engine, Api& api) {
  static const char* current = nullptr;
  static double nextUsers = 0.0;
  static const char* envTab = nullptr;
  static const char* envItem = nullptr;
  static const char* envDemo = nullptr;
  static bool envRead = false;

  gEngine = &engine;
  engine.prepareLoopers();

  const ImGuiViewport* vp = ImGui::GetMainViewport();
  ImGui::SetNextWindowPos(vp->WorkPos, ImGuiCond_Always, ImVec2(0, 0));
  ImGui::SetNextWindowSize(vp->WorkSize);
  ImGui::Begin("Velto", nullptr,
               ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove |
                   ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoCollapse |
                   ImGuiWindowFlags_HorizontalScrollbar | ImGuiWindowFlags_NoBringToFrontOnFocus);

  static bool introRead = false;
  if (!introRead) {
    introRead = true;
    if (const char* at = std::getenv("VELTO_INTRO_AT")) gIntroFixed = std::atof(at);
  }
  const double t = drawIntro(ImGui::GetWindowDrawList());
  if (t >= 0.0 && t < kIntroTabsAt) {
    ImGui::End();
    return;
  }
  float alpha = 1.0f;
  if (t >= 0.0) {
    const float s = std::clamp(static_cast<float>((t - kIntroTabsAt) / 0.6), 0.0f, 1.0f);
    alpha = s * s * (3.0f - 2.0f * s);
  }
  ImGui::PushStyleVar(ImGuiStyleVar_Alpha, std::max(0.01f, alpha));

  if (Engine::clock() >= nextUsers) {
    engine.refreshUsers();
    nextUsers = Engine::clock() + 1.0;
  }

  if (!envRead) {
    envRead = true;
    envTab = std::getenv("VELTO_TAB");
    envItem = std::getenv("VELTO_INPUT_ITEM");
    envDemo = std::getenv("VELTO_FX_DEMO");
  }
  if (envTab || envItem || envDemo) {
    applyWindowEnv(engine, envTab, envItem, envDemo);
    envTab = envItem = envDemo = nullptr;
  }

  const int wanted = gWantTab;
  gWantTab = -1;

  auto none = [] {};
  TabEntry entries[kTabCount];
  for (int e = 0; e < kTabCount; ++e) entries[e] = {kTabs[e].label, kTabs[e].helpKey, none};
  entries[kTabBoard].body = [&engine] { drawBoard(engine); };
  entries[kTabInputs].body = [&engine] { drawInputs(engine); };
  entries[kTabOutputs].body = [&engine] { drawOutputs(engine); };
  entries[kTabVirtualInputs].body = [&engine] { drawVirtualInputs(engine); };
  entries[kTabVirtualOutputs].body = [&engine] { drawVirtualOutputs(engine); };
  entries[kTabSoftware].body = [&engine] { drawSoftware(engine); };
  entries[kTabPlayer].body = [&engine] { drawPlayer(engine); };
  entries[kTabPads].body = [&engine] { drawPads(engine); };
  entries[kTabVisual].body = [&engine] { drawVisualization(engine); };
  entries[kTabEffects].body = [&engine] { drawEffects(engine); };
  entries[kTabSettings].body = [&engine, &api] { drawSettings(engine, api); };
  if (!current) current = kTabs[0].helpKey;
  gHelpKey.clear();

  const bool helpMode = gHelpMode;
  if (helpMode) {
    ImGui::PushStyleVar(ImGuiStyleVar_DisabledAlpha, 1.0f);
    ImGui::BeginDisabled(true);
  }
  bool helpClicked = false;
  if (ImGui::BeginTabBar("tabs", 0)) {
    for (int p = 0; p < kTabCount; ++p) {
      const TabEntry& entry = entries[kBarOrder[p]];
      const bool open = ImGui::BeginTabItem(
          entry.label, nullptr, kBarOrder[p] == wanted ? ImGuiTabItemFlags_SetSelected : 0);
      gHelpPage = entry.helpKey;
      helpItem(entry.helpKey);
      if (!open) continue;
      current = entry.helpKey;
      gHelpSection.clear();
      const ImVec2 top = ImGui::GetCursorScreenPos();
      const ImVec2 avail = ImGui::GetContentRegionAvail();
      helpRect(top, ImVec2(top.x + avail.x, top.y + avail.y), entry.helpKey);
      entry.body();
      gHelpPage = entry.helpKey;
      const ImVec2 saved = ImGui::GetCursorScreenPos();
      ImGui::SetCursorScreenPos(ImVec2(ImGui::GetWindowPos().x + ImGui::GetWindowWidth() -
                                           ImGui::GetStyle().WindowPadding.x - kHelpButtonSize,
                                       top.y));
      helpClicked = helpButton("?") || helpClicked;
      ImGui::SetCursorScreenPos(saved);
      ImGui::EndTabItem();
    }
    ImGui::EndTabBar();
  }
  if (helpMode) {
    ImGui::EndDisabled();
    ImGui::PopStyleVar();
  }
  helpOverlay(helpClicked, current);
  configNoticeLine(api);

  ImGui::PopStyleVar();
  ImGui::End();
}

void selectTab(int tab) {
  gWantTab = tab;
}

void showSettings(const char* section) {
  gWantTab = kTabSettings;
  gWantSection = section ? section : "";
}

// The index later picks one of the three hardware strips, so it is kept within them.
void selectSettings(bool output, int index) {
  (output ? gOutputSettings : gInputSettings) = std::clamp(index, 0, kLastHardware);
}

void selectInputItem(int item) {
  gInputItem = std::clamp(item, 0, kLastInputItem);
}

void showApiDocs() {
  if (gDocsHandler) gDocsHandler();
}

void setPadsEditing(bool on) {
  gPadEdit = on;
}
bool boardEditing() {
  return gBoardEdit;
}

namespace {
std::string gMissingChooser, gMissingOpener;

std::string missingLine(const std::string& program) {
  return program.empty() ? std::string() : "Hilfsprogramm fehlt: " + program;
}
} // namespace

void setMissingChooser(const char* programs) {
  gMissingChooser = programs != nullptr ? programs : "";
}
void setMissingOpener(const char* program) {
  gMissingOpener = program != nullptr ? program : "";
}
std::string missingChooserLine() {
  return missingLine(gMissingChooser);
}
std::string missingOpenerLine() {
  return missingLine(gMissingOpener);
}

void setPrivacyHandler(PrivacyHandler h) {
  gPrivacyHandler = h;
}
void setIntroSound(IntroSoundHandler h) {
  gIntroSound = h;
}
void setFolderPicker(FolderPicker h) {
  gFolderPicker = h;
}
void setRevealHandler(RevealHandler h) {
  gRevealHandler = h;
}
void setFilePicker(FilePicker h) {
  gFilePicker = h;
}
void setSavePicker(SavePicker h) {
  gSavePicker = h;
}
void setDocsHandler(DocsHandler h) {
  gDocsHandler = h;
}
void setHelpHandler(HelpHandler h) {
  gHelpHandler = h;
}
void setTitleFont(ImFont* font) {
  gTitleFont = font;
}

ImVec2 playerButtonPoint(int n) {
  return pointAt(gPlayerButton, 6, n);
}
ImVec2 fxNodePoint(int input, int node) {
  return input >= 0 && input < 3 ? pointAt(gFxNode[input], 40, node) : ImVec2(0, 0);
}
ImVec2 fxPlusPoint(int input) {
  return pointAt(gFxPlus, 3, input);
}
ImVec2 padPoint(int n) {
  return pointAt(gPadPoint, 16, n);
}
ImVec2 padsGearPoint() {
  return gPadsGear;
}
ImVec2 vizSourcePoint(int n) {
  return pointAt(gVizSource, 9, n);
}
ImVec2 vizTargetPoint(int n) {
  return pointAt(gVizTarget, 6, n);
}
ImVec2 boardGearPoint() {
  return gBoardGear;
}
ImVec2 boardCardPoint(int n) {
  return pointAt(gBoardCard, 64, n);
}
ImVec2 boardArrowPoint(int n, bool right) {
  return n >= 0 && n < 64 ? gBoardArrow[n][right ? 1 : 0] : ImVec2(0, 0);
}

} // namespace velto
