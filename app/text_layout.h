// The layout of a styled text at one width: every character placed on a line (paragraphs broken
// at blanks, indents and the tab stop applied, boxes and table cells inset by their margins,
// borders and padding) and the rectangles of box backgrounds and borders. Coordinates run from
// the text container's top-left corner. Owned by the text view, which rebuilds it when the
// text, the fonts or the width change. Threading: main thread, with an ImGui context current
// (the fonts' metrics).
#pragma once

#include <string_view>
#include <vector>

#include <imgui.h>

#include "app/markdown.h"
#include "app/window_fonts.h"

namespace velto {

struct LayoutCell {
  size_t offset = 0; // of the character in the plain text
  unsigned codepoint = 0;
  unsigned char bytes = 1;
  int run = 0;
  int line = 0;
  float x = 0;
  float natural = 0; // advance before the tab stop is applied
  float advance = 0;
};

struct LayoutLine {
  float top = 0, height = 0, baseline = 0;
  size_t firstCell = 0, cellCount = 0;
};

struct LayoutRect {
  ImVec2 min, max;
  ImVec4 colour;
};

// One UTF-8 character at s[i]: its code point and length; a broken sequence counts as one
// byte of U+FFFD.
unsigned decodeUtf8(std::string_view s, size_t i, unsigned char& bytes);
// The line feed that closes a paragraph, or the line separator inside a code block.
bool isLineBreak(unsigned codepoint);

// The loaded font of the role's face and weight nearest in size (semibold and bold share a
// face); the current font when there are none.
ImFont* fontForRole(const std::vector<RoleFont>& fonts, const TextFont& role);

class TextLayout {
public:
  void build(const StyledText& text, const std::vector<RoleFont>& fonts, float width);
  void clear();

  float width() const { return width_; } // negative: not built
  float height() const { return height_; }
  const std::vector<LayoutCell>& cells() const { return cells_; }
  const std::vector<LayoutLine>& lines() const { return lines_; }
  const std::vector<LayoutRect>& rects() const { return rects_; }

  // The text position nearest to a point: before the character whose left half holds it.
  size_t hit(ImVec2 point) const;
  // The line of the first character at or after `offset`; null when there is none.
  const LayoutLine* lineAt(size_t offset) const;

private:
  float placeParagraph(size_t block, float left, float width, float top);
  float placeTable(const TextTable& table, float left, float width, float top);
  void finishLine(size_t firstCell, size_t endCell, float& y, float lineHeight);
  void naturalWidth(size_t block, float& whole, float& word) const;
  float advanceOf(const TextRun& run, unsigned codepoint) const;

  // Only while building.
  const StyledText* text_ = nullptr;
  const std::vector<RoleFont>* fonts_ = nullptr;

  std::vector<LayoutCell> cells_;
  std::vector<LayoutLine> lines_;
  std::vector<LayoutRect> rects_;
  float width_ = -1;
  float height_ = 0;
};

} // namespace velto
