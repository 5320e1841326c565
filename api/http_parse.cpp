#include "api/http_parse.h"

#include <limits>

namespace velto::http {

namespace {

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool nameMatches(const std::string& head, size_t start, size_t end, const std::string& name) {
  if (end - start <= name.size() || head[start + name.size()] != ':') return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (lower(head[start + i]) != lower(name[i])) return false;
  }
  return true;
}

// The same white space as the C library's isspace in the "C" locale.
bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

} // namespace

std::string header(const std::string& head, const std::string& name) {
  size_t start = head.size() < 2 ? std::string::npos : head.find("\r\n");
  if (start == std::string::npos) return {};
  start += 2;
  while (start <= head.size()) {
    size_t end = head.find("\r\n", start);
    if (end == std::string::npos) end = head.size();
    if (nameMatches(head, start, end, name)) {
      size_t value = start + name.size() + 1;
      while (value < end && head[value] == ' ') ++value;
      return head.substr(value, end - value);
    }
    start = end + 2;
  }
  return {};
}

uint64_t contentLength(const std::string& value) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  size_t i = 0;
  while (i < value.size() && isBlank(value[i])) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
  uint64_t number = 0;
  bool overflow = false;
  for (; i < value.size() && isDigit(value[i]); ++i) {
    const auto digit = static_cast<uint64_t>(value[i] - '0');
    if (number > (kMax - digit) / 10) overflow = true;
    number = overflow ? kMax : number * 10 + digit;
  }
  if (overflow) return kMax;
  // A negative number wraps like the C library's unsigned conversion: "-1" is the largest.
  return negative ? 0 - number : number;
}

RequestLine requestLine(const std::string& head) {
  const std::string line = head.substr(0, head.find("\r\n"));
  const size_t first = line.find(' ');
  RequestLine result;
  result.method = line.substr(0, first);
  if (first == std::string::npos) return result;
  const size_t second = line.find(' ', first + 1);
  const size_t length = second == std::string::npos ? std::string::npos : second - first - 1;
  const std::string target = line.substr(first + 1, length);
  result.path = target.substr(0, target.find('?'));
  return result;
}

bool hostAllowed(const std::string& host) {
  size_t end = host.size();
  while (end > 0 && (host[end - 1] == ' ' || host[end - 1] == '\t')) --end;
  const std::string name = host.substr(0, end);
  for (const std::string local : {"127.0.0.1", "localhost"}) {
    if (name.compare(0, local.size(), local) != 0) continue;
    if (name.size() == local.size()) return true;
    // Only a port may follow: a longer name could be any domain rebound to this machine.
    if (name[local.size()] != ':' || name.size() == local.size() + 1) return false;
    for (size_t i = local.size() + 1; i < name.size(); ++i) {
      if (!isDigit(name[i])) return false;
    }
    return true;
  }
  return false;
}

const char* reasonPhrase(int status) {
  switch (status) {
  case 200:
    return "OK";
  case 400:
    return "Bad Request";
  case 403:
    return "Forbidden";
  case 404:
    return "Not Found";
  case 405:
    return "Method Not Allowed";
  case 411:
    return "Length Required";
  case 413:
    return "Payload Too Large";
  default:
    return "Service Unavailable";
  }
}

std::string responseBytes(const HttpResponse& response) {
  return "HTTP/1.1 " + std::to_string(response.status) + " " + reasonPhrase(response.status) +
         "\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " +
         std::to_string(response.body.size()) + "\r\nConnection: close\r\n\r\n" + response.body;
}

} // namespace velto::http
