// The running-applications registry and the executable path of a process id.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "platform/audio/layer/running_apps.h"
#include "platform/audio/simulated/sim_processes.h"
#include "tests/support/audio_test_system.h"

namespace {

namespace audio = platform::audio;
using velto::test::AudioTestSystem;

// Empties the registry around each test that does not start the audio layer.
class AudioRunningApps : public ::testing::Test {
protected:
  void SetUp() override { audio::resetRunningApplications(); }
  void TearDown() override { audio::resetRunningApplications(); }
};

TEST_F(AudioRunningApps, ApplicationsKeepLaunchOrderAndAPidIsReplacedInPlace) {
  audio::addRunningApplication({"com.example.mail", "Mail", 10, audio::ActivationPolicy::Regular});
  audio::addRunningApplication(
      {std::nullopt, std::nullopt, 11, audio::ActivationPolicy::Accessory});
  audio::addRunningApplication({"com.example.web", "Web", 12, audio::ActivationPolicy::Regular});
  audio::addRunningApplication({"com.example.mail", "Post", 10, audio::ActivationPolicy::Regular});
  std::vector<audio::RunningApplication> apps = audio::runningApplications();
  ASSERT_EQ(apps.size(), 3u);
  EXPECT_EQ(apps[0].localizedName, "Post");
  EXPECT_FALSE(apps[1].bundleId.has_value());
  EXPECT_EQ(apps[1].policy, audio::ActivationPolicy::Accessory);
  EXPECT_EQ(apps[2].pid, 12);
  EXPECT_TRUE(audio::removeRunningApplication(11));
  EXPECT_FALSE(audio::removeRunningApplication(11));
  apps = audio::runningApplications();
  ASSERT_EQ(apps.size(), 2u);
  EXPECT_EQ(apps[1].bundleId, "com.example.web");
}

TEST_F(AudioRunningApps, OwnApplicationIsThisProcessUntilSet) {
  EXPECT_EQ(audio::ownPid(), int32_t(getpid()));
  EXPECT_EQ(audio::ownBundleId(), "");
  audio::setOwnApplication("com.velto.mixer", 4711);
  EXPECT_EQ(audio::ownPid(), 4711);
  EXPECT_EQ(audio::ownBundleId(), "com.velto.mixer");
  audio::resetRunningApplications();
  EXPECT_EQ(audio::ownPid(), int32_t(getpid()));
}

TEST_F(AudioRunningApps, LocationsAreFoundByBundleId) {
  EXPECT_FALSE(audio::applicationLocation("com.example.tv").has_value());
  audio::setApplicationLocation("com.example.tv", "/Applications/TV.app");
  EXPECT_EQ(audio::applicationLocation("com.example.tv"), "/Applications/TV.app");
  EXPECT_FALSE(audio::applicationLocation("com.example").has_value());
}

TEST_F(AudioRunningApps, RealProcessesAnswerWithTheirExecutable) {
  EXPECT_EQ(audio::executablePathOfPid(int32_t(getpid())),
            std::filesystem::read_symlink("/proc/self/exe").string());
  EXPECT_EQ(audio::executablePathOfPid(0), "");
  EXPECT_EQ(audio::executablePathOfPid(-5), "");
}

TEST(AudioRunningAppsThreads, SimulatedProcessesAnswerWithTheirPathOrName) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  audio::SimProcessConfig daemon;
  daemon.pid = 2000000001;
  daemon.name = "coreaudiod-helper";
  audio::SimProcessConfig tool;
  tool.pid = 2000000002;
  tool.name = "tool";
  tool.executablePath = "/usr/libexec/tool";
  ASSERT_NE(audio::addSimProcess(daemon), 0u);
  const audio::ObjectId toolObject = audio::addSimProcess(tool);
  EXPECT_EQ(audio::executablePathOfPid(2000000001), "coreaudiod-helper");
  EXPECT_EQ(audio::executablePathOfPid(2000000002), "/usr/libexec/tool");
  ASSERT_TRUE(audio::removeSimProcess(toolObject));
  EXPECT_EQ(audio::executablePathOfPid(2000000002), "");
  // The test system starts with an empty registry.
  EXPECT_TRUE(audio::runningApplications().empty());
}

} // namespace
