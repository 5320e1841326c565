// Parking a player's own threads from a test, so that its reader falls behind on purpose: the
// threads a freshly made player adds are found through /proc/self/task and held in a signal
// handler until released. Test-only; the held threads must not be inside a lock the test needs.
#pragma once

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace velto::test {

inline std::atomic<int> gHeld{0};
inline std::atomic<bool> gRelease{false};

inline void holdUntilReleased(int) {
  const int saved = errno;
  gHeld.fetch_add(1);
  const timespec pause{0, 1000000};
  // The raw call: the probe's counted nanosleep would look itself up here first.
  while (!gRelease.load()) syscall(SYS_nanosleep, &pause, nullptr);
  gHeld.fetch_sub(1);
  errno = saved;
}

inline std::set<pid_t> threadIds() {
  std::set<pid_t> ids;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    ids.insert(pid_t(std::stoi(entry.path().filename().string())));
  }
  return ids;
}

// The threads that `start` adds to the process.
template <class Start>
std::vector<pid_t> threadsStartedBy(Start&& start) {
  const std::set<pid_t> before = threadIds();
  start();
  std::vector<pid_t> added;
  for (pid_t id : threadIds()) {
    if (!before.count(id)) added.push_back(id);
  }
  return added;
}

// Parks the given threads in a signal handler until it goes out of scope, so that a reader
// falls behind because the test says so rather than because the machine is slow.
class ThreadHold {
public:
  explicit ThreadHold(const std::vector<pid_t>& threads) {
    gRelease.store(false);
    struct sigaction action {};
    action.sa_handler = holdUntilReleased;
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &action, &previous_);
    for (pid_t id : threads) held_ += syscall(SYS_tgkill, getpid(), id, SIGUSR1) == 0;
  }
  ~ThreadHold() {
    gRelease.store(true);
    while (gHeld.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    sigaction(SIGUSR1, &previous_, nullptr);
  }
  // True once every thread signalled sits in the handler; false after five seconds.
  bool holding() const {
    for (int i = 0; i < 5000 && gHeld.load() < held_; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return held_ > 0 && gHeld.load() == held_;
  }

private:
  struct sigaction previous_ {};
  int held_ = 0;
};

} // namespace velto::test
