// CPU time of the calling thread in nanoseconds: the comparisons run on a shared, often busy
// machine, where wall-clock time would count other programs' turns as ours.
#pragma once

#include <time.h>

namespace compare {

inline double threadCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

} // namespace compare
