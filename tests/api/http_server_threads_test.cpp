// The local HTTP server over real sockets on 127.0.0.1 with an echo handler: the exact response
// bytes, what reaches the handler (query cut, body by Content-Length), the size limit and the
// Host and Origin checks; and the header and Content-Length readers themselves.
#include "http_test_client.h"

#include "api/http_parse.h"

#include <fcntl.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>

namespace velto::test {
namespace {

const std::string kTooLarge = "{\"error\":\"Anfrage zu groß\"}";
const std::string kForbidden = "{\"error\":\"nur lokale Aufrufe ohne Browser-Origin\"}";

using HttpServerThreads = EchoServerTest;

TEST_F(HttpServerThreads, ResponseBytesCarryStatusReasonAndLength) {
  EXPECT_EQ(roundTrip(port, request("GET", "/status/404")),
            "HTTP/1.1 404 Not Found\r\nContent-Type: application/json; charset=utf-8\r\n"
            "Content-Length: 2\r\nConnection: close\r\n\r\n{}");
  const struct {
    int status;
    const char* reason;
  } kCases[] = {{200, "OK"},
                {400, "Bad Request"},
                {403, "Forbidden"},
                {405, "Method Not Allowed"},
                {411, "Length Required"},
                {413, "Payload Too Large"},
                {503, "Service Unavailable"},
                {201, "Service Unavailable"}};
  for (const auto& c : kCases) {
    EXPECT_EQ(roundTrip(port, request("GET", "/status/" + std::to_string(c.status))),
              reply(c.status, c.reason, "{}"))
        << c.status;
  }
  // The length counts bytes: "ß" is two of them.
  EXPECT_EQ(roundTrip(port, request("POST", "/x", "ß")), reply(200, "OK", "POST|/x|ß"));
}

TEST_F(HttpServerThreads, HandlerGetsMethodPathAndExactlyContentLengthBytes) {
  const std::string limit(65536, 'b');
  const struct {
    std::string raw;
    std::string answer;
  } kCases[] = {
      {"GET /hardware/inputs/1/gain?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
       reply(200, "OK", "GET|/hardware/inputs/1/gain|")},
      // Without Content-Length what follows the head is not a body.
      {"POST /a HTTP/1.1\r\nHost: localhost\r\n\r\ntrailing", reply(200, "OK", "POST|/a|")},
      {"POST /a HTTP/1.1\r\nHost: localhost:47800\r\nContent-Length: 3\r\n\r\nabcdef",
       reply(200, "OK", "POST|/a|abc")},
      // Names without regard to case, the value with or without a space; the method as sent.
      {"get /b HTTP/1.1\r\nHOST:127.0.0.1\r\ncontent-length:   2\r\n\r\nxy",
       reply(200, "OK", "get|/b|xy")},
      {"PUT /c HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 65536\r\n\r\n" + limit,
       reply(200, "OK", "PUT|/c|" + limit)},
      // Above the limit the answer comes at once: the body is never sent here.
      {"POST /c HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 65537\r\n\r\n",
       reply(413, "Payload Too Large", kTooLarge)},
      {"POST /c HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: -1\r\n\r\n",
       reply(413, "Payload Too Large", kTooLarge)},
      // A size check comes before the Host check.
      {"POST /c HTTP/1.1\r\nContent-Length: 70000\r\n\r\n",
       reply(413, "Payload Too Large", kTooLarge)},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(roundTrip(port, c.raw), c.answer) << c.raw.substr(0, 60);
  }
}

TEST_F(HttpServerThreads, OnlyLoopbackHostsWithoutOriginPass) {
  const struct {
    const char* headers;
    bool passes;
  } kCases[] = {
      {"Host: 127.0.0.1\r\n", true},
      {"Host: localhost\r\n", true},
      {"Host: localhost:47800\r\n", true},
      {"Host: 127.0.0.1:8080\r\n", true},
      {"host:localhost\r\n", true},
      {"Host: localhost\r\nOrigin: \r\n", true},
      {"", false},
      {"Host: example\r\n", false},
      {"Host: LOCALHOST\r\n", false},
      // Names rebound to this machine by a web page's own DNS.
      {"Host: localhost.example.com\r\n", false},
      {"Host: 127.0.0.1.example.com\r\n", false},
      {"Host: localhostx\r\n", false},
      {"Host: localhost:80.example.com\r\n", false},
      {"Host: localhost\r\nOrigin: http://example.com\r\n", false},
      {"Host: 127.0.0.1\r\nOrigin: null\r\n", false},
  };
  for (const auto& c : kCases) {
    const std::string raw = "GET /h HTTP/1.1\r\n" + std::string(c.headers) + "\r\n";
    EXPECT_EQ(roundTrip(port, raw),
              c.passes ? reply(200, "OK", "GET|/h|") : reply(403, "Forbidden", kForbidden))
        << c.headers;
  }
}

// No child process may inherit the listener or a connection: while a request is served, every
// socket of this process (listener, connection, the client's own) is marked close-on-exec.
TEST_F(HttpServerThreads, SocketsAreClosedOnExec) {
  HttpServer inspecting;
  const HttpHandler countSockets = [](const HttpRequest&) {
    int sockets = 0;
    int inherited = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code error;
      const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
      if (error || target.rfind("socket:", 0) != 0) continue;
      ++sockets;
      const int fd = std::stoi(entry.path().filename().string());
      if ((fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) ++inherited;
    }
    // At least the listener, the connection and the client must have been seen.
    return HttpResponse{sockets >= 3 ? 200 : 500, std::to_string(inherited)};
  };
  const int inspected = freePort();
  ASSERT_TRUE(inspecting.start(inspected, countSockets));
  server.stop(); // only the inspecting server's sockets remain
  const std::string answer = roundTrip(inspected, request("GET", "/"));
  EXPECT_EQ(answer, reply(200, "OK", "0"));
  inspecting.stop();
}

TEST(HttpParse, HeaderAndContentLengthReadersFollowTheirRules) {
  const std::string head = "GET / HTTP/1.1\r\nX-Long: 1\r\nX: a b  \r\nEmpty:   \r\nx: second";
  const struct {
    const char* name;
    std::string value;
  } kHeaders[] = {{"X", "a b  "}, {"x-long", "1"}, {"Empty", ""}, {"Missing", ""}, {"GET", ""}};
  for (const auto& c : kHeaders) EXPECT_EQ(http::header(head, c.name), c.value) << c.name;
  EXPECT_EQ(http::header("X: 1", "X"), ""); // the request line alone has no headers

  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  const struct {
    const char* text;
    uint64_t value;
  } kLengths[] = {{"", 0},      {"abc", 0}, {"12abc", 12},     {" \t+7", 7},
                  {"-1", kMax}, {"-0", 0},  {"65536 ", 65536}, {"99999999999999999999999", kMax}};
  for (const auto& c : kLengths) EXPECT_EQ(http::contentLength(c.text), c.value) << c.text;
}

} // namespace
} // namespace velto::test
