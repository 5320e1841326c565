// The media views' small drawing kit: the transport and row glyphs, the rounded icon button and
// the borderless row icon, and the home-folder abbreviation of displayed paths. Shared by the
// Player and Pads tabs. Threading: main thread only, between ImGui's new frame and render.
#pragma once

#include <imgui.h>

#include <string>

namespace velto {

enum class Icon { Prev, Play, Pause, Stop, Next, Up, Down, Remove };

// One glyph around `centre`, `size` being its half extent; filled in `colour`.
void drawIcon(ImDrawList* list, ImVec2 centre, float size, Icon icon, ImU32 colour);
// Icon on a rounded face of `size`; `tip` (may be null) is tooltip and help item. True on click.
bool iconButton(const char* id, Icon icon, ImVec2 size, bool active, const char* tip);
// Faceless icon one text line high, with tooltip and help item `tip`. True on click.
bool rowIcon(const char* id, Icon icon, const char* tip);
// `path` with a leading HOME replaced by "~" (plain prefix test); unchanged without HOME.
std::string shortPath(const std::string& path);

} // namespace velto
