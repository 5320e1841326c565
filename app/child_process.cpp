#include "app/child_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace velto {
namespace {

std::vector<pid_t> gDetached;

bool executable(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

std::vector<char*> argvOf(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

pid_t spawn(const std::string& program, const std::vector<std::string>& args, int outputFd,
            bool ownSession, int errorFd = -1) {
  if (program.empty() || args.empty()) return -1;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  if (posix_spawnattr_init(&attr) != 0) return -1;
  if (posix_spawn_file_actions_init(&actions) != 0) {
    posix_spawnattr_destroy(&attr);
    return -1;
  }
  // The shell blocks or catches signals of its own; a child must not inherit that.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (ownSession) flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&attr, flags);
  if (outputFd >= 0) posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
  if (errorFd >= 0) posix_spawn_file_actions_adddup2(&actions, errorFd, STDERR_FILENO);
  std::vector<char*> argv = argvOf(args);
  pid_t pid = -1;
  const int status = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return status == 0 ? pid : -1;
}

int waitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

void reapDetached() {
  for (size_t i = 0; i < gDetached.size();) {
    int status = 0;
    const pid_t done = ::waitpid(gDetached[i], &status, WNOHANG);
    if (done == 0) {
      ++i;
      continue;
    }
    gDetached[i] = gDetached.back();
    gDetached.pop_back();
  }
}

} // namespace

std::string findProgram(const std::string& name) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return executable(name) ? name : std::string();
  const char* path = std::getenv("PATH");
  const std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= folders.size()) {
    size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    const std::string folder = folders.substr(start, end - start);
    start = end + 1;
    // Only absolute folders: a relative PATH entry would depend on the working directory.
    if (folder.empty() || folder[0] != '/') continue;
    const std::string candidate = folder + "/" + name;
    if (executable(candidate)) return candidate;
  }
  return {};
}

pid_t spawnProcess(const std::string& program, const std::vector<std::string>& args, int outputFd,
                   int errorFd) {
  return spawn(program, args, outputFd, false, errorFd);
}

int runProcess(const std::string& program, const std::vector<std::string>& args,
               std::string* output) {
  int pipeFds[2] = {-1, -1};
  if (output != nullptr) {
    output->clear();
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  }
  const pid_t pid = spawn(program, args, pipeFds[1], false);
  if (pipeFds[1] >= 0) ::close(pipeFds[1]);
  if (pipeFds[0] >= 0) {
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
      if (n > 0) {
        if (pid > 0) output->append(buffer, size_t(n));
      } else if (n == 0 || errno != EINTR) {
        break;
      }
    }
    ::close(pipeFds[0]);
  }
  return pid > 0 ? waitFor(pid) : -1;
}

bool spawnDetached(const std::string& program, const std::vector<std::string>& args) {
  reapDetached();
  const pid_t pid = spawn(program, args, -1, true);
  if (pid <= 0) return false;
  gDetached.push_back(pid);
  return true;
}

void reapLater(pid_t pid) {
  reapDetached();
  if (pid > 0) gDetached.push_back(pid);
}

void stopProcess(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  waitFor(pid);
}

} // namespace velto
