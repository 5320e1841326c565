#include "app/docs_window.h"

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#include <imgui.h>

#include "app/markdown.h"
#include "app/window_fonts.h"

namespace velto {
namespace {

namespace desktop = platform::desktop;

// Keeps the caller's GL and ImGui contexts current across the work of another window.
struct KeepContexts {
  KeepContexts() : gl(glfwGetCurrentContext()), imgui(ImGui::GetCurrentContext()) {}
  ~KeepContexts() {
    glfwMakeContextCurrent(gl);
    ImGui::SetCurrentContext(imgui);
  }
  GLFWwindow* gl;
  ImGuiContext* imgui;
};

constexpr int kSnapshotFrame = 3; // layout, scroll and font upload settle in the first frames

} // namespace

DocsWindow::DocsWindow(std::string markdown, std::string title)
    : markdown_(std::move(markdown)), title_(std::move(title)) {}

DocsWindow::~DocsWindow() {
  close();
}

void DocsWindow::close() {
  if (!window_) return;
  GLFWwindow* gl = glfwGetCurrentContext();
  ImGuiContext* imgui = ImGui::GetCurrentContext();
  const bool ours = imgui == window_->imgui();
  window_.reset();
  if (!ours) {
    glfwMakeContextCurrent(gl);
    ImGui::SetCurrentContext(imgui);
  }
  shown_ = false;
}

bool DocsWindow::build(std::string& error) {
  close();
  KeepContexts keep;
  auto window = std::make_unique<desktop::DesktopWindow>();
  desktop::WindowOptions options;
  options.title = title_.c_str();
  options.width = kWidth;
  options.height = kHeight;
  options.minWidth = kMinWidth;
  options.minHeight = kMinHeight;
  options.visible = false;
  if (!window->open(options, error)) return false;
  ImGuiStyle& style = ImGui::GetStyle();
  style.WindowRounding = 0;
  style.WindowBorderSize = 0;
  style.WindowPadding = ImVec2(0, 0);
  style.Colors[ImGuiCol_WindowBg] = kDocBg;
  style.Colors[ImGuiCol_ScrollbarBg] = kDocBg;
  view_.setFonts(loadDocumentFonts(documentFontFiles(), window->contentScale()));
  if (!window->startBackends(error)) {
    view_.setFonts({}); // they went with the window's atlas
    return false;
  }
  view_.setText(VeltoRenderMarkdown(markdown_));
  window_ = std::move(window);
  return true;
}

void DocsWindow::show() {
  std::string error;
  if (!window_ && !build(error)) return;
  window_->show();
  shown_ = true;
  focus_ = true;
}

void DocsWindow::showSection(const std::string& heading) {
  show();
  const TextRange range = findLine(view_.plain(), heading);
  if (!range.found()) return;
  view_.scrollRangeToTop(range, kSectionGap);
  view_.select({range.location, 0});
}

TextRange DocsWindow::findLine(const std::string& plain, const std::string& line) {
  const size_t at = plain.find("\n" + line + "\n");
  if (at == std::string::npos) return {};
  return {at + 1, line.size()};
}

bool DocsWindow::visible() const {
  return window_ && shown_ && !window_->hidden();
}

bool DocsWindow::draw(const char* snapshotPath, std::string& error) {
  KeepContexts keep;
  window_->beginFrame();
  const ImGuiViewport* viewport = ImGui::GetMainViewport();
  ImGui::SetNextWindowPos(viewport->Pos);
  ImGui::SetNextWindowSize(viewport->Size);
  if (focus_ && snapshotPath == nullptr) {
    ImGui::SetNextWindowFocus();
    focus_ = false;
  }
  ImGui::Begin("##docs", nullptr,
               ImGuiWindowFlags_NoDecoration | ImGuiWindowFlags_NoMove |
                   ImGuiWindowFlags_NoSavedSettings | ImGuiWindowFlags_NoBringToFrontOnFocus);
  view_.draw("##text", ImVec2(0, 0));
  ImGui::End();
  const float clear[4] = {kDocBg.x, kDocBg.y, kDocBg.z, kDocBg.w};
  return window_->endFrame(clear, snapshotPath, error);
}

void DocsWindow::frame() {
  if (!window_ || !shown_) return;
  if (window_->closeRequested()) {
    window_->cancelClose();
    window_->hide();
    shown_ = false;
    return;
  }
  if (window_->hidden()) return;
  std::string ignored;
  draw(nullptr, ignored);
}

bool DocsWindow::writeSnapshot(const std::string& path, std::string& error) {
  if (!window_ && !build(error)) return false;
  for (int i = 1; i < kSnapshotFrame; ++i) draw(nullptr, error);
  return draw(path.c_str(), error);
}

} // namespace velto
