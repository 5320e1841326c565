// The listener, its thread and the reading and answering of one connection.
#include "api/http_server.h"

#include "api/http_parse.h"
#include "api/http_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

namespace velto {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kBacklog = 8;
constexpr int kPollMs = 200;
// Each receive may wait this long; the whole request (head and body) and the whole reply must
// pass within kRequestTime, so a client trickling bytes either way cannot hold the only
// connection.
constexpr int kReceiveSeconds = 2;
constexpr milliseconds kRequestTime{5000};
// Unread input left at close would make the kernel answer with a reset that can destroy the
// reply on its way; it is read and dropped for this long and up to this many bytes first.
constexpr milliseconds kDrainTime{500};
constexpr size_t kDrainBytes = 1 << 20;

constexpr const char* kTooLarge = "{\"error\":\"Anfrage zu groß\"}";
constexpr const char* kForbidden = "{\"error\":\"nur lokale Aufrufe ohne Browser-Origin\"}";
constexpr const char* kOtherUser = "{\"error\":\"nur Programme dieses Benutzers\"}";
constexpr const char* kNoLength = "{\"error\":\"Länge fehlt\"}";

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// One receive of up to kReceiveChunk bytes appended to `buffer`, waiting at most the receive
// time-out and never past `deadline`. Returns the count, 0 at end of input or time-out, -1 on
// an error.
ssize_t receive(int fd, std::string& buffer, Clock::time_point deadline) {
  const int waitMs = std::min(kReceiveSeconds * 1000, remainingMs(deadline));
  pollfd p{fd, POLLIN, 0};
  int ready = 0;
  do {
    ready = poll(&p, 1, waitMs);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return ready;
  char chunk[http::kReceiveChunk];
  ssize_t n = 0;
  do {
    n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n > 0) buffer.append(chunk, static_cast<size_t>(n));
  return n;
}

// Sends the whole reply by `deadline`: a client reading slowly keeps each send alive, so only a
// bound on the whole send keeps it from holding the one connection. False when cut short.
bool sendAll(int fd, const std::string& bytes, Clock::time_point deadline) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    // MSG_NOSIGNAL: a peer that went away must end the reply, not the process.
    const ssize_t n =
        send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const int waitMs = remainingMs(deadline);
      if (waitMs == 0) return false;
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, waitMs) < 0 && errno != EINTR) return false;
      continue;
    }
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// A reply cut short is dropped at once: the connection is reset instead of the kernel going on
// feeding the slow client what is still queued.
void abandon(int fd) {
  const linger reset{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
}

bool inputPending(int fd) {
  char probe = 0;
  return recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

// Ends our side of the stream and reads what the client still sends until it closes, so the
// reply is not cut off by a reset.
void drain(int fd) {
  shutdown(fd, SHUT_WR);
  const auto deadline = Clock::now() + kDrainTime;
  size_t dropped = 0;
  std::string scratch;
  while (dropped < kDrainBytes) {
    scratch.clear();
    const ssize_t n = receive(fd, scratch, deadline);
    if (n <= 0) return;
    dropped += static_cast<size_t>(n);
  }
}

// A listening socket on 127.0.0.1:port, or -1.
int listenOn(int port) {
  if (port < 1 || port > 65535) return -1;
  // Close-on-exec: no child process may inherit the listener or a connection.
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, kBacklog) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

} // namespace

namespace http {

void serveConnection(int fd, const HttpHandler& handler) {
  auto deadline = Clock::now() + kRequestTime;
  std::string buffer;
  size_t headEnd = std::string::npos;
  while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
    if (buffer.size() > http::kMaxHead) return;
    if (receive(fd, buffer, deadline) <= 0) return;
  }
  const std::string head = buffer.substr(0, headEnd);
  const uint64_t length = http::contentLength(http::header(head, "Content-Length"));
  HttpResponse response;
  bool unread = false;
  if (length > http::kMaxBody) {
    response = {413, kTooLarge};
    unread = true; // the body was never read
  } else if (!http::header(head, "Transfer-Encoding").empty()) {
    // A body in chunks would otherwise be read as an empty one and applied as the empty value.
    response = {411, kNoLength};
    unread = true;
  } else {
    std::string body = buffer.substr(headEnd + 4);
    while (body.size() < length) {
      if (receive(fd, body, deadline) <= 0) return;
    }
    unread = body.size() > length;
    body.resize(static_cast<size_t>(length));
    const http::RequestLine line = http::requestLine(head);
    if (!http::hostAllowed(http::header(head, "Host")) || !http::header(head, "Origin").empty()) {
      response = {403, kForbidden};
    } else {
      // The time the main thread takes to answer is not the client's to pay for.
      const auto asked = Clock::now();
      response = handler(HttpRequest{line.method, line.path, std::move(body)});
      deadline += Clock::now() - asked;
    }
  }
  if (!sendAll(fd, http::responseBytes(response), deadline)) {
    abandon(fd);
    return;
  }
  if (unread || inputPending(fd)) drain(fd);
}

} // namespace http

HttpServer::~HttpServer() {
  stop();
}

// main thread
bool HttpServer::start(int newPort, HttpHandler newHandler) {
  halt();
  int fd = -1;
  if (reservedFd >= 0 && reservedPort == newPort) {
    std::swap(fd, reservedFd);
  } else {
    release();
    fd = listenOn(newPort);
  }
  if (fd < 0) return false;
  listenFd = fd;
  port = newPort;
  handler = std::move(newHandler);
  stopRequested.store(false);
  thread = std::thread([this] { loop(); });
  return true;
}

// main thread
void HttpServer::stop() {
  halt();
  release();
}

// main thread
bool HttpServer::reserve(int newPort) {
  if (reservedFd >= 0 && reservedPort == newPort) return true;
  release();
  reservedFd = listenOn(newPort);
  reservedPort = newPort;
  return reservedFd >= 0;
}

// main thread
void HttpServer::release() {
  if (reservedFd >= 0) close(reservedFd);
  reservedFd = -1;
}

// main thread
void HttpServer::halt() {
  stopRequested.store(true);
  if (thread.joinable()) thread.join();
  if (listenFd >= 0) close(listenFd);
  listenFd = -1;
}

// server thread
void HttpServer::loop() {
  while (!stopRequested.load()) {
    pollfd p{listenFd, POLLIN, 0};
    if (poll(&p, 1, kPollMs) <= 0 || (p.revents & POLLIN) == 0) continue;
    // The listener is non-blocking, so a connection that vanished before accept cannot hang
    // the loop; the connection itself blocks (accept4 does not pass the flag on).
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors the listener stays readable: pause instead of spinning.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        poll(nullptr, 0, kPollMs / 4);
      }
      continue;
    }
    const timeval timeout{kReceiveSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    // Sends are bounded too: a client that never reads cannot hold the server.
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    serve(fd);
    close(fd);
  }
}

// server thread
void HttpServer::serve(int fd) {
  // Without a password, only the owner's own programs get in; the others learn nothing more.
  uid_t peer = 0;
  if (!http::peerUid(fd, peer) || peer != ::geteuid()) {
    if (sendAll(fd, http::responseBytes({403, kOtherUser}), Clock::now() + kDrainTime)) drain(fd);
    return;
  }
  http::serveConnection(fd, handler);
}

} // namespace velto
