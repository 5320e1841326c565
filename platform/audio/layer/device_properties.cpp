// What the layer answers for every device: the buffer size and its range, the stream
// configuration per scope, and, for a device with volume or mute controls, the device's volume
// and mute in the control's scope (forwarded to the control).
#include <algorithm>
#include <cstddef>

#include "platform/audio/layer/io_procs.h"
#include "platform/audio/layer/layer_properties.h"

namespace platform::audio {
namespace {

const AspValueRange kBufferFrameRange{double(kMinBufferFrames), double(kMaxBufferFrames)};

const ProvidedControl* controlFor(const DeviceEntry& device, const AspPropertyAddress& address) {
  for (const ProvidedControl& control : device.controls) {
    if (control.deviceSelector == address.selector && control.scope == address.scope) {
      return &control;
    }
  }
  return nullptr;
}

AspPropertyAddress controlValue(const ProvidedControl& control) {
  return AspPropertyAddress{control.deviceSelector == kPropMute ? kAspPropBooleanValue
                                                                : kAspPropScalarValue,
                            kAspScopeGlobal, kAspElementMain};
}

AspStatus streamConfiguration(const DeviceEntry& device, uint32_t scope, uint32_t* ioSize,
                              void* outData) {
  static const std::vector<uint32_t> kNone;
  const std::vector<uint32_t>& layout = scope == kAspScopeInput    ? device.io->inputLayout()
                                        : scope == kAspScopeOutput ? device.io->outputLayout()
                                                                   : kNone;
  const size_t bytes = offsetof(BufferList, buffers) + layout.size() * sizeof(Buffer);
  if (*ioSize < bytes) return kAspBadPropertySize;
  BufferList list{};
  list.count = uint32_t(layout.size());
  for (size_t b = 0; b < layout.size(); ++b) list.buffers[b] = Buffer{layout[b], 0, nullptr};
  std::memcpy(outData, &list, bytes);
  *ioSize = uint32_t(bytes);
  return kAspNoError;
}

bool has(AudioSystem& system, ObjectId object, const AspPropertyAddress& address) {
  const DeviceEntry* device = findDevice(system, object);
  if (device == nullptr) return false;
  switch (address.selector) {
  case kPropBufferFrameSize:
  case kPropBufferFrameSizeRange:
    return true;
  case kPropStreamConfiguration:
    return address.scope == kAspScopeInput || address.scope == kAspScopeOutput;
  case kPropVolumeScalar:
  case kPropMute:
    return controlFor(*device, address) != nullptr;
  default:
    return false;
  }
}

bool settable(AudioSystem& system, ObjectId object, const AspPropertyAddress& address) {
  if (address.selector == kPropBufferFrameSize) return true;
  if (address.selector != kPropVolumeScalar && address.selector != kPropMute) return false;
  const DeviceEntry* device = findDevice(system, object);
  const ProvidedControl* control = controlFor(*device, address);
  bool value = false;
  return device->provider->provider->isPropertySettable(control->local, controlValue(*control),
                                                        &value) == kAspNoError &&
         value;
}

AspStatus get(AudioSystem& system, ObjectId object, const AspPropertyAddress& address, uint32_t,
              const void*, uint32_t* ioSize, void* outData) {
  const DeviceEntry& device = *findDevice(system, object);
  switch (address.selector) {
  case kPropBufferFrameSize:
    return writeValue(device.io->bufferFrames.load(std::memory_order_relaxed), ioSize, outData);
  case kPropBufferFrameSizeRange:
    return writeValue(kBufferFrameRange, ioSize, outData);
  case kPropStreamConfiguration:
    return streamConfiguration(device, address.scope, ioSize, outData);
  default: {
    const ProvidedControl& control = *controlFor(device, address);
    // Volume is a Float32, mute a UInt32: both 4 bytes, as the controls answer them.
    if (*ioSize < 4) return kAspBadPropertySize;
    uint32_t written = 0;
    const AspStatus status = device.provider->provider->getPropertyData(
        control.local, controlValue(control), 0, nullptr, 4, &written, outData);
    if (status != kAspNoError) return status;
    *ioSize = std::min<uint32_t>(written, 4);
    return kAspNoError;
  }
  }
}

AspStatus setBufferFrames(AudioSystem& system, DeviceEntry& device, uint32_t size,
                          const void* data) {
  uint32_t frames = 0;
  if (!readValue(size, data, &frames)) return kAspBadPropertySize;
  if (frames < kMinBufferFrames || frames > kMaxBufferFrames) return kAspUnsupportedFormat;
  // The I/O side picks the new size up at its next cycle.
  if (device.io->bufferFrames.exchange(frames, std::memory_order_relaxed) != frames) {
    device.provider->provider->bufferFramesChanged(device.local, frames);
    system.notifications.post(
        device.id, {AspPropertyAddress{kPropBufferFrameSize, kAspScopeGlobal, kAspElementMain}});
  }
  return kAspNoError;
}

AspStatus set(AudioSystem& system, ObjectId object, const AspPropertyAddress& address,
              uint32_t size, const void* data) {
  DeviceEntry& device = *findDevice(system, object);
  if (address.selector == kPropBufferFrameSize) return setBufferFrames(system, device, size, data);
  // The control tells its change; the layer passes it on as the device's (registerProvider).
  const ProvidedControl& control = *controlFor(device, address);
  if (size < 4) return kAspBadPropertySize;
  return device.provider->provider->setPropertyData(control.local, controlValue(control), 0,
                                                    nullptr, 4, data);
}

} // namespace

const LayerProperties& deviceProperties() {
  static const LayerProperties properties{has, settable, get, set};
  return properties;
}

} // namespace platform::audio
