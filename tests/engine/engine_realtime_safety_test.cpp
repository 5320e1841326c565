// Real-time safety of the whole engine: with every strip routed to every destination, hardware
// inputs and outputs on simulated devices and the driver's devices running, the engine runs for
// about two seconds under the real-time clock. Every heap allocation and every lock, wait or
// sleep made while one of the engine's device callbacks runs is counted; the count must be 0.
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
#include "platform/audio/io_procs.h"
#include "platform/audio/sim_devices.h"
#include "platform/dispatch/main_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <string>
#include <unistd.h>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELTO_COUNT_ON_IO_THREADS 0
#else
#define VELTO_COUNT_ON_IO_THREADS 1
#endif

namespace {

thread_local bool tInsideEngineCallbacks = false;
std::atomic<uint64_t> gAllocations{0};
std::atomic<uint64_t> gLockCalls{0};

inline void noteAllocation() {
  if (tInsideEngineCallbacks) gAllocations.fetch_add(1, std::memory_order_relaxed);
}
inline void noteLock() {
  if (tInsideEngineCallbacks) gLockCalls.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

#if VELTO_COUNT_ON_IO_THREADS

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);

void* malloc(size_t size) noexcept {
  noteAllocation();
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) noexcept {
  noteAllocation();
  return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) noexcept {
  noteAllocation();
  return __libc_realloc(pointer, size);
}
void free(void* pointer) noexcept {
  if (pointer != nullptr) noteAllocation();
  __libc_free(pointer);
}
void* aligned_alloc(size_t alignment, size_t size) noexcept {
  noteAllocation();
  return __libc_memalign(alignment, size);
}
void* memalign(size_t alignment, size_t size) noexcept {
  noteAllocation();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
  noteAllocation();
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return 22; // EINVAL
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return 12; // ENOMEM
  *out = p;
  return 0;
}
} // extern "C"

namespace {

// The next definition of a function (the C library's), looked up once per function. A plain
// atomic instead of a function-local static: guard variables may themselves lock.
template <typename Fn>
Fn realFunction(std::atomic<void*>& cache, const char* name) {
  void* fn = cache.load(std::memory_order_acquire);
  if (fn == nullptr) {
    fn = dlsym(RTLD_NEXT, name);
    cache.store(fn, std::memory_order_release);
  }
  return reinterpret_cast<Fn>(fn);
}

#define VELTO_FORWARD(ret, name, params, args, spec)                                               \
  extern "C" ret name params spec {                                                                \
    static std::atomic<void*> cache{nullptr};                                                      \
    noteLock();                                                                                    \
    return realFunction<ret(*) params>(cache, #name) args;                                         \
  }

} // namespace

VELTO_FORWARD(int, pthread_mutex_lock, (pthread_mutex_t * m), (m), noexcept)
VELTO_FORWARD(int, pthread_mutex_trylock, (pthread_mutex_t * m), (m), noexcept)
VELTO_FORWARD(int, pthread_mutex_timedlock, (pthread_mutex_t * m, const struct timespec* t), (m, t),
              noexcept)
VELTO_FORWARD(int, pthread_rwlock_rdlock, (pthread_rwlock_t * l), (l), noexcept)
VELTO_FORWARD(int, pthread_rwlock_wrlock, (pthread_rwlock_t * l), (l), noexcept)
VELTO_FORWARD(int, pthread_cond_wait, (pthread_cond_t * c, pthread_mutex_t* m), (c, m), )
VELTO_FORWARD(int, pthread_cond_timedwait,
              (pthread_cond_t * c, pthread_mutex_t* m, const struct timespec* t), (c, m, t), )
VELTO_FORWARD(int, pthread_cond_clockwait,
              (pthread_cond_t * c, pthread_mutex_t* m, clockid_t k, const struct timespec* t),
              (c, m, k, t), )
VELTO_FORWARD(int, sem_wait, (sem_t * s), (s), )
VELTO_FORWARD(int, sem_timedwait, (sem_t * s, const struct timespec* t), (s, t), )
VELTO_FORWARD(int, nanosleep, (const struct timespec* t, struct timespec* r), (t, r), )
VELTO_FORWARD(int, clock_nanosleep,
              (clockid_t k, int f, const struct timespec* t, struct timespec* r), (k, f, t, r), )
VELTO_FORWARD(int, usleep, (useconds_t u), (u), )
VELTO_FORWARD(unsigned int, sleep, (unsigned int s), (s), )
VELTO_FORWARD(int, sched_yield, (void), (), noexcept)

#endif // VELTO_COUNT_ON_IO_THREADS

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
  tInsideEngineCallbacks = gArmed.load(std::memory_order_acquire);
  return 0;
}

AspStatus endMarker(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList*,
                    const audio::TimeStamp*, audio::BufferList*, const audio::TimeStamp*, void*) {
  tInsideEngineCallbacks = false;
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
#if VELTO_COUNT_ON_IO_THREADS
  const uint64_t allocations = gAllocations.load();
  const uint64_t locks = gLockCalls.load();
  tInsideEngineCallbacks = true;
  {
    volatile size_t size = 64;
    std::vector<char> block(size); // one allocation and one free
    std::mutex m;
    std::lock_guard<std::mutex> lock(m);
  }
  tInsideEngineCallbacks = false;
  EXPECT_GE(gAllocations.load() - allocations, 2u);
  EXPECT_GE(gLockCalls.load() - locks, 1u);
  // Off the flagged region nothing counts.
  const uint64_t quiet = gAllocations.load();
  std::string text(1000, 'x');
  EXPECT_EQ(gAllocations.load(), quiet);
#else
  GTEST_SKIP() << "the sanitizer interposes allocation and locking itself";
#endif
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
  for (HwInput& in : engine->hwInputs) in.strip.routeMask.store(0x3f);
  for (VirtualIn& v : engine->virtualIns) v.strip.routeMask.store(0x3f);
  engine->padsStrip.routeMask.store(0x3f);
  engine->playerStrip.routeMask.store(0x3f);
  engine->systemStrip.routeMask.store(0xf);
  for (AppSource& app : engine->apps) app.strip.routeMask.store(0xf);
  for (HwInput& in : engine->hwInputs) ASSERT_NE(in.link.device, 0u);
  for (Bus& bus : engine->buses) ASSERT_NE(bus.link.device, 0u);
  ASSERT_NE(engine->clockLink.device, 0u);
  ASSERT_NE(engine->systemLink.device, 0u);

  const uint64_t allocationsBefore = gAllocations.load();
  const uint64_t locksBefore = gLockCalls.load();
  gArmed.store(true);
  // The main queue runs meanwhile: player tick, volume write-back, fades and meters.
  engine->fadeTo(engine->buses[0].gain, -20.0f, 0.9f);
  for (int step = 0; step < 20; ++step) {
    platform::dispatch::runMainQueueFor(std::chrono::milliseconds(100));
    engine->buses[step % 6].meter.takeLeft();
    engine->hwInputs[step % 3].strip.gain.store(dbToGain(-static_cast<float>(step)));
    engine->buses[1].speaker.store(step % 2 == 0);
  }
  gArmed.store(false);
  const uint64_t allocations = gAllocations.load() - allocationsBefore;
  const uint64_t locks = gLockCalls.load() - locksBefore;

  for (auto& m : markers) removeMarkers(*m);
  engine.reset();

  // The callbacks really ran: of the two seconds' 750 cycles per device, at least one second's
  // worth (a sanitizer slows the effect chains enough that a late device skips cycles).
  const uint64_t minCycles = VELTO_COUNT_ON_IO_THREADS ? 375u : 100u;
  for (size_t i = 0; i < markers.size(); ++i) {
    EXPECT_GE(markers[i]->cycles.load(), minCycles) << uids[i];
  }
#if VELTO_COUNT_ON_IO_THREADS
  EXPECT_EQ(allocations, 0u);
  EXPECT_EQ(locks, 0u);
#else
  (void)allocations;
  (void)locks;
#endif
}

} // namespace
} // namespace velto
