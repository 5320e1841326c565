#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "tests/support/dispatch_fixture.h"

namespace {

namespace pd = platform::dispatch;
using namespace std::chrono_literals;
using BackgroundQueueThreads = velto::test::DispatchTest;

// RMS of one second of a 1 kHz sine at 48000 Hz: amplitude / sqrt(2).
double sineRms(double amplitude) {
  std::vector<float> samples(48000);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = float(amplitude * std::sin(2.0 * std::numbers::pi * 1000.0 * double(i) / 48000.0));
  }
  double sum = 0;
  for (float s : samples) sum += double(s) * double(s);
  return std::sqrt(sum / double(samples.size()));
}

TEST_F(BackgroundQueueThreads, WorkRunsOffMainAndItsResultsAreInstalledOnMain) {
  // The pad bank's shape: decode in the background, install on the main queue.
  constexpr int kJobs = 16;
  std::vector<double> installed(kJobs, -1.0);
  int arrived = 0;
  std::atomic<int> ranOnMain{0};
  bool installedOnMain = true;
  for (int j = 0; j < kJobs; ++j) {
    const double amplitude = 0.05 * (j + 1);
    pd::backgroundAsync([&, j, amplitude] {
      if (pd::isMainThread()) ++ranOnMain;
      const double rms = sineRms(amplitude);
      pd::mainAsync([&, j, rms] {
        installedOnMain = installedOnMain && pd::isMainThread();
        installed[size_t(j)] = rms;
        ++arrived;
      });
    });
  }
  ASSERT_TRUE(pd::runMainQueueUntil([&] { return arrived == kJobs; }, 20s));
  EXPECT_EQ(ranOnMain.load(), 0);
  EXPECT_TRUE(installedOnMain);
  for (int j = 0; j < kJobs; ++j) {
    EXPECT_NEAR(installed[size_t(j)], 0.05 * (j + 1) / std::sqrt(2.0), 1e-5) << "job " << j;
  }
}

TEST_F(BackgroundQueueThreads, AllWorkersRunAtOnce) {
  pd::Semaphore started;
  pd::Semaphore release;
  for (int i = 0; i < pd::kBackgroundWorkers; ++i) {
    pd::backgroundAsync([&] {
      started.signal();
      release.wait();
    });
  }
  int running = 0;
  while (running < pd::kBackgroundWorkers && started.waitFor(5s)) ++running;
  EXPECT_EQ(running, pd::kBackgroundWorkers);
  for (int i = 0; i < pd::kBackgroundWorkers; ++i) release.signal();
  EXPECT_TRUE(pd::waitBackgroundIdle(5s));
}

TEST_F(BackgroundQueueThreads, WaitIdleTimesOutWhileWorkRunsAndReturnsOnceItEnds) {
  pd::Semaphore release;
  std::atomic<int> finished{0};
  pd::backgroundAsync([&] {
    release.wait();
    ++finished;
  });
  for (int i = 0; i < 8; ++i) pd::backgroundAsync([&] { ++finished; });
  const auto t0 = pd::Clock::now();
  EXPECT_FALSE(pd::waitBackgroundIdle(50ms));
  EXPECT_GE(pd::Clock::now() - t0, 50ms);
  release.signal();
  EXPECT_TRUE(pd::waitBackgroundIdle(5s));
  EXPECT_EQ(finished.load(), 9);
}

} // namespace
