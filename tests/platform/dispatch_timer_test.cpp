#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "tests/support/dispatch_fixture.h"

namespace {

namespace pd = platform::dispatch;
using namespace std::chrono_literals;
using Ms = std::chrono::duration<double, std::milli>;
using Timer = velto::test::DispatchTest;

double msSince(pd::Clock::time_point t0) {
  return Ms(pd::Clock::now() - t0).count();
}

// The rates the engine runs its timers at: player tick, fades, noise measuring, volume. How late
// a fire comes, and so how many are dropped, is the machine's load, not the timer's: lateness is
// recorded, not asserted. What holds under any load is judged: the timer keeps firing, in order,
// never before its point on the grid and so never more than once per interval.
TEST_F(Timer, FiresOncePerIntervalNeverEarly) {
  struct Case {
    int intervalMs;
    int leewayMs;
  };
  const Case cases[] = {{50, 10}, {10, 2}, {100, 20}};
  constexpr size_t kFires = 12;
  for (const Case& c : cases) {
    const std::string label = std::to_string(c.intervalMs) + " ms";
    const auto interval = std::chrono::milliseconds(c.intervalMs);
    std::vector<double> fires;
    fires.reserve(4 * kFires);
    pd::Clock::time_point t0;
    pd::Timer timer([&] { fires.push_back(msSince(t0)); });
    t0 = pd::Clock::now();
    ASSERT_TRUE(timer.start(interval, std::chrono::milliseconds(c.leewayMs)));
    // Idle, twelve fires take twelve intervals; the bound is for a machine many times overloaded.
    const bool reached = pd::runMainQueueUntil([&] { return fires.size() >= kFires; },
                                               interval * 20 * int(kFires) + 5s);
    timer.cancel();
    ASSERT_TRUE(reached) << label << ": " << fires.size() << " fires";

    double worst = 0;
    for (size_t n = 0; n < fires.size(); ++n) {
      const double grid = double(c.intervalMs) * double(n + 1);
      EXPECT_GE(fires[n], grid) << label << " fire " << n;
      if (n > 0) {
        EXPECT_GT(fires[n], fires[n - 1]) << label << " fire " << n;
      }
      worst = std::max(worst, fires[n] - grid);
    }
    RecordProperty("worst_lateness_us_" + std::to_string(c.intervalMs), int(worst * 1000));
  }
}

TEST_F(Timer, ZeroFirstDelayFiresOnTheNextTurnZeroIntervalIsRefused) {
  std::vector<double> fires;
  const auto t0 = pd::Clock::now();
  pd::Timer timer([&] { fires.push_back(msSince(t0)); });
  EXPECT_FALSE(timer.start(0ms, 1ms, 0ms)); // would spin the main thread
  EXPECT_FALSE(timer.isRunning());
  ASSERT_TRUE(timer.start(50ms, 10ms, 0ms));
  EXPECT_TRUE(fires.empty()); // never inside start
  EXPECT_EQ(pd::runMainQueueUntilIdle(), 1u);
  ASSERT_TRUE(pd::runMainQueueUntil([&] { return fires.size() == 3; }, 5s));
  EXPECT_LT(fires[0], 40.0);
  EXPECT_GE(fires[1], 50.0);
  EXPECT_GE(fires[2], 100.0);
}

TEST_F(Timer, CancelSkipsAFireThatWasAlreadyDue) {
  int fires = 0;
  pd::Timer timer([&] { ++fires; });
  ASSERT_TRUE(timer.start(10ms, 2ms));
  std::this_thread::sleep_for(35ms); // three fires due, none run: nobody drains
  timer.cancel();
  EXPECT_FALSE(timer.isRunning());
  pd::runMainQueueFor(50ms);
  EXPECT_EQ(fires, 0);
}

TEST_F(Timer, CancelFromTheHandlerEndsAfterThatFire) {
  int fires = 0;
  std::unique_ptr<pd::Timer> timer;
  timer = std::make_unique<pd::Timer>([&] {
    if (++fires == 3) timer->cancel();
  });
  ASSERT_TRUE(timer->start(5ms, 1ms));
  pd::runMainQueueFor(120ms);
  EXPECT_EQ(fires, 3);
  EXPECT_FALSE(timer->isRunning());
}

TEST_F(Timer, DestroyingItselfFromTheHandlerIsSafeAndFreesTheHandler) {
  // The fade timer is released by the tick that finds no fade left.
  auto token = std::make_shared<int>(0);
  int fires = 0;
  std::unique_ptr<pd::Timer> timer;
  timer = std::make_unique<pd::Timer>([&fires, &timer, token] {
    ++fires;
    ++*token;
    timer.reset();
    ++*token; // still valid: the handler lives until it returns
  });
  ASSERT_TRUE(timer->start(5ms, 1ms, 0ms));
  pd::runMainQueueFor(60ms);
  EXPECT_EQ(fires, 1);
  EXPECT_EQ(*token, 2);
  EXPECT_EQ(token.use_count(), 1);
}

TEST_F(Timer, RestartReplacesTheSchedule) {
  std::vector<double> fires;
  pd::Clock::time_point restartedAt;
  pd::Timer timer([&] { fires.push_back(msSince(restartedAt)); });
  ASSERT_TRUE(timer.start(300ms, 10ms));
  pd::runMainQueueFor(30ms);
  restartedAt = pd::Clock::now();
  ASSERT_TRUE(timer.start(10ms, 2ms));
  pd::runMainQueueFor(105ms);
  // A loaded machine hands the main thread back late: one fire each 10 ms it really ran.
  const double ran = msSince(restartedAt);
  ASSERT_GE(fires.size(), 7u);
  EXPECT_LE(double(fires.size()), ran / 10.0);
  EXPECT_GE(fires.front(), 10.0);
}

TEST_F(Timer, MissedFiresOfABusyMainThreadAreDroppedNotMadeUp) {
  std::vector<double> fires;
  const auto t0 = pd::Clock::now();
  pd::Timer timer([&] { fires.push_back(msSince(t0)); });
  ASSERT_TRUE(timer.start(20ms, 4ms));
  std::this_thread::sleep_for(105ms); // five fires due
  EXPECT_EQ(pd::runMainQueueUntilIdle(), 1u);
  ASSERT_TRUE(pd::runMainQueueUntil([&] { return fires.size() >= 2; }, 5s));
  EXPECT_GE(fires[1], 120.0); // back on the grid, not 20 ms after the late fire
}

} // namespace
