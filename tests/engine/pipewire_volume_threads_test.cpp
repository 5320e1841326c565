// The volume keys on a private PipeWire server, through the live engine: with "Velto Input" the
// default sink, what wpctl sets on the default sink reaches the driver's controls and moves the
// volume-keys fader by the same dB step; what the fader is given shows on the node; and a tone
// played into "Velto Input" is attenuated once, by the fader, whatever the node's volume.
#include "core/levels.h"
#include "engine/engine.h"

#include "engine_harness.h"
#include "pipewire_engine_test.h"
#include "platform/audio/layer/properties.h"
#include "platform/dispatch/main_queue.h"
#include "tests/support/tone_level.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace velto {
namespace {

namespace audio = platform::audio;
namespace dispatch = platform::dispatch;
using std::chrono::milliseconds;
using test::kToneDb;

constexpr char kVeltoInputUid[] = "VeltoDefaultOutput_UID";
constexpr char kVeltoInputNode[] = "velto.VeltoDefaultOutput_UID";
constexpr char kDefaultSink[] = "@DEFAULT_AUDIO_SINK@";
constexpr double kTone = 1000.0; // ten whole cycles in each block of kBlock frames
constexpr size_t kBlock = 480;

// The level of the left channel: the median of whole blocks that carry sound, so that a block
// lost to a loaded machine neither lowers nor raises it; 0.2 s of tone at least.
double toneLevel(const std::vector<float>& stereo) {
  return test::medianBlockLevel(stereo, kBlock, 20);
}

class PipewireVolumeThreads : public test::PipewireEngineTest {
protected:
  PipewireVolumeThreads() : PipewireEngineTest({test::testSpeakers()}) {}

  void SetUp() override {
    PipewireEngineTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    device_ = test::deviceForUid(kVeltoInputUid);
    ASSERT_NE(device_, 0u);

    engine_ = std::make_unique<Engine>(true);
    test::makeTransparent(*engine_);
    // What reaches "Velto Input" plays on the speakers through the volume-keys fader.
    engine_->setHwOutputDevice(0, test::testSpeakers().name);
    engine_->virtualIns[3].strip.routeMask.store(1);
    ASSERT_TRUE(engine_->makeDefaultOutput());
    ASSERT_TRUE(pump([&] {
      return daemon_->metadata({"0", "default.audio.sink"}).find(kVeltoInputNode) !=
             std::string::npos;
    })) << "Velto Input never became the default sink";
    // The engine's first write-back has reached the node: the fader (0 dB) wins.
    ASSERT_TRUE(pump([&] {
      const test::NodeVolume node = daemon_->volumeOf(kDefaultSink);
      return node.read && std::fabs(node.volume - 1.0f) < 0.01f && !node.muted;
    })) << daemon_->wpctl({"get-volume", kDefaultSink});

    toneFile_ = writeTone(kTone, 30000); // outlasts the recordings, which grow on a loaded machine
    ASSERT_FALSE(toneFile_.empty());
  }

  // Runs the main queue (the engine's listeners and write-back) until `done` or 5 s.
  static bool pump(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      dispatch::runMainQueueFor(milliseconds(20));
    }
    return true;
  }

  float driverVolume() const {
    return test::floatProperty(device_, audio::kPropVolumeScalar, kAspScopeOutput);
  }
  bool driverMute() const {
    return test::wordProperty(device_, audio::kPropMute, kAspScopeOutput) != 0;
  }
  float targetDb() { return gainToDb(engine_->volumeKeysGain().load()); }
  test::NodeVolume nodeVolume() { return daemon_->volumeOf(kDefaultSink); }

  // The level at which a tone of 0.25 played into "Velto Input" leaves on the speakers.
  double playedLevel() {
    return toneLevel(
        playAndRecord(kVeltoInputNode, toneFile_, engine_->buses[0].meter, 0.001f, 800, pump));
  }

  audio::ObjectId device_ = 0;
  std::string toneFile_;
};

TEST_F(PipewireVolumeThreads, KeysOnTheDefaultSinkMoveTheDriverAndTheFader) {
  struct Case {
    const char* what;
    std::vector<std::string> command; // wpctl's arguments after the node
    float volume;                     // the driver's control afterwards
    bool mute;
    float targetDb; // the fader followed the step, 60·log10 of the volume from 0 dB
    bool tone;      // the tone is measured on the speakers
  };
  const std::vector<Case> cases = {
      {"volume 0.5", {"set-volume", kDefaultSink, "0.5"}, 0.5f, false, -18.062f, true},
      {"mute", {"set-mute", kDefaultSink, "1"}, 0.5f, true, -18.062f, false},
      {"unmute", {"set-mute", kDefaultSink, "0"}, 0.5f, false, -18.062f, false},
      {"volume 0.8", {"set-volume", kDefaultSink, "0.8"}, 0.8f, false, -5.815f, true},
      // Above what the control takes: the control and the node stay at the top.
      {"volume 1.5", {"set-volume", kDefaultSink, "1.5"}, 1.0f, false, 0.0f, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    daemon_->wpctl(c.command);
    EXPECT_TRUE(pump([&] {
      return std::fabs(driverVolume() - c.volume) < 0.01f && driverMute() == c.mute &&
             std::fabs(targetDb() - c.targetDb) < 0.1f &&
             engine_->volumeKeysMute().load() == c.mute;
    })) << "driver "
        << driverVolume() << (driverMute() ? " muted" : "") << ", fader " << targetDb() << " dB";
    // Let the write-back step twice: it writes nothing back, so the node keeps what was set.
    dispatch::runMainQueueFor(milliseconds(250));
    const test::NodeVolume node = nodeVolume();
    ASSERT_TRUE(node.read);
    EXPECT_NEAR(node.volume, c.volume, 0.01f);
    EXPECT_EQ(node.muted, c.mute);
    if (c.tone) {
      const double level = playedLevel();
      EXPECT_NEAR(level, kToneDb + c.targetDb, 0.1) << "attenuated once, by the fader";
      std::printf("[ figures  ] %s: tone %.3f dBFS on the speakers (expected %.3f)\n", c.what,
                  level, kToneDb + c.targetDb);
    }
  }
}

TEST_F(PipewireVolumeThreads, TheFaderShowsOnTheDefaultSink) {
  struct Case {
    const char* what;
    float faderDb;
    bool mute;
    float volume; // what wpctl shows: ∛ of the fader's gain
    bool tone;
  };
  const std::vector<Case> cases = {
      {"-12 dB", -12.0f, false, 0.631f, true}, {"-12 dB muted", -12.0f, true, 0.631f, false},
      {"-6 dB", -6.0f, false, 0.794f, false},  {"-30 dB", -30.0f, false, 0.316f, true},
      {"0 dB", 0.0f, false, 1.0f, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    engine_->volumeKeysGain().store(dbToGain(c.faderDb));
    engine_->volumeKeysMute().store(c.mute);
    test::NodeVolume node;
    EXPECT_TRUE(pump([&] {
      node = nodeVolume();
      return node.read && std::fabs(node.volume - c.volume) < 0.01f && node.muted == c.mute;
    })) << "the node shows "
        << node.volume << (node.muted ? " muted" : "");
    EXPECT_NEAR(driverVolume(), c.volume, 0.01f);
    EXPECT_EQ(driverMute(), c.mute);
    // The node's volume coming back changes nothing on the fader.
    dispatch::runMainQueueFor(milliseconds(250));
    EXPECT_NEAR(targetDb(), c.faderDb, 0.01f);
    if (c.tone) {
      const double level = playedLevel();
      EXPECT_NEAR(level, kToneDb + c.faderDb, 0.1) << "attenuated once, by the fader";
      std::printf("[ figures  ] %s: tone %.3f dBFS on the speakers (expected %.3f)\n", c.what,
                  level, kToneDb + c.faderDb);
    }
  }
}

} // namespace
} // namespace velto
