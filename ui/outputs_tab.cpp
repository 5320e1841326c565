#include "ui/outputs_tab.h"

namespace velto {

void drawOutputs(Engine& /*engine*/) {}

} // namespace velto
