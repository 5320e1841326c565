// The manual clock of the audio layer: with ClockMode::Manual nothing runs by itself; a test
// moves time forward in whole frames at 48000 Hz, and every running device runs its cycles
// synchronously on the calling thread whenever its buffer period is due (a device started at
// frame s runs its first cycle at s + its buffer size), devices due at the same frame in the
// order of their object ids. Host time follows the frame count exactly (derived, never summed).
// Threading: one advancing thread at a time; not from inside an I/O callback.
#pragma once

#include <cstdint>

namespace platform::audio {

// Frames since the system started; 0 when no manual-clock system runs.
uint64_t clockFrames();
// Host time (ns) of a frame count of the manual clock.
uint64_t manualHostTimeOfFrame(uint64_t frames);
// Both return false (and do nothing) unless a manual-clock system runs.
bool advanceFrames(uint64_t frames);
// `cycles` periods of the shortest buffer size among the running devices (of the default
// buffer size when none runs).
bool runCycles(uint32_t cycles);

} // namespace platform::audio
