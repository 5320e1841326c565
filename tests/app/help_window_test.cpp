// The help window's content on the headless harness, over pages written into a temporary
// folder: which files become which pages, how a help key picks the page, scrolls to its
// section and selects its item, the whole-word search, and the sidebar; and the real window on
// a virtual X server of its own, which only hides when closed.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <imgui.h>

#include "app/help_window.h"
#include "platform/desktop/desktop.h"
#include "platform/desktop/desktop_window.h"
#include "platform/dispatch/main_queue.h"
#include "tests/support/ui/ui_harness.h"
#include "tests/support/ui/ui_steps.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

extern char** environ;

namespace {

namespace fs = std::filesystem;
using velto::HelpWindow;
using velto::TextRange;
using velto::test::Box;
using velto::test::drawnIn;
using velto::test::UiHarness;
constexpr size_t npos = std::string::npos;

struct Folder {
  Folder() {
    path = fs::temp_directory_path() /
           ("velto-help-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fs::create_directories(path);
  }
  ~Folder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(path / name, std::ios::binary) << text;
  }
  fs::path path;
  static inline int counter = 0;
};

TEST(HelpPages, FileNamesGiveKeysInByteOrderAndTheFirstHeadingNamesThePage) {
  Folder folder;
  folder.write("02-mixer.md", "# Mischpult\n## Fader\n## **Fett** Teil\n");
  folder.write("01-uebersicht.md", "Ohne Überschrift\n");
  folder.write("notes.txt", "# Kein Blatt\n");
  folder.write("Readme.MD", "# Kein Blatt\n");
  folder.write("hardware-inputs.md", "# hardware-inputs\n# Eingänge\n# Später\n");
  folder.write("abc-def.md", "```\n## Im Zaun\n```\n");
  folder.write("-x.md", "# X\r\n## Zwei\r\n");
  folder.write("10-zehn.md", "# Zehn\n");
  folder.write("2-zwei.md", "# Zwei\n");
  folder.write("kaputt.md", "# Kaputt \xFF\xFE\n## A\n");
  fs::create_directories(folder.path / "sub");
  folder.write("sub/tief.md", "# Tief\n");
  struct Expect {
    const char* key;
    const char* title;
    std::vector<std::string> sections;
    bool empty; // the Markdown read as the empty text
  };
  const Expect expected[] = {
      {"x", "X", {"Zwei"}, false}, // "\r\n" cuts an empty line in between
      {"uebersicht", "uebersicht", {}, false},
      {"mixer", "Mischpult", {"Fader", "**Fett** Teil"}, false},
      {"zehn", "Zehn", {}, false}, // "10-" sorts before "2-"
      {"zwei", "Zwei", {}, false},
      {"def", "def", {"Im Zaun"}, false}, // heading lines in a fence count too
      {"hardware-inputs", "Eingänge", {}, false},
      {"kaputt", "kaputt", {}, true},
  };
  const std::vector<velto::HelpPage> pages = velto::loadHelpPages(folder.path.string());
  ASSERT_EQ(pages.size(), std::size(expected));
  for (size_t i = 0; i < pages.size(); ++i) {
    EXPECT_EQ(pages[i].key, expected[i].key) << i;
    EXPECT_EQ(pages[i].title, expected[i].title) << i;
    EXPECT_EQ(pages[i].sections, expected[i].sections) << i;
    EXPECT_EQ(pages[i].markdown.empty(), expected[i].empty) << i;
  }
  EXPECT_TRUE(velto::loadHelpPages((folder.path / "fehlt").string()).empty());
  EXPECT_TRUE(velto::loadHelpPages("").empty());
}

TEST(HelpPages, HeadingsAreWholeLinesTheFirstOneIncluded) {
  const std::string plain = "Titel\nEin Fader hier\nFader\nFader\nPegel";
  struct Case {
    const char* heading;
    size_t location;
  };
  const Case cases[] = {
      {"Titel", 0}, {"Fader", 21}, {"Ein", npos}, {"Pegel", npos}, {"ader", npos}};
  for (const Case& c : cases) {
    const TextRange r = HelpWindow::findHeading(plain, c.heading);
    EXPECT_EQ(r.location, c.location) << c.heading;
    if (r.found()) {
      EXPECT_EQ(plain.substr(r.location, r.length), c.heading);
    }
  }
}

TEST(HelpPages, WordsMatchWholeIgnoringCaseAndTakenLiterally) {
  struct Case {
    const char* plain;
    const char* word;
    size_t from;       // the search range starts here and runs to the end
    const char* found; // the matched text; null: none
    size_t location;
  };
  const Case cases[] = {
      {"Die Stärke zählt", "stärke", 0, "Stärke", 4},
      {"DIE STÄRKE", "Stärke", 0, "STÄRKE", 4},
      {"Lautstärke und Stärken", "stärke", 0, nullptr, 0},
      {"ÄRGER", "ärger", 0, "ÄRGER", 0},
      {"FXChain, dann FX.", "fx", 0, "FX", 14},
      {"über2 über", "über", 0, "über", 7},
      {"x_y", "x", 0, "x", 0}, // an underscore is neither letter nor digit
      {"axb a.b", "a.b", 0, "a.b", 4},
      {"f(x) = 1", "f(x)", 0, "f(x)", 0},
      {"a1+1 1+1=2", "1+1", 0, "1+1", 5},
      {"a [ab] b", "[ab]", 0, "[ab]", 2},
      {"a b", "[ab]", 0, nullptr, 0},
      {"weiter \\E hier", "\\E", 0, "\\E", 7},
      {"Regler hier, Regler dort", "regler", 1, "Regler", 13},
      {"Regler", "", 0, nullptr, 0},
  };
  for (const Case& c : cases) {
    const std::string plain = c.plain;
    const TextRange r =
        HelpWindow::findWord(plain, c.word, TextRange{c.from, plain.size() - c.from});
    if (c.found == nullptr) {
      EXPECT_FALSE(r.found()) << c.word << " in " << c.plain;
      continue;
    }
    ASSERT_TRUE(r.found()) << c.word << " in " << c.plain;
    EXPECT_EQ(r.location, c.location) << c.word << " in " << c.plain;
    EXPECT_EQ(plain.substr(r.location, r.length), c.found) << c.word << " in " << c.plain;
  }
  // The range's end bounds the search.
  EXPECT_FALSE(HelpWindow::findWord("Regler", "Regler", TextRange{0, 5}).found());
}

// A page long enough that its later sections lie below the first screen.
std::string longPage() {
  std::string md = "# Lang\nEin Regler steht schon hier oben.\n";
  for (int i = 0; i < 60; ++i) md += "Füllzeile " + std::to_string(i) + " ohne Inhalt.\n";
  md += "## Fader\nDie Reglerbank und der FXChain-Knopf.\n";
  for (int i = 0; i < 40; ++i) md += "Fader-Zeile " + std::to_string(i) + ".\n";
  md += "Hier der Regler und FX.\n## Pegel\nDer Pegelwert danach.\n## **Fett** Ende\n";
  for (int i = 0; i < 60; ++i) md += "Nachlauf " + std::to_string(i) + ".\n";
  md += "Weiter unten steht Zielwort.\n";
  for (int i = 0; i < 40; ++i) md += "Ausklang " + std::to_string(i) + ".\n";
  return md;
}

class HelpWindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    folder.write("01-start.md", "# Start\nErste Seite.\n");
    folder.write("02-lang.md", longPage());
    folder.write("03-kurz.md", "Kurz ohne Titel.\n");
    help = std::make_unique<HelpWindow>(folder.path.string());
    ui.sceneInWindow([this] {
      top = ImGui::GetCursorScreenPos().y;
      help->drawContent();
    });
  }
  void TearDown() override { platform::dispatch::resetMainQueue(); }
  // The shown key, after the frames that carry out the scrolling.
  void open(const std::string& key) {
    help->showKey(key);
    ui.frames(3);
  }
  // Where the range's first line stands below the top of the view; -1 when not drawn.
  float below(TextRange range) const {
    ImVec2 at;
    if (!range.found() || !help->view().screenPos(range.location, at)) return -1;
    return at.y - top;
  }
  Folder folder;
  UiHarness ui;
  std::unique_ptr<HelpWindow> help;
  float top = 0;
};

TEST_F(HelpWindowTest, AKeyOpensItsPageAtItsSectionAndSelectsItsItemThere) {
  // What the view shows at its top: the page's top, the heading or the item 30 below the top
  // edge, or (an item far below its heading) the item brought into view further down.
  enum Scroll { Top, Heading, Item, Further };
  struct Case {
    const char* key;
    const char* page;
    Scroll scroll;
    const char* selected; // the selected text; null: a caret
    const char* nearby;   // text right at the selection or the caret
  };
  const Case cases[] = {
      {"lang", "lang", Top, nullptr, "Lang"},
      {"lang#Fader", "lang", Heading, nullptr, "Fader\nDie"},
      {"lang#Fader#reglerbank", "lang", Heading, "Reglerbank", "Reglerbank und"},
      // Not the Regler above the heading, nor the one inside a longer word.
      {"lang#Fader#regler", "lang", Further, "Regler", "Regler und FX."},
      {"lang#Fader#FX", "lang", Further, "FX", "FX.\n"},
      // Only after the next heading: not in the section.
      {"lang#Fader#Pegelwert", "lang", Heading, nullptr, "Fader\nDie"},
      {"lang#Fader#Zielwort", "lang", Heading, nullptr, "Fader\nDie"},
      // A heading with markup in its source sets no end to its section's search...
      {"lang#Fett Ende#Zielwort", "lang", Further, "Zielwort", "Zielwort."},
      // ...and does not end the search of the section before it.
      {"lang#Pegel#Zielwort", "lang", Further, "Zielwort", "Zielwort."},
      // Without a section the item is looked for in the whole page.
      {"lang##Zielwort", "lang", Item, "Zielwort", "Zielwort."},
      {"lang#Nichtda#regler", "lang", Item, "Regler", "Regler steht"},
      {"lang#Nichtda", "lang", Top, nullptr, "Lang"},
      {"lang#Fader#Nichtda", "lang", Heading, nullptr, "Fader\nDie"},
      {"Lang#Fader", "start", Top, nullptr, "Start"}, // page keys are case-sensitive
      {"nonexistent", "start", Top, nullptr, "Start"},
      {"", "start", Top, nullptr, "Start"},
      {"kurz#a#b#c", "kurz", Top, nullptr, "Kurz"},
  };
  for (const Case& c : cases) {
    open(c.key);
    ASSERT_NE(help->shown(), nullptr) << c.key;
    EXPECT_EQ(help->shown()->key, c.page) << c.key;
    const std::string& plain = help->view().plain();
    const TextRange sel = help->view().selection();
    EXPECT_EQ(plain.substr(sel.location, sel.length), c.selected ? c.selected : "") << c.key;
    EXPECT_EQ(plain.compare(sel.location, std::string(c.nearby).size(), c.nearby), 0)
        << c.key << ": at " << plain.substr(sel.location, 20);
    const float visible = UiHarness::kHeight - top;
    switch (c.scroll) {
    case Top:
      EXPECT_EQ(help->view().scrollY(), 0) << c.key;
      break;
    case Heading:
      EXPECT_NEAR(below(HelpWindow::findHeading(plain, "Fader")), HelpWindow::kSectionGap, 1.0f)
          << c.key;
      break;
    case Item:
      EXPECT_NEAR(below(sel), HelpWindow::kSectionGap, 1.0f) << c.key;
      break;
    case Further:
      EXPECT_GT(below(sel), visible / 2) << c.key << ": the least scrolling that shows it";
      EXPECT_LT(below(sel), visible - 10) << c.key;
      break;
    }
    if (c.selected != nullptr) {
      EXPECT_GE(below(sel), 0) << c.key << ": the item is in view";
      EXPECT_LT(below(sel), visible - 10) << c.key << ": the item is in view";
    }
  }
}

TEST_F(HelpWindowTest, TheSidebarOpensPagesAtTheirTopAndThePageShownIsNotRenderedAgain) {
  const char* titles[] = {"Start", "Lang", "kurz"};
  struct Step {
    int click;       // the sidebar button clicked (its centre); -1: the key is opened
    const char* key; // when no button is clicked
    const char* page;
    int renders;
    bool atTop;
  };
  const Step steps[] = {
      {-1, "lang#Fader", "lang", 1, false},
      {-1, "lang#Fader", "lang", 1, false}, // scrolled back from the top, not rendered again
      {2, nullptr, "kurz", 2, true},
      {1, nullptr, "lang", 3, true},
      {1, nullptr, "lang", 3, true},
      {0, nullptr, "start", 4, true},
  };
  ui.frame();
  const float left = ImGui::GetStyle().WindowPadding.x;
  for (const Step& s : steps) {
    help->view().scrollRangeToTop({}, 0);
    ui.frames(2);
    if (s.click >= 0) {
      ui.click(ImVec2(left + HelpWindow::kButtonX + HelpWindow::kButtonWidth / 2,
                      top + HelpWindow::kButtonTop + HelpWindow::kButtonStep * float(s.click) +
                          HelpWindow::kButtonHeight / 2));
      ui.frames(2);
    } else {
      open(s.key);
    }
    const std::string label = s.click >= 0 ? titles[s.click] : s.key;
    ASSERT_NE(help->shown(), nullptr) << label;
    EXPECT_EQ(help->shown()->key, s.page) << label;
    EXPECT_EQ(help->renders(), s.renders) << label;
    EXPECT_EQ(help->view().scrollY() == 0, s.atTop) << label;
    // Every page has its button in page order, the shown one (alone) in the accent colour.
    EXPECT_EQ(ui.text().rfind("Start\nLang\nkurz\n", 0), 0u) << ui.text().substr(0, 40);
    const Box accent = drawnIn(velto::kMdAccent);
    const int shown = int(help->shown() - help->pages().data());
    const float buttonTop = top + HelpWindow::kButtonTop + HelpWindow::kButtonStep * float(shown);
    EXPECT_GE(accent.min.x, left + HelpWindow::kButtonX) << label;
    EXPECT_LE(accent.max.x, left + HelpWindow::kButtonX + HelpWindow::kButtonWidth) << label;
    EXPECT_GE(accent.min.y, buttonTop) << label;
    EXPECT_LE(accent.max.y, buttonTop + HelpWindow::kButtonHeight) << label;
  }
  // The page scrolls under the wheel; the sidebar stays.
  open("lang");
  ui.wheel(ImVec2(left + HelpWindow::kSidebarWidth + 300, 400), -5);
  ui.frames(2);
  EXPECT_GT(help->view().scrollY(), 0);
  EXPECT_EQ(ui.text().rfind("Start\nLang\nkurz\n", 0), 0u);
}

TEST_F(HelpWindowTest, TheFoundItemFlashesAMomentLaterUnlessAnotherKeyCameFirst) {
  using namespace std::chrono_literals;
  struct Case {
    const char* key;
    const char* then; // opened right after, before the flash; null: none
    bool flashes;
  };
  const Case cases[] = {
      {"lang#Fader#reglerbank", nullptr, true},
      {"lang#Fader#reglerbank", "kurz", false},
      {"lang#Fader#reglerbank", "lang#Fader", false},
      {"lang#Fader", nullptr, false},
  };
  for (const Case& c : cases) {
    open(c.key);
    if (c.then != nullptr) open(c.then);
    const TextRange selected = help->view().selection();
    EXPECT_FALSE(help->view().found().found()) << c.key << ": not at once";
    std::this_thread::sleep_for(HelpWindow::kIndicatorDelay + 50ms);
    ui.frame();
    const TextRange found = help->view().found();
    EXPECT_EQ(found.found(), c.flashes) << c.key;
    if (c.flashes) {
      EXPECT_EQ(found.location, selected.location) << c.key;
      EXPECT_EQ(found.length, selected.length) << c.key;
      std::this_thread::sleep_for(HelpWindow::kIndicatorTime);
      ui.frame();
      EXPECT_FALSE(help->view().found().found()) << c.key << ": the flash is brief";
      EXPECT_EQ(help->view().selection().length, selected.length) << c.key << ": still selected";
    }
  }
}

TEST(HelpWindowEmpty, WithoutPagesAKeyShowsNothing) {
  UiHarness ui;
  HelpWindow help("/nonexistent/velto-hilfe");
  ui.sceneInWindow([&] { help.drawContent(); });
  help.showKey("uebersicht#Fader#Pegel");
  ui.frames(2);
  EXPECT_EQ(help.shown(), nullptr);
  EXPECT_TRUE(help.view().plain().empty());
  EXPECT_TRUE(ui.text().empty()) << ui.text();
}

// A virtual X server for this process: the display it took is in DISPLAY while it lives.
struct VirtualDisplay {
  VirtualDisplay() {
    int fds[2];
    if (::access("/usr/bin/Xvfb", X_OK) != 0 || ::pipe(fds) != 0) return;
    std::vector<std::string> args = {"Xvfb",      "-displayfd", std::to_string(fds[1]),
                                     "-screen",   "0",          "1600x900x24",
                                     "-nolisten", "tcp"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid, "/usr/bin/Xvfb", nullptr, nullptr, argv.data(), environ) != 0) pid = -1;
    ::close(fds[1]);
    std::string number;
    char c = 0;
    while (pid > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    if (pid <= 0 || number.empty()) return;
    const char* old = std::getenv("DISPLAY");
    if (old != nullptr) previous = old;
    ::setenv("DISPLAY", (":" + number).c_str(), 1);
    up = true;
  }
  ~VirtualDisplay() {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    if (previous.empty()) {
      ::unsetenv("DISPLAY");
    } else {
      ::setenv("DISPLAY", previous.c_str(), 1);
    }
  }
  pid_t pid = -1;
  bool up = false;
  std::string previous;
};

TEST(HelpWindowOnScreen, ClosingOnlyHidesAndTheNextKeyShowsThePageStillLoaded) {
  VirtualDisplay display;
  if (!display.up) GTEST_SKIP() << "no virtual X server";
#if defined(__SANITIZE_ADDRESS__)
  // What the GL and X libraries keep for the process is not ours to report.
  __lsan_disable();
#endif
  std::string error;
  ASSERT_TRUE(platform::desktop::initDesktop(error)) << error;
  Folder folder;
  folder.write("01-start.md", "# Start\n");
  folder.write("02-lang.md", longPage());
  {
    HelpWindow help(folder.path.string());
    EXPECT_FALSE(help.visible()) << "built on first use";
    enum Action { Key, Close, Frame };
    struct Step {
      Action action;
      const char* key;
      bool visible;
      int renders;
    };
    const Step steps[] = {
        {Key, "lang#Fader", true, 1}, {Frame, nullptr, true, 1}, {Close, nullptr, false, 1},
        {Frame, nullptr, false, 1},   {Key, "lang", true, 1},    {Close, nullptr, false, 1},
        {Key, "start", true, 2},
    };
    platform::desktop::DesktopWindow* first = nullptr;
    for (const Step& s : steps) {
      if (s.action == Key) help.showKey(s.key);
      // What the window's close button does; the frame loop then asks the window.
      if (s.action == Close) help.window()->requestClose();
      help.frame();
      ASSERT_NE(help.window(), nullptr);
      if (first == nullptr) first = help.window();
      EXPECT_EQ(help.window(), first) << "the same window throughout";
      EXPECT_EQ(help.visible(), s.visible) << s.action;
      EXPECT_FALSE(help.window()->closeRequested()) << s.action << ": nothing to quit over";
      EXPECT_EQ(help.renders(), s.renders) << s.action;
    }
    EXPECT_EQ(help.shown()->key, "start");
    help.close();
  }
  platform::desktop::shutdownDesktop();
#if defined(__SANITIZE_ADDRESS__)
  __lsan_enable();
#endif
}

} // namespace
