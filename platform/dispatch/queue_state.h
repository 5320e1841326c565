// Internal to the dispatch stand-in: the main queue's shared state, used by the queue's drain
// loop and by the timers. Every member is guarded by Queue::mutex except TimerState::handler,
// which is fixed at construction.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dispatch/clock.h"

namespace platform::dispatch::detail {

struct TimerState {
  explicit TimerState(std::function<void()> h) : handler(std::move(h)) {}
  const std::function<void()> handler;
  Duration interval{};
  Duration leeway{};
  Clock::time_point due{};
  bool running = false;
};

struct QueuedWork {
  Clock::time_point due;
  uint64_t seq = 0; // breaks ties in posting order
  std::function<void()> work;
};

struct Queue {
  std::mutex mutex;
  std::condition_variable wake;                    // new work, or a timer (re)started
  std::vector<QueuedWork> work;                    // min-heap on (due, seq)
  std::vector<std::shared_ptr<TimerState>> timers; // the running ones
  uint64_t nextSeq = 0;
};

// Calls the wake hook, if one is set; outside the queue's lock.
void wakeMainLoop();

// The one main queue; never destroyed, so posts from threads still running at exit stay safe.
Queue& mainQueue();

} // namespace platform::dispatch::detail
