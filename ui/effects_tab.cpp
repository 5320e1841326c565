#include "ui/effects_tab.h"

namespace velto {

int gFxInput = 0;
int gFxItem = -1;

void drawEffects(Engine& /*engine*/) {}

} // namespace velto
