// Raw bytes as one connection to the real local server: the API listens on a loopback port as
// the program runs it, with the hand-off of every request to the main thread; the input is sent
// by a writer thread while this (the main) thread drains the main queue and reads the answer.
// Inputs that name preset files to import or export, or the server's own settings, are left
// out: they would write outside the run's folders or move the listener away.
#include "api/api.h"
#include "engine/engine.h"
#include "fuzz/fuzz_support.h"
#include "platform/dispatch/main_queue.h"
#include "tests/support/audio_test_system.h"
#include "tests/support/free_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

namespace {

using velto::Api;
using velto::Engine;

constexpr auto kAnswerWait = std::chrono::seconds(5);

struct Harness {
  Harness() {
    if (!velto::fuzz::startSimulatedEngine(system, engine)) return;
    api = std::make_unique<Api>(*engine);
    port = velto::test::freePort();
  }
  ~Harness() {
    api.reset();
    engine.reset();
    platform::dispatch::resetMainQueue();
    system.reset();
  }
  // The listener runs on our port, whatever an earlier request or a failed start did.
  bool listening() {
    if (!api || port == 0) return false;
    if (api->server.listenFd >= 0 && api->server.port == port) return true;
    engine->settings.apiEnabled = true;
    engine->settings.apiPort = static_cast<decltype(engine->settings.apiPort)>(port);
    api->applySettings();
    return api->server.listenFd >= 0;
  }

  std::unique_ptr<velto::test::AudioTestSystem> system;
  std::unique_ptr<Engine> engine;
  std::unique_ptr<Api> api;
  int port = 0;
};

bool leftOut(const std::string& input) {
  const std::string flat = velto::fuzz::normalised(input);
  for (const char* word : {"export", "import", "settings"}) {
    if (flat.find(word) != std::string::npos) return true;
  }
  return false;
}

int connectTo(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness harness;
  const std::string input(reinterpret_cast<const char*>(data), size);
  if (leftOut(input) || !harness.listening()) return 0;
  const int fd = connectTo(harness.port);
  if (fd < 0) return 0;
  std::thread writer([fd, &input] {
    size_t sent = 0;
    while (sent < input.size()) {
      const ssize_t n = send(fd, input.data() + sent, input.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);
  });
  std::string answer;
  const auto deadline = std::chrono::steady_clock::now() + kAnswerWait;
  while (std::chrono::steady_clock::now() < deadline) {
    platform::dispatch::runMainQueueUntilIdle();
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 2) <= 0) continue;
    char buffer[4096];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  shutdown(fd, SHUT_RDWR); // a writer still blocked in send gives up
  writer.join();
  close(fd);
  platform::dispatch::runMainQueueUntilIdle();
  velto::fuzz::checkReply(answer);
  return 0;
}
