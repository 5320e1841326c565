#include "platform/audio/pipewire/pipewire_devices.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/raw.h>
#include <spa/param/latency-utils.h>
#include <spa/utils/dict.h>
#include <spa/utils/json.h>

#include "platform/audio/layer/system_state.h"
#include "platform/audio/pipewire/app_streams.h"
#include "platform/audio/pipewire/driver_nodes.h"
#include "platform/audio/pipewire/mixer_node.h"
#include "platform/audio/pipewire/pipewire_node.h"
#include "platform/audio/pipewire/pipewire_provider.h"

namespace platform::audio {

PipewireConnection::~PipewireConnection() {
  if (loop != nullptr && core != nullptr) {
    pw_thread_loop_lock(loop);
    pw_core_disconnect(core);
    pw_thread_loop_unlock(loop);
  }
  if (loop != nullptr) pw_thread_loop_stop(loop);
  if (context != nullptr) pw_context_destroy(context);
  if (loop != nullptr) pw_thread_loop_destroy(loop);
}

namespace {

constexpr double kStreamRate = 48000.0;

struct Event {
  enum Kind { Add, Remove, RemoveAll, Marker, Default, Latency } kind;
  uint32_t id = 0;        // Default: 1 for the output, 0 for the input
  PipewireNode node = {}; // Default: only the name (empty: none)
};

// The server's default devices and where a new choice is written.
constexpr const char* kDefaultSinkKey = "default.audio.sink";
constexpr const char* kDefaultSourceKey = "default.audio.source";
constexpr const char* kConfiguredSinkKey = "default.configured.audio.sink";
constexpr const char* kConfiguredSourceKey = "default.configured.audio.source";

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Which media classes are devices, and which way they go.
bool deviceClass(const char* mediaClass, bool* input, bool* output, bool* isVirtual) {
  if (mediaClass == nullptr) return false;
  std::string c = mediaClass;
  *isVirtual = false;
  const std::string virtualSuffix = "/Virtual";
  if (c.size() > virtualSuffix.size() &&
      c.compare(c.size() - virtualSuffix.size(), virtualSuffix.size(), virtualSuffix) == 0) {
    c.resize(c.size() - virtualSuffix.size());
    *isVirtual = true;
  }
  *input = c == "Audio/Source" || c == "Audio/Duplex";
  *output = c == "Audio/Sink" || c == "Audio/Duplex";
  return *input || *output;
}

// "[ FL FR ]" or "FL,FR" into its names.
std::vector<std::string> positionNames(const char* text) {
  std::vector<std::string> names;
  if (text == nullptr) return names;
  std::string name;
  for (const char* p = text;; ++p) {
    const char c = *p;
    if (c != '\0' && (std::isalnum(static_cast<unsigned char>(c)) || c == '_')) {
      name += c;
      continue;
    }
    if (!name.empty()) names.push_back(name);
    name.clear();
    if (c == '\0') break;
  }
  return names;
}

uint32_t positiveNumber(const char* text) {
  if (text == nullptr) return 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  return end != text && value > 0 && value < 1000000 ? uint32_t(value) : 0;
}

// The node name in a default's value, {"name":"..."}; empty when there is none.
std::string nodeNameOf(const char* value) {
  if (value == nullptr) return {};
  spa_json outer, inner;
  spa_json_init(&outer, value, std::strlen(value));
  if (spa_json_enter_object(&outer, &inner) <= 0) return {};
  char key[64];
  while (spa_json_get_string(&inner, key, sizeof key) > 0) {
    if (std::strcmp(key, "name") == 0) {
      char name[1024];
      return spa_json_get_string(&inner, name, sizeof name) > 0 ? std::string(name) : "";
    }
    const char* skipped = nullptr;
    if (spa_json_next(&inner, &skipped) <= 0) break;
  }
  return {};
}

std::string defaultValue(const std::string& name) {
  std::string value = "{\"name\":\"";
  for (char c : name) {
    if (c == '"' || c == '\\') value += '\\';
    value += c;
  }
  return value + "\"}";
}

class Monitor;

// Written under gStartStop and the control lock, read under either.
std::unique_ptr<DriverNodes> gDriverNodes;
std::unique_ptr<MixerNode> gMixer;

// One server node we follow; lives on the loop thread.
struct NodeWatch {
  Monitor* monitor = nullptr;
  uint32_t id = 0;
  bool input = false;
  bool output = false;
  bool isVirtual = false;
  pw_node* proxy = nullptr;
  spa_hook listener{};
  bool announced = false;
  PipewireLatency inputLatency; // what its ports tell, the largest
  PipewireLatency outputLatency;
};

// A port of a node we follow, for the latency the server tells on it; lives on the loop thread.
struct PortWatch {
  Monitor* monitor = nullptr;
  uint32_t node = 0;
  bool output = false; // a port the node's sound comes out of: what Velto reads
  pw_port* proxy = nullptr;
  spa_hook listener{};
  PipewireLatency latency;
};

class Monitor {
public:
  explicit Monitor(std::shared_ptr<PipewireConnection> connection)
      : connection_(std::move(connection)) {}

  // Loop lock held.
  void attach() {
    coreEvents_.version = PW_VERSION_CORE_EVENTS;
    coreEvents_.info = &Monitor::onCoreInfo;
    coreEvents_.done = &Monitor::onCoreDone;
    coreEvents_.error = &Monitor::onCoreError;
    pw_core_add_listener(connection_->core, &coreListener_, &coreEvents_, this);
    registryEvents_.version = PW_VERSION_REGISTRY_EVENTS;
    registryEvents_.global = &Monitor::onGlobal;
    registryEvents_.global_remove = &Monitor::onGlobalRemove;
    registry_ = pw_core_get_registry(connection_->core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry_, &registryListener_, &registryEvents_, this);
    syncSeq_ = pw_core_sync(connection_->core, PW_ID_CORE, 0);
  }

  // Loop lock held: waits (a second at most) until the server has taken what was sent, such as a
  // default chosen right before quitting.
  void flush() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (dead_) return;
    }
    flushed_ = false;
    flushSeq_ = pw_core_sync(connection_->core, PW_ID_CORE, 0);
    while (!flushed_) {
      if (pw_thread_loop_timed_wait(connection_->loop, 1) != 0) break;
    }
  }

  // Loop lock held.
  void detach() {
    dropMetadata();
    for (auto& [id, watch] : watches_) dropWatch(*watch);
    watches_.clear();
    for (auto& [id, port] : ports_) dropPort(*port);
    ports_.clear();
    if (registry_ != nullptr) {
      spa_hook_remove(&registryListener_);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
      registry_ = nullptr;
    }
    spa_hook_remove(&coreListener_);
  }

  void startApplier() {
    applier_ = std::thread([this] { applyLoop(); });
  }

  void stopApplier() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (applier_.joinable()) applier_.join();
  }

  // True once the first listing is in the layer; false when the server did not answer in time.
  bool waitListed(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return applied_.wait_for(lock, timeout, [&] { return listed_ || dead_; }) && listed_;
  }

  // Control lock held: every device of ours leaves the layer.
  void removeAll(AudioSystem& system) {
    for (auto& [id, slot] : slots_) {
      if (live(system, slot)) unregisterProvider(system, slot);
    }
    slots_.clear();
    waiting_.clear();
  }

  // The device with this UID went: the first node that waited for its UID takes its place.
  void promoteWaiting(AudioSystem& system, const std::string& uid) {
    if (uid.empty() || findDeviceByUid(system, uid) != nullptr) return;
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
      if (it->second.name != uid) continue;
      slots_[it->first] =
          registerProvider(system, std::make_unique<PipewireProvider>(it->second, connection_));
      waiting_.erase(it);
      return;
    }
  }

  const std::shared_ptr<PipewireConnection>& connection() const { return connection_; }
  SharedMetadata& sharedMetadata() { return shared_; }

  // True once the server went away.
  bool dead() {
    std::lock_guard<std::mutex> lock(mutex_);
    return dead_;
  }

  // Control lock held: a client chose the default device with this UID; the server's configured
  // default becomes its node (the driver's devices are published as velto.<UID>).
  void writeDefault(AudioSystem& system, bool output, const std::string& uid) {
    const DeviceEntry* device = findDeviceByUid(system, uid);
    if (device == nullptr) return;
    const bool ours = device->provider->provider->isPlugIn();
    const std::string name = ours ? std::string(kOwnNodePrefix) + uid : uid;
    const std::string value = defaultValue(name);
    pw_thread_loop_lock(connection_->loop);
    if (metadata_ != nullptr) {
      pw_metadata_set_property(metadata_, PW_ID_CORE,
                               output ? kConfiguredSinkKey : kConfiguredSourceKey,
                               "Spa:String:JSON", value.c_str());
    }
    pw_thread_loop_unlock(connection_->loop);
  }

private:
  static bool live(AudioSystem& system, ProviderSlot* slot) {
    for (const std::unique_ptr<ProviderSlot>& s : system.providers) {
      if (s.get() == slot) return true;
    }
    return false;
  }

  void post(Event event) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(std::move(event));
    }
    wake_.notify_all();
  }

  void dropMetadata() {
    shared_.proxy = nullptr;
    shared_.properties.clear();
    if (metadata_ == nullptr) return;
    spa_hook_remove(&metadataListener_);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(metadata_));
    metadata_ = nullptr;
  }

  void dropWatch(NodeWatch& watch) {
    spa_hook_remove(&watch.listener);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(watch.proxy));
  }

  static void dropPort(PortWatch& port) {
    spa_hook_remove(&port.listener);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(port.proxy));
  }

  // The layer side: applies what the loop thread saw, with the control lock and without the
  // loop lock (the control side takes the loop lock under the control lock, never reversed).
  void applyLoop() {
    AudioSystem& system = audioSystem();
    for (;;) {
      std::deque<Event> batch;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return stopping_ || !events_.empty(); });
        if (stopping_) return;
        batch.swap(events_);
      }
      bool marker = false;
      {
        std::lock_guard<std::mutex> control(system.control);
        if (system.running) {
          const DefaultIds before = currentDefaults(system);
          bool listed = false;
          bool chosen = false;
          for (Event& event : batch) {
            if (event.kind == Event::Default) {
              chosen = true;
              applyDefault(system, event);
            } else {
              listed |= apply(system, event, &marker);
            }
          }
          if (listed || chosen) devicesChanged(system, before, listed);
        } else {
          for (const Event& event : batch) marker |= event.kind == Event::Marker;
        }
      }
      if (marker) {
        std::lock_guard<std::mutex> lock(mutex_);
        listed_ = true;
      }
      applied_.notify_all();
    }
  }

  // The server's default node as the layer's default device: a node of the driver's stands for
  // the driver's device with its UID.
  static void applyDefault(AudioSystem& system, const Event& event) {
    std::string uid = event.node.name;
    if (startsWith(uid, kOwnNodePrefix)) uid.erase(0, std::strlen(kOwnNodePrefix));
    (event.id != 0 ? system.defaultOutputUid : system.defaultInputUid) = uid;
  }

  bool apply(AudioSystem& system, Event& event, bool* marker) {
    auto known = slots_.find(event.id);
    switch (event.kind) {
    case Event::Add:
      if (known != slots_.end()) return false;
      if (findDeviceByUid(system, event.node.name) != nullptr) {
        // A UID belongs to one device only; the other node waits until that device goes.
        waiting_[event.id] = std::move(event.node);
        return false;
      }
      slots_[event.id] =
          registerProvider(system, std::make_unique<PipewireProvider>(event.node, connection_));
      return true;
    case Event::Remove: {
      if (known == slots_.end()) {
        waiting_.erase(event.id);
        return false;
      }
      std::string uid;
      if (live(system, known->second)) {
        uid = static_cast<PipewireProvider&>(*known->second->provider).node().name;
        unregisterProvider(system, known->second);
      }
      slots_.erase(known);
      promoteWaiting(system, uid);
      return true;
    }
    case Event::RemoveAll: {
      const bool any = !slots_.empty();
      removeAll(system);
      // No graph paces the driver's devices any more: they go back to threads of their own.
      if (gDriverNodes) setGraphClock(system, nullptr);
      return any;
    }
    case Event::Marker:
      *marker = true;
      return false;
    case Event::Default:
      return false;
    case Event::Latency:
      if (auto waiting = waiting_.find(event.id); waiting != waiting_.end()) {
        waiting->second.inputLatency = event.node.inputLatency;
        waiting->second.outputLatency = event.node.outputLatency;
      }
      if (known != slots_.end() && live(system, known->second)) {
        auto& provider = static_cast<PipewireProvider&>(*known->second->provider);
        provider.setLatency(true, event.node.inputLatency);
        provider.setLatency(false, event.node.outputLatency);
      }
      return false;
    }
    return false;
  }

  // Loop thread from here on.
  static void onCoreInfo(void* data, const pw_core_info* info) {
    auto& self = *static_cast<Monitor*>(data);
    if (info->props == nullptr) return;
    const uint32_t rate = positiveNumber(spa_dict_lookup(info->props, "default.clock.rate"));
    if (rate != 0) self.clockRate_ = rate;
  }

  static void onCoreDone(void* data, uint32_t id, int seq) {
    auto& self = *static_cast<Monitor*>(data);
    if (id == PW_ID_CORE && seq == self.flushSeq_) {
      self.flushed_ = true;
      pw_thread_loop_signal(self.connection_->loop, false);
      return;
    }
    if (id != PW_ID_CORE || seq != self.syncSeq_) return;
    // First round: every global is known and bound; second: their infos have arrived.
    if (++self.syncRound_ == 1) {
      self.syncSeq_ = pw_core_sync(self.connection_->core, PW_ID_CORE, 0);
    } else if (self.syncRound_ == 2) {
      self.post(Event{Event::Marker});
    }
  }

  static void onCoreError(void* data, uint32_t id, int, int res, const char*) {
    auto& self = *static_cast<Monitor*>(data);
    if (id != PW_ID_CORE || res != -EPIPE) return;
    // The server went away: so did its devices.
    {
      std::lock_guard<std::mutex> lock(self.mutex_);
      self.dead_ = true;
    }
    self.applied_.notify_all();
    self.post(Event{Event::RemoveAll});
  }

  static void onGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                       const spa_dict* props) {
    auto& self = *static_cast<Monitor*>(data);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
      self.bindMetadata(id, props);
      return;
    }
    if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
      self.watchPort(id, props);
      return;
    }
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0 || props == nullptr) return;
    auto watch = std::make_unique<NodeWatch>();
    if (!deviceClass(spa_dict_lookup(props, PW_KEY_MEDIA_CLASS), &watch->input, &watch->output,
                     &watch->isVirtual)) {
      return;
    }
    const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
    if (name != nullptr && startsWith(name, kOwnNodePrefix)) return;
    watch->monitor = &self;
    watch->id = id;
    watch->proxy = static_cast<pw_node*>(
        pw_registry_bind(self.registry_, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
    if (watch->proxy == nullptr) return;
    static const pw_node_events kNodeEvents = [] {
      pw_node_events events{};
      events.version = PW_VERSION_NODE_EVENTS;
      events.info = &Monitor::onNodeInfo;
      return events;
    }();
    pw_node_add_listener(watch->proxy, &watch->listener, &kNodeEvents, watch.get());
    self.watches_[id] = std::move(watch);
  }

  // The ports of the nodes we follow tell their latency (monitor ports only repeat a sink's).
  void watchPort(uint32_t id, const spa_dict* props) {
    if (props == nullptr) return;
    const uint32_t node = positiveNumber(spa_dict_lookup(props, PW_KEY_NODE_ID));
    const char* direction = spa_dict_lookup(props, PW_KEY_PORT_DIRECTION);
    const char* monitor = spa_dict_lookup(props, PW_KEY_PORT_MONITOR);
    if (watches_.count(node) == 0 || direction == nullptr ||
        (monitor != nullptr && spa_atob(monitor))) {
      return;
    }
    auto port = std::make_unique<PortWatch>();
    port->monitor = this;
    port->node = node;
    port->output = std::strcmp(direction, "out") == 0;
    port->latency.graphRate = clockRate_;
    port->proxy = static_cast<pw_port*>(
        pw_registry_bind(registry_, id, PW_TYPE_INTERFACE_Port, PW_VERSION_PORT, 0));
    if (port->proxy == nullptr) return;
    static const pw_port_events kPortEvents = [] {
      pw_port_events events{};
      events.version = PW_VERSION_PORT_EVENTS;
      events.param = &Monitor::onPortParam;
      return events;
    }();
    pw_port_add_listener(port->proxy, &port->listener, &kPortEvents, port.get());
    uint32_t ids[] = {SPA_PARAM_Latency};
    pw_port_subscribe_params(port->proxy, ids, 1);
    ports_[id] = std::move(port);
  }

  static void onPortParam(void* data, int, uint32_t id, uint32_t, uint32_t, const spa_pod* param) {
    auto& port = *static_cast<PortWatch*>(data);
    spa_latency_info info{};
    if (id != SPA_PARAM_Latency || param == nullptr || spa_latency_parse(param, &info) < 0) return;
    // An output port's latency looks back to where its sound began (capture); an input port's
    // looks ahead to where it ends (playback).
    if (info.direction != (port.output ? SPA_DIRECTION_OUTPUT : SPA_DIRECTION_INPUT)) return;
    PipewireLatency latency{info.max_quantum, info.max_rate, info.max_ns, port.monitor->clockRate_};
    if (latency == port.latency) return;
    port.latency = latency;
    port.monitor->latencyChanged(port.node);
  }

  // The node's latency per side is the largest its ports tell; told on once it is a device.
  void latencyChanged(uint32_t node) {
    auto watch = watches_.find(node);
    if (watch == watches_.end()) return;
    PipewireLatency sides[2] = {{}, {}}; // input, output
    sides[0].graphRate = sides[1].graphRate = clockRate_;
    for (const auto& [id, port] : ports_) {
      if (port->node != node) continue;
      PipewireLatency& side = sides[port->output ? 0 : 1];
      side.quanta = std::max(side.quanta, port->latency.quanta);
      side.frames = std::max(side.frames, port->latency.frames);
      side.nanoseconds = std::max(side.nanoseconds, port->latency.nanoseconds);
    }
    NodeWatch& w = *watch->second;
    if (w.inputLatency == sides[0] && w.outputLatency == sides[1]) return;
    w.inputLatency = sides[0];
    w.outputLatency = sides[1];
    if (!w.announced) return; // the announcement carries it
    PipewireNode figures;
    figures.inputLatency = sides[0];
    figures.outputLatency = sides[1];
    post(Event{Event::Latency, node, std::move(figures)});
  }

  void bindMetadata(uint32_t id, const spa_dict* props) {
    const char* name = props != nullptr ? spa_dict_lookup(props, PW_KEY_METADATA_NAME) : nullptr;
    if (metadata_ != nullptr || name == nullptr || std::strcmp(name, "default") != 0) return;
    metadata_ = static_cast<pw_metadata*>(
        pw_registry_bind(registry_, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
    if (metadata_ == nullptr) return;
    shared_.proxy = metadata_;
    metadataId_ = id;
    static const pw_metadata_events kMetadataEvents = [] {
      pw_metadata_events events{};
      events.version = PW_VERSION_METADATA_EVENTS;
      events.property = &Monitor::onMetadataProperty;
      return events;
    }();
    pw_metadata_add_listener(metadata_, &metadataListener_, &kMetadataEvents, this);
  }

  static int onMetadataProperty(void* data, uint32_t subject, const char* key, const char*,
                                const char* value) {
    auto& self = *static_cast<Monitor*>(data);
    self.shared_.remember(subject, key, value);
    if (subject != PW_ID_CORE) return 0;
    // No key: everything was cleared, the defaults too.
    const bool sink = key == nullptr || std::strcmp(key, kDefaultSinkKey) == 0;
    const bool source = key == nullptr || std::strcmp(key, kDefaultSourceKey) == 0;
    PipewireNode node;
    if (key != nullptr) node.name = nodeNameOf(value);
    if (sink) self.post(Event{Event::Default, 1, node});
    if (source) self.post(Event{Event::Default, 0, node});
    return 0;
  }

  static void onGlobalRemove(void* data, uint32_t id) {
    auto& self = *static_cast<Monitor*>(data);
    if (self.metadata_ != nullptr && id == self.metadataId_) {
      self.dropMetadata();
      return;
    }
    auto port = self.ports_.find(id);
    if (port != self.ports_.end()) {
      const uint32_t node = port->second->node;
      dropPort(*port->second);
      self.ports_.erase(port);
      self.latencyChanged(node);
      return;
    }
    auto it = self.watches_.find(id);
    if (it == self.watches_.end()) return;
    if (it->second->announced) self.post(Event{Event::Remove, id});
    self.dropWatch(*it->second);
    self.watches_.erase(it);
  }

  static void onNodeInfo(void* data, const pw_node_info* info) {
    auto& watch = *static_cast<NodeWatch*>(data);
    if (watch.announced || info->props == nullptr) return;
    const spa_dict* props = info->props;
    PipewireNode node;
    node.id = watch.id;
    const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
    if (name == nullptr || name[0] == '\0' || startsWith(name, kOwnNodePrefix)) return;
    node.name = name;
    const char* description = spa_dict_lookup(props, PW_KEY_NODE_DESCRIPTION);
    node.description = description != nullptr ? description : node.name;
    node.positions = positionNames(spa_dict_lookup(props, SPA_KEY_AUDIO_POSITION));
    uint32_t channels = positiveNumber(spa_dict_lookup(props, PW_KEY_AUDIO_CHANNELS));
    if (channels == 0) channels = uint32_t(node.positions.size());
    if (channels == 0) channels = watch.input ? info->n_output_ports : info->n_input_ports;
    if (channels == 0) return; // told again once its ports are there
    channels = std::min<uint32_t>(channels, SPA_AUDIO_MAX_CHANNELS);
    node.inputChannels = watch.input ? channels : 0;
    node.outputChannels = watch.output ? channels : 0;
    const uint32_t rate = positiveNumber(spa_dict_lookup(props, PW_KEY_AUDIO_RATE));
    node.rate = rate != 0 ? rate : watch.monitor->clockRate_;
    const char* virtualFlag = spa_dict_lookup(props, PW_KEY_NODE_VIRTUAL);
    node.isVirtual = watch.isVirtual || (virtualFlag != nullptr && spa_atob(virtualFlag));
    node.inputLatency = watch.inputLatency;
    node.outputLatency = watch.outputLatency;
    watch.announced = true;
    watch.monitor->post(Event{Event::Add, watch.id, std::move(node)});
  }

  std::shared_ptr<PipewireConnection> connection_;
  pw_core_events coreEvents_{};
  spa_hook coreListener_{};
  pw_registry* registry_ = nullptr;
  pw_registry_events registryEvents_{};
  spa_hook registryListener_{};
  pw_metadata* metadata_ = nullptr; // the "default" metadata; loop lock
  uint32_t metadataId_ = 0;
  spa_hook metadataListener_{};
  SharedMetadata shared_;                                  // the same binding, for the applications
  std::map<uint32_t, std::unique_ptr<NodeWatch>> watches_; // loop thread
  std::map<uint32_t, std::unique_ptr<PortWatch>> ports_;   // loop thread
  double clockRate_ = kStreamRate;                         // loop thread
  int syncSeq_ = 0;
  int syncRound_ = 0;
  int flushSeq_ = -1;    // loop lock
  bool flushed_ = false; // loop lock

  std::mutex mutex_; // guards the queue and the flags below
  std::condition_variable wake_;
  std::condition_variable applied_;
  std::deque<Event> events_;
  bool stopping_ = false;
  bool listed_ = false;
  bool dead_ = false;
  std::thread applier_;

  std::map<uint32_t, ProviderSlot*> slots_;  // applier thread or stop, under the control lock
  std::map<uint32_t, PipewireNode> waiting_; // nodes whose UID a device has; as slots_
};

// How often a server that went away is looked for again.
constexpr auto kRetryPeriod = std::chrono::seconds(1);

std::mutex gStartStop; // guards the three below; taken before the control lock
std::unique_ptr<Monitor> gMonitor;
PipewireOptions gOptions;
std::thread gKeeper; // connects again while the devices run; started and joined by the control side

std::mutex gKeeperMutex;
std::condition_variable gKeeperWake;
bool gKeeperStop = false;
std::unique_ptr<AppStreams> gAppStreams; // under gStartStop, with gMonitor

// Control lock held: the driver's devices, now and as plug-ins come and go, become nodes.
void publishDriver(AudioSystem& system, const std::shared_ptr<PipewireConnection>& connection) {
  gDriverNodes = std::make_unique<DriverNodes>(connection);
  for (const std::unique_ptr<ProviderSlot>& slot : system.providers) {
    if (slot->provider->isPlugIn()) gDriverNodes->publish(*slot);
  }
  DriverNodes* nodes = gDriverNodes.get();
  setGraphClock(system, &nodes->clock());
  system.plugInWatch = [nodes](ProviderSlot& slot, bool added) {
    if (added) {
      nodes->publish(slot);
    } else {
      nodes->withdraw(slot);
    }
  };
}

void teardown(std::unique_ptr<Monitor> monitor) {
  gAppStreams.reset();
  monitor->stopApplier();
  {
    AudioSystem& system = audioSystem();
    std::lock_guard<std::mutex> control(system.control);
    system.plugInWatch = nullptr;
    system.defaultWatch = nullptr;
    if (gMixer) gMixer->setDriver(nullptr);
    if (gDriverNodes) setGraphClock(system, nullptr);
    gDriverNodes.reset();
    if (system.running) {
      const DefaultIds before = currentDefaults(system);
      monitor->removeAll(system);
      devicesChanged(system, before, true);
    }
    // Every device has left it.
    monitor->connection()->mixer = nullptr;
    gMixer.reset();
  }
  std::shared_ptr<PipewireConnection> connection = monitor->connection();
  pw_thread_loop_lock(connection->loop);
  monitor->flush();
  monitor->detach();
  pw_thread_loop_unlock(connection->loop);
  monitor.reset();
}

// gStartStop held: a new connection with the devices listed and the driver published; null when
// the layer does not run on the real-time clock or the server does not answer.
std::unique_ptr<Monitor> connectServer(const PipewireOptions& options) {
  {
    AudioSystem& system = audioSystem();
    std::lock_guard<std::mutex> control(system.control);
    // The server's clock runs in real time; a manual-clock layer keeps to its own devices.
    if (!system.running || system.clock != ClockMode::RealTime) return nullptr;
  }
  static std::once_flag initialised;
  std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
  auto connection = std::make_shared<PipewireConnection>();
  connection->loop = pw_thread_loop_new("velto-pipewire", nullptr);
  if (connection->loop == nullptr) return nullptr;
  connection->context =
      pw_context_new(pw_thread_loop_get_loop(connection->loop),
                     pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
  if (connection->context == nullptr || pw_thread_loop_start(connection->loop) != 0) return nullptr;
  pw_thread_loop_lock(connection->loop);
  pw_properties* props =
      options.remote.empty()
          ? nullptr
          : pw_properties_new(PW_KEY_REMOTE_NAME, options.remote.c_str(), nullptr);
  connection->core = pw_context_connect(connection->context, props, 0);
  if (connection->core == nullptr) {
    pw_thread_loop_unlock(connection->loop);
    return nullptr;
  }
  auto monitor = std::make_unique<Monitor>(connection);
  monitor->attach();
  pw_thread_loop_unlock(connection->loop);
  // In place before any device can start.
  gMixer = std::make_unique<MixerNode>(connection);
  connection->mixer = gMixer.get();
  connection.reset();
  monitor->startApplier();
  if (!monitor->waitListed(std::chrono::milliseconds(options.answerMillis))) {
    teardown(std::move(monitor));
    return nullptr;
  }
  {
    AudioSystem& system = audioSystem();
    std::lock_guard<std::mutex> control(system.control);
    if (system.running) {
      publishDriver(system, monitor->connection());
      gMixer->setDriver(gDriverNodes.get());
      Monitor* watching = monitor.get();
      system.defaultWatch = [watching](bool output, const std::string& uid) {
        watching->writeDefault(audioSystem(), output, uid);
      };
    }
  }
  gAppStreams = std::make_unique<AppStreams>(monitor->connection(), monitor->sharedMetadata());
  return monitor;
}

// The keeper's thread: a server that went away (a restart, a crash) is given up and looked for
// again every period, so its devices come back with it.
void keepConnected() {
  std::unique_lock<std::mutex> lock(gKeeperMutex);
  while (!gKeeperWake.wait_for(lock, kRetryPeriod, [] { return gKeeperStop; })) {
    lock.unlock();
    {
      std::lock_guard<std::mutex> guard(gStartStop);
      if (gMonitor && gMonitor->dead()) teardown(std::move(gMonitor));
      if (!gMonitor) gMonitor = connectServer(gOptions);
    }
    lock.lock();
  }
}

} // namespace

bool startPipewireDevices(const PipewireOptions& options) {
  std::lock_guard<std::mutex> guard(gStartStop);
  if (gMonitor || gKeeper.joinable()) return false;
  gMonitor = connectServer(options);
  if (!gMonitor) return false;
  gOptions = options;
  {
    std::lock_guard<std::mutex> lock(gKeeperMutex);
    gKeeperStop = false;
  }
  gKeeper = std::thread(keepConnected);
  return true;
}

void stopPipewireDevices() {
  std::thread keeper;
  {
    std::lock_guard<std::mutex> guard(gStartStop);
    keeper = std::move(gKeeper);
  }
  if (keeper.joinable()) {
    {
      std::lock_guard<std::mutex> lock(gKeeperMutex);
      gKeeperStop = true;
    }
    gKeeperWake.notify_all();
    keeper.join();
  }
  std::lock_guard<std::mutex> guard(gStartStop);
  if (gMonitor) teardown(std::move(gMonitor));
}

bool pipewireDevicesRunning() {
  std::lock_guard<std::mutex> guard(gStartStop);
  return gMonitor != nullptr || gKeeper.joinable();
}

} // namespace platform::audio
