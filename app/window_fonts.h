// The fonts of the main window: the text face (Liberation Sans, with DejaVu Sans merged in for
// the symbols it lacks) at 14 px and the title face at 260 px, both times the screen scale;
// any file that is missing or broken is skipped and ImGui's own font takes the text's place.
// Threading: main thread, with the window's ImGui context current.
#pragma once

#include <string>

#include <vector>

#include <imgui.h>

#include "app/markdown.h"

namespace velto {

struct FontFiles {
  std::string text;    // the text and title face
  std::string symbols; // merged for what the text face lacks
};

// The files fontconfig offers for the two faces.
FontFiles systemFontFiles();

struct WindowFonts {
  ImFont* text = nullptr;  // ImGui's default font when the text face could not be used
  ImFont* title = nullptr; // null when the text face could not be used
  bool fromFiles = false;  // the text face came from `files.text`
};

// Adds the fonts to the context's atlas and builds it; sets the global font scale to 1/scale.
WindowFonts loadWindowFonts(const FontFiles& files, float scale);

// The document windows' faces: proportional regular and bold (which also stands for semibold),
// monospaced, and the symbol face merged into each.
struct DocumentFontFiles {
  std::string regular;
  std::string bold;
  std::string mono;
  std::string symbols;
};

DocumentFontFiles documentFontFiles();

// One loaded font of a rendered document's role (face, weight, size in points).
struct RoleFont {
  TextFont role;
  ImFont* font = nullptr;
};

// Adds every role the Markdown renderer uses to the current context's atlas at its size times
// the screen scale and builds the atlas; sets the global font scale to 1/scale. A face whose
// file cannot be used is left out (the view falls back to another); when none can be used the
// result holds ImGui's own font for the regular role, at a global scale of 1.
std::vector<RoleFont> loadDocumentFonts(const DocumentFontFiles& files, float scale);

} // namespace velto
