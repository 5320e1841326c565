#include "engine/engine.h"
#include "platform/audio/layer/listeners.h"
#include "platform/audio/layer/properties.h"
#include "platform/audio/simulated/sim_devices.h"
#include "platform/dispatch/main_queue.h"
#include "tests/support/audio_test_system.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace velto {
namespace {

namespace audio = platform::audio;
namespace dispatch = platform::dispatch;

constexpr char kVeltoInputUid[] = "VeltoDefaultOutput_UID";

// A live engine on the driver's devices plus simulated speakers, headphones and a microphone,
// under the manual clock. The system default devices are read and set on the system object as
// any other client of the audio layer would.
class DefaultDevicesThreads : public ::testing::Test {
protected:
  void SetUp() override {
    dispatch::resetMainQueue();
    system = std::make_unique<test::AudioTestSystem>();
    ASSERT_TRUE(system->started());
    speakers = test::addSpeaker("Speakers_UID", "Speakers");
    headphones = test::addSpeaker("Headphones_UID", "Headphones");
    microphone = test::addMicrophone("Mic_UID", "Microphone", audio::SignalSource::silence());
    veltoInput = test::deviceForUid(kVeltoInputUid);
    ASSERT_NE(speakers, 0u);
    ASSERT_NE(headphones, 0u);
    ASSERT_NE(veltoInput, 0u);
    // The user's own choice before the mixer starts.
    ASSERT_EQ(setDefaultOutput(speakers), kAspNoError);
    engine = std::make_unique<Engine>(true);
    settle();
  }
  void TearDown() override {
    engine.reset();
    dispatch::resetMainQueue();
    system.reset();
  }

  void settle() {
    for (int round = 0; round < 3; ++round) {
      audio::flushNotifications();
      dispatch::runMainQueueUntilIdle();
    }
  }

  static AspStatus setDefaultOutput(audio::ObjectId device) {
    return test::setWordProperty(audio::kSystemObject, audio::kPropDefaultOutputDevice, device);
  }
  static audio::ObjectId defaultOutput() {
    return test::wordProperty(audio::kSystemObject, audio::kPropDefaultOutputDevice);
  }
  static audio::ObjectId defaultInput() {
    return test::wordProperty(audio::kSystemObject, audio::kPropDefaultInputDevice);
  }

  std::unique_ptr<test::AudioTestSystem> system;
  std::unique_ptr<Engine> engine;
  audio::ObjectId speakers = 0;
  audio::ObjectId headphones = 0;
  audio::ObjectId microphone = 0;
  audio::ObjectId veltoInput = 0;
};

TEST_F(DefaultDevicesThreads, MakeDefaultOutputTakesOverAndRemembersTheReplacedOutput) {
  EXPECT_FALSE(engine->isDefaultOutput());
  ASSERT_TRUE(engine->makeDefaultOutput());
  EXPECT_EQ(defaultOutput(), veltoInput);
  EXPECT_TRUE(engine->isDefaultOutput());
  EXPECT_EQ(engine->settings.previousOutput, "Speakers_UID");
}

TEST_F(DefaultDevicesThreads, MakeDefaultOutputAgainKeepsTheEarlierPreviousOutput) {
  ASSERT_TRUE(engine->makeDefaultOutput());
  ASSERT_TRUE(engine->makeDefaultOutput());
  EXPECT_EQ(engine->settings.previousOutput, "Speakers_UID");
  EXPECT_TRUE(engine->isDefaultOutput());
}

TEST_F(DefaultDevicesThreads, RestoreGivesTheOutputBackOnlyWhenAskedTo) {
  ASSERT_TRUE(engine->makeDefaultOutput());

  // Off by default: nothing happens.
  engine->restoreDefaultOutput();
  EXPECT_EQ(defaultOutput(), veltoInput);

  engine->settings.restoreOutput = true;
  engine->restoreDefaultOutput();
  EXPECT_EQ(defaultOutput(), speakers);
  EXPECT_FALSE(engine->isDefaultOutput());
  // Remembered still, for the next run.
  EXPECT_EQ(engine->settings.previousOutput, "Speakers_UID");
}

TEST_F(DefaultDevicesThreads, RestoreLeavesAnOutputTheUserChoseMeanwhile) {
  ASSERT_TRUE(engine->makeDefaultOutput());
  engine->settings.restoreOutput = true;
  ASSERT_EQ(setDefaultOutput(headphones), kAspNoError);
  engine->restoreDefaultOutput();
  EXPECT_EQ(defaultOutput(), headphones);
}

TEST_F(DefaultDevicesThreads, RestoreDoesNothingWhenTheRememberedOutputIsGone) {
  ASSERT_TRUE(engine->makeDefaultOutput());
  engine->settings.restoreOutput = true;
  ASSERT_TRUE(audio::removeSimDevice("Speakers_UID"));
  settle();
  ASSERT_EQ(engine->findDevice("Speakers_UID"), nullptr);
  engine->restoreDefaultOutput();
  EXPECT_EQ(defaultOutput(), veltoInput);
  EXPECT_EQ(engine->settings.previousOutput, "Speakers_UID");
}

TEST_F(DefaultDevicesThreads, RestoreFindsTheRememberedOutputByNameToo) {
  ASSERT_TRUE(engine->makeDefaultOutput());
  engine->settings.restoreOutput = true;
  engine->settings.previousOutput = "HEADPHONES";
  engine->restoreDefaultOutput();
  EXPECT_EQ(defaultOutput(), headphones);
}

TEST_F(DefaultDevicesThreads, RestoreWithNothingRememberedChangesNothing) {
  ASSERT_EQ(setDefaultOutput(veltoInput), kAspNoError);
  engine->settings.restoreOutput = true;
  engine->settings.previousOutput.clear();
  engine->restoreDefaultOutput();
  EXPECT_EQ(defaultOutput(), veltoInput);
}

TEST_F(DefaultDevicesThreads, WithNoDefaultOutputNothingIsRemembered) {
  // Unplugging the user's output leaves the system without a default output.
  ASSERT_TRUE(audio::removeSimDevice("Speakers_UID"));
  settle();
  ASSERT_EQ(defaultOutput(), 0u);
  engine->settings.previousOutput = "Older_UID";
  ASSERT_TRUE(engine->makeDefaultOutput());
  EXPECT_EQ(engine->settings.previousOutput, "Older_UID");
  EXPECT_TRUE(engine->isDefaultOutput());
}

TEST_F(DefaultDevicesThreads, EachVirtualOutputCanBecomeTheDefaultInput) {
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(engine->makeDefaultInput(i)) << i;
    EXPECT_EQ(defaultInput(), test::deviceForUid(virtualOutUid(i))) << i;
    for (int j = 0; j < 3; ++j) EXPECT_EQ(engine->isDefaultInput(j), i == j) << i << " " << j;
  }
  // The default output is a different matter.
  EXPECT_FALSE(engine->isDefaultOutput());
  EXPECT_EQ(defaultOutput(), speakers);
}

TEST_F(DefaultDevicesThreads, GeneralFormsTakeAUidOrANameAndReportARefusedWrite) {
  EXPECT_TRUE(engine->isDefaultDevice(audio::kPropDefaultOutputDevice, "speakers"));
  EXPECT_TRUE(engine->makeDefaultDevice(audio::kPropDefaultOutputDevice, "Headphones"));
  EXPECT_EQ(defaultOutput(), headphones);
  EXPECT_TRUE(engine->isDefaultDevice(audio::kPropDefaultOutputDevice, "Headphones_UID"));

  // A microphone cannot be the default output: the system refuses and nothing changes.
  EXPECT_FALSE(engine->makeDefaultDevice(audio::kPropDefaultOutputDevice, "Mic_UID"));
  EXPECT_EQ(defaultOutput(), headphones);
  EXPECT_TRUE(engine->makeDefaultDevice(audio::kPropDefaultInputDevice, "Microphone"));
  EXPECT_EQ(defaultInput(), microphone);

  // Unknown keys are neither default nor made default.
  EXPECT_FALSE(engine->isDefaultDevice(audio::kPropDefaultOutputDevice, "Nowhere_UID"));
  EXPECT_FALSE(engine->makeDefaultDevice(audio::kPropDefaultOutputDevice, "Nowhere_UID"));
  EXPECT_FALSE(engine->isDefaultDevice(audio::kPropDefaultOutputDevice, ""));
  EXPECT_FALSE(engine->isDefaultInput(3));
  EXPECT_FALSE(engine->makeDefaultInput(-1));
}

} // namespace
} // namespace velto
