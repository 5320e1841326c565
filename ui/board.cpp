#include "ui/board.h"

#include "engine/engine.h"
#include "ui/window.h"

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

void boardCard(Engine& /*engine*/, char /*kind*/, int /*index*/) {}

bool gearButton(bool /*active*/, ImVec2& centreOut) {
  centreOut = ImGui::GetCursorScreenPos();
  return false;
}

bool overlayButton(const char* /*id*/, ImVec2 /*centre*/, const ImVec4& /*colour*/,
                   bool /*enabled*/, int /*glyph*/) {
  return false;
}

void drawBoard(Engine& /*engine*/) {}

} // namespace velto
