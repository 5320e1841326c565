// The help pointer: the arrow with a small accent disc carrying a question mark at its lower
// right, shown over the main window while help mode is on. Built once, kept for the run.
// Threading: main thread (GLFW cursors belong to the main thread).
#pragma once

#include <vector>

struct GLFWcursor;

namespace velto {

struct CursorImage {
  int width = 0;
  int height = 0;
  int hotX = 0; // the pixel that clicks
  int hotY = 0;
  std::vector<unsigned char> rgba; // width * height * 4, straight alpha, rows top-down
};

// The arrow pointer of this platform layer: 17 x 23 pixels, the hot spot at its tip.
CursorImage arrowCursorImage();

// The help image for `arrow`: max(w, 14) + 14 wide, max(h, 14) + 6 high, the arrow at the top
// left, a disc of 16 in the square ending 1 inside the right and bottom edges, and "?" from the
// bold face `boldFont` (a font file's bytes; no glyph when it is empty or unreadable) on it.
CursorImage helpCursorImage(const CursorImage& arrow, const std::vector<unsigned char>& boldFont);

// The same pointer object on every call; null when GLFW cannot make one.
GLFWcursor* veltoHelpCursor();

} // namespace velto
