// The wire side of the local HTTP server: reading one request from a connected socket, the
// header lookup, Content-Length, request line and Host checks, and the response bytes.
// Stateless; the pure functions run on any thread, serveConnection on the server thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "api/http_server.h"

namespace velto::http {

// Limits of one request: the head (read in steps of kReceiveChunk) and the body.
inline constexpr size_t kMaxHead = 65536;
inline constexpr uint64_t kMaxBody = 65536;
inline constexpr size_t kReceiveChunk = 4096;

// The value of the first header line of `head` whose name matches `name` without regard to
// case; spaces after the colon are skipped, trailing ones kept. Empty when there is none.
std::string header(const std::string& head, const std::string& name);

// A Content-Length value read as an unsigned decimal: leading white space and a sign accepted,
// stops at the first non-digit, 0 when there is no number, "-1" the largest value.
uint64_t contentLength(const std::string& value);

struct RequestLine {
  std::string method;
  std::string path; // the target cut at its first "?"
};

// Splits the first line of `head`: method before the first space, target up to the second.
// A line with fewer spaces gives what there is (an empty target without any space).
RequestLine requestLine(const std::string& head);

// True for "127.0.0.1" or "localhost", optionally followed by ":" and a port in digits
// (case-sensitive; trailing spaces ignored). Names that only begin with them are refused.
bool hostAllowed(const std::string& host);

// "OK", "Bad Request", ...; "Service Unavailable" for every status not in the table.
const char* reasonPhrase(int status);

// The whole response: status line, the three headers, a blank line, the body.
std::string responseBytes(const HttpResponse& response);

// Reads one request from `fd`, checks it, asks `handler` and writes the reply (no reply when
// the client goes silent, disconnects or sends an oversized head). Does not close `fd`.
// server thread
void serveConnection(int fd, const HttpHandler& handler);

} // namespace velto::http
