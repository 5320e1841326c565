// One output bus: the mix of every strip routed to it, its gain, mute, output kind, own effect
// bank and meter. Owned by the engine; the control side writes the atomics and takes `meter`,
// the bus's output callback owns the buffers and `lastGain`.
#pragma once

#include "core/peak_meter.h"
#include "engine/device_link.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace velto {

class InputFx;

struct Bus {
  Bus();
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // main thread, before any callback runs: names the bus and creates its zeroed work buffers.
  void init(const std::string& busName);

  std::string name;
  DeviceLink link; // buses 0..2: a hardware output; 3..5: the driver's feed device
  std::atomic<float> gain{1.0f};
  std::atomic<bool> mute{false};
  std::atomic<bool> speaker{true}; // true = speakers, false = headphones
  std::unique_ptr<InputFx> fx;     // hardware-output buses only
  PeakMeter meter;                 // after gain
  std::vector<float> mix;
  std::vector<float> scratch;
  std::array<std::vector<float>, 3> inputShares; // each hardware input's share of the block
  std::vector<float> echoWork;
  std::atomic<uint32_t> underruns{0};
  float lastGain = 1.0f;
  // Output callback only: the sample time of its last cycle (NaN: none since the link started)
  // and the link's start it belongs to.
  double lastCycleSample = std::numeric_limits<double>::quiet_NaN();
  uint32_t timedStarts = 0;
};

} // namespace velto
