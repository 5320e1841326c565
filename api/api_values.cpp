// The value grammar shared by the commands: on/off words, levels in dB, seconds and integers.
// A number that is not finite, or too large for its type, is refused like any unreadable one.
#include "api/api_detail.h"

#include "core/levels.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace velto::detail {

namespace {

// The longest leading decimal number of the text as a finite float.
bool leadingFloat(const std::string& text, float& out) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const float value = std::strtof(begin, &end);
  if (end == begin || !std::isfinite(value)) return false;
  out = value;
  return true;
}

} // namespace

bool parseBool(const std::string& text, bool current, bool& out) {
  if (same(text, "toggle")) {
    out = !current;
    return true;
  }
  for (const char* word : {"on", "1", "true", "an"}) {
    if (same(text, word)) {
      out = true;
      return true;
    }
  }
  for (const char* word : {"off", "0", "false", "aus"}) {
    if (same(text, word)) {
      out = false;
      return true;
    }
  }
  return false;
}

bool parseDb(const std::string& text, float& out) {
  if (same(text, "reset")) {
    out = 0.0f;
    return true;
  }
  float value = 0.0f;
  if (!leadingFloat(text, value)) return false;
  out = std::clamp(value, kMinDb, kMaxDb);
  return true;
}

bool parseSeconds(const std::string& text, float max, float& out) {
  float value = 0.0f;
  if (!leadingFloat(text, value)) return false;
  if (value < 0.0f || value > max) return false;
  out = value;
  return true;
}

bool parseInteger(const std::string& text, int64_t& out) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(begin, &end, 10);
  if (errno == ERANGE) return false;
  out = end == begin ? 0 : value;
  return true;
}

bool wholeInteger(const std::string& text, int64_t& out) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(begin, &end, 10);
  if (end == begin || static_cast<size_t>(end - begin) != text.size()) return false;
  // A number beyond 64 bits stays a number: it saturates, so no range check can pass it.
  out = value;
  return true;
}

} // namespace velto::detail
