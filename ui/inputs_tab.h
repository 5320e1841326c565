// The Hardware Inputs tab: the three input cards, each input's tools and effect tiles, and the
// settings of the selected tile (noise profile with its spectrum, noise filter, one effect).
// Part of the mixer window; main thread only, once per frame while the tab is open.
#pragma once

#include "effects/fx_chain.h"

#include <string>

namespace velto {

class Engine;

void drawInputs(Engine& engine);
// The effect's label; banks above 0 add their number ("Echo 2").
std::string slotLabel(const FxChain::Slot& slot);

} // namespace velto
