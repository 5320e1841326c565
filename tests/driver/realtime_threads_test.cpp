// A virtual output under the real clock: the engine's bus writes "Velto Out 1 Feed" on one I/O
// thread while a recorder reads "Velto Out 1" on another, for about one second.
#include <time.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/layer/host_time.h"
#include "tests/driver/driver_harness.h"

namespace velto::test {
namespace {

constexpr uint32_t kFrames = 256; // 5.3 ms cycles
constexpr int64_t kCycles = 48000 / kFrames;

void sleepUntil(uint64_t hostTime) {
  timespec ts{};
  ts.tv_sec = time_t(hostTime / 1000000000ull);
  ts.tv_nsec = long(hostTime % 1000000000ull);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
  }
}

struct IoThread {
  platform::audio::PluginHost* host;
  AspObjectId device;
  uint64_t zeroHost;
  int64_t firstCycle;
  uint64_t lateBy; // this device's I/O runs this long after the cycle boundary
  std::vector<float> input = std::vector<float>(2 * kFrames);
  std::vector<float> output = std::vector<float>(2 * kFrames);
  // Reader's verdict, frame by frame.
  int64_t exact = 0;
  int64_t silent = 0;
  int64_t corrupt = 0;
  int64_t firstCorruptTime = -1;
};

// audio thread: the bus plays the test signal at its output sample time.
void play(void* context, const platform::audio::CycleTimes& times) {
  auto* io = static_cast<IoThread*>(context);
  int64_t first = int64_t(times.outputSampleTime);
  for (uint32_t i = 0; i < kFrames; ++i) {
    io->output[2 * i] = signalLeft(first + i);
    io->output[2 * i + 1] = signalRight(first + i);
  }
}

// audio thread: the recorder checks every frame it got: the signal or (before the first write,
// or after a late writer) silence, never anything else.
void record(void* context, const platform::audio::CycleTimes& times) {
  auto* io = static_cast<IoThread*>(context);
  int64_t first = int64_t(times.inputSampleTime);
  for (uint32_t i = 0; i < kFrames; ++i) {
    float left = io->input[2 * i];
    float right = io->input[2 * i + 1];
    if (left == signalLeft(first + i) && right == signalRight(first + i)) {
      ++io->exact;
    } else if (left == 0.0f && right == 0.0f) {
      ++io->silent;
    } else if (io->corrupt++ == 0) {
      io->firstCorruptTime = first + i;
    }
  }
}

void runIo(IoThread* io, void (*process)(void*, const platform::audio::CycleTimes&)) {
  for (int64_t k = io->firstCycle; k < io->firstCycle + kCycles; ++k) {
    uint64_t boundary = frameTime(io->zeroHost, k * kFrames);
    sleepUntil(boundary + io->lateBy);
    io->host->runCycle(io->device, kFrames, boundary, io->input.data(), io->output.data(), process,
                       io);
  }
}

using RealTimeThreads = DriverTest;

TEST_F(RealTimeThreads, VirtualOutputCarriesAContinuousSignalForOneSecond) {
  platform::audio::setManualHostTime(false);
  ASSERT_EQ(host().startDevice(kVeltoOut1Feed), kAspNoError);
  ASSERT_EQ(host().startDevice(kVeltoOut1), kAspNoError);
  AspDriverRef driver = host().driverInterface();
  double zeroSample = 0;
  uint64_t zeroHost = 0, seed = 0;
  ASSERT_EQ((*driver)->GetZeroTimeStamp(driver, kVeltoOut1, 0, &zeroSample, &zeroHost, &seed),
            kAspNoError);
  ASSERT_EQ(zeroSample, 0.0);
  // Both start a few cycles from now, on the same cycle boundaries of the shared clock.
  int64_t firstCycle =
      int64_t((platform::audio::hostTimeNow() - zeroHost) / kNsPerFrame) / kFrames + 3;
  IoThread writer{&host(), kVeltoOut1Feed, zeroHost, firstCycle, 0};
  IoThread reader{&host(), kVeltoOut1, zeroHost, firstCycle, uint64_t(kFrames * kNsPerFrame / 2)};
  std::thread writing(runIo, &writer, play);
  std::thread reading(runIo, &reader, record);
  writing.join();
  reading.join();

  RecordProperty("exactFrames", std::to_string(reader.exact));
  RecordProperty("silentFrames", std::to_string(reader.silent));
  EXPECT_EQ(reader.corrupt, 0) << "first corrupt frame at sample time " << reader.firstCorruptTime;
  EXPECT_EQ(reader.exact + reader.silent + reader.corrupt, kCycles * kFrames);
  // The first two reader cycles come before any write; a loaded machine may lose a few more.
  EXPECT_GE(reader.silent, 2 * int64_t(kFrames));
  // A writer woken late on a loaded machine leaves silence, never a wrong sample.
  EXPECT_GE(reader.exact, (kCycles - 2) * int64_t(kFrames) / 2);
  ASSERT_EQ(host().stopDevice(kVeltoOut1), kAspNoError);
  ASSERT_EQ(host().stopDevice(kVeltoOut1Feed), kAspNoError);
}

} // namespace
} // namespace velto::test
