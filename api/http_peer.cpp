#include "api/http_peer.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace velto::http {
namespace {

// The diagnostics answer at once; a stuck answer must not hold the server.
constexpr timeval kDiagWait{0, 500000};

// Both ends of `fd`; false unless it is an IPv4 connection.
bool ends(int fd, sockaddr_in& local, sockaddr_in& peer) {
  socklen_t size = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0 ||
      local.sin_family != AF_INET) {
    return false;
  }
  size = sizeof peer;
  return ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0 &&
         peer.sin_family == AF_INET;
}

ssize_t receiveAnswer(int sock, char* buffer, size_t size) {
  ssize_t n = 0;
  do {
    n = ::recv(sock, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

} // namespace

bool peerUidByDiag(int fd, uid_t& uid) {
  sockaddr_in local{}, peer{};
  if (!ends(fd, local, peer)) return false;
  const int sock = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (sock < 0) return false;
  ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &kDiagWait, sizeof kDiagWait);

  // The peer's socket is the one whose own end is the peer's address and whose far end is ours.
  struct {
    nlmsghdr head;
    inet_diag_req_v2 request;
  } message{};
  message.head.nlmsg_len = sizeof message;
  message.head.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.head.nlmsg_flags = NLM_F_REQUEST;
  message.request.sdiag_family = AF_INET;
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0u;
  message.request.id.idiag_sport = peer.sin_port;
  message.request.id.idiag_dport = local.sin_port;
  message.request.id.idiag_src[0] = peer.sin_addr.s_addr;
  message.request.id.idiag_dst[0] = local.sin_addr.s_addr;
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;

  bool found = false;
  alignas(nlmsghdr) char answer[8192];
  if (::sendto(sock, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) == ssize_t(sizeof message)) {
    const ssize_t n = receiveAnswer(sock, answer, sizeof answer);
    if (n > 0) {
      // The kernel's own NLMSG_OK compares signed with unsigned; the same test, written out.
      const auto* h = reinterpret_cast<const nlmsghdr*>(answer);
      if (size_t(n) >= sizeof(nlmsghdr) && h->nlmsg_len >= sizeof(nlmsghdr) &&
          h->nlmsg_len <= size_t(n) && h->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
          h->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
        const auto* row = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
        // A socket its program has closed (a time-wait entry among them) reports no inode and
        // may report uid 0: it counts as unknown.
        if (row->id.idiag_sport == peer.sin_port && row->id.idiag_dport == local.sin_port &&
            row->idiag_inode != 0) {
          uid = row->idiag_uid;
          found = true;
        }
      }
    }
  }
  ::close(sock);
  return found;
}

// /proc/net/tcp rows: "sl local rem st queues timer retransmits uid timeout inode ...", the
// addresses as hex of the address in memory order and the port.
bool peerUidByProc(int fd, uid_t& uid) {
  sockaddr_in local{}, peer{};
  if (!ends(fd, local, peer)) return false;
  FILE* table = std::fopen("/proc/net/tcp", "re");
  if (table == nullptr) return false;
  char line[512];
  bool found = false;
  if (std::fgets(line, sizeof line, table) != nullptr) { // the heading
    while (!found && std::fgets(line, sizeof line, table) != nullptr) {
      unsigned ownAddress = 0, ownPort = 0, farAddress = 0, farPort = 0, state = 0;
      unsigned long owner = 0, inode = 0;
      if (std::sscanf(line, " %*d: %8X:%4X %8X:%4X %2X %*X:%*X %*X:%*X %*X %lu %*d %lu",
                      &ownAddress, &ownPort, &farAddress, &farPort, &state, &owner, &inode) != 7) {
        continue;
      }
      if (ownAddress == peer.sin_addr.s_addr && ownPort == ntohs(peer.sin_port) &&
          farAddress == local.sin_addr.s_addr && farPort == ntohs(local.sin_port) && inode != 0) {
        uid = static_cast<uid_t>(owner);
        found = true;
      }
    }
  }
  std::fclose(table);
  return found;
}

bool peerUid(int fd, uid_t& uid) {
  return peerUidByDiag(fd, uid) || peerUidByProc(fd, uid);
}

} // namespace velto::http
