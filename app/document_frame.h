// What the documentation and help windows share: each is a GLFW window with its own ImGui
// context on the document colours, drawn as one borderless ImGui window over its whole area,
// and hidden (never closed) by its close button. Threading: main thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/desktop/desktop_window.h"

struct GLFWwindow;
struct ImGuiContext;

namespace velto {

// Keeps the caller's GL and ImGui contexts current across the work of another window.
class KeepContexts {
public:
  KeepContexts();
  ~KeepContexts();
  KeepContexts(const KeepContexts&) = delete;
  KeepContexts& operator=(const KeepContexts&) = delete;

private:
  GLFWwindow* gl_;
  ImGuiContext* imgui_;
};

// Opens `window` hidden with the document style in its fresh ImGui context (left current).
bool openDocumentWindow(platform::desktop::DesktopWindow& window,
                        const platform::desktop::WindowOptions& options, std::string& error);

// Destroys the window; the caller's contexts stay current unless they were the window's own.
void closeDocumentWindow(std::unique_ptr<platform::desktop::DesktopWindow>& window);

// A close request hides the window and clears `shown`; true when a frame is to be drawn.
bool documentFrameWanted(platform::desktop::DesktopWindow& window, bool& shown);

// One frame: `content` inside a borderless window `id` over the whole area (given the keyboard
// when `focus`), rendered on the document background, into `snapshotPath` when given; then the
// application shortcut pressed in it, if any, runs.
bool drawDocumentFrame(platform::desktop::DesktopWindow& window, const char* id, bool focus,
                       const char* snapshotPath, std::string& error,
                       const std::function<void()>& content);

} // namespace velto
