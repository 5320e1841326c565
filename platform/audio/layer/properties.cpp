#include "platform/audio/layer/properties.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/audio/layer/layer_properties.h"
#include "platform/audio/layer/system_state.h"

namespace platform::audio {
namespace {

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

// Who answers one property of one object: a layer handler or the object's provider.
struct Answerer {
  const LayerProperties* layer = nullptr;
  const ObjectEntry* entry = nullptr; // the provider's object when layer is null
};

// Resolves the answerer with the control lock held; false with the status for the caller.
bool resolve(AudioSystem& system, ObjectId object, const AspPropertyAddress& address, Answerer* out,
             AspStatus* status) {
  if (!system.running) {
    *status = kStatusNotRunning;
    return false;
  }
  *status = kAspNoError;
  if (object == kSystemObject) {
    out->layer = &systemProperties();
    return true;
  }
  auto it = system.objects.find(object);
  if (it == system.objects.end()) {
    *status = kAspBadObject;
    return false;
  }
  const ObjectEntry& entry = it->second;
  switch (entry.kind) {
  case ObjectKind::Process:
    out->layer = &processProperties();
    return true;
  case ObjectKind::Tap:
    out->layer = &tapProperties();
    return true;
  case ObjectKind::Device:
    if (deviceProperties().has(system, object, address)) {
      out->layer = &deviceProperties();
      return true;
    }
    break;
  default:
    break;
  }
  out->entry = &entry;
  return true;
}

// The size of a layer-answered value: a trial read into ample room.
AspStatus layerSize(AudioSystem& system, const LayerProperties& layer, ObjectId object,
                    const AspPropertyAddress& address, uint32_t qualifierSize,
                    const void* qualifier, uint32_t* outSize) {
  if (!layer.has(system, object, address)) return kAspUnknownProperty;
  std::vector<unsigned char> room(65536);
  uint32_t size = uint32_t(room.size());
  const AspStatus status =
      layer.get(system, object, address, qualifierSize, qualifier, &size, room.data());
  if (status != kAspNoError) return status;
  if (isTextSelector(address.selector) && size == sizeof(AspText*)) {
    AspText* text = nullptr;
    std::memcpy(&text, room.data(), sizeof text);
    aspTextRelease(text);
  }
  *outSize = size;
  return kAspNoError;
}

DeviceEntry* deviceOf(AudioSystem& system, ObjectId object) {
  return findDevice(system, object);
}

} // namespace

AspStatus writeIds(const std::vector<ObjectId>& ids, uint32_t* ioSize, void* outData) {
  const size_t fit = std::min<size_t>(ids.size(), *ioSize / sizeof(ObjectId));
  if (fit > 0) std::memcpy(outData, ids.data(), fit * sizeof(ObjectId));
  *ioSize = uint32_t(fit * sizeof(ObjectId));
  return kAspNoError;
}

AspStatus writeText(const std::string& text, uint32_t* ioSize, void* outData) {
  if (*ioSize < sizeof(AspText*)) return kAspBadPropertySize;
  AspText* made = aspTextCreate(text.c_str());
  if (made == nullptr) return kAspBadPropertySize;
  return writeValue(made, ioSize, outData);
}

bool isTextSelector(uint32_t selector) {
  switch (selector) {
  case kAspPropDeviceUid:
  case kAspPropName:
  case kAspPropManufacturer:
  case kAspPropModelUid:
  case kPropProcessBundleId:
  case kPropTapUid:
    return true;
  default:
    return false;
  }
}

bool hasProperty(ObjectId object, const AspPropertyAddress* address) {
  if (address == nullptr) return false;
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  Answerer who;
  AspStatus status;
  if (!resolve(system, object, *address, &who, &status)) return false;
  if (who.layer != nullptr) return who.layer->has(system, object, *address);
  return who.entry->provider->provider->hasProperty(who.entry->local, *address);
}

AspStatus isPropertySettable(ObjectId object, const AspPropertyAddress* address,
                             bool* outSettable) {
  if (address == nullptr || outSettable == nullptr) return kAspBadPropertySize;
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  Answerer who;
  AspStatus status;
  if (!resolve(system, object, *address, &who, &status)) return status;
  if (who.layer != nullptr) {
    if (!who.layer->has(system, object, *address)) return kAspUnknownProperty;
    *outSettable = who.layer->settable(system, object, *address);
    return kAspNoError;
  }
  return who.entry->provider->provider->isPropertySettable(who.entry->local, *address, outSettable);
}

AspStatus getPropertyDataSize(ObjectId object, const AspPropertyAddress* address,
                              uint32_t qualifierSize, const void* qualifier, uint32_t* outSize) {
  if (address == nullptr || outSize == nullptr) return kAspBadPropertySize;
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  Answerer who;
  AspStatus status;
  if (!resolve(system, object, *address, &who, &status)) return status;
  if (who.layer != nullptr) {
    return layerSize(system, *who.layer, object, *address, qualifierSize, qualifier, outSize);
  }
  return who.entry->provider->provider->getPropertyDataSize(who.entry->local, *address,
                                                            qualifierSize, qualifier, outSize);
}

AspStatus getPropertyData(ObjectId object, const AspPropertyAddress* address,
                          uint32_t qualifierSize, const void* qualifier, uint32_t* ioSize,
                          void* outData) {
  if (address == nullptr || ioSize == nullptr || outData == nullptr) return kAspBadPropertySize;
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  Answerer who;
  AspStatus status;
  if (!resolve(system, object, *address, &who, &status)) return status;
  if (who.layer != nullptr) {
    if (!who.layer->has(system, object, *address)) return kAspUnknownProperty;
    return who.layer->get(system, object, *address, qualifierSize, qualifier, ioSize, outData);
  }
  const ObjectEntry& entry = *who.entry;
  uint32_t written = 0;
  status = entry.provider->provider->getPropertyData(entry.local, *address, qualifierSize,
                                                     qualifier, *ioSize, &written, outData);
  if (status != kAspNoError) return status;
  written = std::min(written, *ioSize);
  if (holdsObjectIds(address->selector)) translateIds(*entry.provider, outData, written);
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
  Answerer who;
  AspStatus status;
  if (!resolve(system, object, *address, &who, &status)) return status;
  if (const DeviceEntry* device = deviceOf(system, object);
      device != nullptr && device->failWrites) {
    return kStatusIllegalOperation;
  }
  if (who.layer != nullptr) {
    if (!who.layer->has(system, object, *address)) return kAspUnknownProperty;
    if (!who.layer->settable(system, object, *address)) return kStatusIllegalOperation;
    return who.layer->set(system, object, *address, size, data);
  }
  return who.entry->provider->provider->setPropertyData(who.entry->local, *address, qualifierSize,
                                                        qualifier, size, data);
}

} // namespace platform::audio
