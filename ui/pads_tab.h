// The Pads tab: the pads' card beside a square 4 x 4 grid of pad tiles that start and stop the
// sixteen pads, and in edit mode an editor for the selected pad (sound from the pads folder,
// name, mode, level, fades, loop crossfade). Keeps no copy of the pads: every frame reads and
// writes the engine's pad bank. Part of the mixer window; main thread only, once per frame while
// the tab is open.
#pragma once

namespace velto {

class Engine;

void drawPads(Engine& engine);

// "m:ss.t" of a length in seconds, rounded to tenths before it is split, so 59.96 s reads
// "1:00.0"; a negative length or one that is not a number reads as 0.
void formatPadLength(char (&out)[32], double seconds);

} // namespace velto
