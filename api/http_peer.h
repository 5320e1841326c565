// Who is on the other end of a connection to the local server: the owner of the client's
// socket, looked up in the kernel's socket table. The server has no password, so only programs
// of the user running Velto may use it. Stateless; any thread (the server's in practice).
#pragma once

#include <sys/types.h>

namespace velto::http {

// The user owning the peer socket of the loopback TCP connection `fd`; false when it cannot be
// told (the peer already closed its socket, or the system gives no answer). The kernel's socket
// diagnostics are asked first, the text table in /proc second.
bool peerUid(int fd, uid_t& uid);

// The two ways of asking, each on its own.
bool peerUidByDiag(int fd, uid_t& uid);
bool peerUidByProc(int fd, uid_t& uid);

} // namespace velto::http
