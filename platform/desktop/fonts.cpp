#include "platform/desktop/fonts.h"

#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <fontconfig/fontconfig.h>
#include <stb_truetype.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::desktop {
namespace {

constexpr off_t kMinFontBytes = 1024;
constexpr off_t kMaxFontBytes = 64 << 20;

bool hasFontTag(const unsigned char* d) {
  static constexpr unsigned char kTags[][4] = {
      {0x00, 0x01, 0x00, 0x00}, {'t', 'r', 'u', 'e'}, {'O', 'T', 'T', 'O'}, {'t', 't', 'c', 'f'}};
  for (const auto& tag : kTags) {
    if (std::memcmp(d, tag, 4) == 0) return true;
  }
  return false;
}

uint32_t be32(const unsigned char* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The table directory of a single face lies inside the file and so does every table it names;
// the TrueType parser trusts these offsets, so a truncated file must not reach it.
bool tablesInside(const std::vector<unsigned char>& d, size_t face) {
  if (face + 12 > d.size()) return false;
  const size_t tables = size_t(d[face + 4]) << 8 | d[face + 5];
  if (tables == 0 || face + 12 + tables * 16 > d.size()) return false;
  for (size_t t = 0; t < tables; ++t) {
    const unsigned char* entry = d.data() + face + 12 + t * 16;
    const uint64_t offset = be32(entry + 8), length = be32(entry + 12);
    if (offset + length > d.size()) return false;
  }
  return true;
}

} // namespace

std::string findFontFile(const char* pattern) {
  FcConfig* config = FcInitLoadConfigAndFonts();
  if (config == nullptr) return {};
  std::string file;
  FcPattern* wanted = FcNameParse(reinterpret_cast<const FcChar8*>(pattern));
  if (wanted != nullptr) {
    FcConfigSubstitute(config, wanted, FcMatchPattern);
    FcDefaultSubstitute(wanted);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(config, wanted, &result);
    FcChar8* path = nullptr;
    if (match != nullptr && FcPatternGetString(match, FC_FILE, 0, &path) == FcResultMatch) {
      file = reinterpret_cast<const char*>(path);
    }
    if (match != nullptr) FcPatternDestroy(match);
    FcPatternDestroy(wanted);
  }
  FcConfigDestroy(config);
  return file;
}

bool readFontFile(const std::string& path, std::vector<unsigned char>& data) {
  data.clear();
  if (path.empty()) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  const bool plausible = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                         info.st_size >= kMinFontBytes && info.st_size <= kMaxFontBytes;
  if (plausible) {
    data.resize(size_t(info.st_size));
    size_t got = 0;
    while (got < data.size()) {
      const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
      if (n <= 0) break;
      got += size_t(n);
    }
    if (got != data.size()) data.clear();
  }
  ::close(fd);
  if (data.empty() || !hasFontTag(data.data())) {
    data.clear();
    return false;
  }
  // The same parser ImGui uses must accept the face, or building the atlas would fail later.
  const int offset = stbtt_GetFontOffsetForIndex(data.data(), 0);
  stbtt_fontinfo face{};
  if (offset < 0 || !tablesInside(data, size_t(offset)) ||
      stbtt_InitFont(&face, data.data(), offset) == 0) {
    data.clear();
    return false;
  }
  return true;
}

ImFont* addFontChecked(ImFontAtlas& atlas, const std::string& path, float pixels,
                       const ImFontConfig& config, const ImWchar* ranges) {
  std::vector<unsigned char> data;
  if (!readFontFile(path, data)) return nullptr;
  // The atlas frees what it owns with ImGui's allocator.
  void* copy = ImGui::MemAlloc(data.size());
  std::memcpy(copy, data.data(), data.size());
  ImFontConfig owned = config;
  owned.FontDataOwnedByAtlas = true;
  return atlas.AddFontFromMemoryTTF(copy, int(data.size()), pixels, &owned, ranges);
}

} // namespace platform::desktop
