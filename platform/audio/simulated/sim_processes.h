// Simulated audio processes of the audio layer, for tests: process objects in the system's
// process list with their pid, bundle id, running states and devices, which play a signal
// source to the devices they play to (while running output, unless a muting tap holds them).
// The process list's listeners are told when a process comes, goes or changes.
// Threading: control calls (any thread but an I/O callback).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/audio/layer/properties.h"
#include "platform/audio/simulated/sim_signal.h"

namespace platform::audio {

struct SimProcessConfig {
  int32_t pid = 0;
  std::string bundleId;       // empty: the process has none
  std::string name;           // the executable's name
  std::string executablePath; // empty: the name
  bool runningOutput = false;
  bool runningInput = false;
  std::vector<std::string> outputDevices; // UIDs of the devices it plays to
  std::vector<std::string> inputDevices;  // UIDs of the devices it records from
  SignalSource audio;                     // what it plays, as stereo
};

// The process object's id; 0 when no system runs.
ObjectId addSimProcess(const SimProcessConfig& config);
// Replaces the whole configuration (a changed audio source plays from its start). False for an
// unknown process.
bool updateSimProcess(ObjectId process, const SimProcessConfig& config);
bool removeSimProcess(ObjectId process);

} // namespace platform::audio
