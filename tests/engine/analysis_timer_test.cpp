// The measure timer: present exactly while an input measures, fires at once and then every
// 50 ms on the main queue, and drains only the rings of the measuring inputs.
#include "platform/dispatch/dispatch.h"
#include "tests/engine/analysis_fixture.h"

#include <chrono>

namespace velto::test {
namespace {

namespace dispatch = platform::dispatch;
using namespace std::chrono_literals;

using AnalysisTimer = AnalysisTest;

TEST_F(AnalysisTimer, MeasuringStartsATimerThatFiresAtOnceThenEvery50Ms) {
  EXPECT_EQ(engine->measureTimer, nullptr);
  const auto before = std::chrono::steady_clock::now();
  engine->startMeasure(1);
  ASSERT_NE(engine->measureTimer, nullptr);
  EXPECT_TRUE(engine->measureTimer->isRunning());

  // Queued after the start: the first fire, on the next turn of the queue, takes it.
  feedSine(1, 1024, 1000.0, 0.5f);
  dispatch::runMainQueueUntilIdle();
  const StereoRing& ring = *engine->hwInputs[1].analysisRing;
  EXPECT_EQ(ring.fill(), 0u);
  EXPECT_EQ(engine->analysis[1].windowFill, 384u) << "five windows learned";
  EXPECT_GT(engine->analysis[1].profile[10], -120.0f);

  // The next fire comes one interval after the first.
  feedSine(1, 512, 1000.0, 0.5f);
  ASSERT_TRUE(dispatch::runMainQueueUntil([&] { return ring.fill() == 0; }, 2s));
  EXPECT_GE(std::chrono::steady_clock::now() - before, 49ms);
  EXPECT_EQ(engine->analysis[1].windowFill, 384u);
}

TEST_F(AnalysisTimer, OnlyTheRingsOfMeasuringInputsAreDrained) {
  engine->startMeasure(0);
  feedSine(0, 2048, 1000.0, 0.5f);
  feedSine(2, 2048, 1000.0, 0.5f);
  dispatch::runMainQueueFor(120ms);
  EXPECT_EQ(engine->hwInputs[0].analysisRing->fill(), 0u);
  EXPECT_EQ(engine->hwInputs[2].analysisRing->fill(), 2048u);
  EXPECT_EQ(engine->analysis[2].windowFill, 0u);
}

TEST_F(AnalysisTimer, TimerLivesWhileAnyInputMeasures) {
  engine->startMeasure(0);
  engine->startMeasure(2);
  platform::dispatch::Timer* timer = engine->measureTimer.get();
  ASSERT_NE(timer, nullptr);
  engine->startMeasure(0); // again: the same timer
  EXPECT_EQ(engine->measureTimer.get(), timer);

  engine->stopMeasure(0);
  EXPECT_EQ(engine->measureTimer.get(), timer) << "input 3 still measures";
  engine->discardProfile(2);
  EXPECT_EQ(engine->measureTimer, nullptr);

  // Nothing drains the rings any more.
  feedSine(0, 1024, 1000.0, 0.5f);
  feedSine(2, 1024, 1000.0, 0.5f);
  dispatch::runMainQueueFor(120ms);
  EXPECT_EQ(engine->hwInputs[0].analysisRing->fill(), 1024u);
  EXPECT_EQ(engine->hwInputs[2].analysisRing->fill(), 1024u);
}

TEST_F(AnalysisTimer, UpdateMeasureTimerFollowsTheFlags) {
  engine->analysis[1].measuring = true;
  engine->updateMeasureTimer();
  ASSERT_NE(engine->measureTimer, nullptr);
  engine->updateMeasureTimer();
  EXPECT_NE(engine->measureTimer, nullptr);
  engine->analysis[1].measuring = false;
  engine->updateMeasureTimer();
  EXPECT_EQ(engine->measureTimer, nullptr);
}

TEST_F(AnalysisTimer, DestroyingAMeasuringEngineLeavesNothingToFire) {
  engine->startMeasure(0);
  engine->startMeasure(1);
  feedSine(0, 1024, 1000.0, 0.5f);
  engine.reset();
  // A fire on the destroyed engine would touch freed memory (caught by the sanitizer build).
  EXPECT_EQ(dispatch::runMainQueueFor(120ms), 0u);
}

} // namespace
} // namespace velto::test
