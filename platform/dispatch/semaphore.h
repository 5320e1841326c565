// A counting semaphore for handing a result from one thread to another (the HTTP server waits
// for the main queue this way). Owned by whoever creates it, usually shared between the two
// sides; every member is safe from any thread.
#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/dispatch/clock.h"

namespace platform::dispatch {

class Semaphore {
public:
  // A negative start value counts as 0.
  explicit Semaphore(long initial = 0);
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // Raises the count and wakes one waiter.
  void signal();
  // Takes one from the count, waiting as long as it is 0.
  void wait();
  // The same, giving up after `timeout`; returns false then (the count is left untouched).
  bool waitFor(Duration timeout);

private:
  std::mutex mutex_;
  std::condition_variable available_;
  long count_;
};

} // namespace platform::dispatch
