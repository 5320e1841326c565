#include "app/text_layout.h"

#include <algorithm>
#include <cmath>

namespace velto {
namespace {

constexpr float kTabInterval = 28.0f; // tab positions past the paragraph's own stop
constexpr float kBreakWidth = 4.0f;   // what a selected line end shows of itself

void metricsOf(const std::vector<RoleFont>& fonts, const TextRun& run, float& ascent,
               float& descent) {
  const ImFont* font = fontForRole(fonts, run.font);
  const float scale = run.font.size / font->FontSize;
  ascent = font->Ascent * scale;
  descent = -font->Descent * scale;
}

} // namespace

unsigned decodeUtf8(std::string_view s, size_t i, unsigned char& bytes) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  int n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
  if (n == 0 || i + size_t(n) > s.size()) {
    bytes = 1;
    return n == 1 ? c : 0xFFFD;
  }
  unsigned cp = n == 1 ? c : c & (0x7F >> n);
  for (int k = 1; k < n; ++k) {
    const unsigned char d = static_cast<unsigned char>(s[i + size_t(k)]);
    if ((d & 0xC0) != 0x80) {
      bytes = 1;
      return 0xFFFD;
    }
    cp = cp << 6 | (d & 0x3F);
  }
  bytes = static_cast<unsigned char>(n);
  return cp;
}

bool isLineBreak(unsigned codepoint) {
  return codepoint == '\n' || codepoint == 0x2028;
}

ImFont* fontForRole(const std::vector<RoleFont>& fonts, const TextFont& role) {
  const RoleFont* best = nullptr;
  auto score = [&](const RoleFont& f) {
    const bool heavy = f.role.weight != Weight::Regular, wantHeavy = role.weight != Weight::Regular;
    float s = std::fabs(f.role.size - role.size);
    if (f.role.face != role.face) s += 1000;
    if (heavy != wantHeavy) s += 100;
    if (f.role.weight != role.weight) s += 10;
    return s;
  };
  for (const RoleFont& f : fonts) {
    if (f.font != nullptr && (best == nullptr || score(f) < score(*best))) best = &f;
  }
  return best != nullptr ? best->font : ImGui::GetFont();
}

float TextLayout::advanceOf(const TextRun& run, unsigned codepoint) const {
  const ImFont* font = fontForRole(*fonts_, run.font);
  const ImWchar c = codepoint <= 0xFFFF ? ImWchar(codepoint) : ImWchar(0xFFFD);
  return font->GetCharAdvance(c) * run.font.size / font->FontSize;
}

void TextLayout::clear() {
  cells_.clear();
  lines_.clear();
  rects_.clear();
  width_ = -1;
  height_ = 0;
}

void TextLayout::build(const StyledText& text, const std::vector<RoleFont>& fonts, float width) {
  clear();
  width_ = width;
  if (text.runs.empty()) return; // nothing to draw, and no attributes to draw it with
  text_ = &text;
  fonts_ = &fonts;
  float y = 0;
  size_t table = 0;
  for (size_t b = 0; b < text_->blocks.size();) {
    if (table < text_->tables.size() && text_->tables[table].firstBlock == b) {
      y = placeTable(text_->tables[table], 0, width, y);
      b += std::max<size_t>(text_->tables[table].blockCount, 1);
      ++table;
      continue;
    }
    const TextBox& box = text_->blocks[b].style.box;
    const float top = y + box.margin.top;
    const float left = box.margin.left, right = width - box.margin.right;
    const float inLeft = left + box.border.left + box.padding.left;
    const float inRight = right - box.border.right - box.padding.right;
    const float bottom =
        placeParagraph(b, inLeft, inRight - inLeft, top + box.border.top + box.padding.top) +
        box.padding.bottom;
    const float boxBottom = bottom + box.border.bottom;
    if (box.kind != BoxKind::None) {
      if (box.filled) rects_.push_back({{left, top}, {right, boxBottom}, box.background});
      const ImVec4 c = box.borderColour;
      if (box.border.top > 0) rects_.push_back({{left, top}, {right, top + box.border.top}, c});
      if (box.border.bottom > 0) rects_.push_back({{left, bottom}, {right, boxBottom}, c});
      if (box.border.left > 0)
        rects_.push_back({{left, top}, {left + box.border.left, boxBottom}, c});
      if (box.border.right > 0)
        rects_.push_back({{right - box.border.right, top}, {right, boxBottom}, c});
    }
    y = boxBottom + box.margin.bottom;
    ++b;
  }
  height_ = y;
  text_ = nullptr;
  fonts_ = nullptr;
}

void TextLayout::naturalWidth(size_t block, float& whole, float& word) const {
  const TextBlock& b = text_->blocks[block];
  whole = word = 0;
  float current = 0;
  size_t run = 0;
  for (size_t i = b.begin; i < b.end;) {
    while (run + 1 < text_->runs.size() && text_->runs[run].end <= i) ++run;
    unsigned char bytes = 1;
    const unsigned cp = decodeUtf8(text_->plain, i, bytes);
    if (isLineBreak(cp) || cp == ' ') {
      current = 0;
    } else {
      current += advanceOf(text_->runs[run], cp);
      word = std::max(word, current);
    }
    if (!isLineBreak(cp)) whole += advanceOf(text_->runs[run], cp);
    i += bytes;
  }
}

float TextLayout::placeTable(const TextTable& table, float left, float width, float top) {
  const size_t columns = size_t(std::max(table.columns, 1));
  if (table.blockCount == 0) return top;
  const TextBox& first = text_->blocks[table.firstBlock].style.box;
  const float padX = first.padding.left + first.padding.right;
  // Automatic layout over the whole width: columns as wide as their widest cell when that
  // fits (the rest shared in proportion), else no narrower than their longest word.
  std::vector<float> widest(columns, padX + 1), narrowest(columns, padX + 1);
  for (size_t k = 0; k < table.blockCount; ++k) {
    float whole = 0, word = 0;
    naturalWidth(table.firstBlock + k, whole, word);
    widest[k % columns] = std::max(widest[k % columns], whole + padX + 1);
    narrowest[k % columns] = std::max(narrowest[k % columns], word + padX + 1);
  }
  float sumWidest = 0, sumNarrowest = 0;
  for (size_t c = 0; c < columns; ++c) {
    sumWidest += widest[c];
    sumNarrowest += narrowest[c];
  }
  const float avail = width - table.margin.left - table.margin.right;
  std::vector<float> widths(columns);
  for (size_t c = 0; c < columns; ++c) {
    if (sumWidest <= avail) {
      widths[c] = widest[c] * avail / sumWidest;
    } else if (sumNarrowest < avail) {
      const float share = (avail - sumNarrowest) / (sumWidest - sumNarrowest);
      widths[c] = narrowest[c] + (widest[c] - narrowest[c]) * share;
    } else {
      widths[c] = narrowest[c] * avail / sumNarrowest;
    }
  }

  float y = top + table.margin.top;
  for (size_t row = 0; row * columns < table.blockCount; ++row) {
    float x = left + table.margin.left, rowBottom = y;
    for (size_t c = 0; c < columns && row * columns + c < table.blockCount; ++c) {
      const size_t b = table.firstBlock + row * columns + c;
      const TextBox& box = text_->blocks[b].style.box;
      const float bottom =
          placeParagraph(b, x + box.padding.left, widths[c] - padX, y + box.padding.top);
      rowBottom = std::max(rowBottom, bottom + box.padding.bottom);
      x += widths[c];
    }
    x = left + table.margin.left;
    float next = rowBottom;
    for (size_t c = 0; c < columns && row * columns + c < table.blockCount; ++c) {
      const TextBox& box = text_->blocks[table.firstBlock + row * columns + c].style.box;
      const ImVec2 min(x, y), max(x + widths[c], rowBottom);
      if (box.filled) rects_.push_back({min, max, box.background});
      if (box.border.bottom > 0) {
        rects_.push_back(
            {{x, rowBottom}, {max.x, rowBottom + box.border.bottom}, box.borderColour});
        next = std::max(next, rowBottom + box.border.bottom);
      }
      x += widths[c];
    }
    y = next;
  }
  return y + table.margin.bottom;
}

float TextLayout::placeParagraph(size_t block, float left, float width, float top) {
  const TextBlock& b = text_->blocks[block];
  const ParagraphStyle& style = b.style;
  float y = top + style.before;
  const size_t first = cells_.size();
  size_t run = 0;
  while (run + 1 < text_->runs.size() && text_->runs[run].end <= b.begin) ++run;
  for (size_t i = b.begin; i < b.end;) {
    while (run + 1 < text_->runs.size() && text_->runs[run].end <= i) ++run;
    LayoutCell c;
    c.offset = i;
    c.codepoint = decodeUtf8(text_->plain, i, c.bytes);
    c.run = int(run);
    c.natural = isLineBreak(c.codepoint) || c.codepoint == '\t'
                    ? 0
                    : advanceOf(text_->runs[run], c.codepoint);
    cells_.push_back(c);
    i += c.bytes;
  }
  auto advance = [&](const LayoutCell& c, float x) {
    if (c.codepoint != '\t') return c.natural;
    const float at = x - left;
    if (style.tabStop >= 0 && at < style.tabStop) return style.tabStop - at;
    return (std::floor(at / kTabInterval) + 1) * kTabInterval - at;
  };
  const float lineHeight = style.lineHeight > 0 ? style.lineHeight : 1.0f;
  size_t lineStart = first, lastBreak = 0;
  float x = left + style.firstLineHeadIndent;
  for (size_t k = first; k < cells_.size(); ++k) {
    if (isLineBreak(cells_[k].codepoint)) {
      cells_[k].x = x;
      cells_[k].advance = kBreakWidth;
      finishLine(lineStart, k + 1, y, lineHeight);
      lineStart = k + 1;
      lastBreak = 0;
      x = left + style.headIndent;
      continue;
    }
    const float adv = advance(cells_[k], x);
    if (x + adv > left + width && k > lineStart && cells_[k].codepoint != ' ') {
      const size_t at = lastBreak > lineStart ? lastBreak : k;
      finishLine(lineStart, at, y, lineHeight);
      lineStart = at;
      lastBreak = 0;
      x = left + style.headIndent;
      for (size_t j = at; j < k; ++j) {
        cells_[j].x = x;
        cells_[j].advance = advance(cells_[j], x);
        x += cells_[j].advance;
      }
      cells_[k].advance = advance(cells_[k], x);
    } else {
      cells_[k].advance = adv;
    }
    cells_[k].x = x;
    x += cells_[k].advance;
    if (cells_[k].codepoint == ' ') lastBreak = k + 1;
  }
  if (lineStart < cells_.size()) finishLine(lineStart, cells_.size(), y, lineHeight);
  return y + style.after;
}

void TextLayout::finishLine(size_t firstCell, size_t endCell, float& y, float lineHeight) {
  float ascent = 0, descent = 0;
  for (size_t k = firstCell; k < endCell; ++k) {
    float a = 0, d = 0;
    metricsOf(*fonts_, text_->runs[size_t(cells_[k].run)], a, d);
    ascent = std::max(ascent, a);
    descent = std::max(descent, d);
    cells_[k].line = int(lines_.size());
  }
  LayoutLine line;
  line.top = y;
  line.height = (ascent + descent) * lineHeight;
  line.baseline = y + line.height - descent;
  line.firstCell = firstCell;
  line.cellCount = endCell - firstCell;
  lines_.push_back(line);
  y += line.height;
}

size_t TextLayout::hit(ImVec2 p) const {
  // The line under the point, or else the nearest one; table cells share their rows, so
  // lines are not in order of height.
  const LayoutLine* best = nullptr;
  float bestScore = 0;
  for (const LayoutLine& line : lines_) {
    if (line.cellCount == 0) continue;
    const LayoutCell& a = cells_[line.firstCell];
    const LayoutCell& z = cells_[line.firstCell + line.cellCount - 1];
    const float dy = p.y < line.top                 ? line.top - p.y
                     : p.y > line.top + line.height ? p.y - line.top - line.height
                                                    : 0;
    const float dx = p.x < a.x ? a.x - p.x : p.x > z.x + z.advance ? p.x - z.x - z.advance : 0;
    const float score = dy * 1000 + dx;
    if (best == nullptr || score < bestScore) {
      best = &line;
      bestScore = score;
    }
  }
  if (best == nullptr) return 0;
  for (size_t k = best->firstCell; k < best->firstCell + best->cellCount; ++k) {
    const LayoutCell& c = cells_[k];
    if (p.x < c.x + c.advance * 0.5f || isLineBreak(c.codepoint)) return c.offset;
  }
  const LayoutCell& last = cells_[best->firstCell + best->cellCount - 1];
  return last.offset + last.bytes;
}

const LayoutLine* TextLayout::lineAt(size_t offset) const {
  for (const LayoutCell& c : cells_) {
    if (c.offset >= offset) return &lines_[size_t(c.line)];
  }
  return nullptr;
}

} // namespace velto
