// Simulated processes and the engine under the manual clock: the system sound of a process
// playing to "Velto Input" is heard through the driver's return device, the "Mac-Ton" strip, the
// "Default" virtual input and hardware output 1, sample for sample; and the processes recording
// from the virtual outputs are listed per output.
#include "engine/engine.h"

#include "engine_live_harness.h"
#include "platform/audio/layer/manual_clock.h"
#include "platform/audio/simulated/sim_processes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace velto {
namespace {

namespace audio = platform::audio;
using test::channelOf;
using test::firstSound;
using test::holdsCopy;
using test::numberedFrames;
using test::numberedSource;
using test::simOutput;

constexpr uint32_t kSignalFrames = 4096;

class EngineProcessesThreads : public test::LiveEngineFixture {};

TEST_F(EngineProcessesThreads, SystemSoundPassesMacTonAndDefaultToOutputOne) {
  startSystem();
  audio::addSimDevice(simOutput("Lautsprecher", "spk", {2}));
  startEngine();
  engine->setHwOutputDevice(0, "spk");
  audio::SimProcessConfig browser;
  browser.pid = 4242;
  browser.bundleId = "org.example.browser";
  browser.name = "Browser";
  browser.runningOutput = true;
  browser.outputDevices = {"VeltoDefaultOutput_UID"};
  browser.audio = numberedSource(kSignalFrames, 2);
  ASSERT_NE(audio::addSimProcess(browser), 0u);
  settle();
  ASSERT_TRUE(audio::runCycles(48));

  const audio::CapturedAudio played = audio::takeSimOutput("spk");
  const auto source = numberedFrames(kSignalFrames, 2);
  const auto left = played.channel(0);
  const int64_t delay = firstSound(left);
  EXPECT_TRUE(holdsCopy(left, channelOf(source, 2, 0), delay, kSignalFrames));
  EXPECT_TRUE(holdsCopy(played.channel(1), channelOf(source, 2, 1), delay, kSignalFrames));
  // It passed both strips.
  EXPECT_GT(engine->systemStrip.meter.takeLeft(), 0.0f);
  EXPECT_GT(engine->virtualIns[3].strip.meter.takeLeft(), 0.0f);
  EXPECT_EQ(engine->virtualIns[0].strip.meter.takeLeft(), 0.0f);
}

audio::SimProcessConfig recorder(int32_t pid, const std::string& name,
                                 std::vector<std::string> inputs) {
  audio::SimProcessConfig p;
  p.pid = pid;
  p.bundleId = "org.example." + name;
  p.name = name;
  p.runningInput = true;
  p.inputDevices = std::move(inputs);
  return p;
}

TEST_F(EngineProcessesThreads, UsersOfVirtualOutputsAreListedOncePerOutput) {
  startSystem();
  startEngine();
  // Two processes of one application on output 1, one process on outputs 1 and 3, one that
  // records from a hardware device only.
  audio::addSimDevice(test::simInput("Mic", "mic", {1}));
  ASSERT_NE(audio::addSimProcess(recorder(501, "Streamer", {"VeltoOut1_UID"})), 0u);
  ASSERT_NE(audio::addSimProcess(recorder(502, "Streamer", {"VeltoOut1_UID"})), 0u);
  ASSERT_NE(audio::addSimProcess(recorder(503, "Konferenz", {"VeltoOut1_UID", "VeltoOut3_UID"})),
            0u);
  ASSERT_NE(audio::addSimProcess(recorder(504, "Diktat", {"mic"})), 0u);
  settle();
  engine->refreshUsers();

  std::string streamer;
  std::string meeting;
  for (const AudioProcess& p : listAudioProcesses()) {
    if (p.pid == 501) streamer = processName(p);
    if (p.pid == 503) meeting = processName(p);
  }
  ASSERT_FALSE(streamer.empty());
  ASSERT_FALSE(meeting.empty());
  EXPECT_EQ(engine->users[0], (std::vector<std::string>{streamer, meeting}));
  EXPECT_TRUE(engine->users[1].empty());
  EXPECT_EQ(engine->users[2], (std::vector<std::string>{meeting}));

  // Each refresh starts from empty lists.
  audio::removeSimProcess(0); // unknown: nothing changes
  engine->refreshUsers();
  EXPECT_EQ(engine->users[0].size(), 2u);
}

TEST_F(EngineProcessesThreads, NoUsersWithoutTheDriversOutputs) {
  startSystem(false);
  startEngine();
  ASSERT_NE(audio::addSimProcess(recorder(601, "Streamer", {"VeltoOut1_UID"})), 0u);
  engine->refreshUsers();
  for (const auto& list : engine->users) EXPECT_TRUE(list.empty());
}

} // namespace
} // namespace velto
