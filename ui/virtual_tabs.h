// The Virtual Inputs and Virtual Outputs tabs: the virtual buses as cards, and the matrix of
// sources each virtual output takes.
// Part of the mixer window; main thread only, once per frame while the tab is open.
#pragma once

namespace velto {

class Engine;

void drawVirtualInputs(Engine& engine);
void drawVirtualOutputs(Engine& engine);
// The source matrix, `width` pixels wide: one row per strip that can feed a virtual output, one
// column per virtual output; a cell click flips that route bit.
void micMatrix(Engine& engine, float width);

} // namespace velto
