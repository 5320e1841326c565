#include "app/relaunch.h"

#include <csignal>
#include <unistd.h>
#include <vector>

#include "app/child_process.h"
#include "app/quit_signals.h"

namespace velto {

bool relaunch(const std::string& programPath, int seconds) {
  if (programPath.empty() || programPath[0] != '/' || seconds < 0) return false;
  std::vector<char*> argv = {const_cast<char*>(programPath.c_str()), nullptr};
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigset_t none;
  sigemptyset(&none);
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // The parent has other threads: only async-signal-safe calls from here on.
    ::setsid();
    for (int s = 1; s < NSIG; ++s) ::sigaction(s, &byDefault, nullptr);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // The waiting child must not hold the instance lock, the API's socket or anything else of
    // this copy while it waits.
    ::close_range(3, ~0U, 0);
    for (unsigned left = unsigned(seconds); left > 0;) left = ::sleep(left);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  reapLater(pid);
  requestQuit();
  return true;
}

} // namespace velto
