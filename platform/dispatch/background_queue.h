// The background queue: work that must not run on the main thread (decoding, analysis). A
// process-wide pool of kBackgroundWorkers threads, started at the first post and kept for the
// life of the process; items start in posting order but may run concurrently and finish in
// any order. Work that must touch main-thread state posts itself onward with mainAsync.
#pragma once

#include <functional>

#include "platform/dispatch/clock.h"

namespace platform::dispatch {

inline constexpr int kBackgroundWorkers = 4;

// Queues work for a background worker. Any thread.
void backgroundAsync(std::function<void()> work);

// Waits until no background work is queued or running; false when `timeout` passed first.
// For tests and shut-down; any thread other than a background worker.
bool waitBackgroundIdle(Duration timeout);

} // namespace platform::dispatch
