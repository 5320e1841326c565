#include "app/document_frame.h"

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#include <imgui.h>

#include "app/markdown.h"
#include "app/menus.h"

namespace velto {

KeepContexts::KeepContexts() : gl_(glfwGetCurrentContext()), imgui_(ImGui::GetCurrentContext()) {}

KeepContexts::~KeepContexts() {
  glfwMakeContextCurrent(gl_);
  ImGui::SetCurrentContext(imgui_);
}

bool openDocumentWindow(platform::desktop::DesktopWindow& window,
                        const platform::desktop::WindowOptions& options, std::string& error) {
  platform::desktop::WindowOptions hidden = options;
  hidden.visible = false;
  if (!window.open(hidden, error)) return false;
  ImGuiStyle& style = ImGui::GetStyle();
  style.WindowRounding = 0;
  style.WindowBorderSize = 0;
  style.WindowPadding = ImVec2(0, 0);
  style.Colors[ImGuiCol_WindowBg] = kDocBg;
  style.Colors[ImGuiCol_ScrollbarBg] = kDocBg;
  return true;
}

void closeDocumentWindow(std::unique_ptr<platform::desktop::DesktopWindow>& window) {
  if (!window) return;
  GLFWwindow* gl = glfwGetCurrentContext();
  ImGuiContext* imgui = ImGui::GetCurrentContext();
  const bool ours = imgui == window->imgui();
  window.reset();
  if (!ours) {
    glfwMakeContextCurrent(gl);
    ImGui::SetCurrentContext(imgui);
  }
}

bool documentFrameWanted(platform::desktop::DesktopWindow& window, bool& shown) {
  if (window.closeRequested()) {
    window.cancelClose();
    window.hide();
    shown = false;
    return false;
  }
  return !window.hidden();
}

bool drawDocumentFrame(platform::desktop::DesktopWindow& window, const char* id, bool focus,
                       const char* snapshotPath, std::string& error,
                       const std::function<void()>& content) {
  KeepContexts keep;
  window.beginFrame();
  const ImGuiViewport* viewport = ImGui::GetMainViewport();
  ImGui::SetNextWindowPos(viewport->Pos);
  ImGui::SetNextWindowSize(viewport->Size);
  if (focus) ImGui::SetNextWindowFocus();
  ImGui::Begin(id, nullptr,
               ImGuiWindowFlags_NoDecoration | ImGuiWindowFlags_NoMove |
                   ImGuiWindowFlags_NoSavedSettings | ImGuiWindowFlags_NoBringToFrontOnFocus);
  content();
  // The application's shortcuts work here as in the main window; they run once the frame is
  // done, since one may show or build another window.
  const MenuItem* shortcut = snapshotPath == nullptr ? pressedAppShortcut() : nullptr;
  ImGui::End();
  const float clear[4] = {kDocBg.x, kDocBg.y, kDocBg.z, kDocBg.w};
  const bool drawn = window.endFrame(clear, snapshotPath, error);
  if (shortcut != nullptr) runMenuItem(*shortcut);
  return drawn;
}

} // namespace velto
