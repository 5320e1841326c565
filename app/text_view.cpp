#include "app/text_view.h"

#include <algorithm>
#include <cmath>

namespace velto {
namespace {

constexpr float kTabInterval = 28.0f; // tab positions past the paragraph's own stop
constexpr float kBreakWidth = 4.0f;   // what a selected line end shows of itself
constexpr float kDragScroll = 12.0f;  // per frame while a selection is dragged past an edge
const ImVec4 kFoundBg{0.98f, 0.84f, 0.25f, 1.0f};
const ImVec4 kFoundText{0.08f, 0.08f, 0.1f, 1.0f};

// One UTF-8 character at s[i]: its code point and length (a broken sequence counts as one
// byte of U+FFFD).
unsigned decodeUtf8(const std::string& s, size_t i, unsigned char& bytes) {
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

bool isBreak(unsigned cp) {
  return cp == '\n' || cp == 0x2028;
}

// Letters compared without case: ASCII and the Latin-1 letters (two-byte UTF-8 after C3).
char foldAscii(char c) {
  return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool sameIgnoringCase(const std::string& hay, size_t at, std::string_view needle) {
  for (size_t k = 0; k < needle.size(); ++k) {
    char a = hay[at + k], b = needle[k];
    if (k > 0 && static_cast<unsigned char>(needle[k - 1]) == 0xC3) {
      // U+00C0..U+00DE (not U+00D7) fold onto U+00E0..U+00FE
      auto fold = [](char x) {
        const unsigned char u = static_cast<unsigned char>(x);
        return u >= 0x80 && u <= 0x9E && u != 0x97 ? char(u + 0x20) : x;
      };
      a = fold(a);
      b = fold(b);
    }
    if (foldAscii(a) != foldAscii(b)) return false;
  }
  return true;
}

// The letter keys are numbered contiguously by the back end (GLFW's are the ASCII capitals),
// and ImGui names only A of them.
int letterKey(char letter) {
  return ImGui::GetKeyIndex(ImGuiKey_A) + (letter - 'A');
}

ImVec2 add(ImVec2 a, ImVec2 b) {
  return ImVec2(a.x + b.x, a.y + b.y);
}

} // namespace

void TextView::setText(StyledText text) {
  text_ = std::move(text);
  width_ = -1;
  anchor_ = caret_ = 0;
  dragging_ = false;
  found_ = TextRange{};
  scroll_ = Scroll::ToTop;
  scrollRange_ = TextRange{};
  scrollGap_ = 0;
}

void TextView::setFonts(std::vector<RoleFont> fonts) {
  fonts_ = std::move(fonts);
  width_ = -1;
}

void TextView::select(TextRange range) {
  const size_t size = text_.plain.size();
  anchor_ = std::min(range.found() ? range.location : 0, size);
  caret_ = std::min(anchor_ + range.length, size);
}

TextRange TextView::selection() const {
  return {std::min(anchor_, caret_), std::max(anchor_, caret_) - std::min(anchor_, caret_)};
}

std::string TextView::selectedText() const {
  const TextRange r = selection();
  const std::string_view selected = std::string_view(text_.plain).substr(r.location, r.length);
  std::string out;
  out.reserve(selected.size());
  for (size_t i = 0; i < selected.size();) {
    if (selected.substr(i, kLineSeparator.size()) == kLineSeparator) {
      out.push_back('\n');
      i += kLineSeparator.size();
    } else {
      out.push_back(selected[i++]);
    }
  }
  return out;
}

void TextView::copySelection() const {
  if (selection().length == 0) return;
  ImGui::SetClipboardText(selectedText().c_str());
}

void TextView::scrollRangeToTop(TextRange range, float gap) {
  scroll_ = Scroll::ToTop;
  scrollRange_ = range;
  scrollGap_ = gap;
}

void TextView::scrollRangeVisible(TextRange range) {
  scroll_ = Scroll::Visible;
  scrollRange_ = range;
}

TextRange TextView::find(std::string_view needle, size_t from) const {
  const std::string& hay = text_.plain;
  if (needle.empty() || needle.size() > hay.size() || from > hay.size()) return {};
  for (size_t at = from; at + needle.size() <= hay.size(); ++at) {
    if (sameIgnoringCase(hay, at, needle)) return {at, needle.size()};
  }
  return {};
}

void TextView::showFound(TextRange range) {
  found_ = range;
  if (range.found()) scrollRangeVisible(range);
}

bool TextView::screenPos(size_t offset, ImVec2& pos) const {
  if (width_ < 0) return false;
  for (const Cell& c : cells_) {
    if (c.offset == offset) {
      pos = add(origin_, ImVec2(c.x, lines_[size_t(c.line)].top));
      return true;
    }
  }
  return false;
}

ImFont* TextView::fontFor(const TextFont& role) const {
  // The loaded font of the same face and weight nearest in size; semibold and bold share a
  // face, so either stands in for the other.
  const RoleFont* best = nullptr;
  auto score = [&](const RoleFont& f) {
    const bool heavy = f.role.weight != Weight::Regular, wantHeavy = role.weight != Weight::Regular;
    float s = std::fabs(f.role.size - role.size);
    if (f.role.face != role.face) s += 1000;
    if (heavy != wantHeavy) s += 100;
    if (f.role.weight != role.weight) s += 10;
    return s;
  };
  for (const RoleFont& f : fonts_) {
    if (f.font != nullptr && (best == nullptr || score(f) < score(*best))) best = &f;
  }
  return best != nullptr ? best->font : ImGui::GetFont();
}

float TextView::advanceOf(const TextRun& run, unsigned codepoint) const {
  const ImFont* font = fontFor(run.font);
  const ImWchar c = codepoint <= 0xFFFF ? ImWchar(codepoint) : ImWchar(0xFFFD);
  return font->GetCharAdvance(c) * run.font.size / font->FontSize;
}

void TextView::metricsOf(const TextRun& run, float& ascent, float& descent) const {
  const ImFont* font = fontFor(run.font);
  const float scale = run.font.size / font->FontSize;
  ascent = font->Ascent * scale;
  descent = -font->Descent * scale;
}

void TextView::layout(float width) {
  cells_.clear();
  lines_.clear();
  decorations_.clear();
  width_ = width;
  height_ = 0;
  if (text_.runs.empty()) return; // nothing to draw, and no attributes to draw it with
  float y = 0;
  size_t table = 0;
  for (size_t b = 0; b < text_.blocks.size();) {
    if (table < text_.tables.size() && text_.tables[table].firstBlock == b) {
      y = layoutTable(text_.tables[table], 0, width, y);
      b += std::max<size_t>(text_.tables[table].blockCount, 1);
      ++table;
      continue;
    }
    const TextBox& box = text_.blocks[b].style.box;
    const float top = y + box.margin.top;
    const float left = box.margin.left, right = width - box.margin.right;
    const float inLeft = left + box.border.left + box.padding.left;
    const float inRight = right - box.border.right - box.padding.right;
    const float bottom =
        layoutParagraph(b, inLeft, inRight - inLeft, top + box.border.top + box.padding.top) +
        box.padding.bottom;
    const float boxBottom = bottom + box.border.bottom;
    if (box.kind != BoxKind::None) {
      if (box.filled) decorations_.push_back({{left, top}, {right, boxBottom}, box.background});
      const ImVec4 c = box.borderColour;
      if (box.border.top > 0)
        decorations_.push_back({{left, top}, {right, top + box.border.top}, c});
      if (box.border.bottom > 0) decorations_.push_back({{left, bottom}, {right, boxBottom}, c});
      if (box.border.left > 0)
        decorations_.push_back({{left, top}, {left + box.border.left, boxBottom}, c});
      if (box.border.right > 0)
        decorations_.push_back({{right - box.border.right, top}, {right, boxBottom}, c});
    }
    y = boxBottom + box.margin.bottom;
    ++b;
  }
  height_ = y;
}

void TextView::naturalWidth(size_t block, float& whole, float& word) const {
  const TextBlock& b = text_.blocks[block];
  whole = word = 0;
  float current = 0;
  size_t run = 0;
  for (size_t i = b.begin; i < b.end;) {
    while (run + 1 < text_.runs.size() && text_.runs[run].end <= i) ++run;
    unsigned char bytes = 1;
    const unsigned cp = decodeUtf8(text_.plain, i, bytes);
    if (isBreak(cp) || cp == ' ') {
      current = 0;
    } else {
      current += advanceOf(text_.runs[run], cp);
      word = std::max(word, current);
    }
    if (!isBreak(cp)) whole += advanceOf(text_.runs[run], cp);
    i += bytes;
  }
}

float TextView::layoutTable(const TextTable& table, float left, float width, float top) {
  const size_t columns = size_t(std::max(table.columns, 1));
  if (table.blockCount == 0) return top;
  const TextBox& first = text_.blocks[table.firstBlock].style.box;
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
      const TextBox& box = text_.blocks[b].style.box;
      const float bottom =
          layoutParagraph(b, x + box.padding.left, widths[c] - padX, y + box.padding.top);
      rowBottom = std::max(rowBottom, bottom + box.padding.bottom);
      x += widths[c];
    }
    x = left + table.margin.left;
    float next = rowBottom;
    for (size_t c = 0; c < columns && row * columns + c < table.blockCount; ++c) {
      const TextBox& box = text_.blocks[table.firstBlock + row * columns + c].style.box;
      const ImVec2 min(x, y), max(x + widths[c], rowBottom);
      if (box.filled) decorations_.push_back({min, max, box.background});
      if (box.border.bottom > 0) {
        decorations_.push_back(
            {{x, rowBottom}, {max.x, rowBottom + box.border.bottom}, box.borderColour});
        next = std::max(next, rowBottom + box.border.bottom);
      }
      x += widths[c];
    }
    y = next;
  }
  return y + table.margin.bottom;
}

float TextView::layoutParagraph(size_t block, float left, float width, float top) {
  const TextBlock& b = text_.blocks[block];
  const ParagraphStyle& style = b.style;
  float y = top + style.before;
  const size_t first = cells_.size();
  size_t run = 0;
  while (run + 1 < text_.runs.size() && text_.runs[run].end <= b.begin) ++run;
  for (size_t i = b.begin; i < b.end;) {
    while (run + 1 < text_.runs.size() && text_.runs[run].end <= i) ++run;
    Cell c;
    c.offset = i;
    c.codepoint = decodeUtf8(text_.plain, i, c.bytes);
    c.run = int(run);
    c.natural =
        isBreak(c.codepoint) || c.codepoint == '\t' ? 0 : advanceOf(text_.runs[run], c.codepoint);
    cells_.push_back(c);
    i += c.bytes;
  }
  auto advance = [&](const Cell& c, float x) {
    if (c.codepoint != '\t') return c.natural;
    const float at = x - left;
    if (style.tabStop >= 0 && at < style.tabStop) return style.tabStop - at;
    return (std::floor(at / kTabInterval) + 1) * kTabInterval - at;
  };
  const float lineHeight = style.lineHeight > 0 ? style.lineHeight : 1.0f;
  size_t lineStart = first, lastBreak = 0;
  float x = left + style.firstLineHeadIndent;
  for (size_t k = first; k < cells_.size(); ++k) {
    if (isBreak(cells_[k].codepoint)) {
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

void TextView::finishLine(size_t firstCell, size_t endCell, float& y, float lineHeight) {
  float ascent = 0, descent = 0;
  for (size_t k = firstCell; k < endCell; ++k) {
    float a = 0, d = 0;
    metricsOf(text_.runs[size_t(cells_[k].run)], a, d);
    ascent = std::max(ascent, a);
    descent = std::max(descent, d);
    cells_[k].line = int(lines_.size());
  }
  Line line;
  line.top = y;
  line.height = (ascent + descent) * lineHeight;
  line.baseline = y + line.height - descent;
  line.firstCell = firstCell;
  line.cellCount = endCell - firstCell;
  lines_.push_back(line);
  y += line.height;
}

size_t TextView::hit(ImVec2 p) const {
  // The line under the point, or else the nearest one; table cells share their rows, so
  // lines are not in order of height.
  const Line* best = nullptr;
  float bestScore = 0;
  for (const Line& line : lines_) {
    if (line.cellCount == 0) continue;
    const Cell& a = cells_[line.firstCell];
    const Cell& z = cells_[line.firstCell + line.cellCount - 1];
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
    const Cell& c = cells_[k];
    if (p.x < c.x + c.advance * 0.5f || isBreak(c.codepoint)) return c.offset;
  }
  const Cell& last = cells_[best->firstCell + best->cellCount - 1];
  return last.offset + last.bytes;
}

float TextView::lineTopOf(size_t offset) const {
  for (const Cell& c : cells_) {
    if (c.offset >= offset) return lines_[size_t(c.line)].top;
  }
  return height_;
}

void TextView::applyScroll(float visibleHeight) {
  if (scroll_ == Scroll::None) return;
  float y = ImGui::GetScrollY();
  if (!scrollRange_.found()) {
    y = 0;
  } else if (scroll_ == Scroll::ToTop) {
    y = std::max(0.0f, lineTopOf(scrollRange_.location) + kInsetY - scrollGap_);
  } else {
    const float top = lineTopOf(scrollRange_.location) + kInsetY;
    float bottom = top;
    for (const Cell& c : cells_) {
      if (c.offset >= scrollRange_.location) {
        const Line& l = lines_[size_t(c.line)];
        bottom = l.top + l.height + kInsetY;
        break;
      }
    }
    if (top < y) y = top;
    if (bottom > y + visibleHeight) y = bottom - visibleHeight;
  }
  ImGui::SetScrollY(y);
  scroll_ = Scroll::None;
}

// Called right after the item that covers the text, so the scroll bar is not part of it.
void TextView::handleMouse(ImVec2 origin, float visibleHeight) {
  const ImGuiIO& io = ImGui::GetIO();
  const ImVec2 p(io.MousePos.x - origin.x, io.MousePos.y - origin.y);
  if (ImGui::IsItemHovered() && ImGui::IsMouseClicked(0)) {
    caret_ = hit(p);
    if (!io.KeyShift) anchor_ = caret_;
    dragging_ = true;
  } else if (dragging_ && ImGui::IsMouseDown(0)) {
    caret_ = hit(p);
    // Dragging past the top or bottom edge scrolls on.
    const float top = ImGui::GetWindowPos().y;
    if (io.MousePos.y < top) ImGui::SetScrollY(std::max(0.0f, ImGui::GetScrollY() - kDragScroll));
    if (io.MousePos.y > top + visibleHeight)
      ImGui::SetScrollY(std::min(ImGui::GetScrollMaxY(), ImGui::GetScrollY() + kDragScroll));
  } else {
    dragging_ = false;
  }
  if (ImGui::IsWindowFocused() && io.KeyCtrl &&
      ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_C), false)) {
    copySelection();
  }
}

void TextView::drawHighlight(ImDrawList& list, ImVec2 origin, const Line& line, TextRange range,
                             const ImVec4& colour) const {
  float from = 0, to = 0;
  bool any = false;
  for (size_t k = line.firstCell; k < line.firstCell + line.cellCount; ++k) {
    const Cell& c = cells_[k];
    if (c.offset < range.location || c.offset >= range.end()) continue;
    if (!any) from = c.x;
    to = c.x + c.advance;
    any = true;
  }
  if (!any) return;
  list.AddRectFilled(add(origin, ImVec2(from, line.top)),
                     add(origin, ImVec2(to, line.top + line.height)),
                     ImGui::ColorConvertFloat4ToU32(colour));
}

void TextView::drawLines(ImDrawList& list, ImVec2 origin, float from, float to) const {
  for (const Decoration& d : decorations_) {
    if (d.max.y < from || d.min.y > to) continue;
    list.AddRectFilled(add(origin, d.min), add(origin, d.max),
                       ImGui::ColorConvertFloat4ToU32(d.colour));
  }
  const TextRange selected = selection();
  for (const Line& line : lines_) {
    if (line.top + line.height < from || line.top > to) continue;
    if (selected.length > 0) drawHighlight(list, origin, line, selected, kDocSelection);
    if (found_.found() && found_.length > 0) drawHighlight(list, origin, line, found_, kFoundBg);
    // Spans of one run and one side of the find highlight, drawn in one call each.
    const size_t end = line.firstCell + line.cellCount;
    for (size_t k = line.firstCell; k < end;) {
      const Cell& c = cells_[k];
      if (isBreak(c.codepoint) || c.codepoint == '\t') {
        ++k;
        continue;
      }
      const bool inFound = found_.found() && c.offset >= found_.location && c.offset < found_.end();
      size_t j = k + 1;
      while (j < end && cells_[j].run == c.run && !isBreak(cells_[j].codepoint) &&
             cells_[j].codepoint != '\t' &&
             (found_.found() && cells_[j].offset >= found_.location &&
              cells_[j].offset < found_.end()) == inFound) {
        ++j;
      }
      const TextRun& run = text_.runs[size_t(c.run)];
      const ImFont* font = fontFor(run.font);
      const float ascent = font->Ascent * run.font.size / font->FontSize;
      const float descent = -font->Descent * run.font.size / font->FontSize;
      const Cell& last = cells_[j - 1];
      if (run.hasBackground && !inFound) {
        list.AddRectFilled(add(origin, ImVec2(c.x, line.baseline - ascent)),
                           add(origin, ImVec2(last.x + last.advance, line.baseline + descent)),
                           ImGui::ColorConvertFloat4ToU32(run.background));
      }
      const ImVec4 colour = inFound ? kFoundText : run.coloured ? run.colour : kMdBody;
      const char* text = text_.plain.data();
      list.AddText(font, run.font.size, add(origin, ImVec2(c.x, line.baseline - ascent)),
                   ImGui::ColorConvertFloat4ToU32(colour), text + c.offset,
                   text + last.offset + last.bytes);
      k = j;
    }
  }
}

void TextView::findFromBar(size_t from) {
  TextRange match = find(findText_, from);
  if (!match.found() && from > 0) match = find(findText_, 0); // wraps around
  showFound(match);
  if (match.found()) select(match);
}

void TextView::drawFindBar() {
  ImGui::PushStyleColor(ImGuiCol_ChildBg, kDocBg);
  ImGui::BeginChild("##findbar", ImVec2(0, ImGui::GetFrameHeightWithSpacing() + 8), false,
                    ImGuiWindowFlags_NoScrollbar);
  ImGui::SetCursorPos(ImVec2(kInsetX, 4));
  if (focusFind_) {
    ImGui::SetKeyboardFocusHere();
    focusFind_ = false;
  }
  ImGui::SetNextItemWidth(std::max(ImGui::GetContentRegionAvail().x - kInsetX - 90, 80.0f));
  const bool enter = ImGui::InputTextWithHint("##find", "Suchen", findText_, sizeof findText_,
                                              ImGuiInputTextFlags_EnterReturnsTrue);
  if (ImGui::IsItemEdited()) findFromBar(0);
  if (enter) {
    findFromBar(found_.found() ? found_.location + 1 : 0);
    focusFind_ = true; // Enter leaves the field; searching goes on
  }
  // Escape ends the field's editing within the call, so whether it was being edited is last
  // frame's answer.
  const bool escape =
      findActive_ && ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_Escape), false);
  findActive_ = ImGui::IsItemActive();
  ImGui::SameLine();
  if (ImGui::Button("Fertig", ImVec2(80, 0)) || escape) {
    findOpen_ = false;
    found_ = TextRange{};
  }
  ImGui::EndChild();
  ImGui::PopStyleColor();
}

void TextView::draw(const char* id, ImVec2 size) {
  const ImGuiIO& io = ImGui::GetIO();
  if (ImGui::IsWindowFocused(ImGuiFocusedFlags_RootAndChildWindows) && io.KeyCtrl &&
      ImGui::IsKeyPressed(letterKey('F'), false)) {
    findOpen_ = true;
    focusFind_ = true;
  }
  if (findOpen_) drawFindBar();
  ImGui::PushStyleColor(ImGuiCol_ChildBg, kDocBg);
  ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(0, 0));
  ImGui::BeginChild(id, size, false, ImGuiWindowFlags_AlwaysVerticalScrollbar);
  const float width = std::max(ImGui::GetContentRegionAvail().x - 2 * kInsetX, 1.0f);
  const float visible = ImGui::GetWindowHeight();
  if (width != width_) layout(width);
  applyScroll(visible);
  scrollY_ = ImGui::GetScrollY();
  const ImVec2 start = ImGui::GetCursorScreenPos();
  origin_ = ImVec2(start.x + kInsetX, start.y + kInsetY);
  ImGui::Dummy(ImVec2(width + 2 * kInsetX, contentHeight()));
  handleMouse(origin_, visible);
  drawLines(*ImGui::GetWindowDrawList(), origin_, scrollY_ - kInsetY, scrollY_ + visible - kInsetY);
  ImGui::EndChild();
  ImGui::PopStyleVar();
  ImGui::PopStyleColor();
}

} // namespace velto
