// Request latency of the running program: starts the built `velto` under xvfb-run with the API
// on, sends GET requests (a fresh connection each, as the API serves them) for ten seconds while
// the program draws its 30 frames a second, and prints count, median, 99th percentile and the
// worst case; then ends the program with SIGTERM. Usage: bench_app_bench [path/to/velto] [seconds]
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

int freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  ::close(fd);
  return port;
}

// One GET; true when a "200" status line came back.
bool get(int port, const char* path) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    const std::string request = std::string("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
      char buffer[4096];
      for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        reply.append(buffer, size_t(n));
    }
  }
  ::close(fd);
  return reply.compare(0, 12, "HTTP/1.1 200") == 0;
}

std::string besideMe(const char* relative) {
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return relative;
  return (fs::path(std::string(self, size_t(n))).parent_path() / relative).lexically_normal();
}

} // namespace

int main(int argc, char** argv) {
  const std::string program = argc > 1 ? argv[1] : besideMe("../app/velto");
  const double seconds = argc > 2 ? std::atof(argv[2]) : 10.0;
  char pattern[] = "/tmp/velto-app-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const fs::path base = pattern;
  const fs::path config = base / "home/Library/Application Support/Velto/config.txt";
  fs::create_directories(config.parent_path());
  fs::create_directories(base / "root");
  const int port = freePort();
  std::ofstream(config) << "# velto-config 2\nsettings/api/port=" << port
                        << "\nsettings/api/enabled=on\n";

  std::vector<std::string> env = {"HOME=" + (base / "home").string(),
                                  "VELTO_SYSTEM_ROOT=" + (base / "root").string(),
                                  "PATH=/usr/bin:/bin"};
  const std::string display = std::to_string(100 + ::getpid() % 800);
  std::vector<std::string> args = {"xvfb-run", "-a", "-n", display, "-s", "-screen 0 1920x1080x24",
                                   program};
  std::vector<char*> envp, argvp;
  for (auto& e : env) envp.push_back(e.data());
  for (auto& a : args) argvp.push_back(a.data());
  envp.push_back(nullptr);
  argvp.push_back(nullptr);
  pid_t xvfb = -1;
  if (::posix_spawn(&xvfb, "/usr/bin/xvfb-run", nullptr, nullptr, argvp.data(), envp.data()) != 0) {
    std::fprintf(stderr, "xvfb-run does not start\n");
    return 1;
  }
  bool up = false;
  for (int i = 0; i < 300 && !up; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    up = get(port, "/hardware/inputs/1/gain");
  }
  // The first frames after start-up (full screen, shaders, font textures) are not the steady
  // state; they are timed separately.
  double warmWorst = 0.0;
  const auto warm = Clock::now() + std::chrono::seconds(1);
  while (up && Clock::now() < warm) {
    const auto t0 = Clock::now();
    get(port, "/hardware/inputs/1/gain");
    warmWorst =
        std::max(warmWorst, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  std::vector<double> ms;
  int failed = 0;
  double worst = 0.0, worstAt = 0.0;
  const auto start = Clock::now();
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (up && Clock::now() < end) {
    const auto t0 = Clock::now();
    const bool ok = get(port, "/hardware/inputs/1/gain");
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    if (ms.back() > worst) {
      worst = ms.back();
      worstAt = std::chrono::duration<double>(t0 - start).count();
    }
    failed += ok ? 0 : 1;
  }
  std::ifstream lock(config.parent_path() / "velto.lock");
  long velto = 0;
  lock >> velto;
  if (velto > 0) ::kill(pid_t(velto), SIGTERM);
  int status = 0;
  ::waitpid(xvfb, &status, 0);
  fs::remove_all(base);
  if (ms.empty()) {
    std::fprintf(stderr, "the program never answered on port %d\n", port);
    return 1;
  }
  std::sort(ms.begin(), ms.end());
  auto at = [&](double q) { return ms[std::min(ms.size() - 1, size_t(q * double(ms.size())))]; };
  std::printf("requests %zu in %.1f s (%zu/s), failed %d\n", ms.size(), seconds,
              size_t(double(ms.size()) / seconds), failed);
  std::printf("latency ms: median %.3f  p90 %.3f  p99 %.3f  max %.3f\n", at(0.5), at(0.9), at(0.99),
              ms.back());
  std::printf("worst at %.2f s into the run; worst of the first second after start-up %.1f ms\n",
              worstAt, warmWorst);
  std::printf("over 100 ms: %zu; program exit %d\n",
              size_t(ms.end() - std::upper_bound(ms.begin(), ms.end(), 100.0)),
              WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return 0;
}
