#include "ui/inputs_tab.h"

#include "effects/fx_table.h"

namespace velto {

void drawInputs(Engine& /*engine*/) {}

std::string slotLabel(const FxChain::Slot& slot) {
  std::string label = kFx[static_cast<int>(slot.id)].label;
  if (slot.bank > 0) label += " " + std::to_string(slot.bank + 1);
  return label;
}

} // namespace velto
