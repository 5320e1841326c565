#include "app/driver_helper/driver_files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace velto {
namespace {

namespace fs = std::filesystem;

// Names the plug-in host never loads (it takes "*.driver" folders only).
constexpr const char* kStagingName = ".Velto.driver.new";
constexpr const char* kRetiredName = ".Velto.driver.old";

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

// The copy reaches the disk before it can take the installed driver's place.
bool copyFile(const std::string& from, const std::string& to, mode_t mode) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 07777);
  bool ok = out >= 0;
  char buffer[65536];
  while (ok) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    ok = writeAll(out, buffer, size_t(n));
  }
  if (out >= 0) ok = ::fsync(out) == 0 && ::close(out) == 0 && ok;
  ::close(in);
  return ok;
}

// Folders and regular files (a link counts as what it points to); anything else, or anything
// that cannot be read, fails the whole copy.
bool copyTree(const std::string& from, const std::string& to) {
  struct stat info {};
  if (::stat(from.c_str(), &info) != 0) return false;
  if (S_ISREG(info.st_mode)) return copyFile(from, to, info.st_mode);
  if (!S_ISDIR(info.st_mode) || ::mkdir(to.c_str(), (info.st_mode & 07777) | 0700) != 0) {
    return false;
  }
  std::error_code error;
  for (fs::directory_iterator it(from, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!copyTree(from + "/" + name, to + "/" + name)) return false;
  }
  return !error;
}

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
  if (!copyTree(source, staging)) {
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
