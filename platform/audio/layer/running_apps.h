// The desktop's view of applications, as far as the audio side needs it: the running
// applications (bundle id, localized name, pid, activation policy) in launch order, this
// application's own bundle id and pid, where an application is installed, and the executable
// path of a process id. Tests fill the registry; it starts empty (own pid: the real one).
// Threading: any control thread; the registry has its own lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::audio {

enum class ActivationPolicy { Regular, Accessory, Prohibited };

struct RunningApplication {
  std::optional<std::string> bundleId;      // none for an application without a bundle
  std::optional<std::string> localizedName; // none when the application has no name
  int32_t pid = 0;
  ActivationPolicy policy = ActivationPolicy::Regular;
};

std::vector<RunningApplication> runningApplications();
// Appends (launch order); an entry with the same pid is replaced in place.
void addRunningApplication(const RunningApplication& application);
bool removeRunningApplication(int32_t pid);

// This application's bundle id ("" when it has none) and pid (getpid() unless set).
std::string ownBundleId();
int32_t ownPid();
void setOwnApplication(const std::string& bundleId, int32_t pid);

// The path of the installed application with this bundle id (for example
// "/Applications/Music.app"); none when the desktop knows no such application.
std::optional<std::string> applicationLocation(const std::string& bundleId);
void setApplicationLocation(const std::string& bundleId, const std::string& path);

// Empties the registry and the locations, and forgets the own application.
void resetRunningApplications();

// The executable of a process: a simulated process's path (its name when it has no path), else
// the executable of a real process of this machine; "" when neither is known.
std::string executablePathOfPid(int32_t pid);

} // namespace platform::audio
