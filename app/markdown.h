// The Markdown renderer of the document windows: one Markdown source becomes one styled text
// (the plain text, character runs with font and colours, paragraphs with their styles, tables)
// for a read-only text view on a dark window. A small fixed subset: four heading levels,
// bullets, paragraphs, fenced code blocks, pipe tables, bold pairs and code spans; anything
// else shows as written. Stateless. Threading: main thread, like the windows that call it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <imgui.h>

namespace velto {

// Palette of rendered documents.
inline const ImVec4 kMdBody{0.8f, 0.81f, 0.85f, 1.0f};
inline const ImVec4 kMdBright{0.95f, 0.96f, 0.98f, 1.0f};
inline const ImVec4 kMdAccent{0.35f, 0.75f, 0.95f, 1.0f};
inline const ImVec4 kMdRule{0.26f, 0.27f, 0.33f, 1.0f};
inline const ImVec4 kMdCodeText{0.75f, 0.85f, 0.95f, 1.0f};
inline const ImVec4 kMdCodeBg{0.075f, 0.08f, 0.1f, 1.0f};
// The document windows' own colours.
inline const ImVec4 kDocBg{0.11f, 0.12f, 0.15f, 1.0f};
inline const ImVec4 kDocSelection{0.25f, 0.38f, 0.62f, 1.0f};

// The line breaks inside a code block (U+2028), which keep the block one paragraph.
inline constexpr std::string_view kLineSeparator = "\xE2\x80\xA8";

enum class Face : unsigned char { System, Mono };
enum class Weight : unsigned char { Regular, Semibold, Bold };

struct TextFont {
  Face face = Face::System;
  Weight weight = Weight::Regular;
  float size = 13.5f; // points
  bool operator==(const TextFont& o) const {
    return face == o.face && weight == o.weight && size == o.size;
  }
};

struct Edges {
  float top = 0, right = 0, bottom = 0, left = 0;
};

// The box a paragraph is drawn in: a code block's frame, the rule under a second-level heading,
// a table cell. Width is always the whole line.
enum class BoxKind : unsigned char { None, Code, HeadingRule, TableCell };
struct TextBox {
  BoxKind kind = BoxKind::None;
  Edges margin, padding, border;
  ImVec4 borderColour{0, 0, 0, 0};
  bool filled = false;
  ImVec4 background{0, 0, 0, 0};
  int table = -1, row = 0, column = 0; // table cells only: index into StyledText::tables
};

struct ParagraphStyle {
  float before = 0, after = 0; // spacing
  float lineHeight = 0;        // multiple of the natural line height; 0 natural
  float headIndent = 0, firstLineHeadIndent = 0;
  float tabStop = -1; // one left-aligned tab stop; negative none
  TextBox box;
};

// Character attributes of plain[begin, end).
struct TextRun {
  size_t begin = 0, end = 0;
  TextFont font;
  bool coloured = true; // false: the text system's default colour
  ImVec4 colour{0, 0, 0, 1};
  bool hasBackground = false;
  ImVec4 background{0, 0, 0, 0};
};

// One paragraph: plain[begin, end), its closing line feed included.
struct TextBlock {
  size_t begin = 0, end = 0;
  ParagraphStyle style;
};

// A table's cells are `blockCount` consecutive blocks from `firstBlock`, row by row.
struct TextTable {
  int columns = 0;
  Edges margin;
  size_t firstBlock = 0, blockCount = 0;
};

struct StyledText {
  std::string plain; // UTF-8; positions everywhere are byte offsets into it
  std::vector<TextRun> runs;
  std::vector<TextBlock> blocks;
  std::vector<TextTable> tables;
};

// A range of the plain text; a location of npos is "not found".
struct TextRange {
  size_t location = std::string::npos;
  size_t length = 0;
  bool found() const { return location != std::string::npos; }
  size_t end() const { return location + length; }
};

// The whole document; every input yields a text.
StyledText VeltoRenderMarkdown(std::string_view markdown);

// The document's lines, cut at every line break the renderer knows (LF, VT, FF, CR, NEL, LS, PS).
std::vector<std::string_view> splitLines(std::string_view text);

// Spacings before and after, line height 1.2.
ParagraphStyle para(float before, float after);

// One block's text with bold pairs and code spans applied over the base attributes: the runs
// of the result (without the closing line feed, and without a block).
StyledText inlineText(std::string_view text, const TextFont& font, const ImVec4& colour,
                      const ParagraphStyle& style);

} // namespace velto
