// The clock of the dispatch stand-in: every delay, interval and time-out is a steady-clock
// duration, so std::chrono::milliseconds and friends convert implicitly. Stateless; any thread.
#pragma once

#include <chrono>

namespace platform::dispatch {

using Clock = std::chrono::steady_clock;
using Duration = Clock::duration;

namespace detail {
// now + d, saturating instead of overflowing for Duration::max().
inline Clock::time_point deadline(Duration d) {
  const auto now = Clock::now();
  return d >= Clock::time_point::max() - now ? Clock::time_point::max() : now + d;
}
} // namespace detail

} // namespace platform::dispatch
