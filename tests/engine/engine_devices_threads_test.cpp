// Device list, links and buffer size with the audio layer running under the manual clock: the
// driver's hidden devices bound as internal links, simulated hardware bound by UID or name,
// 48000 Hz and the buffer size on every bound device, unplug and replug, latency, and listener
// work that never reaches a destroyed engine.
#include "engine/engine.h"

#include "engine_live_harness.h"
#include "platform/audio/layer/audio_system.h"
#include "platform/audio/layer/listeners.h"
#include "platform/audio/layer/manual_clock.h"
#include "platform/audio/layer/properties.h"
#include "platform/dispatch/main_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

namespace velto {
namespace {

namespace audio = platform::audio;
using test::deviceForUid;
using test::simInput;
using test::simOutput;
using test::wordProperty;

double rateOf(audio::ObjectId device) {
  const AspPropertyAddress a{audio::kPropNominalSampleRate, kAspScopeGlobal, kAspElementMain};
  double rate = 0.0;
  uint32_t size = sizeof rate;
  audio::getPropertyData(device, &a, 0, nullptr, &size, &rate);
  return rate;
}

void setRate(audio::ObjectId device, double rate) {
  const AspPropertyAddress a{audio::kPropNominalSampleRate, kAspScopeGlobal, kAspElementMain};
  audio::setPropertyData(device, &a, 0, nullptr, sizeof rate, &rate);
}

class EngineDevicesThreads : public test::LiveEngineFixture {};

TEST_F(EngineDevicesThreads, DriversHiddenDevicesBindAsInternalLinks) {
  startSystem();
  startEngine();
  const char* feeds[] = {"VeltoOut1Feed_UID", "VeltoOut2Feed_UID", "VeltoOut3Feed_UID"};
  for (int i = 0; i < 3; ++i) {
    const audio::ObjectId id = deviceForUid(feeds[i]);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(engine->buses[3 + i].link.device, id);
    EXPECT_NE(engine->buses[3 + i].link.ioProc, audio::kNoIoProc);
    EXPECT_EQ(wordProperty(id, audio::kPropBufferFrameSize), 128u);
  }
  EXPECT_EQ(engine->clockLink.device, deviceForUid("VeltoClock_UID"));
  EXPECT_EQ(engine->systemLink.device, deviceForUid("VeltoDefaultOutputReturn_UID"));
  EXPECT_EQ(rateOf(engine->clockLink.device), 48000.0);

  // The five hidden devices are listed once more as internal entries; everything of the
  // system's own list is not internal.
  int internal = 0;
  for (const DeviceInfo& d : engine->devices) {
    if (d.internal) {
      ++internal;
      EXPECT_TRUE(Engine::fits(d, DeviceRole::Internal)) << d.uid;
    }
  }
  EXPECT_EQ(internal, 5);
  const DeviceInfo* out1 = engine->findDevice("VeltoOut1_UID");
  ASSERT_NE(out1, nullptr);
  EXPECT_FALSE(out1->internal);
  EXPECT_TRUE(out1->isVirtual);
  EXPECT_EQ(out1->name, "Velto Out 1");
  EXPECT_EQ(out1->inputs, 2u);
  EXPECT_EQ(out1->sampleRate, 48000.0);
  // A visible device is never bound as an internal link.
  engine->clockLink.uid = "VeltoOut1_UID";
  engine->detach(engine->clockLink);
  engine->reattachAll();
  EXPECT_EQ(engine->clockLink.device, 0u);
  // A virtual device is never a hardware input or output.
  engine->setHwInputDevice(0, "VeltoOut1_UID");
  engine->setHwOutputDevice(0, "VeltoDefaultOutput_UID");
  EXPECT_EQ(engine->hwInputs[0].link.uid, "VeltoOut1_UID");
  EXPECT_EQ(engine->hwInputs[0].link.device, 0u);
  EXPECT_EQ(engine->buses[0].link.device, 0u);
}

TEST_F(EngineDevicesThreads, WithoutTheDriverOnlyTheSystemListIsListed) {
  startSystem(false);
  audio::addSimDevice(simOutput("Lautsprecher", "spk", {2}));
  startEngine();
  ASSERT_EQ(engine->devices.size(), 1u);
  EXPECT_EQ(engine->devices[0].uid, "spk");
  EXPECT_EQ(engine->devices[0].outputs, 2u);
  EXPECT_EQ(engine->clockLink.device, 0u);
  EXPECT_EQ(engine->systemLink.device, 0u);
  for (int i = 3; i < 6; ++i) EXPECT_EQ(engine->buses[i].link.device, 0u);
}

TEST_F(EngineDevicesThreads, BindingSwitchesTo48kOnceAndSetsTheBufferSize) {
  startSystem();
  auto mic = simInput("Studio Mic", "mic-uid", {2});
  mic.nominalRate = 44100.0;
  mic.bufferFrames = 512;
  const audio::ObjectId micId = audio::addSimDevice(mic);
  ASSERT_NE(micId, 0u);
  startEngine();
  engine->setHwInputDevice(0, "mic-uid");
  EXPECT_EQ(engine->hwInputs[0].link.device, micId);
  EXPECT_EQ(rateOf(micId), 48000.0);
  EXPECT_EQ(wordProperty(micId, audio::kPropBufferFrameSize), 128u);

  // Nothing watches a bound device: its rate changed elsewhere stays so across a refresh.
  setRate(micId, 44100.0);
  audio::addSimDevice(simOutput("Anderer", "other", {2})); // the device list changes
  settle();
  EXPECT_EQ(engine->hwInputs[0].link.device, micId);
  EXPECT_EQ(rateOf(micId), 44100.0);
}

TEST_F(EngineDevicesThreads, DeviceChosenByNameIsStoredByUid) {
  startSystem();
  const audio::ObjectId micId = audio::addSimDevice(simInput("Studio Mic", "mic-uid", {1}));
  const audio::ObjectId spkId = audio::addSimDevice(simOutput("Monitore", "spk-uid", {2}));
  startEngine();
  engine->setHwInputDevice(2, "STUDIO MIC");
  engine->setHwOutputDevice(1, "monitore");
  EXPECT_EQ(engine->hwInputs[2].link.uid, "mic-uid");
  EXPECT_EQ(engine->hwInputs[2].link.device, micId);
  EXPECT_EQ(engine->buses[1].link.uid, "spk-uid");
  EXPECT_EQ(engine->buses[1].link.device, spkId);
  // A link whose stored text is a name in other letter case binds as well.
  engine->hwInputs[1].link.uid = "studio mic";
  engine->reattachAll();
  EXPECT_EQ(engine->hwInputs[1].link.device, micId);
  // An empty UID never binds.
  engine->setHwInputDevice(1, "");
  EXPECT_EQ(engine->hwInputs[1].link.device, 0u);
}

TEST_F(EngineDevicesThreads, UnknownDeviceIsRememberedAndBindsWhenItAppears) {
  startSystem();
  startEngine();
  engine->setHwOutputDevice(2, "usb-dac");
  EXPECT_EQ(engine->buses[2].link.uid, "usb-dac");
  EXPECT_EQ(engine->buses[2].link.device, 0u);
  const audio::ObjectId dac = audio::addSimDevice(simOutput("USB DAC", "usb-dac", {2}));
  settle();
  EXPECT_EQ(engine->buses[2].link.device, dac);
  EXPECT_NE(engine->buses[2].link.ioProc, audio::kNoIoProc);
}

TEST_F(EngineDevicesThreads, UnpluggedDeviceIsUnboundAndBindsAgainWhenItReturns) {
  startSystem();
  const auto config = simOutput("Kopfhoerer", "phones", {2});
  const audio::ObjectId first = audio::addSimDevice(config);
  startEngine();
  engine->setHwOutputDevice(0, "phones");
  ASSERT_EQ(engine->buses[0].link.device, first);

  ASSERT_TRUE(audio::removeSimDevice("phones"));
  settle();
  EXPECT_EQ(engine->buses[0].link.device, 0u);
  EXPECT_EQ(engine->buses[0].link.ioProc, audio::kNoIoProc);
  EXPECT_EQ(engine->buses[0].link.uid, "phones");
  EXPECT_EQ(engine->findDevice("phones"), nullptr);

  const audio::ObjectId again = audio::addSimDevice(config);
  settle();
  EXPECT_NE(again, first);
  EXPECT_EQ(engine->buses[0].link.device, again);
  // And it plays: the default strip's silence reaches it cycle by cycle.
  audio::takeSimOutput("phones");
  ASSERT_TRUE(audio::runCycles(4));
  EXPECT_EQ(audio::takeSimOutput("phones").frames(), 4u * 128u);
}

TEST_F(EngineDevicesThreads, DriverRestartRebindsTheInternalLinks) {
  startSystem();
  startEngine();
  const audio::ObjectId clockBefore = engine->clockLink.device;
  ASSERT_NE(clockBefore, 0u);
  ASSERT_TRUE(audio::restartServer());
  settle();
  const audio::ObjectId clockAfter = deviceForUid("VeltoClock_UID");
  EXPECT_NE(clockAfter, clockBefore);
  EXPECT_EQ(engine->clockLink.device, clockAfter);
  EXPECT_EQ(engine->systemLink.device, deviceForUid("VeltoDefaultOutputReturn_UID"));
  EXPECT_EQ(engine->buses[4].link.device, deviceForUid("VeltoOut2Feed_UID"));
}

TEST_F(EngineDevicesThreads, BufferSizeChangeRebindsEveryLinkOnce) {
  startSystem();
  const audio::ObjectId micId = audio::addSimDevice(simInput("Mic", "mic", {2}));
  const audio::ObjectId aggregate = audio::addSimDevice(simInput("Tap", "tap-agg", {2}));
  startEngine();
  engine->setHwInputDevice(0, "mic");
  // An application slot whose aggregate device exists: it is kept out of the list and gets
  // the new size directly.
  engine->apps[5].tap.aggregate = aggregate;
  engine->refreshDevices();
  EXPECT_EQ(engine->findDevice("tap-agg"), nullptr);

  std::vector<DeviceLink*> links = {&engine->hwInputs[0].link, &engine->clockLink,
                                    &engine->systemLink};
  for (int i = 3; i < 6; ++i) links.push_back(&engine->buses[i].link);
  std::vector<audio::IoProcId> before;
  for (DeviceLink* l : links) before.push_back(l->ioProc);

  EXPECT_TRUE(engine->setBufferFrames(128)); // unchanged: nothing rebinds
  for (size_t i = 0; i < links.size(); ++i) EXPECT_EQ(links[i]->ioProc, before[i]);

  EXPECT_FALSE(engine->setBufferFrames(1024));
  EXPECT_EQ(wordProperty(micId, audio::kPropBufferFrameSize), 128u);

  EXPECT_TRUE(engine->setBufferFrames(256));
  for (size_t i = 0; i < links.size(); ++i) {
    EXPECT_NE(links[i]->ioProc, before[i]) << i;
    EXPECT_NE(links[i]->ioProc, audio::kNoIoProc) << i;
    EXPECT_EQ(wordProperty(links[i]->device, audio::kPropBufferFrameSize), 256u) << i;
  }
  EXPECT_EQ(wordProperty(aggregate, audio::kPropBufferFrameSize), 256u);
  EXPECT_EQ(engine->ioBufferFrames.load(), 256u);
  engine->apps[5].tap = TapHandle{}; // not a real tap: nothing for the engine to destroy
}

TEST_F(EngineDevicesThreads, LatencyIsDeviceLatencyPlusSafetyOffsetPlusBuffer) {
  startSystem();
  auto mic = simInput("Mic", "mic", {2});
  mic.inputLatency = 24;
  mic.inputSafetyOffset = 8;
  mic.outputLatency = 1000; // another scope: not counted for the input
  auto spk = simOutput("Speaker", "spk", {2});
  spk.outputLatency = 40;
  spk.outputSafetyOffset = 16;
  spk.bufferFrames = 64;
  audio::addSimDevice(mic);
  audio::addSimDevice(spk);
  startEngine();
  engine->setHwInputDevice(0, "mic");
  EXPECT_EQ(engine->deviceLatencyFrames("mic", true), 24u + 8u + 128u);
  EXPECT_EQ(engine->deviceLatencyFrames("Speaker", false), 40u + 16u + 64u); // not bound
  EXPECT_EQ(engine->deviceLatencyFrames("fehlt", true), 0u);
}

TEST_F(EngineDevicesThreads, DeviceWithoutChannelsOfARoleIsNotBoundInIt) {
  startSystem();
  audio::addSimDevice(simOutput("Nur Ausgang", "out-only", {2}));
  auto loop = simInput("Loopback", "loop", {2});
  loop.transport = audio::kTransportVirtual;
  audio::addSimDevice(loop);
  startEngine();
  engine->setHwInputDevice(0, "out-only");
  engine->setHwInputDevice(1, "loop");
  EXPECT_EQ(engine->hwInputs[0].link.device, 0u);
  EXPECT_EQ(engine->hwInputs[1].link.device, 0u);
  const DeviceInfo* d = engine->findDevice("loop");
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(d->isVirtual);
  EXPECT_EQ(d->inputs, 2u);
}

TEST_F(EngineDevicesThreads, RefusedCallbackLeavesTheLinkUnboundUntilTheNextRefresh) {
  startSystem();
  auto spk = simOutput("Speaker", "spk", {2});
  spk.faults.refuseIoProcs = true;
  const audio::ObjectId id = audio::addSimDevice(spk);
  startEngine();
  engine->setHwOutputDevice(0, "spk");
  EXPECT_EQ(engine->buses[0].link.device, 0u);
  EXPECT_EQ(engine->buses[0].link.ioProc, audio::kNoIoProc);
  audio::setSimFaults("spk", {});
  engine->reattachAll();
  EXPECT_EQ(engine->buses[0].link.device, id);
}

TEST_F(EngineDevicesThreads, FailingPropertyWritesStillBind) {
  startSystem();
  auto spk = simOutput("Speaker", "spk", {2});
  spk.nominalRate = 44100.0;
  spk.faults.failPropertyWrites = true;
  const audio::ObjectId id = audio::addSimDevice(spk);
  startEngine();
  engine->setHwOutputDevice(0, "spk");
  EXPECT_EQ(engine->buses[0].link.device, id);
  EXPECT_EQ(rateOf(id), 44100.0); // runs at another rate; the callback runs regardless
}

TEST_F(EngineDevicesThreads, NonLiveEngineBindsNothingAndItsCallbacksNeverRun) {
  startSystem();
  audio::addSimDevice(simOutput("Lautsprecher", "spk", {2}));
  engine = std::make_unique<Engine>(false);
  engine->setHwOutputDevice(0, "spk");
  EXPECT_EQ(engine->buses[0].link.uid, "spk");
  EXPECT_GT(engine->devices.size(), 5u); // it lists the devices all the same
  for (const Bus& bus : engine->buses) EXPECT_EQ(bus.link.device, 0u);
  EXPECT_EQ(engine->clockLink.device, 0u);
  EXPECT_EQ(engine->systemLink.device, 0u);
  ASSERT_TRUE(audio::runCycles(8));
  EXPECT_EQ(engine->padsStrip.rings[0]->writeIndex.load(), 0u);
  EXPECT_EQ(audio::takeSimOutput("spk").frames(), 0u);
}

// Listener work queued before the engine goes must not run on it afterwards. The engine lives
// in storage of our own that is zeroed after destruction: stale work would write into it.
TEST_F(EngineDevicesThreads, QueuedListenerWorkNeverRunsOnADestroyedEngine) {
  startSystem();
  alignas(Engine) static unsigned char storage[sizeof(Engine)];
  Engine* e = new (storage) Engine(true);
  const size_t devicesBefore = e->devices.size();
  ASSERT_GT(devicesBefore, 0u);

  // A living engine refreshes on the device-list notice (the plug-in's devices get new ids).
  const audio::ObjectId clockBefore = e->clockLink.device;
  ASSERT_TRUE(audio::restartServer());
  settle();
  EXPECT_NE(e->clockLink.device, clockBefore);

  // Now the notice is delivered and its work queued, then the engine is destroyed.
  platform::dispatch::resetMainQueue();
  audio::addSimDevice(simOutput("Spaet", "late", {2}));
  audio::flushNotifications();
  e->~Engine();
  std::memset(storage, 0, sizeof storage);
  const size_t ran = platform::dispatch::runMainQueueUntilIdle();
  EXPECT_GE(ran, 1u); // the listener's hop was queued and has run...
  const bool untouched =
      std::all_of(std::begin(storage), std::end(storage), [](unsigned char b) { return b == 0; });
  EXPECT_TRUE(untouched); // ...without touching the engine's memory
}

} // namespace
} // namespace velto
