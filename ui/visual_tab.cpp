#include "ui/visual_tab.h"

namespace velto {

void drawVisualization(Engine& /*engine*/) {}

} // namespace velto
