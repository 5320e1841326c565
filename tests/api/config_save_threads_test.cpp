// Saving the configuration safely: a failed save leaves the previous file byte for byte, the
// missing folders are made, and a value with a line break stays on its own line.
#include "config_fixture.h"

#include <cstdlib>
#include <filesystem>

namespace velto::test {
namespace {

namespace fs = std::filesystem;

class ConfigSaveThreads : public ConfigFixture {};

TEST_F(ConfigSaveThreads, FailedSaveKeepsThePreviousFile) {
  api->save();
  const std::string previous = config();
  ASSERT_NE(previous.find("hardware/inputs/1/name="), std::string::npos);
  ASSERT_EQ(call("POST", "hardware/inputs/1/name", "Neu").status, 200);

  // A folder where the temporary file must go makes the save fail midway, for root as well.
  const std::string temporary = Api::configPath() + ".tmp";
  ASSERT_TRUE(fs::create_directory(temporary));
  api->save();
  EXPECT_EQ(config(), previous);
  fs::remove(temporary);

  api->save();
  EXPECT_NE(config().find("hardware/inputs/1/name=Neu\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(temporary));
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
