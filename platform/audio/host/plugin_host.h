// The plug-in host: the stand-in for the system audio server. One PluginHost holds one loaded
// driver bundle (dlopen, factory, Initialize with our host table) and drives its devices' I/O as
// a server does. Owned by the audio layer's client side. Property calls and start/stop come from
// the control side; runCycle runs on a device's I/O thread and neither allocates nor locks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/plugin/asp.h"

namespace platform::audio {

struct CycleTimes {        // one I/O cycle of a plug-in device, on the driver's time line
  double inputSampleTime;  // first frame of the input buffer
  double outputSampleTime; // first frame of the output buffer
  uint64_t hostTime;       // "now" of the cycle
};

struct PluginHostState;

class PluginHost {
public:
  // Loads one bundle folder: Contents/Info.plist (CFBundleExecutable, PlugInFactory), dlopen of
  // Contents/Linux/<executable>.so, factory(kAspPlugInTypeUuid), QueryInterface(driver
  // interface), Initialize(host table). Stored values live in `storagePath` (text file, rewritten
  // whole via a temporary file + rename on every write). Null on any failure (silent), also
  // while another live host holds the same library (a plug-in's state is process-wide).
  static std::unique_ptr<PluginHost> load(const std::string& bundlePath,
                                          const std::string& storagePath);
  // Every "*.driver" folder under <systemRoot>/Library/Audio/Plug-Ins/HAL, sorted by name; the
  // storage file of bundle B is <systemRoot>/Library/Audio/Storage/B.values (folders created).
  static std::vector<std::unique_ptr<PluginHost>> loadAll(const std::string& systemRoot);
  ~PluginHost(); // Release + dlclose. An audio-server restart = destroy all + loadAll.
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;

  const std::string& bundlePath() const;

  // Property calls, forwarded to the driver with plug-in-local object ids.
  bool hasProperty(AspObjectId object, const AspPropertyAddress& address) const;
  AspStatus isPropertySettable(AspObjectId object, const AspPropertyAddress& address,
                               bool* outSettable) const;
  AspStatus getPropertyDataSize(AspObjectId object, const AspPropertyAddress& address,
                                uint32_t qualifierSize, const void* qualifier,
                                uint32_t* outSize) const;
  AspStatus getPropertyData(AspObjectId object, const AspPropertyAddress& address,
                            uint32_t qualifierSize, const void* qualifier, uint32_t size,
                            uint32_t* outSize, void* outData) const;
  AspStatus setPropertyData(AspObjectId object, const AspPropertyAddress& address,
                            uint32_t qualifierSize, const void* qualifier, uint32_t size,
                            const void* data);

  // The driver's property-change notices. The handler is called synchronously from inside the
  // driver's call (often inside a set), so it must only queue: listeners are served later.
  using ChangeHandler =
      std::function<void(AspObjectId object, const std::vector<AspPropertyAddress>& addresses)>;
  void setChangeHandler(ChangeHandler handler);

  // Client counting, as a server does: the first start of a device calls StartIO, the last stop
  // calls StopIO. Returns the driver's status.
  AspStatus startDevice(AspObjectId device);
  AspStatus stopDevice(AspObjectId device);
  bool deviceHasInput(AspObjectId device) const; // from its input-scope stream list
  bool deviceHasOutput(AspObjectId device) const;

  // One I/O cycle of `device` at host time `now` (audio thread: no allocation, no lock):
  // GetZeroTimeStamp; current sample time = zero sample time + (now - zero host time) / ticks
  // per frame, rounded to the nearest whole frame (the stand-in's cycles start on whole frames);
  // inputSampleTime = current - frames; outputSampleTime = current + frames; then, if the device
  // has input, WillDoIOOperation/Begin/Do/End of kAspIoReadInput into `input`; then
  // `process(context, times)` (the client callbacks read `input` and fill `output`); then, if
  // the device has output, the same for kAspIoWriteMix from `output`. Buffers are interleaved
  // stereo float of `frames` frames; either may be null when the device lacks that direction.
  void runCycle(AspObjectId device, uint32_t frames, uint64_t now, float* input, float* output,
                void (*process)(void* context, const CycleTimes& times), void* context);

  // The driver's table as the host holds it (reference counting is observable through it).
  AspDriverRef driverInterface() const;

private:
  PluginHost();
  std::unique_ptr<PluginHostState> state_;
};

} // namespace platform::audio
