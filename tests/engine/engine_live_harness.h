// Helpers for engine suites that run the audio layer under the manual clock: a fixture with a
// fresh system (driver installed unless a test says otherwise), the engine made effect-free so
// routed audio arrives sample for sample, simulated devices, and a recorder for a client
// callback on one of the driver's devices. Test thread only.
#pragma once

#include "engine/engine.h"
#include "engine_harness.h"
#include "platform/audio/layer/io_procs.h"
#include "platform/audio/simulated/sim_devices.h"
#include "tests/support/audio_test_system.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velto::test {

// A signal whose frames are all distinct and never 0, so a shift, a gap or a repeat shows.
// Channel c of frame n.
float numberedSample(uint64_t n, uint32_t c);
// `frames` frames of `channels` interleaved channels of numberedSample.
std::vector<float> numberedFrames(uint32_t frames, uint32_t channels);
// A simulated input that plays numberedFrames once.
platform::audio::SignalSource numberedSource(uint32_t frames, uint32_t channels);

platform::audio::SimDeviceConfig simInput(const std::string& name, const std::string& uid,
                                          std::vector<uint32_t> layout);
platform::audio::SimDeviceConfig simOutput(const std::string& name, const std::string& uid,
                                           std::vector<uint32_t> layout);

// The index of the first sample that is not 0, or -1.
int64_t firstSound(const std::vector<float>& samples);
// Channel c of interleaved frames.
std::vector<float> channelOf(const std::vector<float>& interleaved, uint32_t channels, uint32_t c);
// `played` holds the first `count` samples of `expected` from index `delay` on, exactly.
::testing::AssertionResult holdsCopy(const std::vector<float>& played,
                                     const std::vector<float>& expected, int64_t delay,
                                     size_t count);

// Records what a device's input delivers to a client callback (on the manual clock's thread).
class InputRecorder {
public:
  explicit InputRecorder(platform::audio::ObjectId device);
  ~InputRecorder();
  InputRecorder(const InputRecorder&) = delete;
  InputRecorder& operator=(const InputRecorder&) = delete;

  bool running() const { return proc_ != platform::audio::kNoIoProc; }
  std::vector<float> channel(uint32_t c) const; // of the first two channels

private:
  static AspStatus record(platform::audio::ObjectId, const platform::audio::TimeStamp*,
                          const platform::audio::BufferList* input,
                          const platform::audio::TimeStamp*, platform::audio::BufferList*,
                          const platform::audio::TimeStamp*, void* clientData);
  platform::audio::ObjectId device_;
  platform::audio::IoProcId proc_ = platform::audio::kNoIoProc;
  std::vector<float> left_;
  std::vector<float> right_;
};

class LiveEngineFixture : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the layer (before any engine) and then a live, effect-free engine.
  void startSystem(bool withDriver = true);
  void startEngine();
  // Delivers queued listener notices and runs what they posted to the main queue.
  void settle();

  std::unique_ptr<AudioTestSystem> system;
  std::unique_ptr<Engine> engine;
};

} // namespace velto::test
