// Test helper for suites that run the audio layer: a fresh HOME and system root (with the
// freshly built driver bundle in its plug-in folder), the layer started on it with the chosen
// clock, and everything stopped and removed again at the end. Plus small property readers.
// Use on the test's main thread; one instance at a time (the layer is process-wide).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/audio/audio_system.h"
#include "platform/audio/properties.h"

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
float floatProperty(platform::audio::ObjectId object, uint32_t selector);
// The first control of the device whose class is `controlClass` (kAspClassVolumeControl or
// kAspClassMuteControl); 0 when it has none.
platform::audio::ObjectId controlOf(platform::audio::ObjectId device, uint32_t controlClass);

} // namespace velto::test
