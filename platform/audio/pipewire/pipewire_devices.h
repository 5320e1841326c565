// The machine's own sound devices through a PipeWire server: every audio node of the server that
// is not one of Velto's own becomes a device of the audio layer, and the device list follows the
// nodes as they come and go. Started after the layer, stopped before it.
// Threading: start and stop from one control thread (the main thread or a test), never from a
// listener or an I/O callback.
#pragma once

#include <string>

namespace platform::audio {

// Nodes whose node.name starts with this are Velto's own (its streams, later its virtual
// devices) and never become devices.
inline constexpr const char* kOwnNodePrefix = "velto.";

struct PipewireOptions {
  std::string remote;      // the server's socket; empty: the user's own server
  int answerMillis = 1000; // how long to wait for the server's first answer
};

// Connects, lists the server's devices into the running layer and follows them. False (and
// nothing changes) when no layer runs, it runs the manual clock, the devices already run, or the
// server does not answer.
bool startPipewireDevices(const PipewireOptions& options = {});
// Removes the devices (their callbacks stop) and disconnects. Nothing when they do not run.
void stopPipewireDevices();
bool pipewireDevicesRunning();

} // namespace platform::audio
