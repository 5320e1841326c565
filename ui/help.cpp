#include "ui/help.h"

#include "ui/style.h"
#include "ui/window.h"

namespace velto {

bool gHelpMode = false;
std::string gHelpPage;
std::string gHelpSection;
std::string gHelpKey;
ImVec2 gHelpPoint;

namespace {
// The key of the last frame, kept apart because gHelpKey is cleared at the next tab stage.
std::string gLastHelpKey;
// The "?" button was under the mouse in this frame; its own tooltip then stands.
bool gButtonHovered = false;
} // namespace

std::string helpRef(const std::string& section, const std::string& item) {
  std::string key = gHelpPage;
  if (!section.empty()) key += "#" + section;
  if (!item.empty()) key += (section.empty() ? "##" : "#") + item;
  return key;
}

void helpRect(ImVec2 min, ImVec2 max, const std::string& key) {
  if (!gHelpMode || !ImGui::IsWindowHovered(ImGuiHoveredFlags_AllowWhenBlockedByActiveItem)) return;
  const ImVec2 m = ImGui::GetIO().MousePos;
  if (m.x >= min.x && m.y >= min.y && m.x < max.x && m.y < max.y && &key != &gHelpKey)
    gHelpKey = key;
}

void helpRow(const char* item) {
  const ImVec2 w = ImGui::GetWindowPos();
  const float y = ImGui::GetCursorScreenPos().y;
  helpRect(ImVec2(w.x, y), ImVec2(w.x + ImGui::GetWindowWidth(), y + ImGui::GetFrameHeight()),
           helpRef(gHelpSection, item));
}

void helpItem(const std::string& key) {
  if (gHelpMode && ImGui::IsItemHovered(ImGuiHoveredFlags_AllowWhenDisabled |
                                        ImGuiHoveredFlags_AllowWhenBlockedByActiveItem))
    gHelpKey = key;
}

bool helpButton(const char* /*label*/) {
  const ImVec2 p = ImGui::GetCursorScreenPos();
  const bool hovered = ImGui::IsMouseHoveringRect(p, ImVec2(p.x + 30, p.y + 30), false) &&
                       !ImGui::IsPopupOpen(nullptr, ImGuiPopupFlags_AnyPopupId);
  const ImVec2 c(p.x + 15, p.y + 15);
  gHelpPoint = c;
  gButtonHovered = hovered;
  const ImU32 colour = ImGui::GetColorU32(hovered ? ImVec4(0.88f, 0.89f, 0.93f, 1.0f)
                                                  : ImVec4(0.55f, 0.57f, 0.63f, 1.0f));
  ImDrawList* dl = ImGui::GetForegroundDrawList();
  ImU32 glyph = colour;
  if (gHelpMode) {
    dl->AddCircleFilled(c, 12.0f, ImGui::GetColorU32(kTextLight), 32);
    glyph = ImGui::GetColorU32(kCardBg);
  } else {
    dl->AddCircle(c, 11.0f, colour, 32, 2.2f);
  }
  ImFont* font = ImGui::GetFont();
  const float size = ImGui::GetFontSize() * 1.15f;
  const ImVec2 ts = font->CalcTextSizeA(size, 1e9f, 0.0f, "?");
  dl->AddText(font, size, ImVec2(c.x - ts.x * 0.5f, c.y - ts.y * 0.5f), glyph, "?");
  if (!hovered) return false;
  ImGui::SetTooltip(gHelpMode ? "Hilfe-Modus beenden" : "Hilfe: auf etwas klicken");
  return ImGui::IsMouseClicked(ImGuiMouseButton_Left, false);
}

std::string helpDisplayName(const std::string& key) {
  const size_t hash = key.rfind('#');
  const std::string name = hash == std::string::npos ? key : key.substr(hash + 1);
  const char* label = tabLabelForKey(name);
  return label ? label : name;
}

void helpOverlay(bool buttonClicked, const char* fallback) {
  gLastHelpKey = gHelpKey;
  const bool overButton = gButtonHovered;
  gButtonHovered = false;
  if (buttonClicked) {
    gHelpMode = !gHelpMode;
    return;
  }
  if (!gHelpMode) return;
  const std::string key = gHelpKey.empty() && fallback ? std::string(fallback) : gHelpKey;
  // The menu bar lies over the same screen; a click there chooses from the menu, not help.
  const bool overMixer = ImGui::IsWindowHovered(ImGuiHoveredFlags_RootAndChildWindows |
                                                ImGuiHoveredFlags_AllowWhenBlockedByActiveItem);
  if (ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_Escape), true) ||
      ImGui::IsMouseClicked(ImGuiMouseButton_Right)) {
    gHelpMode = false;
  } else if (!overMixer) {
    return;
  } else if (ImGui::IsMouseClicked(ImGuiMouseButton_Left, false)) {
    gHelpMode = false;
    if (gHelpHandler) gHelpHandler(key.c_str());
  } else if (!overButton) {
    ImGui::SetTooltip("Hilfe: %s", helpDisplayName(key).c_str());
  }
}

bool helpModeActive() {
  return gHelpMode;
}
void setHelpMode(bool on) {
  gHelpMode = on;
}
const std::string& helpKeyUnderMouse() {
  return gLastHelpKey;
}
ImVec2 helpButtonPoint() {
  return gHelpPoint;
}

} // namespace velto
