#include "ui/routing.h"

#include "engine/engine.h"
#include "platform/audio/layer/properties.h"
#include "ui/help.h"
#include "ui/style.h"

#include <imgui_internal.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace velto {

namespace {

namespace audio = platform::audio;

const ImVec4 kNoDeviceText{0.45f, 0.46f, 0.52f, 1.0f};
const ImVec4 kMutedFill{0.512f, 0.2655f, 0.2985f, 1.0f};
const ImVec4 kMutedText{0.80f, 0.70f, 0.72f, 1.0f};
const ImVec4 kChooserLabel{0.72f, 0.74f, 0.80f, 1.0f};
const ImVec4 kEntryName{0.80f, 0.82f, 0.88f, 1.0f};
const ImVec4 kSourceName{0.66f, 0.68f, 0.75f, 1.0f};

constexpr double kEngineRate = 48000.0;

ImVec4 withAlpha(ImVec4 c, float alpha) {
  c.w = alpha;
  return c;
}

bool hasDevice(const Bus& bus) {
  return bus.link.ioProc != audio::kNoIoProc;
}

// One row of the device list; true when it was chosen.
bool deviceRow(const std::string& uid, const std::string& name, const std::string& detail,
               bool selected, ImVec4 accent) {
  ImGui::PushID(uid.c_str());
  const float start = ImGui::GetCursorPosX();
  const bool chosen = ImGui::Selectable("##item", selected, 0, ImVec2(300, 0));
  const bool hovered = ImGui::IsItemHovered();
  ImGui::SameLine(start + 8);
  ImGui::TextColored(hovered || selected ? accent : kEntryName, "%s", name.c_str());
  if (!detail.empty()) {
    ImGui::SameLine();
    ImGui::TextDisabled("%s", detail.c_str());
  }
  ImGui::PopID();
  return chosen;
}

} // namespace

double currentDeviceRate(const DeviceInfo& device) {
  const AspPropertyAddress addr{audio::kPropNominalSampleRate, kAspScopeGlobal, kAspElementMain};
  double rate = 0.0;
  uint32_t size = sizeof rate;
  if (audio::getPropertyData(device.id, &addr, 0, nullptr, &size, &rate) != 0 ||
      size != sizeof rate || !(rate > 0.0)) {
    return device.sampleRate;
  }
  return rate;
}

void routeButtons(Engine& engine, Strip& strip) {
  for (int i = 0; i < 6; ++i) {
    if (i == 3) ImGui::Dummy(ImVec2(0, 2));
    const Bus& bus = engine.buses[i];
    routeButton(strip.routeMask, i, bus.name, hasDevice(bus), i < 3 ? kAccentOut : kAccentMic,
                bus.mute.load(), -1.0f, 24.0f);
  }
}

void routeButton(std::atomic<uint32_t>& mask, int bit, const std::string& label, bool hasDevice,
                 ImVec4 accent, bool muted, float width, float height) {
  const uint32_t flag = 1u << bit;
  const bool set = (mask.load() & flag) != 0;
  const bool lit = set && hasDevice;
  ImVec4 fill = lit ? accent : kGray;
  ImVec4 text = !hasDevice ? kNoDeviceText : (set ? kTextDark : kTextLight);
  if (lit && muted) {
    fill = kMutedFill;
    text = kMutedText;
  }
  ImGui::PushID(bit);
  // One atomic flip of this bit only, so a concurrent change of another bit is never lost.
  if (coloredButton(label.c_str(), fill, text, width, height)) mask.fetch_xor(flag);
  helpItem("uebersicht#Routing-Knöpfe");
  if (ImGui::IsItemHovered()) {
    ImGui::SetTooltip("%s%s%s", set ? "verbunden" : "nicht verbunden",
                      hasDevice ? "" : " - Ziel hat kein Gerät", muted ? " - Ziel gemutet" : "");
  }
  ImGui::PopID();
}

void muteButton(std::atomic<bool>& mute) {
  const bool v = mute.load();
  ImGui::PushID(&mute);
  if (coloredButton("MUTE", v ? kRed : kGray, v ? kTextDark : kTextLight, -1.0f, 24.0f)) {
    mute.exchange(!v);
  }
  helpItem("uebersicht#MUTE");
  ImGui::PopID();
}

void deviceCombo(Engine& engine, const DeviceLink& link, DeviceRole role, ImVec4 accent,
                 const std::function<void(const std::string&)>& onPick,
                 const std::string& warning) {
  const DeviceInfo* dev = engine.findDevice(link.uid);
  const std::string label = link.uid.empty() ? "kein Gerät" : dev ? dev->name : "(getrennt)";
  const std::string key =
      role == DeviceRole::Input ? "hardware-inputs#Gerät" : "hardware-outputs#Gerät";

  const ImVec2 P = ImGui::GetCursorScreenPos();
  const float W = ImGui::GetContentRegionAvail().x;
  const float Hf = ImGui::GetFrameHeight();
  if (ImGui::InvisibleButton("##dev", ImVec2(std::max(W, 1.0f), Hf))) ImGui::OpenPopup("devices");
  helpItem(key);
  const bool hovered = ImGui::IsItemHovered();
  const ImVec4 c = hovered ? accent : kChooserLabel;

  // Drawn through ImGui's text renderer so the label is clipped and also reaches the log.
  const float labelW = ImGui::CalcTextSize(label.c_str()).x;
  const ImVec2 at(P.x + std::max(0.0f, (W - 14 - labelW) * 0.5f),
                  P.y + ImGui::GetStyle().FramePadding.y);
  const ImVec2 clipMax(P.x + W - 14, P.y + Hf);
  const ImRect clip(P, clipMax);
  ImGui::PushStyleColor(ImGuiCol_Text, c);
  ImGui::RenderTextClipped(at, clipMax, label.c_str(), nullptr, nullptr, ImVec2(0, 0), &clip);
  ImGui::PopStyleColor();

  ImDrawList* list = ImGui::GetWindowDrawList();
  const float m = P.y + Hf * 0.5f;
  list->AddTriangleFilled(ImVec2(P.x + W - 13, m - 2), ImVec2(P.x + W - 5, m - 2),
                          ImVec2(P.x + W - 9, m + 3), ImGui::GetColorU32(c));
  if (hovered) {
    list->AddLine(ImVec2(P.x + 4, P.y + Hf - 1), ImVec2(P.x + W - 4, P.y + Hf - 1),
                  ImGui::GetColorU32(withAlpha(accent, 0.5f)), 1.0f);
    if (dev != nullptr) ImGui::SetTooltip("%s", dev->name.c_str());
  }

  ImGui::PushStyleColor(ImGuiCol_HeaderHovered, withAlpha(accent, 0.25f));
  ImGui::PushStyleColor(ImGuiCol_Header, withAlpha(accent, 0.15f));
  if (ImGui::BeginPopup("devices")) {
    // The choice is handed on after the list is drawn: the rebind may change the device list.
    bool picked = false;
    std::string choice;
    if (deviceRow("", "kein Gerät", "", link.uid.empty(), accent)) picked = true;
    for (const DeviceInfo& info : engine.devices) {
      if (!Engine::fits(info, role)) continue;
      char detail[64];
      std::snprintf(detail, sizeof detail, "%u ch · %.0f kHz",
                    role == DeviceRole::Input ? info.inputs : info.outputs,
                    currentDeviceRate(info) / 1000.0);
      if (deviceRow(info.uid, info.name, detail, info.uid == link.uid, accent)) {
        picked = true;
        choice = info.uid;
      }
    }
    ImGui::EndPopup();
    if (picked && onPick) onPick(choice);
  }
  ImGui::PopStyleColor(2);

  // The device list keeps the rate it saw when it was built; binding switches a device to the
  // engine's rate, so the warning asks the device for its rate now.
  const DeviceInfo* now = engine.findDevice(link.uid);
  const double rate = now != nullptr ? currentDeviceRate(*now) : kEngineRate;
  if (rate != kEngineRate) {
    ImGui::TextColored(kRed, "%.0f Hz statt 48 kHz", rate);
  } else if (!link.uid.empty() && link.ioProc == audio::kNoIoProc) {
    ImGui::TextColored(kRed, "nicht verbunden");
  } else if (!warning.empty()) {
    ImGui::TextColored(kRed, "%s", warning.c_str());
  } else {
    ImGui::Dummy(ImVec2(0, ImGui::GetTextLineHeight()));
  }
  helpItem(warning.empty() ? key + "#nicht verbunden" : "werkzeuge#Rückkopplung#Warnung");
}

void sourcesList(Engine& engine, int bus) {
  const char* key = bus < 3 ? "hardware-outputs#Quellen" : "virtual-outputs#Quellen";
  for (const std::string& name : engine.sourcesOf(bus)) {
    ImGui::TextColored(kSourceName, "%s", name.c_str());
    helpItem(key);
  }
}

void underrunsAtBottom(const Bus& bus, bool hardware) {
  ImGui::SetCursorPosY(ImGui::GetWindowHeight() - ImGui::GetStyle().WindowPadding.y -
                       ImGui::GetTextLineHeight());
  ImGui::TextDisabled("Aussetzer %u", bus.underruns.load());
  helpItem(hardware ? "hardware-outputs#Aussetzer" : "virtual-outputs#Aussetzer");
}

void volumeKeysIcon(ImVec4 colour) {
  const ImVec2 w = ImGui::GetWindowPos();
  const ImVec2 c(w.x + ImGui::GetWindowWidth() - 18, w.y + 17);
  const ImU32 col = ImGui::GetColorU32(colour);
  ImDrawList* list = ImGui::GetWindowDrawList();
  list->PathArcTo(c, 7.0f, IM_PI, 2.0f * IM_PI, 12);
  list->PathStroke(col, 0, 1.8f);
  list->AddRectFilled(ImVec2(c.x - 8.5f, c.y - 1), ImVec2(c.x - 4.5f, c.y + 6), col, 1.5f);
  list->AddRectFilled(ImVec2(c.x + 4.5f, c.y - 1), ImVec2(c.x + 8.5f, c.y + 6), col, 1.5f);
  const ImVec2 a(c.x - 10, c.y - 9), b(c.x + 10, c.y + 8);
  if (ImGui::IsWindowHovered() && ImGui::IsMouseHoveringRect(a, b, false)) {
    ImGui::SetTooltip("System-Lautstärketasten");
  }
  helpRect(a, b, "hardware-outputs#Kopfhörer-Symbol");
}

} // namespace velto
