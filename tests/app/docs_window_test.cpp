// The documentation window on a real display (without one, this program runs those tests
// again under a virtual X server): a snapshot before any show leaves it hidden, closing only hides
// it and the next show brings back the same window, and a shown section stands 30 below the top of
// the view.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

#include "app/docs_window.h"
#include "platform/desktop/desktop.h"

namespace {

namespace fs = std::filesystem;
using velto::DocsWindow;

class DocsWindowLive : public ::testing::Test {
protected:
  void SetUp() override {
    if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no display";
    std::string error;
    ASSERT_TRUE(platform::desktop::initDesktop(error)) << error;
  }
  void TearDown() override {
    docs.reset();
    platform::desktop::shutdownDesktop();
  }
  void frames(int n) {
    for (int i = 0; i < n; ++i) docs->frame();
  }
  std::unique_ptr<DocsWindow> docs;
};

std::string longDocument() {
  std::string md = "# Titel\n";
  for (int i = 0; i < 80; ++i) {
    md += "## Abschnitt " + std::to_string(i) + "\nText zu Abschnitt " + std::to_string(i) + ".\n";
  }
  return md;
}

TEST_F(DocsWindowLive, ASnapshotLeavesItHiddenAndClosingOnlyHides) {
  docs = std::make_unique<DocsWindow>("# Titel\n## Teil\nText\n");
  const fs::path shot = fs::temp_directory_path() / ("velto-docs-" + std::to_string(::getpid()));
  std::string error;
  ASSERT_TRUE(docs->writeSnapshot(shot.string(), error)) << error;
  fs::remove(shot);
  EXPECT_FALSE(docs->visible());
  GLFWwindow* first = docs->window()->glfw();
  docs->show();
  frames(3);
  EXPECT_TRUE(docs->visible());
  EXPECT_EQ(docs->window()->glfw(), first) << "the snapshot's window is the one shown";
  glfwSetWindowShouldClose(first, GLFW_TRUE);
  frames(1);
  EXPECT_FALSE(docs->visible()) << "closing hides";
  EXPECT_FALSE(docs->window()->closeRequested());
  docs->show();
  frames(2);
  EXPECT_TRUE(docs->visible());
  EXPECT_EQ(docs->window()->glfw(), first) << "the same window comes back";
}

TEST_F(DocsWindowLive, AShownSectionStandsThirtyBelowTheTopWithACaretAtItsStart) {
  docs = std::make_unique<DocsWindow>(longDocument());
  docs->show();
  frames(2);
  struct Case {
    const char* section;
    bool found;
  };
  const Case cases[] = {
      {"Abschnitt 40", true}, {"Text zu Abschnitt 60.", true}, // a paragraph line counts as well
      {"Abschnitt 0", true},  {"Titel", false}, // the first line has no line feed before it
      {"Abschnitt", false},
  };
  for (const Case& c : cases) {
    docs->showSection("Abschnitt 20"); // a known place to start from
    frames(3);
    const float before = docs->view().scrollY();
    docs->view().select({5, 3});
    docs->showSection(c.section);
    frames(3);
    const velto::TextRange range = DocsWindow::findLine(docs->view().plain(), c.section);
    EXPECT_EQ(range.found(), c.found) << c.section;
    if (!c.found) {
      EXPECT_EQ(docs->view().scrollY(), before) << c.section << ": the view stays";
      EXPECT_EQ(docs->view().selection().location, 5u) << c.section;
      EXPECT_EQ(docs->view().selection().length, 3u) << c.section;
      continue;
    }
    EXPECT_EQ(docs->view().selection().location, range.location) << c.section;
    EXPECT_EQ(docs->view().selection().length, 0u) << c.section << ": a caret, no highlight";
    ImVec2 at;
    ASSERT_TRUE(docs->view().screenPos(range.location, at));
    EXPECT_NEAR(at.y, DocsWindow::kSectionGap, 1.0f) << c.section << ": whole pixels";
  }
}

TEST(DocsWindowOnXvfb, TheLiveTestsPassUnderAVirtualDisplay) {
  if (std::getenv("DISPLAY") != nullptr) GTEST_SKIP() << "they run directly";
  if (::access("/usr/bin/xvfb-run", X_OK) != 0) GTEST_SKIP() << "xvfb-run is not installed";
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  ASSERT_FALSE(ec);
  // Suites run side by side: start the search for a free display away from the others', and
  // try again elsewhere when another run took the same number at the same moment (the live
  // tests then never ran, or lost their display).
  // The GL and X libraries keep allocations to the end; their leaks are not ours to report.
  ::setenv("ASAN_OPTIONS", "detect_leaks=0:abort_on_error=1", 1);
  int status = 0;
  std::string output;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const std::string display = std::to_string(100 + (::getpid() * 11 + attempt * 97) % 800);
    const fs::path log = fs::temp_directory_path() / ("velto-docs-" + display + ".log");
    const std::string command = "xvfb-run -a -n " + display + " -s '-screen 0 1600x900x24' '" +
                                self.string() + "' --gtest_filter='DocsWindowLive.*' >'" +
                                log.string() + "' 2>&1";
    status = std::system(command.c_str());
    std::ifstream in(log);
    output.assign((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fs::remove(log, ec);
    // The suite ran to its end (whatever its verdict) unless the display was lost.
    if (output.find("Failed to open display") == std::string::npos &&
        output.find("tests from") != std::string::npos)
      break;
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << output;
}

} // namespace
