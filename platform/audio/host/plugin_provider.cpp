#include "platform/audio/host/plugin_provider.h"

#include <algorithm>
#include <string>

#include "platform/audio/layer/device_io.h"
#include "platform/audio/layer/properties.h"

namespace platform::audio {
namespace {

constexpr uint32_t kPlugInChannels = 2; // one interleaved stereo buffer per direction

std::vector<AspObjectId> readIds(const PluginHost& host, AspObjectId object, uint32_t selector) {
  const AspPropertyAddress address{selector, kAspScopeGlobal, kAspElementMain};
  uint32_t size = 0;
  if (host.getPropertyDataSize(object, address, 0, nullptr, &size) != kAspNoError) return {};
  std::vector<AspObjectId> ids(size / sizeof(AspObjectId));
  if (ids.empty()) return ids;
  uint32_t written = 0;
  if (host.getPropertyData(object, address, 0, nullptr, size, &written, ids.data()) !=
      kAspNoError) {
    return {};
  }
  ids.resize(std::min<size_t>(ids.size(), written / sizeof(AspObjectId)));
  return ids;
}

std::string readText(const PluginHost& host, AspObjectId object, uint32_t selector) {
  const AspPropertyAddress address{selector, kAspScopeGlobal, kAspElementMain};
  AspText* text = nullptr;
  uint32_t written = 0;
  if (host.getPropertyData(object, address, 0, nullptr, sizeof text, &written, &text) !=
          kAspNoError ||
      written != sizeof text || text == nullptr) {
    return {};
  }
  std::string result(text->bytes, text->length);
  aspTextRelease(text);
  return result;
}

uint32_t readWord(const PluginHost& host, AspObjectId object, uint32_t selector) {
  const AspPropertyAddress address{selector, kAspScopeGlobal, kAspElementMain};
  uint32_t value = 0;
  uint32_t written = 0;
  if (host.getPropertyData(object, address, 0, nullptr, sizeof value, &written, &value) !=
      kAspNoError) {
    return 0;
  }
  return value;
}

void deliverTrampoline(void* context, const CycleTimes& times) { // audio thread
  DeviceIo& io = *static_cast<DeviceIo*>(context);
  io.deliver(io.cycleFrames, times);
}

void runPluginCycle(void* context, DeviceIo& io, uint32_t frames, uint64_t now) { // audio thread
  io.cycleFrames = frames;
  static_cast<PluginHost*>(context)->runCycle(io.local(), frames, now, io.inputData(0),
                                              io.outputData(0), &deliverTrampoline, &io);
}

} // namespace

PluginProvider::PluginProvider(std::unique_ptr<PluginHost> host) : host_(std::move(host)) {
  enumerate();
}

PluginProvider::~PluginProvider() {
  host_->setChangeHandler(nullptr);
}

void PluginProvider::enumerate() {
  objects_.push_back({kAspPlugInObject, ObjectKind::Owner});
  auto known = [&](AspObjectId id) {
    return std::any_of(objects_.begin(), objects_.end(),
                       [&](const ProvidedObject& o) { return o.local == id; });
  };
  for (AspObjectId device : readIds(*host_, kAspPlugInObject, kAspPropDeviceList)) {
    if (device == kAspUnknownObject || known(device)) continue;
    objects_.push_back({device, ObjectKind::Device});
    for (AspObjectId owned : readIds(*host_, device, kAspPropOwnedObjects)) {
      if (owned != kAspUnknownObject && !known(owned)) {
        objects_.push_back({owned, ObjectKind::Other});
      }
    }
    ProvidedDevice entry;
    entry.local = device;
    entry.uid = readText(*host_, device, kAspPropDeviceUid);
    entry.hidden = readWord(*host_, device, kAspPropIsHidden) != 0;
    if (host_->deviceHasInput(device)) entry.inputBuffers = {kPlugInChannels};
    if (host_->deviceHasOutput(device)) entry.outputBuffers = {kPlugInChannels};
    for (AspObjectId control : readIds(*host_, device, kAspPropControlList)) {
      const uint32_t kind = readWord(*host_, control, kAspPropClass);
      const uint32_t scope = readWord(*host_, control, kAspPropControlScope);
      if (kind == kAspClassVolumeControl)
        entry.controls.push_back({control, kPropVolumeScalar, scope});
      if (kind == kAspClassMuteControl) entry.controls.push_back({control, kPropMute, scope});
    }
    devices_.push_back(std::move(entry));
  }
}

bool PluginProvider::hasProperty(AspObjectId local, const AspPropertyAddress& address) const {
  return host_->hasProperty(local, address);
}

AspStatus PluginProvider::isPropertySettable(AspObjectId local, const AspPropertyAddress& address,
                                             bool* outSettable) const {
  return host_->isPropertySettable(local, address, outSettable);
}

AspStatus PluginProvider::getPropertyDataSize(AspObjectId local, const AspPropertyAddress& address,
                                              uint32_t qualifierSize, const void* qualifier,
                                              uint32_t* outSize) const {
  return host_->getPropertyDataSize(local, address, qualifierSize, qualifier, outSize);
}

AspStatus PluginProvider::getPropertyData(AspObjectId local, const AspPropertyAddress& address,
                                          uint32_t qualifierSize, const void* qualifier,
                                          uint32_t size, uint32_t* outSize, void* outData) const {
  return host_->getPropertyData(local, address, qualifierSize, qualifier, size, outSize, outData);
}

AspStatus PluginProvider::setPropertyData(AspObjectId local, const AspPropertyAddress& address,
                                          uint32_t qualifierSize, const void* qualifier,
                                          uint32_t size, const void* data) {
  return host_->setPropertyData(local, address, qualifierSize, qualifier, size, data);
}

void PluginProvider::setChangeSink(ChangeSink sink) {
  host_->setChangeHandler(std::move(sink));
}

AspStatus PluginProvider::startDevice(AspObjectId local) {
  return host_->startDevice(local);
}

AspStatus PluginProvider::stopDevice(AspObjectId local) {
  return host_->stopDevice(local);
}

CycleFunction PluginProvider::cycleFunction() const {
  return &runPluginCycle;
}

} // namespace platform::audio
