// The main queue: one process-wide FIFO of work items and delayed work, drained only by the
// process's initial thread (the main thread) through the run functions below, from the
// program's main loop or from a test. Posting is thread-safe; work runs outside any lock.
#pragma once

#include <cstddef>
#include <functional>

#include "platform/dispatch/clock.h"

namespace platform::dispatch {

// Queues work to run on the main thread after everything already due. Any thread.
void mainAsync(std::function<void()> work);
// Queues work to run on the main thread once `delay` has passed. Any thread.
void mainAfter(Duration delay, std::function<void()> work);

// True on the main thread: the process's initial thread, the only one that may drain.
bool isMainThread();

// The drain functions run due work and timer fires one at a time, in order of their due time
// (FIFO among work posted at once). Called from any other thread they run nothing and return
// 0 or false.

// Runs everything that is due now, including work that this work posts; does not wait for
// delayed work or timers that are not yet due. Returns how many items and fires ran.
// main thread
size_t runMainQueueUntilIdle();
// Runs the queue, sleeping while nothing is due, until `duration` has passed. Returns how many
// items and fires ran. main thread
size_t runMainQueueFor(Duration duration);
// Runs the queue until `done` returns true (checked before and after every item) or `timeout`
// has passed; returns whether `done` became true. main thread
bool runMainQueueUntil(const std::function<bool()>& done, Duration timeout);

// The program's main loop sleeps in its own event wait rather than in the drain functions, so it
// learns of new work through this hook: called after every post and every timer (re)start,
// from whichever thread did it; it must be thread-safe and cheap (an empty event to the
// loop). Null (the default) calls nothing. Set it before other threads post. Any thread.
using WakeHook = void (*)();
void setWakeHook(WakeHook hook);

// When the earliest queued work or running timer falls due; Clock::time_point::max() when
// nothing is pending. Any thread (the answer may be stale by the time it is used).
Clock::time_point nextDeadline();

// Drops all pending and delayed work and stops every timer (their Timer objects stay valid and
// report not running). Keeps test suites independent. main thread (elsewhere it does nothing)
void resetMainQueue();

} // namespace platform::dispatch
