// Which sound devices the program gets: the PipeWire server's when one answers, the simulated
// set otherwise, and what VELTO_AUDIO forces. A private server stands in for the machine's.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/default_devices.h"
#include "tests/support/audio_test_system.h"
#include "tests/support/pipewire_daemon.h"

namespace {

namespace audio = platform::audio;
using velto::AudioDevices;
using velto::test::deviceForUid;

TEST(AudioDevicesThreads, ServerAnswersOrVariableForces) {
  if (!velto::test::pipewireInstalled()) GTEST_SKIP() << "PipeWire is not installed";
  velto::test::PipewireDaemon daemon;
  ASSERT_TRUE(daemon.running());
  ASSERT_TRUE(daemon.addNode({"test.speakers", "Test Speakers", false, 2}));
  struct Case {
    const char* choice;
    bool serverThere;
    AudioDevices result;
    bool serverDevice;
    bool simulatedDevice;
  };
  const Case cases[] = {
      {nullptr, true, AudioDevices::PipeWire, true, false},
      {"", true, AudioDevices::PipeWire, true, false},
      {"pipewire", true, AudioDevices::PipeWire, true, false},
      {"simulated", true, AudioDevices::Simulated, false, true},
      {"something", true, AudioDevices::PipeWire, true, false},
      {nullptr, false, AudioDevices::Simulated, false, true},
      {"simulated", false, AudioDevices::Simulated, false, true},
      {"pipewire", false, AudioDevices::None, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.choice != nullptr ? c.choice : "(unset)") +
                 (c.serverThere ? " with a server" : " without a server"));
    velto::test::AudioTestSystem system(
        velto::test::AudioTestOptions{audio::ClockMode::RealTime, /*withDriver=*/false});
    ASSERT_TRUE(system.started());
    audio::PipewireOptions server;
    server.remote = c.serverThere ? daemon.socket() : daemon.socket() + "-absent";
    server.answerMillis = 2000;
    EXPECT_EQ(velto::startAudioDevices(c.choice, server), c.result);
    EXPECT_EQ(deviceForUid("test.speakers") != 0, c.serverDevice);
    EXPECT_EQ(deviceForUid(velto::kSimMicrophoneUid) != 0, c.simulatedDevice);
    EXPECT_EQ(velto::test::deviceList().size(),
              c.serverDevice ? 1u : (c.simulatedDevice ? 3u : 0u));
    velto::stopAudioDevices();
    EXPECT_FALSE(audio::pipewireDevicesRunning());
    EXPECT_EQ(deviceForUid("test.speakers"), 0u) << "the server's devices go with the stop";
  }
}

} // namespace
