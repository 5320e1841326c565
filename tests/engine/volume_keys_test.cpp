#include "engine/engine.h"
#include "core/levels.h"
#include "tests/support/dispatch_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>

namespace velto {
namespace {

// A non-live engine keeps the whole volume bookkeeping without any device: reports are fed in
// as the listener would deliver them, and the write-back step is called directly.
class VolumeKeys : public test::DispatchTest {
protected:
  void SetUp() override {
    test::DispatchTest::SetUp();
    engine = std::make_unique<Engine>(false);
  }
  void TearDown() override {
    engine.reset();
    test::DispatchTest::TearDown();
  }

  // The fader at `db`, and the system volume taken in step with it by one write-back.
  void holdTargetAt(float db) {
    engine->volumeKeysGain() = dbToGain(db);
    engine->syncMacVolume();
  }

  float targetDb() { return gainToDb(engine->volumeKeysGain().load()); }

  std::unique_ptr<Engine> engine;
};

float cube(float v) {
  return v * v * v;
}

TEST_F(VolumeKeys, TargetFollowsTheChosenFader) {
  EXPECT_EQ(engine->settings.volumeKeys, -1);
  EXPECT_EQ(&engine->volumeKeysGain(), &engine->virtualIns[3].strip.gain);
  EXPECT_EQ(&engine->volumeKeysMute(), &engine->virtualIns[3].strip.mute);
  for (int k = 0; k < 3; ++k) {
    engine->setVolumeKeys(k);
    EXPECT_EQ(engine->settings.volumeKeys, k);
    EXPECT_EQ(&engine->volumeKeysGain(), &engine->buses[k].gain);
    EXPECT_EQ(&engine->volumeKeysMute(), &engine->buses[k].mute);
  }
}

TEST_F(VolumeKeys, WriteBackHoldsTheCubeRootOfTheGain) {
  struct Case {
    float db;
    float volume;
  };
  const Case cases[] = {
      {-12.0f, 0.631f}, {0.0f, 1.0f},   {6.0f, 1.0f},
      {12.0f, 1.0f},    {-60.0f, 0.0f}, {-30.0f, 0.3162f},
  };
  for (const Case& c : cases) {
    holdTargetAt(c.db);
    EXPECT_NEAR(engine->macVolume, c.volume, 1e-3f) << c.db;
  }
}

TEST_F(VolumeKeys, ReportMovesTheFaderBySameDbStepAndWriteBackThenHoldsStill) {
  holdTargetAt(-12.0f);
  EXPECT_NEAR(engine->volumeKeysGain().load(), 0.251f, 1e-3f);
  EXPECT_NEAR(engine->macVolume, 0.631f, 1e-3f);

  engine->applyMacVolume(0.5f, false);
  EXPECT_NEAR(targetDb(), -18.06f, 0.01f);
  EXPECT_NEAR(engine->volumeKeysGain().load(), 0.125f, 1e-4f);
  EXPECT_NEAR(engine->volumeKeysGain().load(), cube(0.5f), 1e-4f);
  EXPECT_EQ(engine->macVolume, 0.5f);

  // ∛0.125 = 0.5: the next step finds nothing to write.
  engine->syncMacVolume();
  EXPECT_EQ(engine->macVolume, 0.5f);
}

TEST_F(VolumeKeys, ReportOfZeroSilencesAndNextStepIsMeasuredFromTheFloor) {
  holdTargetAt(-12.0f);
  engine->applyMacVolume(0.0f, false);
  EXPECT_EQ(engine->volumeKeysGain().load(), 0.0f);

  engine->applyMacVolume(0.5f, false);
  EXPECT_NEAR(engine->volumeKeysGain().load(), 0.125f, 1e-4f);
  EXPECT_NEAR(targetDb(), -18.06f, 0.01f);
}

TEST_F(VolumeKeys, FaderAboveZeroDbKeepsItsOffsetAndIsWrittenBackAsFullVolume) {
  holdTargetAt(6.0f);
  EXPECT_EQ(engine->macVolume, 1.0f);

  engine->applyMacVolume(0.9f, false);
  EXPECT_NEAR(targetDb(), 6.0f - 2.745f, 0.01f);
  EXPECT_EQ(engine->macVolume, 0.9f);

  // The fader is still above 0 dB, so the system volume goes back to full.
  engine->syncMacVolume();
  EXPECT_EQ(engine->macVolume, 1.0f);
  EXPECT_NEAR(targetDb(), 3.255f, 0.01f);
}

TEST_F(VolumeKeys, LevelsPastTheFaderRangeAreClamped) {
  // A report beyond full volume lifts the fader by its step, but not past +12 dB.
  holdTargetAt(6.0f);
  engine->applyMacVolume(1.5f, false);
  EXPECT_NEAR(targetDb(), 12.0f, 1e-4f);

  // The fader was pulled to -50 dB and a key press arrives before the write-back: the step
  // from full volume down to 0.05 (-60 dB after the floor) would land far below the floor.
  holdTargetAt(0.0f);
  engine->volumeKeysGain() = dbToGain(-50.0f);
  engine->applyMacVolume(0.05f, false);
  EXPECT_EQ(engine->volumeKeysGain().load(), 0.0f);
}

TEST_F(VolumeKeys, SmallReportsAreEchoesAndChangeNothing) {
  holdTargetAt(-12.0f);
  const float remembered = engine->macVolume;
  std::atomic<float>& gain = engine->volumeKeysGain();
  engine->fadeTo(gain, -30.0f, 0.5f);
  const float before = gain.load();

  for (const float delta : {0.0019f, -0.0019f, 0.001f, 0.0f}) {
    engine->applyMacVolume(remembered + delta, false);
    EXPECT_EQ(gain.load(), before) << delta;
    float target = 0.0f;
    EXPECT_TRUE(engine->fadeTarget(gain, target)) << delta;
    EXPECT_EQ(target, -30.0f);
    engine->macVolume = remembered;
  }
  // Just past the threshold it is the user's change.
  engine->applyMacVolume(remembered - 0.0025f, false);
  EXPECT_LT(gain.load(), before);
  float target = 0.0f;
  EXPECT_FALSE(engine->fadeTarget(gain, target));
}

TEST_F(VolumeKeys, MuteReportAloneChangesTheMuteAndKeepsTheFade) {
  holdTargetAt(-6.0f);
  std::atomic<float>& gain = engine->volumeKeysGain();
  engine->fadeTo(gain, -20.0f, 0.5f);
  const float volume = engine->macVolume;

  engine->applyMacVolume(volume, true);
  EXPECT_TRUE(engine->volumeKeysMute().load());
  EXPECT_TRUE(engine->macMute);
  EXPECT_EQ(engine->fades.size(), 1u);

  engine->applyMacVolume(volume, false);
  EXPECT_FALSE(engine->volumeKeysMute().load());
  EXPECT_EQ(engine->fades.size(), 1u);
}

TEST_F(VolumeKeys, VolumeReportCancelsARunningFadeOfTheTarget) {
  holdTargetAt(0.0f);
  std::atomic<float>& gain = engine->volumeKeysGain();
  std::atomic<float>& other = engine->buses[2].gain;
  engine->fadeTo(gain, -40.0f, 0.1f);
  engine->fadeTo(other, -40.0f, 0.1f);

  engine->applyMacVolume(0.5f, false);
  float target = 0.0f;
  EXPECT_FALSE(engine->fadeTarget(gain, target));
  EXPECT_TRUE(engine->fadeTarget(other, target));
  EXPECT_NEAR(targetDb(), 60.0f * std::log10(0.5f), 0.01f);
}

TEST_F(VolumeKeys, FirstReportAfterReattachChangesNoGain) {
  std::atomic<float>& gain = engine->volumeKeysGain();
  gain = dbToGain(-9.0f);
  ASSERT_EQ(engine->macVolume, -1.0f);
  engine->applyMacVolume(0.2f, true);
  EXPECT_EQ(gain.load(), dbToGain(-9.0f));
  EXPECT_EQ(engine->macVolume, 0.2f);
  // The mute is taken over: it differs from the remembered one.
  EXPECT_TRUE(engine->volumeKeysMute().load());

  engine->applyMacVolume(0.1f, true);
  EXPECT_NEAR(targetDb(), -9.0f + 60.0f * std::log10(0.5f), 0.01f);
}

TEST_F(VolumeKeys, SetVolumeKeysOutsideTheRangeChangesNothing) {
  engine->buses[1].gain = dbToGain(-12.0f);
  holdTargetAt(0.0f);
  for (const int k : {3, -2, 100, -100}) {
    engine->setVolumeKeys(k);
    EXPECT_EQ(engine->settings.volumeKeys, -1) << k;
    EXPECT_EQ(engine->macVolume, 1.0f) << k;
  }
  // Hardware output 2: the system volume follows it at once.
  engine->buses[1].mute = true;
  engine->setVolumeKeys(1);
  EXPECT_EQ(engine->settings.volumeKeys, 1);
  EXPECT_NEAR(engine->macVolume, 0.631f, 1e-3f);
  EXPECT_TRUE(engine->macMute);
}

TEST_F(VolumeKeys, ReportsMoveOnlyTheChosenTarget) {
  engine->setVolumeKeys(2);
  holdTargetAt(0.0f);
  engine->applyMacVolume(0.5f, true);
  EXPECT_NEAR(gainToDb(engine->buses[2].gain.load()), -18.06f, 0.01f);
  EXPECT_TRUE(engine->buses[2].mute.load());
  EXPECT_EQ(engine->virtualIns[3].strip.gain.load(), 1.0f);
  EXPECT_FALSE(engine->virtualIns[3].strip.mute.load());
}

TEST_F(VolumeKeys, ReportThatIsNotANumberChangesNothing) {
  holdTargetAt(-12.0f);
  std::atomic<float>& gain = engine->volumeKeysGain();
  engine->fadeTo(gain, -20.0f, 0.5f);
  const float gainBefore = gain.load();
  const float volumeBefore = engine->macVolume;

  constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  for (const float v : {kNan, kInf, -kInf}) {
    engine->applyMacVolume(v, true);
    EXPECT_EQ(gain.load(), gainBefore) << v;
    EXPECT_FALSE(engine->volumeKeysMute().load()) << v;
    EXPECT_EQ(engine->macVolume, volumeBefore) << v;
    EXPECT_FALSE(engine->macMute) << v;
    EXPECT_EQ(engine->fades.size(), 1u) << v;
    engine->setMacVolumeForTest(v, true);
    EXPECT_EQ(gain.load(), gainBefore) << v;
    EXPECT_EQ(engine->macVolume, volumeBefore) << v;
  }
  // A proper report afterwards is still measured from the remembered volume.
  engine->applyMacVolume(0.5f, false);
  EXPECT_NEAR(gain.load(), 0.125f, 1e-4f);
}

TEST_F(VolumeKeys, GainThatIsNotANumberIsNeverWrittenBack) {
  holdTargetAt(-12.0f);
  const float volumeBefore = engine->macVolume;
  engine->volumeKeysGain() = std::numeric_limits<float>::quiet_NaN();
  engine->syncMacVolume();
  EXPECT_EQ(engine->macVolume, volumeBefore);
  // And a report then lifts the fader from the floor instead of spreading the NaN.
  engine->applyMacVolume(0.5f, false);
  EXPECT_TRUE(std::isfinite(engine->volumeKeysGain().load()));
}

TEST_F(VolumeKeys, NonLiveEngineWithoutDriverFollowsNothingAndStartsNoTimer) {
  EXPECT_EQ(engine->macVolumeDevice, 0u);
  EXPECT_EQ(engine->macVolumeTimer, nullptr);
  engine->watchMacVolume();
  engine->readMacVolume(); // no device: nothing to read
  EXPECT_EQ(engine->macVolumeDevice, 0u);
  EXPECT_EQ(engine->macVolumeTimer, nullptr);
  EXPECT_EQ(engine->volumeKeysGain().load(), 1.0f);
}

TEST_F(VolumeKeys, WithoutTheDriverDefaultDevicesAreNeitherReportedNorMade) {
  engine->settings.previousOutput = "Speakers_UID";
  engine->settings.restoreOutput = true;
  EXPECT_FALSE(engine->isDefaultOutput());
  EXPECT_FALSE(engine->makeDefaultOutput());
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(engine->isDefaultInput(i)) << i;
    EXPECT_FALSE(engine->makeDefaultInput(i)) << i;
  }
  engine->restoreDefaultOutput();
  EXPECT_EQ(engine->settings.previousOutput, "Speakers_UID");
}

} // namespace
} // namespace velto
