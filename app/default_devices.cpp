#include "app/default_devices.h"

#include <string>

#include "platform/audio/layer/properties.h"
#include "platform/audio/simulated/sim_devices.h"
#include "platform/audio/simulated/sim_signal.h"

namespace velto {
namespace {

namespace audio = platform::audio;

// What the outputs play is not listened to; a short capture keeps their memory small.
constexpr uint32_t kCaptureFrames = 4096;

audio::SimDeviceConfig device(const char* uid, const char* name, bool input, uint32_t transport) {
  audio::SimDeviceConfig config;
  config.uid = uid;
  config.name = name;
  (input ? config.inputBuffers : config.outputBuffers) = {2};
  config.transport = transport;
  config.captureFrames = kCaptureFrames;
  return config;
}

bool makeDefault(uint32_t selector, audio::ObjectId device) {
  const AspPropertyAddress address{selector, kAspScopeGlobal, kAspElementMain};
  return audio::setPropertyData(audio::kSystemObject, &address, 0, nullptr, sizeof device,
                                &device) == kAspNoError;
}

} // namespace

bool addDefaultDevices() {
  auto microphone =
      device(kSimMicrophoneUid, "Mikrofon (simuliert)", true, audio::kTransportBuiltIn);
  // A quiet 440 Hz tone (-30 dBFS), so meters and routes show that audio flows.
  microphone.input = audio::SignalSource::sine(440.0, 0.0316f);
  const audio::ObjectId mic = audio::addSimDevice(microphone);
  const audio::ObjectId speakers = audio::addSimDevice(
      device(kSimSpeakersUid, "Lautsprecher (simuliert)", false, audio::kTransportBuiltIn));
  const audio::ObjectId headphones = audio::addSimDevice(
      device(kSimHeadphonesUid, "Kopfhörer (simuliert)", false, audio::kTransportUsb));
  if (mic == 0 || speakers == 0 || headphones == 0) return false;
  return makeDefault(audio::kPropDefaultInputDevice, mic) &&
         makeDefault(audio::kPropDefaultOutputDevice, speakers);
}

AudioDevices startAudioDevices(const char* choice, const audio::PipewireOptions& server) {
  const std::string forced = choice != nullptr ? choice : "";
  if (forced != "simulated") {
    if (audio::startPipewireDevices(server)) return AudioDevices::PipeWire;
    if (forced == "pipewire") return AudioDevices::None;
  }
  addDefaultDevices();
  return AudioDevices::Simulated;
}

void stopAudioDevices() {
  audio::stopPipewireDevices();
}

} // namespace velto
