// Requests per second of the local HTTP server over loopback for one gain read, hand-off to the
// main thread included, and the latency a client sees (connect to close). A client thread runs
// requests back to back while the benchmark's thread, the main thread, drains the main queue.
// Engine without devices (not live).
#include "api/api.h"
#include "engine/engine.h"
#include "platform/dispatch/main_queue.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace dispatch = platform::dispatch;

void setUpEnvironment() {
  // Never the real machine's folders: the engine reads HOME, the audio layer the system root.
  static char home[] = "/tmp/velto-http-bench-XXXXXX";
  static char root[] = "/tmp/velto-http-bench-root-XXXXXX";
  static bool done = false;
  if (done) return;
  done = true;
  if (mkdtemp(home) != nullptr) setenv("HOME", home, 1);
  if (mkdtemp(root) != nullptr) setenv("VELTO_SYSTEM_ROOT", root, 1);
}

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int freePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(0);
  socklen_t size = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

// One whole request; false unless a 200 reply came back.
bool gainRead(const sockaddr_in& address) {
  static const std::string kRequest =
      "GET /hardware/inputs/1/gain HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      send(fd, kRequest.data(), kRequest.size(), MSG_NOSIGNAL) != ssize_t(kRequest.size())) {
    close(fd);
    return false;
  }
  std::string answer;
  char chunk[1024];
  for (ssize_t n; (n = recv(fd, chunk, sizeof chunk, 0)) > 0;) answer.append(chunk, n);
  close(fd);
  return answer.rfind("HTTP/1.1 200 OK\r\n", 0) == 0;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  const auto at = static_cast<size_t>(p * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), values.begin() + static_cast<long>(at), values.end());
  return values[at];
}

void httpGainRead(benchmark::State& state) {
  setUpEnvironment();
  velto::Engine engine(false);
  velto::Api api(engine);
  engine.settings.apiEnabled = true;
  engine.settings.apiPort = static_cast<uint32_t>(freePort());
  api.applySettings();
  if (api.server.listenFd < 0) {
    state.SkipWithError("server did not start");
    return;
  }
  const sockaddr_in address = loopback(api.server.port);

  std::atomic<long> completed{0};
  std::atomic<long> failed{0};
  std::atomic<bool> quit{false};
  std::atomic<bool> finished{false};
  std::vector<double> latencies; // microseconds, written by the client until `finished`
  latencies.reserve(1 << 20);
  std::thread client([&] {
    while (!quit.load()) {
      const auto start = Clock::now();
      if (!gainRead(address)) ++failed;
      latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      ++completed;
      dispatch::mainAsync([] {}); // wakes the drain
    }
    finished = true;
    dispatch::mainAsync([] {});
  });

  long target = 0;
  for (auto _ : state) {
    ++target;
    dispatch::runMainQueueUntil([&] { return completed.load() >= target; },
                                std::chrono::seconds(5));
  }
  quit = true;
  dispatch::runMainQueueUntil([&] { return finished.load(); }, std::chrono::seconds(10));
  client.join();
  dispatch::runMainQueueUntilIdle();

  state.SetItemsProcessed(state.iterations());
  state.counters["p50_us"] = percentile(latencies, 0.50);
  state.counters["p99_us"] = percentile(latencies, 0.99);
  state.counters["failed"] = static_cast<double>(failed.load());
}
BENCHMARK(httpGainRead)->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
