#include "ui/software_tab.h"

namespace velto {

void drawSoftware(Engine& /*engine*/) {}

} // namespace velto
