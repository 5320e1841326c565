// The Software tab: captured applications added from the running ones, leveled, routed,
// passed through and removed, with their sound status.
// Part of the mixer window; main thread only, once per frame while the tab is open.
#pragma once

namespace velto {

class Engine;

void drawSoftware(Engine& engine);

} // namespace velto
