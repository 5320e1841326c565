#include "ui/software_tab.h"

#include "core/levels.h"
#include "engine/engine.h"
#include "ui/cards.h"
#include "ui/fader.h"
#include "ui/help.h"
#include "ui/routing.h"
#include "ui/style.h"

#include <imgui.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace velto {

namespace {

constexpr int kMaxApps = 16;
constexpr int kDefaultVirtualIn = 3;
// A capture whose last callback with sound lies this many callbacks back counts as silent.
constexpr uint32_t kAudibleCallbacks = 199;
constexpr double kStatusHoldSeconds = 1.0;

const ImVec4 kRowAlt{0.21f, 0.22f, 0.27f, 1.0f};
const ImVec4 kSilentText{0.5f, 0.5f, 0.55f, 1.0f};

bool containsIgnoringCase(const std::string& text, const char* part) {
  auto lower = [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  };
  std::string a(text), b(part);
  std::transform(a.begin(), a.end(), a.begin(), lower);
  std::transform(b.begin(), b.end(), b.begin(), lower);
  return a.find(b) != std::string::npos;
}

void appStatus(const AppSource& app) {
  static std::map<const AppSource*, std::pair<uint32_t, double>> seen;
  // The callback raises its count before it stores the audible number, so read in this order
  // the audible number never lies ahead of the count.
  const uint32_t audible = app.lastAudible.load();
  const uint32_t count = app.callbacks.load();
  std::pair<uint32_t, double>& entry = seen[&app];
  const double now = ImGui::GetTime();
  if (count != entry.first) entry = {count, now};

  ImGui::AlignTextToFramePadding();
  if (!app.processes.empty() && app.ioProc == platform::audio::kNoIoProc) {
    // No permission hint: this system has no recording permission to grant.
    ImGui::TextColored(kRed, "kein Zugriff");
  } else if (now - entry.second < kStatusHoldSeconds && count != 0 && audible != 0 &&
             count - audible <= kAudibleCallbacks) {
    ImGui::TextColored(kTextLight, "Ton");
  } else {
    ImGui::TextColored(kSilentText, "Stille");
  }
  helpItem("software#Status");
}

void routeCell(Engine& engine, AppSource& app) {
  for (int k = 0; k < 4; ++k) {
    if (k > 0) ImGui::SameLine(0, 4);
    const Strip& target = engine.virtualIns[k].strip;
    routeButton(app.strip.routeMask, k, target.name, true, kAccentVi, target.mute.load(), 0.0f,
                ImGui::GetFrameHeight());
    helpItem("software#Virtual Input");
  }
}

void passthroughCell(Engine& engine, const AppSource& app, int row) {
  const bool on = app.passthrough;
  if (coloredButton(on ? "Original an" : "Original aus", on ? kAccentApp : kGray,
                    on ? kTextDark : kTextLight, -1.0f, ImGui::GetFrameHeight())) {
    engine.setAppPassthrough(row, !on);
  }
  helpItem("software#Original");
  if (ImGui::IsItemHovered()) {
    ImGui::SetTooltip("an: App spielt zusätzlich direkt auf ihrem normalen Ausgang.\nDann hörst "
                      "du sie doppelt und Velto kann sie nur lauter machen, nicht leiser.");
  }
}

void levelCell(AppSource& app) {
  const ImVec2 pos = ImGui::GetCursorScreenPos();
  const float length = std::max(ImGui::GetContentRegionAvail().x - 64.0f, 60.0f);
  fader(app.strip.gain, app.strip.meter, false, length);
  helpRect(pos, ImVec2(pos.x + length + 64.0f, pos.y + 26.0f), "software#Pegel");
  ImGui::GetWindowDrawList()->AddText(ImVec2(pos.x + length + 6.0f, pos.y + 1.0f),
                                      ImGui::GetColorU32(ImGuiCol_TextDisabled),
                                      levelText(gainToDb(app.strip.gain.load())).c_str());
}

void muteCell(AppSource& app) {
  const bool muted = app.strip.mute.load();
  if (coloredButton("M", muted ? kRed : kGray, muted ? kTextDark : kTextLight, -1.0f,
                    ImGui::GetFrameHeight())) {
    app.strip.mute.exchange(!muted);
  }
  helpItem("software#M und x");
  if (ImGui::IsItemHovered()) ImGui::SetTooltip("Stumm");
}

// True when the row's remove button was clicked.
bool removeCell() {
  const bool clicked = coloredButton("x", kGray, kTextLight, -1.0f, ImGui::GetFrameHeight());
  helpItem("software#M und x");
  if (ImGui::IsItemHovered()) ImGui::SetTooltip("Entfernen");
  return clicked;
}

// One table row; true when the row asks to be removed.
bool appRow(Engine& engine, AppSource& app, int row) {
  ImGui::PushID(&app);
  ImGui::TableNextRow();
  ImGui::TableNextColumn();
  title(
      app.strip.name, kAccentApp, [&app](const std::string& name) { app.strip.name = name; },
      false);
  helpItem("software#App");
  ImGui::TableNextColumn();
  appStatus(app);
  ImGui::TableNextColumn();
  routeCell(engine, app);
  ImGui::TableNextColumn();
  passthroughCell(engine, app, row);
  ImGui::TableNextColumn();
  levelCell(app);
  ImGui::TableNextColumn();
  muteCell(app);
  ImGui::TableNextColumn();
  const bool remove = removeCell();
  ImGui::PopID();
  return remove;
}

void appTable(Engine& engine, float width) {
  ImGui::PushStyleVar(ImGuiStyleVar_CellPadding, ImVec2(10, 9));
  ImGui::PushStyleColor(ImGuiCol_TableRowBg, kCardBg);
  ImGui::PushStyleColor(ImGuiCol_TableRowBgAlt, kRowAlt);
  ImGui::PushStyleColor(ImGuiCol_TableHeaderBg, kPanel);
  int marked = -1;
  constexpr ImGuiTableFlags kFlags = ImGuiTableFlags_RowBg | ImGuiTableFlags_BordersInnerH |
                                     ImGuiTableFlags_BordersOuterH | ImGuiTableFlags_BordersOuterV |
                                     ImGuiTableFlags_SizingFixedFit;
  if (ImGui::BeginTable("apps", 7, kFlags, ImVec2(width, 0))) {
    ImGui::TableSetupColumn("App", ImGuiTableColumnFlags_WidthFixed, 160);
    ImGui::TableSetupColumn("Status", ImGuiTableColumnFlags_WidthFixed, 100);
    ImGui::TableSetupColumn("Virtual Input", ImGuiTableColumnFlags_WidthFixed, 340);
    ImGui::TableSetupColumn("Original", ImGuiTableColumnFlags_WidthFixed, 100);
    ImGui::TableSetupColumn("Pegel", ImGuiTableColumnFlags_WidthStretch, 1.0f);
    ImGui::TableSetupColumn("M", ImGuiTableColumnFlags_WidthFixed, 26);
    ImGui::TableSetupColumn("x", ImGuiTableColumnFlags_WidthFixed, 22);
    ImGui::TableHeadersRow();
    for (int row = 0; AppSource* app = appAt(engine, row); ++row) {
      if (appRow(engine, *app, row)) marked = row;
    }
    ImGui::EndTable();
  }
  ImGui::PopStyleColor(3);
  ImGui::PopStyleVar();
  // Removed only now: the rows above held the slot while they were drawn.
  if (appAt(engine, marked) != nullptr) engine.removeApp(marked);
}

void addAppPopup(Engine& engine) {
  static std::vector<AppInfo> apps;
  static char filter[64] = "";
  if (!ImGui::BeginPopup("add")) return;
  if (ImGui::IsWindowAppearing()) {
    apps = listAvailableApps();
    filter[0] = '\0';
    ImGui::SetKeyboardFocusHere();
  }
  ImGui::SetNextItemWidth(260);
  ImGui::InputTextWithHint("##filter", "Suchen ...", filter, sizeof filter);
  ImGui::BeginChild("list", ImVec2(260, 320));
  for (const AppInfo& app : apps) {
    if (filter[0] != '\0' && !containsIgnoringCase(app.name, filter) &&
        !containsIgnoringCase(app.bundleId, filter)) {
      continue;
    }
    ImGui::PushID(app.bundleId.c_str());
    if (ImGui::Selectable(app.name.c_str())) {
      engine.addApp(app.bundleId);
      ImGui::CloseCurrentPopup();
    }
    if (ImGui::IsItemHovered()) ImGui::SetTooltip("%s", app.bundleId.c_str());
    if (app.playing) {
      ImGui::SameLine(200);
      ImGui::TextColored(kTextLight, "spielt");
    }
    ImGui::PopID();
  }
  ImGui::EndChild();
  ImGui::EndPopup();
}

} // namespace

AppSource* appAt(Engine& engine, int row) {
  if (row < 0 || row >= engine.appCount()) return nullptr;
  return &engine.app(row);
}

void drawSoftware(Engine& engine) {
  const ImVec2 avail = ImGui::GetContentRegionAvail();
  ImGui::Dummy(ImVec2(0, std::clamp(0.08f * avail.y, 16.0f, 72.0f)));
  const float width = std::min(avail.x - 32.0f, 1100.0f);
  ImGui::SetCursorPosX(ImGui::GetCursorPosX() + (ImGui::GetContentRegionAvail().x - width) * 0.5f);
  ImGui::BeginGroup();

  if (engine.appCount() > 0) {
    appTable(engine, width);
  } else {
    ImGui::TextDisabled("Keine App zugeordnet. Alle Apps laufen über %s.",
                        engine.virtualIns[kDefaultVirtualIn].strip.name.c_str());
  }
  ImGui::Spacing();
  ImGui::Spacing();

  if (engine.appCount() < kMaxApps) {
    if (coloredButton("+ App hinzufügen", kCardBg, kAccentApp, 200, 32)) ImGui::OpenPopup("add");
    helpItem("software#App hinzufügen");
    addAppPopup(engine);
  }
  ImGui::EndGroup();
}

} // namespace velto
