// The sound devices of the program: those of the machine's PipeWire server when one answers,
// else a small fixed set of simulated devices — a microphone playing a quiet test tone, speakers
// and headphones — with the microphone and the speakers as the system's defaults.
// VELTO_AUDIO ("pipewire" or "simulated") forces one of the two. Owned by the shell.
// Threading: main thread, after the layer has started and before it stops.
#pragma once

#include "platform/audio/pipewire/pipewire_devices.h"

namespace velto {

inline constexpr const char* kSimMicrophoneUid = "VeltoSimMicrophone_UID";
inline constexpr const char* kSimSpeakersUid = "VeltoSimSpeakers_UID";
inline constexpr const char* kSimHeadphonesUid = "VeltoSimHeadphones_UID";

// Plugs the three devices in and makes the defaults; false when the layer refused one.
bool addDefaultDevices();

enum class AudioDevices {
  PipeWire,  // the server's devices, following it
  Simulated, // the fixed simulated set
  None,      // PipeWire was asked for and no server answers
};

// Starts the devices `choice` (the value of VELTO_AUDIO, may be null) asks for: "pipewire" only
// the server's, "simulated" only the simulated set, anything else the server's when it answers
// and the simulated set otherwise. `server` says where the server is.
AudioDevices startAudioDevices(const char* choice,
                               const platform::audio::PipewireOptions& server = {});
// Lets the server's devices go; before the layer stops.
void stopAudioDevices();

} // namespace velto
