// Flush-to-zero and denormals-are-zero for the length of a real-time entry point: after loud
// input the filters and delay lines decay into denormal floats, which cost many times a normal
// float. Header-only; a scope changes only the calling thread's mode and restores it on leaving.
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

namespace velto {

namespace denormals {

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
inline constexpr bool kSupported = true;
// MXCSR: FTZ (bit 15) and DAZ (bit 6).
inline constexpr uint64_t kFlushBits = 0x8040;
inline uint64_t readMode() noexcept {
  return _mm_getcsr();
}
inline void writeMode(uint64_t mode) noexcept {
  _mm_setcsr(static_cast<unsigned>(mode));
}
#elif defined(__aarch64__)
inline constexpr bool kSupported = true;
// FPCR.FZ (bit 24) flushes denormal inputs and results alike.
inline constexpr uint64_t kFlushBits = uint64_t{1} << 24;
inline uint64_t readMode() noexcept {
  uint64_t mode;
  asm volatile("mrs %0, fpcr" : "=r"(mode));
  return mode;
}
inline void writeMode(uint64_t mode) noexcept {
  asm volatile("msr fpcr, %0" : : "r"(mode));
}
#else
inline constexpr bool kSupported = false;
inline constexpr uint64_t kFlushBits = 0;
inline uint64_t readMode() noexcept {
  return 0;
}
inline void writeMode(uint64_t) noexcept {}
#endif

// True when the calling thread currently flushes denormals to zero.
inline bool flushing() noexcept {
  return kSupported && (readMode() & kFlushBits) == kFlushBits;
}

} // namespace denormals

// Sets both flags for its lifetime; the register is written only when it changes.
class DenormalScope {
public:
  DenormalScope() noexcept : saved_(denormals::readMode()) {
    if ((saved_ & denormals::kFlushBits) != denormals::kFlushBits) {
      denormals::writeMode(saved_ | denormals::kFlushBits);
    }
  }
  ~DenormalScope() {
    if ((saved_ & denormals::kFlushBits) != denormals::kFlushBits) denormals::writeMode(saved_);
  }
  DenormalScope(const DenormalScope&) = delete;
  DenormalScope& operator=(const DenormalScope&) = delete;

private:
  uint64_t saved_;
};

} // namespace velto
