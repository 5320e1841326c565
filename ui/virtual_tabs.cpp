#include "ui/virtual_tabs.h"

#include "engine/engine.h"
#include "ui/cards.h"
#include "ui/fader.h"
#include "ui/help.h"
#include "ui/style.h"

#include <algorithm>
#include <string>

namespace velto {

namespace {

constexpr float kMinCardW = 96.0f;
constexpr float kMaxCardW = 180.0f;
constexpr float kMatrixGap = 28.0f;
constexpr float kMinMatrixW = 520.0f;
constexpr float kMaxMatrixW = 760.0f;
constexpr float kMatrixShare = 0.45f;
constexpr float kSourceColumnW = 210.0f;
constexpr int kVirtualOuts = 3;
constexpr int kFirstVirtualOut = 3; // bus index and route bit of virtual output 1
constexpr ImGuiTableFlags kMatrixFlags = ImGuiTableFlags_SizingStretchSame |
                                         ImGuiTableFlags_BordersInnerV |
                                         ImGuiTableFlags_BordersInnerH | ImGuiTableFlags_RowBg;
const ImVec4 kSourceHeader{0.66f, 0.68f, 0.75f, 1.0f};

// Sizes the card globals for a row of n cards followed by `extra` pixels, and moves the cursor
// so that the row is centred where there is room. Every gap between two cards is counted, so
// the row never runs past the content it was sized for. The cards give up width so that the
// row's right end stays `keepFree` pixels short of the content's right edge where they can;
// false when the row still reaches into that room.
bool placeCardRow(int n, float extra, float keepFree = 0.0f) {
  const ImGuiStyle& s = ImGui::GetStyle();
  const ImVec2 avail = ImGui::GetContentRegionAvail();
  const float gaps = s.ItemSpacing.x * static_cast<float>(n - 1);
  const auto width = [&](float room) {
    return std::clamp((room - gaps - extra) / static_cast<float>(n), kMinCardW, kMaxCardW);
  };
  const auto rowWidth = [&] { return static_cast<float>(n) * gCardW + gaps + extra; };
  gCardW = width(avail.x);
  fitCardHeight(avail.y);
  float shift = rowWidth() < avail.x ? (avail.x - rowWidth()) * 0.5f : 0.0f;
  const float limit = avail.x - keepFree;
  if (shift + rowWidth() > limit) {
    gCardW = width(limit);
    shift = std::clamp(limit - rowWidth(), 0.0f, shift);
  }
  ImVec2 cursor = ImGui::GetCursorPos();
  cursor.x += shift;
  if (gCardH < avail.y) cursor.y += (avail.y - gCardH) * 0.5f;
  ImGui::SetCursorPos(cursor);
  return shift + rowWidth() <= limit + 0.5f;
}

void headerCell(const char* text, const ImVec4& colour) {
  ImGui::TableNextColumn();
  const float w = ImGui::GetContentRegionAvail().x;
  const float offset = std::max(0.0f, (w - ImGui::CalcTextSize(text).x) * 0.5f);
  ImGui::SetCursorPosX(ImGui::GetCursorPosX() + offset);
  ImGui::TextColored(colour, "%s", text);
}

// One source row: the strip's name and grey text, then a toggle per virtual output.
void matrixRow(Engine& engine, Strip& strip, const ImVec4& accent, const std::string& grey) {
  ImGui::PushID(&strip);
  ImGui::TableNextRow();
  ImGui::TableNextColumn();
  ImGui::AlignTextToFramePadding();
  ImGui::TextColored(accent, "%s", strip.name.c_str());
  ImGui::SameLine();
  ImGui::TextDisabled("%s", grey.c_str());
  const float h = ImGui::GetFrameHeight();
  for (int j = 0; j < kVirtualOuts; ++j) {
    ImGui::TableNextColumn();
    ImGui::PushID(j);
    const uint32_t bit = 1u << (kFirstVirtualOut + j);
    const bool set = (strip.routeMask.load() & bit) != 0;
    // One atomic flip of this bit only, so a concurrent change of another bit is never lost.
    if (coloredButton(set ? "verbunden" : "-", set ? kAccentMic : kGray,
                      set ? kTextDark : kTextLight, -1.0f, h)) {
      strip.routeMask.fetch_xor(bit);
    }
    if (ImGui::IsItemHovered()) {
      ImGui::SetTooltip("%s %s %s", strip.name.c_str(), set ? "ist in" : "nicht in",
                        engine.buses[kFirstVirtualOut + j].name.c_str());
    }
    ImGui::PopID();
  }
  ImGui::PopID();
}

} // namespace

void drawVirtualInputs(Engine& engine) {
  const int n = static_cast<int>(engine.virtualIns.size());
  placeCardRow(n, 0.0f);
  ImGui::BeginGroup();
  for (int i = 0; i < n; ++i) {
    if (i > 0) ImGui::SameLine();
    virtualInputCard(engine, i, false);
  }
  ImGui::EndGroup();
}

void drawVirtualOutputs(Engine& engine) {
  const float m =
      std::clamp(ImGui::GetContentRegionAvail().x * kMatrixShare, kMinMatrixW, kMaxMatrixW);
  // The tab's "?" button stands at the content's top right, over where the matrix's last
  // header would be; a matrix that cannot keep clear of it starts below it.
  const float top = ImGui::GetCursorScreenPos().y;
  const bool clear = placeCardRow(kVirtualOuts, kMatrixGap + m, kHelpButtonSize);
  ImGui::BeginGroup();
  for (int j = 0; j < kVirtualOuts; ++j) {
    if (j > 0) ImGui::SameLine();
    virtualOutputCard(engine, j);
  }
  ImGui::EndGroup();
  ImGui::SameLine(0.0f, kMatrixGap);
  ImGui::BeginGroup();
  if (!clear) {
    const float below = top + kHelpButtonSize + ImGui::GetStyle().ItemSpacing.y;
    const float y = ImGui::GetCursorScreenPos().y;
    if (y < below) ImGui::Dummy(ImVec2(0.0f, below - y - ImGui::GetStyle().ItemSpacing.y));
  }
  const ImVec2 p = ImGui::GetCursorScreenPos();
  micMatrix(engine, m);
  helpRect(p, ImVec2(p.x + m, ImGui::GetCursorScreenPos().y), "virtual-outputs#Kreuztabelle");
  ImGui::EndGroup();
}

void micMatrix(Engine& engine, float width) {
  if (!ImGui::BeginTable("matrix", 1 + kVirtualOuts, kMatrixFlags, ImVec2(width, 0))) return;
  ImGui::TableSetupColumn("Quelle", ImGuiTableColumnFlags_WidthFixed, kSourceColumnW);
  for (int j = 0; j < kVirtualOuts; ++j) {
    ImGui::TableSetupColumn(engine.buses[kFirstVirtualOut + j].name.c_str(),
                            ImGuiTableColumnFlags_WidthStretch);
  }
  ImGui::TableNextRow(ImGuiTableRowFlags_Headers);
  headerCell("Quelle", kSourceHeader);
  for (int j = 0; j < kVirtualOuts; ++j)
    headerCell(engine.buses[kFirstVirtualOut + j].name.c_str(), kAccentMic);

  for (HwInput& in : engine.hwInputs) {
    const DeviceInfo* device = engine.findDevice(in.link.uid);
    matrixRow(engine, in.strip, kAccentIn, device ? device->name : "kein Gerät");
  }
  // The last virtual input takes every application not routed elsewhere.
  const int last = static_cast<int>(engine.virtualIns.size()) - 1;
  for (int i = 0; i < last; ++i)
    matrixRow(engine, engine.virtualIns[i].strip, kAccentVi, join(engine.appsOf(i), "keine App"));
  matrixRow(engine, engine.virtualIns[last].strip, kAccentVi, "Andere Anwendungen");
  ImGui::EndTable();
}

} // namespace velto
