// Cards: the fixed-size framed columns that show one strip or bus each (title with rename,
// status lines, fader and meters, routing, mute), shared by the board and the card rows of the
// tabs. Part of the mixer window; main thread only, once per frame. Cards keep no copy of the
// engine's state; the card globals below are set per frame by the tab that draws them.
#pragma once

#include <imgui.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace velto {

class Engine;

extern float gCardW;
extern float gCardH;
extern float gCardAlpha;
extern bool gCardLocked;          // cards drawn now are inert (board edit mode)
extern const ImVec4* gCardBorder; // highlight border of the card being drawn, or null
extern std::string gCardHelp;     // help key of the card being drawn

// Bytes a card title may hold; a longer name is cut at a character boundary.
inline constexpr size_t kTitleBytes = 63;

// Sets gFaderH and gCardH for cards in a free height of `availH`: the card's fixed parts (title,
// device, route rows, mute, metre texts) plus a fader of 120..420.
void fitCardHeight(float availH);

// Opens a card identified by its key object; border null = no highlight border.
void beginCard(const void* key, const ImVec4* border);
// Closes it; true when it was left-clicked this frame outside help mode.
bool endCard();
// Card title with the rename popup (right click); onRename gets the confirmed new name.
void title(const std::string& name, const ImVec4& colour,
           const std::function<void(const std::string&)>& onRename, bool centred);

bool hwInputCard(Engine& engine, int index, bool selected);
bool hwOutputCard(Engine& engine, int index, bool selected);
void virtualInputCard(Engine& engine, int index, bool selected);
void virtualOutputCard(Engine& engine, int index);
void padsCard(Engine& engine);
void playerCard(Engine& engine);
// index -1: the "Default" virtual input (system default output); 0..2: virtual output index
// (system default input).
void defaultRow(Engine& engine, int index, const std::string& subtitle);

// The items joined with ", ", or `empty` when there are none.
std::string join(const std::vector<std::string>& items, const char* empty);
// `text` cut to at most `bytes` bytes without splitting a UTF-8 sequence.
std::string cutUtf8(const std::string& text, size_t bytes);

} // namespace velto
