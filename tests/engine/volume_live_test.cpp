#include "core/levels.h"
#include "engine/engine.h"
#include "platform/audio/layer/listeners.h"
#include "platform/audio/layer/properties.h"
#include "platform/dispatch/main_queue.h"
#include "tests/support/audio_test_system.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>

namespace velto {
namespace {

namespace audio = platform::audio;
namespace dispatch = platform::dispatch;
using std::chrono::milliseconds;

constexpr char kVeltoInputUid[] = "VeltoDefaultOutput_UID";

// A live engine on the driver's devices under the manual clock. The system volume of "Velto
// Input" is changed the way the volume keys change it: another client writes the device's
// volume or mute, and the engine hears it through its listener and the main queue.
class VolumeKeysLiveThreads : public ::testing::Test {
protected:
  void SetUp() override {
    dispatch::resetMainQueue();
    system = std::make_unique<test::AudioTestSystem>();
    ASSERT_TRUE(system->started());
    device = test::deviceForUid(kVeltoInputUid);
    ASSERT_NE(device, 0u);
  }
  void TearDown() override {
    engine.reset();
    dispatch::resetMainQueue();
    system.reset();
  }

  void startEngine(bool live = true) {
    engine = std::make_unique<Engine>(live);
    settle();
  }

  // Delivers every queued notice and runs what it posted, until nothing moves any more.
  void settle() {
    for (int round = 0; round < 4; ++round) {
      audio::flushNotifications();
      dispatch::runMainQueueUntilIdle();
    }
  }

  // Lets the write-back timer step at least twice.
  void runWriteBack() {
    dispatch::runMainQueueFor(milliseconds(250));
    settle();
  }

  float systemVolume() const {
    return test::floatProperty(device, audio::kPropVolumeScalar, kAspScopeOutput);
  }
  bool systemMute() const {
    return test::wordProperty(device, audio::kPropMute, kAspScopeOutput) != 0;
  }
  // What the volume keys do: the system sets the device's volume or mute.
  void pressVolume(float volume) {
    ASSERT_EQ(test::setFloatProperty(device, audio::kPropVolumeScalar, volume, kAspScopeOutput),
              kAspNoError);
    settle();
  }
  void pressMute(bool mute) {
    ASSERT_EQ(test::setWordProperty(device, audio::kPropMute, mute ? 1 : 0, kAspScopeOutput),
              kAspNoError);
    settle();
  }

  float targetDb() { return gainToDb(engine->volumeKeysGain().load()); }

  std::unique_ptr<test::AudioTestSystem> system;
  std::unique_ptr<Engine> engine;
  audio::ObjectId device = 0;
};

TEST_F(VolumeKeysLiveThreads, FollowsVeltoInputAndTheFaderWinsAtOnce) {
  // The system volume as the user left it before the mixer started.
  pressVolume(0.3f);
  pressMute(true);
  startEngine();

  EXPECT_EQ(engine->macVolumeDevice, device);
  ASSERT_NE(engine->macVolumeTimer, nullptr);
  EXPECT_TRUE(engine->macVolumeTimer->isRunning());
  // The fader ("Default" at 0 dB, unmuted) was written over the system volume, and the echo of
  // that write left the fader alone.
  EXPECT_EQ(systemVolume(), 1.0f);
  EXPECT_FALSE(systemMute());
  EXPECT_EQ(engine->volumeKeysGain().load(), 1.0f);
  EXPECT_FALSE(engine->volumeKeysMute().load());
}

TEST_F(VolumeKeysLiveThreads, KeyPressMovesTheFaderByTheSameStepAndNothingIsWrittenBack) {
  startEngine();
  engine->volumeKeysGain() = dbToGain(-12.0f);
  runWriteBack();
  EXPECT_NEAR(systemVolume(), 0.631f, 1e-3f);

  test::NoticeCounter notices(device, audio::kPropVolumeScalar);
  ASSERT_TRUE(notices.listening());
  pressVolume(0.5f);
  EXPECT_NEAR(targetDb(), -18.06f, 0.01f);
  EXPECT_NEAR(engine->volumeKeysGain().load(), 0.125f, 1e-4f);

  // ∛0.125 = 0.5: the write-back steps find nothing to write.
  runWriteBack();
  audio::flushNotifications();
  EXPECT_EQ(notices.count(), 1);
  EXPECT_EQ(systemVolume(), 0.5f);
  EXPECT_NEAR(engine->volumeKeysGain().load(), 0.125f, 1e-4f);
}

TEST_F(VolumeKeysLiveThreads, WriteBackEchoChangesNoGain) {
  startEngine();
  // Each level maps to another system volume than the one before, so each step writes.
  for (const float db : {-7.3f, 6.0f, -30.0f, 0.0f, -59.0f, 12.0f}) {
    engine->volumeKeysGain() = dbToGain(db);
    test::NoticeCounter notices(device, audio::kPropVolumeScalar);
    runWriteBack();
    audio::flushNotifications();
    const float expected = std::cbrt(std::min(dbToGain(db), 1.0f));
    EXPECT_NEAR(systemVolume(), expected, 1e-6f) << db;
    // One write, whose echo came back through the listener and moved nothing.
    EXPECT_GE(notices.count(), 1) << db;
    EXPECT_EQ(engine->volumeKeysGain().load(), dbToGain(db)) << db;
  }
}

TEST_F(VolumeKeysLiveThreads, FaderAboveZeroDbIsHeldAtFullVolumeAfterAKeyPress) {
  startEngine();
  engine->volumeKeysGain() = dbToGain(6.0f);
  runWriteBack();
  EXPECT_EQ(systemVolume(), 1.0f);

  pressVolume(0.9f);
  EXPECT_NEAR(targetDb(), 6.0f - 2.745f, 0.01f);
  runWriteBack();
  EXPECT_EQ(systemVolume(), 1.0f);
  // The write of 1.0 came back as a report and was recognised as our own.
  EXPECT_NEAR(targetDb(), 3.255f, 0.01f);
}

TEST_F(VolumeKeysLiveThreads, MuteKeyMutesTheTargetAndFaderMuteIsWrittenBack) {
  startEngine();
  pressMute(true);
  EXPECT_TRUE(engine->volumeKeysMute().load());
  EXPECT_EQ(engine->volumeKeysGain().load(), 1.0f);

  engine->volumeKeysMute() = false;
  runWriteBack();
  EXPECT_FALSE(systemMute());
}

TEST_F(VolumeKeysLiveThreads, ChoosingAnotherTargetMovesTheSystemVolumeAtOnce) {
  startEngine();
  engine->buses[1].gain = dbToGain(-12.0f);
  engine->buses[1].mute = true;
  engine->setVolumeKeys(1);
  // Written by setVolumeKeys itself, before any timer step.
  EXPECT_NEAR(systemVolume(), 0.631f, 1e-3f);
  EXPECT_TRUE(systemMute());

  settle();
  pressVolume(0.5f);
  EXPECT_NEAR(gainToDb(engine->buses[1].gain.load()), -18.06f, 0.01f);
  EXPECT_EQ(engine->virtualIns[3].strip.gain.load(), 1.0f);

  engine->setVolumeKeys(3);
  EXPECT_EQ(engine->settings.volumeKeys, 1);
  EXPECT_EQ(systemVolume(), 0.5f);
}

TEST_F(VolumeKeysLiveThreads, FollowingMovesToTheDriverDeviceAfterAServerRestart) {
  startEngine();
  const platform::dispatch::Timer* timer = engine->macVolumeTimer.get();
  engine->volumeKeysGain() = dbToGain(-12.0f);
  runWriteBack();

  ASSERT_TRUE(audio::restartServer());
  settle();
  const audio::ObjectId reloaded = test::deviceForUid(kVeltoInputUid);
  ASSERT_NE(reloaded, 0u);
  ASSERT_NE(reloaded, device);
  device = reloaded;
  EXPECT_EQ(engine->macVolumeDevice, reloaded);
  // The same timer goes on; the new device got the fader's level at once.
  EXPECT_EQ(engine->macVolumeTimer.get(), timer);
  EXPECT_NEAR(systemVolume(), 0.631f, 1e-3f);

  pressVolume(0.5f);
  EXPECT_NEAR(targetDb(), -18.06f, 0.01f);
}

TEST_F(VolumeKeysLiveThreads, NonLiveEngineFollowsButNeverWritesTheSystemVolume) {
  pressVolume(0.3f);
  startEngine(false);
  EXPECT_EQ(engine->macVolumeDevice, device);
  EXPECT_EQ(engine->macVolumeTimer, nullptr);
  EXPECT_EQ(systemVolume(), 0.3f);

  // The bookkeeping goes on: the fader's level is remembered as the system volume...
  engine->volumeKeysGain() = dbToGain(-20.0f);
  engine->syncMacVolume();
  EXPECT_NEAR(engine->macVolume, 0.464f, 1e-3f);
  dispatch::runMainQueueFor(milliseconds(150));
  EXPECT_EQ(systemVolume(), 0.3f);

  // ...and a key press moves the fader from there: matched before, matched after.
  pressVolume(0.2f);
  EXPECT_NEAR(targetDb(), 60.0f * std::log10(0.2f), 0.01f);
  EXPECT_EQ(systemVolume(), 0.2f);
}

TEST_F(VolumeKeysLiveThreads, ReportQueuedBeforeTeardownNeverReachesTheDestroyedEngine) {
  startEngine();
  // The listener hears the change and queues its work, but the main queue has not run yet.
  ASSERT_EQ(test::setFloatProperty(device, audio::kPropVolumeScalar, 0.2f, kAspScopeOutput),
            kAspNoError);
  audio::flushNotifications();
  engine.reset();
  // Runs (and must drop) the queued work; the sanitizers see any use of the freed engine.
  dispatch::runMainQueueUntilIdle();

  // A new engine is not touched by stale work either.
  startEngine();
  EXPECT_EQ(engine->volumeKeysGain().load(), 1.0f);
}

class VolumeKeysNoDriverThreads : public ::testing::Test {
protected:
  void SetUp() override { dispatch::resetMainQueue(); }
  void TearDown() override { dispatch::resetMainQueue(); }
};

TEST_F(VolumeKeysNoDriverThreads, WithoutTheDriverNoListenerNoTimerAndNoDefaults) {
  test::AudioTestSystem system({audio::ClockMode::Manual, false});
  ASSERT_TRUE(system.started());
  test::addSpeaker("Speakers_UID", "Speakers");
  {
    Engine engine(true);
    EXPECT_EQ(engine.macVolumeDevice, 0u);
    EXPECT_EQ(engine.macVolumeTimer, nullptr);
    EXPECT_FALSE(engine.isDefaultOutput());
    EXPECT_FALSE(engine.makeDefaultOutput());
    for (int i = 0; i < 3; ++i) {
      EXPECT_FALSE(engine.isDefaultInput(i)) << i;
      EXPECT_FALSE(engine.makeDefaultInput(i)) << i;
    }
    engine.setVolumeKeys(0);
    EXPECT_EQ(engine.macVolumeTimer, nullptr);
  }
  dispatch::resetMainQueue();
}

} // namespace
} // namespace velto
