// The Software tab: captured applications added from the running ones, leveled, routed,
// passed through and removed, with their sound status.
// Part of the mixer window; main thread only, once per frame while the tab is open.
#pragma once

namespace velto {

class Engine;
struct AppSource;

void drawSoftware(Engine& engine);

// The slot shown in row `row`, or null when no application is captured at that position; the
// tab reaches a slot only through this check.
AppSource* appAt(Engine& engine, int row);

} // namespace velto
