// The in-process system audio layer as a whole: started and stopped explicitly, so that every
// test gets a fresh one. Starting loads every plug-in under the system root through the plug-in
// host and chooses the clock that paces all I/O. One system per process.
// Threading: start, stop and restart from one control thread (the main thread or a test).
#pragma once

#include <string>

namespace platform::audio {

enum class ClockMode {
  RealTime, // every running device has an I/O thread woken once per buffer period
  Manual,   // time moves only when a caller advances the manual clock (manual_clock.h)
};

struct SystemOptions {
  std::string systemRoot; // empty: systemRootFromEnvironment()
  ClockMode clock = ClockMode::RealTime;
};

// VELTO_SYSTEM_ROOT; unset or empty: ${XDG_DATA_HOME:-$HOME/.local/share}/velto/system ("." for
// an unset HOME; an XDG_DATA_HOME that is not absolute counts as unset).
std::string systemRootFromEnvironment();

// False when a system is already running.
bool startSystem(const SystemOptions& options);
// Stops every device, unloads every plug-in, drops every listener and callback. Queued notices
// are not delivered. Nothing happens when no system runs.
void stopSystem();
bool systemRunning();

// Like a restart of the audio server: every plug-in is unloaded and loaded again. Callbacks on
// plug-in devices stop and are gone; the reloaded devices get new object ids; the device list's
// listeners are told. False when no system runs.
bool restartServer();

} // namespace platform::audio
