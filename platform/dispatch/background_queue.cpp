#include "platform/dispatch/background_queue.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace platform::dispatch {
namespace {

struct Pool {
  std::mutex mutex;
  std::condition_variable wake; // work arrived
  std::condition_variable idle; // the last running item finished with nothing queued
  std::deque<std::function<void()>> work;
  int running = 0;
  bool started = false;
};

// Never destroyed: the detached workers wait on it until the process ends.
Pool& pool() {
  static Pool* p = new Pool;
  return *p;
}

void workerLoop(Pool& p) {
  std::unique_lock lock(p.mutex);
  for (;;) {
    p.wake.wait(lock, [&p] { return !p.work.empty(); });
    auto item = std::move(p.work.front());
    p.work.pop_front();
    ++p.running;
    lock.unlock();
    if (item) item();
    item = nullptr; // captures released outside the lock
    lock.lock();
    if (--p.running == 0 && p.work.empty()) p.idle.notify_all();
  }
}

} // namespace

void backgroundAsync(std::function<void()> work) {
  Pool& p = pool();
  {
    std::lock_guard lock(p.mutex);
    p.work.push_back(std::move(work));
    if (!p.started) {
      p.started = true;
      for (int i = 0; i < kBackgroundWorkers; ++i) std::thread(workerLoop, std::ref(p)).detach();
    }
  }
  p.wake.notify_one();
}

bool waitBackgroundIdle(Duration timeout) {
  Pool& p = pool();
  std::unique_lock lock(p.mutex);
  return p.idle.wait_until(lock, detail::deadline(timeout),
                           [&p] { return p.running == 0 && p.work.empty(); });
}

} // namespace platform::dispatch
