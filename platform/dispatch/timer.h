// A repeating timer on the main queue: created with a handler, started with an interval and a
// leeway, cancelled, restarted or destroyed. Owned by its creator; every call and every fire
// happens on the main thread.
#pragma once

#include <functional>
#include <memory>

#include "platform/dispatch/clock.h"

namespace platform::dispatch {

namespace detail {
struct TimerState;
}

class Timer {
public:
  explicit Timer(std::function<void()> handler);
  ~Timer(); // cancels; safe from inside the handler
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // Fires first one interval from now, then every interval. A (re)start replaces the previous
  // schedule. Fires stay on the grid first fire + k × interval; the leeway is the lateness the
  // caller accepts (this stand-in never delays on purpose). A fire that is missed entirely
  // (the main thread was busy for longer than an interval) is dropped, not made up.
  // Returns false and leaves the timer as it was when interval is not positive. main thread
  bool start(Duration interval, Duration leeway);
  // The same with the first fire after `firstDelay` (zero: on the next turn of the queue).
  bool start(Duration interval, Duration leeway, Duration firstDelay);
  // After cancel returns the handler does not run again until the next start, even when a fire
  // was already due. main thread
  void cancel();
  bool isRunning() const;

private:
  std::shared_ptr<detail::TimerState> state_;
};

} // namespace platform::dispatch
