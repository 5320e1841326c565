#include "platform/audio/pipewire/pipewire_provider.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>

#include <pipewire/pipewire.h>
#include <spa/debug/types.h>
#include <spa/node/io.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/audio/raw-types.h>

#include "platform/audio/layer/host_time.h"
#include "platform/audio/layer/layer_properties.h"
#include "platform/audio/pipewire/pipewire_devices.h"

namespace platform::audio {
namespace {

constexpr uint32_t kStreamRate = 48000;
constexpr uint32_t kFloatBytes = uint32_t(sizeof(float));
// Ten seconds at the stream rate: more than any device delays.
constexpr uint32_t kMaxLatencyFrames = 10 * kStreamRate;

AspStreamFormat floatFormat(double rate, uint32_t channels) {
  AspStreamFormat format{};
  format.sampleRate = rate;
  format.formatId = kAspFormatLinearPcm;
  format.formatFlags = kAspFormatFlagIsFloat | kAspFormatFlagIsPacked;
  format.bytesPerPacket = format.bytesPerFrame = channels * kFloatBytes;
  format.framesPerPacket = 1;
  format.channelsPerFrame = channels;
  format.bitsPerChannel = 32;
  return format;
}

// The server's channel id of a position name such as "FL"; unknown names give 0.
uint32_t channelId(const std::string& name) {
  for (const spa_type_info* t = spa_type_audio_channel; t->name != nullptr; ++t) {
    if (name == spa_debug_type_short_name(t->name)) return t->type;
  }
  return SPA_AUDIO_CHANNEL_UNKNOWN;
}

void fillPositions(spa_audio_info_raw& info, const std::vector<std::string>& names) {
  if (names.size() != info.channels) {
    info.flags |= SPA_AUDIO_FLAG_UNPOSITIONED;
    return;
  }
  for (uint32_t c = 0; c < info.channels; ++c) {
    info.position[c] = channelId(names[c]);
    if (info.position[c] == SPA_AUDIO_CHANNEL_UNKNOWN) {
      info.flags |= SPA_AUDIO_FLAG_UNPOSITIONED;
      return;
    }
  }
}

// The output-only devices that run, for the first stream of a graph cycle to run their cycles.
// Slots are filled and emptied on the control side; the data thread only reads them, counted in
// `users` so that a provider is dismissed only once no callback holds it.
constexpr int kOutputSlots = 64;
struct OutputOrder {
  std::array<std::atomic<PipewireProvider*>, kOutputSlots> outputs{};
  std::atomic<uint32_t> users{0};
  std::atomic<uint64_t> lastPosition{UINT64_MAX}; // the graph cycle last begun
};
OutputOrder gOrder;

// The quantum a stream asks the server for.
std::string quantumOf(uint32_t frames) {
  return std::to_string(frames) + "/" + std::to_string(kStreamRate);
}

} // namespace

struct PipewireProvider::Stream {
  PipewireProvider* owner = nullptr;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  pw_stream_events events{};
  std::atomic<spa_io_position*> position{nullptr}; // the graph's clock, set by the server
};

PipewireProvider::PipewireProvider(const PipewireNode& node,
                                   std::shared_ptr<PipewireConnection> connection)
    : node_(node), nominalRate_(node.rate), connection_(std::move(connection)),
      duplexRing_(2 * kMaxBufferFrames, node.outputChannels),
      block_(size_t(kMaxBufferFrames) * std::max(node.outputChannels, 1u), 0.0f) {}

PipewireProvider::~PipewireProvider() {
  if (member_ != nullptr && connection_->mixer != nullptr) connection_->mixer->detach(member_);
  member_ = nullptr;
  dismissOutput();
  if (!capture_ && !playback_) return;
  pw_thread_loop_lock(connection_->loop);
  closeStreams();
  pw_thread_loop_unlock(connection_->loop);
}

std::vector<ProvidedObject> PipewireProvider::objects() const {
  std::vector<ProvidedObject> objects{{kDevice, ObjectKind::Device}};
  for (ObjectId id : streams(kAspScopeGlobal)) objects.push_back({id, ObjectKind::Other});
  return objects;
}

std::vector<ProvidedDevice> PipewireProvider::devices() const {
  std::vector<uint32_t> input, output;
  if (node_.inputChannels > 0) input.push_back(node_.inputChannels);
  if (node_.outputChannels > 0) output.push_back(node_.outputChannels);
  return {ProvidedDevice{kDevice, node_.name, false, input, output}};
}

// Local ids: the device, then its input stream, then its output stream.
std::vector<ObjectId> PipewireProvider::streams(uint32_t scope) const {
  std::vector<ObjectId> ids;
  AspObjectId next = kDevice + 1;
  if (node_.inputChannels > 0) {
    if (scope != kAspScopeOutput) ids.push_back(next);
    ++next;
  }
  if (node_.outputChannels > 0 && scope != kAspScopeInput) ids.push_back(next);
  return ids;
}

bool PipewireProvider::hasProperty(AspObjectId local, const AspPropertyAddress& address) const {
  const bool inScope = (address.scope == kAspScopeInput && node_.inputChannels > 0) ||
                       (address.scope == kAspScopeOutput && node_.outputChannels > 0);
  if (local == kDevice) {
    switch (address.selector) {
    case kAspPropBaseClass:
    case kAspPropClass:
    case kPropDeviceUid:
    case kPropName:
    case kPropNominalSampleRate:
    case kPropAvailableSampleRates:
    case kPropTransportType:
    case kPropIsHidden:
    case kPropCanBeDefault:
    case kAspPropCanBeDefaultSystemDevice:
    case kAspPropIsAlive:
    case kAspPropOwnedObjects:
    case kPropStreams:
      return true;
    case kPropLatency:
    case kPropSafetyOffset:
      return inScope;
    default:
      return false;
    }
  }
  const std::vector<ObjectId> all = streams(kAspScopeGlobal);
  if (std::find(all.begin(), all.end(), local) == all.end()) return false;
  switch (address.selector) {
  case kAspPropBaseClass:
  case kAspPropClass:
  case kAspPropDirection:
  case kAspPropStartingChannel:
  case kAspPropOwner:
  case kAspPropPhysicalFormat:
  case kAspPropVirtualFormat:
    return true;
  default:
    return false;
  }
}

AspStatus PipewireProvider::isPropertySettable(AspObjectId local, const AspPropertyAddress& address,
                                               bool* outSettable) const {
  if (!hasProperty(local, address)) return kAspUnknownProperty;
  *outSettable = local == kDevice && address.selector == kPropNominalSampleRate;
  return kAspNoError;
}

AspStatus PipewireProvider::getPropertyDataSize(AspObjectId local,
                                                const AspPropertyAddress& address,
                                                uint32_t qualifierSize, const void* qualifier,
                                                uint32_t* outSize) const {
  return sizeByReading(address.selector, outSize, [&](uint32_t size, uint32_t* written, void* out) {
    return getPropertyData(local, address, qualifierSize, qualifier, size, written, out);
  });
}

AspStatus PipewireProvider::getPropertyData(AspObjectId local, const AspPropertyAddress& address,
                                            uint32_t, const void*, uint32_t size, uint32_t* outSize,
                                            void* outData) const {
  if (!hasProperty(local, address)) return kAspUnknownProperty;
  uint32_t room = size;
  AspStatus status = kAspUnknownProperty;
  if (local == kDevice) {
    switch (address.selector) {
    case kAspPropBaseClass:
      status = writeValue(kAspClassObject, &room, outData);
      break;
    case kAspPropClass:
      status = writeValue(kAspClassDevice, &room, outData);
      break;
    case kPropDeviceUid:
      status = writeText(node_.name, &room, outData);
      break;
    case kPropName:
      status =
          writeText(node_.description.empty() ? node_.name : node_.description, &room, outData);
      break;
    case kPropNominalSampleRate:
      status = writeValue(nominalRate_, &room, outData);
      break;
    case kPropAvailableSampleRates: {
      // The streams always run at 48000 Hz; the server converts from the node's own rate.
      std::vector<double> rates{double(kStreamRate)};
      if (node_.rate != kStreamRate) rates.push_back(node_.rate);
      std::sort(rates.begin(), rates.end());
      const size_t fit = std::min<size_t>(rates.size(), room / sizeof(AspValueRange));
      for (size_t r = 0; r < fit; ++r) {
        const AspValueRange value{rates[r], rates[r]};
        std::memcpy(static_cast<unsigned char*>(outData) + r * sizeof value, &value, sizeof value);
      }
      room = uint32_t(fit * sizeof(AspValueRange));
      status = kAspNoError;
      break;
    }
    case kPropTransportType:
      status = writeValue(node_.isVirtual ? kTransportVirtual : kTransportBuiltIn, &room, outData);
      break;
    case kPropIsHidden:
      status = writeValue(uint32_t(0), &room, outData);
      break;
    case kPropCanBeDefault:
    case kAspPropCanBeDefaultSystemDevice:
    case kAspPropIsAlive:
      status = writeValue(uint32_t(1), &room, outData);
      break;
    case kAspPropOwnedObjects:
    case kPropStreams:
      status = writeIds(streams(address.scope), &room, outData);
      break;
    case kPropLatency: {
      const uint32_t quantum =
          io_ != nullptr ? io_->bufferFrames.load(std::memory_order_relaxed) : kDefaultBufferFrames;
      const PipewireLatency& latency =
          address.scope == kAspScopeInput ? node_.inputLatency : node_.outputLatency;
      status = writeValue(latencyFrames(latency, nominalRate_, quantum), &room, outData);
      break;
    }
    case kPropSafetyOffset:
      // The server schedules ahead itself: the margin it keeps is part of the ports' latency.
      status = writeValue(uint32_t(0), &room, outData);
      break;
    default:
      break;
    }
  } else {
    const bool inputStream = node_.inputChannels > 0 && local == kDevice + 1;
    const uint32_t channels = inputStream ? node_.inputChannels : node_.outputChannels;
    switch (address.selector) {
    case kAspPropBaseClass:
      status = writeValue(kAspClassObject, &room, outData);
      break;
    case kAspPropClass:
      status = writeValue(kAspClassStream, &room, outData);
      break;
    case kAspPropDirection:
      status = writeValue(uint32_t(inputStream ? 1 : 0), &room, outData);
      break;
    case kAspPropStartingChannel:
      status = writeValue(uint32_t(1), &room, outData);
      break;
    case kAspPropOwner:
      status = writeValue(kDevice, &room, outData);
      break;
    default: // physical and virtual format: what the stream delivers
      status = writeValue(floatFormat(nominalRate_, channels), &room, outData);
      break;
    }
  }
  if (status == kAspNoError) *outSize = room;
  return status;
}

uint32_t PipewireProvider::latencyFrames(const PipewireLatency& latency, double rate,
                                         uint32_t quantum) {
  if (!(rate > 0.0) || !(latency.graphRate > 0.0)) return 0;
  const double frames = double(latency.frames) * rate / latency.graphRate +
                        double(latency.quanta) * double(quantum) +
                        double(latency.nanoseconds) * rate / 1e9;
  // A figure no device has (or not a number) counts as none.
  if (!(frames >= 0.0) || frames >= double(kMaxLatencyFrames)) return 0;
  return uint32_t(std::lround(frames));
}

void PipewireProvider::setLatency(bool input, const PipewireLatency& latency) {
  PipewireLatency& known = input ? node_.inputLatency : node_.outputLatency;
  if (known == latency) return;
  known = latency;
  if ((input ? node_.inputChannels : node_.outputChannels) > 0) {
    tell(kPropLatency, input ? kAspScopeInput : kAspScopeOutput);
  }
}

void PipewireProvider::tell(uint32_t selector, uint32_t scope) {
  if (sink_) sink_(kDevice, {AspPropertyAddress{selector, scope, kAspElementMain}});
}

AspStatus PipewireProvider::setPropertyData(AspObjectId local, const AspPropertyAddress& address,
                                            uint32_t, const void*, uint32_t size,
                                            const void* data) {
  bool settable = false;
  const AspStatus status = isPropertySettable(local, address, &settable);
  if (status != kAspNoError) return status;
  if (!settable) return kStatusIllegalOperation;
  double rate = 0.0;
  if (!readValue(size, data, &rate)) return kAspBadPropertySize;
  if (rate != kStreamRate && rate != node_.rate) return kAspUnsupportedFormat;
  if (rate != nominalRate_) {
    nominalRate_ = rate;
    tell(kPropNominalSampleRate, kAspScopeGlobal);
  }
  return kAspNoError;
}

bool PipewireProvider::openStream(Stream& s, bool capture, uint32_t frames) {
  const std::string name =
      std::string(kOwnNodePrefix) + (capture ? "input." : "output.") + node_.name;
  const std::string latency = quantumOf(frames);
  pw_properties* props = pw_properties_new(
      PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, capture ? "Capture" : "Playback",
      PW_KEY_MEDIA_ROLE, "Production", PW_KEY_NODE_NAME, name.c_str(), PW_KEY_TARGET_OBJECT,
      node_.name.c_str(), PW_KEY_NODE_LATENCY, latency.c_str(), PW_KEY_NODE_DONT_RECONNECT, "true",
      PW_KEY_NODE_GROUP, kOwnNodeGroup, nullptr);
  // The session manager treats a duplex node as a sink: its input side is reached like a
  // sink's monitor.
  if (capture && node_.outputChannels > 0)
    pw_properties_set(props, PW_KEY_STREAM_CAPTURE_SINK, "true");
  s.owner = this;
  s.events.version = PW_VERSION_STREAM_EVENTS;
  s.events.process = capture ? &PipewireProvider::onCapture : &PipewireProvider::onPlayback;
  s.events.io_changed = &PipewireProvider::onIoChanged;
  s.stream = pw_stream_new(connection_->core, name.c_str(), props);
  if (s.stream == nullptr) return false;
  pw_stream_add_listener(s.stream, &s.listener, &s.events, &s);

  spa_audio_info_raw info{};
  info.format = SPA_AUDIO_FORMAT_F32;
  info.rate = kStreamRate;
  info.channels = std::min<uint32_t>(capture ? node_.inputChannels : node_.outputChannels,
                                     SPA_AUDIO_MAX_CHANNELS);
  fillPositions(info, node_.positions);
  uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
  const auto flags = pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                     PW_STREAM_FLAG_RT_PROCESS);
  return pw_stream_connect(s.stream, capture ? SPA_DIRECTION_INPUT : SPA_DIRECTION_OUTPUT,
                           PW_ID_ANY, flags, params, 1) == 0;
}

void PipewireProvider::closeStreams() {
  // Both streams end before either record goes: a duplex node's other callback may still run.
  for (std::unique_ptr<Stream>* s : {&capture_, &playback_}) {
    if (*s && (*s)->stream != nullptr) pw_stream_destroy((*s)->stream);
  }
  capture_.reset();
  playback_.reset();
}

AspStatus PipewireProvider::startDevice(AspObjectId) {
  if (io_ == nullptr) return kStatusIllegalOperation;
  const uint32_t frames = std::clamp(io_->bufferFrames.load(std::memory_order_relaxed),
                                     kMinBufferFrames, kMaxBufferFrames);
  sampleTime_ = 0.0; // no cycle runs while the device is stopped
  duplexRing_.clear();
  blockPosition_ = UINT64_MAX;
  if (connection_->mixer != nullptr) {
    member_ = connection_->mixer->attach(*this, frames);
    if (member_ != nullptr && node_.inputChannels > 0 && node_.outputChannels > 0) {
      // What the mixer's cycle plays waits in the duplex ring for this stream.
      duplexFresh_.store(true, std::memory_order_relaxed);
      pw_thread_loop_lock(connection_->loop);
      playback_ = std::make_unique<Stream>();
      const bool opened = openStream(*playback_, false, frames);
      if (!opened) closeStreams();
      pw_thread_loop_unlock(connection_->loop);
      if (!opened) {
        connection_->mixer->detach(member_);
        member_ = nullptr;
        return kStatusIllegalOperation;
      }
    }
    if (member_ != nullptr) return kAspNoError;
  }
  pw_thread_loop_lock(connection_->loop);
  bool opened = true;
  if (node_.inputChannels > 0) {
    capture_ = std::make_unique<Stream>();
    opened = openStream(*capture_, true, frames);
  }
  if (opened && node_.outputChannels > 0) {
    playback_ = std::make_unique<Stream>();
    opened = openStream(*playback_, false, frames);
  }
  if (!opened) closeStreams();
  pw_thread_loop_unlock(connection_->loop);
  // Listed once its stream exists, so that the data thread only sees a complete provider.
  if (opened && node_.inputChannels == 0) enlistOutput();
  return opened ? kAspNoError : kStatusIllegalOperation;
}

void PipewireProvider::bufferFramesChanged(AspObjectId, uint32_t frames) {
  if (member_ != nullptr) {
    connection_->mixer->setFrames(member_, frames);
    if (!playback_) return;
  }
  if (!capture_ && !playback_) return; // the next start asks for it
  const std::string latency = quantumOf(frames);
  const spa_dict_item items[] = {SPA_DICT_ITEM_INIT(PW_KEY_NODE_LATENCY, latency.c_str())};
  const spa_dict dict = SPA_DICT_INIT_ARRAY(items);
  pw_thread_loop_lock(connection_->loop);
  for (Stream* s : {capture_.get(), playback_.get()}) {
    if (s != nullptr && s->stream != nullptr) pw_stream_update_properties(s->stream, &dict);
  }
  pw_thread_loop_unlock(connection_->loop);
}

AspStatus PipewireProvider::stopDevice(AspObjectId) {
  if (member_ != nullptr) {
    if (connection_->mixer != nullptr) connection_->mixer->detach(member_);
    member_ = nullptr;
  }
  dismissOutput();
  pw_thread_loop_lock(connection_->loop);
  closeStreams(); // waits for a process callback in flight
  pw_thread_loop_unlock(connection_->loop);
  return kAspNoError;
}

void PipewireProvider::enlistOutput() {
  if (enlisted_) return;
  for (auto& slot : gOrder.outputs) {
    PipewireProvider* empty = nullptr;
    if (slot.compare_exchange_strong(empty, this, std::memory_order_acq_rel)) {
      enlisted_ = true;
      return;
    }
  }
  // No slot left: the device still runs, from its own playback callback.
}

void PipewireProvider::dismissOutput() {
  if (!enlisted_) return;
  for (auto& slot : gOrder.outputs) {
    PipewireProvider* self = this;
    slot.compare_exchange_strong(self, nullptr, std::memory_order_seq_cst);
  }
  enlisted_ = false;
  // A graph cycle that picked this provider up before it left the list ends soon.
  while (gOrder.users.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
}

void PipewireProvider::onIoChanged(void* data, uint32_t id, void* area, uint32_t size) {
  if (id != SPA_IO_Position) return;
  static_cast<Stream*>(data)->position.store(
      size >= sizeof(spa_io_position) ? static_cast<spa_io_position*>(area) : nullptr,
      std::memory_order_release);
}

void PipewireProvider::startGraphCycle(const Stream& s) {
  const spa_io_position* position = s.position.load(std::memory_order_acquire);
  if (position == nullptr) return;
  const uint64_t now = position->clock.position;
  if (gOrder.lastPosition.exchange(now, std::memory_order_relaxed) == now) return;
  gOrder.users.fetch_add(1, std::memory_order_seq_cst);
  for (auto& slot : gOrder.outputs) {
    if (PipewireProvider* p = slot.load(std::memory_order_seq_cst)) p->runOutputCycle(*position);
  }
  gOrder.users.fetch_sub(1, std::memory_order_release);
}

void PipewireProvider::runOutputCycle(const spa_io_position& cycle) {
  // Only a device on the same graph clock: another driver's cycles are not this device's.
  const spa_io_position* own =
      playback_ ? playback_->position.load(std::memory_order_acquire) : nullptr;
  if (own == nullptr || own->clock.id != cycle.clock.id) return;
  const auto frames = uint32_t(std::min<uint64_t>(cycle.clock.duration, kMaxBufferFrames));
  if (io_ == nullptr || frames == 0) return;
  DeviceIo& io = *io_;
  io.cyclesInFlight.fetch_add(1, std::memory_order_seq_cst);
  if (io.running.load(std::memory_order_seq_cst)) {
    pendingOutput_ = block_.data();
    io.runCycle(frames, hostTimeNow());
    pendingOutput_ = nullptr;
    blockFrames_ = frames;
    blockPosition_ = cycle.clock.position;
  }
  io.cyclesInFlight.fetch_sub(1, std::memory_order_release);
}

bool PipewireProvider::runMixerCycle(const float* input, float* output, uint32_t frames,
                                     uint64_t now) {
  if (io_ == nullptr || frames == 0) return false;
  DeviceIo& io = *io_;
  // Counted in before `running` is read: the layer's halt waits for this cycle to end.
  io.cyclesInFlight.fetch_add(1, std::memory_order_seq_cst);
  const bool ran = io.running.load(std::memory_order_seq_cst);
  if (ran) {
    pendingInput_ = input;
    pendingOutput_ = output;
    io.runCycle(frames, now);
    pendingInput_ = nullptr;
    pendingOutput_ = nullptr;
  }
  io.cyclesInFlight.fetch_sub(1, std::memory_order_release);
  return ran;
}

void PipewireProvider::skipMixerFrames(uint32_t frames) {
  if (io_ == nullptr || frames == 0) return;
  DeviceIo& io = *io_;
  io.cyclesInFlight.fetch_add(1, std::memory_order_seq_cst);
  if (io.running.load(std::memory_order_seq_cst)) io.skip(frames);
  io.cyclesInFlight.fetch_sub(1, std::memory_order_release);
}

void PipewireProvider::cycle(void* context, DeviceIo& io, uint32_t frames, uint64_t now) {
  auto& self = *static_cast<PipewireProvider*>(context);
  frames = std::min(frames, kMaxBufferFrames);
  if (io.hasInput() && self.pendingInput_ != nullptr) {
    std::memcpy(io.inputData(0), self.pendingInput_,
                size_t(frames) * self.node_.inputChannels * kFloatBytes);
  }
  const double current = self.sampleTime_ + frames;
  self.sampleTime_ = current;
  io.deliver(frames, CycleTimes{current - frames, current + frames, now});
  if (!io.hasOutput()) return;
  if (self.pendingOutput_ != nullptr) {
    std::memcpy(self.pendingOutput_, io.outputData(0),
                size_t(frames) * self.node_.outputChannels * kFloatBytes);
  } else {
    self.duplexRing_.write(io.outputData(0), frames);
  }
}

void PipewireProvider::onCapture(void* data) {
  auto& s = *static_cast<Stream*>(data);
  PipewireProvider& self = *s.owner;
  startGraphCycle(s);
  // Every buffer that waits is a cycle of its own: after a late call the server has queued
  // more than one, and leaving one behind would drop a block sooner or later.
  while (pw_buffer* b = pw_stream_dequeue_buffer(s.stream)) {
    const spa_data& d = b->buffer->datas[0];
    const uint32_t stride = self.node_.inputChannels * kFloatBytes;
    uint32_t frames = 0;
    const float* samples = nullptr;
    if (d.data != nullptr && d.chunk != nullptr && d.maxsize > 0) {
      const uint32_t offset = std::min(d.chunk->offset, d.maxsize);
      frames = std::min(d.chunk->size, d.maxsize - offset) / stride;
      samples = reinterpret_cast<const float*>(static_cast<const uint8_t*>(d.data) + offset);
    }
    frames = std::min(frames, kMaxBufferFrames);
    DeviceIo& io = *self.io_;
    // Counted in before `running` is read: the layer's halt waits for this cycle to end.
    io.cyclesInFlight.fetch_add(1, std::memory_order_seq_cst);
    if (frames > 0 && io.running.load(std::memory_order_seq_cst)) {
      self.pendingInput_ = samples;
      io.runCycle(frames, hostTimeNow());
      self.pendingInput_ = nullptr;
    }
    io.cyclesInFlight.fetch_sub(1, std::memory_order_release);
    pw_stream_queue_buffer(s.stream, b);
  }
}

void PipewireProvider::onPlayback(void* data) {
  auto& s = *static_cast<Stream*>(data);
  PipewireProvider& self = *s.owner;
  startGraphCycle(s);
  pw_buffer* b = pw_stream_dequeue_buffer(s.stream);
  if (b == nullptr) return;
  spa_data& d = b->buffer->datas[0];
  if (d.data == nullptr || d.chunk == nullptr) {
    pw_stream_queue_buffer(s.stream, b);
    return;
  }
  DeviceIo& io = *self.io_;
  const uint32_t channels = self.node_.outputChannels;
  const uint32_t stride = channels * kFloatBytes;
  uint64_t frames =
      b->requested != 0 ? b->requested : io.bufferFrames.load(std::memory_order_relaxed);
  frames = std::min<uint64_t>({frames, d.maxsize / stride, kMaxBufferFrames});
  auto* out = static_cast<float*>(d.data);
  uint32_t done = 0;
  const spa_io_position* position = s.position.load(std::memory_order_acquire);
  if (self.node_.inputChannels > 0) {
    // A duplex node: its capture stream ran the cycle, the mix waits in the ring. The mixer runs
    // the device's cycles before this stream first runs and while it misses graph cycles: those
    // would leave the way longer for good, only the newest cycle's frames are kept then.
    const bool fresh = self.duplexFresh_.exchange(false, std::memory_order_relaxed);
    if (position != nullptr) {
      if (fresh || position->clock.position != self.playbackNext_) {
        const uint64_t waiting = self.duplexRing_.available();
        if (waiting > frames) self.duplexRing_.skip(waiting - frames);
      }
      self.playbackNext_ = position->clock.position + position->clock.duration;
    }
    done = self.duplexRing_.read(out, uint32_t(frames));
  } else if (position != nullptr && self.blockPosition_ == position->clock.position) {
    // This graph cycle's block, run when the cycle began.
    done = uint32_t(std::min<uint64_t>(frames, self.blockFrames_));
    std::memcpy(out, self.block_.data(), size_t(done) * stride);
  } else {
    io.cyclesInFlight.fetch_add(1, std::memory_order_seq_cst);
    if (frames > 0 && io.running.load(std::memory_order_seq_cst)) {
      self.pendingOutput_ = out;
      io.runCycle(uint32_t(frames), hostTimeNow());
      self.pendingOutput_ = nullptr;
      done = uint32_t(frames);
    }
    io.cyclesInFlight.fetch_sub(1, std::memory_order_release);
  }
  std::fill(out + size_t(done) * channels, out + size_t(frames) * channels, 0.0f);
  d.chunk->offset = 0;
  d.chunk->stride = int32_t(stride);
  d.chunk->size = uint32_t(frames) * stride;
  pw_stream_queue_buffer(s.stream, b);
}

} // namespace platform::audio
