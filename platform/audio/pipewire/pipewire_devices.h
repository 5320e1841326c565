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
// The node group of all of Velto's own nodes and streams: the server schedules a group under one
// driver, so every device Velto runs moves in the same graph cycles.
inline constexpr const char* kOwnNodeGroup = "velto.driver";

struct PipewireOptions {
  std::string remote;      // the server's socket; empty: the user's own server
  int answerMillis = 1000; // how long to wait for the server's first answer
};

// Connects, lists the server's devices into the running layer and follows them; a server that
// goes away takes its devices along and is looked for again every second (from a thread of its
// own), so they come back with it. False (and nothing changes) when no layer runs, it runs the
// manual clock, the devices already run, or the server does not answer.
bool startPipewireDevices(const PipewireOptions& options = {});
// Removes the devices (their callbacks stop), stops looking for the server and disconnects.
// Nothing when they do not run.
void stopPipewireDevices();
// True from a start that succeeded until the stop, also while the server is away.
bool pipewireDevicesRunning();

} // namespace platform::audio
