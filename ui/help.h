// Help mode of the mixer window: the help-key format ("page#section#item"), the registration
// helpers every control uses, the "?" button and the overlay that ends each frame.
// Threading: main thread only.
#pragma once

#include <imgui.h>

#include <string>

namespace velto {

extern bool gHelpMode;
extern std::string gHelpPage;    // page used by helpRef; the open tab's key by default
extern std::string gHelpSection; // section used by helpRef and helpRow
extern std::string gHelpKey;     // key under the mouse in this frame (last match wins)
extern ImVec2 gHelpPoint;        // centre of the "?" button in the last frame

// gHelpPage, then "#section" when given, then "#item" (or "##item" without a section).
std::string helpRef(const std::string& section, const std::string& item);
// In help mode: key becomes gHelpKey when the window is hovered and the mouse is in min..max.
void helpRect(ImVec2 min, ImVec2 max, const std::string& key);
// Registers the row starting at the cursor (window wide, one frame high) under the item.
void helpRow(const char* item);
// The item pattern: in help mode, key becomes gHelpKey when the last item is hovered.
void helpItem(const std::string& key);
// Side of the "?" button's square, which stands at the top right of every tab's content.
constexpr float kHelpButtonSize = 30.0f;
// The "?" button at the cursor; not an ImGui item. True on the frame it is clicked.
bool helpButton(const char* label);
// Text shown for a key in the tooltip: the part after the last "#", tab keys as their label.
std::string helpDisplayName(const std::string& key);
// End-of-frame overlay: toggles on the button, else resolves key (or fallback) in help mode.
void helpOverlay(bool buttonClicked, const char* fallback);

bool helpModeActive();
void setHelpMode(bool on);
const std::string& helpKeyUnderMouse();
ImVec2 helpButtonPoint();

} // namespace velto
