// The program's main loop: waits in GLFW's event wait until the next frame (at a fixed rate)
// or the main queue's next deadline, whichever comes first, then runs the main queue until
// idle and draws the frame when it is due. Work posted from other threads wakes the wait
// through the main queue's wake hook (installed by initDesktop). Threading: main thread.
#pragma once

#include <functional>

namespace platform::desktop {

struct FrameLoopHooks {
  // Draws one frame; false ends the loop.
  std::function<bool()> frame;
  // Checked after every wake-up; true ends the loop.
  std::function<bool()> quit;
  // True while frames should not be drawn (the window is hidden); the queue still runs.
  std::function<bool()> paused;
};

// Runs until `quit` answers true or `frame` answers false. main thread
void runFrameLoop(double framesPerSecond, const FrameLoopHooks& hooks);

} // namespace platform::desktop
