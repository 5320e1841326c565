// Hostile clients against the local HTTP server (echo handler, real sockets): malformed and
// binary requests, heads and bodies at and past the limits, silent and trickling clients, many
// connections at once, clients that vanish mid-reply, never read or read too slowly. After each the
// server must still answer a normal request.
#include "http_test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace velto::test {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kTooLarge = "{\"error\":\"Anfrage zu groß\"}";
const std::string kForbidden = "{\"error\":\"nur lokale Aufrufe ohne Browser-Origin\"}";

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string garbage(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xff);
  return bytes;
}

class HttpHostileThreads : public EchoServerTest {
protected:
  void expectStillAnswering(const std::string& after) {
    EXPECT_EQ(roundTrip(port, request("GET", "/ok")), reply(200, "OK", "GET|/ok|")) << after;
  }
};

// Every case ends its sending side, so nothing here waits for a time-out.
TEST_F(HttpHostileThreads, MalformedAndBinaryRequestsAreAnsweredOrDropped) {
  std::string noisy = garbage(3000, 7);
  for (size_t at; (at = noisy.find("\r\n\r\n")) != std::string::npos;) noisy[at] = 'x';
  const struct {
    std::string raw;
    std::string answer;
  } kCases[] = {
      {"GET\r\nHost: localhost\r\n\r\n", reply(200, "OK", "GET||")},
      {"GET /x\r\nHost: localhost\r\n\r\n", reply(200, "OK", "GET|/x|")},
      {"\r\n\r\n", reply(403, "Forbidden", kForbidden)},
      {garbage(500, 1) + "\r\n\r\n", reply(403, "Forbidden", kForbidden)},
      {noisy, ""},
      {"", ""},
      {"GET / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 99999999999999999999999\r\n\r\n",
       reply(413, "Payload Too Large", kTooLarge)},
      // A body that ends short is dropped without a reply.
      {"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 10\r\n\r\nabc", ""},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(roundTrip(port, c.raw, true), c.answer) << c.raw.substr(0, 40);
    expectStillAnswering(c.raw.substr(0, 40));
  }
}

TEST_F(HttpHostileThreads, HeadsAtTheLimitAreServedAndBeyondItDropped) {
  const std::string start = "GET /big-head HTTP/1.1\r\nHost: localhost\r\nX-Pad: ";
  const std::string atLimit = start + std::string(65536 - start.size() - 4, 'p') + "\r\n\r\n";
  ASSERT_EQ(atLimit.size(), 65536u);
  EXPECT_EQ(roundTrip(port, atLimit), reply(200, "OK", "GET|/big-head|"));

  const std::string endless = start + std::string(300000, 'p');
  EXPECT_EQ(roundTrip(port, endless, true), "");
  expectStillAnswering("endless head");
  EXPECT_EQ(roundTrip(port, endless + "\r\n\r\n", true), "");
  expectStillAnswering("oversized head");
}

// The reply must arrive whole even while the client still sends what the server never reads:
// closing on unread input would reset the connection and drop what is still queued to go out.
TEST_F(HttpHostileThreads, UnreadInputDoesNotCutTheReply) {
  const struct {
    std::string raw;
    std::string answer;
  } kCases[] = {
      {"POST /a HTTP/1.1\r\nHost: localhost\r\nContent-Length: 200000\r\n\r\n" +
           std::string(200000, 'b'),
       reply(413, "Payload Too Large", kTooLarge)},
      {"POST /big HTTP/1.1\r\nHost: localhost\r\nContent-Length: 3\r\n\r\n" +
           std::string(200000, 's'),
       reply(200, "OK", std::string(8 << 20, 'x'))},
  };
  for (const auto& c : kCases) {
    const int fd = connectLocal(port);
    ASSERT_GE(fd, 0);
    std::thread sender([&] { sendAll(fd, c.raw); });
    const std::string answer = readAll(fd);
    EXPECT_EQ(answer.size(), c.answer.size());
    EXPECT_TRUE(answer == c.answer) << answer.substr(0, 40);
    shutdown(fd, SHUT_RDWR);
    sender.join();
    close(fd);
    expectStillAnswering(c.answer.substr(0, 20));
  }
}

TEST_F(HttpHostileThreads, SilentAndTricklingClientsAreDroppedOnTime) {
  // A silent client holds the one connection for one receive time-out; the request queued
  // behind it is served right after.
  const int silent = connectLocal(port);
  ASSERT_GE(silent, 0);
  auto start = Clock::now();
  std::string queued;
  std::thread next([&] { queued = roundTrip(port, request("GET", "/next")); });
  EXPECT_EQ(readAll(silent), "");
  const double dropped = secondsSince(start);
  EXPECT_GT(dropped, 1.8);
  EXPECT_LT(dropped, 3.5);
  next.join();
  EXPECT_EQ(queued, reply(200, "OK", "GET|/next|"));
  close(silent);

  // One byte every 300 ms never trips the receive time-out, but the request's deadline ends it.
  const int trickle = connectLocal(port);
  ASSERT_GE(trickle, 0);
  start = Clock::now();
  std::thread sender([&] {
    const std::string head = request("GET", "/slow") + std::string(100, 'x');
    for (char c : head) {
      if (!sendAll(trickle, std::string(1, c)) || secondsSince(start) > 8) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
  });
  EXPECT_EQ(readAll(trickle), "");
  const double held = secondsSince(start);
  EXPECT_GT(held, 4.5);
  EXPECT_LT(held, 6.5);
  shutdown(trickle, SHUT_RDWR);
  sender.join();
  close(trickle);
  expectStillAnswering("trickle");
}

TEST_F(HttpHostileThreads, ManyConnectionsAtOnceAreAllServed) {
  constexpr int kClients = 32;
  std::vector<std::string> answers(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back(
        [&, i] { answers[i] = roundTrip(port, request("POST", "/n", std::to_string(i))); });
  }
  for (std::thread& t : clients) t.join();
  for (int i = 0; i < kClients; ++i) {
    EXPECT_EQ(answers[i], reply(200, "OK", "POST|/n|" + std::to_string(i))) << i;
  }
}

// The reply is far larger than the socket buffers. A client that reads a little and hangs up
// resets the connection; one that hangs up before the reply makes the server's later sends
// fail with a broken pipe, which without MSG_NOSIGNAL would kill this process.
TEST_F(HttpHostileThreads, ClientVanishingMidReplyLeavesTheServerRunning) {
  for (int round = 0; round < 4; ++round) {
    const int fd = connectLocal(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendAll(fd, request("GET", "/big")));
    if (round % 2 == 0) {
      char first[1000];
      EXPECT_GT(recv(fd, first, sizeof first, 0), 0);
    }
    close(fd);
    expectStillAnswering("vanished client " + std::to_string(round));
  }
}

// A client that takes its 8 MiB reply 1 KiB at a time through a small receive buffer keeps every
// single send moving, so only the connection's deadline ends it; the next client is served then.
TEST_F(HttpHostileThreads, SlowReaderIsDroppedByTheDeadline) {
  const int slow = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(slow, 0);
  const int small = 4096;
  setsockopt(slow, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(slow, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const auto start = Clock::now();
  ASSERT_TRUE(sendAll(slow, request("GET", "/big")));

  size_t received = 0;
  double ended = 0;
  std::thread reader([&] {
    char chunk[1024];
    while (secondsSince(start) < 20 && recv(slow, chunk, sizeof chunk, 0) > 0) {
      received += sizeof chunk;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ended = secondsSince(start);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const std::string next = roundTrip(port, request("GET", "/next"));
  const double served = secondsSince(start);
  reader.join();
  close(slow);

  EXPECT_EQ(next, reply(200, "OK", "GET|/next|"));
  EXPECT_GT(served, 4.5);
  EXPECT_LT(served, 6.5);
  EXPECT_LT(ended, 7.0);
  EXPECT_LT(received, size_t{4} << 20);
}

} // namespace
} // namespace velto::test
