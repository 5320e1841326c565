#include "platform/audio/layer/running_apps.h"

#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "platform/audio/layer/system_state.h"
#include "platform/audio/simulated/sim_objects.h"

namespace platform::audio {
namespace {

struct Registry {
  std::mutex mutex;
  std::vector<RunningApplication> applications;
  std::map<std::string, std::string> locations;
  std::string ownBundleId;
  std::optional<int32_t> ownPid;
};

Registry& registry() {
  static Registry* r = new Registry(); // never destroyed: outlives every thread
  return *r;
}

std::optional<std::string> simulatedExecutable(int32_t pid) {
  AudioSystem& system = audioSystem();
  std::lock_guard<std::mutex> lock(system.control);
  if (!system.running) return std::nullopt;
  for (const auto& [id, process] : system.processes) {
    const SimProcessConfig& c = process->config;
    if (c.pid == pid) return c.executablePath.empty() ? c.name : c.executablePath;
  }
  return std::nullopt;
}

std::string realExecutable(int32_t pid) {
  if (pid <= 0) return {};
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  char path[4096];
  const ssize_t length = readlink(link.c_str(), path, sizeof path - 1);
  return length > 0 ? std::string(path, size_t(length)) : std::string();
}

} // namespace

std::vector<RunningApplication> runningApplications() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.applications;
}

void addRunningApplication(const RunningApplication& application) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (RunningApplication& known : r.applications) {
    if (known.pid == application.pid) {
      known = application;
      return;
    }
  }
  r.applications.push_back(application);
}

bool removeRunningApplication(int32_t pid) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return std::erase_if(r.applications, [&](const RunningApplication& a) { return a.pid == pid; }) >
         0;
}

std::string ownBundleId() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.ownBundleId;
}

int32_t ownPid() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.ownPid.value_or(int32_t(getpid()));
}

void setOwnApplication(const std::string& bundleId, int32_t pid) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.ownBundleId = bundleId;
  r.ownPid = pid;
}

std::optional<std::string> applicationLocation(const std::string& bundleId) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.locations.find(bundleId);
  return it == r.locations.end() ? std::nullopt : std::optional<std::string>(it->second);
}

void setApplicationLocation(const std::string& bundleId, const std::string& path) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.locations[bundleId] = path;
}

void resetRunningApplications() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.applications.clear();
  r.locations.clear();
  r.ownBundleId.clear();
  r.ownPid.reset();
}

std::string executablePathOfPid(int32_t pid) {
  const std::optional<std::string> simulated = simulatedExecutable(pid);
  if (simulated && !simulated->empty()) return *simulated;
  return realExecutable(pid);
}

} // namespace platform::audio
