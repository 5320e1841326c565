// One run of the built program under xvfb-run in a fresh HOME and system root, with what it
// writes on its output and error output kept in one file.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace velto::test {

inline std::string programFileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline pid_t parentOf(pid_t pid) {
  const std::string stat = programFileText("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(stat.substr(close + 2));
  char state = 0;
  pid_t parent = 0;
  rest >> state >> parent;
  return parent;
}

// The program started below `root` (found through the process tree); 0 when there is none.
inline pid_t programUnder(pid_t root) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) continue;
    const std::string command = programFileText(entry.path() / "cmdline");
    if (command.c_str() != std::string(VELTO_PROGRAM)) continue;
    const pid_t pid = std::atoi(name.c_str());
    for (pid_t up = parentOf(pid); up > 1; up = parentOf(up))
      if (up == root) return pid;
  }
  return 0;
}

// One GET over a fresh connection; the whole reply, empty when nothing answered.
inline std::string httpGet(int port, const std::string& path) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // A reply that never comes ends the wait instead of the test run.
  const timeval limit{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
      char buffer[4096];
      for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        reply.append(buffer, size_t(n));
    }
  }
  ::close(fd);
  return reply;
}

// xvfb-run's arguments for `program` on the first free display from `display`. A shell in
// between writes the program's exit status to `statusPath`, as xvfb-run's own status also
// tells of its clean-up (5 when it could not remove its temporary folder).
inline std::vector<std::string> xvfbArguments(const std::string& display,
                                              const std::string& program,
                                              const std::string& statusPath) {
  return {"xvfb-run", "-a",   "-n",
          display,    "-s",   "-screen 0 1920x1080x24",
          "/bin/sh",  "-c",   "\"$1\"; s=$?; echo $s > \"$0\"; exit $s",
          statusPath, program};
}

// The program's exit status from the file its shell wrote, or xvfb-run's when there is none.
inline int programStatus(int xvfbStatus, const std::string& statusPath) {
  std::ifstream in(statusPath);
  int status = 0;
  return in >> status ? status : xvfbStatus;
}

// Waits for a child for up to `timeout`: its exit status (128 for a signal), or -1 when it did
// not end in time, and then it is killed.
inline int waitForChild(pid_t pid, std::chrono::seconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (std::chrono::steady_clock::now() < end) {
    if (::waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

class ProgramRun {
public:
  explicit ProgramRun(const std::string& tag) {
    namespace fs = std::filesystem;
    base = fs::temp_directory_path() / ("velto-" + tag + "-run-" + std::to_string(::getpid()) +
                                        "-" + std::to_string(counter++));
    fs::remove_all(base);
    fs::create_directories(folder());
    fs::create_directories(base / "root");
    fs::create_directories(base / "bin");
  }
  ~ProgramRun() {
    namespace fs = std::filesystem;
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    std::error_code ignored;
    fs::permissions(config(), fs::perms::owner_all, ignored);
    fs::remove_all(base, ignored);
  }
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;

  std::filesystem::path folder() const { return base / "home/Library/Application Support/Velto"; }
  std::string config() const { return (folder() / "config.txt").string(); }
  std::string output() const { return programFileText(base / "output.txt"); }
  std::string statusPath() const { return (base / "status").string(); }

  // `extra` adds to the environment; the run's own bin/ folder comes first on PATH.
  bool start(const std::vector<std::string>& extra = {},
             const std::string& program = VELTO_PROGRAM) {
    std::vector<std::string> env = {
        "HOME=" + (base / "home").string(), "VELTO_SYSTEM_ROOT=" + (base / "root").string(),
        "PATH=" + (base / "bin").string() + ":/usr/bin:/bin", "ASAN_OPTIONS=detect_leaks=0"};
    env.insert(env.end(), extra.begin(), extra.end());
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string display = std::to_string(100 + (::getpid() * 13 + counter * 19) % 800);
    std::vector<std::string> args = xvfbArguments(display, program, statusPath());
    std::filesystem::remove(statusPath());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out = (base / "output.txt").string();
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const bool started =
        ::posix_spawn(&pid, "/usr/bin/xvfb-run", &actions, nullptr, argv.data(), envp.data()) == 0;
    posix_spawn_file_actions_destroy(&actions);
    return started;
  }

  // The program's exit status (128 for a signal to xvfb-run); -1 when it did not end within
  // `timeout`, and then it is killed.
  int wait(std::chrono::seconds timeout) {
    const int status = waitForChild(pid, timeout);
    pid = -1;
    return status < 0 ? status : programStatus(status, statusPath());
  }

  std::filesystem::path base;
  pid_t pid = -1; // xvfb-run's

private:
  static inline int counter = 0;
};

} // namespace velto::test
