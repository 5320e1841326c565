// Simulated hardware devices: their properties per layout, a signal source arriving in the input
// buffers sample-exact, the output captured with its channel layout, plugging in and out with
// the device list's listeners, the nominal rate, the buffer size and injected faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <thread>
#include <vector>

#include "platform/audio/layer/io_procs.h"
#include "platform/audio/layer/listeners.h"
#include "platform/audio/layer/manual_clock.h"
#include "platform/audio/simulated/sim_devices.h"
#include "tests/support/audio_test_system.h"

namespace {

namespace audio = platform::audio;
using velto::test::addMicrophone;
using velto::test::addSpeaker;
using velto::test::AudioTestOptions;
using velto::test::AudioTestSystem;
using velto::test::deviceForUid;
using velto::test::deviceList;
using velto::test::doubleProperty;
using velto::test::idListProperty;
using velto::test::microphoneConfig;
using velto::test::NoticeCounter;
using velto::test::setDoubleProperty;
using velto::test::setWordProperty;
using velto::test::speakerConfig;
using velto::test::streamLayout;
using velto::test::takeOutput;
using velto::test::textProperty;
using velto::test::wordProperty;

double sineAt(double hz, float amplitude, uint64_t n) {
  return amplitude * std::sin(2.0 * std::numbers::pi * hz * double(n) / 48000.0);
}

// Keeps every input buffer list a callback was handed: per call the layout, and all samples
// of all channels as interleaved frames (global channel order).
struct InputLog {
  std::vector<std::vector<uint32_t>> layouts;
  std::vector<float> frames;
  uint32_t channels = 0;
};

AspStatus logInput(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList* input,
                   const audio::TimeStamp*, audio::BufferList*, const audio::TimeStamp*,
                   void* data) {
  auto& log = *static_cast<InputLog*>(data);
  std::vector<uint32_t> layout;
  uint32_t channels = 0;
  for (uint32_t b = 0; b < input->count; ++b) {
    layout.push_back(input->buffers[b].channels);
    channels += input->buffers[b].channels;
  }
  log.layouts.push_back(layout);
  log.channels = channels;
  if (input->count == 0) return kAspNoError;
  const uint32_t frames =
      input->buffers[0].byteSize / (input->buffers[0].channels * uint32_t(sizeof(float)));
  for (uint32_t f = 0; f < frames; ++f) {
    for (uint32_t b = 0; b < input->count; ++b) {
      const audio::Buffer& buffer = input->buffers[b];
      const float* samples = static_cast<const float*>(buffer.data);
      for (uint32_t c = 0; c < buffer.channels; ++c) {
        log.frames.push_back(samples[f * buffer.channels + c]);
      }
    }
  }
  return kAspNoError;
}

// Writes frame k of the stream, channel c (global) = k + c / 10 into every output buffer.
struct Marker {
  uint32_t next = 0;
};

AspStatus writeMarks(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList*,
                     const audio::TimeStamp*, audio::BufferList* output, const audio::TimeStamp*,
                     void* data) {
  auto& marker = *static_cast<Marker*>(data);
  if (output->count == 0) return kAspNoError;
  const uint32_t frames =
      output->buffers[0].byteSize / (output->buffers[0].channels * uint32_t(sizeof(float)));
  for (uint32_t f = 0; f < frames; ++f) {
    uint32_t channel = 0;
    for (uint32_t b = 0; b < output->count; ++b) {
      audio::Buffer& buffer = output->buffers[b];
      float* samples = static_cast<float*>(buffer.data);
      for (uint32_t c = 0; c < buffer.channels; ++c, ++channel) {
        samples[f * buffer.channels + c] = float(marker.next) + float(channel) / 10.0f;
      }
    }
    ++marker.next;
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

struct LayoutCase {
  const char* label;
  std::vector<uint32_t> layout;
};

const LayoutCase kLayouts[] = {
    {"Mono", {1}},
    {"InterleavedStereo", {2}},
    {"StereoOneBufferPerChannel", {1, 1}},
    {"FourChannels", {4}},
    {"FourChannelsOneBufferEach", {1, 1, 1, 1}},
};

class AudioSimLayoutThreads : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(AudioSimLayoutThreads, DeviceAnswersItsLayoutPerScope) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  audio::SimDeviceConfig config = speakerConfig("sim-out", "Interface", GetParam().layout);
  config.inputBuffers = GetParam().layout;
  config.inputLatency = 12;
  config.outputLatency = 34;
  config.inputSafetyOffset = 5;
  config.outputSafetyOffset = 7;
  config.transport = audio::kTransportUsb;
  const audio::ObjectId device = audio::addSimDevice(config);
  ASSERT_NE(device, 0u);
  EXPECT_EQ(deviceForUid("sim-out"), device);
  EXPECT_EQ(textProperty(device, audio::kPropDeviceUid), "sim-out");
  EXPECT_EQ(textProperty(device, audio::kPropName), "Interface");
  EXPECT_EQ(wordProperty(device, audio::kPropTransportType), audio::kTransportUsb);
  EXPECT_EQ(streamLayout(device, kAspScopeInput), GetParam().layout);
  EXPECT_EQ(streamLayout(device, kAspScopeOutput), GetParam().layout);
  EXPECT_EQ(idListProperty(device, audio::kPropStreams, kAspScopeInput).size(),
            GetParam().layout.size());
  EXPECT_EQ(idListProperty(device, audio::kPropStreams, kAspScopeOutput).size(),
            GetParam().layout.size());
  EXPECT_EQ(wordProperty(device, audio::kPropLatency, kAspScopeInput), 12u);
  EXPECT_EQ(wordProperty(device, audio::kPropLatency, kAspScopeOutput), 34u);
  EXPECT_EQ(wordProperty(device, audio::kPropSafetyOffset, kAspScopeInput), 5u);
  EXPECT_EQ(wordProperty(device, audio::kPropSafetyOffset, kAspScopeOutput), 7u);
  // Streams number their first channel from 1 over the buffers of their direction.
  uint32_t first = 1;
  const auto inputs = idListProperty(device, audio::kPropStreams, kAspScopeInput);
  for (size_t s = 0; s < inputs.size(); ++s) {
    EXPECT_EQ(wordProperty(inputs[s], kAspPropStartingChannel), first);
    EXPECT_EQ(wordProperty(inputs[s], kAspPropDirection), 1u);
    first += GetParam().layout[s];
  }
}

TEST_P(AudioSimLayoutThreads, SineArrivesInEveryInputChannelSampleExact) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const audio::ObjectId mic =
      addMicrophone("sim-mic", "Mic", audio::SignalSource::sine(997.0, 0.5f), GetParam().layout);
  ASSERT_NE(mic, 0u);
  ASSERT_EQ(setWordProperty(mic, audio::kPropBufferFrameSize, 64), kAspNoError);
  InputLog log;
  const Proc proc = start(mic, logInput, &log);
  ASSERT_TRUE(audio::runCycles(10));
  finish(proc);

  ASSERT_EQ(log.layouts.size(), 10u);
  for (const auto& layout : log.layouts) EXPECT_EQ(layout, GetParam().layout);
  uint32_t channels = 0;
  for (uint32_t c : GetParam().layout) channels += c;
  ASSERT_EQ(log.frames.size(), size_t(640) * channels);
  double worst = 0.0;
  for (uint64_t n = 0; n < 640; ++n) {
    for (uint32_t c = 0; c < channels; ++c) {
      worst = std::max(worst, std::abs(log.frames[n * channels + c] - sineAt(997.0, 0.5f, n)));
    }
  }
  EXPECT_LT(worst, 1e-6);
}

TEST_P(AudioSimLayoutThreads, OutputIsCapturedWithItsChannelLayout) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const audio::ObjectId speaker = addSpeaker("sim-spk", "Speaker", GetParam().layout);
  ASSERT_NE(speaker, 0u);
  ASSERT_EQ(setWordProperty(speaker, audio::kPropBufferFrameSize, 128), kAspNoError);
  Marker marker;
  const Proc proc = start(speaker, writeMarks, &marker);
  ASSERT_TRUE(audio::runCycles(3));
  const audio::CapturedAudio first = takeOutput("sim-spk");
  ASSERT_TRUE(audio::runCycles(2));
  const audio::CapturedAudio second = takeOutput("sim-spk");
  finish(proc);

  EXPECT_EQ(first.layout, GetParam().layout);
  ASSERT_EQ(first.frames(), 384u);
  ASSERT_EQ(second.frames(), 256u); // a take hands out only what came since the last one
  size_t wrong = 0;
  for (size_t f = 0; f < first.frames(); ++f) {
    for (uint32_t c = 0; c < first.channels; ++c) {
      if (first.at(f, c) != float(f) + float(c) / 10.0f) ++wrong;
    }
  }
  for (size_t f = 0; f < second.frames(); ++f) {
    if (second.at(f, 0) != float(384 + f)) ++wrong;
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_EQ(first.dropped, 0u);
}

INSTANTIATE_TEST_SUITE_P(Layouts, AudioSimLayoutThreads, ::testing::ValuesIn(kLayouts),
                         [](const ::testing::TestParamInfo<LayoutCase>& info) {
                           return std::string(info.param.label);
                         });

TEST(AudioSimDevicesThreads, DriverDevicesAnswerTheirStreamConfigurationToo) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const audio::ObjectId input = deviceForUid("VeltoDefaultOutput_UID");
  const audio::ObjectId out1 = deviceForUid("VeltoOut1_UID");
  EXPECT_EQ(streamLayout(input, kAspScopeOutput), (std::vector<uint32_t>{2}));
  EXPECT_TRUE(streamLayout(input, kAspScopeInput).empty());
  EXPECT_EQ(streamLayout(out1, kAspScopeInput), (std::vector<uint32_t>{2}));
  // The value is cut to its buffers: an empty direction is just the count.
  const AspPropertyAddress address{audio::kPropStreamConfiguration, kAspScopeInput,
                                   kAspElementMain};
  uint32_t size = 0;
  ASSERT_EQ(audio::getPropertyDataSize(input, &address, 0, nullptr, &size), kAspNoError);
  EXPECT_EQ(size, offsetof(audio::BufferList, buffers));
  ASSERT_EQ(audio::getPropertyDataSize(out1, &address, 0, nullptr, &size), kAspNoError);
  EXPECT_EQ(size, offsetof(audio::BufferList, buffers) + sizeof(audio::Buffer));
}

TEST(AudioSimDevicesThreads, TestBufferPlaysOnceOrLoopsAndStereoChannelsStayApart) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  // Five stereo frames: left 1..5, right -1..-5.
  const std::vector<float> clip = {1, -1, 2, -2, 3, -3, 4, -4, 5, -5};
  audio::SimDeviceConfig once =
      microphoneConfig("once", "Once", audio::SignalSource::samples(clip, 2, false), {1, 1});
  once.bufferFrames = 16;
  audio::SimDeviceConfig looped =
      microphoneConfig("loop", "Loop", audio::SignalSource::samples(clip, 2, true), {4});
  looped.bufferFrames = 16;
  const audio::ObjectId a = audio::addSimDevice(once);
  const audio::ObjectId b = audio::addSimDevice(looped);
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  InputLog onceLog, loopLog;
  const Proc pa = start(a, logInput, &onceLog);
  const Proc pb = start(b, logInput, &loopLog);
  ASSERT_TRUE(audio::runCycles(2));
  finish(pa);
  finish(pb);

  ASSERT_EQ(onceLog.frames.size(), 64u);
  for (size_t f = 0; f < 32; ++f) {
    const float left = f < 5 ? float(f + 1) : 0.0f;
    EXPECT_EQ(onceLog.frames[2 * f], left) << f;
    EXPECT_EQ(onceLog.frames[2 * f + 1], -left) << f;
  }
  ASSERT_EQ(loopLog.frames.size(), 128u);
  for (size_t f = 0; f < 32; ++f) {
    const float left = float(f % 5 + 1);
    EXPECT_EQ(loopLog.frames[4 * f], left) << f;
    EXPECT_EQ(loopLog.frames[4 * f + 1], -left) << f;
    EXPECT_EQ(loopLog.frames[4 * f + 2], 0.0f); // channels the clip lacks stay silent
    EXPECT_EQ(loopLog.frames[4 * f + 3], 0.0f);
  }
}

TEST(AudioSimDevicesThreads, ANewInputSignalStartsFromItsFirstFrameAtTheNextCycle) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  audio::SimDeviceConfig config =
      microphoneConfig("mic", "Mic", audio::SignalSource::sine(1000.0, 0.25f), {1});
  config.bufferFrames = 32;
  const audio::ObjectId mic = audio::addSimDevice(config);
  InputLog log;
  const Proc proc = start(mic, logInput, &log);
  ASSERT_TRUE(audio::runCycles(1));
  const std::vector<float> ramp = {0.5f, 0.25f, 0.125f};
  ASSERT_TRUE(audio::setSimInput("mic", audio::SignalSource::samples(ramp, 1, false)));
  ASSERT_TRUE(audio::runCycles(1));
  finish(proc);
  ASSERT_EQ(log.frames.size(), 64u);
  EXPECT_NEAR(log.frames[8], sineAt(1000.0, 0.25f, 8), 1e-6);
  EXPECT_EQ(log.frames[32], 0.5f);
  EXPECT_EQ(log.frames[33], 0.25f);
  EXPECT_EQ(log.frames[34], 0.125f);
  EXPECT_EQ(log.frames[35], 0.0f);
  EXPECT_FALSE(audio::setSimInput("nobody", audio::SignalSource::silence()));
}

TEST(AudioSimDevicesThreads, CallbackSourceSeesItsFramePositions) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  audio::SimDeviceConfig config =
      microphoneConfig("mic", "Mic",
                       audio::SignalSource::callback(
                           [](uint64_t position, float* out, uint32_t frames, uint32_t channels) {
                             for (uint32_t f = 0; f < frames; ++f) {
                               for (uint32_t c = 0; c < channels; ++c)
                                 out[f * channels + c] = float(position + f);
                             }
                           }),
                       {2});
  config.bufferFrames = 100;
  const audio::ObjectId mic = audio::addSimDevice(config);
  InputLog log;
  const Proc proc = start(mic, logInput, &log);
  ASSERT_TRUE(audio::runCycles(3));
  finish(proc);
  ASSERT_EQ(log.frames.size(), 600u);
  for (size_t f = 0; f < 300; ++f) EXPECT_EQ(log.frames[2 * f + 1], float(f));
}

// A duplex device whose callback copies its input to its output: the sine comes back in the
// capture in the same cycle, sample-exact.
AspStatus copyThrough(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList* input,
                      const audio::TimeStamp*, audio::BufferList* output, const audio::TimeStamp*,
                      void*) {
  std::copy_n(static_cast<const float*>(input->buffers[0].data),
              input->buffers[0].byteSize / sizeof(float),
              static_cast<float*>(output->buffers[0].data));
  return kAspNoError;
}

TEST(AudioSimDevicesThreads, SineInComesOutCapturedSampleExact) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  audio::SimDeviceConfig config =
      microphoneConfig("duplex", "Duplex", audio::SignalSource::sine(440.0, 0.8f), {2});
  config.outputBuffers = {2};
  config.bufferFrames = 256;
  const audio::ObjectId device = audio::addSimDevice(config);
  const Proc proc = start(device, copyThrough, nullptr);
  ASSERT_TRUE(audio::advanceFrames(200 * 256));
  finish(proc);
  const audio::CapturedAudio out = takeOutput("duplex");
  ASSERT_EQ(out.frames(), 200u * 256);
  double worst = 0.0;
  for (size_t n = 0; n < out.frames(); ++n) {
    worst = std::max(worst, std::abs(out.at(n, 0) - sineAt(440.0, 0.8f, n)));
    worst = std::max(worst, std::abs(out.at(n, 1) - sineAt(440.0, 0.8f, n)));
  }
  EXPECT_LT(worst, 1e-6);
}

TEST(AudioSimDevicesThreads, FullCaptureDropsAndCountsTheNewestFrames) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  audio::SimDeviceConfig config = speakerConfig("spk", "Speaker", {2});
  config.captureFrames = 300;
  config.bufferFrames = 128;
  const audio::ObjectId speaker = audio::addSimDevice(config);
  Marker marker;
  const Proc proc = start(speaker, writeMarks, &marker);
  ASSERT_TRUE(audio::runCycles(3)); // 384 frames into room for 300
  audio::CapturedAudio out = takeOutput("spk");
  EXPECT_EQ(out.frames(), 300u);
  EXPECT_EQ(out.dropped, 84u);
  EXPECT_EQ(out.at(299, 0), 299.0f);
  ASSERT_TRUE(audio::runCycles(1)); // room again after the take
  out = takeOutput("spk");
  finish(proc);
  ASSERT_EQ(out.frames(), 128u);
  EXPECT_EQ(out.dropped, 0u);
  EXPECT_EQ(out.at(0, 0), 384.0f);
}

TEST(AudioSimDevicesThreads, PluggingInAndOutTellsTheDeviceListAndGivesANewId) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  NoticeCounter list(audio::kSystemObject, audio::kPropDevices);
  ASSERT_TRUE(list.listening());
  const size_t driverDevices = deviceList().size();
  const audio::SimDeviceConfig config =
      microphoneConfig("usb-mic", "USB Mic", audio::SignalSource::sine(500.0, 0.5f), {1});
  const audio::ObjectId first = audio::addSimDevice(config);
  ASSERT_NE(first, 0u);
  audio::flushNotifications();
  EXPECT_EQ(list.count(), 1);
  std::vector<audio::ObjectId> devices = deviceList();
  EXPECT_EQ(devices.size(), driverDevices + 1);
  EXPECT_NE(std::find(devices.begin(), devices.end(), first), devices.end());

  // The running callback stops with the device; the old id answers as gone.
  InputLog log;
  const Proc proc = start(first, logInput, &log);
  ASSERT_TRUE(audio::runCycles(2));
  ASSERT_TRUE(audio::removeSimDevice("usb-mic"));
  const size_t heard = log.layouts.size();
  ASSERT_TRUE(audio::runCycles(4));
  EXPECT_EQ(log.layouts.size(), heard);
  EXPECT_EQ(audio::stopDevice(first, proc.id), audio::kStatusBadDevice);
  EXPECT_EQ(audio::destroyIoProcId(first, proc.id), audio::kStatusBadDevice);
  EXPECT_EQ(deviceForUid("usb-mic"), 0u);
  EXPECT_FALSE(audio::removeSimDevice("usb-mic"));
  audio::flushNotifications();
  EXPECT_EQ(list.count(), 2);
  EXPECT_EQ(deviceList().size(), driverDevices);

  const audio::ObjectId again = audio::addSimDevice(config);
  ASSERT_NE(again, 0u);
  EXPECT_NE(again, first);
  EXPECT_EQ(deviceForUid("usb-mic"), again);
  audio::flushNotifications();
  EXPECT_EQ(list.count(), 3);
}

TEST(AudioSimDevicesThreads, InvalidConfigurationsAreRefused) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const audio::SimDeviceConfig good = speakerConfig("spk", "Speaker");
  audio::SimDeviceConfig noDirection = good;
  noDirection.outputBuffers.clear();
  audio::SimDeviceConfig emptyBuffer = good;
  emptyBuffer.outputBuffers = {2, 0};
  audio::SimDeviceConfig noUid = good;
  noUid.uid.clear();
  audio::SimDeviceConfig tooWide = good;
  tooWide.outputBuffers = {65};
  audio::SimDeviceConfig badFrames = good;
  badFrames.bufferFrames = 8;
  audio::SimDeviceConfig badRate = good;
  badRate.nominalRate = std::nan("");
  for (const audio::SimDeviceConfig* c :
       {&noDirection, &emptyBuffer, &noUid, &tooWide, &badFrames, &badRate}) {
    EXPECT_EQ(audio::addSimDevice(*c), 0u);
  }
  ASSERT_NE(audio::addSimDevice(good), 0u);
  EXPECT_EQ(audio::addSimDevice(good), 0u); // the UID is taken
  audio::SimDeviceConfig driverUid = good;
  driverUid.uid = "VeltoClock_UID";
  EXPECT_EQ(audio::addSimDevice(driverUid), 0u);
}

TEST(AudioSimDevicesThreads, NominalRateStartsAnywhereAndSwitchesOnlyToAnAvailableRate) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  audio::SimDeviceConfig config = speakerConfig("spk", "Speaker");
  config.nominalRate = 44100.0;
  const audio::ObjectId device = audio::addSimDevice(config);
  ASSERT_NE(device, 0u);
  EXPECT_EQ(doubleProperty(device, audio::kPropNominalSampleRate), 44100.0);
  const AspPropertyAddress rates{audio::kPropAvailableSampleRates, kAspScopeGlobal,
                                 kAspElementMain};
  AspValueRange ranges[4] = {};
  uint32_t size = sizeof ranges;
  ASSERT_EQ(audio::getPropertyData(device, &rates, 0, nullptr, &size, ranges), kAspNoError);
  ASSERT_EQ(size, 2 * sizeof(AspValueRange));
  EXPECT_EQ(ranges[0].minimum, 44100.0);
  EXPECT_EQ(ranges[1].maximum, 48000.0);

  NoticeCounter rate(device, audio::kPropNominalSampleRate);
  EXPECT_EQ(setDoubleProperty(device, audio::kPropNominalSampleRate, 96000.0),
            kAspUnsupportedFormat);
  EXPECT_EQ(doubleProperty(device, audio::kPropNominalSampleRate), 44100.0);
  EXPECT_EQ(setDoubleProperty(device, audio::kPropNominalSampleRate, 48000.0), kAspNoError);
  EXPECT_EQ(doubleProperty(device, audio::kPropNominalSampleRate), 48000.0);
  EXPECT_EQ(setDoubleProperty(device, audio::kPropNominalSampleRate, 48000.0), kAspNoError);
  audio::flushNotifications();
  EXPECT_EQ(rate.count(), 1); // only the change is told
  bool settable = false;
  const AspPropertyAddress nominal{audio::kPropNominalSampleRate, kAspScopeGlobal, kAspElementMain};
  ASSERT_EQ(audio::isPropertySettable(device, &nominal, &settable), kAspNoError);
  EXPECT_TRUE(settable);
}

TEST(AudioSimDevicesThreads, BufferSizeSetsTheCycleLength) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const audio::ObjectId mic = addMicrophone("mic", "Mic", audio::SignalSource::silence(), {2});
  EXPECT_EQ(wordProperty(mic, audio::kPropBufferFrameSize), audio::kDefaultBufferFrames);
  ASSERT_EQ(setWordProperty(mic, audio::kPropBufferFrameSize, 32), kAspNoError);
  InputLog log;
  const Proc proc = start(mic, logInput, &log);
  ASSERT_TRUE(audio::advanceFrames(320));
  finish(proc);
  EXPECT_EQ(log.layouts.size(), 10u);
  EXPECT_EQ(log.frames.size(), 640u);
}

TEST(AudioSimDevicesThreads, InjectedFaultsRefuseWritesAndCallbacks) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  audio::SimDeviceConfig config = speakerConfig("bad", "Broken");
  config.nominalRate = 44100.0;
  config.faults.failPropertyWrites = true;
  config.faults.refuseIoProcs = true;
  const audio::ObjectId device = audio::addSimDevice(config);
  ASSERT_NE(device, 0u);
  EXPECT_EQ(setDoubleProperty(device, audio::kPropNominalSampleRate, 48000.0),
            audio::kStatusIllegalOperation);
  EXPECT_EQ(setWordProperty(device, audio::kPropBufferFrameSize, 128),
            audio::kStatusIllegalOperation);
  EXPECT_EQ(doubleProperty(device, audio::kPropNominalSampleRate), 44100.0);
  EXPECT_EQ(wordProperty(device, audio::kPropBufferFrameSize), audio::kDefaultBufferFrames);
  Marker marker;
  audio::IoProcId id = audio::kNoIoProc;
  EXPECT_EQ(audio::createIoProcId(device, writeMarks, &marker, &id),
            audio::kStatusIllegalOperation);

  ASSERT_TRUE(audio::setSimFaults("bad", audio::SimFaults{}));
  EXPECT_EQ(setWordProperty(device, audio::kPropBufferFrameSize, 128), kAspNoError);
  EXPECT_EQ(audio::createIoProcId(device, writeMarks, &marker, &id), kAspNoError);
  EXPECT_EQ(audio::destroyIoProcId(device, id), kAspNoError);
}

// Under the real-time clock every cycle of a 128-frame device continues the sine where the
// previous one ended.
struct Continuity {
  std::atomic<uint64_t> frames{0};
  std::atomic<uint64_t> wrong{0};
};

AspStatus checkSine(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList* input,
                    const audio::TimeStamp*, audio::BufferList*, const audio::TimeStamp*,
                    void* data) {
  auto& c = *static_cast<Continuity*>(data);
  const float* samples = static_cast<const float*>(input->buffers[0].data);
  const uint32_t frames = input->buffers[0].byteSize / sizeof(float);
  uint64_t n = c.frames.load(std::memory_order_relaxed);
  uint64_t wrong = 0;
  for (uint32_t f = 0; f < frames; ++f, ++n) {
    if (std::abs(samples[f] - sineAt(1000.0, 0.5f, n)) > 1e-6) ++wrong;
  }
  c.frames.store(n, std::memory_order_relaxed);
  c.wrong.fetch_add(wrong, std::memory_order_relaxed);
  return kAspNoError;
}

TEST(AudioSimRealtimeThreads, MicrophoneRunsOnItsOwnThreadAtItsBufferPeriod) {
  AudioTestSystem system(AudioTestOptions{audio::ClockMode::RealTime, true});
  ASSERT_TRUE(system.started());
  audio::SimDeviceConfig config =
      microphoneConfig("mic", "Mic", audio::SignalSource::sine(1000.0, 0.5f), {1});
  config.bufferFrames = 128;
  const audio::ObjectId mic = audio::addSimDevice(config);
  Continuity continuity;
  const Proc proc = start(mic, checkSine, &continuity);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  finish(proc);
  // 0.3 s is 14400 frames; allow for a slow start of the thread.
  EXPECT_GT(continuity.frames.load(), 128u * 50);
  EXPECT_LT(continuity.frames.load(), 128u * 130);
  EXPECT_EQ(continuity.wrong.load(), 0u);
}

} // namespace
