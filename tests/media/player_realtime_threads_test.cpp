// Real-time safety of the player's audio-thread side: every heap allocation and every lock, wait
// or sleep made while Player::render runs is counted, through starts, crossfades at the end and
// on a skip, flushes after seeks, pause and stop ramps, underruns and tracks that end early;
// the count must be 0. The allocation and lock functions of the process are interposed (as weak
// definitions, so that another suite of this program may bring its own) and count only on a
// thread flagged while it renders. Sanitizers interpose the same functions: there the paths
// still run (checked for memory errors and races), but nothing is counted.
#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "player_fixture.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELTO_PLAYER_COUNTS 0
#else
#define VELTO_PLAYER_COUNTS 1
#endif

namespace {

thread_local bool tRendering = false;
std::atomic<uint64_t> gAllocations{0};
std::atomic<uint64_t> gLocks{0};

inline void noteAllocation() {
  if (tRendering) gAllocations.fetch_add(1, std::memory_order_relaxed);
}
inline void noteLock() {
  if (tRendering) gLocks.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

#if VELTO_PLAYER_COUNTS

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);

__attribute__((weak)) void* malloc(size_t size) noexcept {
  noteAllocation();
  return __libc_malloc(size);
}
__attribute__((weak)) void* calloc(size_t count, size_t size) noexcept {
  noteAllocation();
  return __libc_calloc(count, size);
}
__attribute__((weak)) void* realloc(void* pointer, size_t size) noexcept {
  noteAllocation();
  return __libc_realloc(pointer, size);
}
__attribute__((weak)) void free(void* pointer) noexcept {
  if (pointer != nullptr) noteAllocation();
  __libc_free(pointer);
}
__attribute__((weak)) void* aligned_alloc(size_t alignment, size_t size) noexcept {
  noteAllocation(); // over-aligned new comes this way
  return __libc_memalign(alignment, size);
}
} // extern "C"

namespace {

// The C library's definition, looked up once per function; a plain atomic, since a guarded
// static could lock itself.
template <typename Fn>
Fn nextDefinition(std::atomic<void*>& cache, const char* name) {
  void* fn = cache.load(std::memory_order_acquire);
  if (fn == nullptr) {
    fn = dlsym(RTLD_NEXT, name);
    cache.store(fn, std::memory_order_release);
  }
  return reinterpret_cast<Fn>(fn);
}

#define VELTO_COUNT_LOCK(ret, name, params, args, except)                                          \
  extern "C" __attribute__((weak)) ret name params except {                                        \
    static std::atomic<void*> cache{nullptr};                                                      \
    noteLock();                                                                                    \
    return nextDefinition<ret(*) params>(cache, #name) args;                                       \
  }

} // namespace

VELTO_COUNT_LOCK(int, pthread_mutex_lock, (pthread_mutex_t * m), (m), noexcept)
VELTO_COUNT_LOCK(int, pthread_cond_wait, (pthread_cond_t * c, pthread_mutex_t* m), (c, m), )
VELTO_COUNT_LOCK(int, pthread_cond_timedwait,
                 (pthread_cond_t * c, pthread_mutex_t* m, const struct timespec* t), (c, m, t), )
VELTO_COUNT_LOCK(int, pthread_cond_clockwait,
                 (pthread_cond_t * c, pthread_mutex_t* m, clockid_t k, const struct timespec* t),
                 (c, m, k, t), )
VELTO_COUNT_LOCK(int, nanosleep, (const struct timespec* t, struct timespec* r), (t, r), )
VELTO_COUNT_LOCK(int, sched_yield, (void), (), noexcept)

#endif // VELTO_PLAYER_COUNTS

namespace velto::test {
namespace {

class PlayerRealtimeThreads : public PlayerTest {
protected:
  void renderInto(float* interleaved, uint32_t frames) override {
    tRendering = true;
    player->render(interleaved, frames);
    tRendering = false;
  }
};

TEST_F(PlayerRealtimeThreads, CountingSeesAllocationsAndLocksOnAFlaggedThread) {
#if VELTO_PLAYER_COUNTS
  const uint64_t allocations = gAllocations.load();
  const uint64_t locks = gLocks.load();
  tRendering = true;
  {
    volatile size_t size = 64;
    std::vector<char> block(size); // one allocation and one free
    std::mutex m;
    std::lock_guard<std::mutex> lock(m);
  }
  tRendering = false;
  EXPECT_GE(gAllocations.load() - allocations, 2u);
  EXPECT_GE(gLocks.load() - locks, 1u);
#else
  GTEST_SKIP() << "the sanitizer interposes allocation and locking itself";
#endif
}

TEST_F(PlayerRealtimeThreads, RenderNeitherAllocatesNorLocksOnAnyPath) {
  const uint64_t allocations = gAllocations.load();
  const uint64_t locks = gLocks.load();

  // A stereo track, a mono one at 44.1 kHz, a six-channel one and one that cannot be read.
  addTrack("a.wav", constantFrames(2 * kRate, 0.3f, 0.2f));
  ASSERT_TRUE(
      fixtures::writeWav(file("b.wav"), 44100, 1, fixtures::tones({440.0}, 0.4, 44100, 3.0)));
  ASSERT_TRUE(
      fixtures::writeWav(file("c.wav"), kRate, 6, std::vector<float>(6 * 12 * kRate, 0.1f)));
  std::string error;
  ASSERT_NE(player->add(file("b.wav"), error), 0u) << error;
  ASSERT_NE(player->add(file("c.wav"), error), 0u) << error;
  addTrack("d.wav", constantFrames(kRate, 0.1f, 0.1f));
  ASSERT_TRUE(fixtures::writeText(file("d.wav"), "kein Klang"));
  player->crossfade.store(0.5f);

  std::vector<float> out;
  startPlaying(0, 128, out);
  renderFrames(kRate, 128, out);
  player->seek(0.5); // flush and refill
  renderFrames(kRate / 2, 256, out);
  ASSERT_TRUE(renderUntil([this] { return player->transitioning(); }, 128, out, 3 * kRate));
  renderFrames(kRate, 512, out); // through the crossfade into b
  player->pause();
  renderFrames(kRate / 4, 128, out); // pause ramp and hold
  player->play(-1);
  renderFrames(kRate / 4, 128, out);
  player->next(); // skip into c
  ASSERT_TRUE(renderUntil([this] { return player->transitioning(); }, 64, out, kRate));
  renderFrames(kRate, 4096, out);
  for (int i = 0; i < 200 && active().underruns.load() == 0; ++i) {
    renderBlock(4096, out, false); // faster than the reader: underruns
  }
  player->stop();
  ASSERT_TRUE(renderUntil([this] { return !player->playing.load(); }, 32, out, kRate));
  player->play(3); // unreadable: ends at once
  renderFrames(kRate / 10, 128, out);
  EXPECT_FALSE(player->playing.load());
  EXPECT_EQ(active().trackId.load(), player->playlist[3].id);

#if VELTO_PLAYER_COUNTS
  // Unhindered, the renderer outruns the reader: the underrun path ran too.
  EXPECT_GT(player->decks[0].underruns.load() + player->decks[1].underruns.load(), 0u);
  EXPECT_EQ(gAllocations.load() - allocations, 0u);
  EXPECT_EQ(gLocks.load() - locks, 0u);
#else
  (void)allocations;
  (void)locks;
#endif
}

} // namespace
} // namespace velto::test
