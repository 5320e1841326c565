#include "platform/dispatch/timer.h"

#include <algorithm>

#include "platform/dispatch/queue_state.h"

namespace platform::dispatch {

Timer::Timer(std::function<void()> handler)
    : state_(std::make_shared<detail::TimerState>(std::move(handler))) {}

Timer::~Timer() {
  cancel();
}

bool Timer::start(Duration interval, Duration leeway) {
  return start(interval, leeway, interval);
}

bool Timer::start(Duration interval, Duration leeway, Duration firstDelay) {
  if (interval <= Duration::zero()) return false;
  detail::Queue& q = detail::mainQueue();
  {
    std::lock_guard lock(q.mutex);
    state_->interval = interval;
    state_->leeway = std::max(leeway, Duration::zero());
    state_->due = detail::deadline(std::max(firstDelay, Duration::zero()));
    if (!state_->running) q.timers.push_back(state_);
    state_->running = true;
  }
  q.wake.notify_all();
  detail::wakeMainLoop();
  return true;
}

void Timer::cancel() {
  detail::Queue& q = detail::mainQueue();
  std::lock_guard lock(q.mutex);
  if (!state_->running) return;
  state_->running = false;
  // Only removes our own entry; the Timer still holds the state, so nothing is freed here.
  std::erase(q.timers, state_);
}

bool Timer::isRunning() const {
  detail::Queue& q = detail::mainQueue();
  std::lock_guard lock(q.mutex);
  return state_->running;
}

} // namespace platform::dispatch
