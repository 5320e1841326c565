// The request grammar: path segments with their escapes, trimmed bodies, case-insensitive words
// and the method classes.
#include "api/api_detail.h"

namespace velto::detail {

namespace {

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "+" is a space; "%" and two characters are one byte, read from as many of the two as are hex
// digits (none gives 0). A "%" too close to the end stays as it is.
std::string decodeSegment(const std::string& raw) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && raw.size() - i >= 3) {
      int value = 0;
      for (size_t k = i + 1; k <= i + 2; ++k) {
        const int digit = hexDigit(raw[k]);
        if (digit < 0) break;
        value = value * 16 + digit;
      }
      out += static_cast<char>(value);
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

std::vector<std::string> splitPath(const std::string& path) {
  std::vector<std::string> segments;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) segments.push_back(decodeSegment(path.substr(start, end - start)));
    start = end + 1;
  }
  return segments;
}

std::string trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && isSpace(text[begin])) ++begin;
  while (end > begin && isSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool sameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool same(const std::string& a, const char* b) {
  return sameText(a, std::string(b));
}

Method methodOf(const std::string& method) {
  if (same(method, "GET")) return Method::read;
  if (same(method, "POST") || same(method, "PUT")) return Method::write;
  if (same(method, "DELETE")) return Method::remove;
  return Method::other;
}

} // namespace velto::detail
