// Simulated processes, process taps and aggregate devices: the process list and its listener,
// a process's audio on the devices it plays to (also through the driver), and a tap's mixdown
// arriving in a private aggregate device after its sub-device's channels, muted or not.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "platform/audio/layer/audio_system.h"
#include "platform/audio/layer/io_procs.h"
#include "platform/audio/layer/listeners.h"
#include "platform/audio/layer/manual_clock.h"
#include "platform/audio/simulated/sim_devices.h"
#include "platform/audio/simulated/sim_processes.h"
#include "platform/audio/simulated/sim_taps.h"
#include "tests/support/audio_test_system.h"

namespace {

namespace audio = platform::audio;
using velto::test::addMicrophone;
using velto::test::addPlayingProcess;
using velto::test::addSpeaker;
using velto::test::AudioTestSystem;
using velto::test::deviceForUid;
using velto::test::deviceList;
using velto::test::idListProperty;
using velto::test::NoticeCounter;
using velto::test::processList;
using velto::test::setWordProperty;
using velto::test::speakerConfig;
using velto::test::streamLayout;
using velto::test::takeOutput;
using velto::test::textProperty;
using velto::test::wordProperty;

// Frame n of the stream: left n + 1, right -(n + 1) (exact in float up to 2^24; 0 stays free to
// mean silence).
audio::SignalSource ramp(float scale = 1.0f) {
  return audio::SignalSource::callback(
      [scale](uint64_t position, float* out, uint32_t frames, uint32_t channels) {
        for (uint32_t f = 0; f < frames; ++f) {
          const float value = scale * float(position + f + 1);
          for (uint32_t c = 0; c < channels; ++c) out[f * channels + c] = c == 1 ? -value : value;
        }
      });
}

// Everything a callback got in its input, as interleaved frames over all channels.
struct Recording {
  std::vector<float> frames;
  uint32_t channels = 0;
  std::vector<uint32_t> layout;
  float at(size_t frame, uint32_t channel) const { return frames[frame * channels + channel]; }
  size_t count() const { return channels == 0 ? 0 : frames.size() / channels; }
};

AspStatus record(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList* input,
                 const audio::TimeStamp*, audio::BufferList*, const audio::TimeStamp*, void* data) {
  auto& r = *static_cast<Recording*>(data);
  if (input->count == 0) return kAspNoError;
  r.layout.clear();
  r.channels = 0;
  for (uint32_t b = 0; b < input->count; ++b) {
    r.layout.push_back(input->buffers[b].channels);
    r.channels += input->buffers[b].channels;
  }
  const uint32_t frames =
      input->buffers[0].byteSize / (input->buffers[0].channels * uint32_t(sizeof(float)));
  for (uint32_t f = 0; f < frames; ++f) {
    for (uint32_t b = 0; b < input->count; ++b) {
      const audio::Buffer& buffer = input->buffers[b];
      for (uint32_t c = 0; c < buffer.channels; ++c) {
        r.frames.push_back(static_cast<const float*>(buffer.data)[f * buffer.channels + c]);
      }
    }
  }
  return kAspNoError;
}

struct Proc {
  audio::ObjectId device = 0;
  audio::IoProcId id = audio::kNoIoProc;
};

Proc start(audio::ObjectId device, audio::IoProc proc, void* data) {
  Proc p{device, audio::kNoIoProc};
  EXPECT_EQ(audio::createIoProcId(device, proc, data, &p.id), kAspNoError);
  EXPECT_EQ(audio::startDevice(device, p.id), kAspNoError);
  return p;
}

void finish(const Proc& p) {
  EXPECT_EQ(audio::destroyIoProcId(p.device, p.id), kAspNoError);
}

// Counts the frames of `out` whose left channel is not the ramp value `first + f` (scaled).
size_t rampErrors(const audio::CapturedAudio& out, uint64_t first, float scale = 1.0f) {
  size_t wrong = 0;
  for (size_t f = 0; f < out.frames(); ++f) {
    if (out.at(f, 0) != scale * float(first + f)) ++wrong;
  }
  return wrong;
}

bool silent(const audio::CapturedAudio& out) {
  return std::all_of(out.samples.begin(), out.samples.end(), [](float s) { return s == 0.0f; });
}

TEST(AudioSimProcessesThreads, ProcessObjectsAnswerTheirPropertiesAndTheListIsTold) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const audio::ObjectId mic = addMicrophone("mic", "Mic", audio::SignalSource::silence());
  const audio::ObjectId speaker = addSpeaker("spk", "Speaker");
  NoticeCounter list(audio::kSystemObject, audio::kPropProcessList);

  audio::SimProcessConfig recorder;
  recorder.pid = 4242;
  recorder.bundleId = "com.example.recorder";
  recorder.runningInput = true;
  recorder.inputDevices = {"mic", "VeltoOut2_UID", "gone-device"};
  const audio::ObjectId a = audio::addSimProcess(recorder);
  const audio::ObjectId b = addPlayingProcess(77, "", {"spk"}, audio::SignalSource::silence());
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  EXPECT_EQ(processList(), (std::vector<audio::ObjectId>{a, b}));
  EXPECT_EQ(wordProperty(a, audio::kPropProcessPid), 4242u);
  EXPECT_EQ(textProperty(a, audio::kPropProcessBundleId), "com.example.recorder");
  EXPECT_EQ(textProperty(b, audio::kPropProcessBundleId), "");
  EXPECT_EQ(wordProperty(a, audio::kPropProcessRunningInput), 1u);
  EXPECT_EQ(wordProperty(a, audio::kPropProcessRunningOutput), 0u);
  EXPECT_EQ(wordProperty(b, audio::kPropProcessRunningOutput), 1u);
  EXPECT_EQ(wordProperty(a, kAspPropClass), audio::kClassProcess);
  // Devices that do not exist are left out.
  EXPECT_EQ(idListProperty(a, audio::kPropProcessDevices, kAspScopeInput),
            (std::vector<audio::ObjectId>{mic, deviceForUid("VeltoOut2_UID")}));
  EXPECT_EQ(idListProperty(b, audio::kPropProcessDevices, kAspScopeOutput),
            (std::vector<audio::ObjectId>{speaker}));
  EXPECT_TRUE(idListProperty(b, audio::kPropProcessDevices, kAspScopeInput).empty());

  audio::flushNotifications();
  EXPECT_EQ(list.count(), 2);
  NoticeCounter running(a, audio::kPropProcessRunningOutput);
  recorder.runningOutput = true;
  ASSERT_TRUE(audio::updateSimProcess(a, recorder));
  ASSERT_TRUE(audio::removeSimProcess(b));
  EXPECT_FALSE(audio::removeSimProcess(b));
  EXPECT_FALSE(audio::updateSimProcess(b, recorder));
  audio::flushNotifications();
  EXPECT_EQ(list.count(), 4);
  EXPECT_EQ(running.count(), 1);
  EXPECT_EQ(wordProperty(a, audio::kPropProcessRunningOutput), 1u);
  EXPECT_EQ(processList(), (std::vector<audio::ObjectId>{a}));
  const AspPropertyAddress pid{audio::kPropProcessPid, kAspScopeGlobal, kAspElementMain};
  EXPECT_FALSE(audio::hasProperty(b, &pid));
}

TEST(AudioSimProcessesThreads, ProcessPlaysToItsSpeakerOnlyWhileRunningOutput) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const audio::ObjectId speaker = addSpeaker("spk", "Speaker", {1, 1});
  ASSERT_EQ(setWordProperty(speaker, audio::kPropBufferFrameSize, 128), kAspNoError);
  audio::SimProcessConfig config;
  config.pid = 500;
  config.bundleId = "com.example.player";
  config.outputDevices = {"spk"};
  config.audio = ramp();
  const audio::ObjectId process = audio::addSimProcess(config);
  ASSERT_TRUE(audio::runCycles(4));
  EXPECT_EQ(takeOutput("spk").frames(), 0u); // not running output: the device does not run

  config.runningOutput = true;
  ASSERT_TRUE(audio::updateSimProcess(process, config));
  ASSERT_TRUE(audio::runCycles(4));
  audio::CapturedAudio out = takeOutput("spk");
  ASSERT_EQ(out.frames(), 512u);
  EXPECT_EQ(out.layout, (std::vector<uint32_t>{1, 1}));
  EXPECT_EQ(rampErrors(out, 1), 0u);
  EXPECT_EQ(out.at(10, 1), -11.0f);

  // Unplugged and plugged in again, the speaker hears the process again.
  ASSERT_TRUE(audio::removeSimDevice("spk"));
  ASSERT_NE(addSpeaker("spk", "Speaker", {2}), 0u);
  ASSERT_TRUE(audio::runCycles(2));
  out = takeOutput("spk");
  EXPECT_GT(out.frames(), 0u);
  EXPECT_EQ(rampErrors(out, 1), 0u);
}

TEST(AudioSimProcessesThreads, ProcessPlayingToVeltoInputReachesTheReturnDevice) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const audio::ObjectId input = deviceForUid("VeltoDefaultOutput_UID");
  const audio::ObjectId back = deviceForUid("VeltoDefaultOutputReturn_UID");
  ASSERT_EQ(setWordProperty(input, audio::kPropBufferFrameSize, 128), kAspNoError);
  ASSERT_EQ(setWordProperty(back, audio::kPropBufferFrameSize, 128), kAspNoError);
  ASSERT_NE(addPlayingProcess(900, "com.example.music", {"VeltoDefaultOutput_UID"}, ramp()), 0u);
  Recording heard;
  const Proc reader = start(back, record, &heard);
  ASSERT_TRUE(audio::runCycles(8));
  finish(reader);
  ASSERT_EQ(heard.count(), 1024u);
  // The driver hands the played frames over in order; the reader joined the writer's time line
  // so it hears them from some frame on, without a gap.
  size_t first = 0;
  while (first < heard.count() && heard.at(first, 0) == 0.0f) ++first;
  ASSERT_LT(first, heard.count());
  const float start = heard.at(first, 0);
  size_t wrong = 0;
  for (size_t f = first; f < heard.count(); ++f) {
    if (heard.at(f, 0) != start + float(f - first) || heard.at(f, 1) != -heard.at(f, 0)) ++wrong;
  }
  EXPECT_EQ(wrong, 0u);
}

// An audio interface (two mono input buffers, stereo output) is the default output; a process
// plays a ramp to it; a private aggregate around a tap of the process has the interface's two
// input channels first and the tap's two channels after them.
struct TapScene {
  audio::ObjectId interface = 0;
  audio::ObjectId process = 0;
  audio::ObjectId tap = 0;
  audio::ObjectId aggregate = 0;
  std::string aggregateUid;
};

TapScene buildScene(audio::TapMuteBehavior behaviour) {
  TapScene scene;
  audio::SimDeviceConfig config = speakerConfig("iface", "Interface", {2});
  config.inputBuffers = {1, 1};
  config.input = audio::SignalSource::samples({0.25f, -0.25f}, 2, true);
  config.bufferFrames = 128;
  scene.interface = audio::addSimDevice(config);
  scene.process = addPlayingProcess(300, "com.example.game", {"iface"}, ramp());
  audio::TapDescription tap;
  tap.name = "Velto";
  tap.processes = {scene.process};
  tap.muteBehavior = behaviour;
  EXPECT_EQ(audio::createProcessTap(tap, &scene.tap), kAspNoError);
  audio::AggregateDescription aggregate;
  aggregate.name = "Velto Tap";
  aggregate.uid = audio::makeUuid();
  aggregate.isPrivate = true;
  aggregate.tapAutoStart = true;
  aggregate.mainSubDevice = "iface";
  aggregate.subDevices = {"iface"};
  aggregate.taps = {audio::AggregateTap{tap.uuid, true}};
  EXPECT_EQ(audio::createAggregateDevice(aggregate, &scene.aggregate), kAspNoError);
  scene.aggregateUid = aggregate.uid;
  EXPECT_EQ(setWordProperty(scene.aggregate, audio::kPropBufferFrameSize, 128), kAspNoError);
  return scene;
}

TEST(AudioSimTapsThreads, MutedTapDeliversTheProcessAfterTheSubDeviceAndSilencesItsOutput) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const TapScene scene = buildScene(audio::TapMuteBehavior::Muted);
  ASSERT_NE(scene.aggregate, 0u);
  const std::vector<audio::ObjectId> listed = deviceList();
  EXPECT_EQ(std::find(listed.begin(), listed.end(), scene.aggregate), listed.end());
  EXPECT_EQ(deviceForUid(scene.aggregateUid), scene.aggregate);
  EXPECT_EQ(streamLayout(scene.aggregate, kAspScopeInput), (std::vector<uint32_t>{1, 1, 2}));
  EXPECT_EQ(wordProperty(scene.aggregate, audio::kPropTransportType), audio::kTransportAggregate);
  EXPECT_EQ(textProperty(scene.tap, audio::kPropTapUid).size(), 36u);

  Recording heard;
  const Proc proc = start(scene.aggregate, record, &heard);
  ASSERT_TRUE(audio::runCycles(3));
  const audio::CapturedAudio played = takeOutput("iface");
  finish(proc);

  ASSERT_EQ(heard.layout, (std::vector<uint32_t>{1, 1, 2}));
  ASSERT_EQ(heard.count(), 384u);
  size_t wrong = 0;
  for (size_t f = 0; f < heard.count(); ++f) {
    if (heard.at(f, 0) != 0.25f || heard.at(f, 1) != -0.25f) ++wrong;               // interface
    if (heard.at(f, 2) != float(f + 1) || heard.at(f, 3) != -float(f + 1)) ++wrong; // tap
  }
  EXPECT_EQ(wrong, 0u);
  // The process still plays, but its own device does not sound while the muting tap exists.
  EXPECT_GT(played.frames(), 0u);
  EXPECT_TRUE(silent(played));

  ASSERT_EQ(audio::destroyAggregateDevice(scene.aggregate), kAspNoError);
  ASSERT_EQ(audio::destroyProcessTap(scene.tap), kAspNoError);
  ASSERT_TRUE(audio::runCycles(2));
  const audio::CapturedAudio after = takeOutput("iface");
  EXPECT_GT(after.frames(), 0u);
  EXPECT_FALSE(silent(after));
  EXPECT_EQ(deviceForUid(scene.aggregateUid), 0u);
  EXPECT_EQ(audio::destroyProcessTap(scene.tap), kAspBadObject);
}

TEST(AudioSimTapsThreads, UnmutedTapLeavesTheProcessAudibleOnItsDevice) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const TapScene scene = buildScene(audio::TapMuteBehavior::Unmuted);
  Recording heard;
  const Proc proc = start(scene.aggregate, record, &heard);
  takeOutput("iface");
  ASSERT_TRUE(audio::runCycles(2));
  const audio::CapturedAudio played = takeOutput("iface");
  finish(proc);
  ASSERT_EQ(played.frames(), 256u);
  EXPECT_FALSE(silent(played));
  EXPECT_EQ(heard.at(0, 2), 1.0f);
}

TEST(AudioSimTapsThreads, TapMixesItsProcessesAndHearsNothingOfAProcessThatWent) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  ASSERT_NE(addSpeaker("spk", "Speaker"), 0u);
  const audio::ObjectId one = addPlayingProcess(1, "com.example.a", {"spk"}, ramp(1.0f));
  const audio::ObjectId two = addPlayingProcess(2, "com.example.a.helper", {"spk"}, ramp(0.5f));
  audio::TapDescription tap;
  tap.processes = {one, two};
  audio::ObjectId tapId = 0;
  ASSERT_EQ(audio::createProcessTap(tap, &tapId), kAspNoError);
  audio::AggregateDescription aggregate;
  aggregate.uid = "agg-1";
  aggregate.isPrivate = true;
  aggregate.taps = {audio::AggregateTap{tap.uuid, true}};
  audio::ObjectId device = 0;
  ASSERT_EQ(audio::createAggregateDevice(aggregate, &device), kAspNoError);
  EXPECT_EQ(streamLayout(device, kAspScopeInput), (std::vector<uint32_t>{2}));
  ASSERT_EQ(setWordProperty(device, audio::kPropBufferFrameSize, 64), kAspNoError);
  Recording heard;
  const Proc proc = start(device, record, &heard);
  ASSERT_TRUE(audio::runCycles(1));
  ASSERT_TRUE(audio::removeSimProcess(two));
  ASSERT_TRUE(audio::runCycles(1));
  // A process that stops running output is not heard either.
  audio::SimProcessConfig quiet;
  quiet.pid = 1;
  quiet.bundleId = "com.example.a";
  quiet.audio = ramp(1.0f);
  ASSERT_TRUE(audio::updateSimProcess(one, quiet));
  ASSERT_TRUE(audio::runCycles(1));
  finish(proc);
  ASSERT_EQ(heard.count(), 192u);
  EXPECT_EQ(heard.at(0, 0), 1.5f);   // 1 + 0.5
  EXPECT_EQ(heard.at(63, 0), 96.0f); // 64 + 32
  EXPECT_EQ(heard.at(64, 0), 65.0f); // the helper went
  EXPECT_EQ(heard.at(127, 1), -128.0f);
  EXPECT_EQ(heard.at(128, 0), 0.0f);
  EXPECT_EQ(heard.at(191, 0), 0.0f);
}

TEST(AudioSimTapsThreads, TapDestroyedUnderARunningAggregateFallsSilent) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  ASSERT_NE(addSpeaker("spk", "Speaker"), 0u);
  const audio::ObjectId process = addPlayingProcess(5, "com.example.b", {"spk"}, ramp());
  audio::TapDescription tap;
  tap.processes = {process};
  tap.muteBehavior = audio::TapMuteBehavior::Muted;
  audio::ObjectId tapId = 0;
  ASSERT_EQ(audio::createProcessTap(tap, &tapId), kAspNoError);
  audio::AggregateDescription aggregate;
  aggregate.uid = "agg-2";
  aggregate.isPrivate = true;
  aggregate.taps = {audio::AggregateTap{tap.uuid, true}};
  audio::ObjectId device = 0;
  ASSERT_EQ(audio::createAggregateDevice(aggregate, &device), kAspNoError);
  ASSERT_EQ(setWordProperty(device, audio::kPropBufferFrameSize, 64), kAspNoError);
  Recording heard;
  const Proc proc = start(device, record, &heard);
  ASSERT_TRUE(audio::runCycles(1));
  ASSERT_EQ(audio::destroyProcessTap(tapId), kAspNoError);
  takeOutput("spk");
  ASSERT_TRUE(audio::runCycles(1));
  finish(proc);
  ASSERT_EQ(heard.count(), 128u);
  EXPECT_EQ(heard.at(63, 0), 64.0f);
  EXPECT_EQ(heard.at(64, 0), 0.0f);
  ASSERT_TRUE(audio::advanceFrames(1024)); // the speaker's own buffer period is 512
  const audio::CapturedAudio played = takeOutput("spk");
  EXPECT_GT(played.frames(), 0u);
  EXPECT_FALSE(silent(played)); // no longer muted
}

TEST(AudioSimTapsThreads, BadDescriptionsAreRefused) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const audio::ObjectId speaker = addSpeaker("spk", "Speaker");
  const audio::ObjectId process = addPlayingProcess(8, "com.example.c", {"spk"}, ramp());
  audio::ObjectId out = 0;
  audio::TapDescription notAProcess;
  notAProcess.processes = {speaker};
  EXPECT_EQ(audio::createProcessTap(notAProcess, &out), kAspBadObject);
  audio::TapDescription tap;
  tap.processes = {process};
  ASSERT_EQ(audio::createProcessTap(tap, &out), kAspNoError);
  EXPECT_EQ(audio::createProcessTap(tap, &out), audio::kStatusIllegalOperation); // same UUID
  EXPECT_NE(audio::makeUuid(), audio::makeUuid());

  audio::AggregateDescription aggregate;
  aggregate.uid = "agg";
  aggregate.taps = {audio::AggregateTap{"no-such-tap", true}};
  EXPECT_EQ(audio::createAggregateDevice(aggregate, &out), kAspBadObject);
  aggregate.taps = {audio::AggregateTap{tap.uuid, true}};
  aggregate.mainSubDevice = "no-such-device";
  EXPECT_EQ(audio::createAggregateDevice(aggregate, &out), audio::kStatusBadDevice);
  aggregate.mainSubDevice.clear();
  aggregate.uid = "spk";
  EXPECT_EQ(audio::createAggregateDevice(aggregate, &out), audio::kStatusIllegalOperation);
  EXPECT_EQ(audio::destroyAggregateDevice(speaker), audio::kStatusBadDevice);
}

TEST(AudioSimTapsThreads, PublicAggregateIsListedAndToldAsItComesAndGoes) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  NoticeCounter devices(audio::kSystemObject, audio::kPropDevices);
  const audio::ObjectId mic = addMicrophone("mic", "Mic", audio::SignalSource::silence(), {1});
  audio::AggregateDescription aggregate;
  aggregate.name = "Combined";
  aggregate.uid = "combined";
  aggregate.subDevices = {"mic", "VeltoOut1_UID"};
  audio::ObjectId device = 0;
  ASSERT_EQ(audio::createAggregateDevice(aggregate, &device), kAspNoError);
  const std::vector<audio::ObjectId> listed = deviceList();
  EXPECT_NE(std::find(listed.begin(), listed.end(), device), listed.end());
  EXPECT_EQ(streamLayout(device, kAspScopeInput), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(wordProperty(device, audio::kPropCanBeDefault), 0u);
  ASSERT_EQ(audio::destroyAggregateDevice(device), kAspNoError);
  audio::flushNotifications();
  EXPECT_EQ(devices.count(), 3); // microphone, aggregate in, aggregate out
  EXPECT_NE(mic, 0u);
}

// Under the real-time clock a process, its speaker and an aggregate around a tap of it run on
// their own threads while the test changes the process and replaces the tap.
struct Peak {
  std::atomic<uint64_t> frames{0};
  std::atomic<uint64_t> loud{0};
  std::atomic<uint64_t> tooLoud{0};
};

AspStatus measure(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList* input,
                  const audio::TimeStamp*, audio::BufferList*, const audio::TimeStamp*,
                  void* data) {
  auto& peak = *static_cast<Peak*>(data);
  const audio::Buffer& buffer = input->buffers[0];
  const float* samples = static_cast<const float*>(buffer.data);
  const uint32_t count = buffer.byteSize / sizeof(float);
  uint64_t loud = 0;
  uint64_t tooLoud = 0;
  for (uint32_t s = 0; s < count; ++s) {
    if (std::abs(samples[s]) > 0.1f) ++loud;
    if (std::abs(samples[s]) > 0.5f) ++tooLoud;
  }
  peak.frames.fetch_add(count / buffer.channels, std::memory_order_relaxed);
  peak.loud.fetch_add(loud, std::memory_order_relaxed);
  peak.tooLoud.fetch_add(tooLoud, std::memory_order_relaxed);
  return kAspNoError;
}

TEST(AudioSimTapsRealtimeThreads, TapsAndProcessesChangeWhileTheirDevicesRun) {
  AudioTestSystem system(velto::test::AudioTestOptions{audio::ClockMode::RealTime, true});
  ASSERT_TRUE(system.started());
  audio::SimDeviceConfig speaker = speakerConfig("spk", "Speaker");
  speaker.bufferFrames = 128;
  ASSERT_NE(audio::addSimDevice(speaker), 0u);
  audio::SimProcessConfig config;
  config.pid = 42;
  config.bundleId = "com.example.live";
  config.runningOutput = true;
  config.outputDevices = {"spk"};
  config.audio = audio::SignalSource::sine(440.0, 0.5f);
  const audio::ObjectId process = audio::addSimProcess(config);
  Peak peak;
  for (int round = 0; round < 4; ++round) {
    audio::TapDescription tap;
    tap.processes = {process};
    tap.muteBehavior =
        round % 2 == 0 ? audio::TapMuteBehavior::Muted : audio::TapMuteBehavior::Unmuted;
    audio::ObjectId tapId = 0;
    ASSERT_EQ(audio::createProcessTap(tap, &tapId), kAspNoError);
    audio::AggregateDescription aggregate;
    aggregate.uid = audio::makeUuid();
    aggregate.isPrivate = true;
    aggregate.mainSubDevice = "spk";
    aggregate.taps = {audio::AggregateTap{tap.uuid, true}};
    audio::ObjectId device = 0;
    ASSERT_EQ(audio::createAggregateDevice(aggregate, &device), kAspNoError);
    ASSERT_EQ(setWordProperty(device, audio::kPropBufferFrameSize, 256), kAspNoError);
    const Proc proc = start(device, measure, &peak);
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    config.audio = audio::SignalSource::sine(220.0 * (round + 1), 0.5f);
    ASSERT_TRUE(audio::updateSimProcess(process, config));
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    finish(proc);
    ASSERT_EQ(audio::destroyAggregateDevice(device), kAspNoError);
    ASSERT_EQ(audio::destroyProcessTap(tapId), kAspNoError);
  }
  takeOutput("spk");
  EXPECT_GT(peak.frames.load(), 256u * 8);
  EXPECT_GT(peak.loud.load(), 0u);
  EXPECT_EQ(peak.tooLoud.load(), 0u);
}

} // namespace
