// Raw bytes as one HTTP request: through the server's real connection path over a socketpair
// (the input written in up to four pieces with short pauses, so the reader loops over partial
// heads and bodies, then the sending side shut down, so nothing waits for a time-out), and
// through the head readers directly. The handler answers at once, without the main queue.
#include "api/http_parse.h"
#include "fuzz/fuzz_support.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

using namespace velto;

void serveOverSocketPair(const std::string& input) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
  const int bufferSize = 1 << 20;
  setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
  // The cut points follow from the input itself, so a finding replays the same way. Whatever
  // fits is the request; the rest of an enormous input is simply not sent, and a reader that has
  // already answered and closed makes the sends fail quietly.
  std::thread writer([&input, fd = pair[1]] {
    const size_t pieces = input.empty() ? 1 : 1 + static_cast<uint8_t>(input.back()) % 4;
    size_t sent = 0;
    for (size_t k = 1; k <= pieces && sent < input.size(); ++k) {
      const size_t until = k == pieces ? input.size() : input.size() * k / pieces;
      while (sent < until) {
        const ssize_t n = send(fd, input.data() + sent, until - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      if (sent < until) break;
      if (k < pieces) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    shutdown(fd, SHUT_WR);
  });

  const HttpHandler handler = [](const HttpRequest& r) {
    if (r.path.find('?') != std::string::npos || r.body.size() > http::kMaxBody) abort();
    return HttpResponse{200, "{\"method\":" + std::to_string(r.method.size()) +
                                 ",\"body\":" + std::to_string(r.body.size()) + "}"};
  };
  http::serveConnection(pair[0], handler);
  writer.join();
  close(pair[0]);

  std::string answer;
  char chunk[4096];
  for (ssize_t n; (n = recv(pair[1], chunk, sizeof chunk, 0)) > 0;) answer.append(chunk, n);
  close(pair[1]);
  velto::fuzz::checkReply(answer);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  const http::RequestLine line = http::requestLine(input);
  if (line.path.find('?') != std::string::npos) abort();
  (void)http::hostAllowed(http::header(input, "Host"));
  const uint64_t length = http::contentLength(http::header(input, "content-length"));
  const int status = static_cast<int>(length % 600);
  velto::fuzz::checkReply(http::responseBytes(HttpResponse{status, line.method}));

  serveOverSocketPair(input);
  return 0;
}
