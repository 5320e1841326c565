#include "platform/desktop/desktop.h"

#include <GLFW/glfw3.h>

#include "platform/dispatch/main_queue.h"

namespace platform::desktop {
namespace {

bool gUp = false;
std::string* gInitError = nullptr;

void keepError(int, const char* text) {
  if (gInitError != nullptr && gInitError->empty() && text != nullptr) *gInitError = text;
}

// Any thread: an empty event ends the main thread's glfwWaitEventsTimeout.
void wakeEventLoop() {
  glfwPostEmptyEvent();
}

} // namespace

bool initDesktop(std::string& error) {
  if (gUp) return true;
  error.clear();
  gInitError = &error;
  glfwSetErrorCallback(keepError);
  const bool ok = glfwInit() == GLFW_TRUE;
  glfwSetErrorCallback(nullptr);
  gInitError = nullptr;
  if (!ok) {
    if (error.empty()) error = "no display";
    return false;
  }
  gUp = true;
  platform::dispatch::setWakeHook(wakeEventLoop);
  return true;
}

void shutdownDesktop() {
  if (!gUp) return;
  platform::dispatch::setWakeHook(nullptr);
  glfwTerminate();
  gUp = false;
}

} // namespace platform::desktop
