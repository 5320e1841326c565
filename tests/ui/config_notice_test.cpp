// The window's line about the configuration file: along the window's foot on every tab while
// the file could not be read or the last save failed, with the reason, and gone once a save
// goes through.
#include "api/api.h"
#include "tests/support/ui/ui_steps.h"
#include "ui/window.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

namespace velto::test {
namespace {

namespace fs = std::filesystem;

class ConfigNoticeTest : public UiEngineTest {
protected:
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(Api::configPath(), ignored);
    UiEngineTest::TearDown();
  }
  // Whether every one of the tabs shows `line` near the window's foot.
  void expectOnEveryTab(const std::string& line, bool shown) {
    for (const int tab : {kTabBoard, kTabPlayer, kTabSettings, kTabEffects}) {
      selectTab(tab);
      ui->frames(2);
      EXPECT_EQ(ui->shows(line), shown) << "tab " << tab;
      if (shown) {
        EXPECT_GT(ui->textPos(line).y, UiHarness::kHeight - 30.0f) << "tab " << tab;
      }
    }
  }
};

TEST_F(ConfigNoticeTest, LineAtTheFootWhileTheFileIsNotSaved) {
  const std::string path = Api::configPath();
  struct Case {
    const char* what;
    std::function<void()> breakIt;
    const char* line; // empty: none shown
  };
  const Case cases[] = {
      {"all well", [] {}, ""},
      {"save fails",
       [&] {
         fs::create_directories(path + "/inside");
         api->save();
       },
       "Einstellungen nicht gespeichert: Is a directory"},
      {"file unreadable",
       [&] {
         fs::create_directories(path + "/inside");
         api->load();
       },
       "Einstellungen nicht lesbar (Is a directory), Velto läuft ohne zu speichern"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(path);
    c.breakIt();
    const std::string line = c.line;
    expectOnEveryTab(line.empty() ? "Einstellungen nicht" : line, !line.empty());
  }
  // A save that goes through again ends the failed save's line; the unreadable file's stays, as
  // nothing is saved over it.
  fs::remove_all(path);
  api->save();
  ui->frames(2);
  EXPECT_TRUE(ui->shows("Einstellungen nicht lesbar"));
  EXPECT_FALSE(fs::exists(path));

  api->configError.clear();
  fs::create_directories(path + "/inside");
  api->save();
  ui->frames(2);
  EXPECT_TRUE(ui->shows("Einstellungen nicht gespeichert"));
  fs::remove_all(path);
  api->save();
  expectOnEveryTab("Einstellungen nicht", false);
  EXPECT_TRUE(fs::is_regular_file(path));
}

} // namespace
} // namespace velto::test
