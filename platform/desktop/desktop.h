// The desktop stand-in as a whole: GLFW brought up once for the process (it needs a display),
// the main queue's wake hook pointed at GLFW's event wait, and everything torn down again.
// Owned by the shell. Threading: init and shutdown on the main thread; the wake hook it
// installs may be called from any thread.
#pragma once

#include <string>

namespace platform::desktop {

// Starts GLFW and installs the main queue's wake hook. False with a one-line reason in `error`
// (no display, no OpenGL) when it cannot. main thread
bool initDesktop(std::string& error);
// Removes the wake hook and ends GLFW; every window must be gone. Call only after the threads
// that post to the main queue have stopped. Does nothing when init failed. main thread
void shutdownDesktop();

} // namespace platform::desktop
