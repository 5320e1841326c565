#include "platform/audio/host/plist.h"

#include <fstream>
#include <sstream>

namespace platform::audio {
namespace {

// The five predefined XML entities; anything else stays as written.
std::string decodeEntities(const std::string& text) {
  static constexpr struct {
    const char* entity;
    char character;
  } kEntities[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (size_t i = 0; i < text.size();) {
    bool replaced = false;
    if (text[i] == '&') {
      for (const auto& e : kEntities) {
        if (text.compare(i, std::char_traits<char>::length(e.entity), e.entity) == 0) {
          out += e.character;
          i += std::char_traits<char>::length(e.entity);
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out += text[i++];
  }
  return out;
}

size_t skipSpace(const std::string& text, size_t pos) {
  while (pos < text.size() &&
         (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n' || text[pos] == '\r')) {
    ++pos;
  }
  return pos;
}

} // namespace

bool plistValue(const std::string& text, const std::string& key, std::string* outValue) {
  const std::string wanted = "<key>" + key + "</key>";
  for (size_t pos = text.find(wanted); pos != std::string::npos; pos = text.find(wanted, pos + 1)) {
    size_t value = skipSpace(text, pos + wanted.size());
    for (const char* tag : {"string", "integer"}) {
      std::string open = std::string("<") + tag + ">";
      std::string close = std::string("</") + tag + ">";
      if (text.compare(value, open.size(), open) != 0) continue;
      size_t begin = value + open.size();
      size_t end = text.find(close, begin);
      if (end == std::string::npos) return false;
      *outValue = decodeEntities(text.substr(begin, end - begin));
      return true;
    }
    return false;
  }
  return false;
}

bool readPlistValue(const std::string& path, const std::string& key, std::string* outValue) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream text;
  text << file.rdbuf();
  return plistValue(text.str(), key, outValue);
}

} // namespace platform::audio
