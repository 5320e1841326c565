#include "platform/audio/pipewire/app_streams.h"
#include "platform/audio/pipewire/stereo_format.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include "platform/audio/layer/running_apps.h"
#include "platform/audio/layer/system_state.h"
#include "platform/audio/pipewire/pipewire_devices.h"
#include "platform/audio/pipewire/pipewire_node.h"
#include "platform/audio/simulated/sim_objects.h"

namespace platform::audio {
namespace {

constexpr uint32_t kStereo = 2;
constexpr uint32_t kTapRate = 48000;
constexpr const char* kTargetKey = "target.object";
constexpr const char* kTapPrefix = "velto.tap.";
// The session manager does not look again when a stream node such as the tap appears, so a move
// asked for before it knew the tap is asked for again (naming the tap the other way, which it
// sees as a change) a few times; a stream that someone else then moves elsewhere stays there.
constexpr long kRetryNanos = 250'000'000;
constexpr int kMaxAsks = 12;

bool startsWith(const char* text, const char* prefix) {
  return text != nullptr && std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

std::string textOf(const spa_dict* props, const char* key) {
  const char* value = props != nullptr ? spa_dict_lookup(props, key) : nullptr;
  return value != nullptr ? value : "";
}

std::string baseName(std::string path) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos) path.erase(0, slash + 1);
  return path;
}

uint32_t idOf(const spa_dict* props, const char* key) {
  const std::string text = textOf(props, key);
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && value < SPA_ID_INVALID ? uint32_t(value) : SPA_ID_INVALID;
}

// What the registry tells of a client; the application's own details come with its streams.
struct ClientView {
  int32_t pid = 0; // of the socket's peer
  std::string name;
};

// What a stream tells of its application (a client that speaks for several applications, such as
// a sound server's compatibility layer, gives each stream its own).
struct Identity {
  int32_t pid = 0;
  std::string binary;
  std::string name;
  std::string appId;
  bool operator==(const Identity&) const = default;
};

struct StreamView {
  AppStreams::State* state = nullptr;
  uint32_t id = 0;
  bool output = false;
  pw_node* proxy = nullptr;
  spa_hook listener{};
  bool known = false;
  uint32_t client = SPA_ID_INVALID;
  Identity identity;
  bool running = false;
};

struct PortView {
  uint32_t node = 0;
  bool output = false;
  std::string channel;
};

struct Link {
  uint32_t outNode = 0;
  uint32_t inNode = 0;
};

// One tap: our capture stream and what it did to the tapped streams.
struct TapStream {
  AppStreams::State* state = nullptr;
  std::string nodeName;
  bool muting = false;
  std::set<uint32_t> clients;
  std::shared_ptr<TapFeed> feed;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  pw_stream_events events{};
  uint32_t node = SPA_ID_INVALID;
  std::string serial;          // of its node, once the registry told it
  spa_source* retry = nullptr; // asks again for moves that did not happen
  bool bySerial = false;       // the form the last request named the tap in
  std::vector<pw_proxy*> links;
  std::set<std::pair<uint32_t, uint32_t>> linked; // output port, input port
  struct Moved {
    std::optional<std::string> before; // the target it had; none: no target was set
    int asks = 1;
  };
  std::map<uint32_t, Moved> moved; // the streams asked to move onto the tap
};

// What the layer learns of one client.
struct ProcessView {
  uint32_t client = 0;
  std::string name;
  SimProcessConfig config;
};

} // namespace

struct AppStreams::State {
  std::shared_ptr<PipewireConnection> connection;

  // Loop thread (or loop lock held).
  pw_registry* registry = nullptr;
  spa_hook registryListener{};
  pw_registry_events registryEvents{};
  spa_hook coreListener{};
  pw_core_events coreEvents{};
  SharedMetadata* shared = nullptr;
  std::map<uint32_t, ClientView> clients;
  std::map<uint32_t, std::unique_ptr<StreamView>> streams;
  std::map<uint32_t, PortView> ports;
  std::map<uint32_t, Link> links;
  std::map<uint32_t, std::string> nodeNames; // every audio node, for the devices of a stream
  std::map<ObjectId, std::unique_ptr<TapStream>> taps;

  // The hand-over to the applier.
  std::mutex mutex;
  std::condition_variable wake;
  std::optional<std::vector<ProcessView>> pending;
  bool stopping = false;
  std::thread applier;

  // Applier thread and the tap watch, under the layer's control lock.
  std::map<uint32_t, ObjectId> objects; // client -> process object
  std::set<int32_t> registered;         // pids among the running applications (applier only)

  // ---- loop thread ---------------------------------------------------------------------------

  void publish() {
    std::vector<ProcessView> views;
    for (const auto& [id, client] : clients) {
      ProcessView view;
      view.client = id;
      Identity who;
      bool any = false;
      for (const auto& [sid, stream] : streams) {
        if (!stream->known || stream->client != id) continue;
        any = true;
        const Identity& its = stream->identity;
        if (who.pid == 0) who.pid = its.pid;
        if (who.binary.empty()) who.binary = its.binary;
        if (who.name.empty()) who.name = its.name;
        if (who.appId.empty()) who.appId = its.appId;
        (stream->output ? view.config.runningOutput : view.config.runningInput) |= stream->running;
        std::vector<std::string>& devices =
            stream->output ? view.config.outputDevices : view.config.inputDevices;
        for (const auto& [lid, link] : links) {
          const uint32_t peer = stream->output ? (link.outNode == sid ? link.inNode : 0)
                                               : (link.inNode == sid ? link.outNode : 0);
          auto name = nodeNames.find(peer);
          if (peer == 0 || name == nodeNames.end()) continue;
          // The driver's devices are published as velto.<UID>.
          std::string uid = name->second;
          if (startsWith(uid.c_str(), kOwnNodePrefix)) uid.erase(0, std::strlen(kOwnNodePrefix));
          if (std::find(devices.begin(), devices.end(), uid) == devices.end()) {
            devices.push_back(uid);
          }
        }
      }
      if (!any) continue;
      // The binary's name may still have to come from the process itself (the applier asks).
      view.config.bundleId = who.appId;
      view.config.pid = who.pid != 0 ? who.pid : client.pid;
      view.config.name = who.binary;
      view.name = !who.name.empty() ? who.name : client.name;
      views.push_back(std::move(view));
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      pending = std::move(views);
    }
    wake.notify_all();
  }

  // Brings every tap's moves and links up to date with the streams and ports there are now.
  void rewireAll() {
    for (auto& [id, tap] : taps) rewire(*tap);
  }

  // Both of the tap's ports are there (they come one by one).
  bool tapReady(const TapStream& tap) const {
    return std::count_if(ports.begin(), ports.end(), [&](const auto& port) {
             return port.second.node == tap.node && !port.second.output;
           }) >= kStereo;
  }

  bool linkedTo(uint32_t stream, uint32_t node) const {
    return std::any_of(links.begin(), links.end(), [&](const auto& link) {
      return link.second.outNode == stream && link.second.inNode == node;
    });
  }

  static void onRetry(void* data, uint64_t) {
    auto& tap = *static_cast<TapStream*>(data);
    State& self = *tap.state;
    pw_metadata* metadata = self.shared->proxy;
    if (metadata == nullptr) return;
    tap.bySerial = !tap.bySerial && !tap.serial.empty();
    for (auto& [sid, moved] : tap.moved) {
      if (self.linkedTo(sid, tap.node)) moved.asks = kMaxAsks;
      if (moved.asks >= kMaxAsks) continue;
      ++moved.asks;
      pw_metadata_set_property(metadata, sid, kTargetKey, nullptr,
                               tap.bySerial ? tap.serial.c_str() : tap.nodeName.c_str());
    }
  }

  void rewire(TapStream& tap) {
    if (tap.node == SPA_ID_INVALID || !tapReady(tap)) return;
    pw_metadata* metadata = shared->proxy;
    for (const auto& [sid, stream] : streams) {
      if (!stream->known || !stream->output || tap.clients.count(stream->client) == 0) continue;
      if (tap.muting) {
        if (tap.moved.count(sid) != 0 || metadata == nullptr) continue;
        tap.moved[sid].before = shared->find(sid, kTargetKey);
        pw_metadata_set_property(metadata, sid, kTargetKey, nullptr, tap.nodeName.c_str());
        continue;
      }
      linkPorts(tap, sid);
    }
  }

  // Each output port of the stream to the tap's port of its channel; a port of another channel
  // (mono, or beyond stereo) to both.
  void linkPorts(TapStream& tap, uint32_t stream) {
    for (const auto& [outId, out] : ports) {
      if (out.node != stream || !out.output) continue;
      bool matched = false;
      for (const auto& [inId, in] : ports) {
        matched |= in.node == tap.node && !in.output && in.channel == out.channel;
      }
      for (const auto& [inId, in] : ports) {
        if (in.node != tap.node || in.output || (matched && in.channel != out.channel)) continue;
        if (!tap.linked.insert({outId, inId}).second) continue;
        const std::string outNode = std::to_string(stream);
        const std::string outPort = std::to_string(outId);
        const std::string inNode = std::to_string(tap.node);
        const std::string inPort = std::to_string(inId);
        const spa_dict_item items[] = {
            SPA_DICT_ITEM_INIT(PW_KEY_LINK_OUTPUT_NODE, outNode.c_str()),
            SPA_DICT_ITEM_INIT(PW_KEY_LINK_OUTPUT_PORT, outPort.c_str()),
            SPA_DICT_ITEM_INIT(PW_KEY_LINK_INPUT_NODE, inNode.c_str()),
            SPA_DICT_ITEM_INIT(PW_KEY_LINK_INPUT_PORT, inPort.c_str()),
            SPA_DICT_ITEM_INIT(PW_KEY_OBJECT_LINGER, "false"),
        };
        const spa_dict dict = SPA_DICT_INIT_ARRAY(items);
        auto* link = static_cast<pw_proxy*>(pw_core_create_object(
            connection->core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &dict, 0));
        if (link != nullptr) tap.links.push_back(link);
      }
    }
  }

  // Loop lock held: the tapped streams get their own targets back, our links and stream go.
  void dropTap(TapStream& tap) {
    pw_metadata* metadata = shared->proxy;
    for (const auto& [sid, moved] : tap.moved) {
      if (metadata == nullptr || streams.count(sid) == 0) continue;
      pw_metadata_set_property(metadata, sid, kTargetKey, nullptr,
                               moved.before ? moved.before->c_str() : nullptr);
    }
    if (tap.retry != nullptr) {
      pw_loop_destroy_source(pw_thread_loop_get_loop(connection->loop), tap.retry);
      tap.retry = nullptr;
    }
    for (pw_proxy* link : tap.links) pw_proxy_destroy(link);
    tap.links.clear();
    if (tap.stream != nullptr) pw_stream_destroy(tap.stream); // waits for a callback in flight
    tap.stream = nullptr;
  }

  static void onTapState(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto& tap = *static_cast<TapStream*>(data);
    if (state != PW_STREAM_STATE_PAUSED && state != PW_STREAM_STATE_STREAMING) return;
    const uint32_t node = pw_stream_get_node_id(tap.stream);
    if (node == SPA_ID_INVALID || node == tap.node) return;
    tap.node = node;
    tap.state->rewire(tap);
  }

  // Data thread: what the tapped streams played this cycle, on to the aggregate device.
  static void onTapProcess(void* data) {
    auto& tap = *static_cast<TapStream*>(data);
    pw_buffer* b = pw_stream_dequeue_buffer(tap.stream);
    if (b == nullptr) return;
    const spa_data& d = b->buffer->datas[0];
    if (d.data != nullptr && d.chunk != nullptr && d.maxsize > 0) {
      const uint32_t offset = std::min(d.chunk->offset, d.maxsize);
      const uint32_t frames =
          std::min(d.chunk->size, d.maxsize - offset) / (kStereo * uint32_t(sizeof(float)));
      tap.feed->write(reinterpret_cast<const float*>(static_cast<const uint8_t*>(d.data) + offset),
                      frames);
    }
    pw_stream_queue_buffer(tap.stream, b);
  }

  bool openTap(TapStream& tap) {
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE,
        "Production", PW_KEY_NODE_NAME, tap.nodeName.c_str(), PW_KEY_NODE_DESCRIPTION, "Velto Tap",
        PW_KEY_NODE_AUTOCONNECT, "false", PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
    tap.events.version = PW_VERSION_STREAM_EVENTS;
    tap.events.state_changed = &State::onTapState;
    tap.events.process = &State::onTapProcess;
    tap.stream = pw_stream_new(connection->core, tap.nodeName.c_str(), props);
    if (tap.stream == nullptr) return false;
    if (tap.muting) {
      pw_loop* loop = pw_thread_loop_get_loop(connection->loop);
      tap.retry = pw_loop_add_timer(loop, &State::onRetry, &tap);
      if (tap.retry == nullptr) return false;
      timespec every{0, kRetryNanos};
      pw_loop_update_timer(loop, tap.retry, &every, &every, false);
    }
    pw_stream_add_listener(tap.stream, &tap.listener, &tap.events, &tap);
    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[1] = {stereoFloatFormat(builder, kTapRate)};
    const auto flags = pw_stream_flags(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    return pw_stream_connect(tap.stream, SPA_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) == 0;
  }

  static void onNodeInfo(void* data, const pw_node_info* info) {
    auto& stream = *static_cast<StreamView*>(data);
    State& self = *stream.state;
    bool changed = false;
    if ((info->change_mask & PW_NODE_CHANGE_MASK_PROPS) && info->props != nullptr) {
      const uint32_t client = idOf(info->props, PW_KEY_CLIENT_ID);
      Identity identity;
      const uint32_t pid = idOf(info->props, PW_KEY_APP_PROCESS_ID);
      identity.pid = pid != SPA_ID_INVALID ? int32_t(pid) : 0;
      identity.binary = baseName(textOf(info->props, PW_KEY_APP_PROCESS_BINARY));
      identity.name = textOf(info->props, PW_KEY_APP_NAME);
      identity.appId = textOf(info->props, PW_KEY_APP_ID);
      changed |= !stream.known || client != stream.client || !(identity == stream.identity);
      stream.client = client;
      stream.identity = std::move(identity);
      stream.known = client != SPA_ID_INVALID;
    }
    const bool running = info->state == PW_NODE_STATE_RUNNING;
    changed |= running != stream.running;
    stream.running = running;
    if (!changed || !stream.known) return;
    self.publish();
    self.rewireAll();
  }

  static void onGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                       const spa_dict* props) {
    auto& self = *static_cast<State*>(data);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
      const uint32_t pid = idOf(props, PW_KEY_SEC_PID);
      self.clients[id] =
          ClientView{pid != SPA_ID_INVALID ? int32_t(pid) : 0, textOf(props, PW_KEY_APP_NAME)};
      self.publish();
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
      self.addNode(id, props);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
      const std::string direction = textOf(props, PW_KEY_PORT_DIRECTION);
      const uint32_t node = idOf(props, PW_KEY_NODE_ID);
      if (node == SPA_ID_INVALID || textOf(props, PW_KEY_PORT_MONITOR) == "true") return;
      self.ports[id] = PortView{node, direction == "out", textOf(props, PW_KEY_AUDIO_CHANNEL)};
      self.rewireAll();
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
      const uint32_t out = idOf(props, PW_KEY_LINK_OUTPUT_NODE);
      const uint32_t in = idOf(props, PW_KEY_LINK_INPUT_NODE);
      if (out == SPA_ID_INVALID || in == SPA_ID_INVALID) return;
      self.links[id] = Link{out, in};
      if (self.streams.count(out) != 0 || self.streams.count(in) != 0) self.publish();
    }
  }

  void addNode(uint32_t id, const spa_dict* props) {
    const std::string mediaClass = textOf(props, PW_KEY_MEDIA_CLASS);
    const std::string name = textOf(props, PW_KEY_NODE_NAME);
    if (mediaClass.rfind("Audio/", 0) == 0) nodeNames[id] = name;
    if (startsWith(name.c_str(), kTapPrefix)) {
      for (auto& [tid, tap] : taps) {
        if (tap->nodeName == name) tap->serial = textOf(props, PW_KEY_OBJECT_SERIAL);
      }
    }
    const bool output = mediaClass == "Stream/Output/Audio";
    if ((!output && mediaClass != "Stream/Input/Audio") ||
        startsWith(name.c_str(), kOwnNodePrefix)) {
      return;
    }
    auto stream = std::make_unique<StreamView>();
    stream->state = this;
    stream->id = id;
    stream->output = output;
    stream->proxy = static_cast<pw_node*>(
        pw_registry_bind(registry, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
    if (stream->proxy == nullptr) return;
    static const pw_node_events kEvents = [] {
      pw_node_events events{};
      events.version = PW_VERSION_NODE_EVENTS;
      events.info = &State::onNodeInfo;
      return events;
    }();
    pw_node_add_listener(stream->proxy, &stream->listener, &kEvents, stream.get());
    streams[id] = std::move(stream);
  }

  static void onGlobalRemove(void* data, uint32_t id) {
    auto& self = *static_cast<State*>(data);
    self.nodeNames.erase(id);
    self.ports.erase(id);
    bool changed = self.links.erase(id) != 0;
    changed |= self.clients.erase(id) != 0;
    if (auto it = self.streams.find(id); it != self.streams.end()) {
      spa_hook_remove(&it->second->listener);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(it->second->proxy));
      self.streams.erase(it);
      for (auto& [tid, tap] : self.taps) tap->moved.erase(id);
      changed = true;
    }
    if (changed) self.publish();
  }

  static void onCoreError(void* data, uint32_t id, int, int res, const char*) {
    auto& self = *static_cast<State*>(data);
    if (id != PW_ID_CORE || res != -EPIPE) return;
    // The server went away, and its applications with it.
    self.forget();
    self.publish();
  }

  // Loop lock held: lets go of every proxy but the taps' streams.
  void forget() {
    clients.clear();
    for (auto& [id, stream] : streams) {
      spa_hook_remove(&stream->listener);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(stream->proxy));
    }
    streams.clear();
    ports.clear();
    links.clear();
    nodeNames.clear();
  }

  // ---- the layer's side ----------------------------------------------------------------------

  void applyLoop() {
    for (;;) {
      std::vector<ProcessView> views;
      {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait(lock, [&] { return stopping || pending.has_value(); });
        if (stopping) return;
        views = std::move(*pending);
        pending.reset();
      }
      apply(views);
    }
  }

  void apply(std::vector<ProcessView>& views) {
    for (ProcessView& view : views) {
      SimProcessConfig& c = view.config;
      if (c.name.empty()) c.name = baseName(executablePathOfPid(c.pid));
      // The most stable name the server gives: the application's id, else its binary's name.
      if (c.bundleId.empty()) c.bundleId = c.name;
      if (view.name.empty()) view.name = c.bundleId;
    }
    AudioSystem& system = audioSystem();
    {
      std::lock_guard<std::mutex> control(system.control);
      if (!system.running) return;
      std::set<uint32_t> seen;
      for (const ProcessView& view : views) {
        seen.insert(view.client);
        auto known = objects.find(view.client);
        if (known == objects.end()) {
          objects[view.client] = addExternalProcess(system, view.config);
        } else {
          updateExternalProcess(system, known->second, view.config);
        }
      }
      for (auto it = objects.begin(); it != objects.end();) {
        if (seen.count(it->first) != 0) {
          ++it;
          continue;
        }
        removeExternalProcess(system, it->second);
        it = objects.erase(it);
      }
    }
    std::set<int32_t> now;
    for (const ProcessView& view : views) {
      if (view.config.pid <= 0) continue;
      now.insert(view.config.pid);
      // Audio clients are no windowed applications: they give names, not entries of their own.
      addRunningApplication(
          {view.config.bundleId, view.name, view.config.pid, ActivationPolicy::Accessory});
    }
    for (int32_t pid : registered) {
      if (now.count(pid) == 0) removeRunningApplication(pid);
    }
    registered = std::move(now);
  }

  // Control lock held (the layer's tap calls).
  bool watchTap(SimTap& tap, bool created) {
    bool made = true;
    pw_thread_loop_lock(connection->loop);
    if (created) {
      auto stream = std::make_unique<TapStream>();
      stream->state = this;
      stream->nodeName = kTapPrefix + tap.description.uuid;
      stream->muting = tap.description.muteBehavior == TapMuteBehavior::Muted;
      stream->feed = tap.feed;
      for (const std::shared_ptr<SimProcess>& process : tap.processes) {
        for (const auto& [client, object] : objects) {
          if (object == process->object) stream->clients.insert(client);
        }
      }
      if (openTap(*stream)) {
        taps[tap.object] = std::move(stream);
      } else {
        dropTap(*stream);
        made = false;
      }
    } else if (auto it = taps.find(tap.object); it != taps.end()) {
      dropTap(*it->second);
      taps.erase(it);
    }
    pw_thread_loop_unlock(connection->loop);
    return made;
  }
};

void SharedMetadata::remember(uint32_t subject, const char* key, const char* value) {
  if (key == nullptr) {
    if (subject == PW_ID_ANY) {
      properties.clear();
    } else {
      properties.erase(subject);
    }
  } else if (value == nullptr) {
    auto it = properties.find(subject);
    if (it != properties.end()) it->second.erase(key);
  } else {
    properties[subject][key] = value;
  }
}

std::optional<std::string> SharedMetadata::find(uint32_t subject, const char* key) const {
  auto keys = properties.find(subject);
  if (keys == properties.end()) return std::nullopt;
  auto value = keys->second.find(key);
  return value != keys->second.end() ? std::optional<std::string>(value->second) : std::nullopt;
}

AppStreams::AppStreams(std::shared_ptr<PipewireConnection> connection, SharedMetadata& metadata)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.connection = std::move(connection);
  s.shared = &metadata;
  pw_thread_loop_lock(s.connection->loop);
  s.coreEvents.version = PW_VERSION_CORE_EVENTS;
  s.coreEvents.error = &State::onCoreError;
  pw_core_add_listener(s.connection->core, &s.coreListener, &s.coreEvents, &s);
  s.registryEvents.version = PW_VERSION_REGISTRY_EVENTS;
  s.registryEvents.global = &State::onGlobal;
  s.registryEvents.global_remove = &State::onGlobalRemove;
  s.registry = pw_core_get_registry(s.connection->core, PW_VERSION_REGISTRY, 0);
  if (s.registry != nullptr) {
    pw_registry_add_listener(s.registry, &s.registryListener, &s.registryEvents, &s);
  }
  pw_thread_loop_unlock(s.connection->loop);
  s.applier = std::thread([&s] { s.applyLoop(); });
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> control(system.control);
  State* state = &s;
  system.tapWatch = [state](SimTap& tap, bool created) { return state->watchTap(tap, created); };
}

AppStreams::~AppStreams() {
  State& s = *state_;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.stopping = true;
  }
  s.wake.notify_all();
  if (s.applier.joinable()) s.applier.join();
  AudioSystem& system = audioSystem();
  {
    std::lock_guard<std::mutex> control(system.control);
    system.tapWatch = nullptr;
    if (system.running) {
      for (const auto& [client, object] : s.objects) removeExternalProcess(system, object);
    }
    s.objects.clear();
    // Taps that outlive the server's side hear silence; their streams go now.
    pw_thread_loop_lock(s.connection->loop);
    for (auto& [id, tap] : s.taps) s.dropTap(*tap);
    s.taps.clear();
    pw_thread_loop_unlock(s.connection->loop);
  }
  for (int32_t pid : s.registered) removeRunningApplication(pid);
  pw_thread_loop_lock(s.connection->loop);
  s.forget();
  if (s.registry != nullptr) {
    spa_hook_remove(&s.registryListener);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(s.registry));
  }
  spa_hook_remove(&s.coreListener);
  pw_thread_loop_unlock(s.connection->loop);
}

} // namespace platform::audio
