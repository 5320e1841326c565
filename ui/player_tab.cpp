#include "ui/player_tab.h"

#include "engine/engine.h"
#include "media/audio_file.h"
#include "media/player.h"
#include "ui/cards.h"
#include "ui/driver_notice.h"
#include "ui/fader.h"
#include "ui/help.h"
#include "ui/icons.h"
#include "ui/style.h"
#include "ui/window.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

namespace velto {

namespace {

constexpr ImGuiHoveredFlags kPanelHover =
    ImGuiHoveredFlags_ChildWindows | ImGuiHoveredFlags_AllowWhenBlockedByActiveItem;
constexpr ImGuiWindowFlags kPanelFlags =
    ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoScrollWithMouse;
constexpr float kGap = 28.0f;
constexpr float kSwitchW = 130.0f;
constexpr float kCrossfadeMax = 30.0f;
const ImVec4 kZone{0.56f, 0.58f, 1.00f, 0.18f};
const ImVec4 kLabel{0.66f, 0.68f, 0.75f, 1.0f};
const ImVec4 kNextRow{0.75f, 0.76f, 0.95f, 1.0f};
const ImVec4 kCurrentTitle{1.0f, 1.0f, 1.0f, 1.0f}; // on the selection blue of the current row

// The entry at index, or null; the player's queries give -1 when there is none.
const PlayerTrack* trackAt(const Player& player, int index) {
  return index >= 0 && size_t(index) < player.playlist.size() ? &player.playlist[size_t(index)]
                                                              : nullptr;
}

// A value typed into a slider (ctrl+click) is not held to its range; nothing outside it is
// stored, and a negative track value would silently mean "use the player's".
float crossfadeInRange(float seconds) {
  return seconds > 0 ? std::min(seconds, kCrossfadeMax) : 0.0f;
}

float effectiveCrossfade(const Player& player, const PlayerTrack& track) {
  return track.crossfade >= 0 ? track.crossfade : player.crossfade.load();
}

void panelHelp() {
  if (gHelpMode && ImGui::IsWindowHovered(kPanelHover)) gHelpKey = helpRef(gHelpSection, "");
}

// Switch of the option row; on it is drawn in the player's accent.
bool optionSwitch(const char* label, bool on, const char* tip) {
  const bool clicked = coloredButton(label, on ? kAccentPlayer : kGray, on ? kTextDark : kTextLight,
                                     kSwitchW, ImGui::GetFrameHeight());
  if (tip && ImGui::IsItemHovered()) ImGui::SetTooltip("%s", tip);
  return clicked;
}

void seekBar(Player& player, double pos, double dur, float xf) {
  const ImVec2 p = ImGui::GetCursorScreenPos();
  const float w = ImGui::GetContentRegionAvail().x;
  const bool clicked = ImGui::InvisibleButton("seek", ImVec2(w, 20));
  const bool hovered = ImGui::IsItemHovered();
  helpItem(helpRef(gHelpSection, "Fortschritt"));
  ImDrawList* list = ImGui::GetWindowDrawList();
  const float top = p.y + 4, bottom = p.y + 16;
  list->AddRectFilled(ImVec2(p.x, top), ImVec2(p.x + w, bottom), ImGui::GetColorU32(kTrack), 4.0f);
  if (dur <= 0) return;
  const float zone = std::clamp(static_cast<float>((dur - xf) / dur), 0.0f, 1.0f);
  list->AddRectFilled(ImVec2(p.x + zone * w, top), ImVec2(p.x + w, bottom),
                      ImGui::GetColorU32(kZone), 4.0f);
  const float done = std::clamp(static_cast<float>(pos / dur), 0.0f, 1.0f);
  list->AddRectFilled(ImVec2(p.x, top), ImVec2(p.x + done * w, bottom),
                      ImGui::GetColorU32(kAccentPlayer), 4.0f);
  if (!hovered) return;
  const double t =
      std::clamp(static_cast<double>((ImGui::GetIO().MousePos.x - p.x) / w), 0.0, 1.0) * dur;
  char text[16];
  formatTime(text, t);
  ImGui::SetTooltip("%s", text);
  if (clicked) player.seek(t);
}

void transportButtons(Player& player) {
  const bool active = player.playing.load() && !player.paused.load();
  struct Button {
    const char* id;
    Icon icon;
    bool active;
    const char* tip;
  };
  const Button buttons[4] = {
      {"prev", Icon::Prev, false, "Zurück"},
      {"play", active ? Icon::Pause : Icon::Play, active, active ? "Pause" : "Abspielen"},
      {"stop", Icon::Stop, false, "Stopp (blendet aus)"},
      {"next", Icon::Next, false, "Übergang zum nächsten Titel"},
  };
  for (int k = 0; k < 4; ++k) {
    if (k > 0) ImGui::SameLine(0, 10);
    const Button& b = buttons[k];
    const bool clicked = iconButton(b.id, b.icon, ImVec2(58, 40), b.active, b.tip);
    const ImVec2 a = ImGui::GetItemRectMin(), z = ImGui::GetItemRectMax();
    gPlayerButton[k] = ImVec2((a.x + z.x) * 0.5f, (a.y + z.y) * 0.5f);
    if (!clicked) continue;
    switch (k) {
    case 0:
      player.prev();
      break;
    case 1:
      if (active)
        player.pause();
      else
        player.play(-1);
      break;
    case 2:
      player.stop();
      break;
    default:
      player.next();
      break;
    }
  }
}

void crossfadeRow(Player& player) {
  const ImGuiStyle& style = ImGui::GetStyle();
  ImGui::AlignTextToFramePadding();
  ImGui::TextColored(kLabel, "Übergang");
  ImGui::SameLine(110, -1);
  const float avail = ImGui::GetContentRegionAvail().x;
  const float wS = avail - (style.ItemSpacing.x + kSwitchW) * 3;
  const bool oneLine = wS >= 160;
  ImGui::SetNextItemWidth(oneLine ? wS : avail);
  ImGui::PushStyleColor(ImGuiCol_SliderGrab, kAccentPlayer);
  ImGui::PushStyleColor(ImGuiCol_SliderGrabActive, kAccentPlayer);
  float xf = player.crossfade.load();
  if (ImGui::SliderFloat("##xf", &xf, 0.0f, kCrossfadeMax, "%.1f s", 0))
    player.crossfade.exchange(crossfadeInRange(xf));
  ImGui::PopStyleColor(2);
  helpItem(helpRef(gHelpSection, "Übergang"));
  if (oneLine) {
    ImGui::SameLine(0, -1);
  } else {
    ImGui::SetCursorPosX(110);
  }
  const bool trim = player.trim.load();
  if (optionSwitch("Stille kürzen", trim,
                   "Stille am Anfang und Ende jedes Titels überspringen (unter -50 dBFS)"))
    player.trim.exchange(!trim);
  ImGui::SameLine(0, -1);
  if (optionSwitch("Wiederholen", player.repeat, nullptr)) player.repeat = !player.repeat;
  ImGui::SameLine(0, -1);
  const bool beatSync = player.beatSync.load();
  if (optionSwitch("Beat-Abgleich", beatSync, "Übergang auf dem Schlag. Tempo bleibt unverändert"))
    player.beatSync.exchange(!beatSync);
}

void transportPanel(Player& player) {
  gHelpSection = "Oben";
  panelHelp();
  const int cur = player.currentIndex();
  const int next = player.nextIndex();
  const double pos = player.position();
  const double dur = player.duration();
  const PlayerTrack* track = trackAt(player, cur);
  const float xf = track ? effectiveCrossfade(player, *track) : player.crossfade.load();
  ImGui::TextColored(kAccentPlayer, "%s", track ? track->title.c_str() : "Playlist ist leer");

  char elapsed[16], remaining[16], times[40];
  formatTime(elapsed, pos);
  formatTime(remaining, dur - pos);
  std::snprintf(times, sizeof times, "%s   -%s", elapsed, remaining);
  ImGui::SameLine(ImGui::GetContentRegionMax().x - ImGui::CalcTextSize(times).x);
  ImGui::TextColored(kTextLight, "%s", times);

  seekBar(player, pos, dur, xf);
  const PlayerTrack* following = trackAt(player, next);
  ImGui::TextDisabled("Danach: %s", following ? following->title.c_str() : "Ende");

  ImGui::Dummy(ImVec2(0, 6));
  ImGui::SetCursorPosX(std::max(ImGui::GetCursorPosX(), (ImGui::GetWindowWidth() - 262) * 0.5f));
  transportButtons(player);
  ImGui::Dummy(ImVec2(0, 8));
  crossfadeRow(player);
}

void addList(Engine& engine) {
  static std::vector<std::string> files;
  Player& player = engine.player;
  const std::string& folder = engine.settings.playerFolder;
  ImGui::SetNextItemWidth(220);
  const bool open = ImGui::BeginCombo("##add", "Titel hinzufügen", 0);
  if (!open) {
    helpItem(helpRef(gHelpSection, "Titel hinzufügen"));
    return;
  }
  if (ImGui::IsWindowAppearing()) {
    makePlayerFolder(folder);
    files = listAudioFiles(folder);
  }
  // Opened off the frame, each track appearing when its file is known; a file that cannot be
  // read is simply not added.
  if (files.empty()) {
    ImGui::TextDisabled("Ordner enthält keine Audiodateien");
  } else {
    if (ImGui::Selectable("Alle aus dem Ordner"))
      for (const std::string& name : files) player.addLater(folder + "/" + name, false, {});
    for (size_t n = 0; n < files.size(); ++n) {
      ImGui::PushID(static_cast<int>(n));
      if (ImGui::Selectable(files[n].c_str())) player.addLater(folder + "/" + files[n], false, {});
      ImGui::PopID();
    }
  }
  ImGui::EndCombo();
}

void folderRow(Engine& engine) {
  ImGui::SameLine(0, -1);
  static std::string missing; // the helper program a click found missing
  folderButtons(engine.settings.playerFolder, "Ordner mit Audiodateien für den Player", missing);
  ImGui::SameLine(0, -1);
  ImGui::AlignTextToFramePadding();
  if (!missing.empty()) {
    ImGui::TextColored(kRed, "%s", missing.c_str());
  } else {
    ImGui::TextDisabled("%s", shortPath(engine.settings.playerFolder).c_str());
  }
  ImGui::Spacing();
}

// What the rows asked for; carried out once the table is done with the playlist.
struct RowAction {
  int remove = -1;
  int moveFrom = -1;
  int moveTo = -1;
  int play = -1;
};

void crossfadePopup(Player& player, PlayerTrack& track) {
  if (!ImGui::BeginPopup("xf")) return;
  float v = effectiveCrossfade(player, track);
  ImGui::SetNextItemWidth(200);
  if (ImGui::SliderFloat("##v", &v, 0.0f, kCrossfadeMax, "%.1f s"))
    track.crossfade = crossfadeInRange(v);
  helpItem(helpRef(gHelpSection, "Übergang je Titel"));
  if (coloredButton("Standard", kGray, kTextLight, 200, ImGui::GetFrameHeight())) {
    track.crossfade = -1.0f;
    ImGui::CloseCurrentPopup();
  }
  ImGui::EndPopup();
}

// A row's grey text; the current row's stands on the selection blue, where grey is not read.
void rowText(bool current, const char* text) {
  if (current) {
    ImGui::TextColored(kTextLight, "%s", text);
  } else {
    ImGui::TextDisabled("%s", text);
  }
}

void trackRow(Player& player, int i, int cur, int next, RowAction& action) {
  PlayerTrack& track = player.playlist[size_t(i)];
  const int count = static_cast<int>(player.playlist.size());
  const bool playing = player.playing.load();
  const bool current = i == cur && (playing || player.paused.load());
  const ImVec4& colour = current ? kCurrentTitle : i == next && playing ? kNextRow : kTextLight;
  ImGui::TableNextRow();
  ImGui::PushID(static_cast<int>(track.id));

  ImGui::TableNextColumn();
  char number[8];
  std::snprintf(number, sizeof number, "%d", std::min(i + 1, 9999999)); // 7 digits fit
  if (ImGui::Selectable(number, current,
                        ImGuiSelectableFlags_SpanAllColumns |
                            ImGuiSelectableFlags_AllowDoubleClick |
                            ImGuiSelectableFlags_AllowItemOverlap) &&
      ImGui::IsMouseDoubleClicked(ImGuiMouseButton_Left))
    action.play = i;
  if (ImGui::IsItemHovered()) ImGui::SetTooltip("Doppelklick: jetzt dorthin (mit Übergang)");
  helpItem(helpRef(gHelpSection, "Doppelklick"));

  ImGui::TableNextColumn();
  ImGui::TextColored(colour, "%s", track.title.c_str());

  ImGui::TableNextColumn();
  char length[16];
  formatTime(length, track.seconds);
  // A file that does not state its length has none to show.
  rowText(current, track.seconds > 0 ? length : "–");

  ImGui::TableNextColumn();
  const char* bpmTip = "Tempo in Schlägen pro Minute";
  if (!track.analyzed) {
    rowText(current, "…");
    bpmTip = "wird gemessen";
  } else if (track.beats.valid) {
    char bpm[16];
    std::snprintf(bpm, sizeof bpm, "%.1f", track.beats.bpm);
    rowText(current, bpm);
  } else {
    rowText(current, "–");
    bpmTip = "kein gleichmäßiger Schlag erkannt";
  }
  if (ImGui::IsItemHovered()) ImGui::SetTooltip("%s", bpmTip);
  helpItem(helpRef(gHelpSection, "BPM"));

  ImGui::TableNextColumn();
  const float xf = effectiveCrossfade(player, track);
  char fade[16];
  std::snprintf(fade, sizeof fade, "%.1f s", xf);
  if (track.crossfade >= 0)
    ImGui::TextColored(current ? kCurrentTitle : kAccentPlayer, "%s", fade);
  else
    rowText(current, fade);
  if (ImGui::IsItemHovered()) ImGui::SetTooltip("Übergang in den nächsten Titel. Klick: ändern");
  helpItem(helpRef(gHelpSection, "Übergang je Titel"));
  if (ImGui::IsItemClicked(ImGuiMouseButton_Left)) ImGui::OpenPopup("xf");
  crossfadePopup(player, track);

  ImGui::TableNextColumn();
  const ImVec2 cell = ImGui::GetCursorScreenPos();
  if (i > 0) {
    if (rowIcon("up", Icon::Up, "nach oben")) {
      action.moveFrom = i;
      action.moveTo = i - 1;
    }
  }
  if (i + 1 < count) {
    ImGui::SetCursorScreenPos(ImVec2(cell.x + 22, cell.y));
    if (rowIcon("down", Icon::Down, "nach unten")) {
      action.moveFrom = i;
      action.moveTo = i + 1;
    }
  }
  ImGui::SetCursorScreenPos(ImVec2(cell.x + 44, cell.y));
  if (rowIcon("remove", Icon::Remove, "aus der Playlist entfernen")) action.remove = i;
  ImGui::PopID();
}

RowAction playlistPanel(Engine& engine) {
  Player& player = engine.player;
  gHelpSection = "Playlist";
  panelHelp();
  addList(engine);
  folderRow(engine);

  RowAction action;
  const int cur = player.currentIndex();
  const int next = player.nextIndex();
  constexpr ImGuiTableFlags kTableFlags =
      ImGuiTableFlags_RowBg | ImGuiTableFlags_BordersInnerH | ImGuiTableFlags_ScrollY;
  if (!ImGui::BeginTable("tracks", 6, kTableFlags, ImVec2(0, ImGui::GetContentRegionAvail().y)))
    return action;
  ImGui::TableSetupScrollFreeze(0, 1);
  ImGui::TableSetupColumn("#", ImGuiTableColumnFlags_WidthFixed, 34);
  ImGui::TableSetupColumn("Titel", ImGuiTableColumnFlags_WidthStretch);
  ImGui::TableSetupColumn("Länge", ImGuiTableColumnFlags_WidthFixed, 60);
  ImGui::TableSetupColumn("BPM", ImGuiTableColumnFlags_WidthFixed, 50);
  ImGui::TableSetupColumn("Übergang", ImGuiTableColumnFlags_WidthFixed, 80);
  ImGui::TableSetupColumn("", ImGuiTableColumnFlags_WidthFixed, 66);
  ImGui::TableHeadersRow();
  for (int i = 0; i < static_cast<int>(player.playlist.size()); ++i)
    trackRow(player, i, cur, next, action);
  ImGui::EndTable();
  return action;
}

void runRowAction(Player& player, const RowAction& action) {
  if (action.remove >= 0)
    player.remove(action.remove);
  else if (action.moveFrom >= 0)
    player.move(action.moveFrom, action.moveTo);
  else if (action.play >= 0)
    player.play(action.play);
}

} // namespace

void formatTime(char (&out)[16], double seconds) {
  // The cast below is only defined within the int range.
  const double s = std::isnan(seconds) ? 0.0 : std::clamp(seconds, 0.0, double(INT_MAX));
  const int n = static_cast<int>(s);
  std::snprintf(out, sizeof out, "%d:%02d", n / 60, n % 60);
}

bool makePlayerFolder(const std::string& folder) {
  if (folder.empty()) return false;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  return std::filesystem::is_directory(folder, error);
}

void folderButtons(std::string& folder, const char* title, std::string& missing) {
  const float h = ImGui::GetFrameHeight();
  if (coloredButton("Ordner wählen …", kGray, kTextLight, 140, h)) {
    missing = gFolderPicker ? "" : missingChooserLine();
    const std::string picked = gFolderPicker ? gFolderPicker(folder, title) : std::string();
    if (!picked.empty()) folder = picked;
  }
  ImGui::SameLine(0, -1);
  if (coloredButton("Im Dateimanager", kGray, kTextLight, 120, h)) {
    missing = gRevealHandler ? "" : missingOpenerLine();
    if (gRevealHandler) {
      makePlayerFolder(folder);
      gRevealHandler(folder);
    }
  }
}

void drawPlayer(Engine& engine) {
  drawDriverNotice(engine, "Ohne den Velto-Treiber spielt der Player nicht.");
  const ImGuiStyle& style = ImGui::GetStyle();
  const ImVec2 avail = ImGui::GetContentRegionAvail();
  const float sy = style.ItemSpacing.y;
  gCardW = std::clamp(avail.x, 96.0f, 180.0f);
  fitCardHeight(avail.y);
  const float w = std::clamp(avail.x - gCardW - kGap - 40, 420.0f, 980.0f);
  gCardW = std::clamp(avail.x - (w + kGap), 96.0f, 180.0f);
  const float total = gCardW + kGap + w;
  if (avail.x > total) ImGui::SetCursorPosX(ImGui::GetCursorPosX() + (avail.x - total) * 0.5f);
  if (avail.y > gCardH) ImGui::SetCursorPosY(ImGui::GetCursorPosY() + (avail.y - gCardH) * 0.5f);

  playerCard(engine);
  ImGui::SameLine(0, kGap);
  ImGui::BeginGroup();
  const float h = std::min(gCardH * 0.45f, 232.0f);
  ImGui::PushStyleColor(ImGuiCol_ChildBg, kCardBg);
  ImGui::BeginChild("transport", ImVec2(w, h), true, kPanelFlags);
  transportPanel(engine.player);
  ImGui::EndChild();
  ImGui::BeginChild("playlist", ImVec2(w, gCardH - h - sy), true, kPanelFlags);
  const RowAction action = playlistPanel(engine);
  ImGui::EndChild();
  ImGui::PopStyleColor();
  runRowAction(engine.player, action);
  ImGui::EndGroup();
}

} // namespace velto
