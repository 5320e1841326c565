#include "platform/dispatch/main_queue.h"

#include <algorithm>
#include <atomic>
#include <unistd.h>

#include "platform/dispatch/queue_state.h"

namespace platform::dispatch {
namespace detail {

namespace {
std::atomic<WakeHook> gWakeHook{nullptr};
}

Queue& mainQueue() {
  static Queue* queue = new Queue;
  return *queue;
}

void wakeMainLoop() {
  if (const WakeHook hook = gWakeHook.load(std::memory_order_acquire)) hook();
}

} // namespace detail

namespace {

using detail::deadline;
using detail::Queue;
using detail::QueuedWork;
using detail::TimerState;

// Heap order: the earliest due (then the earliest posted) on top.
bool laterThan(const QueuedWork& a, const QueuedWork& b) {
  return a.due != b.due ? a.due > b.due : a.seq > b.seq;
}

void post(Clock::time_point due, std::function<void()> work) {
  Queue& q = detail::mainQueue();
  {
    std::lock_guard lock(q.mutex);
    q.work.push_back({due, q.nextSeq++, std::move(work)});
    std::push_heap(q.work.begin(), q.work.end(), laterThan);
  }
  q.wake.notify_all();
  detail::wakeMainLoop();
}

const std::shared_ptr<TimerState>* earliestTimer(const Queue& q) {
  const std::shared_ptr<TimerState>* best = nullptr;
  for (const auto& t : q.timers) {
    if (best == nullptr || t->due < (*best)->due) best = &t;
  }
  return best;
}

// Moves a timer that fires now to its next grid point after `now`; missed fires are dropped.
void advance(TimerState& t, Clock::time_point now) {
  const auto steps = (now - t.due) / t.interval + 1;
  const auto room = (Clock::time_point::max() - t.due) / t.interval;
  t.due = steps > room ? Clock::time_point::max() : t.due + t.interval * steps;
}

enum class Step { Ran, Waited, Ended };

// Runs the one item or timer fire that is due first, or sleeps until something is due, new
// work arrives or `end` passes. The lock is held from the check to the sleep, so no post is
// missed; it is released while work runs.
Step runOrWait(Clock::time_point end) {
  Queue& q = detail::mainQueue();
  std::unique_lock lock(q.mutex);
  const auto now = Clock::now();
  const auto* timer = earliestTimer(q);
  const bool workFirst =
      !q.work.empty() && (timer == nullptr || q.work.front().due <= (*timer)->due);
  if (workFirst && q.work.front().due <= now) {
    std::pop_heap(q.work.begin(), q.work.end(), laterThan);
    auto work = std::move(q.work.back().work);
    q.work.pop_back();
    lock.unlock();
    if (work) work();
    return Step::Ran; // the work's captures are released here, outside the lock
  }
  if (!workFirst && timer != nullptr && (*timer)->due <= now) {
    advance(**timer, now);
    const auto keep = *timer; // the handler may cancel or destroy its own Timer
    lock.unlock();
    if (keep->handler) keep->handler();
    return Step::Ran;
  }
  if (now >= end) return Step::Ended;
  auto next = end;
  if (!q.work.empty()) next = std::min(next, q.work.front().due);
  if (timer != nullptr) next = std::min(next, (*timer)->due);
  q.wake.wait_until(lock, next);
  return Step::Waited;
}

} // namespace

void mainAsync(std::function<void()> work) {
  post(Clock::now(), std::move(work));
}

void mainAfter(Duration delay, std::function<void()> work) {
  post(deadline(std::max(delay, Duration::zero())), std::move(work));
}

bool isMainThread() {
  return gettid() == getpid();
}

size_t runMainQueueUntilIdle() {
  if (!isMainThread()) return 0;
  size_t ran = 0;
  while (runOrWait(Clock::time_point::min()) == Step::Ran) ++ran;
  return ran;
}

size_t runMainQueueFor(Duration duration) {
  if (!isMainThread()) return 0;
  const auto end = deadline(duration);
  size_t ran = 0;
  for (Step s; (s = runOrWait(end)) != Step::Ended;) ran += s == Step::Ran ? 1 : 0;
  return ran;
}

bool runMainQueueUntil(const std::function<bool()>& done, Duration timeout) {
  if (!isMainThread()) return false;
  const auto end = deadline(timeout);
  while (!done()) {
    if (runOrWait(end) == Step::Ended) return done(); // another thread may have made it true
  }
  return true;
}

void setWakeHook(WakeHook hook) {
  detail::gWakeHook.store(hook, std::memory_order_release);
}

Clock::time_point nextDeadline() {
  Queue& q = detail::mainQueue();
  std::lock_guard lock(q.mutex);
  auto next = Clock::time_point::max();
  if (!q.work.empty()) next = q.work.front().due;
  if (const auto* timer = earliestTimer(q)) next = std::min(next, (*timer)->due);
  return next;
}

void resetMainQueue() {
  if (!isMainThread()) return;
  Queue& q = detail::mainQueue();
  std::vector<QueuedWork> dropped;
  std::vector<std::shared_ptr<TimerState>> stopped;
  {
    std::lock_guard lock(q.mutex);
    dropped.swap(q.work);
    stopped.swap(q.timers);
    for (const auto& t : stopped) t->running = false;
  }
  // Both die here, outside the lock: a capture's destructor may post again.
}

} // namespace platform::dispatch
