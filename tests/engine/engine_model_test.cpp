// The engine's model as construction leaves it, and the device-list questions that need no
// running audio system: names, settings, routes, processing, device lookup and roles.
#include "engine/engine.h"

#include "effects/fx_chain.h"
#include "effects/fx_table.h"
#include "effects/input_fx.h"
#include "engine_harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace velto {
namespace {

class EngineModel : public test::EngineFixture {};

TEST_F(EngineModel, NewEngineHasTheDefaultSettings) {
  Engine engine(false);
  EXPECT_EQ(engine.settings.bufferFrames, 128u);
  EXPECT_EQ(engine.ioBufferFrames.load(), 128u);
  EXPECT_FALSE(engine.settings.apiEnabled);
  EXPECT_EQ(engine.settings.apiPort, 47800u);
  EXPECT_EQ(engine.settings.volumeKeys, -1);
  EXPECT_EQ(engine.settings.board, "i1,v1,v4,o1,o2,m1");
  EXPECT_TRUE(engine.settings.intro);
  EXPECT_TRUE(engine.settings.fullscreen);
  EXPECT_FALSE(engine.settings.restoreOutput);
  EXPECT_EQ(engine.settings.previousOutput, "");
  EXPECT_EQ(engine.macVolume, -1.0f);
  EXPECT_FALSE(engine.live);
  // The fixture's HOME names the media folders.
  const std::string home = std::getenv("HOME");
  EXPECT_EQ(engine.settings.padsFolder, home + "/Music/Velto Pads");
  EXPECT_EQ(engine.settings.playerFolder, home + "/Music/Velto Player");
}

TEST_F(EngineModel, UnsetHomeLeavesTheMediaFoldersEmpty) {
  const std::string home = std::getenv("HOME");
  unsetenv("HOME");
  {
    Engine engine(false);
    EXPECT_EQ(engine.settings.padsFolder, "");
    EXPECT_EQ(engine.settings.playerFolder, "");
  }
  setenv("HOME", home.c_str(), 1);
}

TEST_F(EngineModel, StripsAndBusesCarryTheirNames) {
  Engine engine(false);
  const char* inputs[] = {"Input 1", "Input 2", "Input 3"};
  const char* virtuals[] = {"Virtual 1", "Virtual 2", "Virtual 3", "Default"};
  const char* buses[] = {"Output 1",    "Output 2",    "Output 3",
                         "Velto Out 1", "Velto Out 2", "Velto Out 3"};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(engine.hwInputs[i].strip.name, inputs[i]);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(engine.virtualIns[k].strip.name, virtuals[k]);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(engine.buses[i].name, buses[i]);
  EXPECT_EQ(engine.padsStrip.name, "Pads");
  EXPECT_EQ(engine.playerStrip.name, "Player");
  EXPECT_EQ(engine.systemStrip.name, "Mac-Ton");
  for (const AppSource& app : engine.apps) {
    EXPECT_FALSE(app.used);
    EXPECT_EQ(app.strip.name, "");
    EXPECT_EQ(app.strip.rings[0]->capacity(), kRingFrames);
  }
}

TEST_F(EngineModel, VirtualOutputNamesFollowTheDriversDevices) {
  struct Case {
    int n;
    const char* uid;
    const char* feed;
    const char* name;
  };
  const Case cases[] = {{0, "VeltoOut1_UID", "VeltoOut1Feed_UID", "Velto Out 1"},
                        {1, "VeltoOut2_UID", "VeltoOut2Feed_UID", "Velto Out 2"},
                        {2, "VeltoOut3_UID", "VeltoOut3Feed_UID", "Velto Out 3"}};
  for (const Case& c : cases) {
    EXPECT_EQ(virtualOutUid(c.n), c.uid);
    EXPECT_EQ(virtualOutFeedUid(c.n), c.feed);
    EXPECT_EQ(virtualOutDevice(c.n), c.name);
  }
}

TEST_F(EngineModel, OnlyDefaultPadsAndPlayerReachOutputOneOutOfTheBox) {
  Engine engine(false);
  EXPECT_EQ(engine.sourcesOf(0), (std::vector<std::string>{"Default", "Pads", "Player"}));
  for (int k = 1; k < 6; ++k) EXPECT_TRUE(engine.sourcesOf(k).empty()) << "bus " << k;
  for (const HwInput& in : engine.hwInputs) EXPECT_EQ(in.strip.effectiveRoute(), 0u);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(engine.virtualIns[k].strip.effectiveRoute(), 0u);
  // The system sound reaches "Default" through its default route only.
  EXPECT_EQ(engine.systemStrip.routeMask.load(), 0u);
  EXPECT_EQ(engine.systemStrip.defaultRoute, 8u);
  for (const AppSource& app : engine.apps) EXPECT_EQ(app.strip.effectiveRoute(), 0u);
}

TEST_F(EngineModel, ProcessingBelongsToInputsAndHardwareOutputs) {
  Engine engine(false);
  for (int i = 0; i < 3; ++i) {
    const HwInput& in = engine.hwInputs[i];
    ASSERT_NE(in.fxChain, nullptr);
    EXPECT_EQ(in.fx, in.fxChain->banks[0].get());
    EXPECT_EQ(in.strip.fxChain, in.fxChain.get());
    EXPECT_EQ(in.strip.noiseFilter, in.noiseFilter.get());
    EXPECT_EQ(in.strip.analysisRing, in.analysisRing.get());
    EXPECT_EQ(in.analysisRing->capacity(), kAnalysisRingFrames);
    // Echo references of the three hardware outputs in far-end slots 0..2, slot 3 empty.
    for (int bus = 0; bus < 3; ++bus) {
      ASSERT_NE(engine.echoRefs[bus][i], nullptr);
      EXPECT_EQ(engine.echoRefs[bus][i]->capacity(), kRingFrames);
      EXPECT_EQ(in.fx->farEnd[bus], engine.echoRefs[bus][i].get());
    }
    EXPECT_EQ(in.fx->farEnd[3], nullptr);
  }
  for (int i = 0; i < 6; ++i) {
    const Bus& bus = engine.buses[i];
    if (i >= 3) {
      EXPECT_EQ(bus.fx, nullptr);
      continue;
    }
    ASSERT_NE(bus.fx, nullptr);
    EXPECT_FALSE(bus.fx->enabled[FxId::feedback].load());
    EXPECT_TRUE(bus.fx->enabled[FxId::limiter].load());
    EXPECT_TRUE(bus.speaker.load());
    EXPECT_EQ(bus.mix.size(), 8192u);
  }
  for (const Strip* s : {&engine.virtualIns[0].strip, &engine.padsStrip, &engine.systemStrip}) {
    EXPECT_EQ(s->fxChain, nullptr);
    EXPECT_EQ(s->noiseFilter, nullptr);
    EXPECT_EQ(s->analysisRing, nullptr);
  }
}

TEST_F(EngineModel, LinksOfTheDriversDevicesAreFixedAtConstruction) {
  Engine engine(false);
  EXPECT_EQ(engine.buses[3].link.uid, "VeltoOut1Feed_UID");
  EXPECT_EQ(engine.buses[5].link.uid, "VeltoOut3Feed_UID");
  EXPECT_EQ(engine.systemLink.uid, "VeltoDefaultOutputReturn_UID");
  EXPECT_EQ(engine.clockLink.uid, "VeltoClock_UID");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(engine.hwInputs[i].link.uid, "");
    EXPECT_EQ(engine.buses[i].link.uid, "");
    EXPECT_EQ(engine.hwCtx[i].engine, &engine);
    EXPECT_EQ(engine.hwCtx[i].index, i);
  }
  for (int i = 0; i < 6; ++i) EXPECT_EQ(engine.busCtx[i].index, i);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(engine.appCtx[i].index, i);
  EXPECT_EQ(engine.clockCtx.engine, &engine);
  EXPECT_EQ(engine.systemCtx.index, 0);
}

TEST_F(EngineModel, SourcesOfFollowsTheRouteMasksInStripOrder) {
  Engine engine(false);
  engine.hwInputs[2].strip.routeMask.fetch_or(1u << 4);
  engine.virtualIns[1].strip.routeMask.fetch_or(1u << 4);
  engine.playerStrip.routeMask.fetch_or(1u << 4);
  engine.hwInputs[0].strip.routeMask.fetch_or(1u << 4);
  EXPECT_EQ(engine.sourcesOf(4),
            (std::vector<std::string>{"Input 1", "Input 3", "Virtual 2", "Player"}));
  // The default-route word is not consulted, and the system sound never feeds a bus.
  engine.padsStrip.routeMask.store(0);
  engine.padsStrip.defaultRoute = 1;
  EXPECT_EQ(engine.sourcesOf(0), (std::vector<std::string>{"Default", "Player"}));
}

TEST_F(EngineModel, AppsOfListsUsedSlotsByEffectiveRoute) {
  Engine engine(false);
  auto use = [&](int slot, const char* name, uint32_t mask) {
    engine.apps[slot].used = true;
    engine.apps[slot].strip.name = name;
    engine.apps[slot].strip.routeMask.store(mask);
  };
  use(5, "Musik", 0b1000);
  use(2, "Browser", 0b1001);
  use(9, "Spiel", 0);
  engine.apps[9].strip.defaultRoute = 0b0100;
  engine.apps[12].strip.name = "Frei";
  engine.apps[12].strip.routeMask.store(0b1111); // not used: never listed
  EXPECT_EQ(engine.appsOf(3), (std::vector<std::string>{"Browser", "Musik"}));
  EXPECT_EQ(engine.appsOf(0), (std::vector<std::string>{"Browser"}));
  EXPECT_EQ(engine.appsOf(2), (std::vector<std::string>{"Spiel"}));
  EXPECT_TRUE(engine.appsOf(1).empty());
}

DeviceInfo device(AudioObjectID id, const char* uid, const char* name, uint32_t in, uint32_t out,
                  bool isVirtual = false, bool internal = false) {
  DeviceInfo d;
  d.id = id;
  d.uid = uid;
  d.name = name;
  d.inputs = in;
  d.outputs = out;
  d.sampleRate = 48000.0;
  d.isVirtual = isVirtual;
  d.internal = internal;
  return d;
}

TEST_F(EngineModel, FindDeviceTakesTheUidFirstThenTheNameInAnyCase) {
  Engine engine(false);
  EXPECT_EQ(engine.findDevice("USB Mic"), nullptr); // empty list
  engine.devices = {device(11, "usb-mic", "USB Mic", 1, 0), device(12, "USB MIC", "Studio", 2, 2),
                    device(13, "lautsprecher", "Lautsprecher", 0, 2),
                    device(14, "VeltoClock_UID", "Velto Clock", 0, 2, true, true)};
  struct Case {
    const char* key;
    AudioObjectID id; // 0: none
  };
  const Case cases[] = {
      {"usb-mic", 11},        // UID, exact
      {"USB MIC", 12},        // a UID wins over another device's name
      {"usb mic", 11},        // name in other letter case
      {"LAUTSPRECHER", 13},   // name, not the UID (the UID is lower case, compared exactly)
      {"Usb-Mic", 0},         // UIDs are compared exactly
      {"", 0},                // empty key
      {"USB Mic ", 0},        // different length
      {"VeltoClock_UID", 14}, // internal entries are found like any other
  };
  for (const Case& c : cases) {
    const DeviceInfo* d = engine.findDevice(c.key);
    EXPECT_EQ(d ? d->id : 0, c.id) << "key \"" << c.key << "\"";
  }
}

TEST_F(EngineModel, FitsSeparatesHardwareFromVirtualAndInternal) {
  struct Case {
    DeviceInfo d;
    bool input, output, internal;
  };
  const Case cases[] = {
      {device(1, "mic", "Mic", 1, 0), true, false, false},
      {device(2, "spk", "Speaker", 0, 2), false, true, false},
      {device(3, "dual", "Interface", 4, 4), true, true, false},
      {device(4, "virt", "Loopback", 2, 2, true), false, false, false},
      {device(5, "VeltoClock_UID", "Clock", 0, 2, true, true), false, false, true},
      {device(6, "none", "No Channels", 0, 0), false, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Engine::fits(c.d, DeviceRole::Input), c.input) << c.d.name;
    EXPECT_EQ(Engine::fits(c.d, DeviceRole::Output), c.output) << c.d.name;
    EXPECT_EQ(Engine::fits(c.d, DeviceRole::Internal), c.internal) << c.d.name;
    EXPECT_FALSE(Engine::fits(c.d, static_cast<DeviceRole>(7))) << c.d.name;
  }
}

TEST_F(EngineModel, NonLiveEngineStoresDevicesButBindsNothing) {
  Engine engine(false);
  engine.devices = {device(21, "mic", "Mic", 2, 0), device(22, "spk", "Speaker", 0, 2)};
  engine.setHwInputDevice(0, "MIC");
  engine.setHwOutputDevice(1, "speaker");
  EXPECT_EQ(engine.hwInputs[0].link.uid, "mic");
  EXPECT_EQ(engine.buses[1].link.uid, "spk");
  EXPECT_EQ(engine.hwInputs[0].link.device, 0u);
  EXPECT_EQ(engine.buses[1].link.device, 0u);
  EXPECT_EQ(engine.buses[1].link.ioProc, platform::audio::kNoIoProc);
  // A key that matches nothing is stored as given.
  engine.setHwOutputDevice(2, "Fehlt noch");
  EXPECT_EQ(engine.buses[2].link.uid, "Fehlt noch");
  EXPECT_EQ(engine.deviceLatencyFrames("nichts", true), 0u);
  EXPECT_EQ(engine.deviceLatencyFrames("", false), 0u);
}

TEST_F(EngineModel, BufferFramesAcceptsOnlyPowersOfTwoFrom32To512) {
  Engine engine(false);
  struct Case {
    uint32_t frames;
    bool accepted;
  };
  const Case cases[] = {{48, false}, {1024, false}, {0, false},  {16, false},
                        {96, false}, {513, false},  {32, true},  {64, true},
                        {256, true}, {512, true},   {128, true}, {0xffffffffu, false}};
  for (const Case& c : cases) {
    const uint32_t before = engine.settings.bufferFrames;
    EXPECT_EQ(engine.setBufferFrames(c.frames), c.accepted) << c.frames;
    const uint32_t expected = c.accepted ? c.frames : before;
    EXPECT_EQ(engine.settings.bufferFrames, expected) << c.frames;
    EXPECT_EQ(engine.ioBufferFrames.load(), expected) << c.frames;
  }
}

} // namespace
} // namespace velto
