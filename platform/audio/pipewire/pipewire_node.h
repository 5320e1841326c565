// What the PipeWire devices share inside the layer: the connection (thread loop, context, core)
// and a node as it is seen as a device. Not for clients.
// Threading: `loop` guards everything of the connection; take it with pw_thread_loop_lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct pw_thread_loop;
struct pw_context;
struct pw_core;

namespace platform::audio {

class MixerNode;

struct PipewireConnection {
  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  // The node the devices run through; set and cleared under the layer's control lock (null: each
  // device runs streams of its own).
  MixerNode* mixer = nullptr;
  ~PipewireConnection();
};

// The latency the server tells for one direction of a node's ports, in its own parts (the
// largest over the ports).
struct PipewireLatency {
  float quanta = 0.0f; // in graph cycles
  uint32_t frames = 0; // at the graph's rate
  uint64_t nanoseconds = 0;
  double graphRate = 48000.0; // the rate `frames` counts in
  bool operator==(const PipewireLatency&) const = default;
};

struct PipewireNode {
  uint32_t id = 0; // the server's global id
  std::string name;
  std::string description;
  std::vector<std::string> positions; // channel position names, e.g. FL FR
  uint32_t inputChannels = 0;         // a source (or duplex): what Velto reads
  uint32_t outputChannels = 0;        // a sink (or duplex): what Velto plays
  double rate = 48000.0;
  bool isVirtual = false;
  PipewireLatency inputLatency;  // from the node's origin to what Velto reads
  PipewireLatency outputLatency; // from what Velto plays to the node's end
};

} // namespace platform::audio
