// The engine's device list, its eleven device links and the buffer size: binding a link switches
// its device to 48000 Hz and the configured buffer size and installs the link's I/O callback.
// Main thread only; every failure of the audio layer is silent (the link stays unbound).
#include "engine/engine.h"

#include "platform/audio/layer/io_procs.h"
#include "platform/audio/layer/properties.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace velto {

namespace {

namespace audio = platform::audio;

constexpr double kRate = 48000.0;
// Longest device text we take, in bytes; a longer one reads as empty.
constexpr size_t kTextBytes = 512;

constexpr AspPropertyAddress address(uint32_t selector, uint32_t scope = kAspScopeGlobal) {
  return AspPropertyAddress{selector, scope, kAspElementMain};
}

bool readU32(audio::ObjectId object, const AspPropertyAddress& addr, uint32_t& out) {
  uint32_t value = 0;
  uint32_t size = sizeof value;
  if (audio::getPropertyData(object, &addr, 0, nullptr, &size, &value) != 0 ||
      size != sizeof value) {
    return false;
  }
  out = value;
  return true;
}

double nominalRate(audio::ObjectId device) {
  const AspPropertyAddress addr = address(kAspPropNominalSampleRate);
  double rate = 0.0;
  uint32_t size = sizeof rate;
  if (audio::getPropertyData(device, &addr, 0, nullptr, &size, &rate) != 0 || size != sizeof rate) {
    return 0.0;
  }
  return rate;
}

// The callbacks the links install; the client data is the link's Ctx record. audio thread
AspStatus hwInputProc(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList* input,
                      const audio::TimeStamp*, audio::BufferList*, const audio::TimeStamp*,
                      void* clientData) {
  auto* ctx = static_cast<Engine::Ctx*>(clientData);
  ctx->engine->processHwInput(ctx->index, input);
  return 0;
}

AspStatus busOutputProc(audio::ObjectId, const audio::TimeStamp* now, const audio::BufferList*,
                        const audio::TimeStamp*, audio::BufferList* output, const audio::TimeStamp*,
                        void* clientData) {
  auto* ctx = static_cast<Engine::Ctx*>(clientData);
  ctx->engine->countSkippedBlocks(ctx->index, now, output);
  ctx->engine->processOutput(ctx->index, output);
  return 0;
}

AspStatus clockProc(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList*,
                    const audio::TimeStamp*, audio::BufferList* output, const audio::TimeStamp*,
                    void* clientData) {
  static_cast<Engine::Ctx*>(clientData)->engine->processClock(output);
  return 0;
}

AspStatus systemReturnProc(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList* input,
                           const audio::TimeStamp*, audio::BufferList*, const audio::TimeStamp*,
                           void* clientData) {
  static_cast<Engine::Ctx*>(clientData)->engine->processSystem(input);
  return 0;
}

std::string stringProperty(audio::ObjectId object, uint32_t selector) {
  const AspPropertyAddress addr = address(selector);
  AspText* text = nullptr;
  uint32_t size = sizeof text;
  if (audio::getPropertyData(object, &addr, 0, nullptr, &size, &text) != 0 || size != sizeof text ||
      text == nullptr) {
    return "";
  }
  std::string result;
  if (text->length < kTextBytes) result.assign(text->bytes, text->length);
  aspTextRelease(text);
  return result;
}

// Channels of the stream configuration in one scope: the sum over all its buffers.
uint32_t channelCount(audio::ObjectId device, uint32_t scope) {
  const AspPropertyAddress addr = address(audio::kPropStreamConfiguration, scope);
  uint32_t size = 0;
  if (audio::getPropertyDataSize(device, &addr, 0, nullptr, &size) != 0 || size == 0) return 0;
  std::vector<std::byte> bytes(std::max<size_t>(size, sizeof(audio::BufferList)));
  uint32_t got = static_cast<uint32_t>(bytes.size());
  if (audio::getPropertyData(device, &addr, 0, nullptr, &got, bytes.data()) != 0) return 0;
  if (got < offsetof(audio::BufferList, buffers)) return 0;
  uint32_t count = 0;
  std::memcpy(&count, bytes.data(), sizeof count);
  const size_t room = (got - offsetof(audio::BufferList, buffers)) / sizeof(audio::Buffer);
  count = static_cast<uint32_t>(std::min<size_t>(count, room));
  uint32_t channels = 0;
  for (uint32_t b = 0; b < count; ++b) {
    audio::Buffer buffer;
    std::memcpy(&buffer,
                bytes.data() + offsetof(audio::BufferList, buffers) + b * sizeof(audio::Buffer),
                sizeof buffer);
    channels += buffer.channels;
  }
  return channels;
}

DeviceInfo describe(audio::ObjectId id) {
  DeviceInfo d;
  d.id = id;
  d.uid = stringProperty(id, kAspPropDeviceUid);
  d.name = stringProperty(id, kAspPropName);
  d.inputs = channelCount(id, kAspScopeInput);
  d.outputs = channelCount(id, kAspScopeOutput);
  d.sampleRate = nominalRate(id);
  uint32_t transport = 0;
  readU32(id, address(kAspPropTransportType), transport);
  d.isVirtual = transport == kAspTransportVirtual;
  d.internal = false;
  return d;
}

audio::ObjectId translateUid(const std::string& uid) {
  AspText* text = aspTextCreate(uid.c_str());
  if (text == nullptr) return 0;
  const AspPropertyAddress addr = address(audio::kPropTranslateUidToDevice);
  audio::ObjectId id = 0;
  uint32_t size = sizeof id;
  if (audio::getPropertyData(audio::kSystemObject, &addr, sizeof text, &text, &size, &id) != 0 ||
      size != sizeof id) {
    id = 0;
  }
  aspTextRelease(text);
  return id;
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

} // namespace

void Engine::refreshDevices() {
  devices.clear();

  const AspPropertyAddress listAddr = address(audio::kPropDevices);
  uint32_t size = 0;
  if (audio::getPropertyDataSize(audio::kSystemObject, &listAddr, 0, nullptr, &size) == 0) {
    std::vector<audio::ObjectId> ids(size / sizeof(audio::ObjectId));
    uint32_t got = static_cast<uint32_t>(ids.size() * sizeof(audio::ObjectId));
    if (audio::getPropertyData(audio::kSystemObject, &listAddr, 0, nullptr, &got, ids.data()) ==
        0) {
      ids.resize(got / sizeof(audio::ObjectId));
      for (audio::ObjectId id : ids) {
        const bool aggregate = std::any_of(apps.begin(), apps.end(), [id](const AppSource& a) {
          return a.tap.aggregate != 0 && a.tap.aggregate == id;
        });
        if (aggregate) continue;
        DeviceInfo d = describe(id);
        if (!d.uid.empty()) devices.push_back(std::move(d));
      }
    }
  }

  const std::string internalUids[] = {"VeltoDefaultOutputReturn_UID", "VeltoClock_UID",
                                      virtualOutFeedUid(0), virtualOutFeedUid(1),
                                      virtualOutFeedUid(2)};
  for (const std::string& uid : internalUids) {
    const audio::ObjectId id = translateUid(uid);
    if (id == 0) continue;
    DeviceInfo d = describe(id);
    d.internal = true;
    devices.push_back(std::move(d));
  }

  reattachAll();
  watchMacVolume();
}

const DeviceInfo* Engine::findDevice(const std::string& key) const {
  if (key.empty() || devices.empty()) return nullptr;
  for (const DeviceInfo& d : devices) {
    if (d.uid == key) return &d;
  }
  for (const DeviceInfo& d : devices) {
    if (equalsIgnoringCase(d.name, key)) return &d;
  }
  return nullptr;
}

bool Engine::fits(const DeviceInfo& device, DeviceRole role) {
  switch (role) {
  case DeviceRole::Internal:
    return device.internal;
  case DeviceRole::Input:
    return !device.isVirtual && device.inputs > 0;
  case DeviceRole::Output:
    return !device.isVirtual && device.outputs > 0;
  }
  return false;
}

void Engine::attach(DeviceLink& link, DeviceRole role, audio::IoProc callback, Ctx* ctx) {
  if (!live) return;
  const DeviceInfo* d = findDevice(link.uid);
  if (d == nullptr || !fits(*d, role)) return;
  const audio::ObjectId id = d->id;

  if (nominalRate(id) != kRate) {
    const AspPropertyAddress rateAddr = address(kAspPropNominalSampleRate);
    audio::setPropertyData(id, &rateAddr, 0, nullptr, sizeof kRate, &kRate);
  }
  const uint32_t frames = settings.bufferFrames;
  const AspPropertyAddress sizeAddr = address(audio::kPropBufferFrameSize);
  audio::setPropertyData(id, &sizeAddr, 0, nullptr, sizeof frames, &frames);

  audio::IoProcId proc = audio::kNoIoProc;
  if (audio::createIoProcId(id, callback, ctx, &proc) != 0 || proc == audio::kNoIoProc) {
    link.ioProc = audio::kNoIoProc;
    return;
  }
  link.ioProc = proc;
  link.device = id;
  std::atomic_ref<uint32_t>(link.starts).fetch_add(1, std::memory_order_release);
  audio::startDevice(id, proc);
}

void Engine::detach(DeviceLink& link) {
  if (link.ioProc != audio::kNoIoProc) {
    audio::stopDevice(link.device, link.ioProc);
    audio::destroyIoProcId(link.device, link.ioProc);
  }
  link.ioProc = audio::kNoIoProc;
  link.device = 0;
}

void Engine::reattachAll() {
  auto rebind = [this](DeviceLink& link, DeviceRole role, audio::IoProc callback, Ctx* ctx) {
    const DeviceInfo* d = findDevice(link.uid);
    const AudioObjectID id = d ? d->id : 0;
    if (id == link.device) return;
    detach(link);
    attach(link, role, callback, ctx);
  };
  // The clock before the virtual outputs: where one clock runs them in start order, the virtual
  // inputs it mixes reach the virtual outputs in the same cycle.
  rebind(clockLink, DeviceRole::Internal, clockProc, &clockCtx);
  rebind(systemLink, DeviceRole::Internal, systemReturnProc, &systemCtx);
  for (int i = 0; i < 3; ++i) rebind(hwInputs[i].link, DeviceRole::Input, hwInputProc, &hwCtx[i]);
  for (int i = 0; i < 3; ++i) rebind(buses[i].link, DeviceRole::Output, busOutputProc, &busCtx[i]);
  for (int i = 3; i < 6; ++i) {
    rebind(buses[i].link, DeviceRole::Internal, busOutputProc, &busCtx[i]);
  }
}

void Engine::setHwInputDevice(int i, const std::string& key) {
  const DeviceInfo* found = findDevice(key);
  const std::string uid = found ? found->uid : key;
  detach(hwInputs[i].link);
  hwInputs[i].link.uid = uid;
  reattachAll();
}

void Engine::setHwOutputDevice(int i, const std::string& key) {
  const DeviceInfo* found = findDevice(key);
  const std::string uid = found ? found->uid : key;
  detach(buses[i].link);
  buses[i].link.uid = uid;
  reattachAll();
}

bool Engine::setBufferFrames(uint32_t frames) {
  const bool valid = frames >= 32 && frames <= 512 && (frames & (frames - 1)) == 0;
  if (!valid) return false;
  if (frames == settings.bufferFrames) return true;
  settings.bufferFrames = frames;
  ioBufferFrames.exchange(frames);

  for (HwInput& in : hwInputs) detach(in.link);
  for (Bus& bus : buses) detach(bus.link);
  detach(systemLink);
  detach(clockLink);
  reattachAll();

  const AspPropertyAddress sizeAddr = address(audio::kPropBufferFrameSize);
  for (const AppSource& a : apps) {
    if (a.tap.aggregate != 0) {
      audio::setPropertyData(a.tap.aggregate, &sizeAddr, 0, nullptr, sizeof frames, &frames);
    }
  }
  return true;
}

uint32_t Engine::deviceLatencyFrames(const std::string& key, bool input) const {
  const DeviceInfo* d = findDevice(key);
  if (d == nullptr) return 0;
  const uint32_t scope = input ? kAspScopeInput : kAspScopeOutput;
  uint32_t total = 0;
  for (uint32_t selector : {kAspPropLatency, kAspPropSafetyOffset, audio::kPropBufferFrameSize}) {
    uint32_t value = 0;
    if (readU32(d->id, address(selector, scope), value)) total += value;
  }
  return total;
}

std::vector<std::string> Engine::sourcesOf(int k) const {
  std::vector<std::string> names;
  const uint32_t bit = 1u << k;
  auto take = [&](const Strip& s) {
    if (s.routeMask.load() & bit) names.push_back(s.name);
  };
  for (const HwInput& in : hwInputs) take(in.strip);
  for (const VirtualIn& v : virtualIns) take(v.strip);
  take(padsStrip);
  take(playerStrip);
  return names;
}

std::vector<std::string> Engine::appsOf(int k) {
  std::vector<std::string> names;
  for (const AppSource& a : apps) {
    if (a.used && (a.strip.effectiveRoute() & (1u << k))) names.push_back(a.strip.name);
  }
  return names;
}

void Engine::refreshUsers() {
  for (auto& list : users) list.clear();
  AudioObjectID ids[3] = {0, 0, 0};
  for (int n = 0; n < 3; ++n) {
    const DeviceInfo* d = findDevice(virtualOutUid(n));
    ids[n] = d ? d->id : 0;
  }
  for (const AudioProcess& p : listAudioProcesses()) {
    for (int n = 0; n < 3; ++n) {
      if (ids[n] == 0) continue;
      const auto& in = p.inputDevices;
      if (std::find(in.begin(), in.end(), ids[n]) == in.end()) continue;
      const std::string name = processName(p);
      if (std::find(users[n].begin(), users[n].end(), name) == users[n].end()) {
        users[n].push_back(name);
      }
    }
  }
}

} // namespace velto
