#include "app/docs_window.h"

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#include <imgui.h>

#include "app/document_frame.h"
#include "app/markdown.h"
#include "app/window_fonts.h"

namespace velto {
namespace {

namespace desktop = platform::desktop;

constexpr int kSnapshotFrame = 3; // layout, scroll and font upload settle in the first frames

} // namespace

DocsWindow::DocsWindow(std::string markdown, std::string title)
    : markdown_(std::move(markdown)), title_(std::move(title)) {}

DocsWindow::~DocsWindow() {
  close();
}

void DocsWindow::close() {
  closeDocumentWindow(window_);
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
  if (!openDocumentWindow(*window, options, error)) return false;
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
  const bool focus = focus_ && snapshotPath == nullptr;
  if (focus) focus_ = false;
  return drawDocumentFrame(*window_, "##docs", focus, snapshotPath, error,
                           [this] { view_.draw("##text", ImVec2(0, 0)); });
}

void DocsWindow::frame() {
  if (!window_ || !shown_ || !documentFrameWanted(*window_, shown_)) return;
  std::string ignored;
  draw(nullptr, ignored);
}

bool DocsWindow::writeSnapshot(const std::string& path, std::string& error) {
  if (!window_ && !build(error)) return false;
  for (int i = 1; i < kSnapshotFrame; ++i) draw(nullptr, error);
  return draw(path.c_str(), error);
}

} // namespace velto
