// The ordered effect chain of one hardware input: owns its effect banks (bank 0 always exists and
// is the input's own bank). Created and destroyed on the main thread by the engine; process()
// runs on the input's audio thread.
#pragma once

#include "effects/input_fx.h"

#include <array>
#include <cstdint>
#include <memory>

namespace velto {

class FxChain {
public:
  static constexpr int kBanks = 4;

  FxChain(); // main thread: creates bank 0
  ~FxChain();
  FxChain(const FxChain&) = delete;
  FxChain& operator=(const FxChain&) = delete;

  // audio thread: runs the chain in place on interleaved stereo.
  void process(float* interleaved, uint32_t frames);

  std::array<std::unique_ptr<InputFx>, kBanks> banks;
};

} // namespace velto
