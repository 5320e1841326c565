// The real-time path called directly with device-shaped buffer lists on an engine that binds no
// device: conversion at the callback boundary, routing through the rings, bus gain ramps, meters,
// underruns, the backlog rule, the echo reference and the clock device's cycle.
#include "engine/engine.h"

#include "core/denormals.h"
#include "effects/fx_table.h"
#include "effects/input_fx.h"
#include "engine_harness.h"
#include "strip_signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

namespace velto {
namespace {

using test::DeviceBuffers;
using test::sine;

class EngineAudioPath : public test::EngineFixture {
protected:
  void SetUp() override {
    test::EngineFixture::SetUp();
    engine = std::make_unique<Engine>(false);
    test::makeTransparent(*engine);
  }
  void TearDown() override {
    engine.reset();
    test::EngineFixture::TearDown();
  }

  // A stereo input block on hardware input i from two signals.
  void feedInput(int i, const std::vector<float>& left, const std::vector<float>& right) {
    DeviceBuffers in({2}, static_cast<uint32_t>(left.size()));
    in.setChannel(0, left);
    in.setChannel(1, right);
    engine->processHwInput(i, in.list());
  }

  std::unique_ptr<Engine> engine;
};

TEST_F(EngineAudioPath, InputLayoutsConvertToStereoAtTheBoundary) {
  const uint32_t frames = 128;
  const auto a = sine(frames, 440.0, 0.5f);
  const auto b = sine(frames, 1000.0, 0.25f);
  const auto c = sine(frames, 3000.0, 0.125f);
  struct Case {
    const char* name;
    std::vector<uint32_t> layout;
    std::vector<std::vector<float>> channels; // by global channel
    const std::vector<float>* left;
    const std::vector<float>* right;
  };
  const Case cases[] = {
      {"interleaved stereo", {2}, {a, b}, &a, &b},
      {"two mono buffers", {1, 1}, {a, b}, &a, &b},
      {"mono device", {1}, {a}, &a, &a},
      {"four channels", {4}, {a, b, c, c}, &a, &b},
      {"mono then stereo buffer", {1, 2}, {a, b, c}, &a, &b},
  };
  engine->hwInputs[1].strip.routeMask.store(1u << 3);
  for (const Case& k : cases) {
    DeviceBuffers in(k.layout, frames);
    for (uint32_t ch = 0; ch < k.channels.size(); ++ch) in.setChannel(ch, k.channels[ch]);
    engine->processHwInput(1, in.list());
    DeviceBuffers out({2}, frames);
    engine->processOutput(3, out.list());
    EXPECT_EQ(out.channel(0), *k.left) << k.name;
    EXPECT_EQ(out.channel(1), *k.right) << k.name;
  }
}

TEST_F(EngineAudioPath, OutputLayoutsGetLeftAndRightOnTheirFirstTwoChannels) {
  const uint32_t frames = 256;
  const auto left = sine(frames, 500.0, 0.5f);
  const auto right = sine(frames, 750.0, 0.25f);
  const std::vector<float> silence(frames, 0.0f);
  struct Case {
    const char* name;
    std::vector<uint32_t> layout;
    std::vector<const std::vector<float>*> expected; // by global channel
    float rightPeak;
  };
  const Case cases[] = {
      {"stereo", {2}, {&left, &right}, 0.25f},
      {"two mono buffers", {1, 1}, {&left, &right}, 0.25f},
      {"four channels", {4}, {&left, &right, &silence, &silence}, 0.25f},
      {"mono", {1}, {&left}, 0.0f},
      {"mono plus two", {1, 2}, {&left, &right, &silence}, 0.25f},
  };
  engine->hwInputs[0].strip.routeMask.store(1u << 4);
  for (const Case& k : cases) {
    feedInput(0, left, right);
    DeviceBuffers out(k.layout, frames);
    out.fill(0.75f); // whatever the device held is overwritten or cleared
    engine->buses[4].meter.takeLeft();
    engine->buses[4].meter.takeRight();
    engine->processOutput(4, out.list());
    for (uint32_t ch = 0; ch < k.expected.size(); ++ch) {
      EXPECT_EQ(out.channel(ch), *k.expected[ch]) << k.name << " channel " << ch;
    }
    EXPECT_NEAR(engine->buses[4].meter.takeLeft(), 0.5f, 1e-3f) << k.name;
    EXPECT_NEAR(engine->buses[4].meter.takeRight(), k.rightPeak, 1e-3f) << k.name;
  }
}

TEST_F(EngineAudioPath, MalformedListsAreIgnoredAndOutputsStaySilent) {
  const uint32_t frames = 64;
  std::vector<float> data(frames * 2, 0.5f);
  struct Case {
    const char* name;
    uint32_t count;
    platform::audio::Buffer first;
  };
  const Case cases[] = {
      {"no buffer", 0, {2, frames * 8, data.data()}},
      {"zero channels", 1, {0, frames * 8, data.data()}},
      {"shorter than one frame", 1, {2, 4, data.data()}},
      {"no data", 1, {2, frames * 8, nullptr}},
  };
  engine->hwInputs[0].strip.routeMask.store(1);
  const uint64_t written = engine->hwInputs[0].strip.rings[0]->writeIndex.load();
  for (const Case& k : cases) {
    platform::audio::BufferList list{};
    list.count = k.count;
    list.buffers[0] = k.first;
    engine->processHwInput(0, &list);
    EXPECT_EQ(engine->hwInputs[0].strip.rings[0]->writeIndex.load(), written) << k.name;
  }
  engine->processHwInput(0, nullptr);
  engine->processSystem(nullptr);
  engine->processClock(nullptr);
  engine->processOutput(0, nullptr);
  EXPECT_EQ(engine->hwInputs[0].strip.rings[0]->writeIndex.load(), written);

  // An output with a second buffer too short for the block: its channel is not written.
  std::vector<float> first(frames, 0.5f);
  std::vector<float> second(frames / 2, 0.5f);
  platform::audio::BufferList out{};
  out.count = 2;
  out.buffers[0] = {1, frames * 4, first.data()};
  out.buffers[1] = {1, frames * 2, second.data()};
  feedInput(0, sine(frames, 100.0, 0.5f), sine(frames, 100.0, 0.5f));
  engine->processOutput(0, &out);
  for (float v : second) EXPECT_EQ(v, 0.0f); // cleared, never written past its end
  EXPECT_EQ(engine->buses[0].meter.takeRight(), 0.0f);
}

TEST_F(EngineAudioPath, ShortReadCountsOneUnderrunAndAnEmptyRingNone) {
  const uint32_t frames = 128;
  engine->hwInputs[0].strip.routeMask.store(1u << 5);
  Bus& bus = engine->buses[5];

  DeviceBuffers out({2}, frames);
  engine->processOutput(5, out.list()); // empty ring
  EXPECT_EQ(bus.underruns.load(), 0u);

  const auto signal = sine(100, 1000.0, 0.5f);
  feedInput(0, signal, signal);
  engine->processOutput(5, out.list());
  EXPECT_EQ(bus.underruns.load(), 1u);
  const auto got = out.channel(0);
  for (uint32_t f = 0; f < 100; ++f) ASSERT_EQ(got[f], signal[f]) << f;
  for (uint32_t f = 100; f < frames; ++f) ASSERT_EQ(got[f], 0.0f) << f;

  // A full block is no underrun.
  feedInput(0, sine(frames, 1000.0, 0.5f), sine(frames, 1000.0, 0.5f));
  engine->processOutput(5, out.list());
  EXPECT_EQ(bus.underruns.load(), 1u);
}

TEST_F(EngineAudioPath, BacklogIsTrimmedToTheRequestPlusOneBuffer) {
  // 2000 frames wait (more than 128 + 8 x 128): the oldest 1744 go, 256 stay, 128 are read.
  const uint32_t backlog = 2000;
  std::vector<float> numbered(backlog);
  for (uint32_t f = 0; f < backlog; ++f) numbered[f] = static_cast<float>(f) / backlog;
  engine->hwInputs[2].strip.routeMask.store(1u << 3);
  feedInput(2, numbered, numbered);
  StereoRing& ring = *engine->hwInputs[2].strip.rings[3];
  ASSERT_EQ(ring.fill(), backlog);

  DeviceBuffers out({2}, 128);
  engine->processOutput(3, out.list());
  EXPECT_EQ(ring.fill(), 128u);
  EXPECT_EQ(out.at(0, 0), numbered[1744]);
  EXPECT_EQ(out.at(0, 127), numbered[1871]);
  EXPECT_EQ(engine->buses[3].underruns.load(), 1u) << "the dropped backlog is one break";

  // 1152 frames (exactly 128 + 8 x 128) are no backlog yet.
  engine->processOutput(3, out.list());
  feedInput(2, std::vector<float>(1152, 0.1f), std::vector<float>(1152, 0.1f));
  engine->processOutput(3, out.list());
  EXPECT_EQ(ring.fill(), 1024u);
}

TEST_F(EngineAudioPath, BacklogSlackFollowsTheBufferSize) {
  engine->setBufferFrames(32); // non-live: stores the size, binds nothing
  engine->hwInputs[0].strip.routeMask.store(1u << 3);
  const std::vector<float> block(400, 0.2f);
  feedInput(0, block, block);
  DeviceBuffers out({2}, 32);
  engine->processOutput(3, out.list()); // 400 > 32 + 256: keep 64, read 32
  EXPECT_EQ(engine->hwInputs[0].strip.rings[3]->fill(), 32u);
}

TEST_F(EngineAudioPath, UnroutedRingIsDrainedSoStaleAudioNeverPlays) {
  engine->hwInputs[0].strip.routeMask.store(1u << 3);
  const auto old = sine(128, 200.0, 0.5f);
  feedInput(0, old, old);
  engine->hwInputs[0].strip.routeMask.store(0);
  // Still produced into ring 3? No: unrouted strips write nothing; the old block waits.
  DeviceBuffers out({2}, 128);
  engine->processOutput(3, out.list());
  EXPECT_EQ(engine->hwInputs[0].strip.rings[3]->fill(), 0u);
  for (float v : out.channel(0)) ASSERT_EQ(v, 0.0f);
  engine->hwInputs[0].strip.routeMask.store(1u << 3);
  engine->processOutput(3, out.list());
  for (float v : out.channel(0)) ASSERT_EQ(v, 0.0f);
}

TEST_F(EngineAudioPath, BusGainAndMuteRampOverOneChunk) {
  const uint32_t frames = 128;
  const std::vector<float> ones(frames, 0.5f);
  engine->hwInputs[0].strip.routeMask.store(1u << 3);
  Bus& bus = engine->buses[3];
  DeviceBuffers out({2}, frames);

  bus.gain.store(dbToGain(-6.0f));
  const float target = bus.gain.load();
  feedInput(0, ones, ones);
  engine->processOutput(3, out.list());
  for (uint32_t f = 0; f < frames; ++f) {
    const float g = 1.0f + (target - 1.0f) * static_cast<float>(f + 1) / frames;
    ASSERT_NEAR(out.at(0, f), 0.5f * g, 1e-6f) << f;
    ASSERT_NEAR(out.at(1, f), 0.5f * g, 1e-6f) << f;
  }
  EXPECT_EQ(out.at(0, frames - 1), 0.5f * target); // the last frame gets the target exactly

  feedInput(0, ones, ones);
  engine->processOutput(3, out.list());
  for (uint32_t f = 0; f < frames; ++f) ASSERT_EQ(out.at(0, f), 0.5f * target);

  bus.mute.store(true);
  feedInput(0, ones, ones);
  engine->processOutput(3, out.list());
  EXPECT_NEAR(out.at(0, 0), 0.5f * target * (1.0f - 1.0f / frames), 1e-6f);
  EXPECT_EQ(out.at(0, frames - 1), 0.0f);
  feedInput(0, ones, ones);
  engine->processOutput(3, out.list());
  for (float v : out.channel(0)) ASSERT_EQ(v, 0.0f);
}

TEST_F(EngineAudioPath, LongBlockRampsOnlyItsFirstChunk) {
  const uint32_t frames = 5000; // 4096 + 904
  const std::vector<float> ones(frames, 1.0f);
  engine->hwInputs[0].strip.routeMask.store(1u << 3);
  engine->buses[3].gain.store(0.5f);
  feedInput(0, ones, ones);
  DeviceBuffers out({2}, frames);
  engine->processOutput(3, out.list());
  EXPECT_NEAR(out.at(0, 0), 1.0f - 0.5f / 4096.0f, 1e-6f);
  EXPECT_EQ(out.at(0, 4095), 0.5f);
  for (uint32_t f = 4096; f < frames; ++f) ASSERT_EQ(out.at(0, f), 0.5f) << f;
}

TEST_F(EngineAudioPath, LevelThatIsNotANumberNeverReachesTheAudio) {
  const uint32_t frames = 64;
  const std::vector<float> ones(frames, 0.5f);
  engine->hwInputs[0].strip.routeMask.store(1u << 3);
  Bus& bus = engine->buses[3];
  DeviceBuffers out({2}, frames);
  const float bad[] = {std::numeric_limits<float>::quiet_NaN(),
                       std::numeric_limits<float>::infinity(),
                       -std::numeric_limits<float>::infinity()};
  bus.gain.store(0.25f);
  feedInput(0, ones, ones);
  engine->processOutput(3, out.list());
  for (float g : bad) {
    bus.gain.store(g);
    feedInput(0, ones, ones);
    engine->processOutput(3, out.list());
    for (float v : out.channel(0)) ASSERT_EQ(v, 0.125f); // the last good gain holds
    EXPECT_EQ(bus.lastGain, 0.25f);
  }
  // The strip side holds its last good gain as well.
  bus.gain.store(1.0f);
  engine->hwInputs[0].strip.gain.store(std::numeric_limits<float>::quiet_NaN());
  feedInput(0, ones, ones);
  engine->processOutput(3, out.list());
  for (float v : out.channel(0)) ASSERT_TRUE(std::isfinite(v));
}

TEST_F(EngineAudioPath, BusMixesInputsVirtualInputsPadsAndPlayer) {
  const uint32_t frames = 128;
  const auto a = sine(frames, 300.0, 0.125f);
  const auto b = sine(frames, 800.0, 0.125f);
  engine->hwInputs[0].strip.routeMask.store(1u << 4);
  engine->hwInputs[1].strip.routeMask.store(1u << 4);
  engine->virtualIns[0].strip.routeMask.store(1u << 4);
  engine->padsStrip.routeMask.store(1u << 4);
  engine->playerStrip.routeMask.store(1u << 4);
  feedInput(0, a, a);
  feedInput(1, b, b);
  // A virtual input carries a captured application's sound on the clock's cycle.
  const auto c = sine(frames, 1500.0, 0.125f);
  engine->apps[3].strip.routeMask.store(1u << 0);
  DeviceBuffers app({2}, frames);
  app.setChannel(0, c);
  app.setChannel(1, c);
  engine->processApp(3, app.list());
  DeviceBuffers clock({2}, frames);
  engine->processClock(clock.list());

  DeviceBuffers out({2}, frames);
  engine->processOutput(4, out.list());
  for (uint32_t f = 0; f < frames; ++f) {
    ASSERT_NEAR(out.at(0, f), a[f] + b[f] + c[f], 1e-6f) << f;
  }
  EXPECT_EQ(engine->buses[4].underruns.load(), 0u); // pads and player delivered silence
}

TEST_F(EngineAudioPath, SpeakerBusWritesEchoReferenceWithoutTheInputsOwnShare) {
  const uint32_t frames = 128;
  const auto mine = sine(frames, 440.0, 0.25f);
  const auto other = sine(frames, 660.0, 0.25f);
  engine->hwInputs[0].strip.routeMask.store(1);
  engine->hwInputs[1].strip.routeMask.store(1);
  engine->hwInputs[0].fx->enabled[FxId::aec].store(true);
  Bus& bus = engine->buses[0];
  bus.gain.store(0.5f);

  feedInput(0, mine, mine);
  feedInput(1, other, other);
  DeviceBuffers out({2}, frames);
  engine->processOutput(0, out.list());

  const auto echo = test::drainRing(*engine->echoRefs[0][0]);
  ASSERT_EQ(echo.size(), size_t{frames} * 2);
  for (uint32_t f = 0; f < frames; ++f) {
    const float g = 1.0f + (0.5f - 1.0f) * static_cast<float>(f + 1) / frames;
    ASSERT_NEAR(echo[2 * f], other[f] * g, 1e-6f) << f;
  }
  // Inputs whose echo canceller is off get nothing.
  EXPECT_EQ(engine->echoRefs[0][1]->fill(), 0u);
  EXPECT_EQ(engine->echoRefs[0][2]->fill(), 0u);

  // Headphones: no reference for anyone.
  bus.speaker.store(false);
  feedInput(0, mine, mine);
  feedInput(1, other, other);
  engine->processOutput(0, out.list());
  EXPECT_EQ(engine->echoRefs[0][0]->fill(), 0u);
}

TEST_F(EngineAudioPath, VirtualOutputBusesWriteNoEchoReference) {
  engine->hwInputs[0].strip.routeMask.store(1u << 3);
  engine->hwInputs[0].fx->enabled[FxId::aec].store(true);
  const auto s = sine(128, 440.0, 0.25f);
  feedInput(0, s, s);
  DeviceBuffers out({2}, 128);
  engine->processOutput(3, out.list());
  for (const auto& perBus : engine->echoRefs) {
    for (const auto& ring : perBus) EXPECT_EQ(ring->fill(), 0u);
  }
}

TEST_F(EngineAudioPath, ApplicationAndSystemSoundMeetOnDefaultInTheSameClockCycle) {
  const uint32_t frames = 128;
  const auto app = sine(frames, 220.0, 0.25f);
  const auto system = sine(frames, 880.0, 0.25f);
  engine->apps[7].strip.routeMask.store(1u << 3);

  DeviceBuffers appIn({2}, frames);
  appIn.setChannel(0, app);
  appIn.setChannel(1, app);
  engine->processApp(7, appIn.list());
  DeviceBuffers sysIn({2}, frames);
  sysIn.setChannel(0, system);
  sysIn.setChannel(1, system);
  engine->processSystem(sysIn.list());

  DeviceBuffers clock({2}, frames);
  engine->processClock(clock.list());
  for (int k = 0; k < 3; ++k) {
    for (uint32_t s = 0; s < 2 * frames; ++s) ASSERT_EQ(engine->virtualIns[k].mix[s], 0.0f);
  }
  // "Default" is routed to output 1 from the start: its ring 0 holds the sum.
  const auto sum = test::drainRing(*engine->virtualIns[3].strip.rings[0]);
  ASSERT_EQ(sum.size(), size_t{frames} * 2);
  for (uint32_t f = 0; f < frames; ++f) ASSERT_NEAR(sum[2 * f], app[f] + system[f], 1e-6f);
  EXPECT_EQ(engine->virtualIns[3].underruns.load(), 0u);
}

TEST_F(EngineAudioPath, VirtualInputCountsShortReadsOfItsSources) {
  engine->apps[0].strip.routeMask.store(1u << 1);
  DeviceBuffers appIn({2}, 100);
  appIn.fill(0.1f);
  engine->processApp(0, appIn.list());
  DeviceBuffers clock({2}, 128);
  engine->processClock(clock.list());
  EXPECT_EQ(engine->virtualIns[1].underruns.load(), 1u);
  engine->processClock(clock.list()); // empty now: not counted
  EXPECT_EQ(engine->virtualIns[1].underruns.load(), 1u);
}

TEST_F(EngineAudioPath, ClockCycleIsSilentAndAdvancesEveryInternalStripOnce) {
  struct Case {
    uint32_t frames;
  };
  const Case cases[] = {{32}, {128}, {512}, {5000}};
  for (int k = 0; k < 4; ++k) engine->virtualIns[k].strip.routeMask.store(1u << 5);
  uint64_t expected = 0;
  for (const Case& c : cases) {
    DeviceBuffers clock({1, 1}, c.frames);
    clock.fill(0.5f);
    engine->processClock(clock.list());
    for (float v : clock.channel(0)) ASSERT_EQ(v, 0.0f);
    for (float v : clock.channel(1)) ASSERT_EQ(v, 0.0f);
    expected += c.frames;
    EXPECT_EQ(engine->padsStrip.rings[0]->writeIndex.load(), expected) << c.frames;
    EXPECT_EQ(engine->playerStrip.rings[0]->writeIndex.load(), expected) << c.frames;
    for (int k = 0; k < 4; ++k) {
      EXPECT_EQ(engine->virtualIns[k].strip.rings[5]->writeIndex.load(), expected) << k;
    }
  }
}

TEST_F(EngineAudioPath, ApplicationCallbackCountsAndNotesAudibleSignal) {
  AppSource& app = engine->apps[4];
  const uint32_t frames = 64;
  struct Case {
    const char* name;
    uint32_t at; // frame of the one non-zero left sample; frames = none
    float value;
    bool audible;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Case cases[] = {{"silent", frames, 0.0f, false},
                        {"last frame", frames - 1, 1e-9f, true},
                        {"first frame", 0, -0.5f, true},
                        {"not a number", 10, nan, true}};
  uint32_t calls = 0;
  for (const Case& c : cases) {
    DeviceBuffers in({2}, frames);
    if (c.at < frames) in.at(0, c.at) = c.value;
    in.at(1, 3) = 0.5f; // the right channel never counts
    const uint32_t before = app.lastAudible.load();
    engine->processApp(4, in.list());
    ++calls;
    EXPECT_EQ(app.callbacks.load(), calls) << c.name;
    EXPECT_EQ(app.lastAudible.load(), c.audible ? calls : before) << c.name;
  }
}

TEST_F(EngineAudioPath, ApplicationTapChannelsStartAtTheChannelOffset) {
  // An aggregate device with the tap's two channels behind two of another sub-device.
  AppSource& app = engine->apps[2];
  app.tap.channelOffset = 2;
  app.strip.routeMask.store(1);
  const auto l = sine(64, 500.0, 0.5f);
  const auto r = sine(64, 900.0, 0.5f);
  DeviceBuffers in({2, 2}, 64);
  in.setChannel(0, std::vector<float>(64, 0.9f));
  in.setChannel(2, l);
  in.setChannel(3, r);
  engine->processApp(2, in.list());
  const auto got = test::drainRing(*app.strip.rings[0]);
  ASSERT_EQ(got.size(), 128u);
  for (uint32_t f = 0; f < 64; ++f) {
    ASSERT_EQ(got[2 * f], l[f]);
    ASSERT_EQ(got[2 * f + 1], r[f]);
  }
}

TEST_F(EngineAudioPath, MissingApplicationBufferIsAMissingChannel) {
  AppSource& app = engine->apps[1];
  app.strip.routeMask.store(1);
  const uint32_t frames = 64;
  std::vector<float> first(frames * 2, 0.5f);
  struct Case {
    const char* name;
    uint32_t offset;
    platform::audio::Buffer second;
    uint32_t count;
  };
  const Case cases[] = {
      {"null data", 2, {2, frames * 8, nullptr}, 2},
      {"absent buffer", 2, {0, 0, nullptr}, 1},
      {"offset past the channels", 6, {2, frames * 8, nullptr}, 2},
      {"short buffer", 2, {2, 16, first.data()}, 2},
  };
  uint32_t calls = 0;
  for (const Case& c : cases) {
    app.tap.channelOffset = c.offset;
    platform::audio::BufferList list{};
    list.count = c.count;
    list.buffers[0] = {2, frames * 8, first.data()};
    list.buffers[1] = c.second;
    engine->processApp(1, &list);
    ++calls;
    EXPECT_EQ(app.callbacks.load(), calls) << c.name;
    EXPECT_EQ(app.lastAudible.load(), 0u) << c.name;
    EXPECT_EQ(app.strip.rings[0]->writeIndex.load(), 0u) << c.name;
  }
  // The right channel missing alone: the left feeds both.
  std::vector<float> right(frames, 0.0f);
  platform::audio::BufferList list{};
  list.count = 2;
  list.buffers[0] = {1, frames * 4, first.data()};
  list.buffers[1] = {1, frames * 4, nullptr};
  app.tap.channelOffset = 0;
  engine->processApp(1, &list);
  const auto got = test::drainRing(*app.strip.rings[0]);
  ASSERT_EQ(got.size(), size_t{frames} * 2);
  EXPECT_EQ(got[1], 0.5f);
}

// Every entry point flushes denormals while it runs: each one's own arithmetic (strip gain, the
// virtual inputs' mix, the bus mix) turns denormal frames into 0 and leaves normal ones exact,
// and the calling thread's mode is unchanged afterwards.
TEST_F(EngineAudioPath, EveryEntryPointFlushesDenormalsAndRestoresTheCallersMode) {
  if (!denormals::kSupported) GTEST_SKIP() << "no flush mode on this processor";
  const uint32_t frames = 128;
  const float tiny = std::numeric_limits<float>::denorm_min() * 1024.0f;
  std::vector<float> signal(2 * frames);
  for (uint32_t s = 0; s < 2 * frames; ++s) signal[s] = s % 4 < 2 ? tiny : 0.5f;
  auto device = [&] {
    DeviceBuffers in({2}, frames);
    for (uint32_t f = 0; f < frames; ++f) in.at(0, f) = in.at(1, f) = signal[2 * f];
    return in;
  };
  struct Case {
    const char* name;
    std::function<std::vector<float>()> run;
  };
  const Case cases[] = {
      {"hardware input",
       [&] {
         auto in = device();
         engine->hwInputs[0].strip.routeMask.store(1u << 4);
         engine->processHwInput(0, in.list());
         return test::drainRing(*engine->hwInputs[0].strip.rings[4]);
       }},
      {"system sound",
       [&] {
         auto in = device();
         engine->processSystem(in.list());
         return test::drainRing(*engine->systemStrip.rings[3]);
       }},
      {"application",
       [&] {
         auto in = device();
         engine->apps[2].strip.routeMask.store(1u << 1);
         engine->processApp(2, in.list());
         return test::drainRing(*engine->apps[2].strip.rings[1]);
       }},
      {"clock",
       [&] {
         engine->apps[2].strip.routeMask.store(1u << 1);
         engine->apps[2].strip.rings[1]->write(signal.data(), frames);
         engine->virtualIns[1].strip.routeMask.store(1u << 5);
         DeviceBuffers clock({2}, frames);
         engine->processClock(clock.list());
         return test::drainRing(*engine->virtualIns[1].strip.rings[5]);
       }},
      {"bus output",
       [&] {
         engine->hwInputs[1].strip.routeMask.store(1u << 3);
         engine->hwInputs[1].strip.rings[3]->write(signal.data(), frames);
         DeviceBuffers out({2}, frames);
         engine->processOutput(3, out.list());
         std::vector<float> got(2 * frames);
         for (uint32_t f = 0; f < frames; ++f) {
           got[2 * f] = out.at(0, f);
           got[2 * f + 1] = out.at(1, f);
         }
         return got;
       }},
  };
  const uint64_t mode = denormals::readMode();
  denormals::writeMode(mode & ~denormals::kFlushBits);
  for (const Case& c : cases) {
    const std::vector<float> got = c.run();
    EXPECT_FALSE(denormals::flushing()) << c.name;
    ASSERT_EQ(got.size(), signal.size()) << c.name;
    for (uint32_t s = 0; s < 2 * frames; ++s) {
      ASSERT_EQ(got[s], s % 4 < 2 ? 0.0f : 0.5f) << c.name << " sample " << s;
    }
  }
  denormals::writeMode(mode);
}

} // namespace
} // namespace velto
