#include "platform/audio/simulated/sim_taps.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "platform/audio/layer/layer_properties.h"
#include "platform/audio/simulated/sim_device_provider.h"
#include "platform/audio/simulated/sim_objects.h"

namespace platform::audio {
namespace {

// Room for a server's largest blocks on both sides of the hand-over.
constexpr uint32_t kTapFeedFrames = 4 * kMaxBufferFrames;

std::shared_ptr<SimTap> tapOf(AudioSystem& system, ObjectId object) {
  auto it = system.taps.find(object);
  return it == system.taps.end() ? nullptr : it->second;
}

std::shared_ptr<SimTap> tapByUuid(AudioSystem& system, const std::string& uuid) {
  for (auto& [id, tap] : system.taps) {
    if (tap->description.uuid == uuid) return tap;
  }
  return nullptr;
}

void mute(const SimTap& tap, int step) {
  if (tap.description.muteBehavior != TapMuteBehavior::Muted) return;
  for (const std::shared_ptr<SimProcess>& process : tap.processes) {
    process->mutingTaps.fetch_add(step, std::memory_order_acq_rel);
  }
}

// ---- the tap object's properties ------------------------------------------------------------

bool has(AudioSystem&, ObjectId, const AspPropertyAddress& address) {
  switch (address.selector) {
  case kAspPropBaseClass:
  case kAspPropClass:
  case kAspPropName:
  case kPropTapUid:
    return true;
  default:
    return false;
  }
}

bool settable(AudioSystem&, ObjectId, const AspPropertyAddress&) {
  return false;
}

AspStatus get(AudioSystem& system, ObjectId object, const AspPropertyAddress& address, uint32_t,
              const void*, uint32_t* ioSize, void* outData) {
  const std::shared_ptr<SimTap> tap = tapOf(system, object);
  if (!tap) return kAspBadObject;
  switch (address.selector) {
  case kAspPropBaseClass:
    return writeValue(kAspClassObject, ioSize, outData);
  case kAspPropClass:
    return writeValue(kClassTap, ioSize, outData);
  case kAspPropName:
    return writeText(tap->description.name, ioSize, outData);
  default:
    return writeText(tap->description.uuid, ioSize, outData);
  }
}

AspStatus set(AudioSystem&, ObjectId, const AspPropertyAddress&, uint32_t, const void*) {
  return kStatusIllegalOperation;
}

// The input parts of an aggregate: each sub-device's input buffers (its own signal when it is a
// simulated device, silence otherwise), then two channels per tap.
AspStatus inputParts(AudioSystem& system, const AggregateDescription& description,
                     std::vector<SimInputPart>* parts) {
  std::vector<std::string> uids;
  if (!description.mainSubDevice.empty()) uids.push_back(description.mainSubDevice);
  for (const std::string& uid : description.subDevices) {
    if (std::find(uids.begin(), uids.end(), uid) == uids.end()) uids.push_back(uid);
  }
  for (const std::string& uid : uids) {
    DeviceEntry* device = findDeviceByUid(system, uid);
    if (device == nullptr) return kStatusBadDevice;
    const std::vector<uint32_t>& layout = device->io->inputLayout();
    if (layout.empty()) continue;
    const SimDeviceProvider* sim = simProviderOf(*device);
    SimInputPart part;
    part.layout = layout;
    if (sim != nullptr && !sim->aggregate()) part.cell = sim->inputCell();
    part.cursors.resize(1);
    parts->push_back(std::move(part));
  }
  for (const AggregateTap& entry : description.taps) {
    std::shared_ptr<SimTap> tap = tapByUuid(system, entry.uid);
    if (!tap) return kAspBadObject;
    SimInputPart part;
    part.layout = {2};
    part.cursors.resize(tap->processes.size());
    part.tap = std::move(tap);
    parts->push_back(std::move(part));
  }
  return kAspNoError;
}

} // namespace

const LayerProperties& tapProperties() {
  static const LayerProperties properties{has, settable, get, set};
  return properties;
}

std::string makeUuid() {
  static std::mutex mutex;
  static std::mt19937_64 random{std::random_device{}()};
  uint64_t high;
  uint64_t low;
  {
    std::lock_guard<std::mutex> lock(mutex);
    high = random();
    low = random();
  }
  high = (high & ~0xF000ull) | 0x4000ull;               // version 4
  low = (low & ~(0xC000ull << 48)) | (0x8000ull << 48); // variant 10
  char text[37];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%012llX", unsigned(high >> 32),
                unsigned((high >> 16) & 0xFFFF), unsigned(high & 0xFFFF), unsigned(low >> 48),
                static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
  return text;
}

AspStatus createProcessTap(const TapDescription& description, ObjectId* outTap) {
  if (outTap == nullptr) return kAspBadPropertySize;
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  if (!system.running) return kStatusNotRunning;
  if (description.uuid.empty() || tapByUuid(system, description.uuid)) {
    return kStatusIllegalOperation;
  }
  auto tap = std::make_shared<SimTap>();
  tap->description = description;
  for (ObjectId object : description.processes) {
    auto it = system.processes.find(object);
    if (it == system.processes.end()) return kAspBadObject;
    tap->processes.push_back(it->second);
  }
  const bool external =
      std::any_of(tap->processes.begin(), tap->processes.end(),
                  [](const std::shared_ptr<SimProcess>& process) { return process->external; });
  if (external) {
    // Only the sound server that plays them can capture them.
    if (!system.tapWatch) return kStatusIllegalOperation;
    tap->feed = std::make_shared<TapFeed>(kTapFeedFrames);
  }
  tap->object = system.nextObjectId++;
  if (external && !system.tapWatch(*tap, true)) return kStatusIllegalOperation;
  mute(*tap, +1);
  system.objects[tap->object] = ObjectEntry{nullptr, 0, ObjectKind::Tap};
  system.taps[tap->object] = tap;
  *outTap = tap->object;
  return kAspNoError;
}

AspStatus destroyProcessTap(ObjectId object) {
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  if (!system.running) return kStatusNotRunning;
  const std::shared_ptr<SimTap> tap = tapOf(system, object);
  if (!tap) return kAspBadObject;
  tap->destroyed.store(true, std::memory_order_release);
  if (tap->feed && system.tapWatch) system.tapWatch(*tap, false);
  mute(*tap, -1);
  system.taps.erase(object);
  system.objects.erase(object);
  return kAspNoError;
}

AspStatus createAggregateDevice(const AggregateDescription& description, ObjectId* outDevice) {
  if (outDevice == nullptr) return kAspBadPropertySize;
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  if (!system.running) return kStatusNotRunning;
  if (description.uid.empty() || findDeviceByUid(system, description.uid) != nullptr) {
    return kStatusIllegalOperation;
  }
  std::vector<SimInputPart> parts;
  const AspStatus status = inputParts(system, description, &parts);
  if (status != kAspNoError) return status;
  SimDeviceConfig config;
  config.name = description.name;
  config.uid = description.uid;
  for (const SimInputPart& part : parts) {
    config.inputBuffers.insert(config.inputBuffers.end(), part.layout.begin(), part.layout.end());
  }
  if (config.inputBuffers.size() > BufferList::kCapacity) return kStatusIllegalOperation;
  config.availableRates = {48000.0};
  config.transport = kTransportAggregate;
  config.canBeDefault = false;
  config.captureFrames = 0;
  const DefaultIds before = currentDefaults(system);
  ProviderSlot* slot =
      registerProvider(system, std::make_unique<SimDeviceProvider>(config, std::move(parts), true,
                                                                   description.isPrivate));
  *outDevice = globalIdOf(*slot, SimDeviceProvider::kDevice);
  if (!description.isPrivate) devicesChanged(system, before, true);
  return kAspNoError;
}

AspStatus destroyAggregateDevice(ObjectId object) {
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  if (!system.running) return kStatusNotRunning;
  DeviceEntry* device = findDevice(system, object);
  const SimDeviceProvider* sim = device != nullptr ? simProviderOf(*device) : nullptr;
  if (sim == nullptr || !sim->aggregate()) return kStatusBadDevice;
  const bool listed = !device->hidden;
  const DefaultIds before = currentDefaults(system);
  unregisterProvider(system, device->provider);
  if (listed) devicesChanged(system, before, true);
  return kAspNoError;
}

} // namespace platform::audio
