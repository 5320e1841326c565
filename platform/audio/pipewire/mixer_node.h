// One node of Velto's own on the PipeWire server through which every bound device's sound goes:
// each running device adds its channels as ports of this node, linked port by port to the
// device's node. One process callback per graph cycle reads every input, runs the cycles of the
// input devices, then of the driver's devices (the graph clock), then of the output devices, and
// writes every output, so the graph orders source -> Velto -> sink inside one cycle and nothing
// between them depends on the order or the count of separately scheduled streams.
// A duplex device only captures here: its playback, which would close a loop in the graph, stays
// a stream of the device's own.
// The node is made when the first device is attached and stays until the connection ends.
// Threading: attach, detach and setFrames under the layer's control lock (they take the
// connection's loop lock); the process callback runs on the connection's data thread and neither
// allocates nor locks.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/pipewire/driver_nodes.h"
#include "platform/audio/pipewire/pipewire_node.h"

struct pw_filter;
struct pw_registry;
struct pw_proxy;
struct spa_io_position;
struct spa_dict;

namespace platform::audio {

class PipewireProvider;

// Data thread: the frames of graph cycles the mixer's node was not called for (its thread woke
// too late) since its last callback; none for the first callback, a new driver, a position that
// went back or one that ran on by more than a second.
class MissedFrames {
public:
  uint32_t next(const spa_io_position& position);

private:
  bool seen_ = false;
  uint64_t clock_ = 0;
  uint64_t last_ = 0; // the last callback's position
};

class MixerNode {
public:
  explicit MixerNode(std::shared_ptr<PipewireConnection> connection);
  ~MixerNode(); // every device detached before
  MixerNode(const MixerNode&) = delete;
  MixerNode& operator=(const MixerNode&) = delete;

  struct Member;
  struct Feed;

  // The device's channels become ports linked to its node; its cycles run in this node's
  // callback from now on (a device new to the node, or whose links went, after a few cycles for
  // them to take hold). Null when the node or its ports could not be made.
  Member* attach(PipewireProvider& device, uint32_t frames);
  // No callback runs the member's device afterwards; its ports and links stay (silent) for the
  // same node to come back to.
  void detach(Member* member);
  // The buffer size the device asks for; the node asks the server for the smallest. The device's
  // cycles go on at the graph's size until the graph takes it.
  void setFrames(Member* member, uint32_t frames);
  // The driver's nodes whose graph clock runs between inputs and outputs (null: none). Waits
  // until no callback uses the one before.
  void setDriver(DriverNodes* driver);
  // A node of the driver (server name `name`) is linked into this node, so it runs before it in
  // every cycle: a sink's monitor ports feed ports of ours, a source's first port an ordering
  // port. Once linked, the node's device runs in this node's callback (DriverNodes::feedSink,
  // prepareSource). dropFeed waits until no callback uses the node.
  void addFeed(DriverNodes::Node* node, const std::string& name, bool sink);
  void dropFeed(DriverNodes::Node* node);

  struct PortInfo {
    uint32_t node = 0;
    bool output = false; // sound comes out of it
    bool monitor = false;
    uint32_t index = 0; // port.id within its direction
    std::string name;
  };

private:
  static void onProcess(void* data, spa_io_position* position); // data thread
  static void onGlobal(void* data, uint32_t id, uint32_t permissions, const char* type,
                       uint32_t version, const spa_dict* props);
  static void onGlobalRemove(void* data, uint32_t id);
  bool createFilter(uint32_t frames); // loop lock held
  void destroyFilter();               // loop lock held
  void release(Member& member);       // loop lock held: its links and ports go
  bool addFeedPorts(Feed& feed);      // loop lock held
  void linkPending();                 // loop lock held
  void askQuantum();                  // loop lock held
  void waitIdle();

  std::shared_ptr<PipewireConnection> connection_;
  pw_filter* filter_ = nullptr;
  pw_registry* registry_ = nullptr;
  struct Hooks;
  std::unique_ptr<Hooks> hooks_;
  std::map<uint32_t, PortInfo> ports_;        // loop thread: every port of the server
  std::map<uint32_t, std::string> nodeNames_; // loop thread: every node of the server
  std::vector<std::unique_ptr<Feed>> feeds_;
  std::vector<std::unique_ptr<Member>> members_;
  static constexpr size_t kSlots = 32;
  std::array<std::atomic<Member*>, kSlots> slots_{}; // what the callback runs, in order
  std::array<std::atomic<Feed*>, kSlots> feedSlots_{};
  std::atomic<DriverNodes*> driver_{nullptr};
  std::atomic<uint32_t> users_{0}; // callbacks under way
  MissedFrames missed_;            // data thread
  uint32_t serial_ = 0;            // names our ports apart
};

} // namespace platform::audio
