// The Board tab: one centred row of cards whose selection and order live in the settings' board
// text ("i1,v1,v4,o1,o2,m1"), with an edit mode to remove, move, drag and add cards.
// Threading: main thread only.
#pragma once

#include <imgui.h>

#include <string>
#include <vector>

namespace velto {

class Engine;

struct BoardItem {
  char kind = 0; // i, o, v, m, p, y
  int index = 0; // 0-based
  bool operator==(const BoardItem& o) const { return kind == o.kind && index == o.index; }
};

// Parse and format of the board text; tokens of fewer than two characters are skipped.
std::vector<BoardItem> boardItems(const std::string& text);
std::string boardString(const std::vector<BoardItem>& items);
// Whether an item names a card the board can draw.
bool boardShown(const BoardItem& item);
// Splits the text into the drawable items and those kept aside (stay in the text, not drawn).
void boardSplit(const std::string& text, std::vector<BoardItem>& shown,
                std::vector<BoardItem>& aside);
// The text after removing / moving shown item k; the kept-aside items follow the shown ones.
// An index outside the shown list leaves the text unchanged.
std::string boardRemoved(const std::string& text, int k);
std::string boardMoved(const std::string& text, int from, int to);

// Body of the Board tab.
void drawBoard(Engine& engine);
// The card of one item; unknown kinds and indexes draw nothing.
void boardCard(Engine& engine, char kind, int index);
// The edit gear at the cursor (30 x 30); centreOut receives its centre. True on click.
bool gearButton(bool active, ImVec2& centreOut);
// Round 22 x 22 overlay button; glyph 0 remove, -1 left, 1 right. True on click.
bool overlayButton(const char* id, ImVec2 centre, const ImVec4& colour, bool enabled, int glyph);

} // namespace velto
