// The fader and the level meters: every gain of the window is set with `fader`, every level is
// shown with `meterBar` / `meterBarH`. Part of the mixer window; main thread only, once per
// frame, drawn into the current ImGui window. Gains are written by atomic exchange.
#pragma once

#include <imgui.h>

#include <atomic>
#include <map>
#include <string>
#include <utility>

namespace velto {

struct PeakMeter;

// Default fader length in pixels; tabs that draw cards may set it per frame.
extern float gFaderH;
// dB position of an extra mark on the next vertical fader (NaN = none) and its tooltip; every
// fader clears the mark at its end, so it belongs to exactly one fader.
extern float gFaderMarkDb;
extern std::string gFaderMarkTip;
// Displayed (decaying) left and right levels, linear, keyed by the address of a PeakMeter.
extern std::map<const void*, std::pair<float, float>> gMeters;

// Position of a level on the -60..+12 dB scale, 0..1.
float faderFraction(float db);
// "-inf dB" at or below -60 dB, else "%+.1f dB".
std::string levelText(float db);
// Colour of a meter at level `db`: green up to -40 dB, through yellow to red at 0 dB.
ImVec4 meterColour(float db);

// One fader on a linear gain with the peak meter of the same strip or bus. vertical: the card
// form (34 px wide, meters to the right, gate mark); else the row form (18 px high, meters
// under it). A length of 0 or less takes gFaderH.
void fader(std::atomic<float>& gain, PeakMeter& meter, bool vertical, float length);
// The vertical fader with its level label, centred in the available width.
void faderBlock(std::atomic<float>& gain, PeakMeter& meter);
// Takes the meter's peaks and returns the displayed levels, falling to a tenth per second.
std::pair<float, float> pullMeter(PeakMeter& meter);
// One bar for a linear peak level in the rectangle pos..pos + size.
void meterBar(ImDrawList* list, ImVec2 pos, ImVec2 size, float level);
void meterBarH(ImDrawList* list, ImVec2 pos, ImVec2 size, float level);

} // namespace velto
