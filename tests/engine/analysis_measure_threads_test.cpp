// Measuring the peak input level of the driver's virtual outputs, and the requests that give no
// value at once. Runs the audio layer on real-time threads.
#include "engine/engine.h"
#include "platform/audio/layer/io_procs.h"
#include "platform/dispatch/dispatch.h"
#include "tests/support/audio_test_system.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>

namespace velto::test {
namespace {

namespace audio = platform::audio;
using Clock = std::chrono::steady_clock;

// Plays a sine into every channel of a device's output, one callback per cycle.
struct SineFeeder {
  double hz = 1000.0;
  float amplitude = 0.0f;
  double phase = 0.0; // I/O thread only
  std::atomic<uint32_t> cycles{0};

  static AspStatus play(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList*,
                        const audio::TimeStamp*, audio::BufferList* output, const audio::TimeStamp*,
                        void* clientData) {
    SineFeeder* self = static_cast<SineFeeder*>(clientData);
    self->cycles.fetch_add(1);
    if (output == nullptr || output->count == 0) return 0;
    const audio::Buffer& first = output->buffers[0];
    if (first.data == nullptr || first.channels == 0) return 0;
    const uint32_t frames = first.byteSize / (sizeof(float) * first.channels);
    const double step = 2.0 * M_PI * self->hz / 48000.0;
    for (uint32_t f = 0; f < frames; ++f) {
      const float value = self->amplitude * static_cast<float>(std::sin(self->phase + step * f));
      for (uint32_t b = 0; b < output->count; ++b) {
        const audio::Buffer& buffer = output->buffers[b];
        if (buffer.data == nullptr) continue;
        float* samples = static_cast<float*>(buffer.data);
        for (uint32_t c = 0; c < buffer.channels; ++c) samples[f * buffer.channels + c] = value;
      }
    }
    self->phase = std::fmod(self->phase + step * frames, 2.0 * M_PI);
    return 0;
  }
};

class AnalysisMeasureThreads : public ::testing::Test {
protected:
  void SetUp() override {
    platform::dispatch::resetMainQueue();
    system_ = std::make_unique<AudioTestSystem>(
        AudioTestOptions{audio::ClockMode::RealTime, /*withDriver=*/true});
    ASSERT_TRUE(system_->started());
    engine = std::make_unique<Engine>(true);
  }
  void TearDown() override {
    stopFeeder();
    engine.reset();
    platform::dispatch::resetMainQueue();
    system_.reset();
  }

  // Plays into the hidden feed of a virtual output, which the driver loops to its visible input.
  void startFeeder(const std::string& feedUid, float amplitude, double hz) {
    feeder_.amplitude = amplitude;
    feeder_.hz = hz;
    feedDevice_ = deviceForUid(feedUid);
    ASSERT_NE(feedDevice_, 0u);
    ASSERT_EQ(audio::createIoProcId(feedDevice_, &SineFeeder::play, &feeder_, &feedProc_), 0);
    ASSERT_EQ(audio::startDevice(feedDevice_, feedProc_), 0);
    // Let the loop fill before measuring.
    const auto until = Clock::now() + std::chrono::seconds(2);
    while (feeder_.cycles.load() < 8 && Clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_GE(feeder_.cycles.load(), 8u);
  }
  void stopFeeder() {
    if (feedProc_ == audio::kNoIoProc) return;
    audio::stopDevice(feedDevice_, feedProc_);
    audio::destroyIoProcId(feedDevice_, feedProc_);
    feedProc_ = audio::kNoIoProc;
  }

  std::unique_ptr<Engine> engine;

private:
  std::unique_ptr<AudioTestSystem> system_;
  SineFeeder feeder_;
  audio::ObjectId feedDevice_ = 0;
  audio::IoProcId feedProc_ = audio::kNoIoProc;
};

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST_F(AnalysisMeasureThreads, VirtualOutputByNameInOtherLetterCase) {
  // The driver loops what is played into the hidden feed back to the visible virtual output.
  startFeeder(virtualOutFeedUid(1), 0.1f, 440.0);
  EXPECT_NEAR(engine->measureInputDb("VELTO out 2", 0.3), -20.0, 0.1);
  EXPECT_EQ(engine->measureInputDb(virtualOutUid(2), 0.3), -60.0f) << "nothing plays there";
}

struct NoInputCase {
  const char* key;
};

class AnalysisMeasureNoInputThreads : public AnalysisMeasureThreads,
                                      public ::testing::WithParamInterface<NoInputCase> {};

TEST_P(AnalysisMeasureNoInputThreads, GivesNaNAtOnceWithoutWaiting) {
  const auto start = Clock::now();
  EXPECT_TRUE(std::isnan(engine->measureInputDb(GetParam().key, 0.5)));
  EXPECT_LT(secondsSince(start), 0.1);
}

INSTANTIATE_TEST_SUITE_P(Keys, AnalysisMeasureNoInputThreads,
                         ::testing::Values(NoInputCase{"Velto Input"},       // output only
                                           NoInputCase{"VeltoOut1Feed_UID"}, // hidden output
                                           NoInputCase{"Kein Gerät"},        // unknown
                                           NoInputCase{""}));

TEST_F(AnalysisMeasureThreads, RequestsWithoutAPositiveTimeReturnAtOnce) {
  for (double seconds : {0.0, -1.0, static_cast<double>(NAN)}) {
    const auto start = Clock::now();
    const float db = engine->measureInputDb(virtualOutDevice(0), seconds);
    EXPECT_LT(secondsSince(start), 0.1) << seconds;
    // Whether one cycle slipped in or not, the answer is silence or no value.
    EXPECT_TRUE(std::isnan(db) || db == -60.0f) << seconds;
  }
}

} // namespace
} // namespace velto::test
