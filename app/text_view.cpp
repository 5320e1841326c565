#include "app/text_view.h"

#include <algorithm>

namespace velto {
namespace {

constexpr float kDragScroll = 12.0f; // per frame while a selection is dragged past an edge
constexpr float kLineStep = 20.0f;   // an arrow key's scroll: about a line of body text
const ImVec4 kFoundBg{0.98f, 0.84f, 0.25f, 1.0f};
const ImVec4 kFoundText{0.08f, 0.08f, 0.1f, 1.0f};

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
  layout_.clear();
  anchor_ = caret_ = 0;
  dragging_ = false;
  found_ = TextRange{};
  scroll_ = Scroll::ToTop;
  scrollRange_ = TextRange{};
  scrollGap_ = 0;
}

void TextView::setFonts(std::vector<RoleFont> fonts) {
  fonts_ = std::move(fonts);
  layout_.clear();
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

void TextView::openFindBar() {
  findOpen_ = true;
  focusFind_ = true;
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
  for (const LayoutCell& c : layout_.cells()) {
    if (c.offset == offset) {
      pos = add(origin_, ImVec2(c.x, layout_.lines()[size_t(c.line)].top));
      return true;
    }
  }
  return false;
}

float TextView::lineTopOf(size_t offset) const {
  const LayoutLine* line = layout_.lineAt(offset);
  return line != nullptr ? line->top : layout_.height();
}

void TextView::applyScroll(float visibleHeight) {
  if (scroll_ == Scroll::None) return;
  float y = ImGui::GetScrollY();
  if (!scrollRange_.found()) {
    y = 0;
  } else if (scroll_ == Scroll::ToTop) {
    y = std::max(0.0f, lineTopOf(scrollRange_.location) + kInsetY - scrollGap_);
  } else {
    const LayoutLine* line = layout_.lineAt(scrollRange_.location);
    const float top = (line != nullptr ? line->top : layout_.height()) + kInsetY;
    const float bottom = line != nullptr ? top + line->height : top;
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
    caret_ = layout_.hit(p);
    if (!io.KeyShift) anchor_ = caret_;
    dragging_ = true;
  } else if (dragging_ && ImGui::IsMouseDown(0)) {
    caret_ = layout_.hit(p);
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

// The keys of a read-only page, while the window holds the keyboard and no field edits text.
void TextView::handleKeys(float visibleHeight) {
  const ImGuiIO& io = ImGui::GetIO();
  if (!ImGui::IsWindowFocused(ImGuiFocusedFlags_RootAndChildWindows) || io.WantTextInput ||
      io.KeyAlt || io.KeySuper)
    return;
  if (io.KeyCtrl && ImGui::IsKeyPressed(letterKey('A'), false)) selectAll();
  const auto pressed = [](ImGuiKey key) { return ImGui::IsKeyPressed(ImGui::GetKeyIndex(key)); };
  const float y = ImGui::GetScrollY(), end = ImGui::GetScrollMaxY();
  // A page keeps one line of the last one in view.
  const float page = std::max(visibleHeight - kLineStep, kLineStep);
  float to = y;
  if (pressed(ImGuiKey_Home)) to = 0;
  if (pressed(ImGuiKey_End)) to = end;
  if (!io.KeyCtrl) {
    if (pressed(ImGuiKey_PageUp)) to = y - page;
    if (pressed(ImGuiKey_PageDown)) to = y + page;
    if (pressed(ImGuiKey_UpArrow)) to = y - kLineStep;
    if (pressed(ImGuiKey_DownArrow)) to = y + kLineStep;
  }
  to = std::clamp(to, 0.0f, end);
  if (to != y) ImGui::SetScrollY(to);
}

void TextView::drawHighlight(ImDrawList& list, ImVec2 origin, const LayoutLine& line,
                             TextRange range, const ImVec4& colour) const {
  float from = 0, to = 0;
  bool any = false;
  for (size_t k = line.firstCell; k < line.firstCell + line.cellCount; ++k) {
    const LayoutCell& c = layout_.cells()[k];
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

// The line's spans of one run and one side of the find highlight: their code backgrounds, or
// their text, one call each.
void TextView::drawSpans(ImDrawList& list, ImVec2 origin, const LayoutLine& line,
                         bool backgrounds) const {
  const std::vector<LayoutCell>& cells = layout_.cells();
  auto inFound = [&](const LayoutCell& c) {
    return found_.found() && c.offset >= found_.location && c.offset < found_.end();
  };
  auto drawn = [](const LayoutCell& c) { return !isLineBreak(c.codepoint) && c.codepoint != '\t'; };
  const size_t end = line.firstCell + line.cellCount;
  for (size_t k = line.firstCell; k < end;) {
    const LayoutCell& c = cells[k];
    if (!drawn(c)) {
      ++k;
      continue;
    }
    const bool found = inFound(c);
    size_t j = k + 1;
    while (j < end && cells[j].run == c.run && drawn(cells[j]) && inFound(cells[j]) == found) ++j;
    const LayoutCell& last = cells[j - 1];
    k = j;
    const TextRun& run = text_.runs[size_t(c.run)];
    const ImFont* font = fontForRole(fonts_, run.font);
    const float ascent = font->Ascent * run.font.size / font->FontSize;
    const ImVec2 at = add(origin, ImVec2(c.x, line.baseline - ascent));
    if (backgrounds) {
      if (!run.hasBackground || found) continue;
      const float descent = -font->Descent * run.font.size / font->FontSize;
      list.AddRectFilled(at, add(origin, ImVec2(last.x + last.advance, line.baseline + descent)),
                         ImGui::ColorConvertFloat4ToU32(run.background));
      continue;
    }
    const ImVec4 colour = found ? kFoundText : run.coloured ? run.colour : kMdBody;
    const char* text = text_.plain.data();
    list.AddText(font, run.font.size, at, ImGui::ColorConvertFloat4ToU32(colour), text + c.offset,
                 text + last.offset + last.bytes);
  }
}

void TextView::drawLines(ImDrawList& list, ImVec2 origin, float from, float to) const {
  for (const LayoutRect& r : layout_.rects()) {
    if (r.max.y < from || r.min.y > to) continue;
    list.AddRectFilled(add(origin, r.min), add(origin, r.max),
                       ImGui::ColorConvertFloat4ToU32(r.colour));
  }
  // Code backgrounds, then the highlights over them, then the text over both.
  const TextRange selected = selection();
  for (const LayoutLine& line : layout_.lines()) {
    if (line.top + line.height < from || line.top > to) continue;
    drawSpans(list, origin, line, true);
    if (selected.length > 0) drawHighlight(list, origin, line, selected, kDocSelection);
    if (found_.found() && found_.length > 0) drawHighlight(list, origin, line, found_, kFoundBg);
    drawSpans(list, origin, line, false);
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
    openFindBar();
  }
  if (findOpen_) drawFindBar();
  ImGui::PushStyleColor(ImGuiCol_ChildBg, kDocBg);
  ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(0, 0));
  ImGui::BeginChild(id, size, false, ImGuiWindowFlags_AlwaysVerticalScrollbar);
  const float width = std::max(ImGui::GetContentRegionAvail().x - 2 * kInsetX, 1.0f);
  const float visible = ImGui::GetWindowHeight();
  if (width != layout_.width()) layout_.build(text_, fonts_, width);
  applyScroll(visible);
  scrollY_ = ImGui::GetScrollY();
  const ImVec2 start = ImGui::GetCursorScreenPos();
  origin_ = ImVec2(start.x + kInsetX, start.y + kInsetY);
  ImGui::Dummy(ImVec2(width + 2 * kInsetX, contentHeight()));
  handleMouse(origin_, visible);
  handleKeys(visible);
  drawLines(*ImGui::GetWindowDrawList(), origin_, scrollY_ - kInsetY, scrollY_ + visible - kInsetY);
  ImGui::EndChild();
  ImGui::PopStyleVar();
  ImGui::PopStyleColor();
}

} // namespace velto
