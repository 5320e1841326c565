// The sound devices of a first run: until a provider for the machine's own sound system exists,
// the stand-in audio layer gets a small fixed set of simulated devices — a microphone playing a
// quiet test tone, speakers and headphones — with the microphone and the speakers as the
// system's defaults. Owned by the shell. Threading: main thread, after the layer has started.
#pragma once

namespace velto {

inline constexpr const char* kSimMicrophoneUid = "VeltoSimMicrophone_UID";
inline constexpr const char* kSimSpeakersUid = "VeltoSimSpeakers_UID";
inline constexpr const char* kSimHeadphonesUid = "VeltoSimHeadphones_UID";

// Plugs the three devices in and makes the defaults; false when the layer refused one.
bool addDefaultDevices();

} // namespace velto
