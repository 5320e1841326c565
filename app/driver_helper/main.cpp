// The driver's administrator helper, run through pkexec when the plug-in folder is not the
// user's to write. It accepts nothing but "install" or "remove" and a system root that is an
// absolute, already resolved folder; the bundle it installs is always the one delivered beside
// it, never one named by the caller. Exit status: 0 done, 1 failed, 2 arguments refused.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "app/driver_helper/driver_files.h"

namespace {

constexpr int kFailed = 1;
constexpr int kRefused = 2;

std::string resolved(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

bool acceptableRoot(const std::string& root) {
  struct stat info {};
  return !root.empty() && root[0] == '/' && resolved(root) == root &&
         ::stat(root.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// "<folder of this program>/../share/velto/Velto.driver", resolved.
std::string deliveredBundle() {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return {};
  const std::string program(self, size_t(n));
  return resolved(program.substr(0, program.rfind('/')) + "/../share/velto/Velto.driver");
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 3) return kRefused;
  const bool install = std::strcmp(argv[1], "install") == 0;
  if (!install && std::strcmp(argv[1], "remove") != 0) return kRefused;
  const std::string root = argv[2];
  if (!acceptableRoot(root)) return kRefused;
  ::umask(022);
  if (!install) return velto::removeDriverFiles(root) ? 0 : kFailed;
  const std::string bundle = deliveredBundle();
  if (bundle.empty()) return kFailed;
  return velto::installDriverFiles(bundle, root) ? 0 : kFailed;
}
