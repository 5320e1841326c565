#include "platform/audio/simulated/sim_devices.h"

#include <cmath>

#include "platform/audio/layer/system_state.h"
#include "platform/audio/simulated/sim_device_provider.h"

namespace platform::audio {
namespace {

constexpr uint32_t kMaxChannels = 64;

bool validLayout(const std::vector<uint32_t>& layout) {
  if (layout.size() > BufferList::kCapacity) return false;
  uint32_t channels = 0;
  for (uint32_t c : layout) {
    if (c == 0) return false;
    channels += c;
  }
  return channels <= kMaxChannels;
}

bool valid(const SimDeviceConfig& c) {
  if (c.uid.empty() || (c.inputBuffers.empty() && c.outputBuffers.empty())) return false;
  if (!validLayout(c.inputBuffers) || !validLayout(c.outputBuffers)) return false;
  if (c.bufferFrames < kMinBufferFrames || c.bufferFrames > kMaxBufferFrames) return false;
  if (!std::isfinite(c.nominalRate) || c.nominalRate <= 0.0) return false;
  for (double rate : c.availableRates) {
    if (!std::isfinite(rate) || rate <= 0.0) return false;
  }
  return true;
}

// The plugged-in simulated device with this UID (not an aggregate), with the lock held.
DeviceEntry* simDevice(AudioSystem& system, const std::string& uid) {
  if (!system.running) return nullptr;
  DeviceEntry* device = findDeviceByUid(system, uid);
  if (device == nullptr) return nullptr;
  const SimDeviceProvider* provider = simProviderOf(*device);
  return provider != nullptr && !provider->aggregate() ? device : nullptr;
}

} // namespace

std::vector<float> CapturedAudio::channel(uint32_t c) const {
  std::vector<float> out;
  if (c >= channels) return out;
  out.reserve(frames());
  for (size_t f = 0; f < frames(); ++f) out.push_back(at(f, c));
  return out;
}

ObjectId addSimDevice(const SimDeviceConfig& config) {
  if (!valid(config)) return 0;
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  if (!system.running || findDeviceByUid(system, config.uid) != nullptr) return 0;
  const DefaultIds before = currentDefaults(system);
  ProviderSlot* slot = registerProvider(
      system,
      std::make_unique<SimDeviceProvider>(config, std::vector<SimInputPart>{}, false, false));
  const ObjectId id = globalIdOf(*slot, SimDeviceProvider::kDevice);
  DeviceEntry& device = *findDevice(system, id);
  device.io->bufferFrames.store(config.bufferFrames, std::memory_order_relaxed);
  device.failWrites = config.faults.failPropertyWrites;
  device.refuseIoProcs = config.faults.refuseIoProcs;
  devicesChanged(system, before, true);
  return id;
}

bool removeSimDevice(const std::string& uid) {
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  DeviceEntry* device = simDevice(system, uid);
  if (device == nullptr) return false;
  const DefaultIds before = currentDefaults(system);
  unregisterProvider(system, device->provider);
  devicesChanged(system, before, true);
  return true;
}

bool setSimInput(const std::string& uid, SignalSource source) {
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  DeviceEntry* device = simDevice(system, uid);
  if (device == nullptr) return false;
  simProviderOf(*device)->inputCell()->set(std::move(source));
  return true;
}

bool setSimFaults(const std::string& uid, SimFaults faults) {
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  DeviceEntry* device = simDevice(system, uid);
  if (device == nullptr) return false;
  device->failWrites = faults.failPropertyWrites;
  device->refuseIoProcs = faults.refuseIoProcs;
  return true;
}

CapturedAudio takeSimOutput(const std::string& uid) {
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  DeviceEntry* device = simDevice(system, uid);
  if (device == nullptr) return CapturedAudio{};
  return simProviderOf(*device)->takeOutput();
}

} // namespace platform::audio
