// One running copy per user: a lock file beside the configuration, held with flock by the
// running copy, which writes its pid into it. A new copy asks the holder to quit (SIGTERM),
// waits, then ends it (SIGKILL) — only when that pid really is this program. Owned by the
// shell for the whole run. Threading: main thread.
#pragma once

#include <string>
#include <sys/types.h>

namespace velto {

struct InstanceWaits {
  int count = 60;      // polite waits for the old copy before it is ended
  int intervalMs = 50; // each wait
};

class InstanceLock {
public:
  InstanceLock() = default;
  ~InstanceLock(); // releases the lock (the file stays)
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock at `path`, ending the copy that holds it first. False when the lock could
  // not be had (its holder is no copy of this program, or would not end); the caller runs on
  // without it.
  bool acquire(const std::string& path, InstanceWaits waits = {});
  void release();
  bool held() const { return fd_ >= 0; }

private:
  int fd_ = -1;
};

// "$HOME/Library/Application Support/Velto/velto.lock", beside the configuration file.
std::string instanceLockPath();

// True when `pid` is a live process running the same program file name as this process.
bool isSameProgram(pid_t pid);

} // namespace velto
