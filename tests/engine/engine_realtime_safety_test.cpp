// Real-time safety of the whole engine: with every strip routed to every destination, hardware
// inputs and outputs on simulated devices, the driver's devices running and pads playing, the
// engine runs for about two seconds under the real-time clock. Every heap allocation and every
// lock, wait or sleep made while one of the engine's device callbacks runs is counted; the count
// must be 0.
//
// How the callbacks are told apart: on every device the test installs a marker callback before
// the engine binds it and another after, and the layer calls a device's callbacks in slot order,
// so the I/O thread is flagged exactly while the engine's callbacks (and the layer's loop
// between them) run. The allocation and lock functions of the process are interposed and count
// only on a flagged thread. Sanitizers interpose the same functions themselves: there the
// engine still runs (and is checked for races and memory errors), but nothing is counted.
#include "engine/engine.h"

#include "effects/fx_table.h"
#include "effects/input_fx.h"
#include "engine_live_harness.h"
#include "platform/audio/layer/io_procs.h"
#include "platform/audio/simulated/sim_devices.h"
#include "platform/dispatch/main_queue.h"
#include "tests/platform/audiofile_fixtures.h"
#include "tests/support/realtime/realtime_probe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace velto {
namespace {

namespace audio = platform::audio;

// The two markers of one device and how many cycles they framed.
struct DeviceMarkers {
  audio::ObjectId device = 0;
  audio::IoProcId begin = audio::kNoIoProc;
  audio::IoProcId end = audio::kNoIoProc;
  std::atomic<uint64_t> cycles{0};
};

std::atomic<bool> gArmed{false};

AspStatus beginMarker(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList*,
                      const audio::TimeStamp*, audio::BufferList*, const audio::TimeStamp*,
                      void* clientData) {
  static_cast<DeviceMarkers*>(clientData)->cycles.fetch_add(1, std::memory_order_relaxed);
  test::setRealtimeFlag(gArmed.load(std::memory_order_acquire));
  return 0;
}

AspStatus endMarker(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList*,
                    const audio::TimeStamp*, audio::BufferList*, const audio::TimeStamp*, void*) {
  test::setRealtimeFlag(false);
  return 0;
}

class EngineRealtimeSafetyThreads : public test::LiveEngineFixture {
protected:
  void addBegin(DeviceMarkers& m) {
    ASSERT_NE(m.device, 0u);
    ASSERT_EQ(audio::createIoProcId(m.device, beginMarker, &m, &m.begin), 0);
    ASSERT_EQ(audio::startDevice(m.device, m.begin), 0);
  }
  void addEnd(DeviceMarkers& m) {
    ASSERT_EQ(audio::createIoProcId(m.device, endMarker, &m, &m.end), 0);
    ASSERT_EQ(audio::startDevice(m.device, m.end), 0);
  }
  void removeMarkers(DeviceMarkers& m) {
    for (audio::IoProcId id : {m.begin, m.end}) {
      if (id == audio::kNoIoProc) continue;
      audio::stopDevice(m.device, id);
      audio::destroyIoProcId(m.device, id);
    }
  }
};

TEST_F(EngineRealtimeSafetyThreads, CountingSeesAllocationsAndLocksOnAFlaggedThread) {
  if (!test::kRealtimeCounting) GTEST_SKIP() << "the sanitizer interposes allocation and locking";
  EXPECT_TRUE(test::realtimeProbeWorks());
}

TEST_F(EngineRealtimeSafetyThreads, WholeEngineRunsWithoutAllocatingOrLockingOnAudioThreads) {
  test::AudioTestOptions options;
  options.clock = audio::ClockMode::RealTime;
  system = std::make_unique<test::AudioTestSystem>(options);
  ASSERT_TRUE(system->started());

  std::vector<std::string> uids;
  for (int i = 1; i <= 3; ++i) {
    auto mic = test::simInput("Mic " + std::to_string(i), "mic" + std::to_string(i),
                              i == 2 ? std::vector<uint32_t>{1} : std::vector<uint32_t>{2});
    mic.input = audio::SignalSource::sine(220.0 * i, 0.3f);
    ASSERT_NE(audio::addSimDevice(mic), 0u);
    auto spk = test::simOutput("Out " + std::to_string(i), "spk" + std::to_string(i),
                               i == 3 ? std::vector<uint32_t>{1, 1} : std::vector<uint32_t>{2});
    ASSERT_NE(audio::addSimDevice(spk), 0u);
    uids.push_back("mic" + std::to_string(i));
    uids.push_back("spk" + std::to_string(i));
  }
  for (const char* uid : {"VeltoClock_UID", "VeltoDefaultOutputReturn_UID", "VeltoOut1Feed_UID",
                          "VeltoOut2Feed_UID", "VeltoOut3Feed_UID"}) {
    uids.push_back(uid);
  }
  std::vector<std::unique_ptr<DeviceMarkers>> markers;
  for (const std::string& uid : uids) {
    markers.push_back(std::make_unique<DeviceMarkers>());
    markers.back()->device = test::deviceForUid(uid);
    addBegin(*markers.back());
  }

  engine = std::make_unique<Engine>(true);
  for (int i = 0; i < 3; ++i) {
    engine->setHwInputDevice(i, "mic" + std::to_string(i + 1));
    engine->setHwOutputDevice(i, "spk" + std::to_string(i + 1));
    engine->hwInputs[i].fx->enabled[FxId::aec].store(true); // echo references on every bus
  }
  for (auto& m : markers) addEnd(*m);
  ASSERT_NO_FATAL_FAILURE(test::routeEverywhereWithPads(*engine, system->home()));

  const uint64_t allocationsBefore = test::realtimeAllocations();
  const uint64_t locksBefore = test::realtimeLocks();
  gArmed.store(true);
  // The main queue runs meanwhile: player tick, volume write-back, fades and meters.
  engine->fadeTo(engine->buses[0].gain, -20.0f, 0.9f);
  for (int step = 0; step < 20; ++step) {
    platform::dispatch::runMainQueueFor(std::chrono::milliseconds(100));
    engine->buses[step % 6].meter.takeLeft();
    engine->hwInputs[step % 3].strip.gain.store(dbToGain(-static_cast<float>(step)));
    engine->buses[1].speaker.store(step % 2 == 0);
    if (step % 5 == 4) engine->pads.play(1, true);
    if (step == 15) engine->pads.play(2, false); // fade-out while armed
  }
  gArmed.store(false);
  EXPECT_TRUE(engine->pads.pads[0].playing.load()); // the loop really sounded all along
  const uint64_t allocations = test::realtimeAllocations() - allocationsBefore;
  const uint64_t locks = test::realtimeLocks() - locksBefore;

  for (auto& m : markers) removeMarkers(*m);
  engine.reset();

  // The callbacks really ran: of the two seconds' 750 cycles per device, at least one second's
  // worth (a sanitizer slows the effect chains enough that a late device skips cycles).
  const uint64_t minCycles = test::kRealtimeCounting ? 375u : 100u;
  for (size_t i = 0; i < markers.size(); ++i) {
    EXPECT_GE(markers[i]->cycles.load(), minCycles) << uids[i];
  }
  if (test::kRealtimeCounting) {
    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(locks, 0u);
  }
}

} // namespace
} // namespace velto
