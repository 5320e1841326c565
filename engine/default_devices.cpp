// System default devices: making the driver's "Velto Input" the system default output (and
// giving the replaced output back at quit), and a virtual output the system default input.
// Main thread only. Failures are silent here; the callers word them.
#include "engine/engine.h"

#include "platform/audio/layer/properties.h"

#include <string>

namespace velto {

namespace {

constexpr uint32_t kDefaultOutputSelector = platform::audio::kPropDefaultOutputDevice;
constexpr uint32_t kDefaultInputSelector = platform::audio::kPropDefaultInputDevice;
constexpr char kVeltoInputUid[] = "VeltoDefaultOutput_UID";

AspPropertyAddress globalAddress(uint32_t selector) {
  return AspPropertyAddress{selector, kAspScopeGlobal, kAspElementMain};
}

// The device a system-object selector names; 0 when unreadable.
AudioObjectID readSystemDevice(uint32_t selector) {
  const AspPropertyAddress address = globalAddress(selector);
  AudioObjectID id = 0;
  uint32_t size = sizeof id;
  if (platform::audio::getPropertyData(platform::audio::kSystemObject, &address, 0, nullptr, &size,
                                       &id) != kAspNoError ||
      size != sizeof id) {
    return 0;
  }
  return id;
}

bool writeSystemDevice(uint32_t selector, AudioObjectID id) {
  const AspPropertyAddress address = globalAddress(selector);
  return platform::audio::setPropertyData(platform::audio::kSystemObject, &address, 0, nullptr,
                                          sizeof id, &id) == kAspNoError;
}

std::string deviceUid(AudioObjectID device) {
  const AspPropertyAddress address = globalAddress(platform::audio::kPropDeviceUid);
  AspText* text = nullptr;
  uint32_t size = sizeof text;
  if (platform::audio::getPropertyData(device, &address, 0, nullptr, &size, &text) != kAspNoError ||
      text == nullptr) {
    return {};
  }
  std::string uid(text->bytes, text->length);
  aspTextRelease(text);
  return uid;
}

} // namespace

// main thread
bool Engine::isDefaultDevice(uint32_t selector, const std::string& key) const {
  const AudioObjectID current = readSystemDevice(selector);
  const DeviceInfo* device = findDevice(key);
  return device != nullptr && device->id == current;
}

// main thread
bool Engine::makeDefaultDevice(uint32_t selector, const std::string& key) {
  const DeviceInfo* device = findDevice(key);
  if (device == nullptr) return false;
  return writeSystemDevice(selector, device->id);
}

// main thread
bool Engine::isDefaultOutput() const {
  return isDefaultDevice(kDefaultOutputSelector, kVeltoInputUid);
}

// main thread
bool Engine::makeDefaultOutput() {
  // Remember the output we replace, unless it is ours already.
  const AudioObjectID current = readSystemDevice(kDefaultOutputSelector);
  if (current != 0) {
    const std::string uid = deviceUid(current);
    if (!uid.empty() && uid != kVeltoInputUid) settings.previousOutput = uid;
  }
  return makeDefaultDevice(kDefaultOutputSelector, kVeltoInputUid);
}

// main thread
void Engine::restoreDefaultOutput() {
  if (!settings.restoreOutput || settings.previousOutput.empty()) return;
  const AudioObjectID current = readSystemDevice(kDefaultOutputSelector);
  const DeviceInfo* ours = findDevice(kVeltoInputUid);
  // The user may have chosen another output meanwhile: leave that alone.
  if (ours == nullptr || ours->id != current) return;
  const DeviceInfo* previous = findDevice(settings.previousOutput);
  if (previous == nullptr) return;
  writeSystemDevice(kDefaultOutputSelector, previous->id);
}

// main thread
bool Engine::isDefaultInput(int i) const {
  return isDefaultDevice(kDefaultInputSelector, virtualOutUid(i));
}

// main thread
bool Engine::makeDefaultInput(int i) {
  return makeDefaultDevice(kDefaultInputSelector, virtualOutUid(i));
}

} // namespace velto
