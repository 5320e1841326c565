// The local HTTP server in front of the command interpreter, over real sockets with the main
// queue drained by the test: replies as the interpreter gives them, the configuration rewritten
// after every request that is not GET, the API switch and port, the 2 s hand-off limit and an
// API destroyed while its step is still queued.
#include "api_fixture.h"
#include "http_test_client.h"

#include "platform/dispatch/main_queue.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace velto::test {
namespace {

namespace dispatch = platform::dispatch;

const std::string kNoAnswer = "{\"error\":\"Velto antwortet nicht\"}";

std::string configFile() {
  return std::string(getenv("HOME")) + "/Library/Application Support/Velto/config.txt";
}

std::string configText() {
  std::ifstream in(configFile());
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool refused(int port) {
  const int fd = connectLocal(port);
  if (fd >= 0) close(fd);
  return fd < 0;
}

class HttpApiThreads : public ApiFixture {
protected:
  void SetUp() override {
    ApiFixture::SetUp();
    port = freePort();
    engine->settings.apiEnabled = true;
    engine->settings.apiPort = static_cast<uint32_t>(port);
    api->applySettings();
    ASSERT_GE(api->server.listenFd, 0);
    ASSERT_EQ(api->apiError, "");
  }

  std::string send(const std::string& method, const std::string& path,
                   const std::string& body = "") {
    return roundTripDraining(port, request(method, path, body));
  }

  int port = 0;
};

TEST_F(HttpApiThreads, RepliesAreTheInterpretersOnTheWire) {
  EXPECT_EQ(send("POST", "/hardware/inputs/1/gain", "-6"),
            reply(200, "OK", call("POST", "/hardware/inputs/1/gain", "-6").body));
  EXPECT_EQ(send("GET", "/hardware/inputs/1/gain?x=1"), reply(200, "OK", "-6.0"));
  EXPECT_EQ(send("GET", "/nirgends"), reply(404, "Not Found", call("GET", "/nirgends").body));
  EXPECT_EQ(send("DELETE", "/"), reply(405, "Method Not Allowed", errorJson("nur GET")));
}

TEST_F(HttpApiThreads, ConfigurationIsRewrittenAfterEveryRequestButGet) {
  const struct {
    const char* method;
    const char* board;
    int status;
    bool saved;
  } kCases[] = {
      {"POST", "i1,o1", 200, true}, {"PUT", "o2", 200, true},  {"GET", "", 200, false},
      {"get", "", 200, false},      {"POST", "x9", 400, true}, // refused, still saved
  };
  for (const auto& c : kCases) {
    std::filesystem::remove(configFile());
    const std::string answer = send(c.method, "/settings/board", c.board);
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 " + std::to_string(c.status)) << c.method;
    const std::string text = configText();
    EXPECT_EQ(!text.empty(), c.saved) << c.method << " " << c.board;
    if (c.status == 200 && c.saved) {
      EXPECT_NE(text.find("settings/board=" + std::string(c.board) + "\n"), std::string::npos)
          << text;
    }
  }
}

TEST_F(HttpApiThreads, SwitchAndPortStartMoveAndStopTheServer) {
  EXPECT_EQ(send("GET", "/settings/api/port"), reply(200, "OK", std::to_string(port)));

  // Switching on what already runs keeps the very same listener.
  const int listener = api->server.listenFd;
  const std::thread::id thread = api->server.thread.get_id();
  EXPECT_EQ(send("POST", "/settings/api/enabled", "on").substr(0, 15), "HTTP/1.1 200 OK");
  dispatch::runMainQueueUntilIdle();
  EXPECT_EQ(api->server.listenFd, listener);
  EXPECT_EQ(api->server.thread.get_id(), thread);

  // The port it already has keeps it too.
  EXPECT_EQ(send("POST", "/settings/api/port", std::to_string(port)).substr(0, 15),
            "HTTP/1.1 200 OK");
  dispatch::runMainQueueUntilIdle();
  EXPECT_EQ(api->server.listenFd, listener);

  // A port someone else holds is refused at once; the server stays where it is, and so do the
  // stored and the saved port.
  const int taken = freePort();
  HttpServer holder;
  ASSERT_TRUE(holder.start(taken, [](const HttpRequest&) { return HttpResponse{}; }));
  EXPECT_EQ(send("POST", "/settings/api/port", std::to_string(taken)),
            reply(400, "Bad Request", errorJson("Port " + std::to_string(taken) + " belegt")));
  dispatch::runMainQueueUntilIdle();
  EXPECT_EQ(api->apiError, "");
  EXPECT_EQ(api->server.listenFd, listener);
  EXPECT_EQ(engine->settings.apiPort, static_cast<uint32_t>(port));
  EXPECT_NE(configText().find("settings/api/port=" + std::to_string(port) + "\n"),
            std::string::npos);
  EXPECT_EQ(send("GET", "/settings/api/port"), reply(200, "OK", std::to_string(port)));
  holder.stop();

  // A port tried and given up again before the move leaves nothing listening on it.
  const int given = freePort();
  EXPECT_EQ(call("POST", "/settings/api/port", std::to_string(given)).status, 200);
  EXPECT_EQ(call("POST", "/settings/api/port", std::to_string(port)).status, 200);
  dispatch::runMainQueueUntilIdle();
  EXPECT_EQ(api->server.listenFd, listener);
  EXPECT_TRUE(refused(given));

  const int before = port;
  port = freePort();
  EXPECT_EQ(call("POST", "/settings/api/port", std::to_string(port)).status, 200);
  dispatch::runMainQueueUntilIdle();
  EXPECT_EQ(api->apiError, "");
  EXPECT_EQ(api->server.port, port);
  EXPECT_TRUE(refused(before));

  // Moving through the server itself: the old port closes, the new one answers.
  const int old = port;
  const int moved = freePort();
  EXPECT_EQ(send("POST", "/settings/api/port", std::to_string(moved)).substr(0, 15),
            "HTTP/1.1 200 OK");
  dispatch::runMainQueueUntilIdle();
  port = moved;
  EXPECT_EQ(api->server.port, moved);
  EXPECT_TRUE(refused(old));
  EXPECT_EQ(send("GET", "/settings/api/port"), reply(200, "OK", std::to_string(moved)));

  EXPECT_EQ(send("POST", "/settings/api/enabled", "off").substr(0, 15), "HTTP/1.1 200 OK");
  dispatch::runMainQueueUntilIdle();
  EXPECT_EQ(api->server.listenFd, -1);
  EXPECT_EQ(api->apiError, "");
  EXPECT_TRUE(refused(moved));
}

TEST_F(HttpApiThreads, BusyMainThreadGets503AndTheLateCommandStillRuns) {
  std::string answer;
  const auto start = std::chrono::steady_clock::now();
  std::thread client([&] { answer = roundTrip(port, request("POST", "/settings/board", "y1")); });
  client.join(); // the main queue is not drained meanwhile
  const double waited =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(answer, reply(503, "Service Unavailable", kNoAnswer));
  EXPECT_GT(waited, 1.9);
  EXPECT_LT(waited, 3.5);
  EXPECT_EQ(engine->settings.board, "i1,v1,v4,o1,o2,m1");

  dispatch::runMainQueueUntilIdle();
  EXPECT_EQ(engine->settings.board, "y1");
  EXPECT_EQ(send("GET", "/settings/board"), reply(200, "OK", "\"y1\""));
}

TEST_F(HttpApiThreads, DestroyingTheApiWithItsStepQueuedIsSafe) {
  std::string answer;
  std::thread client([&] { answer = roundTrip(port, request("POST", "/settings/board", "p1")); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the step is queued by now
  api.reset(); // joins the server thread, which gives up after 2 s
  client.join();
  EXPECT_EQ(answer, reply(503, "Service Unavailable", kNoAnswer));
  dispatch::runMainQueueUntilIdle(); // the step finds the API gone and does nothing
  EXPECT_EQ(engine->settings.board, "i1,v1,v4,o1,o2,m1");
  EXPECT_TRUE(refused(port));
}

} // namespace
} // namespace velto::test
