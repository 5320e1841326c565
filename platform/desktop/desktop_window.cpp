#include "platform/desktop/desktop_window.h"

#include <cfloat>

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#include <backends/imgui_impl_glfw.h>
#include <backends/imgui_impl_opengl3.h>
#include <imgui.h>

#include "platform/desktop/gl.h"
#include "platform/desktop/snapshot.h"

namespace platform::desktop {
namespace {

bool gPointerAway = false; // see setPointerAway

// GLFW calls these for whichever window got the event; each one hands it to that window's own
// ImGui context, so several windows never share input.
ImGuiContext* contextOf(GLFWwindow* window) {
  auto* self = static_cast<DesktopWindow*>(glfwGetWindowUserPointer(window));
  return self != nullptr ? self->imgui() : nullptr;
}

template <typename F>
void inContextOf(GLFWwindow* window, F&& forward) {
  ImGuiContext* context = contextOf(window);
  if (context == nullptr) return;
  ImGuiContext* previous = ImGui::GetCurrentContext();
  ImGui::SetCurrentContext(context);
  forward();
  ImGui::SetCurrentContext(previous);
}

void onFocus(GLFWwindow* w, int focused) {
  inContextOf(w, [&] { ImGui_ImplGlfw_WindowFocusCallback(w, focused); });
}
void onEnter(GLFWwindow* w, int entered) {
  inContextOf(w, [&] { ImGui_ImplGlfw_CursorEnterCallback(w, entered); });
}
void onButton(GLFWwindow* w, int button, int action, int mods) {
  inContextOf(w, [&] { ImGui_ImplGlfw_MouseButtonCallback(w, button, action, mods); });
}
void onScroll(GLFWwindow* w, double x, double y) {
  inContextOf(w, [&] { ImGui_ImplGlfw_ScrollCallback(w, x, y); });
}
void onKey(GLFWwindow* w, int key, int scancode, int action, int mods) {
  inContextOf(w, [&] { ImGui_ImplGlfw_KeyCallback(w, key, scancode, action, mods); });
}
void onChar(GLFWwindow* w, unsigned int c) {
  inContextOf(w, [&] { ImGui_ImplGlfw_CharCallback(w, c); });
}

void centre(GLFWwindow* window, int width, int height) {
  GLFWmonitor* monitor = glfwGetPrimaryMonitor();
  const GLFWvidmode* mode = monitor != nullptr ? glfwGetVideoMode(monitor) : nullptr;
  if (mode == nullptr) return;
  int mx = 0, my = 0;
  glfwGetMonitorPos(monitor, &mx, &my);
  glfwSetWindowPos(window, mx + (mode->width - width) / 2, my + (mode->height - height) / 2);
}

} // namespace

DesktopWindow::~DesktopWindow() {
  close();
}

bool DesktopWindow::open(const WindowOptions& options, std::string& error) {
  if (window_ != nullptr) return true;
  glfwDefaultWindowHints();
  glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
  glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 2);
  glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
  glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, GLFW_TRUE);
  glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE); // shown once placed
  window_ = glfwCreateWindow(options.width, options.height, options.title, nullptr, nullptr);
  if (window_ == nullptr) {
    const char* why = nullptr;
    glfwGetError(&why);
    error = why != nullptr ? why : "no OpenGL 3.2 window";
    return false;
  }
  glfwSetWindowUserPointer(window_, this);
  if (options.minWidth > 0 || options.minHeight > 0) {
    glfwSetWindowSizeLimits(window_, options.minWidth > 0 ? options.minWidth : GLFW_DONT_CARE,
                            options.minHeight > 0 ? options.minHeight : GLFW_DONT_CARE,
                            GLFW_DONT_CARE, GLFW_DONT_CARE);
  }
  centre(window_, options.width, options.height);
  glfwMakeContextCurrent(window_);
  // Frames are paced by the frame loop; a blocking swap would hold up the main queue.
  glfwSwapInterval(0);

  context_ = ImGui::CreateContext();
  ImGui::SetCurrentContext(context_);
  ImGui::GetIO().IniFilename = nullptr;
  if (options.visible) show();
  return true;
}

bool DesktopWindow::startBackends(std::string& error) {
  if (window_ == nullptr) return false;
  if (backends_) return true;
  glfwMakeContextCurrent(window_);
  ImGui::SetCurrentContext(context_);
  if (!ImGui_ImplGlfw_InitForOpenGL(window_, false)) {
    error = "ImGui GLFW back end";
    return false;
  }
  if (!ImGui_ImplOpenGL3_Init("#version 150")) {
    ImGui_ImplGlfw_Shutdown();
    error = "ImGui OpenGL 3 back end";
    return false;
  }
  glfwSetWindowFocusCallback(window_, onFocus);
  glfwSetCursorEnterCallback(window_, onEnter);
  glfwSetMouseButtonCallback(window_, onButton);
  glfwSetScrollCallback(window_, onScroll);
  glfwSetKeyCallback(window_, onKey);
  glfwSetCharCallback(window_, onChar);
  backends_ = true;
  return true;
}

void DesktopWindow::close() {
  if (window_ == nullptr) return;
  glfwMakeContextCurrent(window_);
  if (context_ != nullptr) {
    ImGui::SetCurrentContext(context_);
    if (backends_) {
      ImGui_ImplOpenGL3_Shutdown();
      ImGui_ImplGlfw_Shutdown();
      backends_ = false;
    }
    ImGui::DestroyContext(context_);
    context_ = nullptr;
  }
  glfwMakeContextCurrent(nullptr);
  glfwDestroyWindow(window_);
  window_ = nullptr;
}

void DesktopWindow::setPointerAway(bool away) {
  gPointerAway = away;
}

void DesktopWindow::beginFrame() {
  glfwMakeContextCurrent(window_);
  ImGui::SetCurrentContext(context_);
  ImGui_ImplOpenGL3_NewFrame();
  ImGui_ImplGlfw_NewFrame();
  if (gPointerAway) {
    // After the back end has read the pointer, before ImGui takes it in.
    ImGuiIO& io = ImGui::GetIO();
    io.MousePos = ImVec2(-FLT_MAX, -FLT_MAX);
    for (bool& down : io.MouseDown) down = false;
    io.MouseWheel = io.MouseWheelH = 0.0f;
  }
  ImGui::NewFrame();
}

bool DesktopWindow::endFrame(const float clear[4], const char* snapshotPath, std::string& error) {
  ImGui::Render();
  int width = 0, height = 0;
  framebufferSize(width, height);
  bool ok = true;
  if (snapshotPath != nullptr) {
    ok = renderSnapshot(width, height, clear, snapshotPath, error);
  }
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  glViewport(0, 0, width, height);
  glClearColor(clear[0], clear[1], clear[2], clear[3]);
  glClear(GL_COLOR_BUFFER_BIT);
  ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
  glfwSwapBuffers(window_);
  return ok;
}

void DesktopWindow::enterFullScreen() {
  GLFWmonitor* monitor = glfwGetPrimaryMonitor();
  const GLFWvidmode* mode = monitor != nullptr ? glfwGetVideoMode(monitor) : nullptr;
  if (window_ == nullptr || mode == nullptr) return;
  glfwSetWindowMonitor(window_, monitor, 0, 0, mode->width, mode->height, mode->refreshRate);
}

void DesktopWindow::show() {
  if (window_ == nullptr) return;
  glfwShowWindow(window_);
  glfwFocusWindow(window_);
}

void DesktopWindow::hide() {
  if (window_ != nullptr) glfwHideWindow(window_);
}

void DesktopWindow::cancelClose() {
  if (window_ != nullptr) glfwSetWindowShouldClose(window_, GLFW_FALSE);
}

void DesktopWindow::minimise() {
  if (window_ != nullptr) glfwIconifyWindow(window_);
}

void DesktopWindow::requestClose() {
  if (window_ != nullptr) glfwSetWindowShouldClose(window_, GLFW_TRUE);
}

bool DesktopWindow::closeRequested() const {
  return window_ == nullptr || glfwWindowShouldClose(window_) == GLFW_TRUE;
}

bool DesktopWindow::focused() const {
  return window_ != nullptr && glfwGetWindowAttrib(window_, GLFW_FOCUSED) == GLFW_TRUE;
}

bool DesktopWindow::hidden() const {
  return window_ == nullptr || glfwGetWindowAttrib(window_, GLFW_ICONIFIED) == GLFW_TRUE ||
         glfwGetWindowAttrib(window_, GLFW_VISIBLE) == GLFW_FALSE;
}

float DesktopWindow::contentScale() const {
  float x = 1.0f, y = 1.0f;
  if (window_ != nullptr) glfwGetWindowContentScale(window_, &x, &y);
  return x >= 1.0f && x <= 8.0f ? x : 1.0f;
}

void DesktopWindow::framebufferSize(int& width, int& height) const {
  width = height = 0;
  if (window_ != nullptr) glfwGetFramebufferSize(window_, &width, &height);
}

void DesktopWindow::contentSize(int& width, int& height) const {
  width = height = 0;
  if (window_ != nullptr) glfwGetWindowSize(window_, &width, &height);
}

} // namespace platform::desktop
