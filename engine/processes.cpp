// The system's audio processes as the engine sees them, the applications that can be captured
// and their display names, and one private process tap wrapped in a private aggregate device.
// Main thread only.

#include "engine/engine.h"

#include "platform/audio/layer/properties.h"
#include "platform/audio/layer/running_apps.h"
#include "platform/audio/simulated/sim_taps.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace velto {

namespace {

namespace audio = platform::audio;

// A process path as long as the path buffer of the system call counts as unreadable.
constexpr size_t kPidPathBuffer = 1024;

AspPropertyAddress address(uint32_t selector, uint32_t scope = kAspScopeGlobal) {
  return AspPropertyAddress{selector, scope, kAspElementMain};
}

std::vector<AudioObjectID> idList(AudioObjectID object, uint32_t selector, uint32_t scope) {
  const AspPropertyAddress where = address(selector, scope);
  uint32_t size = 0;
  if (audio::getPropertyDataSize(object, &where, 0, nullptr, &size) != kAspNoError) return {};
  std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
  if (ids.empty()) return {};
  uint32_t got = static_cast<uint32_t>(ids.size() * sizeof(AudioObjectID));
  if (audio::getPropertyData(object, &where, 0, nullptr, &got, ids.data()) != kAspNoError) {
    return {};
  }
  ids.resize(got / sizeof(AudioObjectID));
  return ids;
}

// A u32-sized value; `fallback` when unreadable.
template <typename T>
T wordProperty(AudioObjectID object, uint32_t selector, T fallback) {
  const AspPropertyAddress where = address(selector);
  T value{};
  uint32_t size = sizeof value;
  if (audio::getPropertyData(object, &where, 0, nullptr, &size, &value) != kAspNoError ||
      size != sizeof value) {
    return fallback;
  }
  return value;
}

std::string textProperty(AudioObjectID object, uint32_t selector) {
  const AspPropertyAddress where = address(selector);
  AspText* text = nullptr;
  uint32_t size = sizeof text;
  if (audio::getPropertyData(object, &where, 0, nullptr, &size, &text) != kAspNoError ||
      size != sizeof text || text == nullptr) {
    return {};
  }
  std::string result(text->bytes, text->length);
  aspTextRelease(text);
  return result;
}

// Input channels of a device: the sum over its input stream configuration; 0 when unreadable.
uint32_t inputChannels(AudioObjectID device) {
  const AspPropertyAddress where = address(audio::kPropStreamConfiguration, kAspScopeInput);
  uint32_t size = 0;
  if (audio::getPropertyDataSize(device, &where, 0, nullptr, &size) != kAspNoError || size == 0) {
    return 0;
  }
  audio::BufferList list{};
  size = std::min<uint32_t>(size, sizeof list);
  if (audio::getPropertyData(device, &where, 0, nullptr, &size, &list) != kAspNoError) return 0;
  const uint32_t room = size < offsetof(audio::BufferList, buffers)
                            ? 0
                            : static_cast<uint32_t>((size - offsetof(audio::BufferList, buffers)) /
                                                    sizeof(audio::Buffer));
  const uint32_t count = std::min({list.count, room, audio::BufferList::kCapacity});
  uint32_t channels = 0;
  for (uint32_t b = 0; b < count; ++b) channels += list.buffers[b].channels;
  return channels;
}

// "/Applications/Music.app" gives "Music".
std::string stemOfPath(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = last.rfind('.');
  if (dot != std::string::npos && dot > 0) last.resize(dot);
  return last;
}

} // namespace

std::vector<AudioProcess> listAudioProcesses() {
  std::vector<AudioProcess> result;
  const int32_t own = audio::ownPid();
  for (AudioObjectID object :
       idList(audio::kSystemObject, audio::kPropProcessList, kAspScopeGlobal)) {
    AudioProcess p;
    p.object = object;
    p.pid = wordProperty<int32_t>(object, audio::kPropProcessPid, 0);
    if (p.pid == own) continue;
    p.bundleId = textProperty(object, audio::kPropProcessBundleId);
    p.runningOutput = wordProperty<uint32_t>(object, audio::kPropProcessRunningOutput, 0) != 0;
    p.runningInput = wordProperty<uint32_t>(object, audio::kPropProcessRunningInput, 0) != 0;
    p.inputDevices = idList(object, audio::kPropProcessDevices, kAspScopeInput);
    result.push_back(std::move(p));
  }
  return result;
}

bool belongsToApp(const std::string& processBundleId, const std::string& appBundleId) {
  if (appBundleId.empty()) return false;
  if (processBundleId == appBundleId) return true;
  return processBundleId.size() > appBundleId.size() &&
         processBundleId.compare(0, appBundleId.size(), appBundleId) == 0 &&
         processBundleId[appBundleId.size()] == '.';
}

std::string appName(const std::string& bundleId) {
  for (const audio::RunningApplication& a : audio::runningApplications()) {
    if (a.bundleId && *a.bundleId == bundleId && a.localizedName) return *a.localizedName;
  }
  if (const std::optional<std::string> location = audio::applicationLocation(bundleId)) {
    const std::string stem = stemOfPath(*location);
    if (!stem.empty()) return stem;
  }
  return bundleId;
}

std::string processName(const AudioProcess& process) {
  for (const audio::RunningApplication& a : audio::runningApplications()) {
    if (a.pid != process.pid) continue;
    if (a.localizedName) return *a.localizedName;
    break;
  }
  if (!process.bundleId.empty()) return appName(process.bundleId);
  const std::string path = audio::executablePathOfPid(process.pid);
  if (!path.empty() && path.size() < kPidPathBuffer) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
  }
  return "PID " + std::to_string(process.pid);
}

std::vector<AppInfo> listAvailableApps() {
  const std::string own = audio::ownBundleId();
  std::vector<AppInfo> list;
  for (const audio::RunningApplication& a : audio::runningApplications()) {
    if (a.policy != audio::ActivationPolicy::Regular || !a.bundleId || *a.bundleId == own) {
      continue;
    }
    list.push_back({*a.bundleId, a.localizedName ? *a.localizedName : *a.bundleId, false});
  }
  for (const AudioProcess& p : listAudioProcesses()) {
    if (p.bundleId.empty() || p.bundleId == own) continue;
    bool matched = false;
    for (AppInfo& e : list) {
      if (!belongsToApp(p.bundleId, e.bundleId)) continue;
      e.playing = e.playing || p.runningOutput;
      matched = true;
    }
    if (!matched) list.push_back({p.bundleId, appName(p.bundleId), p.runningOutput});
  }
  // Playing first, then by name in byte order.
  std::sort(list.begin(), list.end(), [](const AppInfo& a, const AppInfo& b) {
    if (a.playing != b.playing) return a.playing;
    return a.name < b.name;
  });
  return list;
}

bool createTap(const std::vector<AudioObjectID>& processes, bool passthrough, TapHandle& out) {
  out = TapHandle{};
  if (processes.empty()) return false;

  audio::TapDescription tap;
  tap.name = "Velto";
  tap.processes = processes;
  tap.stereoMixdown = true;
  tap.isPrivate = true;
  tap.muteBehavior = passthrough ? audio::TapMuteBehavior::Unmuted : audio::TapMuteBehavior::Muted;
  AudioObjectID tapId = 0;
  if (audio::createProcessTap(tap, &tapId) != kAspNoError || tapId == 0) return false;

  const AudioObjectID output =
      wordProperty<AudioObjectID>(audio::kSystemObject, audio::kPropDefaultOutputDevice, 0);
  const std::string outputUid = output != 0 ? textProperty(output, audio::kPropDeviceUid) : "";

  audio::AggregateDescription aggregate;
  aggregate.name = "Velto Tap";
  aggregate.uid = audio::makeUuid();
  aggregate.isPrivate = true;
  aggregate.stacked = false;
  aggregate.tapAutoStart = true;
  aggregate.taps = {audio::AggregateTap{tap.uuid, true}};
  uint32_t channelOffset = 0;
  if (!outputUid.empty()) {
    // The default output is the clock master; its input channels come before the tap's.
    aggregate.mainSubDevice = outputUid;
    aggregate.subDevices = {outputUid};
    channelOffset = inputChannels(output);
  }

  AudioObjectID aggregateId = 0;
  if (audio::createAggregateDevice(aggregate, &aggregateId) != kAspNoError || aggregateId == 0) {
    audio::destroyProcessTap(tapId);
    return false;
  }
  out.tap = tapId;
  out.aggregate = aggregateId;
  out.channelOffset = channelOffset;
  return true;
}

void destroyTap(TapHandle& tap) {
  if (tap.aggregate != 0) audio::destroyAggregateDevice(tap.aggregate);
  if (tap.tap != 0) audio::destroyProcessTap(tap.tap);
  tap = TapHandle{};
}

} // namespace velto
