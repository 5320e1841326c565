#include "platform/audio/io_procs.h"

#include "platform/audio/system_state.h"

namespace platform::audio {
namespace {

// Resolves device and callback slot with the control lock held.
AspStatus resolve(AudioSystem& system, ObjectId device, IoProcId id, DeviceEntry** outDevice,
                  IoSlot** outSlot) {
  if (!system.running) return kStatusNotRunning;
  DeviceEntry* entry = findDevice(system, device);
  if (entry == nullptr) return kStatusBadDevice;
  if (id == kNoIoProc) return kStatusIllegalOperation;
  for (IoSlot& slot : entry->io->slots) {
    if (slot.id == id) {
      *outDevice = entry;
      *outSlot = &slot;
      return kAspNoError;
    }
  }
  return kStatusIllegalOperation;
}

// Stops one started callback; the device stops with its last callback.
void stopSlot(AudioSystem& system, DeviceEntry& device, IoSlot& slot) {
  if (!slot.started.load(std::memory_order_acquire)) return;
  device.io->stopSlot(slot);
  if (--device.startedProcs == 0) {
    haltDeviceClock(system, device);
    device.provider->provider->stopDevice(device.local);
  }
}

} // namespace

AspStatus createIoProcId(ObjectId device, IoProc proc, void* clientData, IoProcId* outId) {
  if (proc == nullptr || outId == nullptr) return kStatusIllegalOperation;
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  if (!system.running) return kStatusNotRunning;
  DeviceEntry* entry = findDevice(system, device);
  if (entry == nullptr) return kStatusBadDevice;
  for (IoSlot& slot : entry->io->slots) {
    if (slot.id != kNoIoProc) continue;
    slot.id = system.nextProcId++;
    slot.proc.store(proc, std::memory_order_relaxed);
    slot.clientData.store(clientData, std::memory_order_relaxed);
    *outId = slot.id;
    return kAspNoError;
  }
  return kStatusIllegalOperation;
}

AspStatus destroyIoProcId(ObjectId device, IoProcId id) {
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  DeviceEntry* entry = nullptr;
  IoSlot* slot = nullptr;
  const AspStatus status = resolve(system, device, id, &entry, &slot);
  if (status != kAspNoError) return status;
  stopSlot(system, *entry, *slot);
  slot->id = kNoIoProc;
  slot->proc.store(nullptr, std::memory_order_relaxed);
  slot->clientData.store(nullptr, std::memory_order_relaxed);
  return kAspNoError;
}

AspStatus startDevice(ObjectId device, IoProcId id) {
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  DeviceEntry* entry = nullptr;
  IoSlot* slot = nullptr;
  AspStatus status = resolve(system, device, id, &entry, &slot);
  if (status != kAspNoError) return status;
  if (slot->started.load(std::memory_order_acquire)) return kAspNoError;
  if (entry->startedProcs == 0) {
    status = entry->provider->provider->startDevice(entry->local);
    if (status != kAspNoError) return status;
    slot->started.store(true, std::memory_order_release);
    startDeviceClock(system, *entry);
  } else {
    slot->started.store(true, std::memory_order_release);
  }
  ++entry->startedProcs;
  return kAspNoError;
}

AspStatus stopDevice(ObjectId device, IoProcId id) {
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  DeviceEntry* entry = nullptr;
  IoSlot* slot = nullptr;
  const AspStatus status = resolve(system, device, id, &entry, &slot);
  if (status != kAspNoError) return status;
  stopSlot(system, *entry, *slot);
  return kAspNoError;
}

} // namespace platform::audio
