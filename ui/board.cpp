#include "ui/board.h"

#include "engine/engine.h"
#include "ui/cards.h"
#include "ui/fader.h"
#include "ui/help.h"
#include "ui/style.h"
#include "ui/window.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace velto {

bool gBoardEdit = false;
ImVec2 gBoardGear;
ImVec2 gBoardCard[64];
ImVec2 gBoardArrow[64][2];

std::vector<BoardItem> boardItems(const std::string& text) {
  std::vector<BoardItem> items;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    if (end - start >= 2)
      items.push_back(
          {text[start], std::atoi(text.substr(start + 1, end - start - 1).c_str()) - 1});
    start = end + 1;
  }
  return items;
}

std::string boardString(const std::vector<BoardItem>& items) {
  std::string text;
  for (const BoardItem& item : items) {
    if (!text.empty()) text += ',';
    text += item.kind;
    text += std::to_string(item.index + 1);
  }
  return text;
}

bool boardShown(const BoardItem& item) {
  switch (item.kind) {
  case 'i':
  case 'o':
  case 'm':
    return item.index >= 0 && item.index <= 2;
  case 'v':
    return item.index >= 0 && item.index <= 3;
  case 'p':
  case 'y':
    return true;
  default:
    return false;
  }
}

void boardSplit(const std::string& text, std::vector<BoardItem>& shown,
                std::vector<BoardItem>& aside) {
  shown.clear();
  aside.clear();
  for (const BoardItem& item : boardItems(text)) (boardShown(item) ? shown : aside).push_back(item);
}

namespace {

std::string joined(std::vector<BoardItem> shown, const std::vector<BoardItem>& aside) {
  shown.insert(shown.end(), aside.begin(), aside.end());
  return boardString(shown);
}

} // namespace

std::string boardRemoved(const std::string& text, int k) {
  std::vector<BoardItem> shown, aside;
  boardSplit(text, shown, aside);
  if (k < 0 || k >= static_cast<int>(shown.size())) return text;
  shown.erase(shown.begin() + k);
  return joined(shown, aside);
}

std::string boardMoved(const std::string& text, int from, int to) {
  std::vector<BoardItem> shown, aside;
  boardSplit(text, shown, aside);
  const int n = static_cast<int>(shown.size());
  if (from == to || from < 0 || from >= n || to < 0 || to >= n) return text;
  const BoardItem item = shown[from];
  shown.erase(shown.begin() + from);
  shown.insert(shown.begin() + to, item);
  return joined(shown, aside);
}

namespace {

constexpr int kMaxShown = 64;
constexpr float kPi = 3.14159265358979f;
const ImVec4 kIdleGlyph{0.55f, 0.57f, 0.63f, 1.0f};
const ImVec4 kHotGlyph{0.88f, 0.89f, 0.93f, 1.0f};
const ImVec4 kDimName{0.60f, 0.62f, 0.68f, 1.0f};

int gDragFrom = -1;
ImVec2 gDragGrab;

ImVec2 operator+(ImVec2 a, ImVec2 b) {
  return ImVec2(a.x + b.x, a.y + b.y);
}
ImVec2 operator-(ImVec2 a, ImVec2 b) {
  return ImVec2(a.x - b.x, a.y - b.y);
}

const ImVec4& kindColour(char kind) {
  switch (kind) {
  case 'i':
    return kAccentIn;
  case 'o':
    return kAccentOut;
  case 'v':
    return kAccentVi;
  case 'm':
    return kAccentMic;
  case 'p':
    return kAccentPad;
  case 'y':
    return kAccentPlayer;
  default:
    return kGray;
  }
}

void outline(ImDrawList* list, ImVec2 p, const ImVec4& colour, float thickness) {
  list->AddRect(p, p + ImVec2(gCardW, gCardH), ImGui::GetColorU32(colour), 6.0f, 0, thickness);
}

// One toggle row of the "+" popup; a click rewrites the board text at once.
void boardPicker(Engine& engine, std::vector<BoardItem>& working, char kind, int index,
                 const std::string& name, const ImVec4& colour) {
  const BoardItem item{kind, index};
  auto found = std::find(working.begin(), working.end(), item);
  const bool present = found != working.end();
  ImGui::PushID(kind * 16 + index);
  if (ImGui::Selectable("##b", present, ImGuiSelectableFlags_DontClosePopups, ImVec2(220, 0))) {
    if (present)
      working.erase(found);
    else
      working.push_back(item);
    engine.settings.board = boardString(working);
  }
  ImGui::SameLine(8);
  ImGui::TextColored(present ? colour : kDimName, "%s", name.c_str());
  ImGui::PopID();
}

void pickerPopup(Engine& engine) {
  if (!ImGui::BeginPopup("board")) return;
  std::vector<BoardItem> working = boardItems(engine.settings.board);
  for (int i = 0; i < 3; ++i)
    boardPicker(engine, working, 'i', i, engine.hwInputs[i].strip.name, kAccentIn);
  ImGui::Separator();
  for (int i = 0; i < 3; ++i)
    boardPicker(engine, working, 'o', i, engine.buses[i].name, kAccentOut);
  ImGui::Separator();
  for (int i = 0; i < 4; ++i)
    boardPicker(engine, working, 'v', i, engine.virtualIns[i].strip.name, kAccentVi);
  ImGui::Separator();
  for (int i = 0; i < 3; ++i)
    boardPicker(engine, working, 'm', i, engine.buses[3 + i].name, kAccentMic);
  ImGui::Separator();
  boardPicker(engine, working, 'p', 0, engine.padsStrip.name, kAccentPad);
  boardPicker(engine, working, 'y', 0, engine.playerStrip.name, kAccentPlayer);
  ImGui::EndPopup();
}

void plusSign(ImVec2 min, ImVec2 max, bool hovered) {
  const ImVec2 c((min.x + max.x) * 0.5f, (min.y + max.y) * 0.5f);
  const ImU32 colour = ImGui::GetColorU32(hovered ? kHotGlyph : kIdleGlyph);
  ImDrawList* list = ImGui::GetWindowDrawList();
  list->AddLine(ImVec2(c.x - 18, c.y), ImVec2(c.x + 18, c.y), colour, 3.0f);
  list->AddLine(ImVec2(c.x, c.y - 18), ImVec2(c.x, c.y + 18), colour, 3.0f);
}

} // namespace

void boardCard(Engine& engine, char kind, int index) {
  switch (kind) {
  case 'i':
    if (index <= 2) hwInputCard(engine, index, false);
    break;
  case 'o':
    if (index <= 2) hwOutputCard(engine, index, false);
    break;
  case 'v':
    if (index <= 3) virtualInputCard(engine, index, false);
    break;
  case 'm':
    if (index <= 2) virtualOutputCard(engine, index);
    break;
  case 'p':
    padsCard(engine);
    break;
  case 'y':
    playerCard(engine);
    break;
  default:
    break;
  }
}

bool gearButton(bool active, ImVec2& centreOut) {
  const ImVec2 p = ImGui::GetCursorScreenPos();
  const bool clicked = ImGui::InvisibleButton("gear", ImVec2(30, 30));
  const bool hovered = ImGui::IsItemHovered();
  const ImVec2 c = p + ImVec2(15, 15);
  centreOut = c;
  ImDrawList* list = ImGui::GetWindowDrawList();
  ImVec4 gear = hovered ? kHotGlyph : kIdleGlyph;
  if (active) {
    list->AddRectFilled(p, p + ImVec2(30, 30), ImGui::GetColorU32(kTextLight), 6.0f);
    gear = kCardBg;
  }
  const ImU32 colour = ImGui::GetColorU32(gear);
  for (int k = 0; k < 8; ++k) {
    const float a = static_cast<float>(k) * kPi / 4.0f;
    auto at = [&](float angle, float radius) {
      return ImVec2(c.x + std::cos(angle) * radius, c.y + std::sin(angle) * radius);
    };
    list->AddQuadFilled(at(a - 0.3f, 6.5f), at(a - 0.18f, 11.0f), at(a + 0.18f, 11.0f),
                        at(a + 0.3f, 6.5f), colour);
  }
  list->AddCircleFilled(c, 8.0f, colour, 24);
  list->AddCircleFilled(c, 3.2f, ImGui::GetColorU32(active ? kTextLight : kBg), 16);
  if (hovered) ImGui::SetTooltip(active ? "Bearbeiten beenden" : "Bearbeiten");
  return clicked;
}

bool overlayButton(const char* id, ImVec2 centre, const ImVec4& colour, bool enabled, int glyph) {
  ImGui::SetCursorScreenPos(centre - ImVec2(11, 11));
  const bool clicked = ImGui::InvisibleButton(id, ImVec2(22, 22));
  if (!enabled) return clicked;
  ImDrawList* list = ImGui::GetForegroundDrawList();
  const ImVec2 c = centre;
  list->AddCircleFilled(c, 10.0f, ImGui::GetColorU32(ImGui::IsItemHovered() ? colour : kGray), 20);
  const ImU32 ink = ImGui::GetColorU32(kTextLight);
  if (glyph == 0) {
    list->AddLine(c - ImVec2(4, 4), c + ImVec2(4, 4), ink, 1.8f);
    list->AddLine(ImVec2(c.x - 4, c.y + 4), ImVec2(c.x + 4, c.y - 4), ink, 1.8f);
  } else {
    const float s = glyph > 0 ? 1.0f : -1.0f;
    list->AddLine(ImVec2(c.x - 2 * s, c.y - 5), ImVec2(c.x + 3 * s, c.y), ink, 2.0f);
    list->AddLine(ImVec2(c.x + 3 * s, c.y), ImVec2(c.x - 2 * s, c.y + 5), ink, 2.0f);
  }
  return clicked;
}

void drawBoard(Engine& engine) {
  static const bool envEdit = std::getenv("VELTO_BOARD_EDIT") != nullptr;
  if (envEdit) gBoardEdit = true;

  std::vector<BoardItem> shown, aside;
  boardSplit(engine.settings.board, shown, aside);
  int n = std::min(static_cast<int>(shown.size()), kMaxShown);

  const ImVec2 start = ImGui::GetCursorScreenPos();
  if (gearButton(gBoardEdit, gBoardGear)) {
    gBoardEdit = !gBoardEdit || envEdit;
    gDragFrom = -1;
  }
  helpItem("board#Bearbeiten-Modus#Zahnrad");
  ImGui::SetCursorScreenPos(start);
  if (!gBoardEdit) gDragFrom = -1;

  const ImGuiStyle& style = ImGui::GetStyle();
  const int slots = std::max(1, gBoardEdit ? n + 1 : n);
  const ImVec2 avail = ImGui::GetContentRegionAvail();
  const float sx = style.ItemSpacing.x;
  gCardW = std::clamp((avail.x - (slots - 1) * sx - 116.0f) / slots, 96.0f, 180.0f);
  fitCardHeight(avail.y);
  const float rowW = slots * gCardW + (slots - 1) * sx;
  ImVec2 origin = start;
  if (rowW < avail.x) origin.x += (avail.x - rowW) * 0.5f;
  if (gCardH < avail.y) origin.y += (avail.y - gCardH) * 0.5f;
  const float pitch = gCardW + sx;

  const bool popupOpen = ImGui::IsPopupOpen("board");
  if (gDragFrom >= n) gDragFrom = -1;
  int target = -1;
  if (gDragFrom >= 0) {
    const float x = ImGui::GetIO().MousePos.x - gDragGrab.x - origin.x;
    target = std::clamp(static_cast<int>(std::floor(x / pitch + 0.5f)), 0, n - 1);
  }

  std::vector<int> order; // item indexes by slot; -1 the drop place
  for (int k = 0; k < n; ++k)
    if (k != gDragFrom) order.push_back(k);
  if (gDragFrom >= 0) order.insert(order.begin() + target, -1);

  int remove = -1, moveFrom = -1, moveTo = -1;
  gCardLocked = gBoardEdit;
  for (int s = 0; s < static_cast<int>(order.size()); ++s) {
    const ImVec2 p(origin.x + s * pitch, origin.y);
    const int k = order[s];
    if (k < 0) {
      outline(ImGui::GetWindowDrawList(), p, kindColour(shown[gDragFrom].kind), 1.5f);
      continue;
    }
    const BoardItem& item = shown[k];
    ImGui::SetCursorScreenPos(p);
    ImGui::PushID(k);
    boardCard(engine, item.kind, item.index);
    gBoardCard[k] = p + ImVec2(gCardW * 0.5f, gCardH * 0.5f);
    if (gBoardEdit) {
      const bool enabled = gDragFrom < 0 && !popupOpen;
      const ImVec4& colour = kindColour(item.kind);
      // The handle below covers the whole card; an overlay under the mouse keeps its own key.
      bool overOverlay = false;
      auto overlayHelp = [&overOverlay](const char* key) {
        overOverlay =
            overOverlay || ImGui::IsItemHovered(ImGuiHoveredFlags_AllowWhenDisabled |
                                                ImGuiHoveredFlags_AllowWhenBlockedByActiveItem);
        helpItem(key);
      };
      if (overlayButton("remove", ImVec2(p.x + gCardW - 16, p.y + 16), colour, enabled, 0))
        remove = k;
      overlayHelp("board#Bearbeiten-Modus#\xC3\x97");
      if (enabled && ImGui::IsItemHovered()) ImGui::SetTooltip("Vom Board entfernen");
      gBoardArrow[k][0] = ImVec2(p.x + 16, p.y + gCardH * 0.5f);
      gBoardArrow[k][1] = ImVec2(p.x + gCardW - 16, p.y + gCardH * 0.5f);
      if (k > 0) {
        if (overlayButton("left", gBoardArrow[k][0], colour, enabled, -1)) {
          moveFrom = k;
          moveTo = k - 1;
        }
        overlayHelp("board#Bearbeiten-Modus#Pfeil");
      }
      if (k < n - 1) {
        if (overlayButton("right", gBoardArrow[k][1], colour, enabled, 1)) {
          moveFrom = k;
          moveTo = k + 1;
        }
        overlayHelp("board#Bearbeiten-Modus#Pfeil");
      }
      ImGui::SetCursorScreenPos(p);
      ImGui::InvisibleButton("move", ImVec2(gCardW, gCardH));
      if (!overOverlay) helpItem("board#Bearbeiten-Modus#ziehen");
      if (ImGui::IsItemActive() && ImGui::IsMouseDragging(ImGuiMouseButton_Left, 4.0f) &&
          gDragFrom < 0) {
        gDragFrom = k;
        gDragGrab = ImGui::GetIO().MouseClickedPos[0] - p;
      }
      if (enabled && ImGui::IsItemHovered())
        outline(ImGui::GetForegroundDrawList(), p, colour, 2.0f);
    }
    ImGui::PopID();
  }

  if (gBoardEdit) {
    const ImVec2 p(origin.x + n * pitch, origin.y);
    ImGui::SetCursorScreenPos(p);
    ImGui::PushStyleColor(ImGuiCol_Button, ImVec4(0.19f, 0.20f, 0.25f, 0.60f));
    ImGui::PushStyleColor(ImGuiCol_Text, kDimName);
    if (ImGui::Button("##add", ImVec2(gCardW, gCardH))) ImGui::OpenPopup("board");
    ImGui::PopStyleColor(2);
    helpItem("board#Bearbeiten-Modus#+");
    plusSign(ImGui::GetItemRectMin(), ImGui::GetItemRectMax(), ImGui::IsItemHovered());
  }

  pickerPopup(engine);
  boardSplit(engine.settings.board, shown, aside);
  n = std::min(static_cast<int>(shown.size()), kMaxShown);

  if (gDragFrom >= n) gDragFrom = -1;
  if (gDragFrom >= 0) {
    const ImVec2 p = ImGui::GetIO().MousePos - gDragGrab;
    ImGui::SetCursorScreenPos(p);
    ImGui::PushID("drag");
    gCardAlpha = 0.75f;
    boardCard(engine, shown[gDragFrom].kind, shown[gDragFrom].index);
    gCardAlpha = 0.45f;
    ImGui::PopID();
    outline(ImGui::GetForegroundDrawList(), p, kindColour(shown[gDragFrom].kind), 2.0f);
    if (!ImGui::IsMouseDown(ImGuiMouseButton_Left)) {
      moveFrom = gDragFrom;
      moveTo = target;
      gDragFrom = -1;
    }
  }

  gCardLocked = false;
  ImGui::SetCursorScreenPos(origin);
  ImGui::Dummy(ImVec2(rowW, gCardH));

  if (remove >= 0)
    engine.settings.board = boardRemoved(engine.settings.board, remove);
  else if (moveFrom >= 0)
    engine.settings.board = boardMoved(engine.settings.board, moveFrom, moveTo);
}

} // namespace velto
