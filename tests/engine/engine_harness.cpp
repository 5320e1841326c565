#include "engine_harness.h"

#include "effects/fx_chain.h"
#include "effects/fx_table.h"
#include "effects/input_fx.h"

namespace velto::test {

void makeTransparent(Engine& engine) {
  for (HwInput& in : engine.hwInputs) {
    for (auto& bank : in.fxChain->banks) {
      if (!bank) continue;
      for (auto& on : bank->enabled) on.store(false);
    }
  }
  for (Bus& bus : engine.buses) {
    if (!bus.fx) continue;
    for (auto& on : bus.fx->enabled) on.store(false);
  }
}

std::vector<float> drainRing(StereoRing& ring) {
  std::vector<float> out(size_t{ring.capacity()} * 2);
  out.resize(size_t{ring.read(out.data(), ring.capacity())} * 2);
  return out;
}

} // namespace velto::test
