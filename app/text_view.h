// A read-only view of one styled text, drawn with Dear ImGui inside the current window: the text
// laid out in paragraphs, boxes and tables at the view's width (wrapped at blanks), a vertical
// scroll bar, selection with the mouse, Ctrl+C to the clipboard, a find highlight and scrolling
// to a range. The view owns its text and its layout; the layout is redone only when the text,
// the fonts or the width change. Threading: main thread, with its window's ImGui context current.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <imgui.h>

#include "app/markdown.h"
#include "app/text_layout.h"
#include "app/window_fonts.h"

namespace velto {

class TextView {
public:
  // Space between the view's edges and the text.
  static constexpr float kInsetX = 36.0f;
  static constexpr float kInsetY = 28.0f;

  // Replaces the text; clears selection and find highlight and scrolls to the top.
  void setText(StyledText text);
  const StyledText& text() const { return text_; }
  const std::string& plain() const { return text_.plain; }
  // The fonts by role; with none, every role uses the context's current font, scaled.
  void setFonts(std::vector<RoleFont> fonts);

  // Draws the view as a child region of `size` at the cursor (0 in a dimension: what remains of
  // the window), handles the mouse, Ctrl+C, Ctrl+A, the scrolling keys (arrows, Page Up/Down,
  // Home/End with or without Ctrl) and Ctrl+F, which opens a find bar above the text that
  // searches as one types (Enter: the next match). main thread, inside an ImGui window
  void draw(const char* id, ImVec2 size);

  void select(TextRange range);
  TextRange selection() const;
  // The selected plain text, line separators of code blocks given as line feeds.
  std::string selectedText() const;
  void copySelection() const;
  void selectAll() { select({0, text_.plain.size()}); }
  // Opens the find bar with the keyboard in its field (the next draw).
  void openFindBar();

  // Scroll requests, carried out by the next draw (once the layout knows the width).
  // The range's first line `gap` below the top edge of the visible area (never above the top).
  void scrollRangeToTop(TextRange range, float gap);
  // The least scrolling that brings the range's first line into view.
  void scrollRangeVisible(TextRange range);
  float scrollY() const { return scrollY_; }

  // The next occurrence of `needle` at or after `from`, ignoring the case of letters; not found
  // for an empty needle.
  TextRange find(std::string_view needle, size_t from) const;
  // Highlights the range (until the next showFound or setText) and scrolls it into view.
  void showFound(TextRange range);
  TextRange found() const { return found_; }
  bool findBarOpen() const { return findOpen_; }

  // Where the character at `offset` was drawn in the last frame (the top-left of its line
  // box); false when it has not been laid out.
  bool screenPos(size_t offset, ImVec2& pos) const;
  // Height of the laid-out text, insets included.
  float contentHeight() const { return layout_.height() + 2 * kInsetY; }

private:
  enum class Scroll { None, ToTop, Visible };

  float lineTopOf(size_t offset) const;
  void applyScroll(float visibleHeight);
  void handleMouse(ImVec2 origin, float visibleHeight);
  void handleKeys(float visibleHeight);
  void drawFindBar();
  void findFromBar(size_t from);
  void drawLines(ImDrawList& list, ImVec2 origin, float from, float to) const;
  void drawHighlight(ImDrawList& list, ImVec2 origin, const LayoutLine& line, TextRange range,
                     const ImVec4& colour) const;
  void drawSpans(ImDrawList& list, ImVec2 origin, const LayoutLine& line, bool backgrounds) const;

  StyledText text_;
  std::vector<RoleFont> fonts_;
  TextLayout layout_;
  ImVec2 origin_{0, 0}; // the container's screen position in the last frame
  size_t anchor_ = 0, caret_ = 0;
  bool dragging_ = false;
  TextRange found_;
  bool findOpen_ = false;
  bool focusFind_ = false;
  bool findActive_ = false; // the find field was being edited in the last frame
  char findText_[128] = {};
  Scroll scroll_ = Scroll::None;
  TextRange scrollRange_;
  float scrollGap_ = 0;
  float scrollY_ = 0;
};

} // namespace velto
