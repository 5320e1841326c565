#include "app/driver_install.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

#include "api/file_text.h"
#include "app/child_process.h"
#include "app/driver_helper/driver_files.h"
#include "app/relaunch.h"
#include "app/services.h"
#include "platform/audio/host/plist.h"
#include "platform/audio/layer/audio_system.h"

namespace velto {
namespace {

namespace audio = platform::audio;

constexpr int kPromptCancelled = 126; // pkexec: the user dismissed the password prompt
constexpr const char* kMissing = "Treiber fehlt in der App";
constexpr const char* kCancelled = "abgebrochen";
constexpr const char* kFailed = "fehlgeschlagen";

std::string resolved(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

bool writable(const std::string& folder) {
  const ServiceSetup& setup = serviceSetup();
  return setup.folderWritable != nullptr ? setup.folderWritable(folder)
                                         : folderAcceptsFiles(folder);
}

// The helper as root: it installs the bundle beside itself into the root it is given.
bool changeAsAdministrator(bool install, const std::string& systemRoot, std::string& error) {
  const std::string pkexec = findProgram("pkexec");
  const std::string helper = serviceSetup().helperPath;
  const std::string root = resolved(systemRoot);
  if (pkexec.empty() || helper.empty() || root.empty()) {
    error = kFailed;
    return false;
  }
  const int status = runProcess(pkexec, {"pkexec", helper, install ? "install" : "remove", root});
  if (status == 0) return true;
  error = status == kPromptCancelled ? kCancelled : kFailed;
  return false;
}

} // namespace

int driverVersion(const std::string& bundlePath) {
  if (bundlePath.empty()) return 0;
  std::string text, value;
  if (!readFile(bundlePath + "/Contents/Info.plist", text) ||
      !audio::plistValue(text, "CFBundleVersion", &value)) {
    return 0;
  }
  long long version = 0;
  for (const char c : value) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    version = version * 10 + (c - '0');
    if (version > INT_MAX) return INT_MAX;
  }
  return int(version);
}

std::string bundledDriverPath() {
  const std::string folder = serviceSetup().resourceFolder;
  if (folder.empty()) return {};
  const std::string path = folder + "/Velto.driver";
  std::error_code error;
  return std::filesystem::is_directory(path, error) ? path : std::string();
}

int bundledDriverVersion() {
  return driverVersion(bundledDriverPath());
}

int installedDriverVersion() {
  const std::string path = installedDriverPathOf(audio::systemRootFromEnvironment());
  std::error_code error;
  return std::filesystem::is_directory(path, error) ? driverVersion(path) : 0;
}

bool installDriver(bool install, std::string& error) {
  const std::string bundle = bundledDriverPath();
  if (install && bundle.empty()) {
    error = kMissing;
    return false;
  }
  const std::string root = audio::systemRootFromEnvironment();
  const std::string folder = driverFolderOf(root);
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  if (writable(folder)) {
    const bool done = install ? installDriverFiles(bundle, root) : removeDriverFiles(root);
    if (!done) {
      error = kFailed;
      return false;
    }
  } else if (!changeAsAdministrator(install, root, error)) {
    return false;
  }
  // The host loads its plug-ins anew; the engine follows through its device-list listener.
  audio::restartServer();
  relaunch(serviceSetup().programPath, serviceSetup().relaunchSeconds);
  return true;
}

bool folderAcceptsFiles(const std::string& folder) {
  std::string probe = folder + "/.velto-probe-XXXXXX";
  const int fd = ::mkostemp(probe.data(), O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  ::unlink(probe.c_str());
  return true;
}

} // namespace velto
