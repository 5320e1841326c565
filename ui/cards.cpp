#include "ui/cards.h"

#include "core/levels.h"
#include "effects/fx_table.h"
#include "effects/input_fx.h"
#include "effects/noise_filter.h"
#include "engine/engine.h"
#include "ui/fader.h"
#include "ui/help.h"
#include "ui/routing.h"
#include "ui/style.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

namespace velto {

float gCardW = 96.0f;
float gCardH = 400.0f;
float gCardAlpha = 0.45f;
bool gCardLocked = false;
const ImVec4* gCardBorder = nullptr;
std::string gCardHelp;

namespace {

const ImVec4 kBadgeOffText{0.55f, 0.57f, 0.63f, 1.0f};
constexpr double kFeedbackNoticeSeconds = 5.0;

void emptyLine() {
  ImGui::Dummy(ImVec2(0, ImGui::GetTextLineHeight()));
}

// Disabled text preceded by one space, with the same text as tooltip.
void dimLineWithTip(const std::string& text) {
  ImGui::TextDisabled(" %s", text.c_str());
  if (ImGui::IsItemHovered()) ImGui::SetTooltip("%s", text.c_str());
}

std::vector<std::string> switchedOnEffects(const HwInput& in) {
  std::vector<std::string> list;
  if (in.noiseFilter && in.noiseFilter->enabled.load()) list.push_back("Rauschfilter");
  if (in.fx == nullptr) return list;
  for (const FxInfo& row : kFx) {
    if (!row.defaultOn && in.fx->enabled[row.id].load()) list.push_back(row.label);
  }
  return list;
}

void fxBadge(const HwInput& in) {
  const std::vector<std::string> list = switchedOnEffects(in);
  const bool on = !list.empty();
  const ImVec2 t = ImGui::CalcTextSize("FX");
  const ImVec2 w = ImGui::GetWindowPos();
  const ImVec2 a(w.x + ImGui::GetWindowWidth() - t.x - 18, w.y + 9);
  const ImVec2 b(a.x + t.x + 10, a.y + t.y + 4);
  ImDrawList* draw = ImGui::GetWindowDrawList();
  draw->AddRectFilled(a, b, ImGui::GetColorU32(on ? kAccentIn : kGray), 4.0f);
  draw->AddText(ImVec2(a.x + 5, a.y + 2), ImGui::GetColorU32(on ? kTextDark : kBadgeOffText), "FX");
  helpRect(a, b, "hardware-inputs#Karte#FX");

  const bool hovered = ImGui::IsMouseHoveringRect(a, b, false) && ImGui::IsWindowHovered();
  if (hovered && !gHelpMode) {
    ImGui::SetTooltip("%s", join(list, "keine Effekte an").c_str());
    if (ImGui::IsMouseClicked(ImGuiMouseButton_Left)) ImGui::OpenPopup("fxlist");
  }
  if (ImGui::BeginPopup("fxlist")) {
    ImGui::TextColored(kAccentIn, "Effekte an");
    ImGui::Separator();
    for (const std::string& name : list) ImGui::TextUnformatted(name.c_str());
    if (list.empty()) ImGui::TextDisabled("keine");
    ImGui::EndPopup();
  }
}

// The feedback warning of input `index`: shown for 5 s after its detection count last changed,
// also when the change happened before the card was first drawn.
std::string feedbackNotice(const HwInput& in, int index) {
  static std::map<int, std::pair<uint32_t, double>> seen;
  if (in.fx == nullptr) return "";
  std::pair<uint32_t, double>& entry = seen[index];
  const uint32_t events = in.fx->feedbackEvents.load();
  if (events != entry.first) {
    entry.first = events;
    entry.second = ImGui::GetTime();
  }
  if (!(entry.second > 0.0) || ImGui::GetTime() - entry.second >= kFeedbackNoticeSeconds) return "";
  const float hz = in.fx->feedbackLastHz.load();
  char text[48];
  if (hz < 1000.0f) {
    std::snprintf(text, sizeof text, "Rückkopplung %.0f Hz", double(hz));
  } else {
    std::snprintf(text, sizeof text, "Rückkopplung %.1f kHz", double(hz) / 1000.0);
  }
  return text;
}

void gateMark(const HwInput& in) {
  if (in.fx == nullptr || !in.fx->enabled[FxId::gate].load()) return;
  const float threshold = in.fx->params[FxId::gate][0].load();
  gFaderMarkDb = gainToDb(in.strip.gain.load()) + threshold;
  char tip[32];
  std::snprintf(tip, sizeof tip, "Gate %.0f dB", double(threshold));
  gFaderMarkTip = tip;
}

template <class Named>
std::function<void(const std::string&)> renamer(Named& record) {
  return [&record](const std::string& name) { record.name = name; };
}

} // namespace

std::string cutUtf8(const std::string& text, size_t bytes) {
  if (text.size() <= bytes) return text;
  size_t n = bytes;
  // Back off while the first byte left out continues a sequence begun inside the kept part.
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return text.substr(0, n);
}

std::string join(const std::vector<std::string>& items, const char* empty) {
  if (items.empty()) return empty;
  std::string out = items.front();
  for (size_t i = 1; i < items.size(); ++i) out += ", " + items[i];
  return out;
}

void fitCardHeight(float availH) {
  const ImGuiStyle& style = ImGui::GetStyle();
  const float sy = style.ItemSpacing.y;
  const float chrome = 7 * (sy + 24) + 2 * style.WindowPadding.y + 12 + 2 * sy +
                       2 * ImGui::GetFrameHeightWithSpacing() +
                       2 * ImGui::GetTextLineHeightWithSpacing();
  gFaderH = std::clamp(availH - chrome - 8, 120.0f, 420.0f);
  gCardH = chrome + gFaderH;
}

void beginCard(const void* key, const ImVec4* border) {
  ImGui::PushID(key);
  gCardBorder = border;
  ImGui::PushStyleColor(ImGuiCol_ChildBg, kCardBg);
  if (gCardBorder != nullptr) {
    ImGui::PushStyleColor(ImGuiCol_Border, *gCardBorder);
    ImGui::PushStyleVar(ImGuiStyleVar_ChildBorderSize, 2.0f);
  }
  ImGuiWindowFlags flags = ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoScrollWithMouse;
  if (gCardLocked) {
    ImGui::PushStyleVar(ImGuiStyleVar_Alpha, gCardAlpha);
    flags |= ImGuiWindowFlags_NoInputs;
  }
  ImGui::BeginChild("card", ImVec2(gCardW, gCardH), true, flags);
  if (gHelpMode && ImGui::IsWindowHovered(ImGuiHoveredFlags_ChildWindows |
                                          ImGuiHoveredFlags_AllowWhenBlockedByActiveItem)) {
    gHelpKey = gCardHelp;
  }
}

bool endCard() {
  const bool clicked = !gHelpMode && ImGui::IsWindowHovered(ImGuiHoveredFlags_ChildWindows) &&
                       ImGui::IsMouseClicked(ImGuiMouseButton_Left);
  ImGui::EndChild();
  if (gCardLocked) ImGui::PopStyleVar();
  if (gCardBorder != nullptr) {
    ImGui::PopStyleVar();
    ImGui::PopStyleColor();
  }
  ImGui::PopStyleColor();
  ImGui::PopID();
  gCardBorder = nullptr;
  return clicked;
}

void title(const std::string& name, const ImVec4& colour,
           const std::function<void(const std::string&)>& onRename, bool centred) {
  static char buf[kTitleBytes + 1] = "";
  if (centred) {
    const float x = (ImGui::GetWindowWidth() - ImGui::CalcTextSize(name.c_str()).x) * 0.5f;
    ImGui::SetCursorPosX(std::max(x, ImGui::GetStyle().WindowPadding.x));
  }
  ImGui::AlignTextToFramePadding();
  ImGui::TextColored(colour, "%s", name.c_str());
  helpItem("uebersicht#Karten#Name");
  if (ImGui::IsItemHovered()) ImGui::SetTooltip("Rechtsklick: umbenennen");
  if (ImGui::IsItemClicked(ImGuiMouseButton_Right)) {
    // Cut at a character boundary: a half sequence would be an invalid name.
    const std::string kept = cutUtf8(name, kTitleBytes);
    std::memcpy(buf, kept.c_str(), kept.size() + 1);
    ImGui::OpenPopup("rename");
  }
  if (ImGui::BeginPopup("rename")) {
    ImGui::TextUnformatted("Umbenennen");
    if (ImGui::IsWindowAppearing()) ImGui::SetKeyboardFocusHere();
    ImGui::SetNextItemWidth(180);
    if (ImGui::InputText("##name", buf, sizeof buf, ImGuiInputTextFlags_EnterReturnsTrue) &&
        buf[0] != '\0') {
      if (onRename) onRename(buf);
      ImGui::CloseCurrentPopup();
    }
    ImGui::EndPopup();
  }
}

bool hwInputCard(Engine& engine, int index, bool selected) {
  HwInput& in = engine.hwInputs[index];
  gCardHelp = "hardware-inputs#Karte";
  beginCard(&in, selected ? &kAccentIn : nullptr);
  title(in.strip.name, kAccentIn, renamer(in.strip), true);
  fxBadge(in);
  deviceCombo(
      engine, in.link, DeviceRole::Input, kAccentIn,
      [&engine, index](const std::string& uid) { engine.setHwInputDevice(index, uid); },
      feedbackNotice(in, index));
  gateMark(in);
  faderBlock(in.strip.gain, in.strip.meter);
  routeButtons(engine, in.strip);
  muteButton(in.strip.mute);
  return endCard();
}

bool hwOutputCard(Engine& engine, int index, bool selected) {
  Bus& bus = engine.buses[index];
  gCardHelp = "hardware-outputs#Karte";
  beginCard(&bus, selected ? &kAccentOut : nullptr);
  title(bus.name, kAccentOut, renamer(bus), true);
  deviceCombo(
      engine, bus.link, DeviceRole::Output, kAccentOut,
      [&engine, index](const std::string& uid) { engine.setHwOutputDevice(index, uid); }, "");
  faderBlock(bus.gain, bus.meter);
  muteButton(bus.mute);
  sourcesList(engine, index);
  underrunsAtBottom(bus, true);
  if (engine.settings.volumeKeys == index) volumeKeysIcon(kAccentOut);
  return endCard();
}

void virtualInputCard(Engine& engine, int index, bool /*selected*/) {
  VirtualIn& v = engine.virtualIns[index];
  const bool isDefault = index == 3;
  gCardHelp = isDefault ? "virtual-inputs#Default" : "virtual-inputs#Virtual 1–3";
  beginCard(&v, nullptr);
  title(v.strip.name, kAccentVi, renamer(v.strip), true);
  if (isDefault) {
    defaultRow(engine, -1, "Andere Anwendungen");
  } else {
    ImGui::AlignTextToFramePadding();
    dimLineWithTip(join(engine.appsOf(index), "keine App"));
    helpItem("virtual-inputs#Apps");
    emptyLine();
  }
  faderBlock(v.strip.gain, v.strip.meter);
  routeButtons(engine, v.strip);
  muteButton(v.strip.mute);
  if (isDefault && engine.settings.volumeKeys < 0) volumeKeysIcon(kAccentVi);
  endCard();
}

void virtualOutputCard(Engine& engine, int index) {
  Bus& bus = engine.buses[index + 3];
  gCardHelp = "virtual-outputs#Velto Out 1–3";
  beginCard(&bus, nullptr);
  title(bus.name, kAccentMic, renamer(bus), true);
  defaultRow(engine, index, "");
  faderBlock(bus.gain, bus.meter);
  muteButton(bus.mute);
  sourcesList(engine, index + 3);
  underrunsAtBottom(bus, false);
  endCard();
}

void padsCard(Engine& engine) {
  Strip& strip = engine.padsStrip;
  gCardHelp = "pads#Karte Pads";
  beginCard(&strip, nullptr);
  title(strip.name, kAccentPad, renamer(strip), true);
  int active = 0;
  for (const PadBank::Pad& pad : engine.pads.pads) active += pad.playing.load() ? 1 : 0;
  ImGui::AlignTextToFramePadding();
  if (active > 0) {
    ImGui::TextColored(kAccentPad, "%d aktiv", active);
  } else {
    ImGui::TextDisabled("still");
  }
  emptyLine();
  faderBlock(strip.gain, strip.meter);
  routeButtons(engine, strip);
  muteButton(strip.mute);
  endCard();
}

void playerCard(Engine& engine) {
  Strip& strip = engine.playerStrip;
  Player& player = engine.player;
  gCardHelp = "player#Karte Player";
  beginCard(&strip, nullptr);
  title(strip.name, kAccentPlayer, renamer(strip), true);
  const int i = player.currentIndex();
  ImGui::AlignTextToFramePadding();
  if (i >= 0 && size_t(i) < player.playlist.size() && player.playing.load()) {
    dimLineWithTip(player.playlist[size_t(i)].title);
  } else {
    ImGui::TextDisabled("%s", player.paused.load() ? "Pause" : "still");
  }
  emptyLine();
  faderBlock(strip.gain, strip.meter);
  routeButtons(engine, strip);
  muteButton(strip.mute);
  endCard();
}

void defaultRow(Engine& engine, int index, const std::string& subtitle) {
  const bool output = index < 0;
  if (engine.findDevice("VeltoClock_UID") == nullptr) {
    ImGui::AlignTextToFramePadding();
    ImGui::TextColored(kRed, "Treiber fehlt");
    if (ImGui::IsItemHovered()) ImGui::SetTooltip("Einstellungen → Treiber → Installieren");
  } else {
    const bool isDefault = output ? engine.isDefaultOutput() : engine.isDefaultInput(index);
    const float h = ImGui::GetFrameHeight();
    if (isDefault) {
      coloredButton("Ist Standard", output ? kAccentVi : kAccentMic, kTextDark, -1.0f, h);
      if (ImGui::IsItemHovered()) {
        ImGui::SetTooltip(output ? "Ist Standard-Ausgang des Systems."
                                 : "Ist Standard-Mikrofon des Systems.");
      }
    } else {
      if (coloredButton("Als Standard", kGray, kTextLight, -1.0f, h)) {
        if (output) {
          engine.makeDefaultOutput();
        } else {
          engine.makeDefaultInput(index);
        }
      }
      if (ImGui::IsItemHovered()) {
        ImGui::SetTooltip(output ? "Zum Standard-Ausgang des Systems machen."
                                 : "Zum Standard-Mikrofon des Systems machen.");
      }
    }
    helpItem(output ? "virtual-inputs#Default" : "virtual-outputs#Als Standard");
  }
  ImGui::TextDisabled("%s", subtitle.c_str());
  helpItem("virtual-inputs#Default");
}

} // namespace velto
