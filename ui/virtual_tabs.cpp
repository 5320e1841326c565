#include "ui/virtual_tabs.h"

namespace velto {

void drawVirtualInputs(Engine& /*engine*/) {}

void drawVirtualOutputs(Engine& /*engine*/) {}

} // namespace velto
