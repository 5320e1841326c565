#include "app/resource_dir.h"

#include "app/services.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace velto {

namespace {

// `name` in the resource folder when it is a regular file (folder: a directory); else empty.
std::string findResource(const std::string& name, bool folder) {
  const std::string& base = serviceSetup().resourceFolder;
  if (base.empty() || name.empty()) return {};
  const std::filesystem::path path = std::filesystem::path(base) / name;
  std::error_code ec;
  const bool found = folder ? std::filesystem::is_directory(path, ec)
                            : std::filesystem::is_regular_file(path, ec);
  return found ? path.string() : std::string();
}

} // namespace

std::string resourceFile(const std::string& name) {
  return findResource(name, false);
}

std::string resourceFolder(const std::string& name) {
  return findResource(name, true);
}

std::string readResourceText(const std::string& name) {
  const std::string path = resourceFile(name);
  if (path.empty()) return {};
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return in.bad() || !validUtf8(text) ? std::string() : text;
}

bool validUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t n = c < 0x80                 ? 1
                     : c >= 0xC2 && c <= 0xDF ? 2
                     : c >= 0xE0 && c <= 0xEF ? 3
                     : c >= 0xF0 && c <= 0xF4 ? 4
                                              : 0;
    if (n == 0 || i + n > text.size()) return false;
    unsigned cp = n == 1 ? c : c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
      const unsigned char d = static_cast<unsigned char>(text[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = cp << 6 | (d & 0x3F);
    }
    const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

} // namespace velto
