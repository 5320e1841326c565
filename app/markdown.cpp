#include "app/markdown.h"

#include <algorithm>

namespace velto {
namespace {

constexpr std::string_view kFence = "```";

TextFont systemFont(float size, Weight weight = Weight::Regular) {
  return {Face::System, weight, size};
}
TextFont monoFont(float size) {
  return {Face::Mono, Weight::Regular, size};
}

bool sameAttributes(const TextRun& a, const TextRun& b) {
  auto same = [](const ImVec4& x, const ImVec4& y) {
    return x.x == y.x && x.y == y.y && x.z == y.z && x.w == y.w;
  };
  return a.font == b.font && a.coloured == b.coloured && same(a.colour, b.colour) &&
         a.hasBackground == b.hasBackground &&
         (!a.hasBackground || same(a.background, b.background));
}

// Appends text with the run's attributes, joining the previous run when they are the same.
void appendRun(StyledText& out, std::string_view text, TextRun run) {
  if (text.empty()) return;
  run.begin = out.plain.size();
  out.plain.append(text);
  run.end = out.plain.size();
  if (!out.runs.empty() && out.runs.back().end == run.begin &&
      sameAttributes(out.runs.back(), run)) {
    out.runs.back().end = run.end;
    return;
  }
  out.runs.push_back(run);
}

TextRun baseRun(const TextFont& font, const ImVec4& colour) {
  TextRun run;
  run.font = font;
  run.colour = colour;
  return run;
}

// The length of the newline character at text[i], 0 when there is none. Newlines are U+000A to
// U+000D, U+0085, U+2028 and U+2029.
size_t newlineAt(std::string_view text, size_t i) {
  const unsigned char c = static_cast<unsigned char>(text[i]);
  if (c >= 0x0A && c <= 0x0D) return 1;
  if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) return 2;
  if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80) {
    const unsigned char d = static_cast<unsigned char>(text[i + 2]);
    if (d == 0xA8 || d == 0xA9) return 3;
  }
  return 0;
}

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// Length of the horizontal blank at s[i] (space, tab, no-break and the other Unicode spaces
// of a line), 0 when there is none.
size_t blankAt(std::string_view s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  if (c == ' ' || c == '\t') return 1;
  auto byte = [&](size_t k) {
    return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u;
  };
  if (c == 0xC2 && byte(1) == 0xA0) return 2;                    // U+00A0
  if (c == 0xE1 && byte(1) == 0x9A && byte(2) == 0x80) return 3; // U+1680
  if (c == 0xE2 && byte(1) == 0x80 && byte(2) >= 0x80 && (byte(2) <= 0x8A || byte(2) == 0xAF))
    return 3; // U+2000..200A, U+202F

  if (c == 0xE2 && byte(1) == 0x81 && byte(2) == 0x9F) return 3; // U+205F
  if (c == 0xE3 && byte(1) == 0x80 && byte(2) == 0x80) return 3; // U+3000
  return 0;
}

std::string_view trimBlanks(std::string_view s) {
  for (size_t n; !s.empty() && (n = blankAt(s, 0)) > 0;) s.remove_prefix(n);
  // A blank is at most three bytes: look back for the one that ends the text.
  for (bool trimmed = true; trimmed && !s.empty();) {
    trimmed = false;
    for (size_t n = 1; n <= 3 && n <= s.size(); ++n) {
      if (blankAt(s, s.size() - n) == n) {
        s.remove_suffix(n);
        trimmed = true;
        break;
      }
    }
  }
  return s;
}

// Appends one block made through inlineText and closes it with its line feed: the attributes
// of the block's last character without background (the base attributes when it has none).
void appendBlock(StyledText& out, std::string_view text, const TextFont& font, const ImVec4& colour,
                 const ParagraphStyle& style) {
  const StyledText part = inlineText(text, font, colour, style);
  TextBlock block;
  block.begin = out.plain.size();
  block.style = style;
  for (const TextRun& run : part.runs) {
    appendRun(out, std::string_view(part.plain).substr(run.begin, run.end - run.begin), run);
  }
  TextRun closing = part.runs.empty() ? baseRun(font, colour) : part.runs.back();
  closing.hasBackground = false;
  closing.background = ImVec4(0, 0, 0, 0);
  appendRun(out, "\n", closing);
  block.end = out.plain.size();
  out.blocks.push_back(block);
}

TextBox headingRuleBox() {
  TextBox box;
  box.kind = BoxKind::HeadingRule;
  box.border.bottom = 1;
  box.borderColour = kMdRule;
  box.padding.bottom = 6;
  box.margin.top = 26;
  box.margin.bottom = 10;
  return box;
}

TextBox codeBox() {
  TextBox box;
  box.kind = BoxKind::Code;
  box.filled = true;
  box.background = kMdCodeBg;
  box.padding = {14, 14, 14, 14};
  box.border = {1, 1, 1, 1};
  box.borderColour = kMdRule;
  return box;
}

// Lines from `first` up to the closing fence; returns the index past the closing fence.
size_t appendCodeBlock(StyledText& out, const std::vector<std::string_view>& lines, size_t first) {
  std::string joined;
  size_t i = first;
  for (; i < lines.size() && !startsWith(lines[i], kFence); ++i) {
    if (i > first) joined.append(kLineSeparator);
    joined.append(lines[i]);
  }
  joined.push_back('\n');
  TextBlock block;
  block.begin = out.plain.size();
  block.style.lineHeight = 1.15f;
  block.style.box = codeBox();
  appendRun(out, joined, baseRun(monoFont(12.5f), kMdCodeText));
  block.end = out.plain.size();
  out.blocks.push_back(block);

  TextBlock spacer;
  spacer.begin = out.plain.size();
  spacer.style = para(0, 0);
  TextRun gap = baseRun(systemFont(8), ImVec4(0, 0, 0, 1));
  gap.coloured = false;
  appendRun(out, "\n", gap);
  spacer.end = out.plain.size();
  out.blocks.push_back(spacer);
  return i < lines.size() ? i + 1 : i;
}

// The cells of one table line: the pieces between its "|", without the first and the last.
std::vector<std::string_view> tableCells(std::string_view line) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  for (size_t bar; (bar = line.find('|', start)) != std::string_view::npos; start = bar + 1) {
    pieces.push_back(line.substr(start, bar - start));
  }
  pieces.push_back(line.substr(start));
  std::vector<std::string_view> cells;
  for (size_t k = 1; k + 1 < pieces.size(); ++k) cells.push_back(trimBlanks(pieces[k]));
  return cells;
}

// The run of lines from `first` that begin with "|"; returns the index past it.
size_t appendTable(StyledText& out, const std::vector<std::string_view>& lines, size_t first) {
  size_t end = first;
  std::vector<std::vector<std::string_view>> rows;
  for (; end < lines.size() && startsWith(lines[end], "|"); ++end) {
    if (lines[end].find("---") != std::string_view::npos) continue;
    rows.push_back(tableCells(lines[end]));
  }
  if (rows.empty() || rows.front().empty()) return end;
  TextTable table;
  table.columns = int(rows.front().size());
  table.margin.top = 4;
  table.margin.bottom = 14;
  table.firstBlock = out.blocks.size();
  const int index = int(out.tables.size());
  for (size_t r = 0; r < rows.size(); ++r) {
    const bool header = r == 0;
    for (int c = 0; c < table.columns; ++c) {
      ParagraphStyle style;
      TextBox& box = style.box;
      box.kind = BoxKind::TableCell;
      box.padding = {7, 7, 7, 10};
      box.border.bottom = 1;
      box.borderColour = kMdRule;
      box.filled = header;
      box.background = header ? kMdCodeBg : ImVec4(0, 0, 0, 0);
      box.table = index;
      box.row = int(r);
      box.column = c;
      const std::string_view cell = size_t(c) < rows[r].size() ? rows[r][size_t(c)] : "";
      appendBlock(out, cell.empty() ? " " : cell,
                  systemFont(13.5f, header ? Weight::Semibold : Weight::Regular),
                  header ? kMdBright : kMdBody, style);
    }
  }
  table.blockCount = out.blocks.size() - table.firstBlock;
  out.tables.push_back(table);
  return end;
}

struct LineRule {
  std::string_view prefix;
  TextFont font;
  const ImVec4* colour;
  ParagraphStyle style;
};

ParagraphStyle headingTwo() {
  ParagraphStyle style = para(0, 0);
  style.box = headingRuleBox();
  return style;
}

ParagraphStyle bullet() {
  ParagraphStyle style = para(1, 3);
  style.headIndent = 16;
  style.firstLineHeadIndent = 2;
  style.tabStop = 16;
  return style;
}

void appendLine(StyledText& out, std::string_view line) {
  static const LineRule kRules[] = {
      {"# ", systemFont(26, Weight::Bold), &kMdBright, para(0, 6)},
      {"## ", systemFont(18, Weight::Semibold), &kMdBright, headingTwo()},
      {"#### ", systemFont(13.5f, Weight::Semibold), &kMdAccent, para(12, 4)},
      {"### ", systemFont(14.5f, Weight::Semibold), &kMdBright, para(14, 6)},
  };
  for (const LineRule& rule : kRules) {
    if (startsWith(line, rule.prefix)) {
      appendBlock(out, line.substr(rule.prefix.size()), rule.font, *rule.colour, rule.style);
      return;
    }
  }
  if (startsWith(line, "- ")) {
    std::string text = "\xE2\x80\xA2\t"; // "•" and a tab
    text.append(line.substr(2));
    appendBlock(out, text, systemFont(13.5f), kMdBody, bullet());
    return;
  }
  appendBlock(out, line, systemFont(13.5f), kMdBody, para(2, 6));
}

} // namespace

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size();) {
    const size_t n = newlineAt(text, i);
    if (n == 0) {
      ++i;
      continue;
    }
    lines.push_back(text.substr(start, i - start));
    i += n;
    start = i;
  }
  lines.push_back(text.substr(start));
  return lines;
}

ParagraphStyle para(float before, float after) {
  ParagraphStyle style;
  style.before = before;
  style.after = after;
  style.lineHeight = 1.2f;
  return style;
}

StyledText inlineText(std::string_view text, const TextFont& font, const ImVec4& colour,
                      const ParagraphStyle& style) {
  StyledText out;
  const TextRun plain = baseRun(font, colour);
  TextRun bold = baseRun(systemFont(font.size, Weight::Semibold), kMdBright);
  TextRun code = baseRun(monoFont(font.size - 1), kMdCodeText);
  code.hasBackground = true;
  code.background = kMdCodeBg;
  size_t i = 0;
  while (i < text.size()) {
    if (startsWith(text.substr(i), "**")) {
      const size_t close = text.find("**", i + 2);
      if (close != std::string_view::npos) {
        appendRun(out, text.substr(i + 2, close - i - 2), bold);
        i = close + 2;
        continue;
      }
    } else if (text[i] == '`') {
      const size_t close = text.find('`', i + 1);
      if (close != std::string_view::npos) {
        appendRun(out, text.substr(i + 1, close - i - 1), code);
        i = close + 1;
        continue;
      }
    }
    const size_t next = std::min(text.find_first_of("*`", i + 1), text.size());
    appendRun(out, text.substr(i, next - i), plain);
    i = next;
  }
  TextBlock block;
  block.end = out.plain.size();
  block.style = style;
  out.blocks.push_back(block);
  return out;
}

StyledText VeltoRenderMarkdown(std::string_view markdown) {
  StyledText out;
  const std::vector<std::string_view> lines = splitLines(markdown);
  for (size_t i = 0; i < lines.size();) {
    const std::string_view line = lines[i];
    if (startsWith(line, kFence)) {
      i = appendCodeBlock(out, lines, i + 1);
    } else if (startsWith(line, "|")) {
      i = appendTable(out, lines, i);
    } else {
      ++i;
      if (!line.empty()) appendLine(out, line);
    }
  }
  return out;
}

} // namespace velto
