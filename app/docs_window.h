// The API documentation window: a window of its own (its own GLFW window and ImGui context)
// that shows the rendered Markdown of the command API's documentation in a read-only text view.
// A controller that builds the window on first use; closing the window only hides it. Owned by
// the shell for the whole run. Threading: main thread only.
#pragma once

#include <memory>
#include <string>

#include "app/text_view.h"
#include "platform/desktop/desktop_window.h"

namespace velto {

class DocsWindow {
public:
  static constexpr int kWidth = 920; // content size when built
  static constexpr int kHeight = 760;
  static constexpr int kMinWidth = 560;
  static constexpr int kMinHeight = 400;
  static constexpr float kSectionGap = 30.0f; // a shown section's heading below the top edge

  explicit DocsWindow(std::string markdown, std::string title = "API-Dokumentation");
  ~DocsWindow();

  // Creates the window (hidden) with its fonts and renders the text; again: a new window and
  // view. False with the reason when the window cannot be opened. Leaves the caller's GL and
  // ImGui contexts current.
  bool build(std::string& error);
  // Builds if needed and brings the window to the front; scroll position and selection stay.
  void show();
  // Shows the window with the first whole line that equals `heading` kSectionGap below the top
  // of the visible text and a caret at its start; a text that is no whole line changes nothing.
  void showSection(const std::string& heading);
  // Builds if needed and writes what the window shows as a PNG (the window stays as it was);
  // false with the reason in `error`.
  bool writeSnapshot(const std::string& path, std::string& error);

  // One frame while the window is shown; a request to close hides it. From the frame loop.
  void frame();
  bool visible() const;
  // Destroys the window (before the desktop layer ends).
  void close();

  // The first whole line of `plain` equal to `line`, looked for between two line feeds (so the
  // first line never matches); not found otherwise.
  static TextRange findLine(const std::string& plain, const std::string& line);

  TextView& view() { return view_; }
  platform::desktop::DesktopWindow* window() { return window_.get(); }

private:
  bool draw(const char* snapshotPath, std::string& error);

  std::string markdown_;
  std::string title_;
  std::unique_ptr<platform::desktop::DesktopWindow> window_;
  TextView view_;
  bool shown_ = false;
  bool focus_ = false; // the next frame gives the text the keyboard
};

} // namespace velto
