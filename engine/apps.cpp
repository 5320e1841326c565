// Captured applications: the sixteen slots, matching the system's audio processes to them, and
// the private tap plus aggregate device that feeds each slot's strip. Main thread only, except
// the aggregate device's callback, which runs on its I/O thread.

#include "engine/engine.h"

#include <algorithm>
#include <utility>

namespace velto {

namespace {

constexpr int kAppSlots = 16;
constexpr uint32_t kRouteDefaultVirtualIn = 8; // bit 3: the "Default" virtual input

// audio thread: the aggregate device's callback; hands the tap's input to the slot's strip.
AspStatus appIoProc(platform::audio::ObjectId, const platform::audio::TimeStamp*,
                    const platform::audio::BufferList* input, const platform::audio::TimeStamp*,
                    platform::audio::BufferList*, const platform::audio::TimeStamp*,
                    void* clientData) {
  auto* ctx = static_cast<Engine::Ctx*>(clientData);
  ctx->engine->processApp(ctx->index, input);
  return 0;
}

void stopCallback(AppSource& source) {
  if (source.ioProc == platform::audio::kNoIoProc) return;
  platform::audio::stopDevice(source.tap.aggregate, source.ioProc);
  platform::audio::destroyIoProcId(source.tap.aggregate, source.ioProc);
  source.ioProc = platform::audio::kNoIoProc;
}

} // namespace

int Engine::slotOf(int n) const {
  if (n < 0) return -1;
  int position = 0;
  for (int slot = 0; slot < kAppSlots; ++slot) {
    if (!apps[slot].used) continue;
    if (position == n) return slot;
    ++position;
  }
  return -1;
}

int Engine::appCount() const {
  return static_cast<int>(
      std::count_if(apps.begin(), apps.end(), [](const AppSource& a) { return a.used; }));
}

AppSource& Engine::app(int n) {
  return apps[slotOf(n)];
}

int Engine::addApp(const std::string& bundleId) {
  if (bundleId.empty()) return -1;
  const int count = appCount();
  for (int i = 0; i < count; ++i) {
    if (apps[slotOf(i)].bundleId == bundleId) return i;
  }
  int slot = 0;
  while (slot < kAppSlots && apps[slot].used) ++slot;
  if (slot == kAppSlots) return -1;

  AppSource& source = apps[slot];
  source.used = true;
  source.bundleId = bundleId;
  source.passthrough = false;
  source.processes.clear();
  source.strip.reset();
  source.strip.routeMask.exchange(kRouteDefaultVirtualIn);
  source.strip.name = appName(bundleId);
  refreshApps();
  // The lowest free slot has as many used slots below it as its own index.
  return slot;
}

void Engine::removeApp(int n) {
  const int slot = slotOf(n);
  if (slot < 0) return;
  AppSource& source = apps[slot];
  rebuildTap(slot, {});
  cancelFade(source.strip.gain);
  source.used = false;
  source.bundleId.clear();
}

void Engine::setAppPassthrough(int n, bool on) {
  const int slot = slotOf(n);
  if (slot < 0 || apps[slot].passthrough == on) return;
  apps[slot].passthrough = on;
  rebuildTap(slot, apps[slot].processes);
}

void Engine::refreshApps() {
  const std::vector<AudioProcess> procs = listAudioProcesses();
  for (int slot = 0; slot < kAppSlots; ++slot) {
    AppSource& source = apps[slot];
    if (!source.used) continue;
    source.playing = false;
    std::vector<AudioObjectID> list;
    for (const AudioProcess& p : procs) {
      if (!belongsToApp(p.bundleId, source.bundleId)) continue;
      list.push_back(p.object);
      source.playing = source.playing || p.runningOutput;
    }
    std::sort(list.begin(), list.end());
    const bool same = list == source.processes;
    if (same && list.empty()) continue;
    if (same && source.ioProc != platform::audio::kNoIoProc) continue;
    rebuildTap(slot, std::move(list));
  }
}

void Engine::rebuildTap(int slot, std::vector<AudioObjectID> processes) {
  if (slot < 0 || slot >= kAppSlots) return;
  AppSource& source = apps[slot];
  // The callback must be gone before the tap, the aggregate or the channel offset change.
  stopCallback(source);
  destroyTap(source.tap);
  source.processes = std::move(processes);
  source.callbacks.exchange(0);
  source.lastAudible.exchange(0);
  if (!live) return;
  if (!createTap(source.processes, source.passthrough, source.tap)) return;

  const AspPropertyAddress sizeAddress{platform::audio::kPropBufferFrameSize, kAspScopeGlobal,
                                       kAspElementMain};
  const uint32_t frames = settings.bufferFrames;
  platform::audio::setPropertyData(source.tap.aggregate, &sizeAddress, 0, nullptr, sizeof frames,
                                   &frames);

  platform::audio::IoProcId id = platform::audio::kNoIoProc;
  if (platform::audio::createIoProcId(source.tap.aggregate, appIoProc, &appCtx[slot], &id) != 0 ||
      id == platform::audio::kNoIoProc) {
    source.ioProc = platform::audio::kNoIoProc;
    return;
  }
  source.ioProc = id;
  platform::audio::startDevice(source.tap.aggregate, id);
}

} // namespace velto
