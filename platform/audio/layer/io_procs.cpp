#include "platform/audio/layer/io_procs.h"

#include "platform/audio/layer/system_state.h"

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

AspStatus createIoProcLocked(AudioSystem& system, DeviceEntry& device, IoProc proc,
                             void* clientData, IoProcId* outId) {
  for (IoSlot& slot : device.io->slots) {
    if (slot.id != kNoIoProc) continue;
    slot.id = system.nextProcId++;
    slot.proc.store(proc, std::memory_order_relaxed);
    slot.clientData.store(clientData, std::memory_order_relaxed);
    *outId = slot.id;
    return kAspNoError;
  }
  return kStatusIllegalOperation;
}

AspStatus startIoProcLocked(AudioSystem& system, DeviceEntry& device, IoProcId id) {
  for (IoSlot& slot : device.io->slots) {
    if (slot.id != id || id == kNoIoProc) continue;
    if (slot.started.load(std::memory_order_acquire)) return kAspNoError;
    if (device.startedProcs == 0) {
      const AspStatus status = device.provider->provider->startDevice(device.local);
      if (status != kAspNoError) return status;
      slot.started.store(true, std::memory_order_release);
      startDeviceClock(system, device);
    } else {
      slot.started.store(true, std::memory_order_release);
    }
    ++device.startedProcs;
    return kAspNoError;
  }
  return kStatusIllegalOperation;
}

AspStatus destroyIoProcLocked(AudioSystem& system, DeviceEntry& device, IoProcId id) {
  for (IoSlot& slot : device.io->slots) {
    if (slot.id != id || id == kNoIoProc) continue;
    stopSlot(system, device, slot);
    slot.id = kNoIoProc;
    slot.proc.store(nullptr, std::memory_order_relaxed);
    slot.clientData.store(nullptr, std::memory_order_relaxed);
    return kAspNoError;
  }
  return kStatusIllegalOperation;
}

AspStatus createIoProcId(ObjectId device, IoProc proc, void* clientData, IoProcId* outId) {
  if (proc == nullptr || outId == nullptr) return kStatusIllegalOperation;
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  if (!system.running) return kStatusNotRunning;
  DeviceEntry* entry = findDevice(system, device);
  if (entry == nullptr) return kStatusBadDevice;
  if (entry->refuseIoProcs) return kStatusIllegalOperation;
  return createIoProcLocked(system, *entry, proc, clientData, outId);
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
  const AspStatus status = resolve(system, device, id, &entry, &slot);
  if (status != kAspNoError) return status;
  return startIoProcLocked(system, *entry, id);
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
