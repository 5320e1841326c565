#include "platform/audio/layer/audio_system.h"

#include <algorithm>
#include <cstdlib>

#include "platform/audio/host/plugin_host.h"
#include "platform/audio/host/plugin_provider.h"
#include "platform/audio/layer/host_time.h"
#include "platform/audio/layer/system_state.h"
#include "platform/audio/simulated/sim_objects.h"

namespace platform::audio {
namespace {

void joinUnlessSelf(std::thread& thread) {
  if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
}

void loadPlugIns(AudioSystem& system) {
  for (std::unique_ptr<PluginHost>& host : PluginHost::loadAll(system.systemRoot)) {
    if (host) registerProvider(system, std::make_unique<PluginProvider>(std::move(host)));
  }
}

// Stops every callback of the device and the device itself; afterwards no cycle runs.
void haltDevice(AudioSystem& system, DeviceEntry& device) {
  for (IoSlot& slot : device.io->slots) {
    if (slot.started.load(std::memory_order_acquire)) device.io->stopSlot(slot);
  }
  if (device.startedProcs > 0) {
    haltDeviceClock(system, device);
    device.provider->provider->stopDevice(device.local);
    device.startedProcs = 0;
  }
  for (IoSlot& slot : device.io->slots) {
    slot.id = kNoIoProc;
    slot.proc.store(nullptr, std::memory_order_relaxed);
    slot.clientData.store(nullptr, std::memory_order_relaxed);
  }
}

void removeProviders(AudioSystem& system, bool plugInsOnly) {
  std::vector<ProviderSlot*> doomed;
  for (const std::unique_ptr<ProviderSlot>& slot : system.providers) {
    if (!plugInsOnly || slot->provider->isPlugIn()) doomed.push_back(slot.get());
  }
  for (ProviderSlot* slot : doomed) unregisterProvider(system, slot);
}

} // namespace

AudioSystem& audioSystem() {
  static AudioSystem* system = new AudioSystem(); // never destroyed: outlives every thread
  return *system;
}

std::string systemRootFromEnvironment() {
  const char* root = std::getenv("VELTO_SYSTEM_ROOT");
  if (root != nullptr && root[0] != '\0') return root;
  // The host lives inside the program and serves one user, so its system-wide folder is hers.
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') return std::string(data) + "/velto/system";
  const char* home = std::getenv("HOME");
  const std::string base = home != nullptr && home[0] != '\0' ? home : ".";
  return base + "/.local/share/velto/system";
}

DeviceEntry* findDevice(AudioSystem& system, ObjectId device) {
  auto it = system.devices.find(device);
  return it == system.devices.end() ? nullptr : it->second.get();
}

ObjectId globalIdOf(const ProviderSlot& provider, AspObjectId local) {
  auto it = provider.toGlobal->find(local);
  return it == provider.toGlobal->end() ? 0 : it->second;
}

DeviceEntry* findDeviceByUid(AudioSystem& system, const std::string& uid) {
  for (auto& [id, device] : system.devices) {
    if (device->uid == uid) return device.get();
  }
  return nullptr;
}

ProviderSlot* registerProvider(AudioSystem& system, std::unique_ptr<DeviceProvider> provider) {
  auto slot = std::make_unique<ProviderSlot>();
  slot->provider = std::move(provider);
  DeviceProvider& p = *slot->provider;
  IdMap toGlobal;
  for (const ProvidedObject& object : p.objects()) {
    if (toGlobal.count(object.local) != 0) continue;
    const ObjectId id = system.nextObjectId++;
    toGlobal[object.local] = id;
    system.objects[id] = ObjectEntry{slot.get(), object.local, object.kind};
  }
  // A notice on a volume or mute control is also one on its device's volume or mute.
  struct ControlOwner {
    ObjectId device;
    ProvidedControl control;
  };
  auto owners = std::make_shared<std::unordered_map<AspObjectId, ControlOwner>>();
  for (const ProvidedDevice& provided : p.devices()) {
    auto known = toGlobal.find(provided.local);
    if (known == toGlobal.end()) continue;
    auto device = std::make_unique<DeviceEntry>();
    device->id = known->second;
    device->provider = slot.get();
    device->local = provided.local;
    device->uid = provided.uid;
    device->hidden = provided.hidden;
    device->controls = provided.controls;
    for (const ProvidedControl& control : provided.controls) {
      (*owners)[control.local] = ControlOwner{device->id, control};
    }
    device->io =
        std::make_unique<DeviceIo>(device->id, provided.local, provided.inputBuffers,
                                   provided.outputBuffers, p.cycleFunction(), p.cycleContext());
    p.attachIo(provided.local, device->io.get());
    system.devices[device->id] = std::move(device);
  }
  slot->toGlobal = std::make_shared<const IdMap>(std::move(toGlobal));
  // Called from inside the provider's own calls: only translate and queue.
  p.setChangeSink([&system, ids = slot->toGlobal,
                   owners](AspObjectId local, const std::vector<AspPropertyAddress>& changed) {
    auto it = ids->find(local);
    if (it == ids->end()) return;
    system.notifications.post(it->second, changed);
    auto owner = owners->find(local);
    if (owner == owners->end()) return;
    const ControlOwner& o = owner->second;
    const uint32_t value =
        o.control.deviceSelector == kPropMute ? kAspPropBooleanValue : kAspPropScalarValue;
    for (const AspPropertyAddress& address : changed) {
      if (address.selector == value) {
        system.notifications.post(o.device, {AspPropertyAddress{o.control.deviceSelector,
                                                                o.control.scope, kAspElementMain}});
        break;
      }
    }
  });
  ProviderSlot* registered = slot.get();
  system.providers.push_back(std::move(slot));
  if (system.plugInWatch && registered->provider->isPlugIn()) system.plugInWatch(*registered, true);
  return registered;
}

void unregisterProvider(AudioSystem& system, ProviderSlot* provider) {
  if (system.plugInWatch && provider->provider->isPlugIn()) system.plugInWatch(*provider, false);
  for (auto it = system.devices.begin(); it != system.devices.end();) {
    if (it->second->provider != provider) {
      ++it;
      continue;
    }
    haltDevice(system, *it->second);
    it = system.devices.erase(it);
  }
  std::erase_if(system.objects,
                [&](const auto& entry) { return entry.second.provider == provider; });
  provider->provider->setChangeSink(nullptr);
  std::erase_if(system.providers,
                [&](const std::unique_ptr<ProviderSlot>& slot) { return slot.get() == provider; });
}

void postDeviceListChanged(AudioSystem& system) {
  system.notifications.post(kSystemObject,
                            {AspPropertyAddress{kPropDevices, kAspScopeGlobal, kAspElementMain}});
}

void runGraphCycles(GraphClock& clock, uint32_t frames, uint64_t now) { // audio thread
  // Counted in before any slot is read: a halt that emptied a slot waits for this to end.
  clock.inFlight.fetch_add(1, std::memory_order_seq_cst);
  // Devices that capture run before those that only play, so that what one hands over reaches
  // the others in the same cycle whatever order they were started in.
  for (const bool capturing : {true, false}) {
    for (std::atomic<DeviceIo*>& slot : clock.devices) {
      DeviceIo* io = slot.load(std::memory_order_seq_cst);
      if (io != nullptr && io->hasInput() == capturing &&
          io->running.load(std::memory_order_seq_cst))
        io->runCycle(frames, now);
    }
  }
  clock.inFlight.fetch_sub(1, std::memory_order_release);
}

void skipGraphCycles(GraphClock& clock, uint32_t frames) { // audio thread
  clock.inFlight.fetch_add(1, std::memory_order_seq_cst);
  for (std::atomic<DeviceIo*>& slot : clock.devices) {
    DeviceIo* io = slot.load(std::memory_order_seq_cst);
    if (io != nullptr && io->running.load(std::memory_order_seq_cst)) io->skip(frames);
  }
  clock.inFlight.fetch_sub(1, std::memory_order_release);
}

void startDeviceClock(AudioSystem& system, DeviceEntry& device) {
  DeviceIo& io = *device.io;
  if (device.provider->provider->drivesClock()) {
    io.running.store(true, std::memory_order_seq_cst);
    return;
  }
  if (system.graphClock != nullptr && system.clock == ClockMode::RealTime &&
      device.provider->provider->isPlugIn()) {
    for (std::atomic<DeviceIo*>& slot : system.graphClock->devices) {
      if (slot.load(std::memory_order_relaxed) != nullptr) continue;
      io.running.store(true, std::memory_order_seq_cst);
      slot.store(&io, std::memory_order_seq_cst);
      device.onGraph = true;
      return;
    }
    // Every slot taken: the device keeps a thread of its own.
  }
  if (system.clock == ClockMode::Manual) {
    std::lock_guard<std::mutex> lock(system.manual.mutex);
    io.running.store(true, std::memory_order_release);
    io.nextFrames = io.bufferFrames.load(std::memory_order_relaxed);
    io.nextDueFrame = system.manual.frames + io.nextFrames;
    auto& schedule = system.manual.schedule;
    auto at = std::find_if(schedule.begin(), schedule.end(),
                           [&](const DeviceIo* other) { return other->device() > io.device(); });
    schedule.insert(at, &io);
    return;
  }
  io.running.store(true, std::memory_order_release);
  device.ioThread = std::thread(runRealtimeDevice, &io);
}

void haltDeviceClock(AudioSystem& system, DeviceEntry& device) {
  DeviceIo& io = *device.io;
  if (device.onGraph) {
    device.onGraph = false;
    io.running.store(false, std::memory_order_seq_cst);
    GraphClock& clock = *system.graphClock;
    for (std::atomic<DeviceIo*>& slot : clock.devices) {
      if (slot.load(std::memory_order_relaxed) == &io)
        slot.store(nullptr, std::memory_order_seq_cst);
    }
    while (clock.inFlight.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
    return;
  }
  if (device.provider->provider->drivesClock()) {
    // The provider's I/O thread counts itself in before it looks at `running`.
    io.running.store(false, std::memory_order_seq_cst);
    io.waitCyclesIdle();
    return;
  }
  if (system.clock == ClockMode::Manual) {
    {
      std::lock_guard<std::mutex> lock(system.manual.mutex);
      std::erase(system.manual.schedule, &io);
      io.running.store(false, std::memory_order_release);
    }
    io.waitCyclesIdle();
    return;
  }
  io.running.store(false, std::memory_order_release);
  joinUnlessSelf(device.ioThread);
}

void setGraphClock(AudioSystem& system, GraphClock* clock) {
  if (system.clock != ClockMode::RealTime) return;
  std::vector<DeviceEntry*> moved;
  for (auto& [id, device] : system.devices) {
    const bool paced = device->onGraph || device->ioThread.joinable();
    if (device->startedProcs == 0 || !paced || !device->provider->provider->isPlugIn()) continue;
    haltDeviceClock(system, *device);
    moved.push_back(device.get());
  }
  system.graphClock = clock;
  for (DeviceEntry* device : moved) startDeviceClock(system, *device);
}

bool startSystem(const SystemOptions& options) {
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  if (system.running) return false;
  system.clock = options.clock;
  system.systemRoot = options.systemRoot.empty() ? systemRootFromEnvironment() : options.systemRoot;
  system.nextObjectId = kSystemObject + 1;
  system.nextProcId = 1;
  system.defaultOutputUid.clear();
  system.defaultInputUid.clear();
  if (options.clock == ClockMode::Manual) {
    std::lock_guard<std::mutex> clock(system.manual.mutex);
    system.manual.frames = 0;
    system.manual.schedule.clear();
    setManualHostTime(true, kManualStartHostTime);
    system.manualRunning.store(true, std::memory_order_release);
  } else {
    setManualHostTime(false);
  }
  system.notifications.start(&system.control);
  loadPlugIns(system);
  system.running = true;
  return true;
}

void stopSystem() {
  AudioSystem& system = audioSystem();
  {
    std::lock_guard<std::mutex> lock(system.control);
    if (!system.running) return;
    system.running = false;
    removeProviders(system, false);
    // Devices first: no cycle of theirs still reads a process or a tap.
    system.taps.clear();
    system.processes.clear();
    system.defaultOutputUid.clear();
    system.defaultInputUid.clear();
    system.manualRunning.store(false, std::memory_order_release);
  }
  system.notifications.stop();
  setManualHostTime(false);
}

bool systemRunning() {
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  return system.running;
}

bool restartServer() {
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  if (!system.running) return false;
  const DefaultIds before = currentDefaults(system);
  removeProviders(system, true);
  loadPlugIns(system);
  devicesChanged(system, before, true);
  return true;
}

} // namespace platform::audio
