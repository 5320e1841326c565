// One OS window of the program: a GLFW window with an OpenGL 3.2 core context and its own Dear
// ImGui context, the GLFW and OpenGL 3 back ends bound to it and its input routed to that
// context. Owned by the shell, one object per window. Threading: main thread only.
#pragma once

#include <string>

struct GLFWwindow;
struct ImGuiContext;

namespace platform::desktop {

struct WindowOptions {
  const char* title = "";
  int width = 0; // content size in screen units
  int height = 0;
  int minWidth = 0; // 0: no limit
  int minHeight = 0;
  bool visible = true;
};

class DesktopWindow {
public:
  DesktopWindow() = default;
  ~DesktopWindow(); // closes the window if still open
  DesktopWindow(const DesktopWindow&) = delete;
  DesktopWindow& operator=(const DesktopWindow&) = delete;

  // Creates the window centred on the primary monitor, with an empty ImGui context (no
  // settings file) made current. False with the reason in `error`. main thread
  bool open(const WindowOptions& options, std::string& error);
  // Binds the back ends; call after the fonts have been added to the context's atlas.
  bool startBackends(std::string& error);
  // Shuts the back ends down, destroys the ImGui context and the window, in that order.
  void close();

  // Makes this window's GL and ImGui contexts current and starts an ImGui frame.
  void beginFrame();
  // Every window takes the pointer as outside it, its buttons up, whatever the display's
  // pointer does: a picture of the window shows no hover state. Process-wide. main thread
  static void setPointerAway(bool away);
  // Renders the frame over the clear colour, optionally also into `snapshotPath` as a PNG of the
  // framebuffer's size (false with the reason in `error` when it cannot be written), then
  // presents it.
  bool endFrame(const float clear[4], const char* snapshotPath, std::string& error);

  // Goes to full screen on the primary monitor at its current video mode.
  void enterFullScreen();
  void show();
  void hide();
  // Takes back the user's request to close (a window that only hides when closed).
  void cancelClose();
  // Iconifies the window (the frame loop pauses while it is).
  void minimise();
  // Asks the frame loop to end, as the window's close button does.
  void requestClose();

  bool isOpen() const { return window_ != nullptr; }
  bool closeRequested() const;
  bool hidden() const;  // iconified or not shown
  bool focused() const; // holds the keyboard
  // Window backing scale (1 on an ordinary screen).
  float contentScale() const;
  void framebufferSize(int& width, int& height) const;
  void contentSize(int& width, int& height) const;

  GLFWwindow* glfw() const { return window_; }
  ImGuiContext* imgui() const { return context_; }

private:
  GLFWwindow* window_ = nullptr;
  ImGuiContext* context_ = nullptr;
  bool backends_ = false;
};

} // namespace platform::desktop
