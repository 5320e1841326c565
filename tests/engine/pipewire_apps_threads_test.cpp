// Applications on a private PipeWire server, captured by the live engine: a player (pw-cat) is a
// process with its pid, bundle id and running output; added as an application it reaches
// "Velto Out 1" through virtual input 1 at the tone's level, its speakers keep or lose it as the
// passthrough says, and removing it gives the speakers the tone back.
#include "engine/engine.h"

#include "engine_harness.h"
#include "pipewire_engine_test.h"
#include "platform/audio/pipewire/pipewire_devices.h"
#include "platform/dispatch/main_queue.h"
#include "tests/support/tone_level.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velto {
namespace {

namespace dispatch = platform::dispatch;
using test::kToneDb;

constexpr double kTone = 1000.0; // ten whole periods in every block below
constexpr size_t kBlock = 480;
const std::string kSpeakers = test::testSpeakers().name;
constexpr const char* kVeltoOut1 = "velto.VeltoOut1_UID";

double medianLevel(const std::vector<float>& stereo) {
  return test::medianBlockLevel(stereo, kBlock);
}

class PipewireAppsThreads : public test::PipewireEngineTest {
protected:
  PipewireAppsThreads() : PipewireEngineTest({test::testSpeakers()}) {}

  // The process of this pid, once the server has told of it; none after the timeout.
  std::optional<AudioProcess> processOf(pid_t pid, bool running) {
    std::optional<AudioProcess> found;
    dispatch::runMainQueueUntil(
        [&] {
          for (const AudioProcess& p : listAudioProcesses()) {
            if (p.pid == pid && p.runningOutput == running) found = p;
          }
          return found.has_value();
        },
        std::chrono::seconds(10));
    return found;
  }

  // A recording of `sink` that holds frames. A recorder the session manager links late
  // records nothing (slow on a loaded machine), so the window grows until it holds some.
  std::vector<float> recordFrames(const std::string& sink, int millis) {
    std::vector<float> recorded;
    for (int length = millis; recorded.empty() && length <= 8 * millis; length *= 2)
      recorded = daemon_->recordSink(sink, 2, length);
    return recorded;
  }

  // The level of `sink` once the tone is back on it. The recording that first hears it may
  // begin in the gap and land its median on the block where the tone sets in, so a fresh one
  // is judged.
  double levelOnceTheToneIsBack(const std::string& sink) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (medianLevel(recordFrames(sink, 300)) < -40.0) {
      if (std::chrono::steady_clock::now() >= deadline) return -200.0;
    }
    return medianLevel(recordFrames(sink, 400));
  }
};

TEST_F(PipewireAppsThreads, PlayerIsCapturedToVeltoOutOneAndItsSpeakersFollowThePassthrough) {
  engine_ = std::make_unique<Engine>(true);
  test::makeTransparent(*engine_);
  const std::string file = writeTone(kTone, 30000);
  ASSERT_FALSE(file.empty());

  struct Case {
    const char* properties; // of the player's stream
    const char* bundleId;   // the identity the engine matches on
    bool passthrough;
  };
  const Case cases[] = {
      {"{ application.id=org.example.player }", "org.example.player", false},
      {"", "pw-cat", true}, // no application id: the binary's name
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bundleId);
    const pid_t player = daemon_->play(kSpeakers, file, c.properties);
    ASSERT_GT(player, 0);
    const std::optional<AudioProcess> process = processOf(player, true);
    ASSERT_TRUE(process.has_value()) << daemon_->nodes();
    EXPECT_EQ(process->bundleId, c.bundleId);
    EXPECT_FALSE(process->runningInput);

    const int n = engine_->addApp(c.bundleId);
    ASSERT_GE(n, 0);
    engine_->setAppPassthrough(n, c.passthrough);
    AppSource& app = engine_->app(n);
    EXPECT_EQ(app.processes, std::vector<AudioObjectID>{process->object});
    // Through virtual input 1 to virtual output 1, the bus behind "Velto Out 1".
    app.strip.routeMask.store(1);
    engine_->virtualIns[0].strip.routeMask.store(1u << 3);
    ASSERT_TRUE(dispatch::runMainQueueUntil([&] { return app.lastAudible.load() != 0; },
                                            std::chrono::seconds(10)))
        << "the tap never heard the player\n"
        << daemon_->nodes();
    EXPECT_TRUE(app.playing);

    // Listed for the chooser under the name the server gives the application.
    const std::vector<AppInfo> available = listAvailableApps();
    EXPECT_TRUE(std::any_of(available.begin(), available.end(), [&](const AppInfo& a) {
      return a.bundleId == c.bundleId && a.name == "pw-cat" && a.playing;
    }));

    auto recording =
        std::async(std::launch::async, [&] { return daemon_->recordSource(kVeltoOut1, 2, 1000); });
    // The recorder is a process that records "Velto Out 1": one of its users, by its name, seen
    // while it records.
    bool seen = false;
    dispatch::runMainQueueUntil(
        [&] {
          engine_->refreshUsers();
          seen = engine_->users[0] == std::vector<std::string>{"pw-cat"};
          return seen || recording.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        },
        std::chrono::seconds(15));
    EXPECT_TRUE(seen);
    const double captured = medianLevel(recording.get());
    EXPECT_NEAR(captured, kToneDb, 0.1);
    const double speakers = medianLevel(recordFrames(kSpeakers, 500));
    std::printf("[ figures  ] %s: Velto Out 1 %.3f dBFS, speakers %.3f dBFS (tone %.3f)\n",
                c.passthrough ? "passthrough" : "muted", captured, speakers, kToneDb);
    if (c.passthrough) {
      EXPECT_NEAR(speakers, kToneDb, 0.1) << "passthrough keeps the player on its speakers";
    } else {
      EXPECT_LT(speakers, -100.0) << "without passthrough only the mixer hears the player";
    }

    engine_->removeApp(n);
    EXPECT_NEAR(levelOnceTheToneIsBack(kSpeakers), kToneDb, 0.1) << "its own links are back";
    daemon_->endPlay(player);
    EXPECT_TRUE(dispatch::runMainQueueUntil(
        [&] {
          const std::vector<AudioProcess> all = listAudioProcesses();
          return std::none_of(all.begin(), all.end(),
                              [&](const AudioProcess& p) { return p.pid == player; });
        },
        std::chrono::seconds(3)))
        << "a player that ended is no process any more";
  }
}

TEST_F(PipewireAppsThreads, TargetChosenBeforeVeltoStartedIsGivenBackWhenTheAppIsRemoved) {
  ASSERT_TRUE(daemon_->addNode({"test.headphones", "Test Headphones", false, 2}));
  const std::string file = writeTone(kTone, 30000);
  const pid_t player = daemon_->play(kSpeakers, file, "{ application.id=org.example.moved }");
  ASSERT_GT(player, 0);
  std::string stream;
  ASSERT_TRUE(
      test::waitUntil([&] { return !(stream = daemon_->nodeId("node.name", "pw-cat")).empty(); }));
  // The user moved the player to the headphones, then Velto started.
  daemon_->metadata({stream, "target.object", "test.headphones"});
  ASSERT_TRUE(
      test::waitUntil([&] { return medianLevel(recordFrames("test.headphones", 300)) > -40.0; },
                      std::chrono::seconds(5)));
  platform::audio::stopPipewireDevices();
  ASSERT_TRUE(startDevices());
  engine_ = std::make_unique<Engine>(true);
  ASSERT_TRUE(processOf(player, true).has_value());
  const int n = engine_->addApp("org.example.moved");
  ASSERT_GE(n, 0);
  ASSERT_TRUE(dispatch::runMainQueueUntil([&] { return engine_->app(n).lastAudible.load() != 0; },
                                          std::chrono::seconds(10)));
  EXPECT_LT(medianLevel(recordFrames("test.headphones", 400)), -100.0);
  engine_->removeApp(n);
  EXPECT_NEAR(levelOnceTheToneIsBack("test.headphones"), kToneDb, 0.1)
      << "back on the headphones it was moved to, not on its own target";
  daemon_->endPlay(player);
}

} // namespace
} // namespace velto
