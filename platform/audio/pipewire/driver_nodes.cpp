#include "platform/audio/pipewire/driver_nodes.h"
#include "platform/audio/pipewire/stereo_format.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include <pipewire/pipewire.h>
#include <spa/node/io.h>
#include <spa/param/audio/format-utils.h>

#include "platform/audio/host/plugin_provider.h"
#include "platform/audio/layer/device_io.h"
#include "platform/audio/layer/host_time.h"
#include "platform/audio/layer/properties.h"
#include "platform/audio/pipewire/mixer_node.h"
#include "platform/audio/pipewire/node_volume.h"
#include "platform/audio/pipewire/pipewire_devices.h"

namespace platform::audio {
namespace {

constexpr uint32_t kNodeRate = 48000;
constexpr uint32_t kNodeChannels = 2; // the driver's devices are interleaved stereo
constexpr uint32_t kFrameBytes = kNodeChannels * uint32_t(sizeof(float));
constexpr uint32_t kPreparedFrames = 8192; // the server's longest quantum

// The next "now" on a time line of whole cycles laid end to end, so that the ring positions of
// consecutive cycles meet exactly; a clock that moved off the line by more than a cycle (a
// stall, a new quantum) starts a new one.
uint64_t nextOnLine(uint64_t* lineStart, uint64_t* lineFrames, uint32_t frames) {
  const uint64_t clock = hostTimeNow();
  const uint64_t expected = *lineStart + framesToNanoseconds(*lineFrames);
  const uint64_t apart = clock > expected ? clock - expected : expected - clock;
  if (*lineStart == 0 || apart > framesToNanoseconds(frames)) {
    *lineStart = clock;
    *lineFrames = 0;
  }
  const uint64_t now = *lineStart + framesToNanoseconds(*lineFrames);
  *lineFrames += frames;
  return now;
}

std::string deviceName(DeviceProvider& provider, AspObjectId device) {
  const AspPropertyAddress address{kPropName, kAspScopeGlobal, kAspElementMain};
  AspText* text = nullptr;
  uint32_t written = 0;
  if (provider.getPropertyData(device, address, 0, nullptr, sizeof text, &written, &text) !=
          kAspNoError ||
      written != sizeof text || text == nullptr) {
    return {};
  }
  std::string name(text->bytes, text->length);
  aspTextRelease(text);
  return name;
}

} // namespace

struct DriverNodes::Node {
  ProviderSlot* slot = nullptr;
  PluginHost* host = nullptr;
  AspObjectId device = 0;
  bool sink = false; // the device's output: what others play reaches it
  bool started = false;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  pw_stream_events events{};
  DriverNodes* owner = nullptr;
  NodeVolumes::Entry* volume = nullptr;            // null: the device has no controls
  std::atomic<spa_io_position*> position{nullptr}; // the graph's clock, set by the server
  std::atomic<bool> fed{false};                    // the mixer runs the device
  // A source's next block as the mixer read it (both run on the connection's data thread, the
  // node first); 0 frames: none waiting.
  std::vector<float> prepared = std::vector<float>(size_t(kPreparedFrames) * kNodeChannels);
  std::atomic<uint32_t> preparedFrames{0};
  // Data thread only: the node's own time line.
  uint64_t lineStart = 0;
  uint64_t lineFrames = 0;
  std::vector<float> scratch = std::vector<float>(size_t(kMaxBufferFrames) * kNodeChannels);

  static void onProcess(void* data); // data thread
  static void onIoChanged(void* data, uint32_t id, void* area, uint32_t size);
  static void onParamChanged(void* data, uint32_t id, const spa_pod* param); // loop thread
  static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state,
                             const char* error); // loop thread

  uint64_t cycleTime(uint32_t frames) { return nextOnLine(&lineStart, &lineFrames, frames); }
};

void DriverNodes::Node::onIoChanged(void* data, uint32_t id, void* area, uint32_t size) {
  if (id != SPA_IO_Position) return;
  Node& node = *static_cast<Node*>(data);
  node.position.store(size >= sizeof(spa_io_position) ? static_cast<spa_io_position*>(area)
                                                      : nullptr,
                      std::memory_order_release);
}

void DriverNodes::Node::onParamChanged(void* data, uint32_t id, const spa_pod* param) {
  Node& node = *static_cast<Node*>(data);
  if (id == SPA_PARAM_Props) node.owner->volumes_->propsChanged(node.volume, param);
}

void DriverNodes::Node::onStateChanged(void* data, pw_stream_state, pw_stream_state state,
                                       const char*) {
  Node& node = *static_cast<Node*>(data);
  node.owner->volumes_->streamChanged(node.volume, state == PW_STREAM_STATE_PAUSED ||
                                                       state == PW_STREAM_STATE_STREAMING);
}

uint64_t DriverNodes::timeOf(const spa_io_position& position) {
  const uint64_t at = position.clock.position;
  if (hosted_.load(std::memory_order_relaxed) && mixTime_ != 0 && position.clock.id == mixClock_) {
    const uint64_t apart = at > mixPosition_ ? at - mixPosition_ : mixPosition_ - at;
    if (apart <= kNodeRate) {
      const uint64_t span = framesToNanoseconds(apart);
      return at >= mixPosition_ ? mixTime_ + span : mixTime_ - span;
    }
  }
  return graphTime(position);
}

uint64_t DriverNodes::mixerTime(const spa_io_position& position, uint32_t frames) {
  const uint64_t graph = graphTime(position);
  const uint64_t next = mixTime_ + framesToNanoseconds(mixFrames_);
  const uint64_t apart = next > graph ? next - graph : graph - next;
  // A new driver or a long stall starts the line again.
  const bool restart = mixTime_ == 0 || position.clock.id != mixClock_ ||
                       apart > framesToNanoseconds(10 * uint64_t(kNodeRate));
  mixTime_ = restart ? graph : next;
  mixFrames_ = frames;
  mixPosition_ = position.clock.position;
  mixClock_ = position.clock.id;
  return mixTime_;
}

bool DriverNodes::mixerRanLately(const spa_io_position& position) const {
  const uint64_t at = position.clock.position;
  const uint64_t cycles = 8 * std::max<uint64_t>(position.clock.duration, 1);
  const uint64_t apart = at > mixPosition_ ? at - mixPosition_ : mixPosition_ - at;
  return mixTime_ != 0 && position.clock.id == mixClock_ && apart <= cycles;
}

uint64_t DriverNodes::graphTime(const spa_io_position& position) {
  const uint64_t at = position.clock.position;
  // A new driver counts from its own start, a stalled one may leap: ten seconds apart or
  // backwards is another line.
  const bool apart = at < linePosition_ || at - linePosition_ > 10 * uint64_t(kNodeRate);
  if (lineStart_ == 0 || position.clock.id != lineClock_ || apart) {
    lineStart_ = hostTimeNow();
    lineFrames_ = at;
    lineClock_ = position.clock.id;
  }
  linePosition_ = at;
  return lineStart_ + framesToNanoseconds(at - lineFrames_);
}

void DriverNodes::runClock(uint64_t position, uint32_t frames, uint64_t now, bool host) {
  // The host runs it in every callback of its own, in step with the devices it runs.
  if ((position == lastPosition_ && !host) || frames == 0) return;
  lastPosition_ = position;
  for (uint32_t done = 0; done < frames;) {
    const uint32_t piece = std::min(frames - done, kMaxBufferFrames);
    runGraphCycles(clock_, piece, now + framesToNanoseconds(done));
    done += piece;
  }
}

void DriverNodes::Node::onProcess(void* data) {
  Node& node = *static_cast<Node*>(data);
  DriverNodes& owner = *node.owner;
  const spa_io_position* position = node.position.load(std::memory_order_acquire);
  const uint64_t cycleStart = position != nullptr ? owner.timeOf(*position) : 0;
  if (position != nullptr && !owner.hosted_.load(std::memory_order_acquire)) {
    owner.runClock(position->clock.position, uint32_t(position->clock.duration), cycleStart, false);
  }
  pw_buffer* b = pw_stream_dequeue_buffer(node.stream);
  if (b == nullptr) return;
  spa_data& d = b->buffer->datas[0];
  if (d.data == nullptr || d.chunk == nullptr) {
    pw_stream_queue_buffer(node.stream, b);
    return;
  }
  // Fed: the mixer's node runs the device, a sink's block reaching it through our monitor ports.
  // A mixer whose callbacks stopped (its node gone from the graph) leaves the device to us again.
  const bool fed = node.fed.load(std::memory_order_acquire) && position != nullptr &&
                   owner.mixerRanLately(*position);
  // A quantum longer than the layer's buffers runs as several cycles, laid end to end.
  if (node.sink && !fed) {
    const uint32_t offset = std::min(d.chunk->offset, d.maxsize);
    const uint32_t frames = std::min(d.chunk->size, d.maxsize - offset) / kFrameBytes;
    const auto* in = reinterpret_cast<const float*>(static_cast<const uint8_t*>(d.data) + offset);
    const uint64_t start = position != nullptr ? cycleStart
                           : frames > 0        ? node.cycleTime(frames)
                                               : 0;
    for (uint32_t done = 0; done < frames;) {
      const uint32_t piece = std::min(frames - done, kMaxBufferFrames);
      std::memcpy(node.scratch.data(), in + size_t(done) * kNodeChannels,
                  size_t(piece) * kFrameBytes);
      node.host->runCycle(node.device, piece, start + framesToNanoseconds(done), nullptr,
                          node.scratch.data(), nullptr, nullptr);
      done += piece;
    }
  } else if (!node.sink) {
    uint64_t wanted = b->requested != 0 ? b->requested : kDefaultBufferFrames;
    const uint32_t frames = uint32_t(std::min<uint64_t>(wanted, d.maxsize / kFrameBytes));
    auto* out = static_cast<float*>(d.data);
    const uint64_t start = position != nullptr ? cycleStart
                           : frames > 0        ? node.cycleTime(frames)
                                               : 0;
    if (fed) {
      // What the mixer read for this cycle; a quantum that grew meanwhile gets silence after it.
      const uint32_t ready = node.preparedFrames.exchange(0, std::memory_order_acquire);
      const uint32_t copied = std::min(ready, frames);
      std::memcpy(out, node.prepared.data(), size_t(copied) * kFrameBytes);
      std::memset(out + size_t(copied) * kNodeChannels, 0, size_t(frames - copied) * kFrameBytes);
    }
    for (uint32_t done = 0; done < frames && !fed;) {
      const uint32_t piece = std::min(frames - done, kMaxBufferFrames);
      node.host->runCycle(node.device, piece, start + framesToNanoseconds(done),
                          out + size_t(done) * kNodeChannels, nullptr, nullptr, nullptr);
      done += piece;
    }
    d.chunk->offset = 0;
    d.chunk->stride = int32_t(kFrameBytes);
    d.chunk->size = frames * kFrameBytes;
  }
  pw_stream_queue_buffer(node.stream, b);
}

void DriverNodes::setFed(Node& node, bool fed) {
  node.fed.store(fed, std::memory_order_release);
}

void DriverNodes::feedSink(Node& node, float* interleaved, uint32_t frames, uint64_t now) {
  node.host->runCycle(node.device, frames, now, nullptr, interleaved, nullptr, nullptr);
}

void DriverNodes::prepareSource(Node& node, uint32_t offset, uint32_t frames, uint64_t now) {
  if (offset + frames > kPreparedFrames) return;
  node.host->runCycle(node.device, frames, now,
                      node.prepared.data() + size_t(offset) * kNodeChannels, nullptr, nullptr,
                      nullptr);
}

void DriverNodes::handOver(Node& node, uint32_t total) {
  node.preparedFrames.store(std::min(total, kPreparedFrames), std::memory_order_release);
}

DriverNodes::DriverNodes(std::shared_ptr<PipewireConnection> connection)
    : connection_(std::move(connection)), volumes_(std::make_unique<NodeVolumes>(connection_)) {}

DriverNodes::~DriverNodes() {
  std::vector<ProviderSlot*> slots;
  for (const auto& node : nodes_) {
    if (std::find(slots.begin(), slots.end(), node->slot) == slots.end())
      slots.push_back(node->slot);
  }
  for (ProviderSlot* slot : slots) withdraw(*slot);
}

void DriverNodes::publish(ProviderSlot& slot) {
  auto* plugIn = dynamic_cast<PluginProvider*>(slot.provider.get());
  if (plugIn == nullptr) return;
  pw_thread_loop_lock(connection_->loop);
  for (const ProvidedDevice& device : plugIn->devices()) {
    const bool sink = device.inputBuffers.empty() && !device.outputBuffers.empty();
    const bool source = !device.inputBuffers.empty() && device.outputBuffers.empty();
    if (device.hidden || (!sink && !source)) continue;
    auto node = std::make_unique<Node>();
    node->slot = &slot;
    node->owner = this;
    node->host = &plugIn->host();
    node->device = device.local;
    node->sink = sink;
    const std::string name = std::string(kOwnNodePrefix) + device.uid;
    std::string description = deviceName(*plugIn, device.local);
    if (description.empty()) description = device.uid;
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CLASS, sink ? "Audio/Sink" : "Audio/Source",
        PW_KEY_NODE_NAME, name.c_str(), PW_KEY_NODE_DESCRIPTION, description.c_str(),
        PW_KEY_NODE_GROUP, kOwnNodeGroup, PW_KEY_NODE_VIRTUAL, "true", PW_KEY_NODE_ALWAYS_PROCESS,
        "true", nullptr);
    node->events.version = PW_VERSION_STREAM_EVENTS;
    node->events.process = &Node::onProcess;
    node->events.io_changed = &Node::onIoChanged;
    node->events.param_changed = &Node::onParamChanged;
    node->events.state_changed = &Node::onStateChanged;
    node->stream = pw_stream_new(connection_->core, name.c_str(), props);
    if (node->stream == nullptr) continue;
    // Tied before the stream connects, so that no volume given to the node is missed.
    node->volume = volumes_->add(slot, device.local, device.controls, node->stream, kNodeChannels);
    pw_stream_add_listener(node->stream, &node->listener, &node->events, node.get());
    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[1] = {stereoFloatFormat(builder, kNodeRate)};
    // Started before the node can run, so that its first cycle finds the device's clock.
    node->started = node->host->startDevice(node->device) == kAspNoError;
    const auto flags = pw_stream_flags(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    if (!node->started ||
        pw_stream_connect(node->stream, sink ? SPA_DIRECTION_INPUT : SPA_DIRECTION_OUTPUT,
                          PW_ID_ANY, flags, params, 1) != 0) {
      volumes_->remove(node->volume);
      pw_stream_destroy(node->stream);
      if (node->started) node->host->stopDevice(node->device);
      continue;
    }
    if (connection_->mixer != nullptr) connection_->mixer->addFeed(node.get(), name, sink);
    nodes_.push_back(std::move(node));
  }
  pw_thread_loop_unlock(connection_->loop);
}

void DriverNodes::withdraw(ProviderSlot& slot) {
  pw_thread_loop_lock(connection_->loop);
  for (auto it = nodes_.begin(); it != nodes_.end();) {
    Node& node = **it;
    if (node.slot != &slot) {
      ++it;
      continue;
    }
    if (connection_->mixer != nullptr) connection_->mixer->dropFeed(&node);
    volumes_->remove(node.volume);
    node.volume = nullptr;
    pw_stream_destroy(node.stream); // waits for a process callback in flight
    if (node.started) node.host->stopDevice(node.device);
    it = nodes_.erase(it);
  }
  pw_thread_loop_unlock(connection_->loop);
}

} // namespace platform::audio
