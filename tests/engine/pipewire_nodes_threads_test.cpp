// The live engine on a private PipeWire server while nodes go and come back, and the system
// sound that reaches the mixer through "Velto Input" as the server's default sink. Null nodes
// stand in for the hardware; a null duplex node is the microphone (what is played into it comes
// out of its capture side).
#include "engine/engine.h"

#include "pipewire_engine_test.h"
#include "platform/audio/layer/notifications.h"
#include "platform/dispatch/main_queue.h"
#include "tests/support/tone_level.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace velto {
namespace {

namespace audio = platform::audio;
namespace dispatch = platform::dispatch;
using test::kToneAmplitude;
using test::kToneDb;
using test::kToneRate;
using test::NullNode;
using test::waitUntil;

constexpr double kTone = 997.0;
constexpr int kToneMillis = 30000; // outlasts the recordings, which grow on a loaded machine
constexpr int kRecordMillis = 700;
constexpr auto kRebind = std::chrono::seconds(5);

const NullNode kSpeakers = test::testSpeakers();

class PipewireNodesThreads : public test::PipewireEngineTest {
protected:
  PipewireNodesThreads() : PipewireEngineTest({test::testMicrophone(), kSpeakers}) {}

  void SetUp() override {
    PipewireEngineTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    tone_ = writeTone(kTone, kToneMillis);
    ASSERT_FALSE(tone_.empty());
    ASSERT_NO_FATAL_FAILURE(startEngineOnTestNodes());
  }

  // Runs the main queue (where the engine hears the device list) until `done`.
  static bool serveUntil(const std::function<bool()>& done) {
    return dispatch::runMainQueueUntil(done, kRebind);
  }

  // Plays the tone into `target` (empty: the default sink) until `meter` shows it, then records
  // output 1's sink; the recording, empty when the tone never arrived.
  std::vector<float> playAndRecord(const std::string& target, PeakMeter& meter) {
    return PipewireEngineTest::playAndRecord(target, tone_, meter, float(kToneAmplitude) / 2,
                                             kRecordMillis, serveUntil);
  }

  static void expectToneLevel(const std::vector<float>& recorded, const char* what) {
    PipewireEngineTest::expectToneLevel(recorded, kTone, kToneDb, what);
  }

  std::string tone_;
};

TEST_F(PipewireNodesThreads, NodeGoneDuringIoUnbindsItsLinkAndBindsAgainWhenItReturns) {
  engine_->hwInputs[0].strip.routeMask.store(1);
  Bus& out = engine_->buses[0];
  struct Case {
    const char* what;
    NullNode node;
    DeviceLink* link;
    PeakMeter* meter; // raised by the link's callback only
  };
  const std::vector<Case> cases = {
      {"the microphone of input 1", test::testMicrophone(), &engine_->hwInputs[0].link,
       &engine_->hwInputs[0].strip.meter},
      {"the speakers of output 1", kSpeakers, &out.link, &out.meter},
  };
  ASSERT_NE(cases[0].link->device, 0u);
  ASSERT_NE(cases[1].link->device, 0u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    out.meter.takeLeft();
    const pid_t player = daemon_->play("test.mic", tone_);
    ASSERT_GT(player, 0);
    ASSERT_TRUE(serveUntil([&] { return out.meter.takeLeft() > float(kToneAmplitude) / 2; }))
        << "the tone flows before the node goes";

    test::NoticeCounter notices(audio::kSystemObject, audio::kPropDevices);
    const audio::ObjectId before = c.link->device;
    ASSERT_TRUE(daemon_->removeNode(c.node.name));
    EXPECT_TRUE(serveUntil([&] { return c.link->device == 0; })) << "the link is unbound";
    EXPECT_EQ(engine_->findDevice(c.node.name), nullptr);
    EXPECT_EQ(test::deviceForUid(c.node.name), 0u);
    audio::flushNotifications();
    EXPECT_GE(notices.count(), 1) << "the device list's listeners heard it";
    EXPECT_EQ(c.link->uid, c.node.name) << "the choice stays for the node's return";
    c.meter->takeLeft();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(c.meter->takeLeft(), 0.0f) << "no callback of the link runs while the node is gone";
    daemon_->endPlay(player);

    ASSERT_TRUE(daemon_->addNode(c.node));
    EXPECT_TRUE(serveUntil([&] {
      return c.link->device != 0 && c.link->device == test::deviceForUid(c.node.name);
    })) << "bound again to the node that came back";
    EXPECT_NE(c.link->device, before) << "the node came back as a new device";
    const std::vector<float> recorded = playAndRecord("test.mic", out.meter);
    ASSERT_FALSE(recorded.empty()) << "the tone never reached output 1 again\n" << daemon_->nodes();
    expectToneLevel(recorded, c.what);
  }
}

TEST_F(PipewireNodesThreads, ServerThatComesBackBringsItsDevicesAndTheLinksBindAgain) {
  engine_->hwInputs[0].strip.routeMask.store(1);
  DeviceLink& input = engine_->hwInputs[0].link;
  Bus& out = engine_->buses[0];
  ASSERT_NE(input.device, 0u);
  ASSERT_NE(out.link.device, 0u);
  ASSERT_TRUE(serveUntil([&] { return engine_->clockLink.device != 0; }));

  daemon_->stop();
  EXPECT_TRUE(serveUntil([&] { return input.device == 0 && out.link.device == 0; }))
      << "the server's devices went with it";
  EXPECT_EQ(engine_->findDevice("test.mic"), nullptr);
  EXPECT_NE(engine_->clockLink.device, 0u) << "the driver's own devices stay";

  ASSERT_TRUE(daemon_->restart()) << "the private server did not answer again";
  ASSERT_TRUE(daemon_->addNode(test::testMicrophone()));
  ASSERT_TRUE(daemon_->addNode(kSpeakers));
  EXPECT_TRUE(serveUntil([&] {
    return input.device != 0 && input.device == test::deviceForUid("test.mic") &&
           out.link.device != 0 && out.link.device == test::deviceForUid("test.speakers");
  })) << "connected again, the links bind to the nodes";
  EXPECT_TRUE(waitUntil(
      [&] { return daemon_->nodes().find("velto.VeltoDefaultOutput_UID") != std::string::npos; },
      kRebind))
      << "the driver's devices are published again";
  const std::vector<float> recorded = playAndRecord("test.mic", out.meter);
  ASSERT_FALSE(recorded.empty()) << "the tone never reached output 1 again\n" << daemon_->nodes();
  expectToneLevel(recorded, "after the server came back");
}

TEST_F(PipewireNodesThreads, SystemSoundThroughVeltoInputReachesTheDefaultVirtualInput) {
  ASSERT_TRUE(serveUntil([&] {
    return engine_->systemLink.device != 0 && engine_->clockLink.device != 0;
  })) << "the driver's return and clock are bound";
  ASSERT_TRUE(engine_->makeDefaultOutput());
  EXPECT_TRUE(waitUntil(
      [&] {
        return daemon_->metadata({"0", "default.audio.sink"})
                   .find("{\"name\":\"velto.VeltoDefaultOutput_UID\"}") != std::string::npos;
      },
      kRebind))
      << daemon_->metadata({"0"});
  // Only the "Default" virtual input reaches output 1.
  VirtualIn& system = engine_->virtualIns[3];
  system.strip.routeMask.store(1);
  const std::vector<float> recorded = playAndRecord("", system.strip.meter);
  ASSERT_FALSE(recorded.empty()) << "the system sound never reached the Default input\n"
                                 << daemon_->nodes();
  expectToneLevel(recorded, "system sound");
}

} // namespace
} // namespace velto
