#include "platform/audio/layer/manual_clock.h"

#include <algorithm>
#include <limits>

#include "platform/audio/layer/host_time.h"
#include "platform/audio/layer/system_state.h"

namespace platform::audio {
namespace {

// The running device due first at or before `target`, lowest object id among equals; null when
// none is due. With the clock's lock held.
DeviceIo* nextDue(ManualClock& clock, uint64_t target) {
  DeviceIo* first = nullptr;
  for (DeviceIo* io : clock.schedule) { // sorted by object id
    if (io->nextDueFrame <= target &&
        (first == nullptr || io->nextDueFrame < first->nextDueFrame)) {
      first = io;
    }
  }
  return first;
}

} // namespace

uint64_t manualHostTimeOfFrame(uint64_t frames) {
  return kManualStartHostTime + framesToNanoseconds(frames);
}

uint64_t clockFrames() {
  AudioSystem& system = audioSystem();
  if (!system.manualRunning.load(std::memory_order_acquire)) return 0;
  std::lock_guard<std::mutex> lock(system.manual.mutex);
  return system.manual.frames;
}

bool advanceFrames(uint64_t frames) {
  AudioSystem& system = audioSystem();
  if (!system.manualRunning.load(std::memory_order_acquire)) return false;
  ManualClock& clock = system.manual;
  std::lock_guard<std::mutex> advancing(clock.advancing);
  uint64_t target;
  {
    std::lock_guard<std::mutex> lock(clock.mutex);
    target = clock.frames + frames;
  }
  // One device cycle per round; the lock is not held while the cycle runs, and the in-flight
  // count lets a concurrent stop wait for it.
  while (true) {
    DeviceIo* io;
    uint32_t cycleFrames = 0;
    uint64_t now;
    {
      std::lock_guard<std::mutex> lock(clock.mutex);
      io = nextDue(clock, target);
      clock.frames = io != nullptr ? io->nextDueFrame : target;
      now = manualHostTimeOfFrame(clock.frames);
      setManualHostTimeNow(now);
      if (io == nullptr) break;
      // A new buffer size takes effect after the cycle already due, so cycles keep tiling.
      cycleFrames = io->nextFrames;
      io->nextFrames = std::clamp(io->bufferFrames.load(std::memory_order_relaxed),
                                  kMinBufferFrames, kMaxBufferFrames);
      io->nextDueFrame = clock.frames + io->nextFrames;
      io->cyclesInFlight.fetch_add(1, std::memory_order_acq_rel);
    }
    io->runCycle(cycleFrames, now);
    io->cyclesInFlight.fetch_sub(1, std::memory_order_acq_rel);
  }
  return true;
}

bool runCycles(uint32_t cycles) {
  AudioSystem& system = audioSystem();
  if (!system.manualRunning.load(std::memory_order_acquire)) return false;
  uint32_t period = std::numeric_limits<uint32_t>::max();
  {
    std::lock_guard<std::mutex> lock(system.manual.mutex);
    for (const DeviceIo* io : system.manual.schedule) {
      period = std::min(period, io->bufferFrames.load(std::memory_order_relaxed));
    }
  }
  if (period == std::numeric_limits<uint32_t>::max()) period = kDefaultBufferFrames;
  return advanceFrames(uint64_t(cycles) * period);
}

} // namespace platform::audio
