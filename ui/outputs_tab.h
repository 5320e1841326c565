// The Hardware Outputs tab: each hardware output's card and its settings (device, latency,
// speaker or headphone kind, hearing-protection limiter).
// Part of the mixer window; main thread only, once per frame while the tab is open.
#pragma once

namespace velto {

class Engine;

void drawOutputs(Engine& engine);

} // namespace velto
