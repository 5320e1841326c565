// Saving the configuration safely: a failed save leaves the previous file byte for byte and no
// temporary file, leftovers beside the file do not block it, the missing folders are made, and
// a value with a line break stays on its own line.
#include "config_fixture.h"
#include "tests/support/file_size_limit.h"

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>

namespace velto::test {
namespace {

namespace fs = std::filesystem;

class ConfigSaveThreads : public ConfigFixture {};

// Every name in the configuration folder.
std::set<std::string> folderEntries() {
  std::set<std::string> names;
  const fs::path folder = fs::path(Api::configPath()).parent_path();
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

TEST_F(ConfigSaveThreads, FailedSaveKeepsThePreviousFile) {
  api->save();
  const std::string previous = config();
  ASSERT_NE(previous.find("hardware/inputs/1/name="), std::string::npos);
  ASSERT_GT(previous.size(), 1000u);
  ASSERT_EQ(call("POST", "hardware/inputs/1/name", "Neu").status, 200);

  {
    const FileSizeLimit limit(512);
    api->save();
  }
  EXPECT_EQ(config(), previous);
  // The half-written temporary file is gone.
  EXPECT_EQ(folderEntries(), std::set<std::string>{"config.txt"});

  api->save();
  EXPECT_NE(config().find("hardware/inputs/1/name=Neu\n"), std::string::npos);
  EXPECT_EQ(folderEntries(), std::set<std::string>{"config.txt"});
}

// Whatever an earlier run left under the name once used for the temporary file, the next save
// goes through and leaves it alone.
TEST_F(ConfigSaveThreads, LeftoversBesideTheFileDoNotBlockSaving) {
  const std::string path = Api::configPath();
  const struct {
    const char* what;
    std::function<void(const std::string&)> make;
  } kCases[] = {
      {"folder", [](const std::string& p) { fs::create_directories(p + "/inside"); }},
      {"dangling link", [](const std::string& p) { fs::create_symlink(p + ".nirgends", p); }},
  };
  int round = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    c.make(path + ".tmp");
    const std::set<std::string> before = folderEntries();
    const std::string name = "Runde " + std::to_string(++round);
    ASSERT_EQ(call("POST", "hardware/inputs/1/name", name).status, 200);
    api->save();
    EXPECT_NE(config().find("hardware/inputs/1/name=" + name + "\n"), std::string::npos);
    std::set<std::string> after = before;
    after.insert("config.txt");
    EXPECT_EQ(folderEntries(), after);
    for (const std::string& entry : before) fs::remove_all(fs::path(path).parent_path() / entry);
  }
}

TEST_F(ConfigSaveThreads, SavingMakesTheMissingFolders) {
  const std::string home = std::getenv("HOME");
  fs::remove_all(home + "/Library");
  api->save();
  const std::string path = home + "/Library/Application Support/Velto/config.txt";
  ASSERT_TRUE(fs::exists(path));
  EXPECT_EQ(lines(config()).front(), "# velto-config 2");
}

TEST_F(ConfigSaveThreads, LineBreakInValueCannotSplitItsLine) {
  ASSERT_EQ(call("POST", "hardware/inputs/1/name", "a\nsettings/api/enabled=on").status, 200);
  ASSERT_EQ(call("POST", "hardware/virtual/1/name", "b\rsettings/intro=off").status, 200);
  api->save();
  const std::vector<std::string> file = lines(config());
  int apiLines = 0;
  for (const std::string& line : file) {
    EXPECT_EQ(line.find('\r'), std::string::npos) << line;
    if (line.rfind("settings/api/enabled=", 0) == 0) ++apiLines;
  }
  EXPECT_EQ(apiLines, 1);
  EXPECT_EQ(file.back(), "settings/api/enabled=off");

  restart();
  EXPECT_EQ(get("hardware/inputs/1/name"), "\"a settings/api/enabled=on\"");
  EXPECT_EQ(get("hardware/virtual/1/name"), "\"b settings/intro=off\"");
  EXPECT_EQ(get("settings/api/enabled"), "false");
  EXPECT_EQ(get("settings/intro"), "true");
}

} // namespace
} // namespace velto::test
