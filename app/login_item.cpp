#include "app/login_item.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "api/file_text.h"
#include "app/user_defaults.h"

namespace velto {
namespace {

constexpr const char* kNotPossible = "nicht möglich";
// Autostart entries are read by the desktop's session manager, not only by their owner.
constexpr mode_t kEntryMode = 0644;

bool makeFolders(const std::string& folder) {
  for (size_t slash = folder.find('/', 1); slash != std::string::npos;
       slash = folder.find('/', slash + 1)) {
    ::mkdir(folder.substr(0, slash).c_str(), 0755);
  }
  struct stat info {};
  return (::mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST) &&
         ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string entryText(const std::string& programPath) {
  return "[Desktop Entry]\nType=Application\nName=Velto\nExec=" + desktopExecArgument(programPath) +
         "\nTerminal=false\n";
}

std::string systemError(int code) {
  if (code == 0) return kNotPossible;
  const char* text = std::strerror(code);
  return text != nullptr && text[0] != '\0' ? std::string(text) : std::string(kNotPossible);
}

} // namespace

std::string autostartEntryPath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (config != nullptr && config[0] == '/') {
    base = config;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home != nullptr && home[0] != '\0' ? home : ".") + "/.config";
  }
  return base + "/autostart/velto.desktop";
}

std::string desktopExecArgument(const std::string& argument) {
  std::string quoted = "\"";
  for (const char c : argument) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
    if (c == '%') quoted += '%';
  }
  quoted += '"';
  std::string value;
  for (const char c : quoted) {
    if (c == '\\') {
      value += "\\\\";
    } else if (c == '\n') {
      value += "\\n";
    } else if (c == '\t') {
      value += "\\t";
    } else if (c == '\r') {
      value += "\\r";
    } else {
      value += c;
    }
  }
  return value;
}

bool loginItemEnabled() {
  std::string text;
  if (!readFile(autostartEntryPath(), text)) return false;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line == "Hidden=true") return false;
  }
  return true;
}

bool setLoginItem(bool on, const std::string& programPath, std::string& error) {
  const std::string path = autostartEntryPath();
  if (on) {
    if (programPath.empty() || programPath[0] != '/') {
      error = kNotPossible;
      return false;
    }
    const std::string folder = path.substr(0, path.rfind('/'));
    if (!makeFolders(folder)) {
      error = systemError(errno);
      return false;
    }
    if (!replaceFile(path, entryText(programPath), kEntryMode)) {
      error = systemError(errno);
      return false;
    }
    setUserDefault(kLoginItemDefault, programPath);
    return true;
  }
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    error = systemError(errno);
    return false;
  }
  removeUserDefault(kLoginItemDefault);
  return true;
}

void repairLoginItem(const std::string& programPath) {
  if (!loginItemEnabled()) return;
  std::string registered;
  if (userDefault(kLoginItemDefault, registered) && registered == programPath) return;
  // The new entry takes the old one's place in one rename: if it cannot be written, the old
  // entry stays and still starts the program.
  std::string ignored;
  setLoginItem(true, programPath, ignored);
}

} // namespace velto
