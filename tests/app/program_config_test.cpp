// The built program and the user's configuration folder: a configuration file that cannot be
// read is reported in one line and survives the run untouched, and the temporary files of
// interrupted saves are removed at start only by the copy that holds the single-instance lock.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "program_run.h"
#include "tests/support/free_port.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string fileText(const fs::path& path) {
  return velto::test::programFileText(path);
}

// One run of the program; it writes nothing on its output, so what it wrote is its error output.
struct ConfigRun : velto::test::ProgramRun {
  ConfigRun() : ProgramRun("config") {}
  std::string errors() const { return output(); }

  // The program's own pid, once it is running below xvfb-run; 0 when none within 30 s.
  pid_t program() const {
    for (int i = 0; i < 600; ++i) {
      if (const pid_t found = velto::test::programUnder(pid)) return found;
      std::this_thread::sleep_for(50ms);
    }
    return 0;
  }

  // Whether the program wrote its pid into the lock file within 30 s.
  bool locked(pid_t velto) const {
    for (int i = 0; i < 600; ++i) {
      if (fileText(folder() / "velto.lock") == std::to_string(velto) + "\n") return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }
};

bool answers(int port) {
  for (int i = 0; i < 400; ++i) {
    if (velto::test::httpGet(port, "/settings/api/enabled").find(" 200 ") != std::string::npos)
      return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

// What stands at the path, enough to tell that nothing replaced it.
std::string describe(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return "nothing";
  if (S_ISLNK(info.st_mode)) return "link to " + fs::read_symlink(path).string();
  if (S_ISDIR(info.st_mode)) return "folder";
  return "file " + std::to_string(info.st_mode & 0777) + " " + fileText(path);
}

int countLines(const std::string& text, const std::string& part) {
  int count = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) count += line.find(part) != std::string::npos;
  return count;
}

bool haveXvfbRun() {
  return ::access("/usr/bin/xvfb-run", X_OK) == 0;
}

TEST(ProgramConfig, UnreadableFileIsReportedOnceAndLeftAsItWas) {
  if (!haveXvfbRun()) GTEST_SKIP() << "xvfb-run is not installed";
  const std::string stored = "# velto-config 2\nsettings/board=Meins\n";
  struct Case {
    const char* what;
    std::function<void(const std::string&)> make;
    const char* reason; // empty: a first start, saved at exit
  };
  const Case cases[] = {
      {"missing", [](const std::string&) {}, ""},
      {"folder", [](const std::string& p) { fs::create_directories(p + "/x"); }, "Is a directory"},
      {"dangling link", [](const std::string& p) { fs::create_symlink(p + ".weg", p); },
       "Verknüpfung ohne Ziel"},
      {"device", [](const std::string& p) { fs::create_symlink("/dev/null", p); },
       "keine gewöhnliche Datei"},
      {"mode 000",
       [&](const std::string& p) {
         std::ofstream(p) << stored;
         ::chmod(p.c_str(), 0);
       },
       "Permission denied"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Root reads a file of mode 000 all the same: that case needs another user.
    if (std::string(c.what) == "mode 000" && ::geteuid() == 0) continue;
    ConfigRun run;
    c.make(run.config());
    const std::string before = describe(run.config());
    ASSERT_TRUE(run.start());
    const pid_t velto = run.program();
    ASSERT_GT(velto, 0);
    // The lock is taken once the quit signals are handled.
    EXPECT_TRUE(run.locked(velto)) << run.errors();
    ::kill(velto, SIGTERM);
    EXPECT_EQ(run.wait(30s), 0);
    const std::string errors = run.errors();
    if (c.reason[0] == '\0') {
      EXPECT_EQ(countLines(errors, "Einstellungen"), 0) << errors;
      EXPECT_EQ(fileText(run.config()).rfind("# velto-config 2\n", 0), 0u);
      continue;
    }
    EXPECT_EQ(countLines(errors, "Einstellungen"), 1) << errors;
    EXPECT_NE(errors.find(std::string("velto: Einstellungen nicht lesbar (") + c.reason +
                          "), Velto läuft ohne zu speichern\n"),
              std::string::npos)
        << errors;
    EXPECT_EQ(describe(run.config()), before);
  }
}

TEST(ProgramConfig, LeftoverTemporaryFilesGoOnlyWhenNoOtherCopyCouldBeSaving) {
  if (!haveXvfbRun()) GTEST_SKIP() << "xvfb-run is not installed";
  const char* const leftovers[] = {"config.txt.k3J9xQ", "config.txt.Z00000", "defaults.txt.a1B2c3"};
  const char* const kept[] = {"config.txt.backup", "config.txt.k3J9xQ.old", "notes.txt"};
  for (const bool lockHeld : {false, true}) {
    SCOPED_TRACE(lockHeld ? "lock held by another program" : "lock free");
    ConfigRun run;
    const int port = velto::test::freePort();
    ASSERT_GT(port, 0);
    std::ofstream(run.config()) << "# velto-config 2\nsettings/api/port=" << port
                                << "\nsettings/api/enabled=on\n";
    for (const char* name : leftovers) std::ofstream(run.folder() / name) << "# velto-config 2\n";
    for (const char* name : kept) std::ofstream(run.folder() / name) << "meins\n";
    // Another program holding the lock: the copy cannot know who saves what, so it removes
    // nothing.
    int lock = -1;
    if (lockHeld) {
      lock = ::open((run.folder() / "velto.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
      ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
      const std::string pid = std::to_string(::getpid()) + "\n";
      ASSERT_EQ(::write(lock, pid.data(), pid.size()), ssize_t(pid.size()));
    }
    ASSERT_TRUE(run.start());
    EXPECT_TRUE(answers(port)) << run.errors();
    for (const char* name : leftovers) EXPECT_EQ(fs::exists(run.folder() / name), lockHeld) << name;
    for (const char* name : kept) EXPECT_TRUE(fs::exists(run.folder() / name)) << name;
    const pid_t velto = run.program();
    ASSERT_GT(velto, 0);
    ::kill(velto, SIGTERM);
    EXPECT_EQ(run.wait(30s), 0);
    if (lock >= 0) ::close(lock);
    EXPECT_NE(fileText(run.config()).find("settings/api/enabled=on\n"), std::string::npos);
  }
}

} // namespace
