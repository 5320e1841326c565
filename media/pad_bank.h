// The sixteen-pad sample bank. Owned by the engine; rendered into the "Pads" strip on the clock
// device's cycle. Least version: no pad holds a sample yet, so it renders nothing.
#pragma once

#include <cstdint>

namespace velto {

class PadBank {
public:
  // audio thread: adds the playing pads into `interleaved` (stereo, `frames` frames).
  void render(float* interleaved, uint32_t frames);
};

} // namespace velto
