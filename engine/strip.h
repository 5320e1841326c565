// One mixable signal path: gain with ramp, mute, route mask, peak meter and one ring per
// destination. Embedded in every strip kind the engine owns. The control side writes `gain`,
// `mute` and `routeMask` (atomics) and takes `meter`; the producing audio callback runs produce().
#pragma once

#include "core/peak_meter.h"
#include "core/stereo_ring.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velto {

class NoiseFilter;
class FxChain;

// Destinations a route mask can reach: buses 0..5, or virtual inputs 0..3 for application strips
// and the system sound.
inline constexpr int kRouteDestinations = 6;

// How long a routed source may stay silent before it counts as stopped rather than broken:
// 100 ms at 48 kHz.
inline constexpr uint32_t kBreakFrames = 4800;

// The reading side of one ring (the consumer's audio thread): blocks it found empty while the
// source ran. They count as a break once the source writes again within kBreakFrames; a source
// that stays silent longer has stopped, and its empty blocks count for nothing.
struct RingWatch {
  uint64_t written = 0;                // the ring's write index at the last read
  uint32_t quietFrames = kBreakFrames; // frames read empty since then; starts as stopped
  uint32_t emptyBlocks = 0;            // empty reads not yet counted
  bool fresh = false; // the reader's first cycle after a start: what piled up meanwhile goes
};

// One channel inside a device buffer.
struct ChannelRef {
  const float* data = nullptr; // first sample of the channel; null reads as silence
  uint32_t stride = 1;         // floats between two frames: channel count if interleaved, else 1
};

struct Strip {
  // main thread, before any callback runs: names the strip and creates its scratch and rings.
  void init(const std::string& stripName);
  // main thread: back to unrouted, 0 dB, unmuted (an application slot being refilled).
  void reset();
  // audio thread: runs one block and writes it to every routed ring.
  void produce(ChannelRef left, ChannelRef right, uint32_t frames);

  // The route in force: `routeMask`, or `defaultRoute` while the mask is 0.
  uint32_t effectiveRoute() const;

  std::string name;
  std::atomic<float> gain{1.0f};
  std::atomic<bool> mute{false};
  std::atomic<uint32_t> routeMask{0};
  uint32_t defaultRoute = 0;
  StereoRing* analysisRing = nullptr; // hardware inputs only; not owned
  NoiseFilter* noiseFilter = nullptr; // hardware inputs only; not owned
  FxChain* fxChain = nullptr;         // hardware inputs only; not owned
  PeakMeter meter;                    // after gain
  std::array<std::unique_ptr<StereoRing>, kRouteDestinations> rings;
  std::array<RingWatch, kRouteDestinations> watches; // consumer side, one per ring
  std::vector<float> scratch;
  float lastGain = 1.0f; // audio thread: gain of the last frame of the previous block
};

} // namespace velto
