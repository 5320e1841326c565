// The built program under a virtual X server, about what it says and shows: a snapshot run that
// a signal ends before its picture is written fails with its one line, the intro sound's player
// says nothing on the program's output whether or not a sound server answers, and a snapshot
// shows no hover state wherever the display's pointer is.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <stb_image.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "program_run.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string fileText(const fs::path& path) {
  return velto::test::programFileText(path);
}

struct QuietRun : velto::test::ProgramRun {
  QuietRun() : ProgramRun("quiet") {}
  int waitExit(std::chrono::seconds timeout) { return wait(timeout); }
};

// Whether `pid` has a handler of its own for `signal`.
bool catches(pid_t pid, int signal) {
  std::istringstream status(fileText("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigCgt:", 0) != 0) continue;
    const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
    return (mask >> (signal - 1) & 1) != 0;
  }
  return false;
}

// Waits up to `timeout` for `ready`, checking every millisecond.
template <class F>
bool waitFor(F ready, std::chrono::seconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!ready()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(ProgramQuiet, SnapshotEndedByASignalBeforeItsPictureFailsInOneLine) {
  ASSERT_EQ(::access("/usr/bin/xvfb-run", X_OK), 0) << "xvfb-run is part of the set-up";
  struct Case {
    const char* variable;
    int signal;
    const char* line;
  };
  const Case cases[] = {
      {"VELTO_SNAPSHOT", SIGTERM,
       "velto: Schnappschuss nicht geschrieben: beendet durch SIGTERM\n"},
      {"VELTO_DOCS_SNAPSHOT", SIGINT,
       "velto: Schnappschuss nicht geschrieben: beendet durch SIGINT\n"},
      {"VELTO_HELP_SNAPSHOT", SIGHUP,
       "velto: Schnappschuss nicht geschrieben: beendet durch SIGHUP\n"},
  };
  // A long configuration keeps every run in its start-up for a while after its handlers are in
  // place, so the signal always comes before the picture.
  std::string config = "# velto-config 2\n";
  for (int i = 0; i < 100000; ++i)
    config += "hardware/inputs/1/gain=-" + std::to_string(i % 20) + "\n";
  std::vector<std::unique_ptr<QuietRun>> runs;
  for (const Case& c : cases) {
    runs.push_back(std::make_unique<QuietRun>());
    QuietRun& run = *runs.back();
    std::ofstream(run.folder() / "config.txt") << config;
    ASSERT_TRUE(run.start({std::string(c.variable) + "=" + (run.base / "shot.png").string()}));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    const Case& c = cases[i];
    QuietRun& run = *runs[i];
    SCOPED_TRACE(c.variable);
    pid_t program = 0;
    ASSERT_TRUE(waitFor([&] { return (program = velto::test::programUnder(run.pid)) > 0; }, 60s));
    ASSERT_TRUE(waitFor([&] { return catches(program, c.signal); }, 60s));
    ASSERT_EQ(::kill(program, c.signal), 0);
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    const Case& c = cases[i];
    QuietRun& run = *runs[i];
    SCOPED_TRACE(c.variable);
    EXPECT_EQ(run.waitExit(60s), 1);
    EXPECT_FALSE(fs::exists(run.base / "shot.png"));
    const std::string out = run.output();
    EXPECT_NE(out.find(c.line), std::string::npos) << out;
    size_t lines = 0;
    for (size_t at = out.find("velto: "); at != std::string::npos; at = out.find("velto: ", at + 1))
      ++lines;
    EXPECT_EQ(lines, 1u) << out;
  }
}

TEST(ProgramQuiet, IntroSoundPlayerSaysNothingWithOrWithoutASoundServer) {
  ASSERT_EQ(::access("/usr/bin/xvfb-run", X_OK), 0) << "xvfb-run is part of the set-up";
  struct Case {
    const char* name;
    std::string player; // the pw-play found first; it leaves a mark when it starts
  };
  const Case cases[] = {
      // The real player with no server to reach: it reports the failed connection.
      {"no sound server", "exec /usr/bin/pw-play \"$@\""},
      {"a player that talks", "echo 'player: on its output'\necho 'player: on its errors' >&2\n"
                              "sleep 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.player.find("/usr/bin/pw-play") != std::string::npos) {
      ASSERT_EQ(::access("/usr/bin/pw-play", X_OK), 0) << "pw-play is part of the set-up";
    }
    QuietRun run;
    const fs::path mark = run.base / "played";
    const fs::path script = run.base / "bin/pw-play";
    std::ofstream(script) << "#!/bin/sh\n: > '" << mark.string() << "'\n" << c.player << "\n";
    fs::permissions(script, fs::perms::owner_all);
    fs::create_directories(run.base / "runtime");
    ASSERT_TRUE(run.start({"XDG_RUNTIME_DIR=" + (run.base / "runtime").string(),
                           "PIPEWIRE_RUNTIME_DIR=" + (run.base / "runtime").string()}));
    pid_t program = 0;
    ASSERT_TRUE(waitFor([&] { return (program = velto::test::programUnder(run.pid)) > 0; }, 60s));
    EXPECT_TRUE(waitFor([&] { return fs::exists(mark); }, 60s)) << "the intro sound started";
    // Time for the player to say what it says.
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(waitFor([&] { return catches(program, SIGTERM); }, 60s));
    ASSERT_EQ(::kill(program, SIGTERM), 0);
    EXPECT_EQ(run.waitExit(60s), 0);
    const std::string out = run.output();
    EXPECT_EQ(out.find("player:"), std::string::npos) << out;
    EXPECT_EQ(out.find("pw_context_connect"), std::string::npos) << out;
    EXPECT_EQ(out.find("error"), std::string::npos) << out;
  }
}

// Pixels of the strip (x 0.., rows y0..y1) whose colour differs between two PNGs of one size.
int differingPixels(const std::string& a, const std::string& b, int y0, int y1) {
  int wa = 0, ha = 0, wb = 0, hb = 0, channels = 0;
  stbi_uc* pa = stbi_load(a.c_str(), &wa, &ha, &channels, 3);
  stbi_uc* pb = stbi_load(b.c_str(), &wb, &hb, &channels, 3);
  int differing = -1;
  if (pa != nullptr && pb != nullptr && wa == wb && ha == hb && y1 <= ha) {
    differing = 0;
    for (int y = y0; y < y1; ++y) {
      for (int x = 0; x < wa; ++x) {
        const stbi_uc* p = pa + (size_t(y) * wa + x) * 3;
        const stbi_uc* q = pb + (size_t(y) * wa + x) * 3;
        for (int c = 0; c < 3; ++c) {
          if (std::abs(int(p[c]) - int(q[c])) > 2) {
            ++differing;
            break;
          }
        }
      }
    }
  }
  if (pa != nullptr) stbi_image_free(pa);
  if (pb != nullptr) stbi_image_free(pb);
  return differing;
}

TEST(ProgramQuiet, SnapshotShowsNoHoverWhereverThePointerIs) {
  ASSERT_EQ(::access("/usr/bin/xvfb-run", X_OK), 0) << "xvfb-run is part of the set-up";
  ASSERT_EQ(::access("/usr/bin/xdotool", X_OK), 0) << "xdotool is part of the set-up";
  // The 1460 x 800 window stands centred on the 1920 x 1080 screen; its tab bar lies at y 30 to
  // 46. The pointer comes in once the window is there, as a user's would.
  struct Case {
    const char* name;
    int x, y; // on the screen
  };
  const Case cases[] = {
      {"outside the window", 5, 5},
      {"over the Player tab", 230 + 595, 140 + 38},
      {"over the Pads tab", 230 + 640, 140 + 38},
  };
  std::vector<std::string> shots;
  std::vector<std::unique_ptr<QuietRun>> runs;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    runs.push_back(std::make_unique<QuietRun>());
    QuietRun& run = *runs.back();
    const fs::path script = run.base / "bin/point-and-run";
    std::ofstream(script) << "#!/bin/sh\n'" VELTO_PROGRAM "' &\n"
                          << "for i in $(seq 3000); do\n"
                          << "  if xdotool search --name '^Velto$' >/dev/null 2>&1; then\n"
                          << "    xdotool mousemove " << c.x << " " << c.y << "; break\n"
                          << "  fi\n  sleep 0.01\ndone\nwait $!\n";
    fs::permissions(script, fs::perms::owner_all);
    shots.push_back((run.base / "shot.png").string());
    ASSERT_TRUE(run.start({"VELTO_SNAPSHOT=" + shots.back()}, script.string()));
    EXPECT_EQ(run.waitExit(90s), 0) << run.output();
  }
  for (size_t i = 1; i < shots.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    // A hovered tab would change its whole face, several hundred pixels.
    EXPECT_LT(differingPixels(shots[0], shots[i], 30, 46), 40);
    EXPECT_GE(differingPixels(shots[0], shots[i], 30, 46), 0) << "both pictures written";
  }
}

} // namespace
