// The window's living background (hexagon grid lit around the mouse, decorations, waves, faint
// title) and the start-up intro that builds the same picture up over 5.6 s.
// Part of the mixer window; main thread only, drawn by drawMixer before the tab bar.
#pragma once

#include <imgui.h>

namespace velto {

extern bool gIntroOn;      // an intro is wanted or running
extern double gIntroStart; // ImGui time the running intro started; -1 not started
extern float gIntroFixed;  // >= 0: the picture frozen at that intro time

inline constexpr double kIntroTabsAt = 5.0; // the tabs begin to fade in
inline constexpr double kIntroEnd = 5.6;

void startIntro();
bool introRunning();

// Advances the intro clock (start, skip, end) and draws the background into `drawList`.
// Returns the intro time in seconds, or a negative value when no intro runs.
double drawIntro(ImDrawList* drawList);

} // namespace velto
