#include "ui/outputs_tab.h"

#include "effects/fx_table.h"
#include "effects/input_fx.h"
#include "engine/engine.h"
#include "ui/cards.h"
#include "ui/fader.h"
#include "ui/fx_panel.h"
#include "ui/help.h"
#include "ui/style.h"
#include "ui/window.h"

#include <algorithm>
#include <cstdio>

namespace velto {
namespace {

constexpr int kOutputs = 3;
constexpr float kPanelGap = 28.0f;
constexpr float kKindColumn = 96.0f;
constexpr float kValueColumn = 124.0f;
constexpr const char* kLimiterTitle = "Hörschutz-Limiter";
// Functions the sound panel announces; they have no behaviour yet.
constexpr const char* kPlanned[] = {"Raum-EQ",      "Kopfhörer-Profil", "Lautheit (LUFS)",
                                    "Mono-Prüfung", "Kanal-Zuordnung",  "Verzögerung",
                                    "Aufnahme",     "Crossfeed"};

void beginPanel(const char* id, ImVec2 size) {
  ImGui::PushStyleColor(ImGuiCol_ChildBg, kCardBg);
  ImGui::BeginChild(id, size, true,
                    ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoScrollWithMouse);
}

void endPanel() {
  ImGui::EndChild();
  ImGui::PopStyleColor();
}

void devicePanel(Engine& engine, Bus& bus) {
  const float h = ImGui::GetFrameHeight();
  panelTitle("Gerät", kAccentOut);
  const DeviceInfo* d = engine.findDevice(bus.link.uid);
  uint32_t channels = 0;
  double khz = 0.0;
  // The device counts its latency in frames of its own rate.
  double rate = 48000.0;
  if (d == nullptr) {
    ImGui::TextColored(kTextLight, "kein Gerät");
  } else {
    ImGui::TextColored(kTextLight, "%s", d->name.c_str());
    channels = d->outputs;
    khz = d->sampleRate / 1000.0;
    if (d->sampleRate > 0.0) rate = d->sampleRate;
  }
  char latency[32];
  std::snprintf(latency, sizeof latency, "%.1f ms",
                engine.deviceLatencyFrames(bus.link.uid, false) * 1000.0 / rate);
  ImGui::TextDisabled("%u ch \u00b7 %.0f kHz \u00b7 Latenz %s", channels, khz, latency);
  ImGui::Dummy(ImVec2(0, 4));

  helpRow("Art");
  ImGui::TextColored(kTextLight, "Art");
  ImGui::SameLine(ImGui::GetStyle().WindowPadding.x + kKindColumn);
  const bool speaker = bus.speaker.load();
  if (coloredButton("Lautsprecher", speaker ? kAccentOut : kGray, speaker ? kTextDark : kTextLight,
                    120, h))
    bus.speaker.exchange(true);
  ImGui::SameLine(0, -1);
  if (coloredButton("Kopfhörer", speaker ? kGray : kAccentOut, speaker ? kTextLight : kTextDark,
                    120, h))
    bus.speaker.exchange(false);
}

void plannedButtons() {
  const float avail = ImGui::GetContentRegionAvail().x;
  const float sx = ImGui::GetStyle().ItemSpacing.x;
  float x = 0.0f;
  ImGui::BeginDisabled();
  for (const char* label : kPlanned) {
    const float width = ImGui::CalcTextSize(label).x + 20.0f;
    float start = 0.0f;
    if (x > 0.0f && x + width < avail) {
      ImGui::SameLine(0, -1);
      start = x;
    }
    ImGui::Button(label, ImVec2(width, 0));
    x = start + width + sx;
  }
  ImGui::EndDisabled();
}

void soundPanel(InputFx& b, int output) {
  const FxInfo& info = kFx[static_cast<int>(FxId::limiter)];
  const float h = ImGui::GetFrameHeight();
  const float pad = ImGui::GetStyle().WindowPadding.x;
  const float a = ImGui::GetContentRegionAvail().x;
  panelTitle(kLimiterTitle, kAccentOut);

  const bool on = b.enabled[FxId::limiter].load();
  if (coloredButton(on ? "an" : "aus", on ? kAccentOut : kGray, on ? kTextDark : kTextLight, 70, h))
    b.enabled[FxId::limiter].exchange(!on);
  helpItem(helpRef(kLimiterTitle, "an / aus"));
  ImGui::SameLine();
  ImGui::AlignTextToFramePadding();
  ImGui::TextDisabled("%s", b.params[FxId::limiter][2].load() >= 0.5f ? "+1,0 ms" : "0 ms");

  const float m = std::min(a * 0.45f, 220.0f);
  ImGui::SameLine(a - m + pad);
  // Keys from 100 on keep the output meters apart from the inputs' meters.
  reductionMeter(b, 100 + output, FxId::limiter, 24.0f, m);
  ImGui::Dummy(ImVec2(0, 4));

  for (int j = 0; j < info.paramCount; ++j) {
    const FxParam& p = info.params[j];
    helpRow(p.label);
    ImGui::AlignTextToFramePadding();
    ImGui::TextColored(kTextLight, "%s", p.label);
    ImGui::SameLine(pad + kValueColumn);
    fxParam(b, info, j, a - kValueColumn);
    helpItem(helpRef(kLimiterTitle, p.label));
    if (p.kind == FxParam::Kind::toggle && b.params[FxId::limiter][j].load() >= 0.5f) {
      ImGui::SameLine();
      ImGui::AlignTextToFramePadding();
      ImGui::TextColored(kTextLight, "+1,0 ms Latenz");
    }
  }

  ImGui::Dummy(ImVec2(0, 8));
  gHelpSection = "Klang";
  ImGui::TextDisabled("Geplant");
  helpItem("hardware-outputs#Klang");
  plannedButtons();
}

} // namespace

void drawOutputs(Engine& engine) {
  const ImGuiStyle& style = ImGui::GetStyle();
  const ImVec2 avail = ImGui::GetContentRegionAvail();
  const float sx = style.ItemSpacing.x, sy = style.ItemSpacing.y;
  const float panelW = std::clamp(avail.x * 0.4f, 420.0f, 760.0f);
  const int n = kOutputs;
  // The selection may have been stored from anywhere; only 0..2 name an output.
  gOutputSettings = std::clamp(gOutputSettings, 0, n - 1);

  gCardW = std::clamp((avail.x - ((n - 2) * sx + kPanelGap + panelW)) / n, 96.0f, 180.0f);
  fitCardHeight(avail.y);
  const float rowW = (n - 1) * sx + n * gCardW + kPanelGap + panelW;
  ImVec2 origin = ImGui::GetCursorScreenPos();
  if (rowW < avail.x) origin.x += (avail.x - rowW) * 0.5f;
  if (gCardH < avail.y) origin.y += (avail.y - gCardH) * 0.5f;
  ImGui::SetCursorScreenPos(origin);

  ImGui::BeginGroup();
  for (int o = 0; o < n; ++o) {
    if (o > 0) ImGui::SameLine(0, -1);
    if (hwOutputCard(engine, o, o == gOutputSettings)) gOutputSettings = o;
  }
  ImGui::EndGroup();

  ImGui::SameLine(0, kPanelGap);
  ImGui::BeginGroup();
  const int o = gOutputSettings;
  Bus& bus = engine.buses[o];
  const ImVec2 panel(panelW, (gCardH - sy) * 0.5f);
  ImGui::PushID(&bus);
  beginPanel("device", panel);
  devicePanel(engine, bus);
  endPanel();
  beginPanel("sound", panel);
  soundPanel(*bus.fx, o);
  endPanel();
  ImGui::PopID();
  ImGui::EndGroup();
}

} // namespace velto
