// Effects whose signal processing is not written yet. Each one leaves its block as it is, so a
// switched-on instance sounds dry; the bank's framework around them (dispatch, crossfade,
// switch-on resets, readers) is complete. Each function is replaced by its real body in place.
#include "effects/input_fx.h"

namespace velto {

void InputFx::processPre(float*, uint32_t) {}

void InputFx::gate(float*, float*, uint32_t) {}
void InputFx::compressor(float*, float*, uint32_t) {}
void InputFx::deEsser(float*, float*, uint32_t) {}
void InputFx::feedback(float*, float*, uint32_t) {}
void InputFx::pitch(float*, float*, uint32_t) {}
void InputFx::octaver(float*, float*, uint32_t) {}
void InputFx::harmonizer(float*, float*, uint32_t) {}
void InputFx::chorus(float*, float*, uint32_t) {}
void InputFx::echo(float*, float*, uint32_t) {}
void InputFx::reverb(float*, float*, uint32_t) {}
void InputFx::looper(float*, float*, uint32_t) {}
void InputFx::limiter(float*, float*, uint32_t) {}

} // namespace velto
