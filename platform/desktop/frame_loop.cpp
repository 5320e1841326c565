#include "platform/desktop/frame_loop.h"

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#include <algorithm>
#include <chrono>

#include "platform/dispatch/main_queue.h"

namespace platform::desktop {

void runFrameLoop(double framesPerSecond, const FrameLoopHooks& hooks) {
  namespace dispatch = platform::dispatch;
  using Clock = dispatch::Clock;
  const auto period = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(1.0 / std::max(framesPerSecond, 1.0)));
  auto nextFrame = Clock::now();
  for (;;) {
    const auto now = Clock::now();
    const auto wakeAt = std::min(nextFrame, dispatch::nextDeadline());
    if (wakeAt > now) {
      glfwWaitEventsTimeout(std::chrono::duration<double>(wakeAt - now).count());
    } else {
      glfwPollEvents();
    }
    dispatch::runMainQueueUntilIdle();
    if (hooks.quit && hooks.quit()) return;
    const auto after = Clock::now();
    if (after < nextFrame) continue;
    // Stay on the frame grid; a frame that took too long skips the missed slots.
    nextFrame += period;
    if (nextFrame <= after) nextFrame = after + period;
    if (hooks.paused && hooks.paused()) continue;
    if (hooks.frame && !hooks.frame()) return;
  }
}

} // namespace platform::desktop
