// I/O callbacks of the system audio layer: created, started, stopped and destroyed per device.
// A device runs while at least one of its callbacks is started; every started callback is called
// once per cycle on the device's I/O thread (or on the thread that advances the manual clock).
// Threading: the control calls come from control threads; stop and destroy return only when no
// call of that callback is in flight and none will follow. Callbacks must not call the layer.
#pragma once

#include <cstdint>

#include "platform/audio/layer/properties.h"

namespace platform::audio {

// One buffer of 32-bit float samples, `channels` interleaved.
struct Buffer {
  uint32_t channels;
  uint32_t byteSize;
  void* data;
};

// A device's buffers in one direction; channel numbering runs over all buffers in order. A
// direction the device lacks comes as a list with count 0.
struct BufferList {
  static constexpr uint32_t kCapacity = 32;
  uint32_t count;
  Buffer buffers[kCapacity];
};

using TimeStamp = AspTimeStamp;

// `now`: the cycle's current time; `input` was recorded up to `now`, `output` (zeroed for each
// callback) plays from `outputTime` on. The device plays the sum of all its callbacks' outputs.
// The return value is ignored.
using IoProc = AspStatus (*)(ObjectId device, const TimeStamp* now, const BufferList* input,
                             const TimeStamp* inputTime, BufferList* output,
                             const TimeStamp* outputTime, void* clientData);

using IoProcId = uint32_t;
constexpr IoProcId kNoIoProc = 0;

// Every call: kStatusBadDevice when `device` is not a device (also one that has gone away),
// kStatusIllegalOperation for an unknown callback id, kStatusNotRunning when the system is off.
constexpr uint32_t kMaxIoProcsPerDevice = 16;
AspStatus createIoProcId(ObjectId device, IoProc proc, void* clientData, IoProcId* outId);
AspStatus destroyIoProcId(ObjectId device, IoProcId id); // stops it first when started
AspStatus startDevice(ObjectId device, IoProcId id);     // starting a started callback: no change
AspStatus stopDevice(ObjectId device, IoProcId id);      // stopping a stopped callback: no change

} // namespace platform::audio
