#include "platform/audio/simulated/sim_processes.h"

#include <algorithm>

#include "platform/audio/layer/layer_properties.h"
#include "platform/audio/simulated/sim_objects.h"

namespace platform::audio {
namespace {

constexpr uint32_t kStereo = 2;

// A process playing to a device: its stereo signal on the device's first two channels (a mono
// device gets the left one), silent while a muting tap holds the process. audio thread
AspStatus playProcess(ObjectId, const TimeStamp*, const BufferList*, const TimeStamp*,
                      BufferList* output, const TimeStamp*, void* data) {
  auto& playback = *static_cast<SimPlayback*>(data);
  if (output == nullptr || output->count == 0 || output->buffers[0].channels == 0) return 0;
  const Buffer& first = output->buffers[0];
  const uint32_t frames =
      std::min(first.byteSize / (first.channels * uint32_t(sizeof(float))), kMaxBufferFrames);
  const SignalSource* source = playback.cursor.follow(playback.process->audio);
  const uint64_t position = playback.cursor.position;
  playback.cursor.position += frames;
  if (playback.process->mutingTaps.load(std::memory_order_acquire) > 0) return 0;
  float* stereo = playback.stereo.data();
  source->render(position, stereo, frames, kStereo);
  // Channel c of the device: the buffer holding it and the place in that buffer.
  uint32_t channel = 0;
  for (uint32_t b = 0; b < output->count && channel < kStereo; ++b) {
    const Buffer& buffer = output->buffers[b];
    auto* samples = static_cast<float*>(buffer.data);
    for (uint32_t c = 0; c < buffer.channels && channel < kStereo; ++c, ++channel) {
      if (samples == nullptr) continue;
      for (uint32_t f = 0; f < frames; ++f) {
        samples[f * buffer.channels + c] = stereo[f * kStereo + channel];
      }
    }
  }
  return 0;
}

std::shared_ptr<SimProcess> processOf(AudioSystem& system, ObjectId object) {
  auto it = system.processes.find(object);
  return it == system.processes.end() ? nullptr : it->second;
}

// The devices of a list of UIDs that exist now, in list order, each once.
std::vector<ObjectId> devicesOf(AudioSystem& system, const std::vector<std::string>& uids) {
  std::vector<ObjectId> ids;
  for (const std::string& uid : uids) {
    const DeviceEntry* device = findDeviceByUid(system, uid);
    if (device != nullptr && std::find(ids.begin(), ids.end(), device->id) == ids.end()) {
      ids.push_back(device->id);
    }
  }
  return ids;
}

// Whether the process should be playing to the device of this UID right now, and which.
DeviceEntry* playTarget(AudioSystem& system, const SimProcess& process, const std::string& uid) {
  if (!process.config.runningOutput) return nullptr;
  const auto& uids = process.config.outputDevices;
  if (std::find(uids.begin(), uids.end(), uid) == uids.end()) return nullptr;
  DeviceEntry* device = findDeviceByUid(system, uid);
  return device != nullptr && device->io->hasOutput() ? device : nullptr;
}

void syncOne(AudioSystem& system, SimProcess& process) {
  if (process.external) return;
  auto& playbacks = process.playbacks;
  for (auto it = playbacks.begin(); it != playbacks.end();) {
    SimPlayback& playback = **it;
    DeviceEntry* now = findDevice(system, playback.device);
    DeviceEntry* wanted = playTarget(system, process, playback.uid);
    if (now != nullptr && wanted == now) {
      ++it;
      continue;
    }
    // A device that went took its callbacks with it; one still there stops this one first.
    if (now != nullptr) destroyIoProcLocked(system, *now, playback.proc);
    it = playbacks.erase(it);
  }
  for (const std::string& uid : process.config.outputDevices) {
    DeviceEntry* device = playTarget(system, process, uid);
    if (device == nullptr) continue;
    const bool playing =
        std::any_of(playbacks.begin(), playbacks.end(),
                    [&](const std::unique_ptr<SimPlayback>& p) { return p->device == device->id; });
    if (playing) continue;
    auto playback = std::make_unique<SimPlayback>();
    playback->process = &process;
    playback->stereo.assign(size_t(kMaxBufferFrames) * kStereo, 0.0f);
    playback->uid = uid;
    playback->device = device->id;
    if (createIoProcLocked(system, *device, playProcess, playback.get(), &playback->proc) !=
        kAspNoError) {
      continue;
    }
    if (startIoProcLocked(system, *device, playback->proc) != kAspNoError) {
      destroyIoProcLocked(system, *device, playback->proc);
      continue;
    }
    playbacks.push_back(std::move(playback));
  }
}

void stopAll(AudioSystem& system, SimProcess& process) {
  for (const std::unique_ptr<SimPlayback>& playback : process.playbacks) {
    if (DeviceEntry* device = findDevice(system, playback->device)) {
      destroyIoProcLocked(system, *device, playback->proc);
    }
  }
  process.playbacks.clear();
}

void postProcessList(AudioSystem& system) {
  system.notifications.post(
      kSystemObject, {AspPropertyAddress{kPropProcessList, kAspScopeGlobal, kAspElementMain}});
}

// The process properties that differ between two configurations, for its listeners.
std::vector<AspPropertyAddress> changedProperties(const SimProcessConfig& before,
                                                  const SimProcessConfig& after) {
  std::vector<AspPropertyAddress> changed;
  auto note = [&](bool differs, uint32_t selector) {
    if (differs) changed.push_back(AspPropertyAddress{selector, kAspScopeGlobal, kAspElementMain});
  };
  note(before.pid != after.pid, kPropProcessPid);
  note(before.bundleId != after.bundleId, kPropProcessBundleId);
  note(before.runningOutput != after.runningOutput, kPropProcessRunningOutput);
  note(before.runningInput != after.runningInput, kPropProcessRunningInput);
  note(before.inputDevices != after.inputDevices || before.outputDevices != after.outputDevices,
       kPropProcessDevices);
  return changed;
}

// ---- the process object's properties --------------------------------------------------------

bool has(AudioSystem&, ObjectId, const AspPropertyAddress& address) {
  switch (address.selector) {
  case kAspPropBaseClass:
  case kAspPropClass:
  case kPropProcessPid:
  case kPropProcessBundleId:
  case kPropProcessRunningOutput:
  case kPropProcessRunningInput:
  case kPropProcessDevices:
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
  const std::shared_ptr<SimProcess> process = processOf(system, object);
  if (!process) return kAspBadObject;
  const SimProcessConfig& c = process->config;
  switch (address.selector) {
  case kAspPropBaseClass:
    return writeValue(kAspClassObject, ioSize, outData);
  case kAspPropClass:
    return writeValue(kClassProcess, ioSize, outData);
  case kPropProcessPid:
    return writeValue(c.pid, ioSize, outData);
  case kPropProcessBundleId:
    return writeText(c.bundleId, ioSize, outData);
  case kPropProcessRunningOutput:
    return writeValue(uint32_t(c.runningOutput ? 1 : 0), ioSize, outData);
  case kPropProcessRunningInput:
    return writeValue(uint32_t(c.runningInput ? 1 : 0), ioSize, outData);
  default: { // the devices it uses
    std::vector<std::string> uids;
    if (address.scope != kAspScopeOutput) uids = c.inputDevices;
    if (address.scope != kAspScopeInput) {
      uids.insert(uids.end(), c.outputDevices.begin(), c.outputDevices.end());
    }
    return writeIds(devicesOf(system, uids), ioSize, outData);
  }
  }
}

AspStatus set(AudioSystem&, ObjectId, const AspPropertyAddress&, uint32_t, const void*) {
  return kStatusIllegalOperation;
}

} // namespace

const LayerProperties& processProperties() {
  static const LayerProperties properties{has, settable, get, set};
  return properties;
}

void syncProcessPlayback(AudioSystem& system) {
  for (auto& [id, process] : system.processes) syncOne(system, *process);
}

namespace {

// A new process object in the layer's lists, its listeners told. Control lock held.
ObjectId insertProcess(AudioSystem& system, const SimProcessConfig& config, bool external) {
  auto process = std::make_shared<SimProcess>(config);
  process->external = external;
  const ObjectId id = system.nextObjectId++;
  process->object = id;
  if (!external) process->playing.store(config.runningOutput, std::memory_order_release);
  system.objects[id] = ObjectEntry{nullptr, 0, ObjectKind::Process};
  system.processes[id] = process;
  syncOne(system, *process);
  postProcessList(system);
  return id;
}

} // namespace

ObjectId addExternalProcess(AudioSystem& system, const SimProcessConfig& config) {
  return insertProcess(system, config, true);
}

void updateExternalProcess(AudioSystem& system, ObjectId object, const SimProcessConfig& config) {
  const std::shared_ptr<SimProcess> process = processOf(system, object);
  if (!process || !process->external) return;
  const std::vector<AspPropertyAddress> changed = changedProperties(process->config, config);
  if (changed.empty()) return;
  process->config = config;
  system.notifications.post(object, changed);
  postProcessList(system);
}

void removeExternalProcess(AudioSystem& system, ObjectId object) {
  const std::shared_ptr<SimProcess> process = processOf(system, object);
  if (!process || !process->external) return;
  system.processes.erase(object);
  system.objects.erase(object);
  postProcessList(system);
}

ObjectId addSimProcess(const SimProcessConfig& config) {
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  if (!system.running) return 0;
  return insertProcess(system, config, false);
}

bool updateSimProcess(ObjectId object, const SimProcessConfig& config) {
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  if (!system.running) return false;
  const std::shared_ptr<SimProcess> process = processOf(system, object);
  if (!process) return false;
  const std::vector<AspPropertyAddress> changed = changedProperties(process->config, config);
  process->config = config;
  process->audio.set(config.audio);
  process->playing.store(config.runningOutput, std::memory_order_release);
  syncOne(system, *process);
  system.notifications.post(object, changed);
  postProcessList(system);
  return true;
}

bool removeSimProcess(ObjectId object) {
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  if (!system.running) return false;
  const std::shared_ptr<SimProcess> process = processOf(system, object);
  if (!process) return false;
  stopAll(system, *process);
  // Taps of it keep the object alive and hear silence from now on.
  process->playing.store(false, std::memory_order_release);
  system.processes.erase(object);
  system.objects.erase(object);
  postProcessList(system);
  return true;
}

} // namespace platform::audio
