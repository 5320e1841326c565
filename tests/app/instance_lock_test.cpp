// One running copy: the lock file beside the configuration, the old copy asked to quit and
// ended if it will not, a holder that is not this program left alone.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/single_instance.h"

namespace {

namespace fs = std::filesystem;

enum class Holder { None, Quits, IgnoresTerm, OtherProgram };

// Starts a process that holds the lock at `path` with its pid written in; returns its pid
// once it holds it. The child only makes system calls.
pid_t startHolder(const std::string& path, Holder kind) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (kind == Holder::IgnoresTerm) ::signal(SIGTERM, SIG_IGN);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);
    ::flock(fd, LOCK_EX);
    char text[16];
    int n = 0;
    for (pid_t p = ::getpid(); p > 0; p /= 10) text[n++] = char('0' + p % 10);
    for (int i = 0; i < n / 2; ++i) std::swap(text[i], text[n - 1 - i]);
    text[n++] = '\n';
    if (::ftruncate(fd, 0) != 0 || ::write(fd, text, size_t(n)) != n) ::_exit(2);
    if (::write(ready[1], "r", 1) != 1) ::_exit(2);
    if (kind == Holder::OtherProgram) {
      // Another program inherits the lock and the pid in the file stays this one's.
      ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
      ::_exit(3);
    }
    for (;;) ::pause();
  }
  char c = 0;
  ::close(ready[1]);
  const bool ok = ::read(ready[0], &c, 1) == 1;
  ::close(ready[0]);
  // The other program must have replaced the child before the lock is contested.
  for (int i = 0; kind == Holder::OtherProgram && i < 200; ++i) {
    if (!velto::isSameProgram(pid)) break;
    ::usleep(10000);
  }
  return ok ? pid : -1;
}

bool alive(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, WNOHANG) == 0;
}

TEST(InstanceLock, TakesOverFromAnOldCopyAndLeavesOtherProgramsAlone) {
  const fs::path home = fs::temp_directory_path() / ("velto-lock-" + std::to_string(::getpid()));
  fs::create_directories(home);
  setenv("HOME", home.c_str(), 1);
  const std::string path = velto::instanceLockPath();
  EXPECT_EQ(path, home.string() + "/Library/Application Support/Velto/velto.lock");
  struct Case {
    Holder holder;
    bool acquired;
    bool holderEnds;
  };
  const Case cases[] = {
      {Holder::None, true, true},
      {Holder::Quits, true, true},
      {Holder::IgnoresTerm, true, true},
      {Holder::OtherProgram, false, false},
  };
  const velto::InstanceWaits quick{10, 20};
  for (const Case& c : cases) {
    const int what = int(c.holder);
    const pid_t holder = c.holder == Holder::None ? 0 : startHolder(path, c.holder);
    ASSERT_GE(holder, 0) << what;
    velto::InstanceLock lock;
    EXPECT_EQ(lock.acquire(path, quick), c.acquired) << what;
    EXPECT_EQ(lock.held(), c.acquired) << what;
    if (holder > 0) {
      // The lock frees as the holder's files close, a moment before it can be reaped.
      for (int i = 0; c.holderEnds && i < 500 && alive(holder); ++i) ::usleep(10000);
      EXPECT_EQ(alive(holder), !c.holderEnds) << what;
      if (!c.holderEnds) ::kill(holder, SIGKILL);
      ::waitpid(holder, nullptr, 0);
    }
    if (c.acquired) {
      std::ifstream in(path);
      pid_t written = 0;
      in >> written;
      EXPECT_EQ(written, ::getpid()) << what;
      // Held: a second taker in this process finds its own pid and gives up without killing.
      velto::InstanceLock second;
      EXPECT_FALSE(second.acquire(path, quick)) << what;
    }
  }
  EXPECT_FALSE(velto::isSameProgram(0));
  EXPECT_TRUE(velto::isSameProgram(::getpid()));
  fs::remove_all(home);
}

} // namespace
