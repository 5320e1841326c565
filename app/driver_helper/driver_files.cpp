#include "app/driver_helper/driver_files.h"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <system_error>

namespace velto {
namespace {

namespace fs = std::filesystem;

// Names the plug-in host never loads (it takes "*.driver" folders only).
constexpr const char* kStagingName = ".Velto.driver.new";
constexpr const char* kRetiredName = ".Velto.driver.old";

bool exists(const std::string& path) {
  std::error_code error;
  return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

void removeQuietly(const std::string& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

bool moveTo(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

// Puts `staging` in the place of `installed`. Where the file system can exchange two names in
// one step there is no moment without a driver; elsewhere the old one steps aside first and
// comes back when the second rename fails.
bool swapIn(const std::string& staging, const std::string& installed, const std::string& retired) {
  if (!exists(installed)) return moveTo(staging, installed);
  if (::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, installed.c_str(), RENAME_EXCHANGE) == 0) {
    removeQuietly(staging); // now the previous driver
    return true;
  }
  removeQuietly(retired);
  if (!moveTo(installed, retired)) return false;
  if (!moveTo(staging, installed)) {
    moveTo(retired, installed);
    return false;
  }
  removeQuietly(retired);
  return true;
}

} // namespace

std::string driverFolderOf(const std::string& systemRoot) {
  return systemRoot + "/Library/Audio/Plug-Ins/HAL";
}

std::string installedDriverPathOf(const std::string& systemRoot) {
  return driverFolderOf(systemRoot) + "/Velto.driver";
}

bool installDriverFiles(const std::string& source, const std::string& systemRoot) {
  std::error_code error;
  if (!fs::is_directory(source, error)) return false;
  const std::string folder = driverFolderOf(systemRoot);
  fs::create_directories(folder, error);
  if (error) return false;
  const std::string staging = folder + "/" + kStagingName;
  removeQuietly(staging); // left over from an interrupted run
  fs::copy(source, staging, fs::copy_options::recursive, error);
  if (error || !fs::is_directory(staging, error)) {
    removeQuietly(staging);
    return false;
  }
  if (!swapIn(staging, installedDriverPathOf(systemRoot), folder + "/" + kRetiredName)) {
    removeQuietly(staging);
    return false;
  }
  return true;
}

bool removeDriverFiles(const std::string& systemRoot) {
  const std::string installed = installedDriverPathOf(systemRoot);
  if (!exists(installed)) return true;
  const std::string retired = driverFolderOf(systemRoot) + "/" + kRetiredName;
  removeQuietly(retired);
  // Out of the plug-in folder's view first, so a deletion that stops halfway never leaves a
  // broken driver to be loaded.
  if (!moveTo(installed, retired)) return false;
  removeQuietly(retired);
  return true;
}

} // namespace velto
