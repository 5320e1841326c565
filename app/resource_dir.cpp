#include "app/resource_dir.h"

#include <filesystem>
#include <vector>

namespace velto {
namespace {

namespace fs = std::filesystem;

// The first of the resource folders that holds `name` as a regular file (folder: a directory).
std::string findResource(const std::string& name, bool folder) {
  std::error_code ec;
  std::vector<fs::path> folders;
  const fs::path program = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) folders.push_back(program.parent_path().parent_path() / "share" / "velto");
#ifdef VELTO_BUILD_RESOURCES
  folders.emplace_back(VELTO_BUILD_RESOURCES);
#endif
  for (const fs::path& base : folders) {
    const fs::path path = base / name;
    if (folder ? fs::is_directory(path, ec) : fs::is_regular_file(path, ec)) return path.string();
  }
  return {};
}

} // namespace

std::string resourceFile(const std::string& name) {
  return findResource(name, false);
}

std::string resourceFolder(const std::string& name) {
  return findResource(name, true);
}

} // namespace velto
