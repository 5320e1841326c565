// The files the program saves for the user: the configuration, the user defaults and the login
// item's entry keep the permissions of the files they replace, new ones are private (the entry
// readable by all, as the session reads it) less the umask; and the login item's repair at
// launch never loses the entry, even when the new one cannot be written.
#include "services_fixture.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "app/login_item.h"
#include "app/user_defaults.h"
#include "tests/support/file_size_limit.h"

namespace velto::test {
namespace {

namespace fs = std::filesystem;

class SavedFiles : public ServicesTest {};

std::string text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream out;
  out << in.rdbuf();
  return out.str();
}

// The permission bits at `path`, -1 when there is nothing.
int modeOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

TEST_F(SavedFiles, KeepTheModeTheyReplaceAndStartPrivateLessTheUmask) {
  struct Saver {
    const char* what;
    std::function<std::string()> path;
    std::function<bool()> save;
  };
  const Saver config{"config.txt", [] { return Api::configPath(); },
                     [this] {
                       api->save();
                       return api->saveError.empty();
                     }};
  const Saver defaults{"defaults.txt", [] { return userDefaultsPath(); },
                       [] { return setUserDefault("probe", "1"); }};
  const Saver entry{"autostart entry", [] { return autostartEntryPath(); },
                    [this] {
                      std::string error;
                      return setLoginItem(true, program, error);
                    }};
  struct Case {
    const Saver* saver;
    int existing; // -1: no file before
    mode_t umask;
    int expected;
  };
  const Case cases[] = {
      {&config, 0600, 022, 0600}, {&config, 0640, 022, 0640}, {&config, 0604, 077, 0604},
      {&config, -1, 022, 0600},   {&config, -1, 0277, 0400},  {&defaults, 0640, 022, 0640},
      {&defaults, -1, 022, 0600}, {&defaults, -1, 077, 0600}, {&entry, 0600, 022, 0600},
      {&entry, -1, 022, 0644},    {&entry, -1, 027, 0640},    {&entry, 0664, 077, 0664},
  };
  for (const Case& c : cases) {
    const std::string path = c.saver->path();
    SCOPED_TRACE(std::string(c.saver->what) + " from " + std::to_string(c.existing) + " umask " +
                 std::to_string(c.umask));
    fs::remove(path);
    if (c.existing >= 0) {
      fs::create_directories(fs::path(path).parent_path());
      std::ofstream(path) << "alt\n";
      ASSERT_EQ(::chmod(path.c_str(), mode_t(c.existing)), 0);
    }
    const mode_t previous = ::umask(c.umask);
    const bool saved = c.saver->save();
    ::umask(previous);
    EXPECT_TRUE(saved);
    EXPECT_NE(text(path), "alt\n") << "rewritten";
    EXPECT_EQ(modeOf(path), c.expected) << std::oct << modeOf(path);
  }
}

TEST_F(SavedFiles, LoginItemRepairReplacesTheEntryOrLeavesTheOldOne) {
  const std::string entry = autostartEntryPath();
  struct Case {
    const char* what;
    bool diskFull;
  };
  const Case cases[] = {{"written", false}, {"disk full", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string error;
    ASSERT_TRUE(setLoginItem(true, "/alt/velto", error)) << error;
    ASSERT_EQ(::chmod(entry.c_str(), 0600), 0);
    const std::string old = text(entry);
    {
      std::unique_ptr<FileSizeLimit> limit;
      if (c.diskFull) limit = std::make_unique<FileSizeLimit>(16);
      repairLoginItem(program);
    }
    std::string registered;
    EXPECT_TRUE(loginItemEnabled()) << "the setting still reads on";
    EXPECT_TRUE(userDefault(kLoginItemDefault, registered));
    if (c.diskFull) {
      EXPECT_EQ(text(entry), old);
      EXPECT_EQ(registered, "/alt/velto");
    } else {
      EXPECT_NE(text(entry).find("Exec=\"" + program + "\"\n"), std::string::npos) << text(entry);
      EXPECT_EQ(registered, program);
      EXPECT_EQ(modeOf(entry), 0600);
    }
    // No temporary file is left beside the entry either way.
    int files = 0;
    for (const fs::directory_entry& e : fs::directory_iterator(fs::path(entry).parent_path())) {
      EXPECT_EQ(e.path(), fs::path(entry));
      ++files;
    }
    EXPECT_EQ(files, 1);
  }
}

} // namespace
} // namespace velto::test
