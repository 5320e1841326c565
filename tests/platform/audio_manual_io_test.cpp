// I/O callbacks under the manual clock: the driver's device pairs carry a known signal
// sample-exact, cycles come on the buffer period in object-id order with exact time stamps,
// several callbacks on one device are summed, and stop, destroy and restart end the calls.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/audio/layer/audio_system.h"
#include "platform/audio/layer/io_procs.h"
#include "platform/audio/layer/listeners.h"
#include "platform/audio/layer/manual_clock.h"
#include "tests/support/audio_test_system.h"

namespace {

namespace audio = platform::audio;
using velto::test::AudioTestSystem;
using velto::test::deviceForUid;
using velto::test::wordProperty;

AspStatus setFrames(audio::ObjectId device, uint32_t frames) {
  const AspPropertyAddress address{audio::kPropBufferFrameSize, kAspScopeGlobal, kAspElementMain};
  return audio::setPropertyData(device, &address, 0, nullptr, sizeof frames, &frames);
}

// Writes a ramp into the first output buffer: frame k of the stream has left = k, right = -k
// (exact in float up to 2^24).
struct RampSource {
  uint32_t next = 0;
  int calls = 0;
};

AspStatus writeRamp(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList*,
                    const audio::TimeStamp*, audio::BufferList* output, const audio::TimeStamp*,
                    void* data) {
  auto& source = *static_cast<RampSource*>(data);
  ++source.calls;
  if (output->count == 0) return kAspNoError;
  audio::Buffer& buffer = output->buffers[0];
  float* samples = static_cast<float*>(buffer.data);
  const uint32_t frames = buffer.byteSize / (buffer.channels * sizeof(float));
  for (uint32_t f = 0; f < frames; ++f) {
    samples[f * buffer.channels] = float(source.next);
    samples[f * buffer.channels + 1] = -float(source.next);
    ++source.next;
  }
  return kAspNoError;
}

// Keeps everything a callback was handed.
struct Capture {
  std::vector<float> samples; // the first input buffer, as delivered
  std::vector<audio::TimeStamp> now, inputTime, outputTime;
  std::vector<uint32_t> inputBuffers, outputBuffers, outputBytes, inputBytes;
  std::vector<int>* order = nullptr; // shared call log of several captures
  int tag = 0;
  bool outputWasSilent = true;
};

AspStatus capture(audio::ObjectId, const audio::TimeStamp* now, const audio::BufferList* input,
                  const audio::TimeStamp* inputTime, audio::BufferList* output,
                  const audio::TimeStamp* outputTime, void* data) {
  auto& c = *static_cast<Capture*>(data);
  c.now.push_back(*now);
  c.inputTime.push_back(*inputTime);
  c.outputTime.push_back(*outputTime);
  c.inputBuffers.push_back(input->count);
  c.outputBuffers.push_back(output->count);
  c.inputBytes.push_back(input->count ? input->buffers[0].byteSize : 0);
  c.outputBytes.push_back(output->count ? output->buffers[0].byteSize : 0);
  if (input->count != 0) {
    const float* samples = static_cast<const float*>(input->buffers[0].data);
    c.samples.insert(c.samples.end(), samples,
                     samples + input->buffers[0].byteSize / sizeof(float));
  }
  for (uint32_t b = 0; b < output->count; ++b) {
    const float* samples = static_cast<const float*>(output->buffers[b].data);
    for (uint32_t s = 0; s < output->buffers[b].byteSize / sizeof(float); ++s) {
      if (samples[s] != 0.0f) c.outputWasSilent = false;
    }
  }
  if (c.order != nullptr) c.order->push_back(c.tag);
  return kAspNoError;
}

// Writes a constant into every output sample (after checking it was handed silence).
struct Constant {
  float value;
  bool handedSilence = true;
};

AspStatus writeConstant(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList*,
                        const audio::TimeStamp*, audio::BufferList* output, const audio::TimeStamp*,
                        void* data) {
  auto& c = *static_cast<Constant*>(data);
  for (uint32_t b = 0; b < output->count; ++b) {
    float* samples = static_cast<float*>(output->buffers[b].data);
    for (uint32_t s = 0; s < output->buffers[b].byteSize / sizeof(float); ++s) {
      if (samples[s] != 0.0f) c.handedSilence = false;
      samples[s] = c.value;
    }
  }
  return kAspNoError;
}

struct Running {
  audio::ObjectId device = 0;
  audio::IoProcId proc = audio::kNoIoProc;
};

Running startProc(const char* uid, audio::IoProc proc, void* data, uint32_t frames) {
  Running r;
  r.device = deviceForUid(uid);
  if (r.device == 0) return r;
  EXPECT_EQ(setFrames(r.device, frames), kAspNoError);
  EXPECT_EQ(audio::createIoProcId(r.device, proc, data, &r.proc), kAspNoError);
  EXPECT_EQ(audio::startDevice(r.device, r.proc), kAspNoError);
  return r;
}

void stopProc(const Running& r) {
  EXPECT_EQ(audio::stopDevice(r.device, r.proc), kAspNoError);
  EXPECT_EQ(audio::destroyIoProcId(r.device, r.proc), kAspNoError);
}

// Asserts that `samples` (interleaved stereo) hold `lead` silent frames, then the ramp from
// `first` on.
void expectDelayedRamp(const std::vector<float>& samples, size_t lead, uint32_t first) {
  ASSERT_GT(samples.size(), lead * 2);
  size_t wrong = 0;
  for (size_t f = 0; f < samples.size() / 2; ++f) {
    const float expected = f < lead ? 0.0f : float(first + (f - lead));
    if (samples[2 * f] != expected || samples[2 * f + 1] != -expected) ++wrong;
  }
  EXPECT_EQ(wrong, 0u);
}

struct PairCase {
  const char* writer;
  const char* reader;
  uint32_t frames;
};

class AudioManualIoThreads : public ::testing::TestWithParam<PairCase> {};

TEST_P(AudioManualIoThreads, WriterReachesReaderSampleExactTwoCyclesLater) {
  const PairCase pair = GetParam();
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  RampSource ramp;
  Capture received;
  const Running writer = startProc(pair.writer, writeRamp, &ramp, pair.frames);
  const Running reader = startProc(pair.reader, capture, &received, pair.frames);
  ASSERT_TRUE(audio::runCycles(12));
  EXPECT_EQ(ramp.calls, 12);
  ASSERT_EQ(received.now.size(), 12u);
  // An input device hands one interleaved stereo buffer per cycle and no output.
  for (size_t k = 0; k < received.now.size(); ++k) {
    EXPECT_EQ(received.inputBuffers[k], 1u);
    EXPECT_EQ(received.inputBytes[k], pair.frames * 2 * sizeof(float));
    EXPECT_EQ(received.outputBuffers[k], 0u);
  }
  expectDelayedRamp(received.samples, 2 * pair.frames, 0);
  stopProc(writer);
  stopProc(reader);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, AudioManualIoThreads,
    ::testing::Values(PairCase{"VeltoOut1Feed_UID", "VeltoOut1_UID", 32},
                      PairCase{"VeltoOut1Feed_UID", "VeltoOut1_UID", 128},
                      PairCase{"VeltoOut3Feed_UID", "VeltoOut3_UID", 512},
                      PairCase{"VeltoDefaultOutput_UID", "VeltoDefaultOutputReturn_UID", 128},
                      PairCase{"VeltoDefaultOutput_UID", "VeltoDefaultOutputReturn_UID", 4096}),
    [](const ::testing::TestParamInfo<PairCase>& info) {
      std::string name = std::string(info.param.reader) + std::to_string(info.param.frames);
      std::erase(name, '_');
      return name;
    });

TEST(AudioManualClockThreads, AReaderStartedLaterJoinsTheWritersTimeLine) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  RampSource ramp;
  Capture received;
  const Running writer = startProc("VeltoOut2Feed_UID", writeRamp, &ramp, 128);
  ASSERT_TRUE(audio::runCycles(5));
  const Running reader = startProc("VeltoOut2_UID", capture, &received, 128);
  ASSERT_TRUE(audio::runCycles(6));
  // The reader's first cycle (frame 768) reads frames 640..767, which the writer's fourth cycle
  // (frame 512, ramp values 384..511) wrote two buffers ahead.
  ASSERT_EQ(received.now.size(), 6u);
  expectDelayedRamp(received.samples, 0, 384);
  stopProc(writer);
  stopProc(reader);
}

TEST(AudioManualClockThreads, ReadersOfDifferentBufferSizesStillGetTheWholeStream) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  RampSource ramp;
  Capture received;
  const Running writer = startProc("VeltoOut1Feed_UID", writeRamp, &ramp, 64);
  const Running reader = startProc("VeltoOut1_UID", capture, &received, 256);
  ASSERT_TRUE(audio::advanceFrames(256 * 8));
  EXPECT_EQ(ramp.calls, 32);
  ASSERT_EQ(received.now.size(), 8u);
  // The writer is two of its own buffers ahead: 128 silent frames, then the ramp.
  expectDelayedRamp(received.samples, 128, 0);
  stopProc(writer);
  stopProc(reader);
}

TEST(AudioManualClockThreads, ClockDeviceCyclesWithoutAReaderOnExactTimeStamps) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  Capture clock;
  const uint64_t startFrame = audio::clockFrames();
  const Running running = startProc("VeltoClock_UID", capture, &clock, 128);
  // Past the driver's 16384-frame clock period, so its zero time stamps move on meanwhile.
  ASSERT_TRUE(audio::runCycles(200));
  EXPECT_EQ(audio::clockFrames(), startFrame + 200 * 128);
  ASSERT_EQ(clock.now.size(), 200u);
  size_t wrong = 0;
  for (size_t k = 0; k < clock.now.size(); ++k) {
    const double now = double((k + 1) * 128);
    const uint64_t host = audio::manualHostTimeOfFrame(startFrame + (k + 1) * 128);
    if (clock.now[k].sampleTime != now || clock.now[k].hostTime != host) ++wrong;
    if (clock.inputTime[k].sampleTime != now - 128 || clock.outputTime[k].sampleTime != now + 128)
      ++wrong;
    if (clock.outputTime[k].hostTime <= host || clock.inputTime[k].hostTime >= host) ++wrong;
    if (clock.inputBuffers[k] != 0 || clock.outputBuffers[k] != 1) ++wrong;
    if (clock.outputBytes[k] != 128 * 2 * sizeof(float)) ++wrong;
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_TRUE(clock.outputWasSilent);
  stopProc(running);
}

TEST(AudioManualClockThreads, DevicesDueTogetherRunInObjectIdOrder) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  std::vector<int> order;
  Capture a, b;
  a.order = b.order = &order;
  const audio::ObjectId clockId = deviceForUid("VeltoClock_UID");
  const audio::ObjectId out1Id = deviceForUid("VeltoOut1_UID");
  ASSERT_LT(out1Id, clockId);
  a.tag = 1; // Velto Out 1, the lower id, every 256 frames
  b.tag = 2; // Velto Clock every 128 frames
  // Started in the opposite order of the ids.
  const Running clock = startProc("VeltoClock_UID", capture, &b, 128);
  const Running out1 = startProc("VeltoOut1_UID", capture, &a, 256);
  ASSERT_TRUE(audio::advanceFrames(512));
  EXPECT_EQ(order, (std::vector<int>{2, 1, 2, 2, 1, 2}));
  stopProc(clock);
  stopProc(out1);
}

TEST(AudioManualClockThreads, RunCyclesFollowsTheShortestRunningBuffer) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const uint64_t start = audio::clockFrames();
  ASSERT_TRUE(audio::runCycles(2)); // nothing runs: the default size
  EXPECT_EQ(audio::clockFrames(), start + 2 * audio::kDefaultBufferFrames);
  Capture slow, fast;
  const Running a = startProc("VeltoOut1_UID", capture, &slow, 1024);
  const Running b = startProc("VeltoClock_UID", capture, &fast, 64);
  ASSERT_TRUE(audio::runCycles(32));
  EXPECT_EQ(fast.now.size(), 32u);
  EXPECT_EQ(slow.now.size(), 2u);
  stopProc(a);
  stopProc(b);
}

TEST(AudioManualClockThreads, CallbacksOfOneDeviceAreSummedFromSilence) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  Constant quarter{0.25f}, half{0.5f};
  Capture received;
  const Running first = startProc("VeltoOut1Feed_UID", writeConstant, &quarter, 128);
  audio::IoProcId second = audio::kNoIoProc;
  ASSERT_EQ(audio::createIoProcId(first.device, writeConstant, &half, &second), kAspNoError);
  ASSERT_EQ(audio::startDevice(first.device, second), kAspNoError);
  const Running reader = startProc("VeltoOut1_UID", capture, &received, 128);
  ASSERT_TRUE(audio::runCycles(6));
  EXPECT_TRUE(quarter.handedSilence);
  EXPECT_TRUE(half.handedSilence);
  ASSERT_EQ(received.samples.size(), 6u * 128 * 2);
  size_t wrong = 0;
  for (size_t s = 0; s < received.samples.size(); ++s) {
    const float expected = s < 2 * 128 * 2 ? 0.0f : 0.75f;
    if (received.samples[s] != expected) ++wrong;
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_EQ(audio::destroyIoProcId(first.device, second), kAspNoError);
  stopProc(first);
  stopProc(reader);
}

TEST(AudioManualClockThreads, TheDeviceRunsWhileAnyCallbackIsStarted) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  Capture one, two;
  const Running a = startProc("VeltoClock_UID", capture, &one, 128);
  audio::IoProcId second = audio::kNoIoProc;
  ASSERT_EQ(audio::createIoProcId(a.device, capture, &two, &second), kAspNoError);
  // Created but not started: not called.
  ASSERT_TRUE(audio::runCycles(2));
  EXPECT_EQ(one.now.size(), 2u);
  EXPECT_TRUE(two.now.empty());
  ASSERT_EQ(audio::startDevice(a.device, second), kAspNoError);
  ASSERT_EQ(audio::startDevice(a.device, second), kAspNoError); // twice: counted once
  EXPECT_EQ(wordProperty(a.device, kAspPropIsRunning), 1u);
  ASSERT_TRUE(audio::runCycles(2));
  EXPECT_EQ(one.now.size(), 4u);
  EXPECT_EQ(two.now.size(), 2u);

  ASSERT_EQ(audio::stopDevice(a.device, a.proc), kAspNoError);
  ASSERT_TRUE(audio::runCycles(3));
  EXPECT_EQ(one.now.size(), 4u);
  EXPECT_EQ(two.now.size(), 5u);
  EXPECT_EQ(wordProperty(a.device, kAspPropIsRunning), 1u);

  ASSERT_EQ(audio::stopDevice(a.device, second), kAspNoError);
  EXPECT_EQ(wordProperty(a.device, kAspPropIsRunning), 0u);
  ASSERT_TRUE(audio::runCycles(3));
  EXPECT_EQ(two.now.size(), 5u);

  // Destroying a started callback stops it (and the device with it).
  ASSERT_EQ(audio::startDevice(a.device, second), kAspNoError);
  EXPECT_EQ(wordProperty(a.device, kAspPropIsRunning), 1u);
  ASSERT_EQ(audio::destroyIoProcId(a.device, second), kAspNoError);
  EXPECT_EQ(wordProperty(a.device, kAspPropIsRunning), 0u);
  EXPECT_EQ(audio::startDevice(a.device, second), audio::kStatusIllegalOperation);
  EXPECT_EQ(audio::destroyIoProcId(a.device, a.proc), kAspNoError);
}

TEST(AudioManualClockThreads, ANewBufferSizeTakesEffectAtTheNextCycle) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  Capture clock;
  const Running running = startProc("VeltoClock_UID", capture, &clock, 128);
  ASSERT_TRUE(audio::advanceFrames(256));
  ASSERT_EQ(setFrames(running.device, 32), kAspNoError);
  ASSERT_TRUE(audio::advanceFrames(128 + 64));
  // Cycles at 128, 256, 384 (the one already due, still 128 frames), then 416 and 448 (32
  // frames each): the cycles keep covering the time line without a gap.
  ASSERT_EQ(clock.now.size(), 5u);
  const uint32_t frames[] = {128, 128, 128, 32, 32};
  for (size_t k = 0; k < 5; ++k) {
    EXPECT_EQ(clock.outputBytes[k], frames[k] * 8);
    EXPECT_EQ(clock.now[k].sampleTime - clock.inputTime[k].sampleTime, double(frames[k]));
  }
  for (size_t k = 1; k < 5; ++k) {
    EXPECT_EQ(clock.inputTime[k].sampleTime, clock.now[k - 1].sampleTime);
  }
  stopProc(running);
}

TEST(AudioManualClockThreads, CallsOnWrongDevicesAndIdsAreRefused) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  Capture c;
  audio::IoProcId id = audio::kNoIoProc;
  EXPECT_EQ(audio::createIoProcId(100000, capture, &c, &id), audio::kStatusBadDevice);
  const audio::ObjectId clock = deviceForUid("VeltoClock_UID");
  EXPECT_EQ(audio::createIoProcId(clock, nullptr, &c, &id), audio::kStatusIllegalOperation);
  EXPECT_EQ(audio::startDevice(clock, 12345), audio::kStatusIllegalOperation);
  EXPECT_EQ(audio::stopDevice(clock, audio::kNoIoProc), audio::kStatusIllegalOperation);
  // A stream is no device.
  const std::vector<audio::ObjectId> streams =
      velto::test::idListProperty(clock, kAspPropStreams, kAspScopeOutput);
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_EQ(audio::createIoProcId(streams[0], capture, &c, &id), audio::kStatusBadDevice);

  std::vector<audio::IoProcId> ids(audio::kMaxIoProcsPerDevice);
  for (audio::IoProcId& each : ids) {
    ASSERT_EQ(audio::createIoProcId(clock, capture, &c, &each), kAspNoError);
  }
  EXPECT_EQ(audio::createIoProcId(clock, capture, &c, &id), audio::kStatusIllegalOperation);
  // An id belongs to its device only.
  EXPECT_EQ(audio::startDevice(deviceForUid("VeltoOut1_UID"), ids[0]),
            audio::kStatusIllegalOperation);
  for (audio::IoProcId each : ids) EXPECT_EQ(audio::destroyIoProcId(clock, each), kAspNoError);
  EXPECT_TRUE(c.now.empty());
}

TEST(AudioManualClockThreads, ServerRestartEndsTheCallbacksOfPlugInDevices) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  Capture clock;
  const Running running = startProc("VeltoClock_UID", capture, &clock, 128);
  ASSERT_TRUE(audio::runCycles(2));
  ASSERT_EQ(clock.now.size(), 2u);
  ASSERT_TRUE(audio::restartServer());
  ASSERT_TRUE(audio::runCycles(5));
  EXPECT_EQ(clock.now.size(), 2u);
  EXPECT_EQ(audio::stopDevice(running.device, running.proc), audio::kStatusBadDevice);
  EXPECT_EQ(audio::destroyIoProcId(running.device, running.proc), audio::kStatusBadDevice);
  // The reloaded clock device is a fresh one at the default size.
  const audio::ObjectId reloaded = deviceForUid("VeltoClock_UID");
  EXPECT_NE(reloaded, running.device);
  EXPECT_EQ(wordProperty(reloaded, audio::kPropBufferFrameSize), audio::kDefaultBufferFrames);
  EXPECT_EQ(wordProperty(reloaded, kAspPropIsRunning), 0u);
}

// The same requests on two fresh systems give the same samples and time stamps.
std::vector<float> deterministicRun(std::vector<double>* sampleTimes) {
  AudioTestSystem system;
  if (!system.started()) return {};
  RampSource ramp;
  Capture received, clock;
  const Running writer = startProc("VeltoOut2Feed_UID", writeRamp, &ramp, 96);
  audio::advanceFrames(1000);
  const Running reader = startProc("VeltoOut2_UID", capture, &received, 160);
  const Running pacer = startProc("VeltoClock_UID", capture, &clock, 48);
  audio::advanceFrames(7777);
  for (const audio::TimeStamp& t : received.now) sampleTimes->push_back(t.sampleTime);
  for (const audio::TimeStamp& t : clock.now) sampleTimes->push_back(double(t.hostTime));
  stopProc(writer);
  stopProc(reader);
  stopProc(pacer);
  return received.samples;
}

TEST(AudioManualClockThreads, RunsAreDeterministic) {
  std::vector<double> times1, times2;
  const std::vector<float> first = deterministicRun(&times1);
  const std::vector<float> second = deterministicRun(&times2);
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first, second);
  EXPECT_EQ(times1, times2);
  // The ramp arrives unbroken once it started.
  size_t start = 0;
  while (start < first.size() && first[start] == 0.0f) start += 2;
  ASSERT_LT(start, first.size());
  size_t breaks = 0;
  for (size_t s = start + 2; s < first.size(); s += 2) {
    if (first[s] != first[s - 2] + 1.0f) ++breaks;
  }
  EXPECT_EQ(breaks, 0u);
}

} // namespace
