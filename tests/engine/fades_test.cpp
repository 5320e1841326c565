#include "engine/engine.h"
#include "core/levels.h"
#include "platform/dispatch/main_queue.h"
#include "tests/support/dispatch_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>

namespace velto {
namespace {

// A non-live engine: the whole model, no devices. Fades are exercised with explicit tick times
// taken from each fade's recorded start, so every value is exact.
class Fades : public test::DispatchTest {
protected:
  void SetUp() override {
    test::DispatchTest::SetUp();
    engine = std::make_unique<Engine>(false);
  }
  void TearDown() override {
    engine.reset();
    test::DispatchTest::TearDown();
  }

  const Engine::Fade* fadeOf(const std::atomic<float>& gain) const {
    for (const Engine::Fade& f : engine->fades) {
      if (f.gain == &gain) return &f;
    }
    return nullptr;
  }

  std::unique_ptr<Engine> engine;
};

float exactGain(float db) {
  return std::pow(10.0f, db / 20.0f);
}

TEST_F(Fades, HalfSpeedFadeToMinus6PassesMinus3HalfwayAndEndsExactly) {
  std::atomic<float>& gain = engine->buses[0].gain;
  ASSERT_EQ(gain.load(), 1.0f);
  engine->fadeTo(gain, -6.0f, 0.5f);

  const Engine::Fade* fade = fadeOf(gain);
  ASSERT_NE(fade, nullptr);
  EXPECT_NEAR(fade->duration, 5.0505, 1e-4);
  EXPECT_EQ(fade->fromDb, 0.0f);
  EXPECT_EQ(fade->toDb, -6.0f);
  const double start = fade->start;
  const double duration = fade->duration;

  engine->tickFades(start + 2.525);
  EXPECT_NEAR(gain.load(), exactGain(-3.0f), 2e-4f);
  EXPECT_NEAR(gain.load(), 0.708f, 1e-3f);

  engine->tickFades(start + duration);
  EXPECT_EQ(gain.load(), exactGain(-6.0f));
  EXPECT_EQ(fadeOf(gain), nullptr);
  float target = 123.0f;
  EXPECT_FALSE(engine->fadeTarget(gain, target));
  EXPECT_EQ(target, 123.0f);
}

TEST_F(Fades, StepsAreEqualInDbOverTime) {
  std::atomic<float>& gain = engine->virtualIns[0].strip.gain;
  engine->fadeTo(gain, -40.0f, 0.01f); // 10 s, 0 -> -40 dB: -4 dB per second
  const double start = fadeOf(gain)->start;
  EXPECT_EQ(fadeOf(gain)->duration, 10.0);
  for (int second = 0; second <= 9; ++second) {
    engine->tickFades(start + second);
    EXPECT_NEAR(gainToDb(gain.load()), -4.0f * second, 1e-3f) << "after " << second << " s";
  }
  // A tick before the start holds the starting level.
  engine->tickFades(start - 1.0);
  EXPECT_NEAR(gain.load(), 1.0f, 1e-6f);
}

TEST_F(Fades, FadeFromSilenceStartsAtTheFloorAndRisesThroughOneThousandth) {
  std::atomic<float>& gain = engine->hwInputs[0].strip.gain;
  gain = 0.0f;
  engine->fadeTo(gain, 0.0f, 0.5f);
  const Engine::Fade* fade = fadeOf(gain);
  ASSERT_NE(fade, nullptr);
  EXPECT_EQ(fade->fromDb, -60.0f);
  const double start = fade->start;
  const double duration = fade->duration;

  engine->tickFades(start);
  EXPECT_EQ(gain.load(), 0.0f);

  // 1 % of the way: -59.4 dB, just above the silent threshold.
  engine->tickFades(start + 0.01 * duration);
  EXPECT_GT(gain.load(), 0.001f);
  EXPECT_NEAR(gain.load(), exactGain(-59.4f), 1e-6f);

  engine->tickFades(start + 0.5 * duration);
  EXPECT_NEAR(gain.load(), exactGain(-30.0f), 1e-5f);
  engine->tickFades(start + duration);
  EXPECT_EQ(gain.load(), 1.0f);
}

TEST_F(Fades, FadeToTheFloorEndsAtExactlyZero) {
  std::atomic<float>& gain = engine->buses[1].gain;
  engine->fadeTo(gain, -60.0f, 0.5f);
  const double start = fadeOf(gain)->start;
  const double duration = fadeOf(gain)->duration;
  engine->tickFades(start + 0.999 * duration);
  EXPECT_GT(gain.load(), 0.0f);
  engine->tickFades(start + duration + 0.5);
  EXPECT_EQ(gain.load(), 0.0f);
  EXPECT_TRUE(engine->fades.empty());
}

TEST_F(Fades, TargetsOutsideTheFaderRangeAreClamped) {
  struct Case {
    float toDb;
    float clampedDb;
    float endGain;
  };
  const Case cases[] = {
      {20.0f, 12.0f, 3.981072f},
      {12.5f, 12.0f, 3.981072f},
      {-80.0f, -60.0f, 0.0f},
      {-60.5f, -60.0f, 0.0f},
  };
  for (const Case& c : cases) {
    std::atomic<float>& gain = engine->buses[2].gain;
    gain = 1.0f;
    engine->fadeTo(gain, c.toDb, 0.5f);
    float target = 0.0f;
    ASSERT_TRUE(engine->fadeTarget(gain, target)) << c.toDb;
    EXPECT_EQ(target, c.clampedDb) << c.toDb;
    engine->tickFades(fadeOf(gain)->start + fadeOf(gain)->duration);
    EXPECT_NEAR(gain.load(), c.endGain, 1e-5f) << c.toDb;
    EXPECT_EQ(fadeOf(gain), nullptr) << c.toDb;
  }
}

TEST_F(Fades, SpeedMapsToDurationWithSlowestTenSeconds) {
  struct Case {
    float speed;
    double seconds;
  };
  const Case cases[] = {
      {0.01f, 10.0}, {0.005f, 10.0}, {0.0f, 10.0}, {-3.0f, 10.0}, {0.5f, 5.0505}, {0.9f, 1.0101},
  };
  for (const Case& c : cases) {
    std::atomic<float>& gain = engine->virtualIns[1].strip.gain;
    engine->fadeTo(gain, -20.0f, c.speed);
    ASSERT_NE(fadeOf(gain), nullptr) << c.speed;
    EXPECT_NEAR(fadeOf(gain)->duration, c.seconds, 1e-4) << c.speed;
  }
}

TEST_F(Fades, ImmediateSpeedSetsTheGainAndEndsARunningFade) {
  // Alone it starts no timer.
  engine->fadeTo(engine->buses[2].gain, -6.0f, 1.0f);
  EXPECT_EQ(engine->buses[2].gain.load(), exactGain(-6.0f));
  EXPECT_EQ(engine->fadeTimer, nullptr);

  for (const float speed : {1.0f, 2.0f}) {
    std::atomic<float>& gain = engine->playerStrip.gain;
    gain = 1.0f;
    engine->fadeTo(gain, -20.0f, 0.3f);
    ASSERT_NE(fadeOf(gain), nullptr);

    engine->fadeTo(gain, -6.0f, speed);
    EXPECT_EQ(gain.load(), exactGain(-6.0f)) << speed;
    EXPECT_EQ(fadeOf(gain), nullptr) << speed;
    float target = 0.0f;
    EXPECT_FALSE(engine->fadeTarget(gain, target)) << speed;
  }
  // Immediate to the floor is silence.
  engine->fadeTo(engine->padsStrip.gain, -70.0f, 1.0f);
  EXPECT_EQ(engine->padsStrip.gain.load(), 0.0f);
}

TEST_F(Fades, SecondFadeOfTheSameGainStartsFromTheLevelReached) {
  std::atomic<float>& gain = engine->buses[0].gain;
  engine->fadeTo(gain, -20.0f, 0.5f);
  engine->tickFades(fadeOf(gain)->start + fadeOf(gain)->duration / 2);
  EXPECT_NEAR(gainToDb(gain.load()), -10.0f, 1e-3f);

  engine->fadeTo(gain, 0.0f, 0.5f);
  ASSERT_EQ(engine->fades.size(), 1u);
  EXPECT_NEAR(engine->fades[0].fromDb, -10.0f, 1e-3f);
  EXPECT_EQ(engine->fades[0].toDb, 0.0f);
  float target = -99.0f;
  ASSERT_TRUE(engine->fadeTarget(gain, target));
  EXPECT_EQ(target, 0.0f);

  engine->tickFades(engine->fades[0].start + engine->fades[0].duration);
  EXPECT_EQ(gain.load(), 1.0f);
}

TEST_F(Fades, FadesOnDifferentGainsRunSideBySide) {
  std::atomic<float>& slow = engine->buses[0].gain;
  std::atomic<float>& fast = engine->virtualIns[3].strip.gain;
  engine->fadeTo(slow, -6.0f, 0.5f);  // about 5.05 s
  engine->fadeTo(fast, -12.0f, 0.9f); // about 1.01 s
  ASSERT_EQ(engine->fades.size(), 2u);
  EXPECT_EQ(engine->fades[0].gain, &slow); // in the order started
  EXPECT_EQ(engine->fades[1].gain, &fast);

  const double slowStart = fadeOf(slow)->start;
  const double slowDuration = fadeOf(slow)->duration;
  const double fastEnd = fadeOf(fast)->start + fadeOf(fast)->duration;

  engine->tickFades(fastEnd);
  EXPECT_EQ(fast.load(), exactGain(-12.0f));
  EXPECT_EQ(fadeOf(fast), nullptr);
  ASSERT_NE(fadeOf(slow), nullptr);
  const float expectedSlowDb = -6.0f * static_cast<float>((fastEnd - slowStart) / slowDuration);
  EXPECT_NEAR(gainToDb(slow.load()), expectedSlowDb, 1e-3f);
  EXPECT_NE(engine->fadeTimer, nullptr);

  engine->tickFades(slowStart + slowDuration);
  EXPECT_EQ(slow.load(), exactGain(-6.0f));
  EXPECT_EQ(fast.load(), exactGain(-12.0f));
  EXPECT_TRUE(engine->fades.empty());
  EXPECT_EQ(engine->fadeTimer, nullptr);
}

TEST_F(Fades, CancelLeavesTheLevelReachedSoFar) {
  std::atomic<float>& gain = engine->buses[1].gain;
  engine->fadeTo(gain, -30.0f, 0.5f);
  const double start = fadeOf(gain)->start;
  const double duration = fadeOf(gain)->duration;
  engine->tickFades(start + duration / 3);
  const float reached = gain.load();
  EXPECT_NEAR(gainToDb(reached), -10.0f, 1e-3f);

  engine->cancelFade(gain);
  float target = 0.0f;
  EXPECT_FALSE(engine->fadeTarget(gain, target));
  engine->tickFades(start + duration);
  EXPECT_EQ(gain.load(), reached);
  // The tick that found nothing left released the timer.
  EXPECT_EQ(engine->fadeTimer, nullptr);
}

TEST_F(Fades, TimerExistsExactlyWhileAFadeMayRun) {
  EXPECT_EQ(engine->fadeTimer, nullptr);
  std::atomic<float>& gain = engine->buses[0].gain;
  engine->fadeTo(gain, -6.0f, 0.5f);
  ASSERT_NE(engine->fadeTimer, nullptr);
  EXPECT_TRUE(engine->fadeTimer->isRunning());

  // Cancelling keeps the timer until the next tick finds the list empty.
  engine->cancelFade(gain);
  EXPECT_NE(engine->fadeTimer, nullptr);
  engine->tickFades(Engine::clock());
  EXPECT_EQ(engine->fadeTimer, nullptr);
}

TEST_F(Fades, NonFiniteLevelSpeedOrTimeIsRefusedAndChangesNothing) {
  constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  struct Case {
    float toDb;
    float speed;
  };
  const Case cases[] = {
      {kNan, 0.5f},  {kNan, 1.0f},  {kInf, 1.0f},   {-kInf, 1.0f},
      {-6.0f, kNan}, {-6.0f, kInf}, {-6.0f, -kInf}, {kNan, kNan},
  };
  std::atomic<float>& gain = engine->buses[0].gain;
  std::atomic<float>& idle = engine->buses[1].gain;
  gain = 0.5f;
  engine->fadeTo(gain, -20.0f, 0.5f);
  const Engine::Fade before = engine->fades.at(0);

  for (const Case& c : cases) {
    engine->fadeTo(gain, c.toDb, c.speed);
    EXPECT_EQ(gain.load(), 0.5f) << c.toDb << " " << c.speed;
    ASSERT_EQ(engine->fades.size(), 1u) << c.toDb << " " << c.speed;
    EXPECT_EQ(engine->fades[0].toDb, before.toDb);
    EXPECT_EQ(engine->fades[0].start, before.start);

    engine->fadeTo(idle, c.toDb, c.speed);
    EXPECT_EQ(idle.load(), 1.0f) << c.toDb << " " << c.speed;
    EXPECT_EQ(fadeOf(idle), nullptr) << c.toDb << " " << c.speed;
  }

  // A tick at a time that is not a number moves nothing.
  engine->tickFades(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(gain.load(), 0.5f);
  ASSERT_EQ(engine->fades.size(), 1u);
  engine->tickFades(before.start + before.duration);
  EXPECT_EQ(gain.load(), exactGain(-20.0f));
}

TEST_F(Fades, GainThatIsNotANumberFadesInFromSilence) {
  std::atomic<float>& gain = engine->buses[0].gain;
  gain = std::numeric_limits<float>::quiet_NaN();
  engine->fadeTo(gain, -6.0f, 0.5f);
  ASSERT_NE(fadeOf(gain), nullptr);
  EXPECT_EQ(fadeOf(gain)->fromDb, -60.0f);
  engine->tickFades(fadeOf(gain)->start + fadeOf(gain)->duration / 2);
  EXPECT_TRUE(std::isfinite(gain.load()));
  EXPECT_NEAR(gainToDb(gain.load()), -33.0f, 1e-3f);
}

// The real 10 ms timer on the main queue: it fires at once, then drives the fade to its end
// and goes away.
TEST_F(Fades, MainQueueTimerDrivesAFadeToItsEndAndStops) {
  std::atomic<float>& gain = engine->buses[0].gain;
  const float speed = 1.0f - 0.02f * 0.99f; // about 0.2 s
  engine->fadeTo(gain, -60.0f, speed);
  ASSERT_NE(engine->fadeTimer, nullptr);
  const double duration = fadeOf(gain)->duration;
  EXPECT_NEAR(duration, 0.2, 1e-3);

  // The first fire is due at once: one turn of the queue ticks, near the starting level.
  EXPECT_GE(platform::dispatch::runMainQueueUntilIdle(), 1u);
  EXPECT_GT(gain.load(), 0.5f);

  float last = gain.load();
  int steps = 0;
  bool monotonic = true;
  const bool done = platform::dispatch::runMainQueueUntil(
      [&] {
        const float now = gain.load();
        if (now > last) monotonic = false;
        if (now != last) ++steps;
        last = now;
        return engine->fades.empty() && engine->fadeTimer == nullptr;
      },
      std::chrono::seconds(3));
  ASSERT_TRUE(done);
  EXPECT_TRUE(monotonic);
  EXPECT_EQ(gain.load(), 0.0f);
  // About 20 ticks of 10 ms; leave room for a busy machine.
  EXPECT_GE(steps, 3);
}

} // namespace
} // namespace velto
