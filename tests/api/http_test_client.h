// Test helpers for the local HTTP server: a plain client over real sockets on 127.0.0.1, the
// expected response bytes, and an echo server that answers without the main queue.
// Client functions run on any thread; roundTripDraining only on the main thread.
#pragma once

#include "api/http_server.h"
#include "tests/support/dispatch_fixture.h"
#include "tests/support/free_port.h"

#include <string>

namespace velto::test {

// A connected client socket (blocking, close-on-exec); -1 when refused.
int connectLocal(int port);
// Sends all bytes without SIGPIPE; false when the server went away.
bool sendAll(int fd, const std::string& bytes);
// Reads until the server closes, resets or stays silent for 10 s.
std::string readAll(int fd);
// Connects, sends, reads the whole answer and closes; "" when refused. With `halfClose` the
// client shuts down its sending side after the request (the server then sees the end).
std::string roundTrip(int port, const std::string& request, bool halfClose = false);
// The same on a client thread while this (main) thread drains the main queue.
std::string roundTripDraining(int port, const std::string& request);

// A request with "Host: 127.0.0.1" and, for a body, its Content-Length.
std::string request(const std::string& method, const std::string& target,
                    const std::string& body = "");
// The exact bytes of a response.
std::string reply(int status, const std::string& reason, const std::string& body);

// Starts `server` on a free port with a handler that needs no main queue: "/status/N" answers
// status N with "{}", "/big" answers 8 MiB of "x", anything else 200 with method, path and
// body joined by "|". Returns the port (0 when it could not start).
int startEchoServer(HttpServer& server);

// A fresh main queue and an echo server on a free port for each test.
class EchoServerTest : public DispatchTest {
protected:
  void SetUp() override {
    DispatchTest::SetUp();
    port = startEchoServer(server);
    ASSERT_NE(port, 0);
  }
  void TearDown() override {
    server.stop();
    DispatchTest::TearDown();
  }

  HttpServer server;
  int port = 0;
};

} // namespace velto::test
