// Real-time safety of the engine on a private PipeWire server: three null duplex nodes as
// hardware inputs (one of them mono), three null sinks as hardware outputs, the driver's devices
// running in the server's graph cycles and pads playing, every strip routed everywhere, for about
// two seconds. Every heap allocation and every lock, wait or sleep on a thread that runs one of the
// process callbacks (the streams on the server's nodes and Velto's own nodes) is counted, from
// the first cycle after arming until the first cycle after disarming; the count must be 0.
//
// How the threads are found: a marker callback on every device flags the thread it runs on (the
// server connection's data thread) and leaves it flagged, so everything that thread does while
// armed is counted, the server library's own work between the callbacks included.
#include "engine/engine.h"

#include "effects/fx_table.h"
#include "effects/input_fx.h"
#include "engine_harness.h"
#include "pipewire_engine_test.h"
#include "platform/audio/layer/io_procs.h"
#include "platform/dispatch/main_queue.h"
#include "tests/platform/audiofile_fixtures.h"
#include "tests/support/realtime/realtime_probe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace velto {
namespace {

namespace audio = platform::audio;
using test::NullNode;
using test::waitUntil;

std::atomic<bool> gArmed{false};

struct DeviceMarker {
  audio::ObjectId device = 0;
  audio::IoProcId proc = audio::kNoIoProc;
  std::atomic<uint64_t> cycles{0};
};

AspStatus flagThread(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList*,
                     const audio::TimeStamp*, audio::BufferList*, const audio::TimeStamp*,
                     void* clientData) {
  test::setRealtimeFlag(gArmed.load(std::memory_order_acquire));
  static_cast<DeviceMarker*>(clientData)->cycles.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

// Three microphones (one of them mono) and three speakers.
std::vector<NullNode> hardware() {
  std::vector<NullNode> nodes;
  for (int i = 1; i <= 3; ++i) {
    const std::string n = std::to_string(i);
    // A null source counts as virtual; a null duplex node stands in for a microphone.
    NullNode mic{"mic" + n, "Mic " + n, false, i == 2 ? 1u : 2u};
    mic.mediaClass = "Audio/Duplex";
    nodes.push_back(mic);
    nodes.push_back({"spk" + n, "Out " + n, false, 2});
  }
  return nodes;
}

class PipewireRealtimeSafetyThreads : public test::PipewireEngineTest {
protected:
  PipewireRealtimeSafetyThreads() : PipewireEngineTest(hardware()) {}

  void SetUp() override {
    if (!test::kRealtimeCounting) GTEST_SKIP() << "the sanitizer interposes allocation and locking";
    PipewireEngineTest::SetUp();
  }

  void TearDown() override {
    for (auto& m : markers_) {
      if (m->proc == audio::kNoIoProc) continue;
      audio::stopDevice(m->device, m->proc);
      audio::destroyIoProcId(m->device, m->proc);
    }
    PipewireEngineTest::TearDown();
  }

  std::vector<std::unique_ptr<DeviceMarker>> markers_;
};

TEST_F(PipewireRealtimeSafetyThreads, WholeEngineRunsWithoutAllocatingOrLockingOnDataThreads) {
  std::vector<std::string> uids;
  for (int i = 1; i <= 3; ++i) {
    uids.push_back("mic" + std::to_string(i));
    uids.push_back("spk" + std::to_string(i));
  }
  for (const char* uid : {"VeltoClock_UID", "VeltoDefaultOutputReturn_UID", "VeltoOut1Feed_UID",
                          "VeltoOut2Feed_UID", "VeltoOut3Feed_UID"}) {
    uids.push_back(uid);
  }
  for (const std::string& uid : uids) {
    auto m = std::make_unique<DeviceMarker>();
    m->device = test::deviceForUid(uid);
    ASSERT_NE(m->device, 0u) << uid << "\n" << daemon_->nodes();
    ASSERT_EQ(audio::createIoProcId(m->device, flagThread, m.get(), &m->proc), 0) << uid;
    ASSERT_EQ(audio::startDevice(m->device, m->proc), 0) << uid;
    markers_.push_back(std::move(m));
  }

  engine_ = std::make_unique<Engine>(true);
  for (int i = 0; i < 3; ++i) {
    engine_->setHwInputDevice(i, "mic" + std::to_string(i + 1));
    engine_->setHwOutputDevice(i, "spk" + std::to_string(i + 1));
    engine_->hwInputs[i].fx->enabled[FxId::aec].store(true); // echo references on every bus
  }
  ASSERT_NO_FATAL_FAILURE(test::routeEverywhereWithPads(*engine_, system_->home()));
  // The streams are set up and running before counting starts.
  auto allCycled = [&](uint64_t atLeast) {
    for (const auto& m : markers_) {
      if (m->cycles.load() < atLeast) return false;
    }
    return true;
  };
  ASSERT_TRUE(waitUntil([&] { return allCycled(20); }, std::chrono::seconds(5)));

  const uint64_t allocationsBefore = test::realtimeAllocations();
  const uint64_t locksBefore = test::realtimeLocks();
  std::vector<uint64_t> cyclesBefore;
  for (const auto& m : markers_) cyclesBefore.push_back(m->cycles.load());
  gArmed.store(true);
  engine_->fadeTo(engine_->buses[0].gain, -20.0f, 0.9f);
  for (int step = 0; step < 20; ++step) {
    platform::dispatch::runMainQueueFor(std::chrono::milliseconds(100));
    engine_->buses[step % 6].meter.takeLeft();
    engine_->hwInputs[step % 3].strip.gain.store(dbToGain(-static_cast<float>(step)));
    engine_->buses[1].speaker.store(step % 2 == 0);
    if (step % 5 == 4) engine_->pads.play(1, true);
    if (step == 15) engine_->pads.play(2, false);
  }
  gArmed.store(false);
  // Every flagged thread runs one more marker, which clears its flag.
  std::vector<uint64_t> cyclesArmed;
  for (const auto& m : markers_) cyclesArmed.push_back(m->cycles.load());
  ASSERT_TRUE(waitUntil(
      [&] {
        for (size_t i = 0; i < markers_.size(); ++i) {
          if (markers_[i]->cycles.load() < cyclesArmed[i] + 2) return false;
        }
        return true;
      },
      std::chrono::seconds(3)));
  const uint64_t allocations = test::realtimeAllocations() - allocationsBefore;
  const uint64_t locks = test::realtimeLocks() - locksBefore;
  EXPECT_TRUE(engine_->pads.pads[0].playing.load());

  // Of the two seconds' 750 cycles per device at least one second's worth ran while armed.
  for (size_t i = 0; i < markers_.size(); ++i) {
    EXPECT_GE(cyclesArmed[i] - cyclesBefore[i], 375u) << uids[i];
  }
  EXPECT_EQ(allocations, 0u);
  EXPECT_EQ(locks, 0u);
}

} // namespace
} // namespace velto
