#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "tests/support/dispatch_fixture.h"

namespace {

namespace pd = platform::dispatch;
using namespace std::chrono_literals;
using Ms = std::chrono::duration<double, std::milli>;

using MainQueue = velto::test::DispatchTest;
using MainQueueThreads = velto::test::DispatchTest;

double msSince(pd::Clock::time_point t0) {
  return Ms(pd::Clock::now() - t0).count();
}

TEST_F(MainQueue, RunsWorkInPostingOrderAndWorkPostedByWorkAfterIt) {
  std::vector<int> order;
  for (int i = 0; i < 1000; ++i) {
    pd::mainAsync([&order, i] {
      order.push_back(i);
      if (i == 0) pd::mainAsync([&order] { order.push_back(1000); });
    });
  }
  EXPECT_EQ(pd::runMainQueueUntilIdle(), 1001u);
  ASSERT_EQ(order.size(), 1001u);
  for (int i = 0; i <= 1000; ++i) EXPECT_EQ(order[size_t(i)], i);
  EXPECT_EQ(pd::runMainQueueUntilIdle(), 0u);
}

TEST_F(MainQueue, DelayedWorkRunsInDueOrderAndNeverEarly) {
  struct Case {
    int id;
    int delayMs;
  };
  const Case cases[] = {{3, 60}, {0, 0}, {1, 20}, {2, 40}};
  std::vector<int> order;
  std::vector<double> ranAt(4, -1.0);
  const auto t0 = pd::Clock::now();
  for (const Case& c : cases) {
    pd::mainAfter(std::chrono::milliseconds(c.delayMs), [&, c] {
      order.push_back(c.id);
      ranAt[size_t(c.id)] = msSince(t0);
    });
  }
  EXPECT_EQ(pd::runMainQueueUntilIdle(), 1u); // only the undelayed one is due
  ASSERT_TRUE(pd::runMainQueueUntil([&] { return order.size() == 4; }, 5s));
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
  for (const Case& c : cases) EXPECT_GE(ranAt[size_t(c.id)], c.delayMs) << "item " << c.id;
}

TEST_F(MainQueue, RunForReturnsOnTimeWithOrWithoutWork) {
  struct Case {
    int durationMs;
    int delayedAtMs; // -1: nothing queued
    size_t expectRan;
  };
  const Case cases[] = {{0, -1, 0}, {30, -1, 0}, {100, -1, 0}, {100, 40, 1}, {100, 300, 0}};
  for (const Case& c : cases) {
    pd::resetMainQueue();
    if (c.delayedAtMs >= 0) pd::mainAfter(std::chrono::milliseconds(c.delayedAtMs), [] {});
    const auto t0 = pd::Clock::now();
    EXPECT_EQ(pd::runMainQueueFor(std::chrono::milliseconds(c.durationMs)), c.expectRan);
    const double took = msSince(t0);
    EXPECT_GE(took, c.durationMs) << c.durationMs << " ms";
    EXPECT_LT(took, c.durationMs + 250.0) << c.durationMs << " ms";
  }
}

TEST_F(MainQueue, RunUntilStopsAsSoonAsThePredicateHoldsOrAtTheTimeOut) {
  bool flag = false;
  // Timed from before the timers are set: they count from there.
  auto t0 = pd::Clock::now();
  pd::mainAfter(30ms, [&] { flag = true; });
  pd::mainAfter(400ms, [] {});
  EXPECT_TRUE(pd::runMainQueueUntil([&] { return flag; }, 5s));
  EXPECT_GE(msSince(t0), 30.0);
  EXPECT_LT(msSince(t0), 300.0);

  t0 = pd::Clock::now();
  EXPECT_FALSE(pd::runMainQueueUntil([] { return false; }, 80ms));
  EXPECT_GE(msSince(t0), 80.0);
  EXPECT_LT(msSince(t0), 330.0);
}

TEST_F(MainQueue, ResetDropsPendingWorkAndTimersAndReleasesTheirCaptures) {
  auto token = std::make_shared<int>(7);
  int ran = 0;
  pd::mainAsync([&ran, token] { ran += *token; });
  pd::mainAfter(10ms, [&ran, token] { ran += *token; });
  pd::Timer timer([&ran] { ++ran; });
  ASSERT_TRUE(timer.start(5ms, 1ms, 0ms));
  EXPECT_EQ(token.use_count(), 3);
  pd::resetMainQueue();
  EXPECT_EQ(token.use_count(), 1);
  EXPECT_FALSE(timer.isRunning());
  EXPECT_EQ(pd::runMainQueueFor(30ms), 0u);
  EXPECT_EQ(ran, 0);
  ASSERT_TRUE(timer.start(5ms, 1ms, 0ms)); // a stopped timer starts again
  EXPECT_TRUE(pd::runMainQueueUntil([&] { return ran >= 2; }, 5s));
}

TEST_F(MainQueueThreads, OnlyTheInitialThreadIsMainAndMayDrain) {
  int ran = 0;
  pd::mainAsync([&] { ++ran; });
  EXPECT_TRUE(pd::isMainThread());
  bool otherIsMain = true;
  size_t otherRan = 1;
  bool otherUntil = true;
  std::thread other([&] {
    otherIsMain = pd::isMainThread();
    otherRan = pd::runMainQueueUntilIdle() + pd::runMainQueueFor(10ms);
    otherUntil = pd::runMainQueueUntil([] { return true; }, 10ms);
    pd::resetMainQueue();
  });
  other.join();
  EXPECT_FALSE(otherIsMain);
  EXPECT_EQ(otherRan, 0u);
  EXPECT_FALSE(otherUntil);
  EXPECT_EQ(ran, 0);
  EXPECT_EQ(pd::runMainQueueUntilIdle(), 1u); // the other thread's reset did not drop it
  EXPECT_EQ(ran, 1);
}

TEST_F(MainQueueThreads, PostsFromManyThreadsAllRunOnMainInEachThreadsOrder) {
  constexpr int kThreads = 8;
  constexpr int kPosts = 500;
  std::vector<std::vector<int>> seen(kThreads);
  int total = 0;
  bool allOnMain = true;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPosts; ++i) {
        pd::mainAsync([&, t, i] {
          seen[size_t(t)].push_back(i);
          allOnMain = allOnMain && pd::isMainThread();
          ++total;
        });
      }
    });
  }
  // Drains while the posters are still posting.
  const bool done = pd::runMainQueueUntil([&] { return total == kThreads * kPosts; }, 20s);
  for (auto& p : posters) p.join();
  ASSERT_TRUE(done);
  EXPECT_TRUE(allOnMain);
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[size_t(t)].size(), size_t(kPosts));
    for (int i = 0; i < kPosts; ++i) EXPECT_EQ(seen[size_t(t)][size_t(i)], i);
  }
}

TEST_F(MainQueueThreads, SleepingDrainWakesForWorkPostedFromAnotherThread) {
  std::atomic<int64_t> postedAt{0};
  pd::Clock::time_point ranAt{};
  std::thread poster([&] {
    std::this_thread::sleep_for(50ms);
    postedAt = pd::Clock::now().time_since_epoch().count();
    pd::mainAsync([&] { ranAt = pd::Clock::now(); });
  });
  // Nothing else is queued, so without the wake-up this would sleep the whole 5 s.
  EXPECT_TRUE(pd::runMainQueueUntil([&] { return ranAt != pd::Clock::time_point{}; }, 5s));
  poster.join();
  const auto posted = pd::Clock::time_point(pd::Clock::duration(postedAt.load()));
  EXPECT_LT(Ms(ranAt - posted).count(), 200.0);
}

TEST_F(MainQueue, NextDeadlineIsTheEarliestOfWorkAndTimers) {
  EXPECT_EQ(pd::nextDeadline(), pd::Clock::time_point::max());
  const auto t0 = pd::Clock::now();
  pd::mainAfter(300ms, [] {});
  pd::Timer timer([] {});
  struct Case {
    const char* what;
    std::function<void()> step;
    double fromMs, toMs; // expected deadline after t0
  };
  const Case cases[] = {
      {"delayed work", [] {}, 300, 400},
      {"earlier timer", [&] { timer.start(100ms, 0ms); }, 100, 200},
      {"work due now", [] { pd::mainAsync([] {}); }, 0, 50},
  };
  for (const Case& c : cases) {
    c.step();
    const double at = Ms(pd::nextDeadline() - t0).count();
    EXPECT_GE(at, c.fromMs) << c.what;
    EXPECT_LT(at, c.toMs) << c.what;
  }
  timer.cancel();
  pd::resetMainQueue();
  EXPECT_EQ(pd::nextDeadline(), pd::Clock::time_point::max());
}

TEST_F(MainQueueThreads, WakeHookRunsForEveryPostFromAnyThreadAndTimerStart) {
  static std::atomic<int> wakes{0};
  wakes = 0;
  pd::setWakeHook([] { wakes.fetch_add(1); });
  std::thread poster([] {
    for (int i = 0; i < 10; ++i) pd::mainAsync([] {});
    pd::mainAfter(1h, [] {}); // never due in this test, however slow the machine
  });
  poster.join();
  pd::mainAsync([] {});
  pd::Timer timer([] {});
  timer.start(1h, 0ms);
  pd::setWakeHook(nullptr);
  pd::mainAsync([] {}); // no hook, nothing called
  EXPECT_EQ(wakes.load(), 13);
  EXPECT_EQ(pd::runMainQueueUntilIdle(), 12u); // the queue itself works as before
}

} // namespace
