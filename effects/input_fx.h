// One effect bank: one instance of every effect with its switch and parameters. Allocated on the
// heap and owned by an effect chain (bank 0..3 of a hardware input) or by a hardware-output bus;
// created and destroyed on the main thread, processed only by its owner's audio thread.
#pragma once

#include <cstdint>

namespace velto {

class InputFx {
public:
  InputFx();
  ~InputFx();
  InputFx(const InputFx&) = delete;
  InputFx& operator=(const InputFx&) = delete;

  // audio thread: the echo-canceller stage that runs ahead of the noise filter and the chain, in
  // place on interleaved stereo.
  void processPre(float* interleaved, uint32_t frames);
};

} // namespace velto
