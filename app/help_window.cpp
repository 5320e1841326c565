#include "app/help_window.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#include <unicode/uregex.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include "app/document_frame.h"
#include "app/markdown.h"
#include "app/resource_dir.h"
#include "app/window_fonts.h"
#include "platform/desktop/fonts.h"
#include "platform/dispatch/main_queue.h"

namespace velto {
namespace {

namespace desktop = platform::desktop;
namespace fs = std::filesystem;

constexpr int kSnapshotFrame = 3; // layout, both scrolls and font upload settle first
constexpr int kMaxPrefix = 3;     // characters of an ordering prefix before its hyphen
// Latin-1, Latin Extended-A and general punctuation: what page titles are written in.
constexpr ImWchar kTitleRanges[] = {0x0020, 0x00FF, 0x0100, 0x017F, 0x2000, 0x206F, 0};

std::string readUtf8(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad() || !validUtf8(text)) return {};
  return text;
}

std::string pageKey(const std::string& stem) {
  const size_t hyphen = stem.find('-');
  if (hyphen == std::string::npos) return stem;
  // The prefix is counted in characters, not bytes.
  int characters = 0;
  for (size_t i = 0; i < hyphen; ++i) {
    if ((static_cast<unsigned char>(stem[i]) & 0xC0) != 0x80) ++characters;
  }
  return characters <= kMaxPrefix ? stem.substr(hyphen + 1) : stem;
}

HelpPage makePage(const fs::path& file) {
  HelpPage page;
  page.key = pageKey(file.stem().string());
  page.markdown = readUtf8(file);
  page.title = page.key;
  for (std::string_view line : splitLines(page.markdown)) {
    if (line.substr(0, 2) == "# " && page.title == page.key) page.title = line.substr(2);
    if (line.substr(0, 3) == "## ") page.sections.emplace_back(line.substr(3));
  }
  return page;
}

std::vector<std::string> splitKey(const std::string& key) {
  std::vector<std::string> parts(1);
  for (char c : key) {
    if (c == '#') {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  parts.resize(std::max<size_t>(parts.size(), 3));
  return parts;
}

} // namespace

std::vector<HelpPage> loadHelpPages(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  if (!folder.empty()) {
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      names.push_back(it->path().filename().string());
    }
  }
  std::sort(names.begin(), names.end());
  std::vector<HelpPage> pages;
  for (const std::string& name : names) {
    const fs::path file = fs::path(folder) / name;
    if (file.extension() == ".md") pages.push_back(makePage(file));
  }
  return pages;
}

HelpWindow::HelpWindow(const std::string& folder) : pages_(loadHelpPages(folder)) {}

HelpWindow::~HelpWindow() {
  close();
}

void HelpWindow::close() {
  closeDocumentWindow(window_);
  open_ = false;
}

bool HelpWindow::build(std::string& error) {
  close();
  KeepContexts keep;
  auto window = std::make_unique<desktop::DesktopWindow>();
  desktop::WindowOptions options;
  options.title = "Velto-Hilfe";
  options.width = kWidth;
  options.height = kHeight;
  options.minWidth = kMinWidth;
  options.minHeight = kMinHeight;
  if (!openDocumentWindow(*window, options, error)) return false;
  ImGui::GetStyle().ItemSpacing = ImVec2(0, 0);
  const float scale = window->contentScale();
  const DocumentFontFiles files = documentFontFiles();
  view_.setFonts(loadDocumentFonts(files, scale));
  // The sidebar's titles at their own size, added to the atlas the page fonts were built in.
  ImFontAtlas& atlas = *ImGui::GetIO().Fonts;
  ImFontConfig config;
  config.OversampleH = 2;
  buttonFont_ =
      desktop::addFontChecked(atlas, files.regular, kButtonFontSize * scale, config, kTitleRanges);
  buttonShownFont_ =
      desktop::addFontChecked(atlas, files.bold, kButtonFontSize * scale, config, kTitleRanges);
  if ((buttonFont_ != nullptr || buttonShownFont_ != nullptr) && !atlas.Build()) {
    buttonFont_ = buttonShownFont_ = nullptr;
  }
  if (!window->startBackends(error)) return false;
  window_ = std::move(window);
  return true;
}

const HelpPage* HelpWindow::shown() const {
  return shown_ >= 0 ? &pages_[size_t(shown_)] : nullptr;
}

TextRange HelpWindow::findHeading(const std::string& plain, const std::string& heading) {
  // A line feed put in front lets the first line match; it also shifts every position by one,
  // so the found line feed's position is the heading's.
  const size_t at = ("\n" + plain).find("\n" + heading + "\n");
  if (at == std::string::npos) return {};
  return {at, heading.size()};
}

TextRange HelpWindow::findWord(const std::string& plain, const std::string& word,
                               TextRange within) {
  if (word.empty() || !within.found() || within.end() > plain.size()) return {};
  // Every character of the word written as a code point escape: nothing in it is special.
  std::string pattern = "(?<![\\p{L}\\p{N}])";
  const auto* p = reinterpret_cast<const uint8_t*>(word.data());
  const auto n = static_cast<int32_t>(word.size());
  for (int32_t i = 0; i < n;) {
    UChar32 c = 0;
    U8_NEXT(p, i, n, c);
    if (c < 0) c = 0xFFFD;
    char escape[16];
    std::snprintf(escape, sizeof escape, "\\x{%X}", unsigned(c));
    pattern += escape;
  }
  pattern += "(?![\\p{L}\\p{N}])";

  UErrorCode status = U_ZERO_ERROR;
  URegularExpression* regex =
      uregex_openC(pattern.c_str(), UREGEX_CASE_INSENSITIVE, nullptr, &status);
  UText* text = utext_openUTF8(nullptr, plain.data(), int64_t(plain.size()), &status);
  // The UTF-8 text's native indices are byte offsets, as the view's are.
  uregex_setUText(regex, text, &status);
  uregex_setRegion64(regex, int64_t(within.location), int64_t(within.end()), &status);
  TextRange match;
  if (U_SUCCESS(status) && uregex_findNext(regex, &status) != 0) {
    const int64_t begin = uregex_start64(regex, 0, &status);
    const int64_t end = uregex_end64(regex, 0, &status);
    if (U_SUCCESS(status)) match = {size_t(begin), size_t(end - begin)};
  }
  uregex_close(regex);
  utext_close(text);
  return match;
}

void HelpWindow::showKey(const std::string& key) {
  std::string error;
  if (!window_) build(error);
  ++generation_;
  if (indicatorOn_) {
    view_.showFound({});
    indicatorOn_ = false;
  }
  bringIntoView_ = {};
  if (window_) {
    window_->show();
    open_ = true;
    focus_ = true;
  }
  if (pages_.empty()) return;

  const std::vector<std::string> parts = splitKey(key);
  const std::string& section = parts[1];
  const std::string& item = parts[2];
  int page = 0;
  for (size_t i = 0; i < pages_.size(); ++i) {
    if (pages_[i].key == parts[0]) page = int(i);
  }
  if (page != shown_) {
    shown_ = page;
    view_.setText(VeltoRenderMarkdown(pages_[size_t(page)].markdown));
    ++renders_;
  }

  const std::string& plain = view_.plain();
  const TextRange heading = section.empty() ? TextRange{} : findHeading(plain, section);
  TextRange match;
  if (!item.empty()) {
    TextRange within{heading.found() ? heading.end() : 0, 0};
    size_t end = plain.size();
    const std::vector<std::string>& sections = pages_[size_t(page)].sections;
    const auto at = std::find(sections.begin(), sections.end(), section);
    if (heading.found() && at != sections.end() && at + 1 != sections.end()) {
      // The section's text ends where the next section's heading begins.
      const TextRange next = findHeading(plain, *(at + 1));
      if (next.found() && next.location > heading.end()) end = next.location;
    }
    within.length = end - within.location;
    match = findWord(plain, item, within);
  }

  const TextRange target = heading.found() ? heading : match.found() ? match : TextRange{0, 0};
  if (target.length > 0) {
    view_.scrollRangeToTop(target, kSectionGap);
  } else {
    view_.scrollRangeToTop({}, 0);
  }
  if (!match.found()) {
    view_.select({target.location, 0});
    return;
  }
  view_.select(match);
  bringIntoView_ = match;
  showIndicator(match);
}

void HelpWindow::showIndicator(TextRange range) {
  const std::weak_ptr<int> alive = alive_;
  const unsigned generation = generation_;
  platform::dispatch::mainAfter(kIndicatorDelay, [this, alive, generation, range] {
    if (alive.expired() || generation != generation_) return;
    view_.showFound(range);
    indicatorOn_ = true;
    platform::dispatch::mainAfter(kIndicatorTime, [this, alive, generation] {
      if (alive.expired() || generation != generation_ || !indicatorOn_) return;
      view_.showFound({});
      indicatorOn_ = false;
    });
  });
}

void HelpWindow::drawContent() {
  const ImVec2 size = ImGui::GetContentRegionAvail();
  ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(0, 0));
  ImGui::PushStyleVar(ImGuiStyleVar_ItemSpacing, ImVec2(0, 0));
  ImGui::PushStyleColor(ImGuiCol_ChildBg, kHelpSidebarBg);
  ImGui::BeginChild("##pages", ImVec2(kSidebarWidth, size.y), false,
                    ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoScrollWithMouse);
  int picked = -1;
  ImDrawList& list = *ImGui::GetWindowDrawList();
  for (size_t i = 0; i < pages_.size(); ++i) {
    ImGui::SetCursorPos(ImVec2(kButtonX, kButtonTop + kButtonStep * float(i)));
    const ImVec2 at = ImGui::GetCursorScreenPos();
    ImGui::PushID(int(i));
    if (ImGui::InvisibleButton("##page", ImVec2(kButtonWidth, kButtonHeight))) picked = int(i);
    ImGui::PopID();
    const bool current = int(i) == shown_;
    ImFont* font = current ? buttonShownFont_ : buttonFont_;
    if (font == nullptr) font = ImGui::GetFont();
    const std::string& title = pages_[i].title;
    list.PushClipRect(at, ImVec2(at.x + kButtonWidth, at.y + kButtonHeight), true);
    list.AddText(font, kButtonFontSize, ImVec2(at.x, at.y + (kButtonHeight - kButtonFontSize) / 2),
                 ImGui::ColorConvertFloat4ToU32(current ? kMdAccent : kMdBody), title.data(),
                 title.data() + title.size());
    list.PopClipRect();
  }
  ImGui::EndChild();
  ImGui::PopStyleColor();
  ImGui::SameLine(0, 0);
  ImGui::BeginChild("##page", ImVec2(0, size.y), false,
                    ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoScrollWithMouse);
  view_.draw("##text", ImVec2(0, 0));
  ImGui::EndChild();
  ImGui::PopStyleVar(2);
  // The heading's scroll was carried out by this draw; the item follows with the least
  // scrolling that shows it.
  if (bringIntoView_.found()) {
    view_.scrollRangeVisible(bringIntoView_);
    bringIntoView_ = {};
  }
  if (picked >= 0) showKey(pages_[size_t(picked)].key);
}

bool HelpWindow::visible() const {
  return window_ && open_ && !window_->hidden();
}

bool HelpWindow::draw(const char* snapshotPath, std::string& error) {
  const bool focus = focus_ && snapshotPath == nullptr;
  if (focus) focus_ = false;
  return drawDocumentFrame(*window_, "##help", focus, snapshotPath, error,
                           [this] { drawContent(); });
}

void HelpWindow::frame() {
  if (!window_ || !open_ || !documentFrameWanted(*window_, open_)) return;
  std::string ignored;
  draw(nullptr, ignored);
}

bool HelpWindow::writeSnapshot(const std::string& path, std::string& error) {
  if (!window_ && !build(error)) return false;
  for (int i = 1; i < kSnapshotFrame; ++i) draw(nullptr, error);
  return draw(path.c_str(), error);
}

} // namespace velto
