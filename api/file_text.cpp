#include "api/file_text.h"

#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velto {
namespace {

constexpr char kNameLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr size_t kSuffixLength = 6;
constexpr int kNameTries = 100;

bool writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = ENOSPC;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool isNameLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// A word in small letters only ("backup", "before") is what a person names a copy; such a
// suffix is never made here, so a file named so is never taken for a leftover.
bool isPlainWord(const std::string& suffix) {
  for (const char c : suffix) {
    if (c < 'a' || c > 'z') return false;
  }
  return true;
}

std::string randomSuffix() {
  unsigned char bytes[kSuffixLength] = {};
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  std::string suffix(kSuffixLength, 'a');
  for (size_t i = 0; i < kSuffixLength; ++i) {
    // Short of randomness, the pid and the time still make collisions rare; EEXIST retries.
    const unsigned value = i < got ? bytes[i] : unsigned(::getpid() + i * 31 + ::time(nullptr));
    suffix[i] = kNameLetters[value % (sizeof kNameLetters - 1)];
  }
  return suffix;
}

// A fresh temporary file beside `path`, created with `mode` less the umask.
int createTemporary(const std::string& path, mode_t mode, std::string& temporary) {
  for (int attempt = 0; attempt < kNameTries; ++attempt) {
    const std::string suffix = randomSuffix();
    if (isPlainWord(suffix)) continue;
    temporary = path + "." + suffix;
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

} // namespace

// The temporary name is fresh each time, so nothing left over from an earlier run can stand in
// the way.
bool replaceFile(const std::string& path, const std::string& data, mode_t newMode) {
  struct stat old {};
  const bool replacing = ::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  std::string temporary;
  const int fd = createTemporary(path, newMode, temporary);
  if (fd < 0) return false;
  // fchmod ignores the umask: the old file's permissions come back exactly.
  bool written = (!replacing || ::fchmod(fd, old.st_mode & 07777) == 0) && writeAll(fd, data) &&
                 ::fsync(fd) == 0;
  int failure = written ? 0 : errno;
  if (::close(fd) != 0 && written) {
    written = false;
    failure = errno;
  }
  if (written && ::rename(temporary.c_str(), path.c_str()) != 0) {
    written = false;
    failure = errno;
  }
  if (!written) {
    ::unlink(temporary.c_str());
    errno = failure;
    return false;
  }
  // The rename itself reaches the disk with the folder.
  const std::string folder = path.substr(0, path.rfind('/') + 1);
  const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

bool readFile(const std::string& path, std::string& data) {
  data.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[4096];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      data.append(buffer, size_t(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      ok = false;
      break;
    }
  }
  ::close(fd);
  return ok;
}

bool isTemporaryName(const std::string& name, const std::string& base) {
  if (name.size() != base.size() + 1 + kSuffixLength || name.compare(0, base.size(), base) != 0 ||
      name[base.size()] != '.') {
    return false;
  }
  const std::string suffix = name.substr(base.size() + 1);
  for (const char c : suffix) {
    if (!isNameLetter(c)) return false;
  }
  return !isPlainWord(suffix);
}

int removeTemporaryFiles(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return 0;
  int removed = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (!isTemporaryName(name, base)) continue;
    // Only plain files: a folder or a link of that name is not ours.
    struct stat info {};
    const std::string full = folder + name;
    if (::lstat(full.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    if (::unlink(full.c_str()) == 0) ++removed;
  }
  ::closedir(dir);
  return removed;
}

} // namespace velto
