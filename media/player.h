// The two-deck playlist player. Owned by the engine; rendered into the "Player" strip on the
// clock device's cycle; ticked every 50 ms on the main queue. Least version: nothing is loaded,
// so it renders nothing.
#pragma once

#include <cstdint>

namespace velto {

class Player {
public:
  // audio thread: adds the playing decks into `interleaved` (stereo, `frames` frames).
  void render(float* interleaved, uint32_t frames);
  // main thread: the 50 ms tick.
  void tick();
};

} // namespace velto
