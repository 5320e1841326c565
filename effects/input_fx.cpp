#include "effects/input_fx.h"

namespace velto {

InputFx::InputFx() = default;
InputFx::~InputFx() = default;

void InputFx::processPre(float* interleaved, uint32_t frames) {
  // The echo canceller is off: the block passes unchanged.
  (void)interleaved;
  (void)frames;
}

} // namespace velto
