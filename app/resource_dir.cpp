#include "app/resource_dir.h"

#include <filesystem>
#include <vector>

namespace velto {

std::string resourceFile(const std::string& name) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::vector<fs::path> folders;
  const fs::path program = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) folders.push_back(program.parent_path().parent_path() / "share" / "velto");
#ifdef VELTO_BUILD_RESOURCES
  folders.emplace_back(VELTO_BUILD_RESOURCES);
#endif
  for (const fs::path& folder : folders) {
    const fs::path file = folder / name;
    if (fs::is_regular_file(file, ec)) return file.string();
  }
  return {};
}

} // namespace velto
