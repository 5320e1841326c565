#include "ui/inputs_tab.h"

#include "effects/fx_table.h"
#include "effects/input_fx.h"
#include "effects/noise_filter.h"
#include "engine/engine.h"
#include "ui/cards.h"
#include "ui/fader.h"
#include "ui/fx_panel.h"
#include "ui/help.h"
#include "ui/style.h"
#include "ui/window.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace velto {
namespace {

constexpr float kGap = 28.0f; // between the cards and the right area
constexpr float kTileH = 46.0f;
constexpr float kTileGap = 8.0f;
constexpr float kTilePitch = 98.0f; // smallest tile plus its gap
constexpr float kMinSettingsH = 80.0f;
constexpr float kStrengthMin = 6.0f;
constexpr float kStrengthMax = 40.0f;
constexpr float kLabelColumn = 96.0f;
constexpr float kProfileBandHz = 48000.0f / 512.0f;
const ImVec4 kTileOn{0.287f, 0.414f, 0.516f, 1.0f};

// One list section of tiles: its column count, tile width and running counter.
struct TileRow {
  int columns = 3;
  float width = 0.0f;
  int counter = 0;
};

// "+%.1f ms" of a latency with a decimal comma.
void latencyText(float ms, char* out, size_t size) {
  std::snprintf(out, size, "+%.1f ms", ms);
  for (char* c = out; *c; ++c)
    if (*c == '.') *c = ',';
}

const char* filterLatency() {
  static char text[16] = "";
  if (text[0] == '\0') latencyText(NoiseFilter::kFrame * 1000.0f / 48000.0f, text, sizeof text);
  return text;
}

ImVec4 hovered(const ImVec4& c) {
  return ImVec4(c.x + (1 - c.x) * 0.06f, c.y + (1 - c.y) * 0.06f, c.z + (1 - c.z) * 0.06f, 1.0f);
}

void inputPanel(TileRow& row, int item, const char* label, const char* status, bool on) {
  if (row.counter % row.columns != 0)
    ImGui::SameLine(0, kTileGap);
  else if (row.counter > 0) // a spacer item would add its own spacing on top of the gap
    ImGui::SetCursorPosY(ImGui::GetCursorPosY() + kTileGap - ImGui::GetStyle().ItemSpacing.y);
  ImGui::PushID(item);
  const ImVec2 p0 = ImGui::GetCursorScreenPos();
  const ImVec2 p1(p0.x + row.width, p0.y + kTileH);
  const bool clicked = ImGui::InvisibleButton("##tile", ImVec2(row.width, kTileH));
  const bool hover = ImGui::IsItemHovered();

  ImDrawList* dl = ImGui::GetWindowDrawList();
  const ImVec4& fill = on ? kTileOn : kGray;
  dl->AddRectFilled(p0, p1, ImGui::GetColorU32(hover ? hovered(fill) : fill), 6.0f);
  if (on) dl->AddCircleFilled(ImVec2(p0.x + 9, p0.y + 9), 3.0f, ImGui::GetColorU32(kAccentIn));
  if (item == gInputItem) dl->AddRect(p0, p1, ImGui::GetColorU32(kAccentIn), 6.0f, 0, 2.0f);

  const float line = ImGui::GetTextLineHeight();
  const bool twoLines = status && status[0] != '\0';
  const float top = p0.y + (kTileH - line * (twoLines ? 2.0f : 1.0f)) * 0.5f;
  dl->PushClipRect(p0, p1, true);
  const float labelW = ImGui::CalcTextSize(label).x;
  dl->AddText(ImVec2(p0.x + (row.width - labelW) * 0.5f, top),
              on ? IM_COL32(255, 255, 255, 255) : ImGui::GetColorU32(kTextLight), label);
  if (twoLines) {
    const float statusW = ImGui::CalcTextSize(status).x;
    dl->AddText(ImVec2(p0.x + (row.width - statusW) * 0.5f, top + line),
                IM_COL32(255, 255, 255, 120), status);
  }
  dl->PopClipRect();
  ImGui::PopID();
  if (clicked) gInputItem = item;

  if (gHelpMode) {
    // Chain effects of every bank share the effect's help section, so its table label is used.
    const int id = (item - 2) % kFxCount;
    const bool tool = item < 2 || kFx[id].tool;
    helpItem(tool ? std::string("werkzeuge#") + label : std::string("effekte#") + kFx[id].label);
  }
  ++row.counter;
}

float toX(ImVec2 p0, float w, float hz) {
  return p0.x + w * std::log10(std::max(hz, 20.0f) / 20.0f) / 3.0f;
}

float toY(ImVec2 p0, float h, float db) {
  return p0.y + h * std::clamp(db / -100.0f, 0.0f, 1.0f);
}

void spectrumGraph(const InputAnalysis& a, ImVec2 size) {
  static std::vector<ImVec2> pts;
  const ImVec2 p0 = ImGui::GetCursorScreenPos();
  const float w = size.x, h = size.y;
  const ImVec2 p1(p0.x + w, p0.y + h);
  ImGui::Dummy(size);
  helpItem("werkzeuge#Rauschprofil#Bild");

  ImDrawList* dl = ImGui::GetWindowDrawList();
  dl->AddRectFilled(p0, p1, ImGui::GetColorU32(kTrack), 6.0f);
  const ImU32 grid = IM_COL32(255, 255, 255, 18);
  const ImU32 gridText = IM_COL32(255, 255, 255, 90);
  char label[16];
  for (float f : {50.0f, 100.0f, 200.0f, 500.0f, 1000.0f, 2000.0f, 5000.0f, 10000.0f}) {
    const float x = toX(p0, w, f);
    dl->AddLine(ImVec2(x, p0.y), ImVec2(x, p1.y), grid, 1.0f);
    if (f < 1000.0f)
      std::snprintf(label, sizeof label, "%.0f", f);
    else
      std::snprintf(label, sizeof label, "%.0fk", f / 1000.0f);
    dl->AddText(ImVec2(x + 3, p1.y - 16), gridText, label);
  }
  for (float db : {-20.0f, -40.0f, -60.0f, -80.0f}) {
    const float y = toY(p0, h, db);
    dl->AddLine(ImVec2(p0.x, y), ImVec2(p1.x, y), grid, 1.0f);
    std::snprintf(label, sizeof label, "%.0f", db);
    dl->AddText(ImVec2(p0.x + 4, y - 14), gridText, label);
  }

  dl->PushClipRect(p0, p1, true);
  if (a.hasProfile || a.measuring) {
    const ImU32 band = IM_COL32(220, 60, 60, 40);
    const ImU32 edge = ImGui::GetColorU32(kRed);
    for (int b = 1; b < NoiseFilter::kBins; ++b) {
      const float xLo = toX(p0, w, (b - 0.5f) * kProfileBandHz);
      const float xHi = toX(p0, w, (b + 0.5f) * kProfileBandHz);
      if (xHi < p0.x || xLo > p1.x) continue;
      const float y = toY(p0, h, a.profile[b]);
      dl->AddRectFilled(ImVec2(xLo, y), ImVec2(xHi, p1.y), band);
      dl->AddLine(ImVec2(xLo, y), ImVec2(xHi, y), edge, 1.5f);
    }
  }
  const int n = static_cast<int>(w * 0.5f);
  pts.clear();
  const int last = static_cast<int>(a.spectrum.size()) - 1;
  if (n > 0 && last >= 1) {
    auto bin = [](double f) { return static_cast<int>(f * 4096.0 / 48000.0); };
    for (int i = 0; i <= n; ++i) {
      const double f = 20.0 * std::pow(1000.0, static_cast<double>(i) / n);
      const double next = 20.0 * std::pow(1000.0, static_cast<double>(i + 1) / n);
      const int lo = std::clamp(bin(f), 1, last);
      const int hi = std::min(std::max(bin(next), lo), last);
      float level = -120.0f;
      for (int k = lo; k <= hi; ++k) level = std::max(level, a.spectrum[k]);
      pts.emplace_back(p0.x + static_cast<float>(i) * w / static_cast<float>(n), toY(p0, h, level));
    }
    dl->AddPolyline(pts.data(), static_cast<int>(pts.size()), ImGui::GetColorU32(kAccentIn), 0,
                    1.5f);
  }
  dl->PopClipRect();
}

ImVec2 graphSize() {
  const ImVec2 avail = ImGui::GetContentRegionAvail();
  return ImVec2(avail.x, std::max(avail.y - 4.0f, 80.0f));
}

void profilePanel(Engine& engine, int s) {
  const InputAnalysis& a = engine.analysis[s];
  const float h = ImGui::GetFrameHeight();
  panelTitle("Rauschprofil", kAccentIn);
  if (!a.measuring) {
    if (coloredButton(a.hasProfile ? "Neu messen" : "Messen", kAccentIn, kTextDark, 110, h))
      engine.startMeasure(s);
    if (a.hasProfile) {
      ImGui::SameLine();
      if (coloredButton("Löschen", kGray, kTextLight, 90, h)) engine.discardProfile(s);
    }
  } else if (coloredButton("Stopp", kRed, kTextDark, 110, h)) {
    engine.stopMeasure(s);
  }
  spectrumGraph(a, graphSize());
}

void filterPanel(Engine& engine, int s) {
  NoiseFilter* filter = engine.hwInputs[s].noiseFilter.get();
  const InputAnalysis& a = engine.analysis[s];
  const float h = ImGui::GetFrameHeight();
  panelTitle("Rauschfilter", kAccentIn);
  if (filter) {
    const bool on = filter->enabled.load();
    ImGui::BeginDisabled(!a.hasProfile);
    if (coloredButton(on ? "an" : "aus", on ? kAccentIn : kGray, on ? kTextDark : kTextLight, 70,
                      h))
      filter->enabled.exchange(!on);
    ImGui::EndDisabled();
    if (ImGui::IsItemHovered(ImGuiHoveredFlags_AllowWhenDisabled))
      ImGui::SetTooltip(a.hasProfile ? "Senkt alles unter dem Profil ab"
                                     : "Erst Rauschprofil messen");
    helpItem("werkzeuge#Rauschfilter#an / aus");
    ImGui::SameLine();
    ImGui::AlignTextToFramePadding();
    ImGui::TextDisabled("%s", filterLatency());

    helpRow("Stärke");
    ImGui::AlignTextToFramePadding();
    ImGui::TextColored(kTextLight, "Stärke");
    ImGui::SameLine(ImGui::GetStyle().WindowPadding.x + kLabelColumn);
    ImGui::SetNextItemWidth(ImGui::GetContentRegionAvail().x);
    float strength = filter->strength.load();
    // A typed value is held to the range like a dragged one.
    if (ImGui::SliderFloat("##strength", &strength, kStrengthMin, kStrengthMax, "-%.0f dB",
                           ImGuiSliderFlags_AlwaysClamp) &&
        std::isfinite(strength))
      filter->strength.exchange(std::clamp(strength, kStrengthMin, kStrengthMax));
  }
  spectrumGraph(a, graphSize());
}

void rightArea(Engine& engine, int s, float areaW, float cardH) {
  engine.tickAnalysis(s);
  HwInput& in = engine.hwInputs[s];
  if (!in.fxChain || !in.fx) return;
  FxChain& chain = *in.fxChain;
  const ImGuiStyle& style = ImGui::GetStyle();

  const float inner = areaW - 2 * style.WindowPadding.x;
  TileRow row;
  row.columns = std::clamp(static_cast<int>((inner + kTileGap) / kTilePitch), 3, 5);
  row.width = (inner - (row.columns - 1) * kTileGap) / row.columns;

  if (gInputItem >= 2) {
    const int bank = (gInputItem - 2) / kFxCount;
    if (bank != 0 && (bank >= FxChain::kBanks || !chain.banks[bank]))
      gInputItem = (gInputItem - 2) % kFxCount + 2;
  }

  static std::vector<FxChain::Slot> effects;
  effects.clear();
  for (const FxChain::Slot& slot : chain.movable)
    if (!kFx[slot.id].tool) effects.push_back(slot);
  effects.push_back({0, FxId::limiter});
  int tools = 2;
  for (const FxInfo& info : kFx) tools += info.tool ? 1 : 0;

  const int count = static_cast<int>(effects.size());
  const int c = row.columns;
  const int rows = (tools + c - 1) / c + (count + c - 1) / c;
  const int sections = 2;
  const float itemsH = sections * style.ItemSpacing.y + std::max(rows - sections, 0) * kTileGap +
                       rows * kTileH + 2 * style.WindowPadding.y +
                       sections * ImGui::GetTextLineHeightWithSpacing() + 6;

  ImGui::PushStyleColor(ImGuiCol_ChildBg, kCardBg);
  ImGui::BeginChild("items", ImVec2(areaW, itemsH), true,
                    ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoScrollWithMouse);
  if (gHelpMode && ImGui::IsWindowHovered(ImGuiHoveredFlags_ChildWindows |
                                          ImGuiHoveredFlags_AllowWhenBlockedByActiveItem))
    gHelpKey = "hardware-inputs#Bereich rechts";

  const InputAnalysis& a = engine.analysis[s];
  const bool filterOn = in.noiseFilter && in.noiseFilter->enabled.load();
  InputFx& fx0 = *in.fx;
  ImGui::TextDisabled("Werkzeuge");
  helpItem("werkzeuge");
  row.counter = 0;
  inputPanel(row, 0, "Rauschprofil", a.measuring ? "misst" : "", a.hasProfile);
  inputPanel(row, 1, "Rauschfilter", filterOn ? filterLatency() : "", filterOn);
  for (const FxInfo& info : kFx) {
    if (!info.tool) continue;
    const bool on = fx0.enabled[info.id].load();
    char status[24] = "";
    if (info.id == FxId::aec && on) {
      latencyText(5.3f, status, sizeof status);
    } else if (info.id == FxId::feedback) {
      int notches = 0;
      for (const auto& notch : fx0.notches()) notches += notch.second > 0.0f ? 1 : 0;
      if (notches > 0)
        std::snprintf(status, sizeof status, "%d %s", notches, notches == 1 ? "Kerbe" : "Kerben");
    }
    inputPanel(row, info.id + 2, info.label, status, on);
  }

  ImGui::Dummy(ImVec2(0, 2));
  ImGui::TextDisabled("Effekte");
  helpItem("effekte");
  row.counter = 0;
  for (const FxChain::Slot& slot : effects) {
    InputFx* bank = chain.banks[slot.bank].get();
    const bool on = bank && bank->enabled[slot.id].load();
    const bool lookahead =
        slot.id == FxId::limiter && on && bank->params[FxId::limiter][2].load() >= 0.5f;
    inputPanel(row, 2 + slot.id + kFxCount * slot.bank, slotLabel(slot).c_str(),
               lookahead ? "+1,0 ms" : "", on);
  }
  ImGui::EndChild();

  // A long chain in a short window leaves no room below the tiles; the panel keeps a usable
  // height and the tab grows instead.
  const float settingsH = std::max(cardH - itemsH - style.ItemSpacing.y, kMinSettingsH);
  ImGui::BeginChild("settings", ImVec2(areaW, settingsH), true);
  const std::string page = gHelpPage;
  gHelpPage = "werkzeuge";
  if (gInputItem == 1) {
    filterPanel(engine, s);
  } else if (gInputItem == 0) {
    profilePanel(engine, s);
  } else {
    const int id = (gInputItem - 2) % kFxCount;
    const int bank = (gInputItem - 2) / kFxCount;
    if (bank < FxChain::kBanks && chain.banks[bank])
      fxSettings(engine, s, *chain.banks[bank], kFx[id], bank);
  }
  gHelpPage = page;
  gHelpSection.clear();
  ImGui::EndChild();
  ImGui::PopStyleColor();
}

} // namespace

void drawInputs(Engine& engine) {
  const ImGuiStyle& style = ImGui::GetStyle();
  const ImVec2 avail = ImGui::GetContentRegionAvail();
  const float sx = style.ItemSpacing.x;
  const float areaW = std::clamp(avail.x * 0.4f, 420.0f, 760.0f);
  gInputSettings = std::clamp(gInputSettings, 0, 2);
  gCardW = std::clamp((avail.x - sx - kGap - areaW) / 3.0f, 96.0f, 180.0f);
  fitCardHeight(avail.y);
  gCardLocked = false;

  const float total = 3 * gCardW + 2 * sx + kGap + areaW;
  if (total < avail.x) ImGui::SetCursorPosX(ImGui::GetCursorPosX() + (avail.x - total) * 0.5f);
  if (gCardH < avail.y) ImGui::SetCursorPosY(ImGui::GetCursorPosY() + (avail.y - gCardH) * 0.5f);

  ImGui::BeginGroup();
  for (int i = 0; i < 3; ++i) {
    if (i > 0) ImGui::SameLine();
    if (hwInputCard(engine, i, i == gInputSettings)) gInputSettings = i;
  }
  ImGui::EndGroup();
  ImGui::SameLine(0, kGap);
  ImGui::BeginGroup();
  rightArea(engine, gInputSettings, areaW, gCardH);
  ImGui::EndGroup();
}

std::string slotLabel(const FxChain::Slot& slot) {
  std::string label = kFx[static_cast<int>(slot.id)].label;
  if (slot.bank > 0) {
    label += ' ';
    label += std::to_string(slot.bank + 1);
  }
  return label;
}

} // namespace velto
