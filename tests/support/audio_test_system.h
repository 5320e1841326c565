// Test helper for suites that run the audio layer: a fresh HOME and system root (with the
// freshly built driver bundle in its plug-in folder), the layer started on it with the chosen
// clock, an empty running-applications registry, and everything stopped and removed again at
// the end. Plus small property readers and writers, simulated devices and processes.
// Use on the test's main thread; one instance at a time (the layer is process-wide).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/audio/layer/audio_system.h"
#include "platform/audio/layer/properties.h"
#include "platform/audio/simulated/sim_devices.h"
#include "platform/audio/simulated/sim_processes.h"
#include "platform/audio/simulated/sim_signal.h"

namespace velto::test {

struct AudioTestOptions {
  platform::audio::ClockMode clock = platform::audio::ClockMode::Manual;
  bool withDriver = true; // copy the driver bundle into the system root
};

class AudioTestSystem {
public:
  explicit AudioTestSystem(AudioTestOptions options = {});
  ~AudioTestSystem();
  AudioTestSystem(const AudioTestSystem&) = delete;
  AudioTestSystem& operator=(const AudioTestSystem&) = delete;

  bool started() const { return started_; }
  const std::string& home() const { return home_; }
  const std::string& systemRoot() const { return systemRoot_; }

private:
  std::string home_;
  std::string systemRoot_;
  bool started_ = false;
};

// The plug-in folder of a system root, where driver bundles go.
std::string plugInFolder(const std::string& systemRoot);

// Readers through the client API (global scope, main element unless given); on failure they
// return 0, "" or an empty list.
platform::audio::ObjectId deviceForUid(const std::string& uid);
std::vector<platform::audio::ObjectId> deviceList();
std::vector<platform::audio::ObjectId> idListProperty(platform::audio::ObjectId object,
                                                      uint32_t selector,
                                                      uint32_t scope = kAspScopeGlobal);
std::string textProperty(platform::audio::ObjectId object, uint32_t selector);
uint32_t wordProperty(platform::audio::ObjectId object, uint32_t selector,
                      uint32_t scope = kAspScopeGlobal);
float floatProperty(platform::audio::ObjectId object, uint32_t selector,
                    uint32_t scope = kAspScopeGlobal);
double doubleProperty(platform::audio::ObjectId object, uint32_t selector);
// Channels of each buffer of the device's stream configuration in `scope`.
std::vector<uint32_t> streamLayout(platform::audio::ObjectId device, uint32_t scope);
// Writers (global scope unless given); they return the layer's status.
AspStatus setWordProperty(platform::audio::ObjectId object, uint32_t selector, uint32_t value,
                          uint32_t scope = kAspScopeGlobal);
AspStatus setFloatProperty(platform::audio::ObjectId object, uint32_t selector, float value,
                           uint32_t scope = kAspScopeGlobal);
AspStatus setDoubleProperty(platform::audio::ObjectId object, uint32_t selector, double value);

// Simulated hardware. A microphone has only an input (fed by `signal`), a speaker only an
// output (captured); both start at 48000 Hz with the layer's default buffer size. Change the
// returned configuration before adding it for anything else.
platform::audio::SimDeviceConfig microphoneConfig(const std::string& uid, const std::string& name,
                                                  platform::audio::SignalSource signal,
                                                  std::vector<uint32_t> layout = {2});
platform::audio::SimDeviceConfig speakerConfig(const std::string& uid, const std::string& name,
                                               std::vector<uint32_t> layout = {2});
platform::audio::ObjectId addMicrophone(const std::string& uid, const std::string& name,
                                        platform::audio::SignalSource signal,
                                        std::vector<uint32_t> layout = {2});
platform::audio::ObjectId addSpeaker(const std::string& uid, const std::string& name,
                                     std::vector<uint32_t> layout = {2});
// What the output device played since the last take.
platform::audio::CapturedAudio takeOutput(const std::string& uid);
// A process that plays `audio` to the devices of `outputUids` (running output when that list is
// not empty). Returns its process object.
platform::audio::ObjectId addPlayingProcess(int32_t pid, const std::string& bundleId,
                                            std::vector<std::string> outputUids,
                                            platform::audio::SignalSource audio);
// The system's process objects, in order.
std::vector<platform::audio::ObjectId> processList();

// Interleaved stereo frames of a sine as the layer's sine source renders it at `position`.
std::vector<float> sineFrames(double hz, float amplitude, uint64_t position, uint32_t frames,
                              uint32_t channels = 2);
// The first control of the device whose class is `controlClass` (kAspClassVolumeControl or
// kAspClassMuteControl); 0 when it has none.
platform::audio::ObjectId controlOf(platform::audio::ObjectId device, uint32_t controlClass);

// Counts the notices a property listener gets for one object and selector (any scope unless
// given). Read after platform::audio::flushNotifications().
class NoticeCounter {
public:
  NoticeCounter(platform::audio::ObjectId object, uint32_t selector,
                uint32_t scope = platform::audio::kWildcardScope);
  ~NoticeCounter();
  NoticeCounter(const NoticeCounter&) = delete;
  NoticeCounter& operator=(const NoticeCounter&) = delete;

  bool listening() const { return listening_; }
  int count() const;
  std::vector<AspPropertyAddress> addresses() const;

private:
  static AspStatus heard(platform::audio::ObjectId, uint32_t count,
                         const AspPropertyAddress* addresses, void* self);
  platform::audio::ObjectId object_;
  AspPropertyAddress address_;
  bool listening_ = false;
  mutable std::mutex mutex_;
  int count_ = 0;
  std::vector<AspPropertyAddress> addresses_;
};

} // namespace velto::test
