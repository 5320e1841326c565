// The mixer window's look: the Dear ImGui style, the named colours every tab uses, and the
// shared headings and filled button. Owned by the window; the shell applies the style once.
// Threading: main thread only (between ImGui's new frame and render).
#pragma once

#include <imgui.h>

#include <string>

namespace velto {

inline const ImVec4 kBg{0.11f, 0.12f, 0.15f, 1.0f};
inline const ImVec4 kPanel{0.15f, 0.16f, 0.20f, 1.0f};
inline const ImVec4 kCardBg{0.19f, 0.20f, 0.25f, 1.0f};
inline const ImVec4 kGray{0.26f, 0.27f, 0.33f, 1.0f};
inline const ImVec4 kTrack{0.06f, 0.065f, 0.08f, 1.0f};
inline const ImVec4 kTextLight{0.88f, 0.89f, 0.93f, 1.0f};
inline const ImVec4 kTextDark{0.06f, 0.06f, 0.08f, 1.0f};
inline const ImVec4 kGreen{0.30f, 0.78f, 0.40f, 1.0f};
inline const ImVec4 kRed{0.82f, 0.26f, 0.26f, 1.0f};
inline const ImVec4 kAccentIn{0.35f, 0.75f, 0.95f, 1.0f};
inline const ImVec4 kAccentOut{0.55f, 0.90f, 0.55f, 1.0f};
inline const ImVec4 kAccentVi{0.95f, 0.70f, 0.30f, 1.0f};
inline const ImVec4 kAccentMic{0.95f, 0.50f, 0.65f, 1.0f};
inline const ImVec4 kAccentPad{0.30f, 0.82f, 0.76f, 1.0f};
inline const ImVec4 kAccentPlayer{0.56f, 0.58f, 1.00f, 1.0f};
inline const ImVec4 kAccentApp{0.80f, 0.55f, 0.95f, 1.0f};
inline const ImVec4 kFxPink{0.96f, 0.66f, 0.80f, 1.0f};

// Settings section to scroll to (set by showSettings, consumed by sectionTitle).
extern std::string gWantSection;
// ImGui time of the last scroll to a wanted section; -10 so nothing flashes at start.
extern double gSectionFlash;

// main thread, once after the ImGui context and fonts exist.
void applyStyle();

// Section heading; always drawn in kTextLight (colour is accepted for the callers' symmetry).
void sectionTitle(const char* title, const ImVec4& colour);
// Heading of a settings panel; also sets the help section and the panel's help key.
void panelTitle(const char* title, const ImVec4& colour);
// Button with its own colours; registers its label (up to "##") as help item. True on click.
bool coloredButton(const char* label, const ImVec4& background, const ImVec4& text,
                   float width = 0.0f, float height = 0.0f);

} // namespace velto
