#include "ui/icons.h"

#include "ui/help.h"
#include "ui/style.h"

#include <algorithm>
#include <cstdlib>

namespace velto {

namespace {

constexpr ImGuiHoveredFlags kHelpHover =
    ImGuiHoveredFlags_AllowWhenDisabled | ImGuiHoveredFlags_AllowWhenBlockedByActiveItem;
const ImVec4 kFaceHovered{0.32f, 0.33f, 0.40f, 1.0f};
const ImVec4 kRowGlyph{0.50f, 0.52f, 0.58f, 1.0f};

void helpTip(const char* tip) {
  if (tip && gHelpMode && ImGui::IsItemHovered(kHelpHover)) gHelpKey = helpRef(gHelpSection, tip);
}

} // namespace

void drawIcon(ImDrawList* list, ImVec2 c, float s, Icon icon, ImU32 colour) {
  auto at = [&](float x, float y) { return ImVec2(c.x + x * s, c.y + y * s); };
  switch (icon) {
  case Icon::Prev:
    list->AddTriangleFilled(at(0.65f, -0.6f), at(0.65f, 0.6f), at(-0.35f, 0.0f), colour);
    list->AddRectFilled(at(-0.6f, -0.6f), at(-0.4f, 0.6f), colour);
    break;
  case Icon::Play:
    list->AddTriangleFilled(at(-0.4f, -0.6f), at(-0.4f, 0.6f), at(0.6f, 0.0f), colour);
    break;
  case Icon::Pause:
    list->AddRectFilled(at(-0.5f, -0.6f), at(-0.15f, 0.6f), colour, 1.5f);
    list->AddRectFilled(at(0.15f, -0.6f), at(0.5f, 0.6f), colour, 1.5f);
    break;
  case Icon::Stop:
    list->AddRectFilled(at(-0.5f, -0.5f), at(0.5f, 0.5f), colour, 2.0f);
    break;
  case Icon::Next:
    list->AddTriangleFilled(at(-0.65f, -0.6f), at(-0.65f, 0.6f), at(0.35f, 0.0f), colour);
    list->AddRectFilled(at(0.4f, -0.6f), at(0.6f, 0.6f), colour);
    break;
  case Icon::Up:
    list->AddTriangleFilled(at(0.0f, -0.45f), at(0.55f, 0.35f), at(-0.55f, 0.35f), colour);
    break;
  case Icon::Down:
    list->AddTriangleFilled(at(-0.55f, -0.35f), at(0.55f, -0.35f), at(0.0f, 0.45f), colour);
    break;
  case Icon::Remove:
    list->AddLine(at(-0.4f, -0.4f), at(0.4f, 0.4f), colour, 1.8f);
    list->AddLine(at(-0.4f, 0.4f), at(0.4f, -0.4f), colour, 1.8f);
    break;
  }
}

bool iconButton(const char* id, Icon icon, ImVec2 size, bool active, const char* tip) {
  const ImVec2 p = ImGui::GetCursorScreenPos();
  const bool pressed = ImGui::InvisibleButton(id, size, 0);
  const bool hovered = ImGui::IsItemHovered();
  helpTip(tip);
  const ImVec4& face = active ? kAccentPlayer : hovered ? kFaceHovered : kGray;
  ImDrawList* list = ImGui::GetWindowDrawList();
  list->AddRectFilled(p, ImVec2(p.x + size.x, p.y + size.y), ImGui::GetColorU32(face), 5.0f);
  drawIcon(list, ImVec2(p.x + size.x * 0.5f, p.y + size.y * 0.5f), std::min(size.x, size.y) * 0.32f,
           icon, ImGui::GetColorU32(active ? kTextDark : kTextLight));
  if (hovered && tip) ImGui::SetTooltip("%s", tip);
  return pressed;
}

bool rowIcon(const char* id, Icon icon, const char* tip) {
  const float h = ImGui::GetTextLineHeight();
  const bool pressed = ImGui::InvisibleButton(id, ImVec2(h, h));
  const bool hovered = ImGui::IsItemHovered();
  helpTip(tip);
  const ImVec2 a = ImGui::GetItemRectMin(), b = ImGui::GetItemRectMax();
  drawIcon(ImGui::GetWindowDrawList(), ImVec2((a.x + b.x) * 0.5f, (a.y + b.y) * 0.5f), 0.42f * h,
           icon, ImGui::GetColorU32(hovered ? kTextLight : kRowGlyph));
  if (hovered && tip) ImGui::SetTooltip("%s", tip);
  return pressed;
}

// An empty HOME would match every path and put "~" in front of all of them.
std::string shortPath(const std::string& path) {
  const char* home = std::getenv("HOME");
  if (!home || !*home) return path;
  std::string prefix(home);
  while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
  if (path.compare(0, prefix.size(), prefix) != 0) return path;
  // "/home/u2" merely starts with the text of "/home/u"; it is not inside it.
  if (path.size() > prefix.size() && path[prefix.size()] != '/') return path;
  std::string shortened = "~";
  shortened.append(path, prefix.size());
  return shortened;
}

} // namespace velto
