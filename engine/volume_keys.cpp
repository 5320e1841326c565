// System volume keys: the volume and mute of the driver's "Velto Input" are tied to one fader
// (the "Default" virtual input or a hardware output bus). A reported volume moves the fader by
// the same dB step; a 100 ms timer writes the fader back. Both sides compare against one
// remembered volume and mute, so neither echoes the other. Main thread only; listener calls
// only hop to the main queue.
#include "engine/engine.h"

#include "engine/listener_hop.h"
#include "platform/audio/layer/listeners.h"
#include "platform/audio/layer/properties.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace velto {

namespace {

namespace audio = platform::audio;

constexpr AspPropertyAddress kVolAddr{audio::kPropVolumeScalar, kAspScopeOutput, kAspElementMain};
constexpr AspPropertyAddress kMuteAddr{audio::kPropMute, kAspScopeOutput, kAspElementMain};

constexpr char kVeltoInputUid[] = "VeltoDefaultOutput_UID";

// Volume differences up to this much are the echo of our own write, not a user's change.
constexpr float kVolumeThreshold = 0.002f;
// The system volume maps to a fader level by L = 60·log10(v), i.e. gain = v³.
constexpr float kVolumeDbPerDecade = 60.0f;

constexpr auto kWriteBackInterval = std::chrono::milliseconds(100);
constexpr auto kWriteBackLeeway = std::chrono::milliseconds(20);

AspStatus macVolumeListener(audio::ObjectId, uint32_t, const AspPropertyAddress*,
                            void* clientData) {
  hopToMain(static_cast<Engine*>(clientData), &Engine::readMacVolume);
  return 0;
}

float volumeToDb(float volume) {
  return std::max(kVolumeDbPerDecade * std::log10(volume), kMinDb);
}

} // namespace

// main thread
std::atomic<float>& Engine::volumeKeysGain() {
  const int k = settings.volumeKeys;
  if (k >= 0 && k <= 2) return buses[k].gain;
  return virtualIns[3].strip.gain;
}

// main thread
std::atomic<bool>& Engine::volumeKeysMute() {
  const int k = settings.volumeKeys;
  if (k >= 0 && k <= 2) return buses[k].mute;
  return virtualIns[3].strip.mute;
}

// main thread
void Engine::setVolumeKeys(int k) {
  if (k < -1 || k > 2) return;
  settings.volumeKeys = k;
  syncMacVolume();
}

// main thread
void Engine::watchMacVolume() {
  const DeviceInfo* device = findDevice(kVeltoInputUid);
  const AudioObjectID id = device != nullptr ? device->id : 0;
  if (id == macVolumeDevice) return;

  if (macVolumeDevice != 0) {
    audio::removePropertyListener(macVolumeDevice, &kVolAddr, macVolumeListener, this);
    audio::removePropertyListener(macVolumeDevice, &kMuteAddr, macVolumeListener, this);
  }
  macVolumeDevice = id;
  if (id != 0) {
    audio::addPropertyListener(id, &kVolAddr, macVolumeListener, this);
    audio::addPropertyListener(id, &kMuteAddr, macVolumeListener, this);
  }
  // The fader wins over whatever the new device holds.
  macVolume = -1.0f;
  syncMacVolume();

  if (!macVolumeTimer && live) {
    macVolumeTimer = std::make_unique<platform::dispatch::Timer>([this] { syncMacVolume(); });
    macVolumeTimer->start(kWriteBackInterval, kWriteBackLeeway,
                          platform::dispatch::Duration::zero());
  }
}

// main thread
void Engine::readMacVolume() {
  if (macVolumeDevice == 0) return;
  float volume = 1.0f;
  uint32_t size = sizeof volume;
  if (audio::getPropertyData(macVolumeDevice, &kVolAddr, 0, nullptr, &size, &volume) !=
          kAspNoError ||
      size != sizeof volume) {
    volume = 1.0f;
  }
  uint32_t mute = 0;
  size = sizeof mute;
  if (audio::getPropertyData(macVolumeDevice, &kMuteAddr, 0, nullptr, &size, &mute) !=
          kAspNoError ||
      size != sizeof mute) {
    mute = 0;
  }
  applyMacVolume(volume, mute != 0);
}

// main thread
void Engine::applyMacVolume(float volume, bool mute) {
  // A report that is not a number must never reach the fader.
  if (!std::isfinite(volume)) return;

  if (macVolume >= 0.0f && std::fabs(volume - macVolume) > kVolumeThreshold) {
    std::atomic<float>& gain = volumeKeysGain();
    cancelFade(gain);
    float newGain = 0.0f;
    if (volume > 0.0f) {
      float current = gainToDb(gain.load());
      if (!std::isfinite(current)) current = kMinDb;
      const float now = volumeToDb(volume);
      const float before = macVolume > 0.0f ? volumeToDb(macVolume) : kMinDb;
      const float level = std::clamp(current + now - before, kMinDb, kMaxDb);
      newGain = dbToGain(level);
    }
    gain.exchange(newGain);
  }
  if (mute != macMute) volumeKeysMute().exchange(mute);
  macVolume = volume;
  macMute = mute;
}

// main thread
void Engine::syncMacVolume() {
  const float gain = volumeKeysGain().load();
  // A gain that is not a number has no system volume to show.
  if (std::isnan(gain)) return;
  const float volume = std::cbrt(std::clamp(gain, 0.0f, 1.0f));
  const bool mute = volumeKeysMute().load();
  if (std::fabs(volume - macVolume) <= kVolumeThreshold && mute == macMute) return;

  macVolume = volume;
  macMute = mute;
  if (!live || macVolumeDevice == 0) return;
  audio::setPropertyData(macVolumeDevice, &kVolAddr, 0, nullptr, sizeof volume, &volume);
  const uint32_t muteWord = mute ? 1u : 0u;
  audio::setPropertyData(macVolumeDevice, &kMuteAddr, 0, nullptr, sizeof muteWord, &muteWord);
}

// main thread
void Engine::setMacVolumeForTest(float volume, bool mute) {
  applyMacVolume(volume, mute);
}

} // namespace velto
