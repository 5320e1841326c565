// JSON text functions shared by every renderer.
#include "api/json.h"

#include <cstdio>

namespace velto {

namespace {

std::string printed(const char* format, float value) {
  char text[64];
  const int n = std::snprintf(text, sizeof text, format, static_cast<double>(value));
  // Only a value beyond any level or time we hold can be this long; keep what fits.
  if (n < 0) return "null";
  return std::string(text, static_cast<size_t>(n) < sizeof text ? n : sizeof text - 1);
}

} // namespace

std::string q(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (byte < 32) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

std::string num(float value) {
  return printed("%.1f", value);
}

std::string secs(float value) {
  return printed("%.2f", value);
}

std::string list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ',';
    out += q(items[i]);
  }
  out += ']';
  return out;
}

} // namespace velto
