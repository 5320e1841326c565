// One run of the built program under xvfb-run in a fresh HOME and system root, with what it
// writes on its output and error output kept in one file.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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
    std::vector<std::string> args = {
        "xvfb-run", "-a", "-n", display, "-s", "-screen 0 1920x1080x24", program};
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

  // The exit status of xvfb-run, which is the program's (128 for a signal); -1 when it did not
  // end within `timeout`, and then it is killed.
  int wait(std::chrono::seconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (std::chrono::steady_clock::now() < end) {
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    pid = -1;
    return -1;
  }

  std::filesystem::path base;
  pid_t pid = -1; // xvfb-run's

private:
  static inline int counter = 0;
};

} // namespace velto::test
