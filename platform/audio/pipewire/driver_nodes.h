// The driver's visible devices as nodes of the PipeWire server, so that other applications play
// into and record from them: a device with only an output becomes a sink ("Audio/Sink"), one
// with only an input a source ("Audio/Source"). A node's name is kOwnNodePrefix + the device's
// UID, its description the device's name. Each node's process callback runs the device's I/O
// cycle in the plug-in host: a sink writes what it was played into the device, a source reads
// the device into what it hands on. All nodes share one node group, so one graph clock drives
// them.
// Threading: publish and withdraw under the layer's control lock (they take the connection's
// loop lock); the process callbacks run on the connection's data thread and neither allocate
// nor lock.
#pragma once

#include <memory>
#include <vector>

#include "platform/audio/pipewire/pipewire_node.h"

namespace platform::audio {

struct ProviderSlot;

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

  struct Node;

private:
  std::shared_ptr<PipewireConnection> connection_;
  std::vector<std::unique_ptr<Node>> nodes_;
};

} // namespace platform::audio
