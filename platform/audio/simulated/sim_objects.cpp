#include "platform/audio/simulated/sim_objects.h"

namespace platform::audio {

SourceCell::SourceCell(SignalSource initial) {
  set(std::move(initial));
}

void SourceCell::set(SignalSource next) {
  all_.push_back(std::make_unique<SignalSource>(std::move(next)));
  current_.store(all_.back().get(), std::memory_order_release);
}

} // namespace platform::audio
