#include "app/single_instance.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

#include "api/api.h"

namespace velto {
namespace {

std::string linkTarget(const std::string& link) {
  char buffer[4096];
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, size_t(n)) : std::string();
}

std::string baseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  // A program file replaced while it runs shows as "<path> (deleted)".
  const std::string deleted = " (deleted)";
  if (name.size() > deleted.size() &&
      name.compare(name.size() - deleted.size(), deleted.size(), deleted) == 0) {
    name.resize(name.size() - deleted.size());
  }
  return name;
}

pid_t pidInFile(int fd) {
  char buffer[32] = {};
  const ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
  if (n <= 0) return 0;
  char* end = nullptr;
  const long pid = std::strtol(buffer, &end, 10);
  return pid > 0 && pid <= 4194304 && (*end == '\n' || *end == '\0') ? pid_t(pid) : 0;
}

bool tryLock(int fd) {
  return ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

// Waits until the lock is ours, up to `waits`.
bool lockWithin(int fd, const InstanceWaits& waits) {
  for (int i = 0; i < waits.count; ++i) {
    if (tryLock(fd)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(waits.intervalMs));
  }
  return tryLock(fd);
}

} // namespace

std::string instanceLockPath() {
  const std::string config = Api::configPath(); // makes the folder
  return config.substr(0, config.rfind('/') + 1) + "velto.lock";
}

bool isSameProgram(pid_t pid) {
  if (pid <= 0) return false;
  const std::string other = linkTarget("/proc/" + std::to_string(pid) + "/exe");
  const std::string self = linkTarget("/proc/self/exe");
  return !other.empty() && !self.empty() && baseName(other) == baseName(self);
}

InstanceLock::~InstanceLock() {
  release();
}

bool InstanceLock::acquire(const std::string& path, InstanceWaits waits) {
  release();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool locked = tryLock(fd);
  if (!locked) {
    const pid_t holder = pidInFile(fd);
    if (holder != getpid() && isSameProgram(holder)) {
      ::kill(holder, SIGTERM);
      locked = lockWithin(fd, waits);
      // Checked again: the pid may have been handed to another process in the meantime.
      if (!locked && isSameProgram(holder)) {
        ::kill(holder, SIGKILL);
        locked = lockWithin(fd, waits);
      }
    }
  }
  if (!locked) {
    ::close(fd);
    return false;
  }
  const std::string pid = std::to_string(getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != ssize_t(pid.size())) {
    // The lock still holds; only the pid for the next copy is missing.
  }
  fd_ = fd;
  return true;
}

void InstanceLock::release() {
  if (fd_ < 0) return;
  ::close(fd_); // drops the flock
  fd_ = -1;
}

} // namespace velto
