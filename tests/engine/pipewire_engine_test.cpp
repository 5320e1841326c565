#include "pipewire_engine_test.h"

#include "effects/noise_filter.h"
#include "engine_harness.h"
#include "platform/dispatch/main_queue.h"
#include "tests/support/test_files.h"
#include "tests/support/tone_level.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace velto::test {

namespace dispatch = platform::dispatch;

void PipewireEngineTest::SetUp() {
  dispatch::resetMainQueue();
  PipewireTest::SetUp();
}

void PipewireEngineTest::TearDown() {
  engine_.reset();
  dispatch::resetMainQueue();
  PipewireTest::TearDown();
}

void PipewireEngineTest::startEngineOnTestNodes() {
  const NullNode mic = testMicrophone();
  const NullNode speakers = testSpeakers();
  ASSERT_NE(deviceForUid(mic.name), 0u);
  ASSERT_NE(deviceForUid(speakers.name), 0u);
  engine_ = std::make_unique<Engine>(true);
  makeTransparent(*engine_);
  for (HwInput& in : engine_->hwInputs) {
    ASSERT_NE(in.noiseFilter, nullptr);
    in.noiseFilter->enabled.store(false);
  }
  engine_->setHwInputDevice(0, mic.name);
  engine_->setHwOutputDevice(0, speakers.name);
}

std::string PipewireEngineTest::writeTone(double hz, int millis) {
  const std::string file =
      system_->home() + "/tone-" + std::to_string(int(hz)) + "-" + std::to_string(millis) + ".wav";
  return fixtures::writeWav(file, kToneRate, 2, stereoTone(hz, kToneAmplitude, kToneRate, millis))
             ? file
             : std::string();
}

std::vector<float> PipewireEngineTest::playAndRecord(const std::string& target,
                                                     const std::string& file, PeakMeter& meter,
                                                     float arrival, int millis,
                                                     const Serve& serve) {
  meter.takeLeft();
  const pid_t player = daemon_->play(target, file);
  if (player <= 0) {
    ADD_FAILURE() << "the player did not start";
    return {};
  }
  // The session manager links the player late on a loaded machine: give it 20 s, not one wait.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  bool arrived = false;
  while (!arrived && std::chrono::steady_clock::now() < deadline)
    arrived = serve([&] { return meter.takeLeft() > arrival; });
  if (!arrived) ADD_FAILURE() << "what was played into " << target << " never reached the meter";
  std::vector<float> recorded;
  // The meter hears the mix before the session manager may have linked the speakers' stream,
  // and a recorder linked late records nothing at all (both slow on a loaded machine): while
  // the recording is all silence, record again for twice as long.
  const auto recordUntil = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int length = millis; arrived; length = std::min(length * 2, 4 * millis)) {
    recorded = daemon_->recordSink(testSpeakers().name, 2, length);
    const bool silent =
        std::all_of(recorded.begin(), recorded.end(), [](float s) { return s == 0.0f; });
    if (!silent || std::chrono::steady_clock::now() >= recordUntil) break;
  }
  daemon_->endPlay(player);
  serve([&] {
    dispatch::runMainQueueFor(std::chrono::milliseconds(20));
    return meter.takeLeft() == 0.0f;
  });
  return recorded;
}

void PipewireEngineTest::expectToneLevel(const std::vector<float>& recorded, double hz,
                                         double expectedDb, const std::string& what) {
  for (int channel = 0; channel < 2; ++channel) {
    SCOPED_TRACE(channel == 0 ? "left" : "right");
    const ToneLevel level = steadyToneLevel(recorded, channel, hz, kToneRate);
    // A loaded machine (a sanitizer build) breaks the tone often; 50 ms still measure it.
    EXPECT_GT(level.clean, size_t(kToneRate) / 20) << "50 ms of steady tone at least";
    EXPECT_NEAR(level.db, expectedDb, 0.1);
    std::printf("[ figures  ] %s, channel %d: %.3f dBFS (expected %.3f, error %+.4f dB) over "
                "%zu frames, %d breaks\n",
                what.c_str(), channel, level.db, expectedDb, level.db - expectedDb, level.clean,
                level.breaks);
  }
}

} // namespace velto::test
