// The system object: device list, UID translation, default devices and the process list.
#include <string>
#include <vector>

#include "platform/audio/layer/layer_properties.h"
#include "platform/audio/simulated/sim_objects.h"

namespace platform::audio {
namespace {

std::vector<ObjectId> visibleDevices(const AudioSystem& system) {
  std::vector<ObjectId> ids;
  for (const auto& [id, device] : system.devices) {
    if (!device->hidden) ids.push_back(id);
  }
  return ids;
}

std::vector<ObjectId> processObjects(const AudioSystem& system) {
  std::vector<ObjectId> ids;
  for (const auto& [id, process] : system.processes) ids.push_back(id);
  return ids;
}

AspStatus translateUid(AudioSystem& system, uint32_t qualifierSize, const void* qualifier,
                       uint32_t* ioSize, void* outData) {
  if (qualifier == nullptr || qualifierSize < sizeof(AspText*)) return kAspBadPropertySize;
  const AspText* text = nullptr;
  std::memcpy(&text, qualifier, sizeof text);
  ObjectId found = kAspUnknownObject;
  if (text != nullptr) {
    if (const DeviceEntry* device = findDeviceByUid(system, std::string(text->bytes, text->length)))
      found = device->id;
  }
  return writeValue(found, ioSize, outData);
}

// A device may be a default device of a direction when it is listed, has that direction and
// does not say it cannot be default.
bool suitsDefault(const DeviceEntry& device, bool output) {
  if (device.hidden) return false;
  if (output ? !device.io->hasOutput() : !device.io->hasInput()) return false;
  DeviceProvider& provider = *device.provider->provider;
  const AspPropertyAddress address{kAspPropCanBeDefaultDevice,
                                   output ? kAspScopeOutput : kAspScopeInput, kAspElementMain};
  if (!provider.hasProperty(device.local, address)) return true;
  uint32_t value = 0;
  uint32_t written = 0;
  return provider.getPropertyData(device.local, address, 0, nullptr, sizeof value, &written,
                                  &value) == kAspNoError &&
         value != 0;
}

ObjectId resolveDefault(AudioSystem& system, const std::string& uid, bool output) {
  if (uid.empty()) return 0;
  const DeviceEntry* device = findDeviceByUid(system, uid);
  return device != nullptr && suitsDefault(*device, output) ? device->id : 0;
}

void postDefault(AudioSystem& system, uint32_t selector) {
  system.notifications.post(kSystemObject,
                            {AspPropertyAddress{selector, kAspScopeGlobal, kAspElementMain}});
}

bool has(AudioSystem&, ObjectId, const AspPropertyAddress& address) {
  switch (address.selector) {
  case kPropDevices:
  case kPropTranslateUidToDevice:
  case kPropDefaultOutputDevice:
  case kPropDefaultInputDevice:
  case kPropProcessList:
    return true;
  default:
    return false;
  }
}

bool settable(AudioSystem&, ObjectId, const AspPropertyAddress& address) {
  return address.selector == kPropDefaultOutputDevice ||
         address.selector == kPropDefaultInputDevice;
}

AspStatus get(AudioSystem& system, ObjectId, const AspPropertyAddress& address,
              uint32_t qualifierSize, const void* qualifier, uint32_t* ioSize, void* outData) {
  switch (address.selector) {
  case kPropDevices:
    return writeIds(visibleDevices(system), ioSize, outData);
  case kPropTranslateUidToDevice:
    return translateUid(system, qualifierSize, qualifier, ioSize, outData);
  case kPropDefaultOutputDevice:
    return writeValue(resolveDefault(system, system.defaultOutputUid, true), ioSize, outData);
  case kPropDefaultInputDevice:
    return writeValue(resolveDefault(system, system.defaultInputUid, false), ioSize, outData);
  case kPropProcessList:
    return writeIds(processObjects(system), ioSize, outData);
  default:
    return kAspUnknownProperty;
  }
}

AspStatus set(AudioSystem& system, ObjectId, const AspPropertyAddress& address, uint32_t size,
              const void* data) {
  const bool output = address.selector == kPropDefaultOutputDevice;
  ObjectId id = 0;
  if (!readValue(size, data, &id)) return kAspBadPropertySize;
  const DeviceEntry* device = findDevice(system, id);
  if (device == nullptr) return kStatusBadDevice;
  if (!suitsDefault(*device, output)) return kStatusIllegalOperation;
  std::string& uid = output ? system.defaultOutputUid : system.defaultInputUid;
  const ObjectId before = resolveDefault(system, uid, output);
  uid = device->uid;
  if (system.defaultWatch) system.defaultWatch(output, uid);
  if (before != id) postDefault(system, address.selector);
  return kAspNoError;
}

} // namespace

const LayerProperties& systemProperties() {
  static const LayerProperties properties{has, settable, get, set};
  return properties;
}

DefaultIds currentDefaults(AudioSystem& system) {
  return DefaultIds{resolveDefault(system, system.defaultOutputUid, true),
                    resolveDefault(system, system.defaultInputUid, false)};
}

void devicesChanged(AudioSystem& system, const DefaultIds& before, bool listed) {
  if (listed) postDeviceListChanged(system);
  const DefaultIds after = currentDefaults(system);
  if (after.output != before.output) postDefault(system, kPropDefaultOutputDevice);
  if (after.input != before.input) postDefault(system, kPropDefaultInputDevice);
  syncProcessPlayback(system);
}

} // namespace platform::audio
