// The effect settings panel: one effect slot of a hardware input's chain (switch, parameters and
// the extras some effects have: EQ curve and presets, looper transport, echo-canceller and
// feedback status, reduction meters). Holds no model; reads and writes the bank passed in.
// Threading: main thread only; writes reach the audio thread through the bank's atomics.
#pragma once

#include "effects/fx_table.h"

#include <imgui.h>

#include <vector>

namespace velto {

class Engine;
class InputFx;

// The whole panel for effect info.id of bank `fx` (bank number `instance` 0..3 of input 0..2).
void fxSettings(Engine& engine, int input, InputFx& fx, const FxInfo& info, int instance);
// One gain-reduction bar, one frame high; `key` keeps meters of the same effect apart.
void reductionMeter(InputFx& fx, int key, FxId id, float rangeDb, float width);
// The editing widget of parameter `index`; every change goes through InputFx::set.
void fxParam(InputFx& fx, const FxInfo& info, int index, float width);

// The EQ curve's points in the area (left, top, width, height): about one point per 3 pixels,
// 20 Hz .. 20 kHz on a log axis, +18 dB at 5 % and -18 dB at 95 % of the height (out of range
// responses sit on those lines). `pts` is refilled; its capacity stays.
void eqCurvePoints(const InputFx& fx, ImVec2 topLeft, ImVec2 size, std::vector<ImVec2>& pts);

} // namespace velto
