// The live engine on a private PipeWire server, end to end: a tone played into a null duplex
// node (standing in for a microphone) on hardware input 1, routed to hardware output 1 on a null
// sink, is recorded from the sink's monitor at the level the gains give.
#include "engine/engine.h"

#include "effects/noise_filter.h"
#include "engine_harness.h"
#include "platform/audio/layer/host_time.h"
#include "platform/audio/pipewire/pipewire_devices.h"
#include "platform/dispatch/main_queue.h"
#include "tests/support/audio_test_system.h"
#include "tests/support/pipewire_daemon.h"
#include "tests/support/test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace velto {
namespace {

namespace audio = platform::audio;
using test::AudioTestOptions;
using test::AudioTestSystem;
using test::NullNode;
using test::PipewireDaemon;

constexpr double kTone = 997.0;
constexpr double kAmplitude = 0.25;
constexpr int kRate = 48000;
constexpr int kToneMillis = 3000;
constexpr int kRecordMillis = 1000;

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

struct Level {
  double db = -200.0; // RMS in dBFS of the clean frames
  size_t clean = 0;   // frames measured
  int breaks = 0;     // places where the tone is cut off, jumps or pauses
};

// The level of one channel of interleaved stereo, between the first and the last sound with
// 20 ms left off each end (the tone's start and end are not steady). A steady sine obeys
// s[n+1] + s[n-1] = 2 cos(w) s[n]; a frame that breaks it (a lost or silent block) and the block
// of frames around it are left out and counted, so they are reported rather than measured. The
// tone itself is exactly 0 at lone samples only.
Level steadyLevel(const std::vector<float>& stereo, int channel) {
  const size_t frames = stereo.size() / 2;
  auto at = [&](size_t f) { return double(stereo[f * 2 + channel]); };
  size_t first = 0, last = frames;
  while (first < frames && at(first) == 0.0) ++first;
  while (last > first && at(last - 1) == 0.0) --last;
  const size_t margin = kRate / 50;
  Level level;
  if (last < first + 2 * margin + 2) return level;
  const size_t from = first + margin, to = last - margin;
  const double k = 2.0 * std::cos(2.0 * M_PI * kTone / kRate);
  std::vector<bool> skip(frames, false);
  constexpr size_t kAround = 128;
  bool inBreak = false;
  for (size_t f = from; f < to; ++f) {
    const bool broken =
        (at(f) == 0.0 && at(f + 1) == 0.0) || std::fabs(at(f + 1) + at(f - 1) - k * at(f)) > 0.01;
    if (broken) {
      if (!inBreak) ++level.breaks;
      for (size_t g = f > kAround ? f - kAround : 0; g < std::min(frames, f + kAround); ++g) {
        skip[g] = true;
      }
    }
    inBreak = broken;
  }
  double sum = 0.0;
  for (size_t f = from; f < to; ++f) {
    if (skip[f]) continue;
    sum += at(f) * at(f);
    ++level.clean;
  }
  if (level.clean > 0) level.db = 10.0 * std::log10(sum / double(level.clean));
  return level;
}

class PipewireEngineThreads : public ::testing::Test {
protected:
  void SetUp() override {
    if (!test::pipewireInstalled()) GTEST_SKIP() << "PipeWire is not installed";
    platform::dispatch::resetMainQueue();
    daemon_ = std::make_unique<PipewireDaemon>();
    ASSERT_TRUE(daemon_->running()) << "the private server did not answer";
    // The server's null duplex node hands what is played into it on to its capture side.
    NullNode mic{"test.mic", "Test Mic", false, 2};
    mic.mediaClass = "Audio/Duplex";
    ASSERT_TRUE(daemon_->addNode(mic));
    ASSERT_TRUE(daemon_->addNode({"test.speakers", "Test Speakers", false, 2}));
    system_ = std::make_unique<AudioTestSystem>(
        AudioTestOptions{audio::ClockMode::RealTime, /*withDriver=*/true});
    ASSERT_TRUE(system_->started());
    audio::PipewireOptions options;
    options.remote = daemon_->socket();
    options.answerMillis = 3000;
    ASSERT_TRUE(audio::startPipewireDevices(options));
  }

  void TearDown() override {
    engine_.reset();
    platform::dispatch::resetMainQueue();
    audio::stopPipewireDevices();
    system_.reset();
    daemon_.reset();
  }

  std::unique_ptr<PipewireDaemon> daemon_;
  std::unique_ptr<AudioTestSystem> system_;
  std::unique_ptr<Engine> engine_;
};

TEST_F(PipewireEngineThreads, ToneOnInputOneIsRecordedFromOutputOneAtItsLevel) {
  ASSERT_NE(test::deviceForUid("test.mic"), 0u);
  ASSERT_NE(test::deviceForUid("test.speakers"), 0u);
  engine_ = std::make_unique<Engine>(true);
  test::makeTransparent(*engine_);
  HwInput& input = engine_->hwInputs[0];
  ASSERT_NE(input.noiseFilter, nullptr);
  input.noiseFilter->enabled.store(false);
  engine_->setHwInputDevice(0, "test.mic");
  engine_->setHwOutputDevice(0, "test.speakers");
  input.strip.routeMask.store(1);

  std::vector<float> tone(size_t(kRate) * kToneMillis / 1000 * 2);
  for (size_t f = 0; f < tone.size() / 2; ++f) {
    const float s = float(kAmplitude * std::sin(2.0 * M_PI * kTone * double(f) / kRate));
    tone[f * 2] = s;
    tone[f * 2 + 1] = s;
  }
  const std::string file = system_->home() + "/tone.wav";
  ASSERT_TRUE(fixtures::writeWav(file, kRate, 2, tone));
  const double toneDb = 20.0 * std::log10(kAmplitude / std::sqrt(2.0)); // -15.05 dBFS

  struct Case {
    const char* what;
    float inputDb;
    float busDb;
  };
  const std::vector<Case> cases = {
      {"0 dB", 0.0f, 0.0f},
      {"input at -6 dB", -6.0f, 0.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    input.strip.gain.store(std::pow(10.0f, c.inputDb / 20.0f));
    engine_->buses[0].gain.store(std::pow(10.0f, c.busDb / 20.0f));
    Bus& out = engine_->buses[0];
    out.meter.takeLeft();
    out.meter.takeRight();
    const uint64_t started = audio::hostTimeNow();
    const pid_t player = daemon_->play("test.mic", file);
    ASSERT_GT(player, 0);
    // First arrival: output 1's meter rises above half the tone's expected peak.
    const float arrival = float(kAmplitude) * std::pow(10.0f, (c.inputDb + c.busDb) / 20.0f) / 2;
    uint64_t arrived = 0;
    const bool reached = waitUntil(
        [&] {
          if (out.meter.takeLeft() < arrival) return false;
          arrived = audio::hostTimeNow();
          return true;
        },
        std::chrono::milliseconds(1000));
    std::vector<float> recorded;
    if (reached) recorded = daemon_->recordSink("test.speakers", 2, kRecordMillis);
    daemon_->endPlay(player);
    ASSERT_TRUE(reached) << "the tone never reached output 1\n" << daemon_->nodes();
    const double latencyMs = double(arrived - started) / 1e6;
    EXPECT_LT(latencyMs, 500.0);

    const double expected = toneDb + c.inputDb + c.busDb;
    for (int channel = 0; channel < 2; ++channel) {
      SCOPED_TRACE(channel == 0 ? "left" : "right");
      const Level level = steadyLevel(recorded, channel);
      // A loaded machine (a sanitizer build) breaks the tone often; 50 ms still measure it.
      EXPECT_GT(level.clean, size_t(kRate) / 20) << "50 ms of steady tone at least";
      EXPECT_NEAR(level.db, expected, 0.1);
      std::printf("[ figures  ] %s, channel %d: %.3f dBFS (expected %.3f, error %+.4f dB) over "
                  "%zu frames, %d breaks in the tone; playback start to output 1: %.1f ms\n",
                  c.what, channel, level.db, expected, level.db - expected, level.clean,
                  level.breaks, latencyMs);
    }
    // Let the tone's tail drain before the next case.
    waitUntil(
        [&] {
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          return out.meter.takeLeft() == 0.0f;
        },
        std::chrono::milliseconds(1000));
  }
}

} // namespace
} // namespace velto
