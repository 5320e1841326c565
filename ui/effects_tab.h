// The Effects tab: every hardware input's chain as a row of nodes joined by wires, with
// switching, removing, adding and reordering by dragging, above the selected node's settings.
// Part of the mixer window; main thread only, once per frame while the tab is open.
#pragma once

namespace velto {

class Engine;

extern int gFxInput; // selected row 0..2
extern int gFxItem;  // selected node, numbered as gInputItem; -1 none
void drawEffects(Engine& engine);

} // namespace velto
