#include "api/api.h"
#include "api/hooks.h"
#include "platform/dispatch/queue_state.h"
#include "tests/support/free_port.h"
#include "tests/support/test_files.h"
#include "tests/support/ui/ui_steps.h"
#include "ui/intro.h"
#include "ui/window.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace velto::test {
namespace {

std::string configText() {
  return fileText(Api::configPath());
}

class SettingsTabTest : public UiEngineTest {
protected:
  void SetUp() override {
    UiEngineTest::SetUp();
    selectTab(kTabSettings);
    ui->frames(3);
  }
  void TearDown() override {
    gIntroOn = false;
    api->server.stop();
    UiEngineTest::TearDown();
  }
  // The control `dx` points right of where the row's controls begin.
  ImVec2 rowControl(const char* label, float dx = 10.0f) const {
    const ImVec2 p = ui->textPos(label);
    return ImVec2(p.x + 200.0f + dx, p.y + 6.0f);
  }
  void clickLabel(const char* text) {
    clickText(*ui, text, ImVec2(3, 6));
    ui->frame();
  }
  // Replaces the port field's text and leaves the field.
  void typePort(int port) {
    ui->click(rowControl("Port"));
    ui->hold(false, true);
    ui->key(ImGuiKey_A);
    ui->hold(false);
    ui->type(std::to_string(port).c_str());
    ui->key(ImGuiKey_Enter);
    ui->frames(2);
  }
};

TEST_F(SettingsTabTest, EveryChoiceIsAppliedAndSavedAtOnce) {
  struct Case {
    const char* name;
    std::function<void()> act;
    std::function<bool(const Settings&)> applied;
    const char* line; // in the configuration file afterwards
  };
  const Case cases[] = {
      {"buffer 512", [&] { clickLabel("512"); },
       [](const Settings& s) { return s.bufferFrames == 512; }, "settings/audio/buffer=512\n"},
      {"intro off", [&] { ui->click(rowControl("Startanimation")); },
       [](const Settings& s) { return !s.intro; }, "settings/intro=off\n"},
      {"full screen off", [&] { ui->click(rowControl("Im Vollbild starten")); },
       [](const Settings& s) { return !s.fullscreen; }, "settings/fullscreen=off\n"},
      {"restore output", [&] { clickLabel("Velto bleibt Ausgang"); },
       [](const Settings& s) { return s.restoreOutput; }, "settings/restoreoutput=on\n"},
      {"volume keys on output 2",
       [&] {
         ui->click(rowControl("Lautstärketasten"));
         ui->frame();
         clickLabel("Output 2");
       },
       [](const Settings& s) { return s.volumeKeys == 1; }, "settings/audio/volumekeys=2\n"},
      {"volume keys back on Default",
       [&] {
         ui->click(rowControl("Lautstärketasten"));
         ui->frame();
         clickLabel("Default"); // the list's entry is drawn last
       },
       [](const Settings& s) { return s.volumeKeys == -1; }, "settings/audio/volumekeys=default\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.act();
    ui->frames(2);
    EXPECT_TRUE(c.applied(engine->settings));
    EXPECT_NE(configText().find(c.line), std::string::npos) << configText();
  }
  // The replay button plays the intro although the start animation is now off.
  clickLabel("Abspielen");
  EXPECT_TRUE(introRunning());
}

TEST_F(SettingsTabTest, PortFieldKeepsUnusablePortsAndShowsTheServersMessage) {
  const int first = freePort();
  ASSERT_GT(first, 0);
  engine->settings.apiPort = static_cast<uint32_t>(first);
  ui->click(rowControl("API"));
  ui->frames(2);
  ASSERT_TRUE(engine->settings.apiEnabled);
  EXPECT_TRUE(ui->shows("http://127.0.0.1:" + std::to_string(first)));

  typePort(80); // below 1024: dropped, the field shows the stored port again
  EXPECT_EQ(engine->settings.apiPort, static_cast<uint32_t>(first));
  EXPECT_TRUE(ui->shows(std::to_string(first)));

  // A port something else listens on: stored, and the server says why it cannot use it.
  const int taken = freePort();
  const int blocker = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(taken));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(blocker, 1), 0);
  typePort(taken);
  EXPECT_EQ(engine->settings.apiPort, static_cast<uint32_t>(taken));
  EXPECT_TRUE(ui->shows("Port " + std::to_string(taken) + " belegt")) << ui->text();
  EXPECT_NE(configText().find("settings/api/port=" + std::to_string(taken) + "\n"),
            std::string::npos);
  close(blocker);
}

// A GET on a thread of its own; its status code, 0 while or when nothing answered.
struct PendingGet {
  explicit PendingGet(int port) {
    thread = std::thread([this, port] {
      const int fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<uint16_t>(port));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      std::string reply;
      if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string request = "GET /settings HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buffer[4096];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
          reply.append(buffer, size_t(n));
      }
      close(fd);
      status.store(reply.size() > 12 ? std::atoi(reply.c_str() + 9) : 0);
    });
  }
  ~PendingGet() { wait(); }
  int wait() {
    if (thread.joinable()) thread.join();
    return status.load();
  }
  std::thread thread;
  std::atomic<int> status{0};
};

// Whether work waits on the main queue (a request handed over by the server thread).
bool mainQueueHasWork() {
  auto& queue = platform::dispatch::detail::mainQueue();
  std::lock_guard<std::mutex> lock(queue.mutex);
  return !queue.work.empty();
}

// Requests run on threads of their own.
class SettingsTabThreads : public SettingsTabTest {};

TEST_F(SettingsTabThreads, ServerSwitchesNeverWaitInsideAFrameForARequestThatWaitsOnIt) {
  struct Case {
    const char* name;
    std::function<void(int)> act;     // with a second free port
    std::function<bool(int)> applied; // the server as the switch left it
    const char* line;                 // saved in the configuration file
  };
  const Case cases[] = {
      {"API an -> aus", [&](int) { ui->click(rowControl("API")); },
       [&](int) { return api->server.listenFd < 0 && !engine->settings.apiEnabled; },
       "settings/api/enabled=off\n"},
      {"port moved", [&](int port) { typePort(port); },
       [&](int port) { return api->server.listenFd >= 0 && api->server.port == port; },
       "settings/api/port="},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int port = freePort();
    ASSERT_GT(port, 0);
    engine->settings.apiPort = static_cast<uint32_t>(port);
    engine->settings.apiEnabled = true;
    api->applySettings();
    ASSERT_GE(api->server.listenFd, 0);
    ui->frames(2);

    // Every frame of the switch starts with a request waiting for the main queue.
    std::vector<std::unique_ptr<PendingGet>> requests;
    double longest = 0.0;
    ui->scene = [&] {
      if (api->server.listenFd >= 0) {
        requests.push_back(std::make_unique<PendingGet>(api->server.port));
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!mainQueueHasWork() && std::chrono::steady_clock::now() < end)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      const auto start = std::chrono::steady_clock::now();
      drawMixer(*engine, *api);
      longest = std::max(
          longest, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    };
    const int second = freePort();
    ASSERT_GT(second, 0);
    c.act(second);
    ui->frames(2);
    ui->scene = [this] { drawMixer(*engine, *api); };
    // Waiting on the server thread would take the request's full 2 s; a busy machine alone
    // never stretches a frame to half of that.
    EXPECT_LT(longest, 1.0);
    EXPECT_TRUE(c.applied(second));
    EXPECT_NE(configText().find(c.line), std::string::npos) << configText();
    ASSERT_FALSE(requests.empty());
    for (auto& r : requests) EXPECT_EQ(r->wait(), 200) << "answered in time";
    api->server.stop();
  }
}

// Stand-ins for the driver's hooks.
int gInstalled = 0;
int gBundled = 0;
std::vector<bool> gInstallCalls;
bool recordInstall(bool install, std::string& error) {
  gInstallCalls.push_back(install);
  error = "abgebrochen";
  return false;
}

TEST_F(SettingsTabTest, DriverRowFollowsTheInstalledAndBundledVersions) {
  appHooks().installedDriverVersion = [] { return gInstalled; };
  appHooks().bundledDriverVersion = [] { return gBundled; };
  struct Case {
    int installed, bundled;
    bool hook;
    const char* text;
    std::vector<const char*> enabled; // buttons shown and clickable
    const char* absent;
  };
  const Case cases[] = {
      {0, 0, true, "fehlt", {}, "Entfernen"},
      {0, 2, true, "fehlt", {"Installieren"}, "Entfernen"},
      {3, 5, true, "Version 3, neu: 5", {"Aktualisieren", "Entfernen"}, "Installieren"},
      {5, 5, true, "installiert · Version 5", {"Entfernen"}, "Aktualisieren"},
      {5, 5, false, "installiert · Version 5", {}, "Aktualisieren"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    gInstalled = c.installed;
    gBundled = c.bundled;
    appHooks().installDriver = c.hook ? recordInstall : nullptr;
    ui->frames(95); // the row polls every 3 s
    EXPECT_TRUE(ui->shows(c.text));
    EXPECT_FALSE(ui->shows(c.absent));
    for (const char* button : c.enabled) {
      gInstallCalls.clear();
      clickLabel(button);
      ASSERT_EQ(gInstallCalls.size(), 1u) << button;
      EXPECT_EQ(gInstallCalls[0], std::string(button) != "Entfernen");
      EXPECT_TRUE(ui->shows("abgebrochen"));
    }
    if (c.enabled.empty() && (ui->shows("Installieren") || ui->shows("Entfernen"))) {
      gInstallCalls.clear();
      clickLabel(ui->shows("Installieren") ? "Installieren" : "Entfernen");
      EXPECT_TRUE(gInstallCalls.empty()); // drawn disabled
    }
  }
}

} // namespace
} // namespace velto::test
