#include "platform/audio/pipewire/mixer_node.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>
#include <spa/node/io.h>
#include <spa/utils/dict.h>

#include "platform/audio/layer/host_time.h"
#include "platform/audio/layer/properties.h"
#include "platform/audio/pipewire/driver_nodes.h"
#include "platform/audio/pipewire/pipewire_devices.h"
#include "platform/audio/pipewire/pipewire_provider.h"

namespace platform::audio {
namespace {

constexpr const char* kMixerName = "velto.mixer";
// Cycles a device that just started waits for the graph to take the buffer size it asked for;
// a server that keeps another quantum (one forced on it) is given in to after that.
constexpr uint32_t kSettleCycles = 16;
constexpr uint32_t kShortSettle = 4;
constexpr uint32_t kRate = 48000;

uint32_t numberOf(const spa_dict* props, const char* key, uint32_t otherwise) {
  const char* text = props != nullptr ? spa_dict_lookup(props, key) : nullptr;
  if (text == nullptr) return otherwise;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  return end != text ? uint32_t(value) : otherwise;
}

} // namespace

uint32_t MissedFrames::next(const spa_io_position& position) {
  // A driver moves its position on by the duration of the cycle it starts, new quantum or not.
  const uint64_t at = position.clock.position;
  const uint64_t due = last_ + position.clock.duration;
  const uint64_t gap = seen_ && position.clock.id == clock_ && at > due ? at - due : 0;
  seen_ = true;
  clock_ = position.clock.id;
  last_ = at;
  return gap <= kRate ? uint32_t(gap) : 0;
}

struct MixerNode::Hooks {
  pw_filter_events filterEvents{};
  spa_hook filterListener{};
  pw_registry_events registryEvents{};
  spa_hook registryListener{};
};

struct MixerNode::Member {
  std::atomic<PipewireProvider*> device{nullptr}; // null while parked
  bool parked = false; // control side: its device stopped; ports and links wait for its return
  uint32_t node = 0;   // the device's server node
  uint32_t inputs = 0;
  uint32_t outputs = 0;
  bool captureMonitor = false; // a duplex node hands its capture out of monitor ports
  uint32_t frames = kDefaultBufferFrames;
  std::atomic<uint32_t> askedFrames{kDefaultBufferFrames}; // `frames`, for the callback
  std::atomic<uint32_t> settle{kSettleCycles};             // cycles left to wait for it
  std::vector<void*> inPorts;                              // ours, fed by the device's capture
  std::vector<void*> outPorts;                             // ours, feeding the device's playback
  // Data thread: each port's buffer of this cycle (a port gives it once per cycle).
  std::vector<const float*> inBuffers;
  std::vector<float*> outBuffers;
  std::vector<std::string> inNames;
  std::vector<std::string> outNames;
  std::vector<pw_proxy*> inLinks; // null until linked
  std::vector<pw_proxy*> outLinks;
  std::vector<uint32_t> inPeers; // the device's port each link joins
  std::vector<uint32_t> outPeers;
  std::vector<float> captured; // interleaved
  std::vector<float> played;   // interleaved
};

struct MixerNode::Feed {
  DriverNodes::Node* node = nullptr;
  std::string name; // the node's node.name
  bool sink = false;
  uint32_t serverNode = SPA_ID_INVALID;
  std::vector<void*> ports; // a sink's two channels; a source's one ordering port
  std::vector<std::string> names;
  std::vector<pw_proxy*> links; // null until linked
  std::vector<uint32_t> peers;
  std::atomic<bool> linked{false};             // every link asked for
  std::atomic<uint32_t> settle{kSettleCycles}; // data thread: cycles before it is fed
  std::vector<float> block = std::vector<float>(size_t(kMaxBufferFrames) * 2); // interleaved
};

MixerNode::MixerNode(std::shared_ptr<PipewireConnection> connection)
    : connection_(std::move(connection)), hooks_(std::make_unique<Hooks>()) {
  pw_thread_loop_lock(connection_->loop);
  hooks_->registryEvents.version = PW_VERSION_REGISTRY_EVENTS;
  hooks_->registryEvents.global = &MixerNode::onGlobal;
  hooks_->registryEvents.global_remove = &MixerNode::onGlobalRemove;
  registry_ = pw_core_get_registry(connection_->core, PW_VERSION_REGISTRY, 0);
  if (registry_ != nullptr) {
    pw_registry_add_listener(registry_, &hooks_->registryListener, &hooks_->registryEvents, this);
  }
  pw_thread_loop_unlock(connection_->loop);
}

MixerNode::~MixerNode() {
  setDriver(nullptr);
  pw_thread_loop_lock(connection_->loop);
  // The node stops first and no cycle may hold a member any more before the members go.
  destroyFilter();
  for (std::atomic<Member*>& slot : slots_) slot.store(nullptr, std::memory_order_seq_cst);
  for (std::atomic<Feed*>& slot : feedSlots_) slot.store(nullptr, std::memory_order_seq_cst);
  waitIdle();
  for (const std::unique_ptr<Feed>& feed : feeds_) {
    for (pw_proxy* link : feed->links)
      if (link != nullptr) pw_proxy_destroy(link);
  }
  feeds_.clear();
  for (const std::unique_ptr<Member>& member : members_) {
    for (pw_proxy* link : member->inLinks)
      if (link != nullptr) pw_proxy_destroy(link);
    for (pw_proxy* link : member->outLinks)
      if (link != nullptr) pw_proxy_destroy(link);
  }
  members_.clear();
  if (registry_ != nullptr) {
    spa_hook_remove(&hooks_->registryListener);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
  }
  pw_thread_loop_unlock(connection_->loop);
}

void MixerNode::waitIdle() {
  while (users_.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
}

void MixerNode::setDriver(DriverNodes* driver) {
  DriverNodes* before = driver_.exchange(driver, std::memory_order_seq_cst);
  if (before == driver) return;
  // The clock runs here only while the node runs; else the driver's own nodes run it.
  if (before != nullptr) before->hostClock(false);
  waitIdle();
  if (driver != nullptr && filter_ != nullptr) driver->hostClock(true);
}

bool MixerNode::createFilter(uint32_t frames) {
  const std::string latency = std::to_string(frames) + "/" + std::to_string(kRate);
  pw_properties* props = pw_properties_new(
      PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Duplex", PW_KEY_MEDIA_ROLE, "DSP",
      PW_KEY_NODE_NAME, kMixerName, PW_KEY_NODE_DESCRIPTION, "Velto", PW_KEY_NODE_GROUP,
      kOwnNodeGroup, PW_KEY_NODE_LATENCY, latency.c_str(), PW_KEY_NODE_ALWAYS_PROCESS, "true",
      nullptr);
  filter_ = pw_filter_new(connection_->core, kMixerName, props);
  if (filter_ == nullptr) return false;
  hooks_->filterEvents.version = PW_VERSION_FILTER_EVENTS;
  hooks_->filterEvents.process = &MixerNode::onProcess;
  pw_filter_add_listener(filter_, &hooks_->filterListener, &hooks_->filterEvents, this);
  if (pw_filter_connect(filter_, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) != 0) {
    destroyFilter();
    return false;
  }
  for (const std::unique_ptr<Feed>& feed : feeds_) addFeedPorts(*feed);
  if (DriverNodes* driver = driver_.load()) driver->hostClock(true);
  return true;
}

void MixerNode::destroyFilter() {
  if (filter_ == nullptr) return;
  if (DriverNodes* driver = driver_.load()) driver->hostClock(false);
  spa_hook_remove(&hooks_->filterListener);
  pw_filter_destroy(filter_); // waits for a process callback in flight
  filter_ = nullptr;
}

void MixerNode::askQuantum() {
  if (filter_ == nullptr || members_.empty()) return;
  uint32_t frames = kMaxBufferFrames;
  bool any = false;
  for (const std::unique_ptr<Member>& member : members_) {
    if (member->parked) continue;
    frames = std::min(frames, member->frames);
    any = true;
  }
  if (!any) return;
  const std::string latency = std::to_string(frames) + "/" + std::to_string(kRate);
  const spa_dict_item items[] = {SPA_DICT_ITEM_INIT(PW_KEY_NODE_LATENCY, latency.c_str())};
  const spa_dict dict = SPA_DICT_INIT_ARRAY(items);
  pw_filter_update_properties(filter_, nullptr, &dict);
}

MixerNode::Member* MixerNode::attach(PipewireProvider& device, uint32_t frames) {
  const PipewireNode& node = device.node();
  // The same node back (a new buffer size binds every device again): its ports and links are
  // still there, and the graph stays as it was.
  const bool duplex = node.inputChannels > 0 && node.outputChannels > 0;
  const uint32_t outputs = duplex ? 0 : node.outputChannels;
  for (const std::unique_ptr<Member>& parked : members_) {
    if (!parked->parked || parked->node != node.id || parked->inputs != node.inputChannels ||
        parked->outputs != outputs)
      continue;
    pw_thread_loop_lock(connection_->loop);
    // Its links still in place, it runs from the first cycle: waiting would only drop the blocks
    // of a restart (a new buffer size reaches it once the graph takes it, as a running device).
    const bool linked = std::none_of(parked->inLinks.begin(), parked->inLinks.end(),
                                     [](pw_proxy* link) { return link == nullptr; }) &&
                        std::none_of(parked->outLinks.begin(), parked->outLinks.end(),
                                     [](pw_proxy* link) { return link == nullptr; });
    parked->parked = false;
    parked->frames = frames;
    parked->askedFrames.store(frames, std::memory_order_relaxed);
    parked->settle.store(linked ? 0 : kSettleCycles, std::memory_order_relaxed);
    askQuantum();
    linkPending();
    pw_thread_loop_unlock(connection_->loop);
    parked->device.store(&device, std::memory_order_seq_cst);
    return parked.get();
  }
  auto member = std::make_unique<Member>();
  member->node = node.id;
  member->inputs = node.inputChannels;
  member->captureMonitor = duplex;
  // A duplex node's playback would close a loop through this node (its capture feeds us): the
  // device plays through a stream of its own.
  member->outputs = outputs;
  member->frames = frames;
  member->askedFrames.store(frames, std::memory_order_relaxed);
  member->captured.assign(size_t(kMaxBufferFrames) * std::max(member->inputs, 1u), 0.0f);
  member->played.assign(size_t(kMaxBufferFrames) * std::max(member->outputs, 1u), 0.0f);
  size_t slot = kSlots;
  for (size_t s = 0; s < kSlots; ++s) {
    if (slots_[s].load(std::memory_order_relaxed) == nullptr) {
      slot = s;
      break;
    }
  }
  // Every slot taken: a parked member gives its slot up.
  for (size_t s = 0; s < kSlots && slot == kSlots; ++s) {
    Member* old = slots_[s].load(std::memory_order_relaxed);
    if (old == nullptr || !old->parked) continue;
    slots_[s].store(nullptr, std::memory_order_seq_cst);
    waitIdle();
    pw_thread_loop_lock(connection_->loop);
    release(*old);
    std::erase_if(members_, [&](const std::unique_ptr<Member>& m) { return m.get() == old; });
    pw_thread_loop_unlock(connection_->loop);
    slot = s;
  }
  if (slot == kSlots) return nullptr;

  pw_thread_loop_lock(connection_->loop);
  if (filter_ == nullptr && !createFilter(frames)) {
    pw_thread_loop_unlock(connection_->loop);
    return nullptr;
  }
  const uint32_t serial = ++serial_;
  bool made = true;
  for (int direction = 0; direction < 2 && made; ++direction) {
    const bool in = direction == 0;
    const uint32_t channels = in ? member->inputs : member->outputs;
    for (uint32_t c = 0; c < channels; ++c) {
      const std::string name =
          std::string(in ? "in_" : "out_") + std::to_string(serial) + "_" + std::to_string(c + 1);
      void* port =
          pw_filter_add_port(filter_, in ? PW_DIRECTION_INPUT : PW_DIRECTION_OUTPUT,
                             PW_FILTER_PORT_FLAG_MAP_BUFFERS, sizeof(uint32_t),
                             pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio",
                                               PW_KEY_PORT_NAME, name.c_str(), nullptr),
                             nullptr, 0);
      if (port == nullptr) {
        made = false;
        break;
      }
      (in ? member->inPorts : member->outPorts).push_back(port);
      (in ? member->inNames : member->outNames).push_back(name);
      (in ? member->inLinks : member->outLinks).push_back(nullptr);
      (in ? member->inPeers : member->outPeers).push_back(SPA_ID_INVALID);
    }
  }
  if (!made) {
    for (void* port : member->inPorts) pw_filter_remove_port(port);
    for (void* port : member->outPorts) pw_filter_remove_port(port);
    if (members_.empty()) destroyFilter();
    pw_thread_loop_unlock(connection_->loop);
    return nullptr;
  }
  Member* added = member.get();
  added->inBuffers.assign(added->inPorts.size(), nullptr);
  added->outBuffers.assign(added->outPorts.size(), nullptr);
  added->device.store(&device, std::memory_order_relaxed);
  members_.push_back(std::move(member));
  askQuantum();
  linkPending();
  pw_thread_loop_unlock(connection_->loop);
  // Seen by the callback only once its ports exist.
  slots_[slot].store(added, std::memory_order_seq_cst);
  return added;
}

void MixerNode::detach(Member* member) {
  if (member == nullptr) return;
  // Parked: the callback no longer runs the device and plays silence to its node.
  member->device.store(nullptr, std::memory_order_seq_cst);
  waitIdle();
  pw_thread_loop_lock(connection_->loop);
  member->parked = true;
  askQuantum();
  pw_thread_loop_unlock(connection_->loop);
}

bool MixerNode::addFeedPorts(Feed& feed) {
  if (filter_ == nullptr || !feed.ports.empty()) return filter_ != nullptr;
  const uint32_t serial = ++serial_;
  const uint32_t channels = feed.sink ? 2 : 1;
  for (uint32_t c = 0; c < channels; ++c) {
    const std::string name = std::string(feed.sink ? "feed_" : "order_") + std::to_string(serial) +
                             "_" + std::to_string(c + 1);
    void* port = pw_filter_add_port(filter_, PW_DIRECTION_INPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS,
                                    sizeof(uint32_t),
                                    pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio",
                                                      PW_KEY_PORT_NAME, name.c_str(), nullptr),
                                    nullptr, 0);
    if (port == nullptr) return false;
    feed.ports.push_back(port);
    feed.names.push_back(name);
    feed.links.push_back(nullptr);
    feed.peers.push_back(SPA_ID_INVALID);
  }
  return true;
}

void MixerNode::addFeed(DriverNodes::Node* node, const std::string& name, bool sink) {
  size_t slot = kSlots;
  for (size_t s = 0; s < kSlots && slot == kSlots; ++s) {
    if (feedSlots_[s].load(std::memory_order_relaxed) == nullptr) slot = s;
  }
  if (slot == kSlots) return; // the node runs on its own, as without a mixer
  auto feed = std::make_unique<Feed>();
  feed->node = node;
  feed->name = name;
  feed->sink = sink;
  Feed* added = feed.get();
  pw_thread_loop_lock(connection_->loop);
  feeds_.push_back(std::move(feed));
  addFeedPorts(*added);
  linkPending();
  pw_thread_loop_unlock(connection_->loop);
  feedSlots_[slot].store(added, std::memory_order_seq_cst);
}

void MixerNode::dropFeed(DriverNodes::Node* node) {
  for (std::atomic<Feed*>& slot : feedSlots_) {
    Feed* feed = slot.load(std::memory_order_relaxed);
    if (feed != nullptr && feed->node == node) slot.store(nullptr, std::memory_order_seq_cst);
  }
  waitIdle();
  DriverNodes::setFed(*node, false);
  pw_thread_loop_lock(connection_->loop);
  for (auto it = feeds_.begin(); it != feeds_.end();) {
    Feed& feed = **it;
    if (feed.node != node) {
      ++it;
      continue;
    }
    for (pw_proxy* link : feed.links)
      if (link != nullptr) pw_proxy_destroy(link);
    for (void* port : feed.ports) pw_filter_remove_port(port);
    it = feeds_.erase(it);
  }
  pw_thread_loop_unlock(connection_->loop);
}

void MixerNode::release(Member& member) {
  for (pw_proxy* link : member.inLinks)
    if (link != nullptr) pw_proxy_destroy(link);
  for (pw_proxy* link : member.outLinks)
    if (link != nullptr) pw_proxy_destroy(link);
  for (void* port : member.inPorts) pw_filter_remove_port(port);
  for (void* port : member.outPorts) pw_filter_remove_port(port);
}

void MixerNode::setFrames(Member* member, uint32_t frames) {
  if (member == nullptr) return;
  pw_thread_loop_lock(connection_->loop);
  // A running device keeps its cycles while the graph changes over to the new size: each cycle
  // left out would be a block lost on its way.
  member->frames = frames;
  member->askedFrames.store(frames, std::memory_order_relaxed);
  askQuantum();
  pw_thread_loop_unlock(connection_->loop);
}

void MixerNode::linkPending() {
  if (filter_ == nullptr) return;
  const uint32_t own = pw_filter_get_node_id(filter_);
  if (own == SPA_ID_INVALID) return;
  // Our port of a name, and the device's port of an index (by port.id) in one direction.
  auto ownPort = [&](const std::string& name) -> uint32_t {
    for (const auto& [id, port] : ports_) {
      if (port.node == own && port.name == name) return id;
    }
    return SPA_ID_INVALID;
  };
  auto devicePort = [&](uint32_t node, bool output, bool monitor, uint32_t index) -> uint32_t {
    std::vector<std::pair<uint32_t, uint32_t>> found; // port.id, global id
    for (const auto& [id, port] : ports_) {
      if (port.node == node && port.output == output && (!output || port.monitor == monitor))
        found.emplace_back(port.index, id);
    }
    // A virtual source hands its capture out of ports marked as monitors, and has no others.
    if (found.empty() && output && !monitor) {
      for (const auto& [id, port] : ports_) {
        if (port.node == node && port.output) found.emplace_back(port.index, id);
      }
    }
    std::sort(found.begin(), found.end());
    return index < found.size() ? found[index].second : SPA_ID_INVALID;
  };
  auto link = [&](uint32_t outNode, uint32_t outPort, uint32_t inNode, uint32_t inPort) {
    const std::string values[4] = {std::to_string(outNode), std::to_string(outPort),
                                   std::to_string(inNode), std::to_string(inPort)};
    pw_properties* props = pw_properties_new(
        PW_KEY_LINK_OUTPUT_NODE, values[0].c_str(), PW_KEY_LINK_OUTPUT_PORT, values[1].c_str(),
        PW_KEY_LINK_INPUT_NODE, values[2].c_str(), PW_KEY_LINK_INPUT_PORT, values[3].c_str(),
        PW_KEY_OBJECT_LINGER, "false", nullptr);
    auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(connection_->core, "link-factory",
                                                               PW_TYPE_INTERFACE_Link,
                                                               PW_VERSION_LINK, &props->dict, 0));
    pw_properties_free(props);
    return proxy;
  };
  for (const std::unique_ptr<Feed>& feed : feeds_) {
    if (feed->serverNode == SPA_ID_INVALID) {
      for (const auto& [id, name] : nodeNames_) {
        if (name == feed->name) feed->serverNode = id;
      }
    }
    if (feed->serverNode == SPA_ID_INVALID) continue;
    bool all = !feed->ports.empty(); // none while the node has no filter yet
    for (uint32_t c = 0; c < feed->ports.size(); ++c) {
      if (feed->links[c] == nullptr) {
        // A sink's monitor ports carry what was played into it; a source's first port orders it.
        const uint32_t from = devicePort(feed->serverNode, true, feed->sink, c);
        const uint32_t to = ownPort(feed->names[c]);
        if (from != SPA_ID_INVALID && to != SPA_ID_INVALID) {
          feed->links[c] = link(feed->serverNode, from, own, to);
          feed->peers[c] = from;
        }
      }
      all = all && feed->links[c] != nullptr;
    }
    feed->linked.store(all, std::memory_order_release);
  }
  for (const std::unique_ptr<Member>& member : members_) {
    for (uint32_t c = 0; c < member->inPorts.size(); ++c) {
      if (member->inLinks[c] != nullptr) continue;
      const uint32_t from = devicePort(member->node, true, member->captureMonitor, c);
      const uint32_t to = ownPort(member->inNames[c]);
      if (from != SPA_ID_INVALID && to != SPA_ID_INVALID) {
        member->inLinks[c] = link(member->node, from, own, to);
        member->inPeers[c] = from;
      }
    }
    for (uint32_t c = 0; c < member->outPorts.size(); ++c) {
      if (member->outLinks[c] != nullptr) continue;
      const uint32_t from = ownPort(member->outNames[c]);
      const uint32_t to = devicePort(member->node, false, false, c);
      if (from != SPA_ID_INVALID && to != SPA_ID_INVALID) {
        member->outLinks[c] = link(own, from, member->node, to);
        member->outPeers[c] = to;
      }
    }
  }
}

void MixerNode::onGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                         const spa_dict* props) {
  auto& self = *static_cast<MixerNode*>(data);
  if (props == nullptr) return;
  if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
    const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
    if (name == nullptr) return;
    self.nodeNames_[id] = name;
    self.linkPending();
    return;
  }
  if (std::strcmp(type, PW_TYPE_INTERFACE_Port) != 0) return;
  PortInfo port;
  port.node = numberOf(props, PW_KEY_NODE_ID, SPA_ID_INVALID);
  const char* direction = spa_dict_lookup(props, PW_KEY_PORT_DIRECTION);
  port.output = direction != nullptr && std::strcmp(direction, "out") == 0;
  const char* monitor = spa_dict_lookup(props, PW_KEY_PORT_MONITOR);
  port.monitor = monitor != nullptr && spa_atob(monitor);
  port.index = numberOf(props, PW_KEY_PORT_ID, 0);
  const char* name = spa_dict_lookup(props, PW_KEY_PORT_NAME);
  port.name = name != nullptr ? name : "";
  self.ports_[id] = std::move(port);
  self.linkPending();
}

void MixerNode::onGlobalRemove(void* data, uint32_t id) {
  auto& self = *static_cast<MixerNode*>(data);
  self.ports_.erase(id);
  self.nodeNames_.erase(id);
  for (const std::unique_ptr<Feed>& feed : self.feeds_) {
    if (feed->serverNode == id) feed->serverNode = SPA_ID_INVALID;
    for (size_t c = 0; c < feed->peers.size(); ++c) {
      if (feed->peers[c] != id) continue;
      if (feed->links[c] != nullptr) pw_proxy_destroy(feed->links[c]);
      feed->links[c] = nullptr;
      feed->peers[c] = SPA_ID_INVALID;
      feed->linked.store(false, std::memory_order_release);
    }
  }
  // A port of a device that went took its link along: linked anew once a port is there again.
  for (const std::unique_ptr<Member>& member : self.members_) {
    for (int direction = 0; direction < 2; ++direction) {
      std::vector<uint32_t>& peers = direction == 0 ? member->inPeers : member->outPeers;
      std::vector<pw_proxy*>& links = direction == 0 ? member->inLinks : member->outLinks;
      for (size_t c = 0; c < peers.size(); ++c) {
        if (peers[c] != id) continue;
        if (links[c] != nullptr) pw_proxy_destroy(links[c]);
        links[c] = nullptr;
        peers[c] = SPA_ID_INVALID;
      }
    }
  }
}

void MixerNode::onProcess(void* data, spa_io_position* position) {
  auto& self = *static_cast<MixerNode*>(data);
  if (position == nullptr) return;
  self.users_.fetch_add(1, std::memory_order_seq_cst);
  const uint32_t total =
      uint32_t(std::min<uint64_t>(position->clock.duration, 8 * kMaxBufferFrames));
  DriverNodes* driver = self.driver_.load(std::memory_order_seq_cst);
  const uint64_t start = driver != nullptr ? driver->mixerTime(*position, total) : hostTimeNow();
  std::array<Member*, kSlots> members{};
  std::array<PipewireProvider*, kSlots> devices{};
  for (size_t s = 0; s < kSlots; ++s) {
    Member* m = self.slots_[s].load(std::memory_order_seq_cst);
    members[s] = m;
    if (m == nullptr) continue;
    devices[s] = m->device.load(std::memory_order_seq_cst);
    // A device that just started waits a few cycles (its links take hold, its other callbacks
    // start), and until the graph runs at the size it asked for: its callbacks see only that size.
    uint32_t left = m->settle.load(std::memory_order_relaxed);
    if (left == 0) continue;
    if (position->clock.duration == m->askedFrames.load(std::memory_order_relaxed))
      left = std::min(left, kShortSettle);
    m->settle.store(left - 1, std::memory_order_relaxed);
    devices[s] = nullptr;
  }
  // The cycles missed were played without us: the devices' callbacks see the gap and count it.
  if (const uint32_t missed = self.missed_.next(*position); missed > 0) {
    for (PipewireProvider* device : devices)
      if (device != nullptr) device->skipMixerFrames(missed);
    if (driver != nullptr) driver->skipClock(missed);
  }
  for (Member* m : members) {
    if (m == nullptr) continue;
    for (size_t c = 0; c < m->inPorts.size(); ++c)
      m->inBuffers[c] = static_cast<const float*>(pw_filter_get_dsp_buffer(m->inPorts[c], total));
    for (size_t c = 0; c < m->outPorts.size(); ++c)
      m->outBuffers[c] = static_cast<float*>(pw_filter_get_dsp_buffer(m->outPorts[c], total));
  }

  // The driver's nodes linked in ran before us this cycle; from the next cycle on the ones fed
  // here leave their devices to this callback.
  std::array<Feed*, kSlots> feeds{};
  std::array<std::array<const float*, 2>, kSlots> played{}; // each port's buffer, taken once
  for (size_t s = 0; s < kSlots; ++s) {
    Feed* f = self.feedSlots_[s].load(std::memory_order_seq_cst);
    if (f == nullptr) continue;
    // Taken every cycle, fed or not: a buffer left untaken is not given back to its link.
    for (size_t c = 0; c < f->ports.size() && c < 2; ++c)
      played[s][c] = static_cast<const float*>(pw_filter_get_dsp_buffer(f->ports[c], total));
    bool fed = driver != nullptr && f->linked.load(std::memory_order_acquire);
    if (!fed) f->settle.store(kSettleCycles, std::memory_order_relaxed);
    const uint32_t left = f->settle.load(std::memory_order_relaxed);
    if (fed && left > 0) {
      f->settle.store(left - 1, std::memory_order_relaxed);
      fed = false;
    }
    fed = fed && (!f->sink || (played[s][0] != nullptr && played[s][1] != nullptr));
    DriverNodes::setFed(*f->node, fed);
    if (fed) feeds[s] = f;
  }

  // A quantum longer than the layer's buffers runs as several cycles, laid end to end.
  for (uint32_t done = 0; done < total;) {
    const uint32_t piece = std::min(total - done, kMaxBufferFrames);
    const uint64_t now = start + framesToNanoseconds(done);
    // What was played into the driver's sinks, on the time of the devices it meets.
    for (size_t s = 0; s < kSlots; ++s) {
      Feed* f = feeds[s];
      if (f == nullptr || !f->sink) continue;
      for (uint32_t c = 0; c < 2; ++c) {
        const float* in = played[s][c];
        for (uint32_t i = 0; i < piece; ++i) f->block[size_t(i) * 2 + c] = in[done + i];
      }
      DriverNodes::feedSink(*f->node, f->block.data(), piece, now);
    }
    // Inputs first: what every input captured this cycle reaches every output in the same one.
    for (Member* m : members) {
      if (m == nullptr || m->inputs == 0) continue;
      for (uint32_t c = 0; c < m->inputs; ++c) {
        const float* in = m->inBuffers[c];
        float* to = m->captured.data() + c;
        for (uint32_t f = 0; f < piece; ++f)
          to[size_t(f) * m->inputs] = in != nullptr ? in[done + f] : 0.0f;
      }
    }
    for (size_t s = 0; s < kSlots; ++s) {
      Member* m = members[s];
      if (devices[s] != nullptr && m->inputs > 0 && m->outputs == 0)
        devices[s]->runMixerCycle(m->captured.data(), nullptr, piece, now);
    }
    if (driver != nullptr) driver->runClock(position->clock.position + done, piece, now, true);
    for (size_t s = 0; s < kSlots; ++s) {
      Member* m = members[s];
      if (m == nullptr || m->outputs == 0) continue;
      PipewireProvider* device = devices[s];
      const bool ran =
          device != nullptr && device->runMixerCycle(m->inputs > 0 ? m->captured.data() : nullptr,
                                                     m->played.data(), piece, now);
      for (uint32_t c = 0; c < m->outputs; ++c) {
        float* out = m->outBuffers[c];
        if (out == nullptr) continue;
        const float* from = m->played.data() + c;
        for (uint32_t f = 0; f < piece; ++f)
          out[done + f] = ran ? from[size_t(f) * m->outputs] : 0.0f;
      }
    }
    // The driver's sources hand this on in their next cycle, which runs before ours.
    for (Feed* f : feeds) {
      if (f != nullptr && !f->sink)
        DriverNodes::prepareSource(*f->node, done, piece, now + framesToNanoseconds(total));
    }
    done += piece;
  }
  for (Feed* f : feeds) {
    if (f != nullptr && !f->sink) DriverNodes::handOver(*f->node, total);
  }
  self.users_.fetch_sub(1, std::memory_order_release);
}

} // namespace platform::audio
