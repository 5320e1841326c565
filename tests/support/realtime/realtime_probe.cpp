#include "tests/support/realtime/realtime_probe.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

namespace {

thread_local bool tFlagged = false;
std::atomic<uint64_t> gAllocations{0};
std::atomic<uint64_t> gLocks{0};

inline void noteAllocation() {
  if (tFlagged) gAllocations.fetch_add(1, std::memory_order_relaxed);
}
inline void noteLock() {
  if (tFlagged) gLocks.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

namespace velto::test {

void setRealtimeFlag(bool on) {
  tFlagged = on;
}
uint64_t realtimeAllocations() {
  return gAllocations.load();
}
uint64_t realtimeLocks() {
  return gLocks.load();
}

bool realtimeProbeWorks() {
  if (!kRealtimeCounting) return false;
  const uint64_t allocations = realtimeAllocations();
  const uint64_t locks = realtimeLocks();
  setRealtimeFlag(true);
  {
    volatile size_t size = 64;
    std::vector<char> block(size); // one allocation and one free
    std::mutex m;
    std::lock_guard<std::mutex> lock(m);
  }
  setRealtimeFlag(false);
  const bool counted = realtimeAllocations() - allocations >= 2 && realtimeLocks() - locks >= 1;
  const uint64_t quiet = realtimeAllocations();
  std::string text(1000, 'x');
  return counted && realtimeAllocations() == quiet;
}

} // namespace velto::test

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)

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
  noteAllocation(); // over-aligned new comes this way
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

} // namespace

#define VELTO_COUNT_LOCK(ret, name, params, args, except)                                          \
  extern "C" ret name params except {                                                              \
    static std::atomic<void*> cache{nullptr};                                                      \
    noteLock();                                                                                    \
    return nextDefinition<ret(*) params>(cache, #name) args;                                       \
  }

VELTO_COUNT_LOCK(int, pthread_mutex_lock, (pthread_mutex_t * m), (m), noexcept)
VELTO_COUNT_LOCK(int, pthread_mutex_trylock, (pthread_mutex_t * m), (m), noexcept)
VELTO_COUNT_LOCK(int, pthread_mutex_timedlock, (pthread_mutex_t * m, const struct timespec* t),
                 (m, t), noexcept)
VELTO_COUNT_LOCK(int, pthread_rwlock_rdlock, (pthread_rwlock_t * l), (l), noexcept)
VELTO_COUNT_LOCK(int, pthread_rwlock_wrlock, (pthread_rwlock_t * l), (l), noexcept)
VELTO_COUNT_LOCK(int, pthread_cond_wait, (pthread_cond_t * c, pthread_mutex_t* m), (c, m), )
VELTO_COUNT_LOCK(int, pthread_cond_timedwait,
                 (pthread_cond_t * c, pthread_mutex_t* m, const struct timespec* t), (c, m, t), )
VELTO_COUNT_LOCK(int, pthread_cond_clockwait,
                 (pthread_cond_t * c, pthread_mutex_t* m, clockid_t k, const struct timespec* t),
                 (c, m, k, t), )
VELTO_COUNT_LOCK(int, sem_wait, (sem_t * s), (s), )
VELTO_COUNT_LOCK(int, sem_timedwait, (sem_t * s, const struct timespec* t), (s, t), )
VELTO_COUNT_LOCK(int, nanosleep, (const struct timespec* t, struct timespec* r), (t, r), )
VELTO_COUNT_LOCK(int, clock_nanosleep,
                 (clockid_t k, int f, const struct timespec* t, struct timespec* r), (k, f, t, r), )
VELTO_COUNT_LOCK(int, usleep, (useconds_t u), (u), )
VELTO_COUNT_LOCK(unsigned int, sleep, (unsigned int s), (s), )
VELTO_COUNT_LOCK(int, sched_yield, (void), (), noexcept)

#endif
