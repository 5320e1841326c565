// Construction and teardown of the engine, the names of the driver's virtual outputs, and the
// listener hop that keeps queued work off a destroyed engine.
#include "engine/engine.h"

#include "effects/fx_chain.h"
#include "effects/input_fx.h"
#include "effects/noise_filter.h"
#include "engine/listener_hop.h"
#include "platform/audio/layer/listeners.h"
#include "platform/audio/layer/properties.h"
#include "platform/dispatch/main_queue.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

namespace velto {

namespace {

namespace audio = platform::audio;
namespace dispatch = platform::dispatch;

constexpr AspPropertyAddress kDevicesAddr{audio::kPropDevices, kAspScopeGlobal, kAspElementMain};
constexpr AspPropertyAddress kProcessesAddr{audio::kPropProcessList, kAspScopeGlobal,
                                            kAspElementMain};

// Registered engines with the generation they were registered under. A new engine at the
// address of a destroyed one gets a new generation, so stale work never reaches it either.
struct EngineRegistry {
  std::mutex mutex;
  std::unordered_map<Engine*, uint64_t> generations;
  uint64_t next = 1;
};

EngineRegistry& registry() {
  static EngineRegistry instance;
  return instance;
}

AspStatus devicesListener(audio::ObjectId, uint32_t, const AspPropertyAddress*, void* clientData) {
  hopToMain(static_cast<Engine*>(clientData), &Engine::refreshDevices);
  return 0;
}

AspStatus processesListener(audio::ObjectId, uint32_t, const AspPropertyAddress*,
                            void* clientData) {
  hopToMain(static_cast<Engine*>(clientData), &Engine::refreshApps);
  return 0;
}

std::string homeFolder() {
  const char* home = std::getenv("HOME");
  return home ? std::string(home) : std::string();
}

} // namespace

void registerEngine(Engine* engine) {
  EngineRegistry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.generations[engine] = r.next++;
}

void forgetEngine(Engine* engine) {
  EngineRegistry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.generations.erase(engine);
}

void hopToMain(Engine* engine, void (Engine::*work)()) {
  uint64_t generation = 0;
  {
    EngineRegistry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.generations.find(engine);
    if (it == r.generations.end()) return;
    generation = it->second;
  }
  dispatch::mainAsync([engine, work, generation] {
    {
      EngineRegistry& r = registry();
      std::lock_guard<std::mutex> lock(r.mutex);
      auto it = r.generations.find(engine);
      if (it == r.generations.end() || it->second != generation) return;
    }
    // Destruction also runs on the main thread, so the engine cannot vanish before this returns.
    (engine->*work)();
  });
}

std::string virtualOutUid(int n) {
  return "VeltoOut" + std::to_string(n + 1) + "_UID";
}

std::string virtualOutFeedUid(int n) {
  return "VeltoOut" + std::to_string(n + 1) + "Feed_UID";
}

std::string virtualOutDevice(int n) {
  return "Velto Out " + std::to_string(n + 1);
}

HwInput::HwInput() = default;
HwInput::~HwInput() = default;

Engine::Engine(bool isLive) : live(isLive) {
  for (int i = 0; i < 3; ++i) {
    HwInput& in = hwInputs[i];
    in.strip.init("Input " + std::to_string(i + 1));
    in.analysisRing = std::make_unique<StereoRing>(kAnalysisRingFrames);
    in.strip.analysisRing = in.analysisRing.get();
    in.noiseFilter = std::make_unique<NoiseFilter>();
    in.strip.noiseFilter = in.noiseFilter.get();
    in.fxChain = std::make_unique<FxChain>();
    in.strip.fxChain = in.fxChain.get();
    in.fx = in.fxChain->banks[0].get();
    for (int bus = 0; bus < 3; ++bus) {
      echoRefs[bus][i] = std::make_unique<StereoRing>(kRingFrames);
      in.fx->farEnd[bus] = echoRefs[bus][i].get();
    }
    hwCtx[i] = {this, i};
  }

  for (int k = 0; k < 4; ++k) {
    VirtualIn& v = virtualIns[k];
    v.strip.init(k < 3 ? "Virtual " + std::to_string(k + 1) : std::string("Default"));
    v.mix.assign(kWorkFloats, 0.0f);
    v.scratch.assign(kWorkFloats, 0.0f);
  }

  padsStrip.init("Pads");
  padsStrip.routeMask.store(1);
  padsBuffer.assign(kWorkFloats, 0.0f);
  playerStrip.init("Player");
  playerStrip.routeMask.store(1);
  playerBuffer.assign(kWorkFloats, 0.0f);

  const std::string home = homeFolder();
  if (!home.empty()) {
    settings.padsFolder = home + "/Music/Velto Pads";
    settings.playerFolder = home + "/Music/Velto Player";
  }

  playerTimer = std::make_unique<dispatch::Timer>([this] { player.tick(); });
  playerTimer->start(std::chrono::milliseconds(50), std::chrono::milliseconds(10),
                     dispatch::Duration::zero());

  for (int i = 0; i < 6; ++i) {
    Bus& bus = buses[i];
    bus.init(i < 3 ? "Output " + std::to_string(i + 1) : virtualOutDevice(i - 3));
    busCtx[i] = {this, i};
    if (i < 3) {
      bus.fx = std::make_unique<InputFx>();
      bus.fx->enabled[FxId::feedback].store(false);
      bus.fx->enabled[FxId::limiter].store(true);
    }
  }
  for (int i = 3; i < 6; ++i) buses[i].link.uid = virtualOutFeedUid(i - 3);

  for (int i = 0; i < 16; ++i) {
    apps[i].strip.init("");
    appCtx[i] = {this, i};
  }

  systemStrip.init("Mac-Ton");
  systemStrip.defaultRoute = 8;
  systemLink.uid = "VeltoDefaultOutputReturn_UID";
  systemCtx = {this, 0};
  clockLink.uid = "VeltoClock_UID";
  clockCtx = {this, 0};

  virtualIns[3].strip.routeMask.store(1);

  registerEngine(this);
  audio::addPropertyListener(audio::kSystemObject, &kDevicesAddr, devicesListener, this);
  audio::addPropertyListener(audio::kSystemObject, &kProcessesAddr, processesListener, this);

  refreshDevices();
}

Engine::~Engine() {
  fades.clear();
  tickFades(clock());

  for (InputAnalysis& a : analysis) a.measuring = false;
  updateMeasureTimer();

  if (playerTimer) playerTimer->cancel();
  playerTimer.reset();

  // With no device listed, following the system volume takes the listeners off the device it
  // follows (no timer is created: one exists already, or the engine is not live).
  if (macVolumeDevice != 0) {
    devices.clear();
    watchMacVolume();
  }
  if (macVolumeTimer) macVolumeTimer->cancel();
  macVolumeTimer.reset();

  // Removing a listener waits for a call in flight; work it already queued is dropped by the
  // registry check once the engine is forgotten.
  audio::removePropertyListener(audio::kSystemObject, &kDevicesAddr, devicesListener, this);
  audio::removePropertyListener(audio::kSystemObject, &kProcessesAddr, processesListener, this);
  forgetEngine(this);

  for (int slot = 15; slot >= 0; --slot) {
    AppSource& a = apps[slot];
    if (a.ioProc != audio::kNoIoProc) {
      audio::stopDevice(a.tap.aggregate, a.ioProc);
      audio::destroyIoProcId(a.tap.aggregate, a.ioProc);
      a.ioProc = audio::kNoIoProc;
    }
    if (a.tap.tap != 0 || a.tap.aggregate != 0) destroyTap(a.tap);
  }

  for (HwInput& in : hwInputs) detach(in.link);
  for (Bus& bus : buses) detach(bus.link);
  detach(systemLink);
  detach(clockLink);
}

} // namespace velto
