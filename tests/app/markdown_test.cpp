// The Markdown renderer's styled text: which blocks a source makes (text, font, colour,
// paragraph style, box), the runs of bold pairs and code spans, and the cells of pipe tables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/markdown.h"

namespace {

using velto::BoxKind;
using velto::Face;
using velto::StyledText;
using velto::TextFont;
using velto::TextRun;
using velto::Weight;

const std::string kLs = "\xE2\x80\xA8";

bool sameColour(const ImVec4& a, const ImVec4& b) {
  return a.x == b.x && a.y == b.y && a.z == b.z && a.w == b.w;
}

const TextRun& runAt(const StyledText& t, size_t offset) {
  for (const TextRun& r : t.runs) {
    if (offset >= r.begin && offset < r.end) return r;
  }
  static const TextRun none;
  ADD_FAILURE() << "no run at " << offset;
  return none;
}

// Blocks and runs tile the plain text without gaps, in order.
void expectTiled(const StyledText& t, const std::string& label) {
  size_t at = 0;
  for (const auto& b : t.blocks) {
    EXPECT_EQ(b.begin, at) << label;
    EXPECT_GT(b.end, b.begin) << label;
    EXPECT_EQ(t.plain[b.end - 1], '\n') << label << ": every block ends with its line feed";
    at = b.end;
  }
  EXPECT_EQ(at, t.plain.size()) << label;
  at = 0;
  for (const auto& r : t.runs) {
    EXPECT_EQ(r.begin, at) << label;
    at = r.end;
  }
  EXPECT_EQ(at, t.plain.size()) << label;
}

struct BlockWant {
  std::string text;
  TextFont font; // of the block's first character
  ImVec4 colour;
  float before, after, lineHeight;
  BoxKind box = BoxKind::None;
};

const TextFont kBody{Face::System, Weight::Regular, 13.5f};
const TextFont kMono{Face::Mono, Weight::Regular, 12.5f};
const TextFont kH1{Face::System, Weight::Bold, 26};
const TextFont kH2{Face::System, Weight::Semibold, 18};
const TextFont kH3{Face::System, Weight::Semibold, 14.5f};
const TextFont kH4{Face::System, Weight::Semibold, 13.5f};
const TextFont kSpacer{Face::System, Weight::Regular, 8};

TEST(Markdown, EachLineBecomesTheBlockOfItsFirstCharacters) {
  const ImVec4 none{0, 0, 0, 1};
  struct Case {
    const char* name;
    std::string source;
    std::vector<BlockWant> blocks;
  };
  const Case cases[] = {
      {"paragraphs; empty lines add nothing",
       "Erste Zeile\n\n\nZweite Zeile\n",
       {{"Erste Zeile\n", kBody, velto::kMdBody, 2, 6, 1.2f},
        {"Zweite Zeile\n", kBody, velto::kMdBody, 2, 6, 1.2f}}},
      {"bullet, and a hyphen after blanks",
       "- Punkt\n  - eingerückt",
       {{"\xE2\x80\xA2\tPunkt\n", kBody, velto::kMdBody, 1, 3, 1.2f},
        {"  - eingerückt\n", kBody, velto::kMdBody, 2, 6, 1.2f}}},
      {"four heading levels",
       "# Titel\n## Abschnitt\n### Teil\n#### Detail",
       {{"Titel\n", kH1, velto::kMdBright, 0, 6, 1.2f},
        {"Abschnitt\n", kH2, velto::kMdBright, 0, 0, 1.2f, BoxKind::HeadingRule},
        {"Teil\n", kH3, velto::kMdBright, 14, 6, 1.2f},
        {"Detail\n", kH4, velto::kMdAccent, 12, 4, 1.2f}}},
      {"five hash signs, or one without a blank, are paragraphs",
       "##### Fünf\n#Titel",
       {{"##### Fünf\n", kBody, velto::kMdBody, 2, 6, 1.2f},
        {"#Titel\n", kBody, velto::kMdBody, 2, 6, 1.2f}}},
      {"code block with language, empty line and leading blanks kept",
       "```sh\na **b**\n\n  `c`\n```\nnach",
       {{"a **b**" + kLs + kLs + "  `c`\n", kMono, velto::kMdCodeText, 0, 0, 1.15f, BoxKind::Code},
        {"\n", kSpacer, none, 0, 0, 1.2f},
        {"nach\n", kBody, velto::kMdBody, 2, 6, 1.2f}}},
      {"an unclosed fence takes the rest",
       "vor\n```\nx\n# y",
       {{"vor\n", kBody, velto::kMdBody, 2, 6, 1.2f},
        {"x" + kLs + "# y\n", kMono, velto::kMdCodeText, 0, 0, 1.15f, BoxKind::Code},
        {"\n", kSpacer, none, 0, 0, 1.2f}}},
      {"an empty fence pair is one empty line in a box",
       "```\n```",
       {{"\n", kMono, velto::kMdCodeText, 0, 0, 1.15f, BoxKind::Code},
        {"\n", kSpacer, none, 0, 0, 1.2f}}},
      {"carriage return and line feed, and the Unicode separators, cut lines",
       "a\r\nb\xE2\x80\xA8"
       "c\xC2\x85"
       "d",
       {{"a\n", kBody, velto::kMdBody, 2, 6, 1.2f},
        {"b\n", kBody, velto::kMdBody, 2, 6, 1.2f},
        {"c\n", kBody, velto::kMdBody, 2, 6, 1.2f},
        {"d\n", kBody, velto::kMdBody, 2, 6, 1.2f}}},
      {"a heading marker alone, and a line of blanks",
       "# \n   ",
       {{"\n", kH1, velto::kMdBright, 0, 6, 1.2f}, {"   \n", kBody, velto::kMdBody, 2, 6, 1.2f}}},
      {"nothing at all", "", {}},
  };
  for (const Case& c : cases) {
    const StyledText t = velto::VeltoRenderMarkdown(c.source);
    expectTiled(t, c.name);
    ASSERT_EQ(t.blocks.size(), c.blocks.size()) << c.name << "\n" << t.plain;
    for (size_t i = 0; i < c.blocks.size(); ++i) {
      const auto& b = t.blocks[i];
      const BlockWant& want = c.blocks[i];
      const std::string label = std::string(c.name) + ", block " + std::to_string(i);
      EXPECT_EQ(t.plain.substr(b.begin, b.end - b.begin), want.text) << label;
      const TextRun& first = runAt(t, b.begin);
      EXPECT_TRUE(first.font == want.font) << label << ": size " << first.font.size;
      EXPECT_TRUE(sameColour(first.colour, want.colour)) << label;
      EXPECT_EQ(b.style.before, want.before) << label;
      EXPECT_EQ(b.style.after, want.after) << label;
      EXPECT_FLOAT_EQ(b.style.lineHeight, want.lineHeight) << label;
      EXPECT_EQ(b.style.box.kind, want.box) << label;
    }
  }
}

TEST(Markdown, BulletsIndentAndBoxesCarryTheirEdges) {
  const StyledText t = velto::VeltoRenderMarkdown("- a\n## H\n```\nx\n```");
  ASSERT_EQ(t.blocks.size(), 4u);
  const auto& bullet = t.blocks[0].style;
  EXPECT_EQ(bullet.headIndent, 16);
  EXPECT_EQ(bullet.firstLineHeadIndent, 2);
  EXPECT_EQ(bullet.tabStop, 16);
  const auto& rule = t.blocks[1].style.box;
  EXPECT_EQ(rule.margin.top, 26);
  EXPECT_EQ(rule.margin.bottom, 10);
  EXPECT_EQ(rule.padding.bottom, 6);
  EXPECT_EQ(rule.border.bottom, 1);
  EXPECT_EQ(rule.border.top + rule.border.left + rule.border.right, 0);
  EXPECT_FALSE(rule.filled);
  EXPECT_TRUE(sameColour(rule.borderColour, velto::kMdRule));
  const auto& code = t.blocks[2].style.box;
  for (float edge : {code.padding.top, code.padding.right, code.padding.bottom, code.padding.left})
    EXPECT_EQ(edge, 14);
  for (float edge : {code.border.top, code.border.right, code.border.bottom, code.border.left})
    EXPECT_EQ(edge, 1);
  EXPECT_TRUE(code.filled);
  EXPECT_TRUE(sameColour(code.background, velto::kMdCodeBg));
  EXPECT_EQ(t.blocks[3].style.box.kind, BoxKind::None);
  EXPECT_FALSE(runAt(t, t.blocks[3].begin).coloured) << "the spacer has no colour";
}

TEST(Markdown, BoldPairsAndCodeSpansMakeRunsAndTheLineEndDropsTheBackground) {
  struct RunWant {
    std::string text;
    TextFont font;
    ImVec4 colour;
    bool background;
  };
  const TextFont bold13{Face::System, Weight::Semibold, 13.5f};
  const TextFont code13{Face::Mono, Weight::Regular, 12.5f};
  struct Case {
    const char* source;
    std::vector<RunWant> runs;
  };
  const Case cases[] = {
      {"**fett** normal `code`",
       {{"fett", bold13, velto::kMdBright, false},
        {" normal ", kBody, velto::kMdBody, false},
        {"code", code13, velto::kMdCodeText, true},
        {"\n", code13, velto::kMdCodeText, false}}},
      {"a * b **c `d", {{"a * b **c `d\n", kBody, velto::kMdBody, false}}},
      {"`**x**` **`y`**",
       {{"**x**", code13, velto::kMdCodeText, true},
        {" ", kBody, velto::kMdBody, false},
        // the line feed joins the run it copies
        {"`y`\n", bold13, velto::kMdBright, false}}},
      // Bold in a first-level heading is semibold; in a fourth-level one it is Bright.
      {"# A **b**",
       {{"A ", kH1, velto::kMdBright, false},
        {"b\n", {Face::System, Weight::Semibold, 26}, velto::kMdBright, false}}},
      {"#### **b** `c`",
       {{"b", bold13, velto::kMdBright, false},
        {" ", kH4, velto::kMdAccent, false},
        {"c", code13, velto::kMdCodeText, true},
        {"\n", code13, velto::kMdCodeText, false}}},
      {"****", {{"\n", kBody, velto::kMdBody, false}}},
  };
  for (const Case& c : cases) {
    const StyledText t = velto::VeltoRenderMarkdown(c.source);
    expectTiled(t, c.source);
    ASSERT_EQ(t.runs.size(), c.runs.size()) << c.source;
    for (size_t i = 0; i < c.runs.size(); ++i) {
      const TextRun& r = t.runs[i];
      const RunWant& want = c.runs[i];
      const std::string label = std::string(c.source) + ", run " + std::to_string(i);
      EXPECT_EQ(t.plain.substr(r.begin, r.end - r.begin), want.text) << label;
      EXPECT_TRUE(r.font == want.font) << label << ": size " << r.font.size;
      EXPECT_TRUE(sameColour(r.colour, want.colour)) << label;
      EXPECT_EQ(r.hasBackground, want.background) << label;
      if (want.background) {
        EXPECT_TRUE(sameColour(r.background, velto::kMdCodeBg)) << label;
      }
    }
  }
}

TEST(Markdown, PipeTablesBecomeCellsRowByRow) {
  struct Case {
    const char* name;
    const char* source;
    int columns; // 0: no table
    std::vector<std::string> cells;
    std::string after; // plain text after the table
  };
  const Case cases[] = {
      {"header, separator, short body row",
       "| A | B |\n|---|---|\n| x |",
       2,
       {"A", "B", "x", " "},
       ""},
      {"a cell with three hyphens drops its row", "| A |\n| a---b |\n| c |", 1, {"A", "c"}, ""},
      {"no closing bar loses the last cell; longer rows are cut",
       "| A | B\n| 1 | 2 | 3 |",
       1,
       {"A", "1"},
       ""},
      {"blanks and tabs trimmed; an empty line ends the table",
       "|\tA \xC2\xA0| |\n\nnach",
       2,
       {"A", " "},
       "nach\n"},
      {"a row without cells emits nothing", "|\nnach", 0, {}, "nach\n"},
  };
  for (const Case& c : cases) {
    const StyledText t = velto::VeltoRenderMarkdown(c.source);
    expectTiled(t, c.name);
    if (c.columns == 0) {
      EXPECT_TRUE(t.tables.empty()) << c.name;
      EXPECT_EQ(t.plain, c.after) << c.name;
      continue;
    }
    ASSERT_EQ(t.tables.size(), 1u) << c.name;
    const auto& table = t.tables[0];
    EXPECT_EQ(table.columns, c.columns) << c.name;
    EXPECT_EQ(table.margin.top, 4) << c.name;
    EXPECT_EQ(table.margin.bottom, 14) << c.name;
    ASSERT_EQ(table.blockCount, c.cells.size()) << c.name;
    for (size_t k = 0; k < c.cells.size(); ++k) {
      const auto& b = t.blocks[table.firstBlock + k];
      const std::string label = std::string(c.name) + ", cell " + std::to_string(k);
      const bool header = k < size_t(c.columns);
      EXPECT_EQ(t.plain.substr(b.begin, b.end - b.begin), c.cells[k] + "\n") << label;
      EXPECT_EQ(b.style.box.kind, BoxKind::TableCell) << label;
      EXPECT_EQ(b.style.box.row, int(k) / c.columns) << label;
      EXPECT_EQ(b.style.box.column, int(k) % c.columns) << label;
      EXPECT_EQ(b.style.box.filled, header) << label;
      EXPECT_EQ(b.style.box.padding.left, 10) << label;
      EXPECT_EQ(b.style.box.padding.top, 7) << label;
      EXPECT_EQ(b.style.box.border.bottom, 1) << label;
      const TextRun& r = runAt(t, b.begin);
      EXPECT_EQ(r.font.weight, header ? Weight::Semibold : Weight::Regular) << label;
      EXPECT_TRUE(sameColour(r.colour, header ? velto::kMdBright : velto::kMdBody)) << label;
    }
    const auto& last = t.blocks[table.firstBlock + table.blockCount - 1];
    EXPECT_EQ(t.plain.substr(last.end), c.after) << c.name;
  }
}

} // namespace
