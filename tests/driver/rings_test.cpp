// The rings, the device clock and the I/O cycle, driven through the host under the manual
// clock: what one device of a pair plays is read on the other, sample-exact, two cycles later.
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "core/denormals.h"
#include "platform/audio/layer/host_time.h"
#include "tests/driver/driver_harness.h"

namespace velto::test {
namespace {

using platform::audio::setManualHostTimeNow;

constexpr double kTicksPerPeriod = kNsPerFrame * kRingFrames; // 341333333.33 ns

// Every frame of `got` (interleaved) against the test signal from `firstSampleTime` times the
// gain of frame i; exact when the gain is exactly 1.
testing::AssertionResult matchesSignal(const std::vector<float>& got, int64_t firstSampleTime,
                                       const std::function<float(uint32_t)>& gain = nullptr) {
  for (uint32_t i = 0; i < got.size() / 2; ++i) {
    float g = gain ? gain(i) : 1.0f;
    float left = signalLeft(firstSampleTime + i) * g;
    float right = signalRight(firstSampleTime + i) * g;
    float tolerance = g == 1.0f ? 0.0f : 1e-6f;
    if (std::fabs(got[2 * i] - left) > tolerance || std::fabs(got[2 * i + 1] - right) > tolerance) {
      return testing::AssertionFailure()
             << "frame " << i << " (sample time " << firstSampleTime + i << "): got " << got[2 * i]
             << ", " << got[2 * i + 1] << " expected " << left << ", " << right;
    }
  }
  return testing::AssertionSuccess();
}

testing::AssertionResult isSilent(const std::vector<float>& got) {
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i] != 0.0f) return testing::AssertionFailure() << "sample " << i << " is " << got[i];
  }
  return testing::AssertionSuccess();
}

class Rings : public DriverTest {
protected:
  uint64_t at(int64_t frame) const { return frameTime(anchor_, frame); }

  void startPair(AspObjectId writer, AspObjectId reader) {
    setManualHostTimeNow(anchor_);
    ASSERT_EQ(host().startDevice(writer), kAspNoError);
    ASSERT_EQ(host().startDevice(reader), kAspNoError);
  }

  // A writer's cycle at current sample time `current`: it plays the test signal at its output
  // sample time, which is one buffer ahead of "now".
  void write(AspObjectId device, uint32_t frames, int64_t current) {
    std::vector<float> played = signalFrames(current + frames, frames);
    Cycle cycle = runCycle(host(), device, frames, at(current), &played);
    EXPECT_TRUE(cycle.processed);
    EXPECT_EQ(cycle.times.outputSampleTime, double(current + frames));
  }

  // A reader's cycle: it reads the buffer that ends one buffer behind "now".
  std::vector<float> read(AspObjectId device, uint32_t frames, int64_t current) {
    Cycle cycle = runCycle(host(), device, frames, at(current));
    EXPECT_EQ(cycle.times.inputSampleTime, double(current - frames));
    return cycle.input;
  }

  uint64_t anchor_ = kStartTime;
};

TEST_F(Rings, ZeroTimeStampsFollowTheAnchorInWholePeriods) {
  anchor_ = kStartTime + 12345;
  setManualHostTimeNow(anchor_);
  ASSERT_EQ(host().startDevice(kVeltoClock), kAspNoError);
  AspDriverRef driver = host().driverInterface();
  struct Case {
    int64_t offset; // ns after the anchor
    double sampleTime;
    uint64_t hostTime;
  };
  uint64_t period = uint64_t(kTicksPerPeriod);
  for (Case c : {Case{-5000, 0, anchor_}, Case{0, 0, anchor_}, Case{int64_t(period), 0, anchor_},
                 Case{int64_t(period) + 1, 16384, anchor_ + period},
                 Case{int64_t(5 * kTicksPerPeriod) + 1, 5 * 16384.0,
                      anchor_ + uint64_t(5 * kTicksPerPeriod)},
                 Case{int64_t(3 * kTicksPerPeriod) - 1, 2 * 16384.0,
                      anchor_ + uint64_t(2 * kTicksPerPeriod)}}) {
    SCOPED_TRACE(c.offset);
    setManualHostTimeNow(uint64_t(int64_t(anchor_) + c.offset));
    double sampleTime = -1;
    uint64_t hostTime = 0, seed = 0;
    ASSERT_EQ((*driver)->GetZeroTimeStamp(driver, kVeltoClock, 0, &sampleTime, &hostTime, &seed),
              kAspNoError);
    EXPECT_EQ(sampleTime, c.sampleTime);
    EXPECT_EQ(hostTime, c.hostTime);
    EXPECT_EQ(seed, 1u);
  }
}

TEST_F(Rings, PairSharesOneClockAndTheRingIsClearedOnlyOnTheFirstStart) {
  setManualHostTimeNow(anchor_);
  ASSERT_EQ(host().startDevice(kVeltoOut1Feed), kAspNoError);
  EXPECT_EQ(getU32(host(), kVeltoOut1, kAspPropIsRunning), 1u) << "both devices of a ring count";
  EXPECT_EQ(getU32(host(), kVeltoOut2, kAspPropIsRunning), 0u);
  write(kVeltoOut1Feed, 128, 0); // sample times 128..255

  // The reader starts later: the anchor stays, what was written stays.
  setManualHostTimeNow(anchor_ + 7'000'000);
  ASSERT_EQ(host().startDevice(kVeltoOut1), kAspNoError);
  AspDriverRef driver = host().driverInterface();
  for (AspObjectId device : {kVeltoOut1Feed, kVeltoOut1}) {
    double sampleTime = -1;
    uint64_t hostTime = 0, seed = 0;
    ASSERT_EQ((*driver)->GetZeroTimeStamp(driver, device, 0, &sampleTime, &hostTime, &seed),
              kAspNoError);
    EXPECT_EQ(sampleTime, 0.0);
    EXPECT_EQ(hostTime, anchor_);
  }
  EXPECT_TRUE(matchesSignal(read(kVeltoOut1, 128, 256), 128));

  // Stopping both and starting again takes a new anchor and clears what was left.
  write(kVeltoOut1Feed, 128, 256); // sample times 384..511, never read
  ASSERT_EQ(host().stopDevice(kVeltoOut1), kAspNoError);
  EXPECT_EQ(getU32(host(), kVeltoOut1, kAspPropIsRunning), 1u);
  ASSERT_EQ(host().stopDevice(kVeltoOut1Feed), kAspNoError);
  EXPECT_EQ(getU32(host(), kVeltoOut1, kAspPropIsRunning), 0u);
  EXPECT_EQ(getU32(host(), kVeltoOut1Feed, kAspPropIsRunning), 0u);
  anchor_ += 900'000'000;
  startPair(kVeltoOut1Feed, kVeltoOut1);
  EXPECT_TRUE(isSilent(read(kVeltoOut1, 128, 512)));
}

struct PairCase {
  AspObjectId writer;
  AspObjectId reader;
  uint32_t frames;
};

class RingPairs : public Rings, public testing::WithParamInterface<PairCase> {};

TEST_P(RingPairs, WhatIsPlayedArrivesSampleExactTwoCyclesLater) {
  const PairCase c = GetParam();
  startPair(c.writer, c.reader);
  // Long enough to wrap the ring and pass the clock period more than twice.
  const int64_t cycles = 3 * kRingFrames / c.frames + 7;
  for (int64_t k = 0; k < cycles; ++k) {
    int64_t current = k * c.frames;
    write(c.writer, c.frames, current);
    std::vector<float> got = read(c.reader, c.frames, current);
    if (k < 2) {
      ASSERT_TRUE(isSilent(got)) << "cycle " << k;
    } else {
      ASSERT_TRUE(matchesSignal(got, current - c.frames)) << "cycle " << k;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllPairsAndBufferSizes, RingPairs,
                         testing::Values(PairCase{kVeltoInput, kVeltoInputReturn, 128},
                                         PairCase{kVeltoOut1Feed, kVeltoOut1, 128},
                                         PairCase{kVeltoOut2Feed, kVeltoOut2, 128},
                                         PairCase{kVeltoOut3Feed, kVeltoOut3, 128},
                                         PairCase{kVeltoOut1Feed, kVeltoOut1, 32},
                                         PairCase{kVeltoOut1Feed, kVeltoOut1, 64},
                                         PairCase{kVeltoOut1Feed, kVeltoOut1, 256},
                                         PairCase{kVeltoInput, kVeltoInputReturn, 512},
                                         PairCase{kVeltoOut1Feed, kVeltoOut1, 500}));

TEST_F(Rings, PairsDoNotHearEachOther) {
  startPair(kVeltoOut1Feed, kVeltoOut1);
  startPair(kVeltoOut2Feed, kVeltoOut2);
  startPair(kVeltoOut3Feed, kVeltoOut3);
  startPair(kVeltoInput, kVeltoInputReturn);
  for (int64_t k = 0; k < 6; ++k) write(kVeltoOut1Feed, 128, k * 128);
  for (int64_t k = 2; k < 6; ++k) {
    EXPECT_TRUE(isSilent(read(kVeltoOut2, 128, k * 128)));
    EXPECT_TRUE(isSilent(read(kVeltoInputReturn, 128, k * 128)));
    EXPECT_TRUE(isSilent(read(kVeltoOut3, 128, k * 128)));
    EXPECT_TRUE(matchesSignal(read(kVeltoOut1, 128, k * 128), k * 128 - 128));
  }
}

TEST_F(Rings, ReadingClearsWhatItReturned) {
  startPair(kVeltoOut1Feed, kVeltoOut1);
  write(kVeltoOut1Feed, 256, 0);
  EXPECT_TRUE(matchesSignal(read(kVeltoOut1, 256, 512), 256));
  EXPECT_TRUE(isSilent(read(kVeltoOut1, 256, 512))) << "the same sample times again";
}

TEST_F(Rings, StoppedWriterGivesSilenceNotOldAudio) {
  startPair(kVeltoOut2Feed, kVeltoOut2);
  for (int64_t k = 0; k < 4; ++k) write(kVeltoOut2Feed, 128, k * 128);
  for (int64_t k = 2; k < 6; ++k)
    EXPECT_TRUE(matchesSignal(read(kVeltoOut2, 128, k * 128), k * 128 - 128));
  // Two more whole rings of reading: the ring never repeats what it delivered.
  for (int64_t k = 6; k < 6 + 2 * kRingFrames / 128; ++k)
    ASSERT_TRUE(isSilent(read(kVeltoOut2, 128, k * 128))) << "cycle " << k;
}

TEST_F(Rings, ReaderWithoutWriterDeliversSilence) {
  setManualHostTimeNow(anchor_);
  ASSERT_EQ(host().startDevice(kVeltoOut3), kAspNoError);
  for (int64_t k = 0; k < 10; ++k) EXPECT_TRUE(isSilent(read(kVeltoOut3, 512, k * 512)));
}

TEST_F(Rings, WriteAcrossTheRingEndWrapsToItsStart) {
  startPair(kVeltoOut1Feed, kVeltoOut1);
  // 512 frames at output sample time 16300: positions 16300..16383, then 0..427.
  write(kVeltoOut1Feed, 512, 16300 - 512);
  std::vector<float> ring = read(kVeltoOut1, kRingFrames, kRingFrames); // positions 0..16383
  auto frames = [&](uint32_t first, uint32_t count) {
    return std::vector<float>(ring.begin() + 2 * first, ring.begin() + 2 * (first + count));
  };
  EXPECT_TRUE(matchesSignal(frames(16300, 84), 16300));
  EXPECT_TRUE(matchesSignal(frames(0, 428), 16384));
  EXPECT_TRUE(isSilent(frames(428, 16300 - 428)));
}

TEST_F(Rings, WriteLongerThanTheRingKeepsItsLastRingfulAndStaysInside) {
  startPair(kVeltoOut1Feed, kVeltoOut1);
  startPair(kVeltoOut2Feed, kVeltoOut2);
  struct Case {
    uint32_t frames;
    int64_t outputTime; // of the first frame written
  };
  for (Case c : {Case{20000, 40000}, Case{20000, 16383 + 3 * 16384}, Case{16385, 8 * 16384},
                 Case{50000, 9 * 16384 + 100}}) {
    SCOPED_TRACE(c.frames);
    write(kVeltoOut1Feed, c.frames, c.outputTime - c.frames);
    int64_t end = c.outputTime + c.frames;
    EXPECT_TRUE(matchesSignal(read(kVeltoOut1, kRingFrames, end), end - kRingFrames));
    // The neighbouring ring got nothing.
    EXPECT_TRUE(isSilent(read(kVeltoOut2, kRingFrames, end)));
  }
}

TEST_F(Rings, ReadLongerThanTheRingReturnsSilenceBeyondOneRing) {
  startPair(kVeltoOut3Feed, kVeltoOut3);
  write(kVeltoOut3Feed, kRingFrames, 0);                   // sample times 16384..32767
  std::vector<float> got = read(kVeltoOut3, 20000, 36384); // sample times 16384..36383
  EXPECT_TRUE(matchesSignal({got.begin(), got.begin() + 2 * kRingFrames}, kRingFrames));
  EXPECT_TRUE(isSilent({got.begin() + 2 * kRingFrames, got.end()}));
}

TEST_F(Rings, CyclesBeforeTheAnchorWriteAtNegativeSampleTimesInsideTheRing) {
  startPair(kVeltoOut1Feed, kVeltoOut1);
  startPair(kVeltoOut2Feed, kVeltoOut2);
  // "Now" 100 frames before the anchor: output sample times -36..27.
  write(kVeltoOut1Feed, 64, -100);
  // Positions 16348..16383 and 0..27, read back one ring later.
  EXPECT_TRUE(matchesSignal(read(kVeltoOut1, 64, 16348 + 64), -36));
  EXPECT_TRUE(isSilent(read(kVeltoOut2, kRingFrames, 2 * kRingFrames)));
}

TEST_F(Rings, NonFiniteAndHugeSampleTimesStayInsideTheRing) {
  startPair(kVeltoOut1Feed, kVeltoOut1);
  startPair(kVeltoOut2Feed, kVeltoOut2);
  AspDriverRef driver = host().driverInterface();
  const double kInf = std::numeric_limits<double>::infinity();
  for (double t :
       {std::numeric_limits<double>::quiet_NaN(), kInf, -kInf, 1e300, -1e300, 9.3e18, -9.3e18}) {
    SCOPED_TRACE(t);
    AspIoCycleInfo cycle{};
    cycle.outputTime.sampleTime = t;
    cycle.inputTime.sampleTime = t;
    std::vector<float> buffer(2 * 1024, 0.75f);
    EXPECT_EQ((*driver)->DoIOOperation(driver, kVeltoOut1Feed, 19, 0, kAspIoWriteMix, 1024, &cycle,
                                       buffer.data(), nullptr),
              kAspNoError);
    EXPECT_EQ((*driver)->DoIOOperation(driver, kVeltoOut1, 13, 0, kAspIoReadInput, 1024, &cycle,
                                       buffer.data(), nullptr),
              kAspNoError);
    EXPECT_EQ(buffer[0], 0.75f) << "read back where it was written";
  }
  EXPECT_TRUE(isSilent(read(kVeltoOut2, kRingFrames, kRingFrames)));
  EXPECT_TRUE(isSilent(read(kVeltoOut1, kRingFrames, kRingFrames)));
}

TEST_F(Rings, OperationsWithoutBufferOrOnTheWrongSideAreIgnored) {
  startPair(kVeltoOut1Feed, kVeltoOut1);
  write(kVeltoOut1Feed, 128, 0);
  AspDriverRef driver = host().driverInterface();
  AspIoCycleInfo cycle{};
  cycle.inputTime.sampleTime = 128;
  cycle.outputTime.sampleTime = 128;
  std::vector<float> buffer(256, 0.5f);
  // A read without a buffer, a read on the writing device, a write on the reading device, and
  // an operation on a stream id: none of them touches the ring.
  EXPECT_EQ((*driver)->DoIOOperation(driver, kVeltoOut1, 13, 0, kAspIoReadInput, 128, &cycle,
                                     nullptr, nullptr),
            kAspNoError);
  EXPECT_EQ((*driver)->DoIOOperation(driver, kVeltoOut1Feed, 19, 0, kAspIoReadInput, 128, &cycle,
                                     buffer.data(), nullptr),
            kAspNoError);
  EXPECT_EQ((*driver)->DoIOOperation(driver, kVeltoOut1, 13, 0, kAspIoWriteMix, 128, &cycle,
                                     buffer.data(), nullptr),
            kAspNoError);
  EXPECT_EQ((*driver)->DoIOOperation(driver, 13, 13, 0, kAspIoReadInput, 128, &cycle, buffer.data(),
                                     nullptr),
            kAspNoError);
  EXPECT_TRUE(matchesSignal(read(kVeltoOut1, 128, 256), 128));
  bool willDo = false, inPlace = false;
  EXPECT_EQ(
      (*driver)->WillDoIOOperation(driver, kVeltoOut1, 0, aspFourCC("mixo"), &willDo, &inPlace),
      kAspNoError);
  EXPECT_FALSE(willDo);
  EXPECT_TRUE(inPlace);
}

TEST_F(Rings, ClockRunsWithoutAReader) {
  setManualHostTimeNow(anchor_);
  ASSERT_EQ(host().startDevice(kVeltoClock), kAspNoError);
  EXPECT_EQ(getU32(host(), kVeltoClock, kAspPropIsRunning), 1u);
  for (AspObjectId other : {kVeltoInput, kVeltoOut1, kVeltoOut2, kVeltoOut3})
    EXPECT_EQ(getU32(host(), other, kAspPropIsRunning), 0u);
  EXPECT_FALSE(host().deviceHasInput(kVeltoClock));
  const uint32_t frames = 128;
  for (int64_t k = 0; k < 2 * kRingFrames / frames + 3; ++k) {
    std::vector<float> tick = signalFrames(k * frames + frames, frames);
    Cycle cycle = runCycle(host(), kVeltoClock, frames, at(k * frames), &tick);
    ASSERT_TRUE(cycle.processed);
    ASSERT_EQ(cycle.times.inputSampleTime, double(k * frames - frames));
    ASSERT_EQ(cycle.times.outputSampleTime, double(k * frames + frames));
    ASSERT_EQ(cycle.times.hostTime, at(k * frames));
  }
  ASSERT_EQ(host().stopDevice(kVeltoClock), kAspNoError);
  EXPECT_EQ(getU32(host(), kVeltoClock, kAspPropIsRunning), 0u);
}

// ---- volume and mute on the visible inputs ------------------------------------------------

constexpr uint32_t kFrames = 256;

// The first sample time that the read of cycle k delivers.
int64_t readStart(int64_t k) {
  return (k - 1) * int64_t(kFrames);
}

class InputGain : public Rings {
protected:
  // Writer and reader cycles from cycle `first` on; returns what each read delivered from the
  // third cycle on (earlier reads have no data yet).
  std::vector<std::vector<float>> run(AspObjectId writer, AspObjectId reader, int64_t first,
                                      int64_t count) {
    std::vector<std::vector<float>> reads;
    for (int64_t k = first; k < first + count; ++k) {
      write(writer, kFrames, k * kFrames);
      std::vector<float> got = read(reader, kFrames, k * kFrames);
      if (k >= 2) reads.push_back(got);
    }
    return reads;
  }
};

// The ramp of frame i from `from` to `to` over one buffer.
std::function<float(uint32_t)> ramp(float from, float to) {
  return [from, to](uint32_t i) { return from + (to - from) * float(i + 1) / float(kFrames); };
}

std::function<float(uint32_t)> constant(float gain) {
  return [gain](uint32_t) { return gain; };
}

TEST_F(InputGain, FullVolumePassesUnchangedAndHalfVolumeRampsToTheCube) {
  startPair(kVeltoOut2Feed, kVeltoOut2);
  auto reads = run(kVeltoOut2Feed, kVeltoOut2, 0, 4); // reads of cycles 2, 3
  EXPECT_TRUE(matchesSignal(reads[0], readStart(2)));
  EXPECT_TRUE(matchesSignal(reads[1], readStart(3)));
  ASSERT_EQ(setF32(host(), 25, kAspPropScalarValue, 0.5f), kAspNoError);
  reads = run(kVeltoOut2Feed, kVeltoOut2, 4, 3); // cycles 4, 5, 6
  EXPECT_TRUE(matchesSignal(reads[0], readStart(4), ramp(1.0f, 0.125f)));
  EXPECT_TRUE(matchesSignal(reads[1], readStart(5), constant(0.125f)));
  EXPECT_TRUE(matchesSignal(reads[2], readStart(6), constant(0.125f)));
  // Back to full volume: ramps up, then passes untouched again.
  ASSERT_EQ(setF32(host(), 25, kAspPropScalarValue, 1.0f), kAspNoError);
  reads = run(kVeltoOut2Feed, kVeltoOut2, 7, 2);
  EXPECT_TRUE(matchesSignal(reads[0], readStart(7), ramp(0.125f, 1.0f)));
  EXPECT_TRUE(matchesSignal(reads[1], readStart(8)));
}

TEST_F(InputGain, MuteRampsToSilenceAndStaysThere) {
  startPair(kVeltoOut3Feed, kVeltoOut3);
  run(kVeltoOut3Feed, kVeltoOut3, 0, 3);
  ASSERT_EQ(setU32(host(), 36, kAspPropBooleanValue, 1), kAspNoError);
  auto reads = run(kVeltoOut3Feed, kVeltoOut3, 3, 4);
  EXPECT_TRUE(matchesSignal(reads[0], readStart(3), ramp(1.0f, 0.0f)));
  EXPECT_EQ(reads[0][2 * kFrames - 2], 0.0f) << "the last frame is exactly silent";
  for (size_t r = 1; r < reads.size(); ++r) EXPECT_TRUE(isSilent(reads[r]));
  ASSERT_EQ(setU32(host(), 36, kAspPropBooleanValue, 0), kAspNoError);
  reads = run(kVeltoOut3Feed, kVeltoOut3, 7, 2);
  EXPECT_TRUE(matchesSignal(reads[0], readStart(7), ramp(0.0f, 1.0f)));
  EXPECT_TRUE(matchesSignal(reads[1], readStart(8)));
}

TEST_F(InputGain, VeryLowVolumeStopsAtTheFloorAndZeroIsSilence) {
  startPair(kVeltoOut1Feed, kVeltoOut1);
  run(kVeltoOut1Feed, kVeltoOut1, 0, 3);
  ASSERT_EQ(setF32(host(), 15, kAspPropScalarValue, 0.02f), kAspNoError); // -101.9 dB
  auto reads = run(kVeltoOut1Feed, kVeltoOut1, 3, 2);
  const float kFloor = 1.5848926e-5f;
  EXPECT_TRUE(matchesSignal(reads[0], readStart(3), ramp(1.0f, kFloor)));
  EXPECT_TRUE(matchesSignal(reads[1], readStart(4), constant(kFloor)));
  ASSERT_EQ(setF32(host(), 15, kAspPropScalarValue, 0.0f), kAspNoError);
  reads = run(kVeltoOut1Feed, kVeltoOut1, 5, 2);
  EXPECT_TRUE(matchesSignal(reads[0], readStart(5), ramp(kFloor, 0.0f)));
  EXPECT_TRUE(isSilent(reads[1]));
}

TEST_F(InputGain, SystemSoundDeviceOnlyStoresItsVolumeAndMute) {
  startPair(kVeltoInput, kVeltoInputReturn);
  ASSERT_EQ(setF32(host(), 5, kAspPropScalarValue, 0.1f), kAspNoError);
  ASSERT_EQ(setU32(host(), 6, kAspPropBooleanValue, 1), kAspNoError);
  auto reads = run(kVeltoInput, kVeltoInputReturn, 0, 5);
  for (size_t r = 0; r < reads.size(); ++r)
    EXPECT_TRUE(matchesSignal(reads[r], readStart(int64_t(r) + 2)));
}

// The read's gain ramp runs with denormals flushed: a denormal frame comes out as 0, a normal
// one scaled, and the calling thread's mode is as it was.
TEST_F(InputGain, DenormalFramesFlushToZeroUnderTheGainRamp) {
  if (!velto::denormals::kSupported) GTEST_SKIP() << "no flush mode on this processor";
  const uint64_t mode = velto::denormals::readMode();
  velto::denormals::writeMode(mode & ~velto::denormals::kFlushBits);
  startPair(kVeltoOut1Feed, kVeltoOut1);
  ASSERT_EQ(setF32(host(), 15, kAspPropScalarValue, 0.5f), kAspNoError); // gain 0.125
  const float tiny = std::numeric_limits<float>::denorm_min() * 1024.0f;
  std::vector<float> played(2 * kFrames);
  for (uint32_t i = 0; i < 2 * kFrames; ++i) played[i] = i % 4 < 2 ? tiny : 0.5f;
  std::vector<std::vector<float>> reads;
  for (int64_t k = 0; k < 5; ++k) {
    ASSERT_TRUE(runCycle(host(), kVeltoOut1Feed, kFrames, at(k * kFrames), &played).processed);
    reads.push_back(runCycle(host(), kVeltoOut1, kFrames, at(k * kFrames)).input);
  }
  EXPECT_FALSE(velto::denormals::flushing());
  velto::denormals::writeMode(mode);
  for (size_t r = 2; r < reads.size(); ++r) {
    ASSERT_EQ(reads[r].size(), played.size());
    for (uint32_t i = 0; i < 2 * kFrames; ++i) {
      if (i % 4 < 2) {
        ASSERT_EQ(reads[r][i], 0.0f) << "read " << r << " sample " << i;
      } else {
        ASSERT_NE(reads[r][i], 0.0f) << "read " << r << " sample " << i;
      }
    }
  }
}

} // namespace
} // namespace velto::test
