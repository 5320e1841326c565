// The help window: a window of its own (its own GLFW window and ImGui context) with a sidebar
// that lists the help pages and a read-only text view that shows one page, rendered from its
// Markdown. The pages are the Markdown files of one folder, loaded once. It opens only at a help
// key (page, optionally "#" section, optionally "#" item): the page is shown, its section's
// heading scrolled to near the top and the item selected where it stands as a whole word in
// that section. A controller that builds the window on first use; closing the window only
// hides it. Owned by the shell for the whole run. Threading: main thread only.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <imgui.h>

#include "app/text_view.h"
#include "platform/desktop/desktop_window.h"

namespace velto {

inline const ImVec4 kHelpSidebarBg{0.15f, 0.16f, 0.2f, 1.0f};

struct HelpPage {
  std::string key;                   // the page part of a help key
  std::string title;                 // the label of the page's sidebar button
  std::string markdown;              // empty when the file could not be read as UTF-8
  std::vector<std::string> sections; // texts of the second-level headings, in source order
};

// The pages of the folder's "*.md" files (not recursive) in byte order of their names; an
// ordering prefix of up to three characters and a hyphen ("01-") is not part of a page's key.
// A missing folder gives none.
std::vector<HelpPage> loadHelpPages(const std::string& folder);

class HelpWindow {
public:
  static constexpr int kWidth = 1040; // content size when built
  static constexpr int kHeight = 780;
  static constexpr int kMinWidth = 700;
  static constexpr int kMinHeight = 420;
  static constexpr float kSidebarWidth = 220.0f;
  static constexpr float kButtonX = 14.0f;
  static constexpr float kButtonTop = 24.0f; // the first button's top below the sidebar's top
  static constexpr float kButtonStep = 28.0f;
  static constexpr float kButtonWidth = 192.0f;
  static constexpr float kButtonHeight = 26.0f;
  static constexpr float kButtonFontSize = 14.0f;
  static constexpr float kSectionGap = 30.0f; // the heading (or item) below the top edge
  // The found item flashes in the find highlight a moment after the page has settled.
  static constexpr std::chrono::milliseconds kIndicatorDelay{150};
  static constexpr std::chrono::milliseconds kIndicatorTime{1000};

  explicit HelpWindow(const std::string& folder);
  ~HelpWindow();

  // Creates the window (hidden) with its fonts; again: a new window. False with the reason when
  // the window cannot be opened. Leaves the caller's GL and ImGui contexts current.
  bool build(std::string& error);
  // Builds if needed, shows the window and opens the key; the only call that shows it. An
  // unknown page opens the first page; an unknown section or item leaves a caret at the top
  // (or at the heading). Without a window (no display) the view is still updated.
  void showKey(const std::string& key);
  // Builds if needed and writes what the window shows as a PNG (the window stays as it was);
  // false with the reason in `error`.
  bool writeSnapshot(const std::string& path, std::string& error);

  // One frame while the window is shown; a request to close hides it. From the frame loop.
  void frame();
  bool visible() const;
  // Destroys the window (before the desktop layer ends).
  void close();

  // The sidebar and the page, filling the current ImGui window (the window's own frames, and
  // the tests' headless ones).
  void drawContent();

  const std::vector<HelpPage>& pages() const { return pages_; }
  // The page in the view; null before the first showKey.
  const HelpPage* shown() const;
  // How often a page was rendered into the view.
  int renders() const { return renders_; }
  TextView& view() { return view_; }
  platform::desktop::DesktopWindow* window() { return window_.get(); }

  // The first whole line of `plain` equal to `heading` (the first line counts too); not found
  // otherwise.
  static TextRange findHeading(const std::string& plain, const std::string& heading);
  // The first occurrence of `word` inside `within` of `plain` that no letter or digit of any
  // script touches on either side, ignoring case; the word is taken literally. Not found for
  // an empty word.
  static TextRange findWord(const std::string& plain, const std::string& word, TextRange within);

private:
  bool draw(const char* snapshotPath, std::string& error);
  void showIndicator(TextRange range);

  std::vector<HelpPage> pages_;
  std::unique_ptr<platform::desktop::DesktopWindow> window_;
  TextView view_;
  ImFont* buttonFont_ = nullptr; // regular and semibold sidebar titles; null: the window's font
  ImFont* buttonShownFont_ = nullptr;
  int shown_ = -1;
  int renders_ = 0;
  bool open_ = false;       // shown and not closed since
  bool focus_ = false;      // the next frame gives the page the keyboard
  TextRange bringIntoView_; // the item, once the heading has been scrolled to
  bool indicatorOn_ = false;
  unsigned generation_ = 0; // of the latest showKey; older indicators are dropped
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace velto
