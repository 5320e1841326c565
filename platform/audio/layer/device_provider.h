// A source of devices inside the audio layer: the plug-in host now; simulated hardware, process
// taps and aggregate devices fit the same shape. A provider answers for its own objects by its
// own local ids; the layer gives them global ids. Owned by the layer's state.
// Threading: the control calls run under the layer's control lock; the cycle function runs on
// I/O threads (or the manual clock's caller) and must neither allocate nor lock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/plugin/asp.h"

namespace platform::audio {

class DeviceIo;

// Process and Tap objects are the layer's own (sim_processes.h, sim_taps.h), not a provider's.
enum class ObjectKind { Owner, Device, Other, Process, Tap };

struct ProvidedObject {
  AspObjectId local;
  ObjectKind kind;
};

// A volume or mute control of a device; the layer answers the device's volume and mute
// (kPropVolumeScalar, kPropMute) in the control's scope through it.
struct ProvidedControl {
  AspObjectId local;
  uint32_t deviceSelector; // kPropVolumeScalar or kPropMute
  uint32_t scope;
};

struct ProvidedDevice {
  AspObjectId local;
  std::string uid;
  bool hidden;                         // kept out of the device list (still found by UID)
  std::vector<uint32_t> inputBuffers;  // channels of each input buffer; empty: no input
  std::vector<uint32_t> outputBuffers; // the same for the output
  std::vector<ProvidedControl> controls = {};
};

// One I/O cycle of a device: fill the device's input buffers, let DeviceIo::deliver run the
// callbacks, pass the output mix on. A plain function so the audio path has no virtual call.
using CycleFunction = void (*)(void* context, DeviceIo& io, uint32_t frames, uint64_t now);

// Notices about the provider's objects, with local ids. May be called from inside any control
// call of the provider; the receiver only queues.
using ChangeSink =
    std::function<void(AspObjectId local, const std::vector<AspPropertyAddress>& addresses)>;

class DeviceProvider {
public:
  virtual ~DeviceProvider() = default;

  // Every object (the owner first), and the devices among them.
  virtual std::vector<ProvidedObject> objects() const = 0;
  virtual std::vector<ProvidedDevice> devices() const = 0;
  // True for plug-ins: an audio-server restart unloads and reloads them.
  virtual bool isPlugIn() const = 0;

  virtual bool hasProperty(AspObjectId local, const AspPropertyAddress& address) const = 0;
  virtual AspStatus isPropertySettable(AspObjectId local, const AspPropertyAddress& address,
                                       bool* outSettable) const = 0;
  virtual AspStatus getPropertyDataSize(AspObjectId local, const AspPropertyAddress& address,
                                        uint32_t qualifierSize, const void* qualifier,
                                        uint32_t* outSize) const = 0;
  virtual AspStatus getPropertyData(AspObjectId local, const AspPropertyAddress& address,
                                    uint32_t qualifierSize, const void* qualifier, uint32_t size,
                                    uint32_t* outSize, void* outData) const = 0;
  virtual AspStatus setPropertyData(AspObjectId local, const AspPropertyAddress& address,
                                    uint32_t qualifierSize, const void* qualifier, uint32_t size,
                                    const void* data) = 0;

  virtual void setChangeSink(ChangeSink sink) = 0;

  // Called when the device's first callback starts and after its last one stopped.
  virtual AspStatus startDevice(AspObjectId local) = 0;
  virtual AspStatus stopDevice(AspObjectId local) = 0;

  virtual CycleFunction cycleFunction() const = 0;
  virtual void* cycleContext() = 0;

  // A provider whose devices are clocked by a sound server runs their cycles itself, from the
  // server's own I/O thread; the layer then starts no I/O thread of its own for them.
  virtual bool drivesClock() const { return false; }
  // The I/O side the layer made for one of the provider's devices; it outlives every cycle.
  virtual void attachIo(AspObjectId /*local*/, DeviceIo* /*io*/) {}
  // A client chose another buffer size for the device (control lock held).
  virtual void bufferFramesChanged(AspObjectId /*local*/, uint32_t /*frames*/) {}
};

} // namespace platform::audio
