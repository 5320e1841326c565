// The feedback suppressor inside a simulated acoustic loop: the bank's output comes back into its
// input 10 ms later through a narrow room resonance at 1 kHz with 13 dB of gain, so the loop's
// mode at 1 kHz grows by 13 dB per trip while its neighbours 100 Hz away die out. Quiet room
// noise starts it.
#include "feedback_rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace velto::test::fb {
namespace {

constexpr uint32_t kDelay = 480; // 10 ms from speaker to microphone
constexpr double kLoopGainDb = 13.0;

// Band-pass with 0 dB at its centre (cookbook form), double precision.
struct Resonance {
  Resonance(double hz, double q) {
    const double w = 2.0 * std::numbers::pi * hz / kRate;
    const double alpha = std::sin(w) / (2.0 * q), a0 = 1.0 + alpha;
    b0 = alpha / a0, b2 = -alpha / a0, a1 = -2.0 * std::cos(w) / a0, a2 = (1.0 - alpha) / a0;
  }
  double run(double x) {
    const double y = b0 * x + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1, x1 = x, y2 = y1, y1 = y;
    return y;
  }
  double b0, b2, a1, a2, x1 = 0, x2 = 0, y1 = 0, y2 = 0;
};

struct LoopRun {
  std::vector<double> outLevelDb; // per analysis period
  uint32_t gateAt = 0;            // first period whose microphone level reaches -55 dB
  uint32_t firstDetection = 0;    // period of the first detection (0 = none)
  uint32_t secondDetection = 0;
  float maxDuckDb = 0.0f; // deepest duck published during the run
  bool ranAway = false;
};

LoopRun runLoop(Rig& rig, uint32_t periods) {
  LoopRun run;
  Resonance room(1000.0, 30.0);
  const double loopGain = std::pow(10.0, kLoopGainDb / 20.0);
  std::mt19937 rng(5);
  std::normal_distribution<double> noise(0.0, 0.0003); // about -70 dB
  std::vector<float> history(kDelay, 0.0f);            // the bank's output, as a ring
  uint32_t write = 0;
  std::vector<float> mic(kHop);
  for (uint32_t k = 1; k <= periods && !run.ranAway; ++k) {
    // The output of a 64-frame block returns after kDelay >= 64 frames, so the microphone
    // signal of each block is known before the block runs.
    for (uint32_t block = 0; block < kHop; block += 64) {
      std::vector<float> buffer(128);
      for (uint32_t i = 0; i < 64; ++i) {
        const double back = room.run(history[(write + i) % kDelay]) * loopGain;
        mic[block + i] = static_cast<float>(noise(rng) + back);
        buffer[2 * i] = buffer[2 * i + 1] = mic[block + i];
      }
      rig.bank->process(buffer.data(), 64);
      for (uint32_t i = 0; i < 64; ++i) {
        history[(write + i) % kDelay] = buffer[2 * i];
        if (std::fabs(buffer[2 * i]) > 1e4f) run.ranAway = true;
      }
      write = (write + 64) % kDelay;
    }
    if (run.gateAt == 0 && levelDb(mic.data(), kHop) >= -55.0) run.gateAt = k;
    std::vector<float> out(kHop);
    for (uint32_t i = 0; i < kHop; ++i) out[i] = history[(write + kDelay - kHop + i) % kDelay];
    run.outLevelDb.push_back(levelDb(out.data(), kHop));
    if (run.firstDetection == 0 && rig.events() >= 1) run.firstDetection = k;
    if (run.secondDetection == 0 && rig.events() >= 2) run.secondDetection = k;
    run.maxDuckDb = std::max(run.maxDuckDb, rig.bank->feedbackDuckDb.load());
  }
  return run;
}

TEST(FeedbackLoop, WithoutTheSuppressorTheLoopHowls) {
  Rig rig;
  rig.bank->enabled[FxId::feedback].store(false);
  const LoopRun run = runLoop(rig, 400);
  EXPECT_TRUE(run.ranAway);
}

TEST(FeedbackLoop, HowlIsFoundNotchedAndDuckedAndTheLoopSettles) {
  Rig rig;
  const LoopRun run = runLoop(rig, 940); // 10 s
  ASSERT_FALSE(run.ranAway);
  ASSERT_GT(run.gateAt, 0u);
  // The howl rises by several dB per analysis, so it is found in the sixth analysis that
  // follows it, counting the one where it passes the gate.
  EXPECT_EQ(run.firstDetection, run.gateAt + 5);

  // The 12 dB notch leaves 2 dB of loop gain, so the howl comes back and is found again within
  // 3 s: the notch deepens and the input is ducked. Still growing by more than 1.5 dB per
  // 8 analyses, it is found again once it has held for 16 analyses at most.
  ASSERT_GT(run.secondDetection, run.firstDetection);
  EXPECT_LE(run.secondDetection, run.firstDetection + 16);
  const auto notches = rig.bank->notches();
  int active = 0;
  for (const auto& [hz, depth] : notches) {
    if (depth <= 0.0f) continue;
    ++active;
    EXPECT_NEAR(hz, 1000.0f, 40.0f); // the loop's mode at the resonance
    EXPECT_GE(depth, 18.0f);
  }
  EXPECT_GE(active, 1);
  EXPECT_EQ(run.maxDuckDb, 6.0f);
  EXPECT_EQ(rig.bank->feedbackDuckDb.load(), 0.0f); // released 2 s after, at 1 dB per second
  EXPECT_NEAR(rig.bank->feedbackLastHz.load(), 1000.0f, 40.0f);

  // The howl peaks shortly after it is found (unchecked it runs past +80 dB) and the loop is
  // stable again: the last second is back at the level of the room noise (-70 dB).
  const double loudest = *std::max_element(run.outLevelDb.begin(), run.outLevelDb.end());
  const double lastSecond = *std::max_element(run.outLevelDb.end() - 94, run.outLevelDb.end());
  EXPECT_LT(loudest, 12.0);
  EXPECT_LT(lastSecond, -65.0);
}

} // namespace
} // namespace velto::test::fb
