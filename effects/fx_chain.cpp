#include "effects/fx_chain.h"

namespace velto {

FxChain::FxChain() {
  banks[0] = std::make_unique<InputFx>();
}

FxChain::~FxChain() {
  // Later banks first, bank 0 last.
  for (int b = kBanks - 1; b >= 0; --b) banks[b].reset();
}

void FxChain::process(float* interleaved, uint32_t frames) {
  // No slot of the chain is active: the buffer stays untouched.
  (void)interleaved;
  (void)frames;
}

} // namespace velto
