// Process taps and aggregate devices of the audio layer. A tap takes the audio of a list of
// process objects as one stereo mixdown; its mute behaviour decides whether those processes are
// still heard on their own devices while it exists. An aggregate device delivers, as input
// channels, the input channels of its sub-devices (the main sub-device first) followed by two
// channels per tap; a private one is never listed but has an id, a UID and runs callbacks.
// Simplification: simulated processes are stereo, so a tap without mixdown sounds the same.
// Threading: control calls (any thread but an I/O callback).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/audio/layer/properties.h"

namespace platform::audio {

// A new random UUID text ("XXXXXXXX-XXXX-4XXX-YXXX-XXXXXXXXXXXX", upper-case hex).
std::string makeUuid();

enum class TapMuteBehavior : uint32_t { Unmuted = 0, Muted = 1 };

struct TapDescription {
  std::string name;
  std::string uuid = makeUuid(); // every description gets its own, as it is made
  std::vector<ObjectId> processes;
  bool stereoMixdown = true;
  bool isPrivate = true;
  TapMuteBehavior muteBehavior = TapMuteBehavior::Unmuted;
};

// kAspBadObject when a listed object is not a process; kStatusIllegalOperation when a tap with
// that UUID exists; kStatusNotRunning without a system.
AspStatus createProcessTap(const TapDescription& description, ObjectId* outTap);
AspStatus destroyProcessTap(ObjectId tap);

struct AggregateTap {
  std::string uid; // the tap description's UUID
  bool drift = true;
};

struct AggregateDescription {
  std::string name;
  std::string uid;
  bool isPrivate = false;
  bool stacked = false;
  bool tapAutoStart = false;
  std::string mainSubDevice;           // UID; its input channels come first
  std::vector<std::string> subDevices; // UIDs
  std::vector<AggregateTap> taps;
};

// kStatusIllegalOperation for an empty or taken UID; kStatusBadDevice for a sub-device UID that
// no device has; kAspBadObject for a tap UUID that no tap has.
AspStatus createAggregateDevice(const AggregateDescription& description, ObjectId* outDevice);
// kStatusBadDevice unless `device` is an aggregate device.
AspStatus destroyAggregateDevice(ObjectId device);

} // namespace platform::audio
