// The applications that can be captured and the names shown for applications and processes:
// running applications of the desktop, background processes that play, installed locations,
// executable paths, and the application's own bundle kept out of every list.
#include "apps_fixture.h"

#include <unistd.h>

namespace velto::apps_test {
namespace {

audio::RunningApplication
runningApp(int32_t pid, std::optional<std::string> bundleId, std::optional<std::string> name,
           audio::ActivationPolicy policy = audio::ActivationPolicy::Regular) {
  audio::RunningApplication a;
  a.pid = pid;
  a.bundleId = std::move(bundleId);
  a.localizedName = std::move(name);
  a.policy = policy;
  return a;
}

class AppsNamesThreads : public AppsAudioFixture {};

TEST_F(AppsNamesThreads, AvailableApplicationsPutPlayingOnesFirstThenSortByName) {
  audio::setOwnApplication("com.example.velto", 6000);
  audio::addRunningApplication(runningApp(6000, "com.example.velto", "Velto"));
  audio::addRunningApplication(runningApp(6001, "com.example.editor", "Editor"));
  audio::addRunningApplication(runningApp(6002, "com.example.browser", "Browser"));
  audio::addRunningApplication(runningApp(6003, "com.example.zebra", "Zebra"));
  audio::addRunningApplication(runningApp(6004, "com.example.apfel", "\xC3\x84pfel")); // Äpfel
  audio::addRunningApplication(runningApp(6005, "com.example.nameless", std::nullopt));
  audio::addRunningApplication(runningApp(6006, std::nullopt, "Ohne Kennung"));
  audio::addRunningApplication(
      runningApp(6007, "com.example.menubar", "Menüleiste", audio::ActivationPolicy::Accessory));
  audio::setApplicationLocation("com.example.daemon", "/Library/Daemons/Tondienst.app");

  // The browser plays through a helper; a background daemon plays, first through a process
  // that is silent, then through its worker; the own application's helper plays too.
  addProcess(process(6102, "com.example.browser.renderer", true));
  addProcess(process(6103, "com.example.daemon", false));
  addProcess(process(6104, "com.example.daemon.worker", true));
  addProcess(process(6105, "com.example.velto", true));
  addProcess(process(6106, "", true));
  addProcess(process(6107, "org.example.unknown", false));
  addProcess(process(6108, "com.example.menubar", false));

  struct Expected {
    const char* bundleId;
    const char* name;
    bool playing;
  };
  const Expected expected[] = {
      {"com.example.browser", "Browser", true},
      {"com.example.daemon", "Tondienst", true},
      {"com.example.editor", "Editor", false},
      {"com.example.menubar", "Menüleiste", false},
      {"com.example.zebra", "Zebra", false},
      {"com.example.nameless", "com.example.nameless", false},
      {"org.example.unknown", "org.example.unknown", false},
      {"com.example.apfel", "\xC3\x84pfel", false},
  };
  const std::vector<AppInfo> apps = listAvailableApps();
  ASSERT_EQ(apps.size(), std::size(expected));
  for (size_t i = 0; i < apps.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(apps[i].bundleId, expected[i].bundleId);
    EXPECT_EQ(apps[i].name, expected[i].name);
    EXPECT_EQ(apps[i].playing, expected[i].playing);
  }
}

struct AppNameCase {
  const char* what;
  const char* bundleId;
  const char* name;
};

TEST_F(AppsNamesThreads, AppNameComesFromTheRunningApplicationThenTheLocationThenTheId) {
  audio::addRunningApplication(runningApp(6301, "com.example.music", std::nullopt));
  audio::addRunningApplication(runningApp(6302, "com.example.music", "Musik"));
  audio::addRunningApplication(runningApp(6303, "com.example.notes", "Notizen"));
  audio::setApplicationLocation("com.example.notes", "/Applications/Notes.app");
  audio::setApplicationLocation("com.example.maps", "/Applications/Karten.app");
  audio::setApplicationLocation("com.example.tool", "/opt/tools/tonwerk");
  audio::setApplicationLocation("com.example.pkg", "/Applications/Sound.Studio.app/");

  const AppNameCase cases[] = {
      {"first named running entry", "com.example.music", "Musik"},
      {"running name wins over location", "com.example.notes", "Notizen"},
      {"location without extension", "com.example.maps", "Karten"},
      {"location without any extension", "com.example.tool", "tonwerk"},
      {"only the last extension, trailing slash", "com.example.pkg", "Sound.Studio"},
      {"nothing known", "com.example.nothing", "com.example.nothing"},
  };
  for (const AppNameCase& c : cases) EXPECT_EQ(appName(c.bundleId), c.name) << c.what;
}

struct ProcessNameCase {
  const char* what;
  int32_t pid;
  const char* bundleId;
  std::string name;
};

TEST_F(AppsNamesThreads, ProcessNameFallsBackToBundleThenExecutableThenPid) {
  audio::addRunningApplication(runningApp(6401, "com.example.music", "Musik"));
  audio::addRunningApplication(runningApp(6402, "com.example.nameless", std::nullopt));
  audio::addRunningApplication(runningApp(6409, "com.example.chat", "Chat"));
  audio::SimProcessConfig withPath = process(6403, "", true);
  withPath.executablePath = "/usr/libexec/tonhelfer";
  addProcess(withPath);
  addProcess(process(6404, "", true)); // no path: its executable name ("proc6404")
  audio::SimProcessConfig longPath = process(6405, "", true);
  longPath.executablePath = "/" + std::string(1100, 'x');
  addProcess(longPath);

  const ProcessNameCase cases[] = {
      {"running application by pid", 6401, "com.example.other", "Musik"},
      {"unnamed running application: its bundle", 6402, "com.example.chat", "Chat"},
      {"bundle id only", 6499, "com.example.music", "Musik"},
      {"executable path", 6403, "", "tonhelfer"},
      {"executable name", 6404, "", "proc6404"},
      {"path too long for the buffer", 6405, "", "PID 6405"},
      {"nothing known", 99999999, "", "PID 99999999"},
      {"a real process of this machine", ::getpid(), "", ""},
  };
  for (const ProcessNameCase& c : cases) {
    AudioProcess p;
    p.pid = c.pid;
    p.bundleId = c.bundleId;
    const std::string name = processName(p);
    if (c.name.empty()) {
      // This test program itself: the last component of its executable path.
      EXPECT_EQ(name.rfind("velto_tests_engine", 0), 0u) << c.what << ": " << name;
    } else {
      EXPECT_EQ(name, c.name) << c.what;
    }
  }
}

} // namespace
} // namespace velto::apps_test
