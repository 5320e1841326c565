#include "platform/audio/layer/host_time.h"

#include <atomic>
#include <ctime>

namespace platform::audio {
namespace {

std::atomic<bool> gManual{false};
std::atomic<uint64_t> gManualNow{0};

} // namespace

uint64_t hostTimeNow() {
  if (gManual.load(std::memory_order_acquire)) return gManualNow.load(std::memory_order_acquire);
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

void hostTimebase(uint32_t* numer, uint32_t* denom) {
  *numer = 1;
  *denom = 1;
}

void setManualHostTime(bool manual, uint64_t start) {
  gManualNow.store(start, std::memory_order_release);
  gManual.store(manual, std::memory_order_release);
}

bool manualHostTime() {
  return gManual.load(std::memory_order_acquire);
}

void advanceManualHostTime(uint64_t nanoseconds) {
  gManualNow.fetch_add(nanoseconds, std::memory_order_acq_rel);
}

void setManualHostTimeNow(uint64_t now) {
  gManualNow.store(now, std::memory_order_release);
}

} // namespace platform::audio
