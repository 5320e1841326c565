// Font files for the windows: found through fontconfig, checked before ImGui sees them (ImGui
// asserts or crashes on a missing or broken file), and added to a font atlas from memory.
// Stateless. Threading: main thread (the atlas belongs to a window's ImGui context).
#pragma once

#include <string>
#include <vector>

#include <imgui.h>

namespace platform::desktop {

// The file of the face fontconfig picks for `pattern` (a family name such as "Liberation
// Sans"; fontconfig may substitute a similar face). Empty when it finds none.
std::string findFontFile(const char* pattern);

// Reads a font file if it is a regular readable file of plausible size that holds a TrueType or
// OpenType face; false (and `data` empty) otherwise.
bool readFontFile(const std::string& path, std::vector<unsigned char>& data);

// Adds the file's first face to the atlas at `pixels` with `config` and `ranges` (which must
// outlive the atlas). Null, with the atlas unchanged, when the file fails readFontFile.
ImFont* addFontChecked(ImFontAtlas& atlas, const std::string& path, float pixels,
                       const ImFontConfig& config, const ImWchar* ranges);

} // namespace platform::desktop
