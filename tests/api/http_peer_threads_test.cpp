// Who may use the local server: the owner of the client's socket is looked up for every
// connection, and only the user running the server gets in; bodies sent in chunks, whose length
// is not known ahead, are refused instead of being taken as empty.
#include "http_test_client.h"

#include "api/http_parse.h"
#include "api/http_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace velto::test {
namespace {

const std::string kOtherUser = "{\"error\":\"nur Programme dieses Benutzers\"}";
const std::string kNoLength = "{\"error\":\"Länge fehlt\"}";
constexpr uid_t kNobody = 65534;

using HttpPeerThreads = EchoServerTest;

TEST_F(HttpPeerThreads, BodiesInChunksAreRefusedAndNoLengthMeansEmpty) {
  const std::string head = "POST /settings/board HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  const struct {
    std::string raw;
    std::string answer;
  } kCases[] = {
      {head + "Transfer-Encoding: chunked\r\n\r\n5\r\nhallo\r\n0\r\n\r\n",
       reply(411, "Length Required", kNoLength)},
      {head + "transfer-encoding: gzip, chunked\r\n\r\n5\r\nhallo\r\n0\r\n\r\n",
       reply(411, "Length Required", kNoLength)},
      // Both given: the length cannot be trusted either.
      {head + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\nhallo",
       reply(411, "Length Required", kNoLength)},
      {head + "\r\n", reply(200, "OK", "POST|/settings/board|")},
      {head + "Transfer-Encoding:\r\n\r\n", reply(200, "OK", "POST|/settings/board|")},
      {head + "Content-Length: 5\r\n\r\nhallo", reply(200, "OK", "POST|/settings/board|hallo")},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(roundTrip(port, c.raw), c.answer) << c.raw;
  }
}

// A listener of the test's own on 127.0.0.1, to look at accepted connections directly.
struct Listener {
  Listener() {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(fd, 4) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
      port = ntohs(address.sin_port);
    }
  }
  ~Listener() { ::close(fd); }
  int accept() const { return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC); }
  int fd = -1;
  int port = 0;
};

// A child process running as `uid` (its group too, no others) that connects to `port`, sends
// `request` when there is one, copies what comes back into `out`, and ends when `hold` closes.
// `parentEnds` are the pipe ends the child must not keep. The child makes system calls only.
pid_t clientAs(uid_t uid, int port, const char* request, int out, int hold, const int* parentEnds) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::close(parentEnds[0]);
  ::close(parentEnds[1]);
  if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
      ::setresuid(uid, uid, uid) != 0) {
    ::_exit(2);
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ::_exit(3);
  if (request != nullptr) {
    size_t length = 0;
    while (request[length] != '\0') ++length;
    if (::send(fd, request, length, MSG_NOSIGNAL) != ssize_t(length)) ::_exit(4);
    char buffer[1024];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
      if (::write(out, buffer, size_t(n)) != n) ::_exit(5);
    }
  }
  ::close(out);
  char done = 0;
  while (::read(hold, &done, 1) > 0) {
  }
  ::_exit(0);
}

struct Child {
  int out[2] = {-1, -1};
  int hold[2] = {-1, -1};
  pid_t pid = -1;

  Child(uid_t uid, int port, const char* request) {
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(hold, O_CLOEXEC) != 0) return;
    const int parentEnds[2] = {out[0], hold[1]};
    pid = clientAs(uid, port, request, out[1], hold[0], parentEnds);
    ::close(out[1]);
    ::close(hold[0]);
  }
  // What the child received, once it has it all.
  std::string received() const {
    std::string text;
    char buffer[1024];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    return text;
  }
  // Lets the child end; its exit status.
  int finish() {
    ::close(hold[1]);
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
  }
};

TEST_F(HttpPeerThreads, EachWayOfAskingFindsTheOwnerOfTheClientsSocket) {
  using Lookup = bool (*)(int, uid_t&);
  const struct {
    const char* way;
    Lookup lookup;
  } kWays[] = {{"diagnostics", http::peerUidByDiag},
               {"proc table", http::peerUidByProc},
               {"both", http::peerUid}};
  Listener listener;
  ASSERT_GT(listener.port, 0);
  for (const auto& w : kWays) {
    SCOPED_TRACE(w.way);
    // A connection of this process's own.
    const int client = connectLocal(listener.port);
    ASSERT_GE(client, 0);
    const int served = listener.accept();
    ASSERT_GE(served, 0);
    uid_t uid = 12345;
    const auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(w.lookup(served, uid));
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_EQ(uid, ::geteuid());
    EXPECT_LT(took, std::chrono::milliseconds(50)) << "cheap enough for every connection";

    // Once the client has closed its socket there is no owner to tell.
    ::close(client);
    uid = 12345;
    EXPECT_FALSE(w.lookup(served, uid));
    ::close(served);

    // Not a TCP connection at all.
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    EXPECT_FALSE(w.lookup(pair[0], uid));
    ::close(pair[0]);
    ::close(pair[1]);

    if (::geteuid() != 0) continue; // another user's client needs root to make
    Child other(kNobody, listener.port, nullptr);
    ASSERT_GT(other.pid, 0);
    const int foreign = listener.accept();
    ASSERT_GE(foreign, 0);
    uid = 12345;
    EXPECT_TRUE(w.lookup(foreign, uid));
    EXPECT_EQ(uid, kNobody);
    ::close(foreign);
    EXPECT_EQ(other.finish(), 0);
  }
}

TEST_F(HttpPeerThreads, OnlyTheServersOwnUserGetsAnAnswer) {
  const std::string get = request("GET", "/x");
  const std::string post = request("POST", "/settings/board", "fremd");
  struct Case {
    uid_t uid;
    const std::string* raw;
    std::string answer;
  };
  const Case cases[] = {
      {::geteuid(), &get, reply(200, "OK", "GET|/x|")},
      {::geteuid(), &post, reply(200, "OK", "POST|/settings/board|fremd")},
      {kNobody, &get, reply(403, "Forbidden", kOtherUser)},
      {kNobody, &post, reply(403, "Forbidden", kOtherUser)},
  };
  int foreignRuns = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.uid) + " " + c.raw->substr(0, 20));
    if (c.uid != ::geteuid() && ::geteuid() != 0) continue; // needs root to make
    if (c.uid != ::geteuid()) ++foreignRuns;
    Child client(c.uid, port, c.raw->c_str());
    ASSERT_GT(client.pid, 0);
    EXPECT_EQ(client.received(), c.answer);
    EXPECT_EQ(client.finish(), 0);
  }
  // Without root only the own user's cases can run; then the server at least still answers
  // them, which the lookup of the own socket (the test above) explains.
  EXPECT_EQ(foreignRuns, ::geteuid() == 0 ? 2 : 0);
}

} // namespace
} // namespace velto::test
