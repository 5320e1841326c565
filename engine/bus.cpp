#include "engine/bus.h"

#include "effects/input_fx.h"
#include "core/levels.h"

namespace velto {

Bus::Bus() = default;
Bus::~Bus() = default;

void Bus::init(const std::string& busName) {
  name = busName;
  mix.assign(kWorkFloats, 0.0f);
  scratch.assign(kWorkFloats, 0.0f);
  for (auto& share : inputShares) share.assign(kWorkFloats, 0.0f);
  echoWork.assign(kWorkFloats, 0.0f);
}

} // namespace velto
