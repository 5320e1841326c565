// The machine's sound devices through a private PipeWire server: null sinks and sources stand in
// for the hardware. The suite runs the server's threads and the devices' I/O threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/layer/host_time.h"
#include "platform/audio/layer/io_procs.h"
#include "platform/audio/layer/listeners.h"
#include "platform/audio/layer/properties.h"
#include "platform/audio/pipewire/pipewire_devices.h"
#include "tests/support/pipewire/pipewire_test.h"
#include "tests/support/test_files.h"

namespace {

namespace audio = platform::audio;
using velto::test::AudioTestOptions;
using velto::test::AudioTestSystem;
using velto::test::deviceForUid;
using velto::test::NullNode;
using velto::test::PipewireDaemon;

constexpr auto kAppear = std::chrono::seconds(3);

// The layer's lists are looked at every 5 ms: each look takes the layer's locks.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = kAppear) {
  return velto::test::waitUntil(done, timeout, std::chrono::milliseconds(5));
}

double processSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

std::vector<double> availableRates(audio::ObjectId device) {
  const AspPropertyAddress address{audio::kPropAvailableSampleRates, kAspScopeGlobal,
                                   kAspElementMain};
  AspValueRange ranges[8] = {};
  uint32_t size = sizeof ranges;
  std::vector<double> rates;
  if (audio::getPropertyData(device, &address, 0, nullptr, &size, ranges) != kAspNoError) {
    return rates;
  }
  for (uint32_t r = 0; r < size / sizeof(AspValueRange); ++r) rates.push_back(ranges[r].minimum);
  return rates;
}

// The devices start in each test, after the nodes it needs.
class PipewireDevicesThreads : public velto::test::PipewireTest {
protected:
  explicit PipewireDevicesThreads(velto::test::PipewireSetup setup = {{}, false, false})
      : PipewireTest(std::move(setup)) {}
};

struct NodeCase {
  NullNode node;
  std::vector<uint32_t> inputLayout;
  std::vector<uint32_t> outputLayout;
  double rate;
  std::vector<double> rates;
  uint32_t transport;
};

TEST_F(PipewireDevicesThreads, NodesBecomeDevicesWithTheirFigures) {
  const std::vector<NodeCase> cases = {
      {{"test.speakers", "Test Speakers", false, 2},
       {},
       {2},
       48000.0,
       {48000.0},
       audio::kTransportBuiltIn},
      {{"test.surround", "Surround Out", false, 6, 44100},
       {},
       {6},
       44100.0,
       {44100.0, 48000.0},
       audio::kTransportBuiltIn},
      // The server's null node is a source only as a virtual one, and it says so.
      {{"test.microphone", "Test Microphone", true, 1},
       {1},
       {},
       48000.0,
       {48000.0},
       audio::kTransportVirtual},
      {{"test.array", "Mic Array", true, 4, 96000},
       {4},
       {},
       96000.0,
       {48000.0, 96000.0},
       audio::kTransportVirtual},
  };
  // Half before the devices start (listed at once), half after (they follow).
  for (size_t i = 0; i < cases.size() / 2; ++i) ASSERT_TRUE(daemon_->addNode(cases[i].node));
  ASSERT_TRUE(startDevices());
  EXPECT_NE(deviceForUid(cases[0].node.name), 0u) << "a node already there is listed at start";
  for (size_t i = cases.size() / 2; i < cases.size(); ++i) {
    ASSERT_TRUE(daemon_->addNode(cases[i].node));
  }
  for (const NodeCase& c : cases) {
    SCOPED_TRACE(c.node.name);
    ASSERT_TRUE(waitUntil([&] { return deviceForUid(c.node.name) != 0; }));
    const audio::ObjectId device = deviceForUid(c.node.name);
    const std::vector<audio::ObjectId> list = velto::test::deviceList();
    EXPECT_NE(std::find(list.begin(), list.end(), device), list.end());
    EXPECT_EQ(velto::test::textProperty(device, audio::kPropDeviceUid), c.node.name);
    EXPECT_EQ(velto::test::textProperty(device, audio::kPropName), c.node.description);
    EXPECT_EQ(velto::test::streamLayout(device, kAspScopeInput), c.inputLayout);
    EXPECT_EQ(velto::test::streamLayout(device, kAspScopeOutput), c.outputLayout);
    EXPECT_EQ(velto::test::doubleProperty(device, audio::kPropNominalSampleRate), c.rate);
    EXPECT_EQ(availableRates(device), c.rates);
    EXPECT_EQ(velto::test::wordProperty(device, audio::kPropTransportType), c.transport);
    EXPECT_EQ(velto::test::wordProperty(device, audio::kPropIsHidden), 0u);
  }
}

TEST_F(PipewireDevicesThreads, NominalRateSetsTo48000AndNothingElse) {
  ASSERT_TRUE(daemon_->addNode({"test.dac", "DAC", false, 2, 44100}));
  ASSERT_TRUE(startDevices());
  const audio::ObjectId device = deviceForUid("test.dac");
  ASSERT_NE(device, 0u);
  velto::test::NoticeCounter notices(device, audio::kPropNominalSampleRate);
  struct Step {
    double rate;
    AspStatus status;
    double reported;
  };
  const std::vector<Step> steps = {
      {96000.0, kAspUnsupportedFormat, 44100.0},
      {48000.0, kAspNoError, 48000.0},
      {48000.0, kAspNoError, 48000.0},
      {44100.0, kAspNoError, 44100.0}, // the node's own rate stays selectable
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.rate);
    EXPECT_EQ(velto::test::setDoubleProperty(device, audio::kPropNominalSampleRate, step.rate),
              step.status);
    EXPECT_EQ(velto::test::doubleProperty(device, audio::kPropNominalSampleRate), step.reported);
  }
  audio::flushNotifications();
  EXPECT_EQ(notices.count(), 2) << "told once per real change";
}

TEST_F(PipewireDevicesThreads, RemovedNodeLeavesTheListAndListenersHear) {
  ASSERT_TRUE(daemon_->addNode({"test.keep", "Keep", false, 2}));
  ASSERT_TRUE(daemon_->addNode({"test.unplug", "Unplug", true, 2}));
  ASSERT_TRUE(startDevices());
  ASSERT_NE(deviceForUid("test.unplug"), 0u);
  const audio::ObjectId kept = deviceForUid("test.keep");
  velto::test::NoticeCounter notices(audio::kSystemObject, audio::kPropDevices);
  ASSERT_TRUE(daemon_->removeNode("test.unplug"));
  ASSERT_TRUE(waitUntil([] { return deviceForUid("test.unplug") == 0; }));
  audio::flushNotifications();
  EXPECT_GE(notices.count(), 1);
  EXPECT_EQ(deviceForUid("test.keep"), kept) << "the other device keeps its id";
  const std::vector<audio::ObjectId> list = velto::test::deviceList();
  EXPECT_EQ(list, std::vector<audio::ObjectId>{kept});
}

TEST_F(PipewireDevicesThreads, SecondNodeOfAUidIsListedOnceTheFirstGoes) {
  ASSERT_TRUE(daemon_->addNode({"test.twice", "Erste", false, 2}));
  ASSERT_TRUE(startDevices());
  ASSERT_TRUE(daemon_->addNode({"test.twice", "Zweite", false, 2}));
  ASSERT_TRUE(daemon_->addNode({"test.marker", "Marker", false, 2}));
  ASSERT_TRUE(waitUntil([] { return deviceForUid("test.marker") != 0; }));
  const audio::ObjectId first = deviceForUid("test.twice");
  ASSERT_NE(first, 0u);
  EXPECT_EQ(velto::test::textProperty(first, audio::kPropName), "Erste");
  const std::string firstId = daemon_->nodeId("node.description", "Erste");
  ASSERT_FALSE(firstId.empty());
  ASSERT_TRUE(daemon_->removeNode(firstId));
  // The UID's device is the other node now, under a new id.
  ASSERT_TRUE(waitUntil([&] {
    const audio::ObjectId now = deviceForUid("test.twice");
    return now != 0 && now != first;
  }));
  EXPECT_EQ(velto::test::textProperty(deviceForUid("test.twice"), audio::kPropName), "Zweite");
  ASSERT_TRUE(daemon_->removeNode(daemon_->nodeId("node.description", "Zweite")));
  EXPECT_TRUE(waitUntil([] { return deviceForUid("test.twice") == 0; }));
}

TEST_F(PipewireDevicesThreads, OwnNodesAreNeverDevices) {
  ASSERT_TRUE(startDevices());
  const std::string own = std::string(audio::kOwnNodePrefix) + "mixer-output";
  ASSERT_TRUE(daemon_->addNode({own, "Velto Output", false, 2}));
  ASSERT_TRUE(daemon_->addNode({"test.after", "After", false, 2}));
  // The server tells in order: once the later node is listed, the earlier one was seen.
  ASSERT_TRUE(waitUntil([] { return deviceForUid("test.after") != 0; }));
  EXPECT_EQ(deviceForUid(own), 0u);
  EXPECT_EQ(velto::test::deviceList().size(), 1u);
}

TEST_F(PipewireDevicesThreads, NoServerNoDevices) {
  audio::PipewireOptions options;
  options.remote = daemon_->socket() + "-absent";
  options.answerMillis = 300;
  EXPECT_FALSE(audio::startPipewireDevices(options));
  EXPECT_FALSE(audio::pipewireDevicesRunning());
  EXPECT_TRUE(velto::test::deviceList().empty());
  EXPECT_TRUE(startDevices()) << "a failed start leaves nothing behind";
}

TEST_F(PipewireDevicesThreads, ManualClockLayerKeepsToItsOwnDevices) {
  ASSERT_TRUE(daemon_->addNode({"test.speakers", "Speakers", false, 2}));
  system_.reset();
  system_ = std::make_unique<AudioTestSystem>(
      AudioTestOptions{audio::ClockMode::Manual, /*withDriver=*/false});
  ASSERT_TRUE(system_->started());
  EXPECT_FALSE(startDevices());
  EXPECT_EQ(deviceForUid("test.speakers"), 0u);
}

// What an I/O callback saw, written on the I/O thread only.
struct Cycles {
  std::atomic<uint64_t> calls{0};
  std::atomic<uint64_t> frames{0};
  std::atomic<uint64_t> wrongSize{0};
  std::atomic<uint64_t> wrongLayout{0};
  std::atomic<uint64_t> first{0};
  std::atomic<uint64_t> last{0};
  std::atomic<uint64_t> longestGap{0};
  std::atomic<uint32_t> expectFrames{0};
  std::atomic<uint32_t> lastFrames{0};
  uint32_t inputChannels = 0;
  uint32_t outputChannels = 0;
};

AspStatus countCycle(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList* input,
                     const audio::TimeStamp*, audio::BufferList* output, const audio::TimeStamp*,
                     void* data) {
  auto& c = *static_cast<Cycles*>(data);
  const uint64_t now = audio::hostTimeNow();
  const bool in = c.inputChannels > 0;
  const audio::BufferList& list = in ? *input : *output;
  const uint32_t channels = in ? c.inputChannels : c.outputChannels;
  if (list.count != 1 || list.buffers[0].channels != channels) {
    c.wrongLayout.fetch_add(1, std::memory_order_relaxed);
    return kAspNoError;
  }
  const uint32_t frames = list.buffers[0].byteSize / (channels * uint32_t(sizeof(float)));
  if (frames != c.expectFrames.load(std::memory_order_relaxed))
    c.wrongSize.fetch_add(1, std::memory_order_relaxed);
  c.lastFrames.store(frames, std::memory_order_relaxed);
  if (!in) {
    auto* samples = static_cast<float*>(list.buffers[0].data);
    for (uint32_t s = 0; s < frames * channels; ++s) samples[s] = 0.25f;
  }
  const uint64_t previous = c.last.exchange(now, std::memory_order_relaxed);
  if (c.calls.fetch_add(1, std::memory_order_relaxed) == 0) {
    c.first.store(now, std::memory_order_relaxed);
  } else if (now - previous > c.longestGap.load(std::memory_order_relaxed)) {
    c.longestGap.store(now - previous, std::memory_order_relaxed);
  }
  c.frames.fetch_add(frames, std::memory_order_relaxed);
  return kAspNoError;
}

TEST_F(PipewireDevicesThreads, BoundDeviceRunsAt48kHzWithTheBufferSizeAsked) {
  struct BindCase {
    NullNode node;
    uint32_t frames;
  };
  const std::vector<BindCase> cases = {
      {{"test.in256", "In", true, 2}, 256},
      {{"test.in512", "In", true, 1}, 512},
      {{"test.in44", "In 44.1", true, 2, 44100}, 256}, // the server converts to 48000 Hz
      {{"test.out128", "Out", false, 2}, 128},
  };
  for (const BindCase& c : cases) ASSERT_TRUE(daemon_->addNode(c.node));
  ASSERT_TRUE(startDevices());
  for (const BindCase& c : cases) {
    SCOPED_TRACE(c.node.name);
    const audio::ObjectId device = deviceForUid(c.node.name);
    ASSERT_NE(device, 0u);
    ASSERT_EQ(velto::test::setWordProperty(device, audio::kPropBufferFrameSize, c.frames),
              kAspNoError);
    Cycles cycles;
    cycles.expectFrames = c.frames;
    (c.node.source ? cycles.inputChannels : cycles.outputChannels) = c.node.channels;
    audio::IoProcId proc = audio::kNoIoProc;
    ASSERT_EQ(audio::createIoProcId(device, countCycle, &cycles, &proc), kAspNoError);
    ASSERT_EQ(audio::startDevice(device, proc), kAspNoError);
    // Counted from the first callback on: linking the stream takes its own time.
    ASSERT_TRUE(waitUntil([&] { return cycles.calls.load() > 0; }));
    const double cpuBefore = processSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double cpuMillis = (processSeconds() - cpuBefore) * 1000.0;
    EXPECT_EQ(audio::stopDevice(device, proc), kAspNoError);
    const uint64_t calls = cycles.calls.load();
    audio::destroyIoProcId(device, proc);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(cycles.calls.load(), calls) << "no callback after stop";
    EXPECT_EQ(cycles.wrongLayout.load(), 0u);
    EXPECT_EQ(cycles.wrongSize.load(), 0u);
    ASSERT_GT(calls, 10u);
    const double seconds = double(cycles.last - cycles.first) / 1e9;
    const double rate = double(cycles.frames - c.frames) / seconds;
    EXPECT_NEAR(rate, 48000.0, 48000.0 * 0.05);
    const double period = double(c.frames) / 48.0; // milliseconds
    std::printf("[ figures  ] %s: %llu callbacks of %u frames, %.0f frames/s, longest gap %.2f ms "
                "(period %.2f ms), %.1f ms CPU in 500 ms\n",
                c.node.name.c_str(), static_cast<unsigned long long>(calls), c.frames, rate,
                double(cycles.longestGap.load()) / 1e6, period, cpuMillis);
  }
}

TEST_F(PipewireDevicesThreads, ServerGoneTakesItsDevicesAlong) {
  ASSERT_TRUE(daemon_->addNode({"test.a", "A", false, 2}));
  ASSERT_TRUE(daemon_->addNode({"test.b", "B", true, 2}));
  ASSERT_TRUE(startDevices());
  const audio::ObjectId running = deviceForUid("test.b");
  ASSERT_NE(running, 0u);
  Cycles cycles;
  cycles.inputChannels = 2;
  cycles.expectFrames = audio::kDefaultBufferFrames;
  audio::IoProcId proc = audio::kNoIoProc;
  ASSERT_EQ(audio::createIoProcId(running, countCycle, &cycles, &proc), kAspNoError);
  ASSERT_EQ(audio::startDevice(running, proc), kAspNoError);
  ASSERT_TRUE(waitUntil([&] { return cycles.calls.load() > 0; }));
  velto::test::NoticeCounter notices(audio::kSystemObject, audio::kPropDevices);
  daemon_->stop();
  ASSERT_TRUE(waitUntil([] { return velto::test::deviceList().empty(); }));
  audio::flushNotifications();
  EXPECT_GE(notices.count(), 1);
  EXPECT_EQ(audio::stopDevice(running, proc), audio::kStatusBadDevice) << "the device is gone";
  const uint64_t calls = cycles.calls.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(cycles.calls.load(), calls) << "no callback after the device went";
}

// A duplex callback: plays a constant and counts what comes back in.
struct Loop {
  float level = 0.0f;
  std::atomic<uint64_t> calls{0};
  std::atomic<uint64_t> echoed{0};  // input samples equal to the level
  std::atomic<uint64_t> silent{0};  // input samples of 0
  std::atomic<uint64_t> foreign{0}; // anything else
};

AspStatus loopCycle(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList* input,
                    const audio::TimeStamp*, audio::BufferList* output, const audio::TimeStamp*,
                    void* data) {
  auto& loop = *static_cast<Loop*>(data);
  if (input->count == 1) {
    const auto* in = static_cast<const float*>(input->buffers[0].data);
    const uint32_t samples = input->buffers[0].byteSize / uint32_t(sizeof(float));
    uint64_t echoed = 0, silent = 0, foreign = 0;
    for (uint32_t s = 0; s < samples; ++s) {
      if (in[s] == loop.level) {
        ++echoed;
      } else if (in[s] == 0.0f) {
        ++silent;
      } else {
        ++foreign;
      }
    }
    loop.echoed.fetch_add(echoed, std::memory_order_relaxed);
    loop.silent.fetch_add(silent, std::memory_order_relaxed);
    loop.foreign.fetch_add(foreign, std::memory_order_relaxed);
  }
  if (output->count == 1) {
    auto* out = static_cast<float*>(output->buffers[0].data);
    const uint32_t samples = output->buffers[0].byteSize / uint32_t(sizeof(float));
    for (uint32_t s = 0; s < samples; ++s) out[s] = loop.level;
  }
  loop.calls.fetch_add(1, std::memory_order_relaxed);
  return kAspNoError;
}

TEST_F(PipewireDevicesThreads, DuplexDeviceHearsWhatItPlays) {
  // The server's null duplex node hands what reaches its input to its output.
  NullNode node{"test.duplex", "Duplex", false, 2};
  node.mediaClass = "Audio/Duplex";
  ASSERT_TRUE(daemon_->addNode(node));
  ASSERT_TRUE(startDevices());
  const audio::ObjectId device = deviceForUid("test.duplex");
  ASSERT_NE(device, 0u);
  EXPECT_EQ(velto::test::streamLayout(device, kAspScopeInput), std::vector<uint32_t>{2});
  EXPECT_EQ(velto::test::streamLayout(device, kAspScopeOutput), std::vector<uint32_t>{2});
  ASSERT_EQ(velto::test::setWordProperty(device, audio::kPropBufferFrameSize, 256), kAspNoError);
  Loop loop;
  loop.level = 0.25f;
  audio::IoProcId proc = audio::kNoIoProc;
  ASSERT_EQ(audio::createIoProcId(device, loopCycle, &loop, &proc), kAspNoError);
  ASSERT_EQ(audio::startDevice(device, proc), kAspNoError);
  EXPECT_TRUE(waitUntil([&] { return loop.echoed.load() > 48000; }))
      << loop.calls.load() << " cycles, " << loop.silent.load() << " silent";
  audio::destroyIoProcId(device, proc);
  EXPECT_EQ(loop.foreign.load(), 0u) << "the level comes back unchanged";
}

// Plays a running frame count and hears it back: how many frames it played since the one it
// hears now.
struct Echo {
  std::atomic<int64_t> delay{-1};
  uint64_t played = 0; // I/O thread only
};

AspStatus echoCycle(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList* input,
                    const audio::TimeStamp*, audio::BufferList* output, const audio::TimeStamp*,
                    void* data) {
  auto& echo = *static_cast<Echo*>(data);
  if (input->count == 1 && input->buffers[0].byteSize >= 2 * sizeof(float)) {
    const auto* in = static_cast<const float*>(input->buffers[0].data);
    const float heard = in[input->buffers[0].byteSize / sizeof(float) - 2];
    if (heard > 0.0f) echo.delay.store(int64_t(echo.played) - int64_t(heard));
  }
  if (output->count == 1) {
    auto* out = static_cast<float*>(output->buffers[0].data);
    const uint32_t frames = output->buffers[0].byteSize / uint32_t(2 * sizeof(float));
    for (uint32_t f = 0; f < frames; ++f) out[2 * f] = out[2 * f + 1] = float(++echo.played);
  }
  return kAspNoError;
}

// A duplex device started again runs its cycles at once, before its playback has begun again:
// what they played meanwhile does not leave the way back to its input longer than before.
TEST_F(PipewireDevicesThreads, DuplexDeviceStartedAgainHearsItselfAsSoonAsBefore) {
  NullNode node{"test.duplex.again", "Duplex Again", false, 2};
  node.mediaClass = "Audio/Duplex";
  ASSERT_TRUE(daemon_->addNode(node));
  ASSERT_TRUE(startDevices());
  const audio::ObjectId device = deviceForUid(node.name);
  ASSERT_NE(device, 0u);
  // Small cycles: the playback takes several of them to begin again.
  constexpr uint32_t kFrames = 64;
  ASSERT_EQ(velto::test::setWordProperty(device, audio::kPropBufferFrameSize, kFrames),
            kAspNoError);
  Echo echo;
  audio::IoProcId proc = audio::kNoIoProc;
  ASSERT_EQ(audio::createIoProcId(device, echoCycle, &echo, &proc), kAspNoError);
  std::vector<int64_t> delays;
  for (int start = 0; start < 3; ++start) {
    SCOPED_TRACE("start " + std::to_string(start + 1));
    echo.delay.store(-1);
    ASSERT_EQ(audio::startDevice(device, proc), kAspNoError);
    ASSERT_TRUE(waitUntil([&] { return echo.delay.load() >= 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    delays.push_back(echo.delay.load());
    ASSERT_EQ(audio::stopDevice(device, proc), kAspNoError);
  }
  audio::destroyIoProcId(device, proc);
  std::printf("[ figures  ] the way back after each start: %lld, %lld, %lld frames\n",
              (long long)delays[0], (long long)delays[1], (long long)delays[2]);
  // Played in one cycle, heard in the next, or one later as the cycle's order beside the
  // playback's falls.
  for (int64_t delay : delays) EXPECT_LE(delay, int64_t(kFrames));
}

// A virtual source hands its capture out of ports the server marks as monitors: they are its
// capture all the same, and what is played into it reaches the device's callbacks.
TEST_F(PipewireDevicesThreads, VirtualSourceHearsWhatIsPlayedIntoIt) {
  const NullNode node{"test.virtual.in", "Virtual In", true, 2};
  ASSERT_TRUE(daemon_->addNode(node));
  ASSERT_TRUE(startDevices());
  const audio::ObjectId device = deviceForUid(node.name);
  ASSERT_NE(device, 0u);
  const std::string file = system_->home() + "/steady.wav";
  ASSERT_TRUE(velto::test::writeSteadyWav(file, 5));
  Loop loop;
  loop.level = 0.25f; // the file's level
  audio::IoProcId proc = audio::kNoIoProc;
  ASSERT_EQ(audio::createIoProcId(device, loopCycle, &loop, &proc), kAspNoError);
  ASSERT_EQ(audio::startDevice(device, proc), kAspNoError);
  // The session manager links players to sinks only: this one is linked by hand.
  const pid_t player = daemon_->play("", file, "{ node.name=test.player node.autoconnect=false }");
  ASSERT_GT(player, 0);
  for (const char* channel : {"FL", "FR"}) {
    EXPECT_TRUE(waitUntil(
        [&] {
          return daemon_->link(std::string("test.player:output_") + channel,
                               node.name + ":input_" + channel);
        },
        std::chrono::seconds(5)))
        << channel;
  }
  EXPECT_TRUE(waitUntil([&] { return loop.echoed.load() > 48000; }))
      << loop.calls.load() << " cycles, " << loop.silent.load() << " silent";
  daemon_->endPlay(player);
  audio::destroyIoProcId(device, proc);
  EXPECT_EQ(loop.foreign.load(), 0u) << "the level arrives unchanged";
}

// Plays a constant level into every output sample.
AspStatus playLevel(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList*,
                    const audio::TimeStamp*, audio::BufferList* output, const audio::TimeStamp*,
                    void* data) {
  const float level = *static_cast<const float*>(data);
  for (uint32_t b = 0; b < output->count; ++b) {
    auto* out = static_cast<float*>(output->buffers[b].data);
    for (uint32_t s = 0; s < output->buffers[b].byteSize / sizeof(float); ++s) out[s] = level;
  }
  return kAspNoError;
}

TEST_F(PipewireDevicesThreads, SinkPlaysTheSumOfItsCallbacks) {
  ASSERT_TRUE(daemon_->addNode({"test.mixout", "Mix Out", false, 2}));
  ASSERT_TRUE(startDevices());
  const audio::ObjectId device = deviceForUid("test.mixout");
  ASSERT_NE(device, 0u);
  const float levels[] = {0.125f, 0.25f}; // they sum to 0.375 exactly
  audio::IoProcId procs[2] = {audio::kNoIoProc, audio::kNoIoProc};
  for (int p = 0; p < 2; ++p) {
    ASSERT_EQ(audio::createIoProcId(device, playLevel, const_cast<float*>(&levels[p]), &procs[p]),
              kAspNoError);
    ASSERT_EQ(audio::startDevice(device, procs[p]), kAspNoError);
  }
  size_t mixed = 0, silent = 0, other = 0;
  // The device's links may take hold after the recorder's on a loaded machine: a recording that
  // heard too little of the mix is taken again.
  for (int attempt = 0; attempt < 5 && mixed <= 2u * 4800 && other == 0; ++attempt) {
    mixed = silent = other = 0;
    for (float s : daemon_->recordSink("test.mixout", 2, 500)) {
      if (s == 0.375f) {
        ++mixed;
      } else if (s == 0.0f) {
        ++silent;
      } else {
        ++other;
      }
    }
  }
  for (audio::IoProcId proc : procs) audio::destroyIoProcId(device, proc);
  EXPECT_GT(mixed, 2u * 4800) << silent << " silent samples"; // more than 0.1 s
  EXPECT_EQ(other, 0u) << "the mix reaches the sink unchanged";
}

TEST_F(PipewireDevicesThreads, NewBufferSizeReachesARunningDevice) {
  ASSERT_TRUE(daemon_->addNode({"test.resize", "Resize", true, 2}));
  ASSERT_TRUE(startDevices());
  const audio::ObjectId device = deviceForUid("test.resize");
  ASSERT_NE(device, 0u);
  ASSERT_EQ(velto::test::setWordProperty(device, audio::kPropBufferFrameSize, 256), kAspNoError);
  Cycles cycles;
  cycles.inputChannels = 2;
  cycles.expectFrames = 256;
  audio::IoProcId proc = audio::kNoIoProc;
  ASSERT_EQ(audio::createIoProcId(device, countCycle, &cycles, &proc), kAspNoError);
  ASSERT_EQ(audio::startDevice(device, proc), kAspNoError);
  ASSERT_TRUE(waitUntil([&] { return cycles.calls.load() > 5; }));
  EXPECT_EQ(cycles.wrongSize.load(), 0u);
  for (uint32_t frames : {1024u, 128u}) {
    SCOPED_TRACE(frames);
    ASSERT_EQ(velto::test::setWordProperty(device, audio::kPropBufferFrameSize, frames),
              kAspNoError);
    cycles.expectFrames.store(frames);
    // The server changes over within a few cycles (more on a loaded machine); from then on
    // every cycle has the new size.
    ASSERT_TRUE(waitUntil([&] { return cycles.lastFrames.load() == frames; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    cycles.wrongSize.store(0);
    const uint64_t before = cycles.calls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_GT(cycles.calls.load(), before + 2);
    EXPECT_EQ(cycles.wrongSize.load(), 0u);
  }
  audio::destroyIoProcId(device, proc);
}

// A new buffer size reaches a device while it plays, or when it is started again with it (as the
// engine rebinds every device): either way its cycles go on, at the graph's size until the graph
// takes the new one, and none is left out while the device waits for it: between two cycles
// pass less than three cycles of the larger size, where waiting for the graph leaves out four.
TEST_F(PipewireDevicesThreads, DeviceKeepsItsCyclesThroughABufferSizeChange) {
  struct Case {
    const char* what;
    NullNode node;
    bool restart; // stopped, given the size, started again
  };
  const std::vector<Case> cases = {
      {"running source", {"test.keep.in", "Keep In", true, 2}, false},
      {"restarted source", {"test.again.in", "Again In", true, 2}, true},
      {"restarted sink", {"test.again.out", "Again Out", false, 2}, true},
  };
  for (const Case& c : cases) ASSERT_TRUE(daemon_->addNode(c.node));
  ASSERT_TRUE(startDevices());
  constexpr uint32_t kFrom = 512;
  constexpr uint32_t kTo = 2048;
  // One cycle of the larger size is 43 ms; a device that waits for the graph leaves out four.
  const uint64_t allowedGap = 3 * 1000000000ull * kTo / 48000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const audio::ObjectId device = deviceForUid(c.node.name);
    ASSERT_NE(device, 0u);
    ASSERT_EQ(velto::test::setWordProperty(device, audio::kPropBufferFrameSize, kFrom),
              kAspNoError);
    Cycles cycles;
    (c.node.source ? cycles.inputChannels : cycles.outputChannels) = c.node.channels;
    audio::IoProcId proc = audio::kNoIoProc;
    ASSERT_EQ(audio::createIoProcId(device, countCycle, &cycles, &proc), kAspNoError);
    ASSERT_EQ(audio::startDevice(device, proc), kAspNoError);
    ASSERT_TRUE(waitUntil([&] { return cycles.lastFrames.load() == kFrom; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cycles.longestGap.store(0);
    if (c.restart) {
      ASSERT_EQ(audio::stopDevice(device, proc), kAspNoError);
      ASSERT_EQ(velto::test::setWordProperty(device, audio::kPropBufferFrameSize, kTo),
                kAspNoError);
      ASSERT_EQ(audio::startDevice(device, proc), kAspNoError);
    } else {
      ASSERT_EQ(velto::test::setWordProperty(device, audio::kPropBufferFrameSize, kTo),
                kAspNoError);
    }
    EXPECT_TRUE(waitUntil([&] { return cycles.lastFrames.load() == kTo; }));
    const uint64_t before = cycles.calls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_GT(cycles.calls.load(), before + 2) << "cycles go on at the new size";
    audio::destroyIoProcId(device, proc);
    std::printf("[ figures  ] %s: longest time between cycles %.1f ms (one cycle of %u frames "
                "%.1f ms)\n",
                c.what, double(cycles.longestGap.load()) / 1e6, kTo, double(kTo) / 48.0);
    EXPECT_LT(cycles.longestGap.load(), allowedGap);
    EXPECT_EQ(cycles.wrongLayout.load(), 0u);
  }
}

// The driver's visible devices as nodes of the server, for other applications.
class PipewireDriverNodesThreads : public PipewireDevicesThreads {
protected:
  // A null sink drives the graph, as the hardware would.
  PipewireDriverNodesThreads()
      : PipewireDevicesThreads({{{"test.speakers", "Speakers", false, 2}}, true, true}) {}

  // node.name -> the node's listing (its properties as `pw-cli ls Node` prints them).
  std::map<std::string, std::string> ownNodes() {
    std::map<std::string, std::string> found;
    const std::string text = daemon_->nodes();
    for (size_t at = text.find("\tid "); at != std::string::npos;) {
      const size_t next = text.find("\tid ", at + 1);
      const std::string block = text.substr(at, next == std::string::npos ? next : next - at);
      const std::string key = "node.name = \"";
      const size_t name = block.find(key);
      if (name != std::string::npos) {
        const size_t start = name + key.size();
        const std::string value = block.substr(start, block.find('"', start) - start);
        if (value.rfind(audio::kOwnNodePrefix, 0) == 0) found[value] = block;
      }
      at = next;
    }
    return found;
  }

  bool nodesListed(size_t count) {
    return waitUntil([&] { return ownNodes().size() == count; });
  }
};

struct NodeShown {
  const char* name;
  const char* description;
  const char* mediaClass;
};

const std::vector<NodeShown> kDriverNodes = {
    {"velto.VeltoDefaultOutput_UID", "Velto Input", "Audio/Sink"},
    {"velto.VeltoOut1_UID", "Velto Out 1", "Audio/Source"},
    {"velto.VeltoOut2_UID", "Velto Out 2", "Audio/Source"},
    {"velto.VeltoOut3_UID", "Velto Out 3", "Audio/Source"},
};

TEST_F(PipewireDriverNodesThreads, VisibleDriverDevicesAreNodesAndComeBackAfterARestart) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "at start" : "after the plug-ins were reloaded");
    ASSERT_TRUE(nodesListed(kDriverNodes.size())) << daemon_->nodes();
    const std::map<std::string, std::string> nodes = ownNodes();
    for (const NodeShown& shown : kDriverNodes) {
      SCOPED_TRACE(shown.name);
      ASSERT_EQ(nodes.count(shown.name), 1u);
      const std::string& block = nodes.at(shown.name);
      EXPECT_NE(block.find("node.description = \"" + std::string(shown.description) + "\""),
                std::string::npos)
          << block;
      EXPECT_NE(block.find("media.class = \"" + std::string(shown.mediaClass) + "\""),
                std::string::npos)
          << block;
      EXPECT_EQ(deviceForUid(shown.name), 0u) << "our own nodes never come back as devices";
    }
    EXPECT_EQ(velto::test::deviceList().size(), 5u)
        << "the driver's four visible devices and the speakers";
    if (round == 0) {
      ASSERT_TRUE(audio::restartServer());
    }
  }
  audio::stopPipewireDevices();
  EXPECT_TRUE(nodesListed(0)) << "the nodes leave with the devices";
}

// Counts the input samples equal to a level, and when the first one came.
struct Heard {
  float level = 0.0f;
  std::atomic<uint64_t> equal{0};
  std::atomic<uint64_t> silent{0};
  std::atomic<uint64_t> other{0};
  std::atomic<uint64_t> firstHeard{0};
};

AspStatus hearLevel(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList* input,
                    const audio::TimeStamp*, audio::BufferList*, const audio::TimeStamp*,
                    void* data) {
  auto& heard = *static_cast<Heard*>(data);
  if (input->count != 1) return kAspNoError;
  const auto* in = static_cast<const float*>(input->buffers[0].data);
  const uint32_t samples = input->buffers[0].byteSize / uint32_t(sizeof(float));
  uint64_t equal = 0, silent = 0, other = 0;
  for (uint32_t s = 0; s < samples; ++s) {
    if (in[s] == heard.level) {
      ++equal;
    } else if (in[s] == 0.0f) {
      ++silent;
    } else {
      ++other;
    }
  }
  if (equal > 0 && heard.firstHeard.load(std::memory_order_relaxed) == 0) {
    heard.firstHeard.store(audio::hostTimeNow(), std::memory_order_relaxed);
  }
  heard.equal.fetch_add(equal, std::memory_order_relaxed);
  heard.silent.fetch_add(silent, std::memory_order_relaxed);
  heard.other.fetch_add(other, std::memory_order_relaxed);
  return kAspNoError;
}

TEST_F(PipewireDriverNodesThreads, WhatIsPlayedIntoVeltoInputReachesItsReturn) {
  ASSERT_TRUE(nodesListed(kDriverNodes.size()));
  const audio::ObjectId back = deviceForUid("VeltoDefaultOutputReturn_UID");
  ASSERT_NE(back, 0u);
  Heard heard;
  heard.level = 0.25f; // the steady tone's level, exact in every sample format
  audio::IoProcId proc = audio::kNoIoProc;
  ASSERT_EQ(audio::createIoProcId(back, hearLevel, &heard, &proc), kAspNoError);
  ASSERT_EQ(audio::startDevice(back, proc), kAspNoError);
  const std::string file = system_->home() + "/tone.wav";
  ASSERT_TRUE(velto::test::writeSteadyWav(file, 2));
  const uint64_t started = audio::hostTimeNow();
  const pid_t player = daemon_->play("velto.VeltoDefaultOutput_UID", file);
  ASSERT_GT(player, 0);
  const bool reached = waitUntil([&] { return heard.equal.load() > 48000; });
  daemon_->endPlay(player);
  audio::destroyIoProcId(back, proc);
  ASSERT_TRUE(reached) << heard.silent.load() << " silent, " << heard.other.load() << " other";
  EXPECT_EQ(heard.other.load(), 0u) << "the tone arrives unchanged";
  std::printf("[ figures  ] from starting the player to the first sample at the return: %.1f ms\n",
              double(heard.firstHeard.load() - started) / 1e6);
}

TEST_F(PipewireDriverNodesThreads, WhatTheFeedsPlayIsRecordedFromTheOuts) {
  struct OutCase {
    const char* feedUid;
    const char* node;
    float level;
  };
  const std::vector<OutCase> cases = {
      {"VeltoOut1Feed_UID", "velto.VeltoOut1_UID", 0.25f},
      {"VeltoOut2Feed_UID", "velto.VeltoOut2_UID", 0.125f},
      {"VeltoOut3Feed_UID", "velto.VeltoOut3_UID", 0.5f},
  };
  ASSERT_TRUE(nodesListed(kDriverNodes.size()));
  for (const OutCase& c : cases) {
    SCOPED_TRACE(c.node);
    const audio::ObjectId feed = deviceForUid(c.feedUid);
    ASSERT_NE(feed, 0u);
    float level = c.level;
    audio::IoProcId proc = audio::kNoIoProc;
    ASSERT_EQ(audio::createIoProcId(feed, playLevel, &level, &proc), kAspNoError);
    ASSERT_EQ(audio::startDevice(feed, proc), kAspNoError);
    const std::vector<float> recorded = daemon_->recordSource(c.node, 2, 700);
    audio::destroyIoProcId(feed, proc);
    size_t equal = 0, silent = 0, other = 0;
    for (float s : recorded) {
      if (s == c.level) {
        ++equal;
      } else if (s == 0.0f) {
        ++silent;
      } else {
        ++other;
      }
    }
    EXPECT_GT(equal, 2u * 4800) << silent << " silent samples"; // more than 0.1 s
    EXPECT_EQ(other, 0u) << "the feed's level is recorded unchanged";
  }
}

// The volume and mute of an Out node are its device's controls, both ways, and the driver alone
// applies them: set on the node with wpctl they reach the control and the recorded level; set
// on the control they show on the node.
TEST_F(PipewireDriverNodesThreads, OutNodesVolumeAndMuteAreTheirDevicesControls) {
  struct VolumeCase {
    const char* what;
    int out;                        // Velto Out <out>, fed by its feed device
    std::vector<std::string> wpctl; // after the node's id; empty: the control is set instead
    float controlVolume;            // set on the control when there is no wpctl command
    bool controlMute;
    float shownVolume; // wpctl get-volume afterwards
    float recorded;    // the feed's 0.5 times the cube of the volume, or 0 when muted
  };
  const std::vector<VolumeCase> cases = {
      {"node volume 0.5", 1, {"set-volume", "0.5"}, 0.5f, false, 0.5f, 0.0625f},
      {"node muted", 2, {"set-mute", "1"}, 1.0f, true, 1.0f, 0.0f},
      {"control volume 0.8", 3, {}, 0.8f, false, 0.8f, 0.256f},
      {"control muted", 1, {}, 0.5f, true, 0.5f, 0.0f},
  };
  ASSERT_TRUE(nodesListed(kDriverNodes.size()));
  for (const VolumeCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string out = "VeltoOut" + std::to_string(c.out);
    const std::string node = "velto." + out + "_UID";
    const audio::ObjectId device = deviceForUid(out + "_UID");
    ASSERT_NE(device, 0u);
    const std::string id = daemon_->nodeId("node.name", node);
    ASSERT_FALSE(id.empty());
    if (c.wpctl.empty()) {
      ASSERT_EQ(velto::test::setFloatProperty(device, audio::kPropVolumeScalar, c.controlVolume,
                                              kAspScopeInput),
                kAspNoError);
      ASSERT_EQ(velto::test::setWordProperty(device, audio::kPropMute, c.controlMute ? 1 : 0,
                                             kAspScopeInput),
                kAspNoError);
    } else {
      std::vector<std::string> command = {c.wpctl[0], id};
      command.insert(command.end(), c.wpctl.begin() + 1, c.wpctl.end());
      daemon_->wpctl(command);
    }
    EXPECT_TRUE(waitUntil([&] {
      return std::fabs(
                 velto::test::floatProperty(device, audio::kPropVolumeScalar, kAspScopeInput) -
                 c.controlVolume) < 0.01f &&
             (velto::test::wordProperty(device, audio::kPropMute, kAspScopeInput) != 0) ==
                 c.controlMute;
    })) << "the control never took the node's volume";
    velto::test::NodeVolume shown;
    EXPECT_TRUE(waitUntil([&] {
      shown = daemon_->volumeOf(id);
      return shown.read && std::fabs(shown.volume - c.shownVolume) < 0.01f &&
             shown.muted == c.controlMute;
    })) << shown.volume
        << (shown.muted ? " muted" : "");

    const audio::ObjectId feed = deviceForUid(out + "Feed_UID");
    ASSERT_NE(feed, 0u);
    float level = 0.5f;
    audio::IoProcId proc = audio::kNoIoProc;
    ASSERT_EQ(audio::createIoProcId(feed, playLevel, &level, &proc), kAspNoError);
    ASSERT_EQ(audio::startDevice(feed, proc), kAspNoError);
    const std::vector<float> recorded = daemon_->recordSource(node, 2, 600);
    audio::destroyIoProcId(feed, proc);
    size_t at = 0, other = 0; // silence before the recorder was linked counts as neither
    for (float s : recorded) {
      if (std::fabs(s - c.recorded) <= 1e-4f * c.recorded) {
        ++at;
      } else if (s != 0.0f) {
        ++other;
      }
    }
    EXPECT_GT(at, 2u * 4800) << "more than 0.1 s at the driver's gain";
    EXPECT_EQ(other, 0u) << "attenuated once, by the driver";
  }
}

// Where and how fast a device's cycles run.
struct Paced {
  std::atomic<size_t> thread{0}; // the first cycle's thread
  std::atomic<uint64_t> calls{0};
  std::atomic<uint64_t> frames{0};
  std::atomic<uint64_t> elsewhere{0}; // cycles on another thread than the first
  std::atomic<uint64_t> last{0};
  std::atomic<uint64_t> longestGap{0};
};

AspStatus paceCycle(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList* input,
                    const audio::TimeStamp*, audio::BufferList* output, const audio::TimeStamp*,
                    void* data) {
  auto& paced = *static_cast<Paced*>(data);
  const size_t self = std::hash<std::thread::id>{}(std::this_thread::get_id());
  size_t first = 0;
  if (!paced.thread.compare_exchange_strong(first, self) && first != self) {
    paced.elsewhere.fetch_add(1, std::memory_order_relaxed);
  }
  const audio::BufferList& list = output->count > 0 ? *output : *input;
  if (list.count > 0) {
    paced.frames.fetch_add(list.buffers[0].byteSize / (2 * sizeof(float)),
                           std::memory_order_relaxed);
  }
  const uint64_t now = audio::hostTimeNow();
  const uint64_t previous = paced.last.exchange(now, std::memory_order_relaxed);
  if (previous != 0 && now - previous > paced.longestGap.load(std::memory_order_relaxed)) {
    paced.longestGap.store(now - previous, std::memory_order_relaxed);
  }
  paced.calls.fetch_add(1, std::memory_order_relaxed);
  return kAspNoError;
}

TEST_F(PipewireDriverNodesThreads, TheMixersDriverDevicesRunOnTheGraphsClock) {
  ASSERT_TRUE(nodesListed(kDriverNodes.size()));
  // The mixer's clock and one bus feed, with nothing playing into or recording from the nodes.
  const char* const uids[] = {"VeltoClock_UID", "VeltoOut1Feed_UID",
                              "VeltoDefaultOutputReturn_UID"};
  Paced paced[3];
  audio::IoProcId procs[3] = {};
  for (int d = 0; d < 3; ++d) {
    const audio::ObjectId device = deviceForUid(uids[d]);
    ASSERT_NE(device, 0u);
    ASSERT_EQ(audio::createIoProcId(device, paceCycle, &paced[d], &procs[d]), kAspNoError);
    ASSERT_EQ(audio::startDevice(device, procs[d]), kAspNoError);
  }
  struct Phase {
    const char* what;
    bool server;
    bool oneThread;
  };
  const std::vector<Phase> phases = {
      {"with the server", true, true},
      {"after the server's devices stopped", false, false},
  };
  for (const Phase& phase : phases) {
    SCOPED_TRACE(phase.what);
    if (!phase.server) audio::stopPipewireDevices();
    for (Paced& p : paced) {
      p.thread = 0;
      p.elsewhere = 0;
      p.last = 0;
      p.longestGap = 0;
    }
    ASSERT_TRUE(waitUntil([&] { return paced[0].calls.load() > 0 && paced[1].calls.load() > 0; }));
    // An idle graph runs 1024-frame cycles, 21 ms apart: the window is long enough that a
    // cycle more or less at its ends stays within 2 %.
    const uint64_t framesBefore = paced[0].frames.load();
    const uint64_t started = audio::hostTimeNow();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const double seconds = double(audio::hostTimeNow() - started) / 1e9;
    const double rate = double(paced[0].frames.load() - framesBefore) / seconds;
    EXPECT_NEAR(rate, 48000.0, 48000.0 * 0.1);
    for (const Paced& p : paced)
      EXPECT_EQ(p.elsewhere.load(), 0u) << "each device keeps its thread";
    const bool shared = paced[0].thread.load() == paced[1].thread.load() &&
                        paced[1].thread.load() == paced[2].thread.load();
    EXPECT_EQ(shared, phase.oneThread) << "one graph clock for all, else a thread each";
    std::printf("[ figures  ] %s: %.0f frames/s, %llu cycles of the clock device, longest gap "
                "%.2f ms\n",
                phase.what, rate, static_cast<unsigned long long>(paced[0].calls.load()),
                double(paced[0].longestGap.load()) / 1e6);
  }
  for (int d = 0; d < 3; ++d) audio::destroyIoProcId(deviceForUid(uids[d]), procs[d]);
}

TEST_F(PipewireDriverNodesThreads, WhenTheServerGoesTheDriversDevicesKeepRunning) {
  ASSERT_TRUE(nodesListed(kDriverNodes.size()));
  const audio::ObjectId clock = deviceForUid("VeltoClock_UID");
  ASSERT_NE(clock, 0u);
  Paced paced;
  audio::IoProcId proc = audio::kNoIoProc;
  ASSERT_EQ(audio::createIoProcId(clock, paceCycle, &paced, &proc), kAspNoError);
  ASSERT_EQ(audio::startDevice(clock, proc), kAspNoError);
  ASSERT_TRUE(waitUntil([&] { return paced.calls.load() > 0; }));
  daemon_->stop();
  ASSERT_TRUE(waitUntil([] { return deviceForUid("test.speakers") == 0; }));
  const uint64_t framesBefore = paced.frames.load();
  const uint64_t started = audio::hostTimeNow();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double seconds = double(audio::hostTimeNow() - started) / 1e9;
  EXPECT_NEAR(double(paced.frames.load() - framesBefore) / seconds, 48000.0, 48000.0 * 0.1)
      << "the mixer's clock runs on without the server";
  audio::destroyIoProcId(clock, proc);
}

// The layer's default devices are the server's.
class PipewireDefaultsThreads : public PipewireDevicesThreads {};

AspPropertyAddress defaultAddress(bool output) {
  return {output ? audio::kPropDefaultOutputDevice : audio::kPropDefaultInputDevice,
          kAspScopeGlobal, kAspElementMain};
}

audio::ObjectId layerDefault(bool output) {
  const AspPropertyAddress address = defaultAddress(output);
  audio::ObjectId id = 0;
  uint32_t size = sizeof id;
  return audio::getPropertyData(audio::kSystemObject, &address, 0, nullptr, &size, &id) ==
                 kAspNoError
             ? id
             : 0;
}

AspStatus setLayerDefault(bool output, audio::ObjectId id) {
  const AspPropertyAddress address = defaultAddress(output);
  return audio::setPropertyData(audio::kSystemObject, &address, 0, nullptr, sizeof id, &id);
}

AspStatus countCalls(audio::ObjectId, uint32_t, const AspPropertyAddress*, void* data) {
  static_cast<std::atomic<int>*>(data)->fetch_add(1);
  return kAspNoError;
}

// The node a default key of the "default" metadata names, as pw-metadata prints it.
bool metadataNames(PipewireDaemon& daemon, const std::string& key, const std::string& node) {
  return daemon.metadata({"0", key}).find("{\"name\":\"" + node + "\"}") != std::string::npos;
}

struct DefaultCase {
  const char* what;
  bool output;
  NullNode first;
  NullNode second;
  const char* key;        // the server's default
  const char* configured; // where a choice is written
};

TEST_F(PipewireDefaultsThreads, ServerDefaultIsTheLayersAndFollowsBothWays) {
  const std::vector<DefaultCase> cases = {
      {"output",
       true,
       {"test.left", "Left", false, 2},
       {"test.right", "Right", false, 2},
       "default.audio.sink",
       "default.configured.audio.sink"},
      {"input",
       false,
       {"test.mic1", "Mic 1", true, 1},
       {"test.mic2", "Mic 2", true, 1},
       "default.audio.source",
       "default.configured.audio.source"},
  };
  for (const DefaultCase& c : cases) {
    ASSERT_TRUE(daemon_->addNode(c.first));
    ASSERT_TRUE(daemon_->addNode(c.second));
  }
  ASSERT_TRUE(startDevices());
  for (const DefaultCase& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(waitUntil(
        [&] { return deviceForUid(c.first.name) != 0 && deviceForUid(c.second.name) != 0; }));
    const audio::ObjectId first = deviceForUid(c.first.name);
    const audio::ObjectId second = deviceForUid(c.second.name);
    std::atomic<int> heard{0};
    const AspPropertyAddress address = defaultAddress(c.output);
    ASSERT_EQ(audio::addPropertyListener(audio::kSystemObject, &address, countCalls, &heard),
              kAspNoError);

    // Chosen on the server: the layer's default follows and its listeners hear.
    daemon_->metadata(
        {"0", c.configured, "{\"name\":\"" + c.second.name + "\"}", "Spa:String:JSON"});
    EXPECT_TRUE(waitUntil([&] { return layerDefault(c.output) == second && heard.load() > 0; }))
        << "default " << layerDefault(c.output) << " (" << first << ", " << second << "), heard "
        << heard.load() << "\n"
        << daemon_->metadata({"0"});

    // Chosen in the layer: the server's configured default and then its default follow.
    heard.store(0);
    ASSERT_EQ(setLayerDefault(c.output, first), kAspNoError);
    EXPECT_EQ(layerDefault(c.output), first);
    EXPECT_TRUE(waitUntil([&] { return metadataNames(*daemon_, c.configured, c.first.name); }))
        << daemon_->metadata({"0"});
    EXPECT_TRUE(waitUntil([&] { return metadataNames(*daemon_, c.key, c.first.name); }))
        << daemon_->metadata({"0"});
    EXPECT_EQ(layerDefault(c.output), first) << "the server's answer keeps the choice";
    EXPECT_GT(heard.load(), 0);
    audio::removePropertyListener(audio::kSystemObject, &address, countCalls, &heard);
  }
}

TEST_F(PipewireDriverNodesThreads, VeltoInputAsDefaultOutputIsTheServersDefaultSinkAndGoesBack) {
  ASSERT_TRUE(nodesListed(kDriverNodes.size())) << daemon_->nodes();
  const audio::ObjectId speakers = deviceForUid("test.speakers");
  const audio::ObjectId input = deviceForUid("VeltoDefaultOutput_UID");
  ASSERT_NE(speakers, 0u);
  ASSERT_NE(input, 0u);
  daemon_->metadata(
      {"0", "default.configured.audio.sink", "{\"name\":\"test.speakers\"}", "Spa:String:JSON"});
  ASSERT_TRUE(waitUntil([&] { return layerDefault(true) == speakers; }));

  struct Step {
    const char* what;
    audio::ObjectId device;
    const char* node;
  };
  const std::vector<Step> steps = {
      {"Velto Input", input, "velto.VeltoDefaultOutput_UID"},
      {"restored", speakers, "test.speakers"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    ASSERT_EQ(setLayerDefault(true, step.device), kAspNoError);
    EXPECT_TRUE(waitUntil([&] {
      return metadataNames(*daemon_, "default.configured.audio.sink", step.node);
    })) << daemon_->metadata({"0"});
    EXPECT_TRUE(waitUntil([&] { return metadataNames(*daemon_, "default.audio.sink", step.node); }))
        << daemon_->metadata({"0"});
    EXPECT_EQ(layerDefault(true), step.device);
  }
}

TEST_F(PipewireDriverNodesThreads, DefaultChosenRightBeforeStoppingReachesTheServer) {
  ASSERT_TRUE(nodesListed(kDriverNodes.size())) << daemon_->nodes();
  const audio::ObjectId input = deviceForUid("VeltoDefaultOutput_UID");
  ASSERT_NE(input, 0u);
  // As at quit: the previous default goes back, then the devices stop at once.
  ASSERT_EQ(setLayerDefault(true, input), kAspNoError);
  audio::stopPipewireDevices();
  EXPECT_TRUE(waitUntil([&] {
    return metadataNames(*daemon_, "default.configured.audio.sink", "velto.VeltoDefaultOutput_UID");
  })) << daemon_->metadata({"0"});
}

} // namespace
