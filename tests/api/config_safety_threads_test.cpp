// What the configuration file keeps of the user's: a file that exists but cannot be read is
// never saved over and says so, a save that fails says why until one goes through, and the
// temporary files interrupted saves leave are known by their names and only those are removed.
#include "config_fixture.h"

#include "api/file_text.h"
#include "tests/support/file_size_limit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>

namespace velto::test {
namespace {

namespace fs = std::filesystem;

class ConfigSafetyThreads : public ConfigFixture {
protected:
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(Api::configPath(), ignored);
    ConfigFixture::TearDown();
  }
};

// What stands at the path, enough to tell that nothing replaced it.
std::string describe(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return "nothing";
  if (S_ISLNK(info.st_mode)) return "link to " + fs::read_symlink(path).string();
  if (S_ISDIR(info.st_mode)) return "folder";
  if (S_ISFIFO(info.st_mode)) return "pipe";
  std::string text;
  readFile(path, text);
  return "file " + std::to_string(info.st_mode & 0777) + " " + text;
}

TEST_F(ConfigSafetyThreads, UnreadableFileIsKeptAndSaidWhileAMissingOneIsAFirstStart) {
  const std::string path = Api::configPath();
  const std::string stored = "# velto-config 2\nhardware/inputs/1/name=Gespeichert\n";
  struct Case {
    const char* what;
    std::function<void()> make;
    const char* reason; // empty: the file is read
    bool rootCanRead;
  };
  const Case cases[] = {
      {"missing", [] {}, "", true},
      {"folder", [&] { fs::create_directory(path); }, "Is a directory", true},
      {"dangling link", [&] { fs::create_symlink(path + ".weg", path); }, "Verknüpfung ohne Ziel",
       true},
      {"device", [&] { fs::create_symlink("/dev/null", path); }, "keine gewöhnliche Datei", true},
      {"pipe", [&] { ::mkfifo(path.c_str(), 0600); }, "keine gewöhnliche Datei", true},
      // Root reads a file of mode 000 all the same.
      {"mode 000",
       [&] {
         writeFile(path, stored);
         ::chmod(path.c_str(), 0);
       },
       "Permission denied", false},
      {"readable", [&] { writeFile(path, stored); }, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(path);
    c.make();
    const bool readable = c.reason[0] == '\0' || (!c.rootCanRead && ::geteuid() == 0);
    const std::string before = describe(path);
    restart();
    if (readable) {
      EXPECT_EQ(api->configError, "");
      EXPECT_EQ(api->configNotice(), "");
    } else {
      EXPECT_EQ(api->configError, c.reason);
      EXPECT_EQ(api->configNotice(), std::string("Einstellungen nicht lesbar (") + c.reason +
                                         "), Velto läuft ohne zu speichern");
      EXPECT_NE(get("hardware/inputs/1/name"), "\"Gespeichert\"") << "nothing of it replayed";
    }
    // The change is made and answered either way; only a readable or a missing file is saved.
    ASSERT_EQ(call("POST", "hardware/inputs/1/name", "Neu").status, 200);
    EXPECT_EQ(get("hardware/inputs/1/name"), "\"Neu\"");
    api->save();
    if (readable) {
      EXPECT_NE(config().find("hardware/inputs/1/name=Neu\n"), std::string::npos);
    } else {
      EXPECT_EQ(describe(path), before);
    }
  }
}

TEST_F(ConfigSafetyThreads, FailedSaveIsShownWithItsReasonUntilASaveGoesThrough) {
  const std::string path = Api::configPath();
  struct Case {
    const char* what;
    std::function<void()> breakIt;
    std::function<void()> mendIt;
    const char* reason;
  };
  std::unique_ptr<FileSizeLimit> limit;
  const Case cases[] = {
      {"folder in the way",
       [&] {
         fs::remove(path);
         fs::create_directories(path + "/inside");
       },
       [&] { fs::remove_all(path); }, "Is a directory"},
      {"disk full", [&] { limit = std::make_unique<FileSizeLimit>(256); }, [&] { limit.reset(); },
       "File too large"},
  };
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(path);
    restart();
    api->save();
    ASSERT_EQ(api->configNotice(), "");
    const std::string name = "Runde " + std::to_string(++round);
    c.breakIt();
    // The reply stays that of the interpreter: the change is made in memory.
    EXPECT_EQ(call("POST", "hardware/inputs/1/name", name).status, 200);
    api->save();
    EXPECT_EQ(api->saveError, c.reason);
    EXPECT_EQ(api->configNotice(), std::string("Einstellungen nicht gespeichert: ") + c.reason);
    EXPECT_EQ(get("hardware/inputs/1/name"), "\"" + name + "\"");
    // Still failing, still shown.
    api->save();
    EXPECT_EQ(api->configNotice(), std::string("Einstellungen nicht gespeichert: ") + c.reason);
    c.mendIt();
    api->save();
    EXPECT_EQ(api->configNotice(), "");
    EXPECT_NE(config().find("hardware/inputs/1/name=" + name + "\n"), std::string::npos);
  }
}

TEST(ConfigTemporaryFiles, OnlyNamesASaveMakesArePlainFilesRemoved) {
  const fs::path folder = fs::temp_directory_path() / ("velto-temps-" + std::to_string(getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  const std::string path = (folder / "config.txt").string();
  struct Case {
    std::string name;
    bool folderInstead;
    bool removed;
  };
  const Case cases[] = {
      {"config.txt.a1B2c3", false, true},
      {"config.txt.ZZZZZZ", false, true},
      {"config.txt.000000", false, true},
      {"config.txt.backup", false, false}, // a word a person chose
      {"config.txt.a1B2c", false, false},
      {"config.txt.a1B2c34", false, false},
      {"config.txt.a1-2c3", false, false},
      {"config.txtXa1B2c3", false, false},
      {"defaults.txt.a1B2c3", false, false}, // another file's
      {"config.txt.Q9Q9Q9", true, false},    // not a plain file
      {"config.txt", false, false},
  };
  for (const Case& c : cases) {
    if (c.folderInstead) {
      fs::create_directory(folder / c.name);
    } else {
      std::ofstream(folder / c.name) << "# velto-config 2\n";
    }
    EXPECT_EQ(isTemporaryName(c.name, "config.txt"), c.removed || c.folderInstead) << c.name;
  }
  EXPECT_EQ(removeTemporaryFiles(path), 3);
  for (const Case& c : cases) EXPECT_EQ(fs::exists(folder / c.name), !c.removed) << c.name;

  fs::remove_all(folder);
}

} // namespace
} // namespace velto::test
