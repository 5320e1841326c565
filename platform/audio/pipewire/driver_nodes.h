// The driver's visible devices as nodes of the PipeWire server, so that other applications play
// into and record from them: a device with only an output becomes a sink ("Audio/Sink"), one
// with only an input a source ("Audio/Source"). A node's name is kOwnNodePrefix + the device's
// UID, its description the device's name. Each node's process callback runs the device's I/O
// cycle in the plug-in host: a sink writes what it was played into the device, a source reads
// the device into what it hands on. All nodes share one node group and process even while
// nothing is linked to them, so one graph clock drives them; the first of them to run in a graph
// cycle also runs the cycles of the driver's devices the layer started (its graph clock). A
// node's volume and mute are its device's controls (NodeVolumes).
// Threading: publish and withdraw under the layer's control lock (they take the connection's
// loop lock); the process callbacks run on the connection's data thread and neither allocate
// nor lock.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "platform/audio/layer/system_state.h"
#include "platform/audio/pipewire/pipewire_node.h"

struct spa_io_position;

namespace platform::audio {

class NodeVolumes;

class DriverNodes {
public:
  explicit DriverNodes(std::shared_ptr<PipewireConnection> connection);
  ~DriverNodes(); // every node withdrawn
  DriverNodes(const DriverNodes&) = delete;
  DriverNodes& operator=(const DriverNodes&) = delete;

  // Offers the visible devices of a plug-in's provider; nothing for other providers.
  void publish(ProviderSlot& slot);
  // Removes the provider's nodes; no callback of theirs runs afterwards.
  void withdraw(ProviderSlot& slot);

  // What paces the driver's devices that the layer runs.
  GraphClock& clock() { return clock_; }

  // Control side: while hosted, the mixer's node runs the graph clock between its inputs and its
  // outputs, and the driver's own nodes no longer do.
  void hostClock(bool hosted) { hosted_.store(hosted, std::memory_order_seq_cst); }
  // Data thread: the host time of a graph position. Every node of the connection counts on one
  // line laid out by the graph's own frame count, so the rings of the driver's devices meet
  // exactly whatever the order of the nodes and however late the thread wakes; a jump of the
  // position (another driver, a restart of the graph) starts a new line. While the mixer's node
  // hosts the clock, a position is placed on the mixer's line.
  uint64_t timeOf(const spa_io_position& position);
  // Data thread, once per callback of the mixer's node: the host time its `frames` run at. The
  // line goes on by the frames it ran, not by the graph's position, so a cycle the mixer's node
  // missed (woken too late) leaves no gap between what its devices wrote and what they read next.
  uint64_t mixerTime(const spa_io_position& position, uint32_t frames);
  // Data thread: one cycle of every device on the graph clock for this graph position, once
  // unless `host` (the mixer's node, which runs it in each of its callbacks).
  void runClock(uint64_t position, uint32_t frames, uint64_t now, bool host);
  // Data thread, in the mixer's callback: graph cycles of `frames` in all that it missed, which
  // the devices on the graph clock went on without (DeviceIo::skip).
  void skipClock(uint32_t frames) { skipGraphCycles(clock_, frames); }

  struct Node;

  // Data thread, in the mixer's callback, for a node the mixer was handed (MixerNode::addFeed).
  // Once linked into the mixer's node a node runs before it in every graph cycle, and its device
  // runs here, on the mixer's own time, so no hand-over depends on the order or the lateness of
  // separately woken nodes. While `fed`, the node's own callback leaves its device alone.
  static void setFed(Node& node, bool fed);
  // A sink's device takes what was played into its node this cycle (interleaved stereo).
  static void feedSink(Node& node, float* interleaved, uint32_t frames, uint64_t now);
  // A source's device is read for its node's next cycle, `offset` frames into what the node
  // hands on then; `handOver` marks the `total` frames ready.
  static void prepareSource(Node& node, uint32_t offset, uint32_t frames, uint64_t now);
  static void handOver(Node& node, uint32_t total);

private:
  std::shared_ptr<PipewireConnection> connection_;
  std::unique_ptr<NodeVolumes> volumes_; // the nodes' volume and mute are their devices' controls
  std::vector<std::unique_ptr<Node>> nodes_;
  GraphClock clock_;
  std::atomic<bool> hosted_{false};
  // Data thread only.
  uint64_t lastPosition_ = UINT64_MAX;
  uint64_t lineStart_ = 0;    // host time of lineFrames_
  uint64_t lineFrames_ = 0;   // graph position the line starts at
  uint64_t lineClock_ = 0;    // the graph clock's id
  uint64_t linePosition_ = 0; // the last position seen
  uint64_t mixTime_ = 0;      // where the mixer's last callback ran, 0: no line yet
  uint64_t mixFrames_ = 0;    // how many frames it ran
  uint64_t mixPosition_ = 0;  // at which graph position
  uint64_t mixClock_ = 0;
  uint64_t graphTime(const spa_io_position& position);
  bool mixerRanLately(const spa_io_position& position) const; // within the last 8 cycles
};

} // namespace platform::audio
