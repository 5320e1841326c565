// The real-time clock: one I/O thread per running device, woken once per buffer period at
// absolute deadlines derived from the frame count (no drift). The cycle's "now" is the deadline
// itself, so consecutive cycles tile the device's time line exactly even when a wake-up is late.
#include <algorithm>
#include <cerrno>
#include <ctime>

#include "platform/audio/layer/host_time.h"
#include "platform/audio/layer/system_state.h"

namespace platform::audio {
namespace {

// A thread that falls this far behind starts a new time line instead of catching up.
constexpr uint64_t kResyncNanoseconds = 500000000ull;

void sleepUntil(uint64_t deadline) {
  timespec when{};
  when.tv_sec = time_t(deadline / 1000000000ull);
  when.tv_nsec = long(deadline % 1000000000ull);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
  }
}

} // namespace

void runRealtimeDevice(DeviceIo* io) { // audio thread
  uint64_t start = hostTimeNow();
  uint64_t frames = 0;
  while (io->running.load(std::memory_order_acquire)) {
    const uint32_t cycleFrames = std::clamp(io->bufferFrames.load(std::memory_order_relaxed),
                                            kMinBufferFrames, kMaxBufferFrames);
    frames += cycleFrames;
    uint64_t due = start + framesToNanoseconds(frames);
    sleepUntil(due);
    if (!io->running.load(std::memory_order_acquire)) break;
    const uint64_t now = hostTimeNow();
    if (now > due + kResyncNanoseconds) {
      start = now - framesToNanoseconds(frames);
      due = now;
    }
    io->runCycle(cycleFrames, due);
  }
}

} // namespace platform::audio
