#include "platform/dispatch/semaphore.h"

#include <algorithm>

namespace platform::dispatch {

Semaphore::Semaphore(long initial) : count_(std::max(initial, 0L)) {}

void Semaphore::signal() {
  {
    std::lock_guard lock(mutex_);
    ++count_;
  }
  available_.notify_one();
}

void Semaphore::wait() {
  std::unique_lock lock(mutex_);
  available_.wait(lock, [this] { return count_ > 0; });
  --count_;
}

bool Semaphore::waitFor(Duration timeout) {
  std::unique_lock lock(mutex_);
  if (!available_.wait_until(lock, detail::deadline(timeout), [this] { return count_ > 0; }))
    return false;
  --count_;
  return true;
}

} // namespace platform::dispatch
