// The audio layer's process-wide state, shared by its source files (not for clients): the
// providers with their id maps, the object and device tables, the notification queue and the
// manual clock. One instance, alive for the whole process; filled by startSystem.
// Threading: everything below `control` is guarded by it, except what is marked otherwise.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/audio/layer/audio_system.h"
#include "platform/audio/layer/device_io.h"
#include "platform/audio/layer/device_provider.h"
#include "platform/audio/layer/notifications.h"

namespace platform::audio {

// Host time of frame 0 of the manual clock (1 s, so that no clock anchor is ever 0).
constexpr uint64_t kManualStartHostTime = 1000000000ull;

using IdMap = std::unordered_map<AspObjectId, ObjectId>; // provider-local id -> global id

struct ProviderSlot {
  std::unique_ptr<DeviceProvider> provider;
  std::shared_ptr<const IdMap> toGlobal; // fixed once registered; read by the change sink
};

struct ObjectEntry {
  ProviderSlot* provider;
  AspObjectId local;
  ObjectKind kind;
};

struct DeviceEntry {
  ObjectId id = 0;
  ProviderSlot* provider = nullptr;
  AspObjectId local = 0;
  std::string uid;
  bool hidden = false;
  std::vector<ProvidedControl> controls; // provider-local ids
  bool failWrites = false;               // injected fault: every property write is refused
  bool refuseIoProcs = false;            // injected fault: no client callback can be created
  std::unique_ptr<DeviceIo> io;
  uint32_t startedProcs = 0;
  std::thread ioThread; // real-time clock only
  bool onGraph = false; // paced by the graph clock instead
};

struct ManualClock {
  std::mutex mutex;     // guards frames, the schedule and every scheduled nextDueFrame
  std::mutex advancing; // one advancing caller at a time
  uint64_t frames = 0;
  std::vector<DeviceIo*> schedule; // running devices, by object id
};

// A sound server's graph that paces the plug-ins' devices in place of the layer's own I/O
// threads (real-time clock only): the control side fills and empties the slots, the graph's
// thread runs the cycle of every filled slot once per graph cycle (runGraphCycles).
struct GraphClock {
  static constexpr size_t kSlots = 32;
  std::array<std::atomic<DeviceIo*>, kSlots> devices{};
  std::atomic<uint32_t> inFlight{0}; // graph cycles being run
};

// The graph's thread: one cycle of `frames` at host time `now` of every device on the clock.
void runGraphCycles(GraphClock& clock, uint32_t frames, uint64_t now);
// The graph's thread: `frames` of graph cycles that ran without the devices on the clock.
void skipGraphCycles(GraphClock& clock, uint32_t frames);

struct SimProcess; // sim_objects.h
struct SimTap;

struct AudioSystem {
  std::mutex control;
  bool running = false;
  ClockMode clock = ClockMode::RealTime;
  std::string systemRoot;
  ObjectId nextObjectId = kSystemObject + 1;
  IoProcId nextProcId = 1;
  std::vector<std::unique_ptr<ProviderSlot>> providers;
  std::map<ObjectId, ObjectEntry> objects;
  std::map<ObjectId, std::unique_ptr<DeviceEntry>> devices;
  // The system's default devices, kept by UID: a device that comes back is default again.
  std::string defaultOutputUid;
  std::string defaultInputUid;
  std::map<ObjectId, std::shared_ptr<SimProcess>> processes; // in the order they came
  std::map<ObjectId, std::shared_ptr<SimTap>> taps;

  // Told (control lock held) after a plug-in's provider came and before it goes, so that its
  // devices can be offered elsewhere; empty when nobody asks.
  std::function<void(ProviderSlot& slot, bool added)> plugInWatch;
  // Told (control lock held) when a client sets a default device, with its UID, so that a sound
  // server's own default follows; empty when nobody asks.
  std::function<void(bool output, const std::string& uid)> defaultWatch;
  // Told (control lock held) when a tap of external processes is made (false: their sound
  // server cannot capture them, and the tap is not made) and before it goes; empty when nobody
  // asks.
  std::function<bool(SimTap& tap, bool created)> tapWatch;
  // While set, plug-in devices that start run on it; it outlives every device placed on it.
  GraphClock* graphClock = nullptr;

  Notifications notifications; // own lock
  ManualClock manual;          // own locks
  std::atomic<bool> manualRunning{false};
};

AudioSystem& audioSystem();

// The helpers below run with `control` held.
DeviceEntry* findDevice(AudioSystem& system, ObjectId device);
// Gives every object of the provider a new global id and every device its I/O side. Devices
// that come and go at run time do so as whole providers; the caller then posts the change.
ProviderSlot* registerProvider(AudioSystem& system, std::unique_ptr<DeviceProvider> provider);
// The global id of a provider-local object; 0 when it has none.
ObjectId globalIdOf(const ProviderSlot& provider, AspObjectId local);
// The device with this UID (hidden ones too); null when none.
DeviceEntry* findDeviceByUid(AudioSystem& system, const std::string& uid);
// Halts the provider's devices (no callback runs afterwards), drops its objects, destroys it.
void unregisterProvider(AudioSystem& system, ProviderSlot* provider);
// Tells the system object's device-list listeners.
void postDeviceListChanged(AudioSystem& system);
// After devices came or went: tells the device-list listeners (when `listed` is true), the
// default-device listeners whose device changed (`before`: the defaults before the change), and
// lets simulated processes play to the devices that now exist.
struct DefaultIds {
  ObjectId output = 0;
  ObjectId input = 0;
};
DefaultIds currentDefaults(AudioSystem& system);
void devicesChanged(AudioSystem& system, const DefaultIds& before, bool listed);

// Callbacks made by the layer itself (a simulated process playing to a device), without the
// client-facing checks and without taking the control lock.
AspStatus createIoProcLocked(AudioSystem& system, DeviceEntry& device, IoProc proc,
                             void* clientData, IoProcId* outId);
AspStatus startIoProcLocked(AudioSystem& system, DeviceEntry& device, IoProcId id);
AspStatus destroyIoProcLocked(AudioSystem& system, DeviceEntry& device, IoProcId id);
// Lets the device's clock run its cycles / stops them and waits for a cycle in flight.
void startDeviceClock(AudioSystem& system, DeviceEntry& device);
void haltDeviceClock(AudioSystem& system, DeviceEntry& device);

// Control lock held: puts the graph clock in place (null: takes it away) and moves the running
// plug-in devices onto it (back onto threads of their own).
void setGraphClock(AudioSystem& system, GraphClock* clock);

// The real-time clock's I/O thread of one device (realtime_clock.cpp).
void runRealtimeDevice(DeviceIo* io);

} // namespace platform::audio
