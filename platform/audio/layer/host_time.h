// The system's absolute clock, as the audio layer and the plug-in host see it. Process-wide.
// Real mode reads the monotonic clock; manual mode returns the time a test has advanced to, so
// that every time stamp of a manual-clock run is deterministic. Any thread may call.
#pragma once

#include <cstdint>

namespace platform::audio {

// Nanoseconds: the timebase is 1/1.
uint64_t hostTimeNow();
void hostTimebase(uint32_t* numer, uint32_t* denom);

// Switches between the real clock and the manual clock (starting at `start`).
void setManualHostTime(bool manual, uint64_t start = 0);
bool manualHostTime();
// Manual mode only: moves "now" forward.
void advanceManualHostTime(uint64_t nanoseconds);
void setManualHostTimeNow(uint64_t now);

} // namespace platform::audio
