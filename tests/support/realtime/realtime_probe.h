// Counts the heap allocations and the lock, wait and sleep calls a thread makes while it is
// flagged, for the real-time safety suites. Linking this library interposes the process's
// allocation and locking functions; the flag is a thread-local, so setting it is safe on an
// audio thread. Sanitizers interpose the same functions themselves: there nothing is counted.
#pragma once

#include <cstdint>

namespace velto::test {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kRealtimeCounting = false;
#else
inline constexpr bool kRealtimeCounting = true;
#endif

// Flags (or unflags) the calling thread: only flagged threads are counted.
void setRealtimeFlag(bool on);
uint64_t realtimeAllocations();
uint64_t realtimeLocks();
// Whether a deliberate allocation and lock on a flagged thread are counted, and an allocation
// off the flag is not; proves the interposition is linked in.
bool realtimeProbeWorks();

} // namespace velto::test
