#include "http_test_client.h"

#include "platform/dispatch/main_queue.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace velto::test {

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

} // namespace

int connectLocal(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = loopback(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  const timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return fd;
}

bool sendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string readAll(int fd) {
  std::string answer;
  char chunk[8192];
  for (ssize_t n; (n = recv(fd, chunk, sizeof chunk, 0)) > 0;) answer.append(chunk, n);
  return answer;
}

std::string roundTrip(int port, const std::string& request, bool halfClose) {
  const int fd = connectLocal(port);
  if (fd < 0) return {};
  sendAll(fd, request);
  if (halfClose) shutdown(fd, SHUT_WR);
  std::string answer = readAll(fd);
  close(fd);
  return answer;
}

std::string roundTripDraining(int port, const std::string& request) {
  std::atomic<bool> done{false};
  std::string answer;
  std::thread client([&] {
    answer = roundTrip(port, request);
    done = true;
    platform::dispatch::mainAsync([] {}); // wakes the drain below
  });
  platform::dispatch::runMainQueueUntil([&] { return done.load(); }, std::chrono::seconds(20));
  client.join();
  return answer;
}

std::string request(const std::string& method, const std::string& target, const std::string& body) {
  std::string text = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  if (!body.empty()) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return text + "\r\n" + body;
}

std::string reply(int status, const std::string& reason, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason +
         "\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

int startEchoServer(HttpServer& server) {
  const HttpHandler echo = [](const HttpRequest& r) {
    if (r.path.rfind("/status/", 0) == 0) return HttpResponse{std::stoi(r.path.substr(8)), "{}"};
    if (r.path == "/big") return HttpResponse{200, std::string(8 << 20, 'x')};
    return HttpResponse{200, r.method + "|" + r.path + "|" + r.body};
  };
  for (int attempt = 0; attempt < 5; ++attempt) {
    const int port = freePort();
    if (server.start(port, echo)) return port;
  }
  return 0;
}

} // namespace velto::test
