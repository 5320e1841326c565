// A configured binding of one engine link (hardware input, bus, clock, system sound) to a device
// found by UID, and the roles a link is bound in. Owned by the engine; main thread only.
#pragma once

#include "platform/audio/layer/io_procs.h"

#include <cstdint>
#include <string>

namespace velto {

using AudioObjectID = platform::audio::ObjectId;

enum class DeviceRole { Input = 0, Output = 1, Internal = 2 };

struct DeviceLink {
  std::string uid;                                               // configured UID, "" = none
  AudioObjectID device = 0;                                      // bound device, 0 = not bound
  platform::audio::IoProcId ioProc = platform::audio::kNoIoProc; // running callback, if any
  // Raised (as an atomic) whenever a callback starts on the device; the callback keeps the
  // figure it last saw in `seenStarts` (audio thread) and so knows its first cycle after a start.
  uint32_t starts = 0;
  uint32_t seenStarts = 0;
};

} // namespace velto
