// The real-time clock (one I/O thread per running device) and the promise of stop and destroy:
// they return only when no call of the callback is in flight and none follows, under either
// clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/layer/io_procs.h"
#include "platform/audio/layer/manual_clock.h"
#include "tests/support/audio_test_system.h"

namespace {

namespace audio = platform::audio;
using velto::test::AudioTestOptions;
using velto::test::AudioTestSystem;
using velto::test::deviceForUid;

constexpr uint32_t kFrames = 512;

AspStatus setFrames(audio::ObjectId device, uint32_t frames) {
  const AspPropertyAddress address{audio::kPropBufferFrameSize, kAspScopeGlobal, kAspElementMain};
  return audio::setPropertyData(device, &address, 0, nullptr, sizeof frames, &frames);
}

// Writer for the I/O thread: every frame carries its own sample time (plus one, so that 0 stays
// free to mean silence); touches only its own counter.
struct Ramp {
  std::atomic<int> calls{0};
};

float stamp(double sampleTime, uint32_t frame) {
  return float(std::fmod(sampleTime + frame, 8388608.0) + 1.0);
}

AspStatus writeRamp(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList*,
                    const audio::TimeStamp*, audio::BufferList* output,
                    const audio::TimeStamp* outputTime, void* data) {
  auto& ramp = *static_cast<Ramp*>(data);
  float* samples = static_cast<float*>(output->buffers[0].data);
  const uint32_t frames = output->buffers[0].byteSize / (2 * sizeof(float));
  for (uint32_t f = 0; f < frames; ++f) {
    samples[2 * f] = stamp(outputTime->sampleTime, f);
    samples[2 * f + 1] = -samples[2 * f];
  }
  ramp.calls.fetch_add(1, std::memory_order_release);
  return kAspNoError;
}

// Reader for the I/O thread: counts, into memory reserved beforehand, the frames that arrived at
// exactly their sample time and those that arrived anywhere else.
struct Recording {
  std::atomic<uint64_t> onTime{0};
  std::atomic<uint64_t> misplaced{0};
  std::atomic<uint64_t> silent{0};
  std::atomic<int> calls{0};
  std::vector<double> sampleTimes;
};

AspStatus record(audio::ObjectId, const audio::TimeStamp* now, const audio::BufferList* input,
                 const audio::TimeStamp* inputTime, audio::BufferList*, const audio::TimeStamp*,
                 void* data) {
  auto& r = *static_cast<Recording*>(data);
  const float* samples = static_cast<const float*>(input->buffers[0].data);
  const uint32_t frames = input->buffers[0].byteSize / (2 * sizeof(float));
  uint64_t onTime = 0, misplaced = 0, silent = 0;
  for (uint32_t f = 0; f < frames; ++f) {
    const float left = samples[2 * f];
    if (left == 0.0f && samples[2 * f + 1] == 0.0f) {
      ++silent;
    } else if (left == stamp(inputTime->sampleTime, f) && samples[2 * f + 1] == -left) {
      ++onTime;
    } else {
      ++misplaced;
    }
  }
  r.onTime.fetch_add(onTime);
  r.misplaced.fetch_add(misplaced);
  r.silent.fetch_add(silent);
  if (r.sampleTimes.size() < r.sampleTimes.capacity()) r.sampleTimes.push_back(now->sampleTime);
  r.calls.fetch_add(1, std::memory_order_release);
  return kAspNoError;
}

TEST(AudioRealtimeThreads, FeedReachesItsVisibleDeviceForOneSecond) {
  AudioTestSystem system({audio::ClockMode::RealTime, true});
  ASSERT_TRUE(system.started());
  Ramp ramp;
  Recording recording;
  recording.sampleTimes.reserve(1000);
  const audio::ObjectId feed = deviceForUid("VeltoOut1Feed_UID");
  const audio::ObjectId out1 = deviceForUid("VeltoOut1_UID");
  ASSERT_EQ(setFrames(feed, kFrames), kAspNoError);
  ASSERT_EQ(setFrames(out1, kFrames), kAspNoError);
  audio::IoProcId writer = audio::kNoIoProc, reader = audio::kNoIoProc;
  ASSERT_EQ(audio::createIoProcId(feed, writeRamp, &ramp, &writer), kAspNoError);
  ASSERT_EQ(audio::createIoProcId(out1, record, &recording, &reader), kAspNoError);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(audio::startDevice(feed, writer), kAspNoError);
  ASSERT_EQ(audio::startDevice(out1, reader), kAspNoError);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  ASSERT_EQ(audio::stopDevice(out1, reader), kAspNoError);
  ASSERT_EQ(audio::stopDevice(feed, writer), kAspNoError);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  // About one cycle per 512 frames of wall time (93.75 per second).
  const double expected = seconds * 48000.0 / kFrames;
  // (a loaded machine may leave a thread behind, never ahead).
  for (const int calls : {recording.calls.load(), ramp.calls.load()}) {
    EXPECT_GT(calls, expected * 0.5);
    EXPECT_LT(calls, expected * 1.1 + 2);
  }

  // Cycles follow each other by exactly one buffer on the device's time line.
  size_t gaps = 0;
  for (size_t k = 1; k < recording.sampleTimes.size(); ++k) {
    if (recording.sampleTimes[k] - recording.sampleTimes[k - 1] != kFrames) ++gaps;
  }
  EXPECT_EQ(gaps, 0u);

  // Every frame that arrives lands exactly on its sample time, never anywhere else. A writer
  // woken more than a buffer late under load leaves silence, never a wrong sample; most of the
  // second arrives even on a loaded machine.
  EXPECT_EQ(recording.misplaced.load(), 0u);
  EXPECT_GT(recording.onTime.load(), uint64_t(0.5 * seconds * 48000));
  // Nothing more arrives after stop.
  const int calls = recording.calls.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(recording.calls.load(), calls);
  EXPECT_EQ(audio::destroyIoProcId(feed, writer), kAspNoError);
  EXPECT_EQ(audio::destroyIoProcId(out1, reader), kAspNoError);
}

// A callback that takes its time, to be caught in flight.
struct Slow {
  std::atomic<bool> inside{false};
  std::atomic<int> calls{0};
  std::atomic<int> callsAfterStop{0};
  std::atomic<bool> stopped{false};
};

AspStatus slowCall(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList*,
                   const audio::TimeStamp*, audio::BufferList*, const audio::TimeStamp*,
                   void* data) {
  auto& slow = *static_cast<Slow*>(data);
  if (slow.stopped.load()) slow.callsAfterStop.fetch_add(1);
  slow.inside = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  slow.calls.fetch_add(1);
  slow.inside = false;
  return kAspNoError;
}

enum class Ending { Stop, Destroy };

struct EndCase {
  audio::ClockMode clock;
  Ending ending;
};

class AudioStopWaitsThreads : public ::testing::TestWithParam<EndCase> {};

TEST_P(AudioStopWaitsThreads, ReturnsOnlyWhenNoCallIsInFlight) {
  const EndCase c = GetParam();
  AudioTestSystem system({c.clock, true});
  ASSERT_TRUE(system.started());
  const audio::ObjectId device = deviceForUid("VeltoClock_UID");
  ASSERT_EQ(setFrames(device, 64), kAspNoError);
  Slow slow;
  audio::IoProcId id = audio::kNoIoProc;
  ASSERT_EQ(audio::createIoProcId(device, slowCall, &slow, &id), kAspNoError);
  ASSERT_EQ(audio::startDevice(device, id), kAspNoError);

  // Under the manual clock another thread drives the cycles.
  std::atomic<bool> driving{c.clock == audio::ClockMode::Manual};
  std::thread driver;
  if (driving) {
    driver = std::thread([&] {
      while (driving.load()) audio::runCycles(1);
    });
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!slow.inside.load() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  ASSERT_TRUE(slow.inside.load());
  const AspStatus status =
      c.ending == Ending::Stop ? audio::stopDevice(device, id) : audio::destroyIoProcId(device, id);
  EXPECT_EQ(status, kAspNoError);
  EXPECT_FALSE(slow.inside.load());
  slow.stopped = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  driving = false;
  if (driver.joinable()) driver.join();
  EXPECT_EQ(slow.callsAfterStop.load(), 0);
  EXPECT_GE(slow.calls.load(), 1);
  if (c.ending == Ending::Stop) {
    EXPECT_EQ(audio::destroyIoProcId(device, id), kAspNoError);
  }
}

INSTANTIATE_TEST_SUITE_P(Endings, AudioStopWaitsThreads,
                         ::testing::Values(EndCase{audio::ClockMode::RealTime, Ending::Stop},
                                           EndCase{audio::ClockMode::RealTime, Ending::Destroy},
                                           EndCase{audio::ClockMode::Manual, Ending::Stop},
                                           EndCase{audio::ClockMode::Manual, Ending::Destroy}),
                         [](const ::testing::TestParamInfo<EndCase>& info) {
                           const bool manual = info.param.clock == audio::ClockMode::Manual;
                           const bool stop = info.param.ending == Ending::Stop;
                           return std::string(manual ? "Manual" : "RealTime") +
                                  (stop ? "Stop" : "Destroy");
                         });

TEST(AudioRealtimeThreads, StoppingTheSystemEndsRunningDevices) {
  Slow slow;
  {
    AudioTestSystem system({audio::ClockMode::RealTime, true});
    ASSERT_TRUE(system.started());
    const audio::ObjectId device = deviceForUid("VeltoClock_UID");
    ASSERT_EQ(setFrames(device, 64), kAspNoError);
    audio::IoProcId id = audio::kNoIoProc;
    ASSERT_EQ(audio::createIoProcId(device, slowCall, &slow, &id), kAspNoError);
    ASSERT_EQ(audio::startDevice(device, id), kAspNoError);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_FALSE(slow.inside.load());
  slow.stopped = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(slow.callsAfterStop.load(), 0);
  EXPECT_GE(slow.calls.load(), 1);
}

} // namespace
