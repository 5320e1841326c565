#include "platform/audio/properties.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/audio/system_state.h"

namespace platform::audio {
namespace {

const AspValueRange kBufferFrameRange{double(kMinBufferFrames), double(kMaxBufferFrames)};

// Properties whose values are object ids: the provider's local ids become global ids.
bool holdsObjectIds(uint32_t selector) {
  switch (selector) {
  case kAspPropDeviceList:
  case kAspPropOwnedObjects:
  case kAspPropControlList:
  case kAspPropStreams:
  case kAspPropOwner:
  case kAspPropRelatedDevices:
  case kAspPropTranslateUidToDevice:
    return true;
  default:
    return false;
  }
}

void translateIds(const ProviderSlot& provider, void* data, uint32_t bytes) {
  auto* bytePointer = static_cast<unsigned char*>(data);
  for (uint32_t at = 0; at + sizeof(AspObjectId) <= bytes; at += sizeof(AspObjectId)) {
    AspObjectId id;
    std::memcpy(&id, bytePointer + at, sizeof id);
    auto it = provider.toGlobal->find(id);
    id = it != provider.toGlobal->end() ? it->second : kAspUnknownObject;
    std::memcpy(bytePointer + at, &id, sizeof id);
  }
}

std::vector<ObjectId> visibleDevices(const AudioSystem& system) {
  std::vector<ObjectId> ids;
  for (const auto& [id, device] : system.devices) {
    if (!device->hidden) ids.push_back(id);
  }
  return ids;
}

template <typename T>
AspStatus writeValue(const T& value, uint32_t* ioSize, void* outData) {
  if (*ioSize < sizeof value) return kAspBadPropertySize;
  std::memcpy(outData, &value, sizeof value);
  *ioSize = sizeof value;
  return kAspNoError;
}

// ---- the system object ----------------------------------------------------------------------

bool systemHas(uint32_t selector) {
  return selector == kPropDevices || selector == kPropTranslateUidToDevice;
}

AspStatus systemSize(const AudioSystem& system, uint32_t selector, uint32_t* outSize) {
  if (selector == kPropDevices) {
    *outSize = uint32_t(visibleDevices(system).size() * sizeof(ObjectId));
    return kAspNoError;
  }
  if (selector == kPropTranslateUidToDevice) {
    *outSize = sizeof(ObjectId);
    return kAspNoError;
  }
  return kAspUnknownProperty;
}

AspStatus translateUid(const AudioSystem& system, uint32_t qualifierSize, const void* qualifier,
                       uint32_t* ioSize, void* outData) {
  if (qualifier == nullptr || qualifierSize < sizeof(AspText*)) return kAspBadPropertySize;
  const AspText* text = nullptr;
  std::memcpy(&text, qualifier, sizeof text);
  ObjectId found = kAspUnknownObject;
  if (text != nullptr) {
    const std::string uid(text->bytes, text->length);
    for (const auto& [id, device] : system.devices) {
      if (device->uid == uid) {
        found = id;
        break;
      }
    }
  }
  return writeValue(found, ioSize, outData);
}

AspStatus systemGet(const AudioSystem& system, uint32_t selector, uint32_t qualifierSize,
                    const void* qualifier, uint32_t* ioSize, void* outData) {
  if (selector == kPropDevices) {
    const std::vector<ObjectId> ids = visibleDevices(system);
    const size_t fit = std::min<size_t>(ids.size(), *ioSize / sizeof(ObjectId));
    std::memcpy(outData, ids.data(), fit * sizeof(ObjectId));
    *ioSize = uint32_t(fit * sizeof(ObjectId));
    return kAspNoError;
  }
  if (selector == kPropTranslateUidToDevice) {
    return translateUid(system, qualifierSize, qualifier, ioSize, outData);
  }
  return kAspUnknownProperty;
}

// ---- what the layer answers for every device ------------------------------------------------

bool deviceHas(uint32_t selector) {
  return selector == kPropBufferFrameSize || selector == kPropBufferFrameSizeRange;
}

AspStatus deviceGet(const DeviceEntry& device, uint32_t selector, uint32_t* ioSize, void* outData) {
  if (selector == kPropBufferFrameSize) {
    return writeValue(device.io->bufferFrames.load(std::memory_order_relaxed), ioSize, outData);
  }
  return writeValue(kBufferFrameRange, ioSize, outData);
}

AspStatus deviceSet(AudioSystem& system, DeviceEntry& device, uint32_t selector, uint32_t size,
                    const void* data) {
  if (selector != kPropBufferFrameSize) return kStatusIllegalOperation;
  if (size < sizeof(uint32_t)) return kAspBadPropertySize;
  uint32_t frames;
  std::memcpy(&frames, data, sizeof frames);
  if (frames < kMinBufferFrames || frames > kMaxBufferFrames) return kAspUnsupportedFormat;
  // The I/O side picks the new size up at its next cycle.
  if (device.io->bufferFrames.exchange(frames, std::memory_order_relaxed) != frames) {
    system.notifications.post(
        device.id, {AspPropertyAddress{kPropBufferFrameSize, kAspScopeGlobal, kAspElementMain}});
  }
  return kAspNoError;
}

// The device entry when the layer itself answers this selector for the object, else null.
DeviceEntry* layerDevice(AudioSystem& system, ObjectId object, const ObjectEntry& entry,
                         uint32_t selector) {
  if (entry.kind != ObjectKind::Device || !deviceHas(selector)) return nullptr;
  return findDevice(system, object);
}

// Resolves an object with the control lock held; null with the status for the caller.
const ObjectEntry* lookup(const AudioSystem& system, ObjectId object, AspStatus* status) {
  if (!system.running) {
    *status = kStatusNotRunning;
    return nullptr;
  }
  auto it = system.objects.find(object);
  if (it == system.objects.end()) {
    *status = kAspBadObject;
    return nullptr;
  }
  *status = kAspNoError;
  return &it->second;
}

} // namespace

bool hasProperty(ObjectId object, const AspPropertyAddress* address) {
  if (address == nullptr) return false;
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  if (!system.running) return false;
  if (object == kSystemObject) return systemHas(address->selector);
  AspStatus status;
  const ObjectEntry* entry = lookup(system, object, &status);
  if (entry == nullptr) return false;
  if (layerDevice(system, object, *entry, address->selector) != nullptr) return true;
  return entry->provider->provider->hasProperty(entry->local, *address);
}

AspStatus isPropertySettable(ObjectId object, const AspPropertyAddress* address,
                             bool* outSettable) {
  if (address == nullptr || outSettable == nullptr) return kAspBadPropertySize;
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  if (!system.running) return kStatusNotRunning;
  if (object == kSystemObject) {
    if (!systemHas(address->selector)) return kAspUnknownProperty;
    *outSettable = false;
    return kAspNoError;
  }
  AspStatus status;
  const ObjectEntry* entry = lookup(system, object, &status);
  if (entry == nullptr) return status;
  if (layerDevice(system, object, *entry, address->selector) != nullptr) {
    *outSettable = address->selector == kPropBufferFrameSize;
    return kAspNoError;
  }
  return entry->provider->provider->isPropertySettable(entry->local, *address, outSettable);
}

AspStatus getPropertyDataSize(ObjectId object, const AspPropertyAddress* address,
                              uint32_t qualifierSize, const void* qualifier, uint32_t* outSize) {
  if (address == nullptr || outSize == nullptr) return kAspBadPropertySize;
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  if (!system.running) return kStatusNotRunning;
  if (object == kSystemObject) return systemSize(system, address->selector, outSize);
  AspStatus status;
  const ObjectEntry* entry = lookup(system, object, &status);
  if (entry == nullptr) return status;
  if (layerDevice(system, object, *entry, address->selector) != nullptr) {
    *outSize = address->selector == kPropBufferFrameSize ? sizeof(uint32_t) : sizeof(AspValueRange);
    return kAspNoError;
  }
  return entry->provider->provider->getPropertyDataSize(entry->local, *address, qualifierSize,
                                                        qualifier, outSize);
}

AspStatus getPropertyData(ObjectId object, const AspPropertyAddress* address,
                          uint32_t qualifierSize, const void* qualifier, uint32_t* ioSize,
                          void* outData) {
  if (address == nullptr || ioSize == nullptr || outData == nullptr) return kAspBadPropertySize;
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  if (!system.running) return kStatusNotRunning;
  if (object == kSystemObject) {
    return systemGet(system, address->selector, qualifierSize, qualifier, ioSize, outData);
  }
  AspStatus status;
  const ObjectEntry* entry = lookup(system, object, &status);
  if (entry == nullptr) return status;
  if (const DeviceEntry* device = layerDevice(system, object, *entry, address->selector)) {
    return deviceGet(*device, address->selector, ioSize, outData);
  }
  uint32_t written = 0;
  status = entry->provider->provider->getPropertyData(entry->local, *address, qualifierSize,
                                                      qualifier, *ioSize, &written, outData);
  if (status != kAspNoError) return status;
  written = std::min(written, *ioSize);
  if (holdsObjectIds(address->selector)) translateIds(*entry->provider, outData, written);
  *ioSize = written;
  return kAspNoError;
}

AspStatus setPropertyData(ObjectId object, const AspPropertyAddress* address,
                          uint32_t qualifierSize, const void* qualifier, uint32_t size,
                          const void* data) {
  if (address == nullptr) return kAspBadPropertySize;
  if (data == nullptr && size != 0) return kAspBadPropertySize;
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  if (!system.running) return kStatusNotRunning;
  if (object == kSystemObject) {
    return systemHas(address->selector) ? kStatusIllegalOperation : kAspUnknownProperty;
  }
  AspStatus status;
  const ObjectEntry* entry = lookup(system, object, &status);
  if (entry == nullptr) return status;
  if (DeviceEntry* device = layerDevice(system, object, *entry, address->selector)) {
    return deviceSet(system, *device, address->selector, size, data);
  }
  return entry->provider->provider->setPropertyData(entry->local, *address, qualifierSize,
                                                    qualifier, size, data);
}

} // namespace platform::audio
