// The configuration loader: every command line of the file replayed as a POST through the
// interpreter (lines of the older layout converted first), then the two repairs and the API
// settings. Runs once at start-up on the main thread; it writes nothing.
#include "api/api_detail.h"
#include "api/config.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace velto {

using namespace detail;

namespace {

constexpr uint32_t kDefaultVirtualInBit = 1u << 3;

// Files from before the fourth virtual input was routable gave every application that route;
// only an application with no other route keeps it.
void repairAppRoutes(Engine& engine) {
  for (int i = 0; i < engine.appCount(); ++i) {
    std::atomic<uint32_t>& mask = engine.app(i).strip.routeMask;
    const uint32_t without = mask.load() & ~kDefaultVirtualInBit;
    if (without != 0) mask.exchange(without);
  }
}

// Virtual outputs once carried the driver's former device names.
void repairVirtualOutNames(Engine& engine) {
  for (int i = 0; i < 3; ++i) {
    std::string& name = engine.buses[static_cast<size_t>(3 + i)].name;
    if (name == "Velto Mic " + std::to_string(i + 1)) name = virtualOutDevice(i);
  }
}

std::string systemError(int code) {
  const char* text = std::strerror(code);
  return text != nullptr ? std::string(text) : "Fehler " + std::to_string(code);
}

// The file's text. False with the reason when it exists and cannot be read; a missing file is
// a first start and reads as empty. Opened without waiting, so a pipe or a device of that name
// cannot hold the start.
bool readConfig(const std::string& path, std::string& text, std::string& reason) {
  text.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    const int code = errno;
    struct stat link {};
    if (code != ENOENT) {
      reason = systemError(code);
      return false;
    }
    if (::lstat(path.c_str(), &link) == 0) {
      reason = "Verknüpfung ohne Ziel";
      return false;
    }
    return true;
  }
  struct stat info {};
  bool ok = ::fstat(fd, &info) == 0;
  if (!ok) {
    reason = systemError(errno);
  } else if (!S_ISREG(info.st_mode)) {
    ok = false;
    reason = S_ISDIR(info.st_mode) ? systemError(EISDIR) : "keine gewöhnliche Datei";
  }
  char buffer[4096];
  while (ok) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      ok = false;
      reason = systemError(errno);
    }
  }
  ::close(fd);
  if (!ok) text.clear();
  return ok;
}

} // namespace

std::string Api::configNotice() const {
  if (!configError.empty()) {
    return "Einstellungen nicht lesbar (" + configError + "), Velto läuft ohne zu speichern";
  }
  if (!saveError.empty()) return "Einstellungen nicht gespeichert: " + saveError;
  return {};
}

// main thread
void Api::load() {
  std::string text;
  if (!readConfig(configPath(), text, configError)) {
    // Nothing from it is replayed; what follows runs as on a first start.
    text.clear();
  }
  std::istringstream file(text);
  bool versioned = false;
  bool appRouteSeen = false;
  loading = true;
  std::string line;
  while (file && std::getline(file, line)) {
    if (line == kConfigMarker) versioned = true;
    if (line.empty() || line[0] == '#') continue;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string path = line.substr(0, equals);
    const std::string body = line.substr(equals + 1);
    if (path.rfind("software/apps/", 0) == 0 && path.find("/to/virtual/4") != std::string::npos) {
      appRouteSeen = true;
    }
    if (versioned) {
      handle("POST", path, body);
      continue;
    }
    for (const ConfigPair& pair : migrate(path, body)) handle("POST", pair.first, pair.second);
  }
  loading = false;
  if (!appRouteSeen) repairAppRoutes(engine);
  repairVirtualOutNames(engine);
  applySettings();
}

} // namespace velto
