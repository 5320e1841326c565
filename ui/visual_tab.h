// The Visualisation tab: every source and bus as a node and every route as a wire, changed by
// dragging from a source to a bus and by clicking a wire.
// Part of the mixer window; main thread only, once per frame while the tab is open.
#pragma once

namespace velto {

class Engine;

void drawVisualization(Engine& engine);

} // namespace velto
