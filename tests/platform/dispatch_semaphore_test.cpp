#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "platform/dispatch/dispatch.h"
#include "tests/support/dispatch_fixture.h"

namespace {

namespace pd = platform::dispatch;
using namespace std::chrono_literals;
using Semaphore = velto::test::DispatchTest;
using SemaphoreThreads = velto::test::DispatchTest;

TEST_F(Semaphore, EachSignalLetsExactlyOneWaitThrough) {
  struct Case {
    long initial;
    int signals;
    int passes;
  };
  const Case cases[] = {{0, 0, 0}, {0, 3, 3}, {2, 1, 3}, {-4, 0, 0}, {-4, 2, 2}};
  for (const Case& c : cases) {
    pd::Semaphore sem(c.initial);
    for (int i = 0; i < c.signals; ++i) sem.signal();
    int passes = 0;
    while (passes < 10 && sem.waitFor(0ms)) ++passes;
    EXPECT_EQ(passes, c.passes) << "initial " << c.initial << ", signals " << c.signals;
  }
}

TEST_F(Semaphore, WaitForGivesUpAfterTheTimeOut) {
  pd::Semaphore sem;
  const auto t0 = pd::Clock::now();
  EXPECT_FALSE(sem.waitFor(60ms));
  const auto took = pd::Clock::now() - t0;
  EXPECT_GE(took, 60ms);
  EXPECT_LT(took, 500ms);
}

TEST_F(SemaphoreThreads, SignalFromAnotherThreadWakesTheWaiter) {
  pd::Semaphore sem;
  std::thread signaller([&] {
    std::this_thread::sleep_for(30ms);
    sem.signal();
  });
  const auto t0 = pd::Clock::now();
  EXPECT_TRUE(sem.waitFor(5s));
  EXPECT_LT(pd::Clock::now() - t0, 1s);
  signaller.join();
  EXPECT_FALSE(sem.waitFor(0ms));
}

// The HTTP server's shape: a server thread hands a request to the main queue and waits for the
// answer at most a while; a late step still runs and the shared objects outlive it.
struct HandOff {
  pd::Semaphore done;
  std::string reply = "503";
  bool stepRan = false;
};

std::string serve(const std::shared_ptr<HandOff>& h, pd::Duration wait) {
  pd::mainAsync([h] {
    h->reply = "200";
    h->stepRan = true;
    h->done.signal();
  });
  return h->done.waitFor(wait) ? h->reply : std::string("503");
}

TEST_F(SemaphoreThreads, HandOffToTheMainQueueAnswersInTimeOrLateWithoutHarm) {
  auto h = std::make_shared<HandOff>();
  std::string reply;
  std::thread server([&] { reply = serve(h, 2s); });
  ASSERT_TRUE(pd::runMainQueueUntil([&] { return h->stepRan; }, 5s));
  server.join();
  EXPECT_EQ(reply, "200");

  // Main does not drain: the server gives up, the queued step alone keeps the objects alive.
  std::weak_ptr<HandOff> alive;
  {
    auto late = std::make_shared<HandOff>();
    alive = late;
    std::thread slowServer([&reply, late] { reply = serve(late, 50ms); });
    slowServer.join();
  }
  EXPECT_EQ(reply, "503");
  ASSERT_FALSE(alive.expired());
  EXPECT_EQ(pd::runMainQueueUntilIdle(), 1u);
  EXPECT_TRUE(alive.expired());
}

} // namespace
