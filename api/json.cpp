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

constexpr const char* kReplacement = "\xEF\xBF\xBD"; // U+FFFD

// Scans the UTF-8 sequence at `at`: its length when it is well formed (`valid` set), else the
// length of its longest well-formed beginning, at least one byte, which is replaced as a whole.
size_t sequence(const std::string& text, size_t at, bool& valid) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  valid = lead < 0x80;
  if (valid) return 1;
  size_t length = 0;
  unsigned char low = 0x80; // the range of the second byte; later ones are 0x80..0xBF
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;  // shorter forms are overlong
    if (lead == 0xED) high = 0x9F; // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F; // beyond U+10FFFF
  } else {
    return 1; // a stray continuation byte, an overlong lead or no lead at all
  }
  size_t i = 1;
  for (; i < length && at + i < text.size(); ++i) {
    if (byte(at + i) < low || byte(at + i) > high) return i;
    low = 0x80;
    high = 0xBF;
  }
  valid = i == length;
  return i;
}

} // namespace

std::string q(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (size_t at = 0; at < text.size();) {
    const char c = text[at];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      bool valid = false;
      const size_t length = sequence(text, at, valid);
      if (valid) {
        out.append(text, at, length);
      } else {
        out += kReplacement;
      }
      at += length;
      continue;
    }
    ++at;
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
