// The fonts of the main window: the text face (Liberation Sans, with DejaVu Sans merged in for
// the symbols it lacks) at 14 px and the title face at 260 px, both times the screen scale;
// any file that is missing or broken is skipped and ImGui's own font takes the text's place.
// Threading: main thread, with the window's ImGui context current.
#pragma once

#include <string>

#include <imgui.h>

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

} // namespace velto
