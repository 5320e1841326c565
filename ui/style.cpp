#include "ui/style.h"

#include "ui/help.h"

#include <cstring>

namespace velto {

std::string gWantSection;
double gSectionFlash = -10.0;

namespace {

constexpr ImGuiHoveredFlags kHelpHover =
    ImGuiHoveredFlags_AllowWhenDisabled | ImGuiHoveredFlags_AllowWhenBlockedByActiveItem;

ImVec4 brighter(const ImVec4& c, float by) {
  return ImVec4(c.x + by, c.y + by, c.z + by, 1.0f);
}

} // namespace

void applyStyle() {
  ImGuiStyle& s = ImGui::GetStyle();
  s.WindowPadding = ImVec2(8, 8);
  s.WindowRounding = 0;
  s.ChildRounding = 6;
  s.ChildBorderSize = 1;
  s.PopupRounding = 6;
  s.FrameRounding = 4;
  s.ItemSpacing = ImVec2(8, 6);
  s.TabRounding = 4;
  ImVec4* c = s.Colors;
  c[ImGuiCol_WindowBg] = kBg;
  c[ImGuiCol_PopupBg] = kPanel;
  c[ImGuiCol_Border] = ImVec4(0.30f, 0.32f, 0.40f, 0.60f);
  c[ImGuiCol_FrameBg] = kGray;
  c[ImGuiCol_FrameBgHovered] = ImVec4(0.30f, 0.31f, 0.38f, 1.0f);
  c[ImGuiCol_CheckMark] = kGreen;
  c[ImGuiCol_Header] = ImVec4(0.30f, 0.40f, 0.55f, 1.0f);
  c[ImGuiCol_HeaderHovered] = ImVec4(0.35f, 0.48f, 0.65f, 1.0f);
  c[ImGuiCol_TabHovered] = ImVec4(0.30f, 0.40f, 0.55f, 1.0f);
  c[ImGuiCol_Tab] = kPanel;
  c[ImGuiCol_TabActive] = ImVec4(0.25f, 0.34f, 0.48f, 1.0f);
}

bool coloredButton(const char* label, const ImVec4& background, const ImVec4& text, float width,
                   float height) {
  ImGui::PushStyleColor(ImGuiCol_Button, background);
  ImGui::PushStyleColor(ImGuiCol_ButtonHovered, brighter(background, 0.08f));
  ImGui::PushStyleColor(ImGuiCol_ButtonActive, brighter(background, 0.15f));
  ImGui::PushStyleColor(ImGuiCol_Text, text);
  const bool clicked = ImGui::Button(label, ImVec2(width, height));
  ImGui::PopStyleColor(4);
  if (gHelpMode) {
    const char* cut = std::strstr(label, "##");
    const std::string item = cut ? std::string(label, cut) : std::string(label);
    if (ImGui::IsItemHovered(kHelpHover)) gHelpKey = helpRef(gHelpSection, item);
  }
  return clicked;
}

void sectionTitle(const char* title, const ImVec4& /*colour*/) {
  static std::string flashed;
  ImGui::Spacing();
  if (gWantSection == title) {
    ImGui::SetScrollHereY(0.0f);
    gWantSection.clear();
    gSectionFlash = ImGui::GetTime();
    flashed = title;
  }
  if (flashed == title) {
    const float f = 1.0f - static_cast<float>((ImGui::GetTime() - gSectionFlash) / 1.5);
    if (f > 0.0f) {
      const ImVec2 p = ImGui::GetCursorScreenPos();
      const float w = ImGui::GetContentRegionAvail().x;
      ImGui::GetWindowDrawList()->AddRectFilled(
          ImVec2(p.x - 8, p.y - 3), ImVec2(p.x + w, p.y + ImGui::GetTextLineHeight() + 3),
          ImGui::GetColorU32(ImVec4(0.35f, 0.75f, 0.95f, 0.3f * f)), 4.0f);
    }
  }
  gHelpSection = title;
  ImGui::TextColored(kTextLight, "%s", title);
  if (gHelpMode && ImGui::IsItemHovered(kHelpHover)) gHelpKey = helpRef(title, "");
  ImGui::Separator();
  ImGui::Spacing();
}

void panelTitle(const char* title, const ImVec4& colour) {
  gHelpSection = title;
  if (gHelpMode && ImGui::IsWindowHovered(ImGuiHoveredFlags_ChildWindows |
                                          ImGuiHoveredFlags_AllowWhenBlockedByActiveItem))
    gHelpKey = helpRef(title, "");
  ImGui::TextColored(colour, "%s", title);
  ImGui::Spacing();
}

} // namespace velto
