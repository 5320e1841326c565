// The feedback suppressor's hand-over between an audio thread and the control side: the notch
// list and the duck are read while audio runs, and a reset request posted from the control side
// is carried out by the audio thread.
#include "feedback_rig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace velto::test::fb {
namespace {

bool waitFor(const std::function<bool()>& done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(FeedbackThreads, NotchListReachesTheControlSideAndResetCrossesBack) {
  Rig rig;
  std::atomic<bool> stop{false};
  std::thread audio([&] {
    Tone tone{1500.0, -66.0, 2.0};
    // Howl until found, then quiet room noise until told to stop.
    while (rig.events() == 0 && !stop.load()) rig.hop(tone.hop());
    while (!stop.load()) {
      rig.silence(1);
      std::this_thread::yield();
    }
  });

  const bool notched = waitFor([&] {
    for (const auto& [hz, depth] : rig.bank->notches()) {
      if (depth > 0.0f) return true;
    }
    return false;
  });
  EXPECT_TRUE(notched);
  if (notched) {
    EXPECT_NEAR(rig.bank->notches()[0].first, 1500.0f, 4.0f);
    EXPECT_EQ(rig.bank->notches()[0].second, 12.0f);
  }
  rig.bank->feedbackReset.fetch_add(1);
  EXPECT_TRUE(waitFor([&] { return rig.bank->notches()[0].second == 0.0f; }));
  stop.store(true);
  audio.join();
  EXPECT_EQ(rig.events(), 1u);
  EXPECT_NEAR(rig.bank->feedbackLastHz.load(), 1500.0f, 4.0f);
  EXPECT_EQ(rig.activeNotches(), 0);
}

} // namespace
} // namespace velto::test::fb
