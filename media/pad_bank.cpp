#include "media/pad_bank.h"

namespace velto {

void PadBank::render(float*, uint32_t) {}

} // namespace velto
