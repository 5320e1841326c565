// The peak limiter, in an input's bank and in a hardware output's bank (feedback off, limiter on):
// the ceiling holds on every test signal with and without look-ahead, look-ahead delays by exactly
// 48 frames, attack is instant, release follows its time constant, a mode switch rebuilds the
// state, and a bus starts at unity gain instead of fading in from silence.
#include "tests/effects/dyn_signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

namespace velto {
namespace {

using namespace test::dyn;

constexpr uint32_t kLookahead = 48;

// The bank a hardware output owns: fresh, feedback suppression off, limiter on.
std::unique_ptr<InputFx> busBank() {
  auto bank = std::make_unique<InputFx>();
  bank->enabled[FxId::feedback].store(false);
  bank->enabled[FxId::limiter].store(true);
  return bank;
}

struct Signal {
  const char* name;
  std::function<std::vector<float>(size_t)> make;
};

std::vector<Signal> hotSignals() {
  return {
      {"sine +6 dB", [](size_t n) { return sine(n, 997.0, 2.0); }},
      {"clicks",
       [](size_t n) {
         std::vector<float> x(n, 0.0f);
         for (size_t i = 300; i < n; i += 1111) x[i] = (i / 1111) % 2 ? -1.0f : 1.0f;
         return x;
       }},
      {"noise bursts",
       [](size_t n) {
         auto x = noise(n, 1.5, 11);
         for (size_t i = 0; i < n; ++i) x[i] *= (i / 2400) % 2 ? 0.05f : 1.0f;
         return x;
       }},
      {"sweep",
       [](size_t n) {
         std::vector<float> x(n);
         double phase = 0.0;
         for (size_t i = 0; i < n; ++i) {
           phase += 2.0 * std::numbers::pi * (20.0 + 20000.0 * static_cast<double>(i) / n) / kRate;
           x[i] = static_cast<float>(1.4 * std::sin(phase));
         }
         return x;
       }},
      {"square +3 dB", [](size_t n) { return square(n, 60.0, 1.41); }},
  };
}

// Every hot signal, every ceiling, both modes: no output sample above the ceiling (up to the
// rounding of one float division and product).
TEST(Limiter, OutputNeverExceedsTheCeiling) {
  for (const float ceiling : {-1.0f, -6.0f, -12.0f}) {
    for (const float lookahead : {0.0f, 1.0f}) {
      for (const Signal& sig : hotSignals()) {
        auto bank = busBank();
        setParams(*bank, FxId::limiter,
                  {{"ceiling", ceiling}, {"lookahead", lookahead}, {"release", 5.0f}});
        Stereo s = {sig.make(48000), sig.make(48000)};
        std::reverse(s.right.begin(), s.right.end());
        run(*bank, s);
        const double limit = dbToGain(ceiling) * (1.0 + 1e-6);
        EXPECT_LE(peakRange(s.left, 0, s.left.size()), limit) << sig.name << " " << ceiling;
        EXPECT_LE(peakRange(s.right, 0, s.right.size()), limit) << sig.name << " " << ceiling;
        EXPECT_LT(bank->takeReductionDb(FxId::limiter), 0.0f) << sig.name;
      }
    }
  }
}

// Without look-ahead the sample that triggers the reduction already leaves at the ceiling.
TEST(Limiter, InstantAttackPutsTheTriggeringSampleAtTheCeiling) {
  auto bank = busBank();
  Stereo s = both(sine(4800, 200.0, 0.1));
  s.left[1000] = 1.0f; // one click, left only: the gain is linked
  const Stereo in = s;
  run(*bank, s);
  const float k = dbToGain(-1.0);
  EXPECT_NEAR(s.left[1000], k, 1e-6);
  EXPECT_NEAR(s.right[1000], in.right[1000] * k, 1e-7);
  EXPECT_EQ(s.left[999], in.left[999]) << "nothing changes ahead of the click";
  EXPECT_NEAR(bank->takeReductionDb(FxId::limiter), -1.0, 1e-4);
}

// Release: after a burst that asked for gain g0, a quiet signal sees 1 - (1 - g0) e^(-t / release).
TEST(Limiter, GainRecoversWithTheReleaseTimeConstant) {
  for (const float releaseMs : {1.0f, 50.0f, 500.0f}) {
    auto bank = busBank();
    setParams(*bank, FxId::limiter, {{"ceiling", -6.0f}, {"release", releaseMs}});
    const double tau = releaseMs * 48.0;
    const size_t burst = 4800;
    Stereo s = both(
        concat({square(burst, 100.0, 1.0), square(static_cast<size_t>(6 * tau) + 10, 100.0, 0.1)}));
    const Stereo in = s;
    run(*bank, s);
    const double g0 = dbToGain(-6.0);
    for (const double k : {0.5, 1.0, 3.0}) {
      const size_t n = burst + static_cast<size_t>(k * tau) - 1;
      EXPECT_NEAR(s.left[n] / in.left[n], 1.0 - (1.0 - g0) * std::exp(-k), 1e-3)
          << releaseMs << " ms at " << k;
    }
  }
}

// With look-ahead a signal below the ceiling comes out exactly 48 frames late, and the first 48
// frames are silent (the delay line starts empty).
TEST(Limiter, LookaheadDelaysByExactly48Frames) {
  auto bank = busBank();
  setParams(*bank, FxId::limiter, {{"lookahead", 1.0f}});
  EXPECT_EQ(bank->latencyFrames(), kLookahead);
  Stereo s = {sine(9600, 440.0, 0.8), noise(9600, 0.5, 2)};
  const Stereo in = s;
  run(*bank, s, 128);
  for (size_t n = 0; n < s.left.size(); ++n) {
    const float l = n < kLookahead ? 0.0f : in.left[n - kLookahead];
    const float r = n < kLookahead ? 0.0f : in.right[n - kLookahead];
    ASSERT_EQ(s.left[n], l) << n;
    ASSERT_EQ(s.right[n], r) << n;
  }
}

// A full-scale click on a quiet tone is already down at the ceiling when it leaves the line, and
// the gain has been lowered ahead of it rather than after it.
TEST(Limiter, LookaheadCatchesAClickBeforeItLeaves) {
  auto bank = busBank();
  setParams(*bank, FxId::limiter, {{"lookahead", 1.0f}, {"ceiling", -3.0f}});
  Stereo s = both(sine(4800, 300.0, 0.2));
  const size_t click = 2000;
  s.left[click] = s.right[click] = 1.0f;
  const Stereo in = s;
  run(*bank, s);
  const float k = dbToGain(-3.0);
  EXPECT_LE(std::fabs(s.left[click + kLookahead]), k * (1.0f + 1e-6f));
  EXPECT_GT(std::fabs(s.left[click + kLookahead]), 0.9f * k) << "not over-limited";
  const size_t before = click + kLookahead - 24;
  EXPECT_LT(std::fabs(s.left[before]), std::fabs(in.left[before - kLookahead]) * 0.95f)
      << "the gain goes down ahead of the click";
}

// Turning look-ahead on rebuilds the state: a gap of 48 silent frames, then the delayed signal;
// turning it off again passes the signal at once with no delay.
TEST(Limiter, SwitchingLookaheadRebuildsTheDelayLine) {
  auto bank = busBank();
  const auto tone = sine(3 * 4096, 440.0, 0.5);
  std::vector<float> buffer(2 * 4096);
  std::vector<float> out;
  for (int part = 0; part < 3; ++part) {
    setParams(*bank, FxId::limiter, {{"lookahead", part == 1 ? 1.0f : 0.0f}});
    for (uint32_t i = 0; i < 4096; ++i) buffer[2 * i] = buffer[2 * i + 1] = tone[part * 4096 + i];
    bank->process(buffer.data(), 4096);
    for (uint32_t i = 0; i < 4096; ++i) out.push_back(buffer[2 * i]);
  }
  for (size_t n = 0; n < out.size(); ++n) {
    float expected = tone[n];
    if (n >= 4096 && n < 2 * 4096) expected = n < 4096 + kLookahead ? 0.0f : tone[n - kLookahead];
    ASSERT_EQ(out[n], expected) << n;
  }
}

// The hardware outputs' limiter is on from the bus bank's first block: a signal below the
// ceiling passes at unity from the very first sample, with no fade-in from silence.
TEST(Limiter, BusStartsAtUnityGainWithoutFadeIn) {
  for (const float lookahead : {0.0f, 1.0f}) {
    for (const uint32_t callback : {32u, 128u, 512u}) {
      auto bank = busBank();
      setParams(*bank, FxId::limiter, {{"lookahead", lookahead}}); // as replayed before audio
      Stereo s = {sine(4096, 1000.0, 0.7, 12), sine(4096, 250.0, 0.5, 3)};
      const Stereo in = s;
      run(*bank, s, callback);
      const size_t delay = lookahead > 0.5f ? kLookahead : 0;
      for (size_t n = 0; n < s.left.size(); ++n) {
        ASSERT_EQ(s.left[n], n < delay ? 0.0f : in.left[n - delay]) << callback << " " << n;
        ASSERT_EQ(s.right[n], n < delay ? 0.0f : in.right[n - delay]) << callback << " " << n;
      }
      EXPECT_EQ(bank->takeReductionDb(FxId::limiter), 0.0f);
    }
  }
}

// Switched off while deep in reduction and on again after the fade-out, the limiter starts over
// at unity instead of carrying the old reduction.
TEST(Limiter, ReenabledLimiterStartsAtUnity) {
  auto bank = busBank();
  setParams(*bank, FxId::limiter, {{"release", 500.0f}});
  Stereo hot = both(square(4800, 100.0, 4.0));
  run(*bank, hot);
  bank->enabled[FxId::limiter].store(false);
  Stereo quiet = both(sine(1024, 500.0, 0.3)); // 16 blocks: the fade-out ends
  run(*bank, quiet);
  bank->enabled[FxId::limiter].store(true);
  Stereo s = both(sine(2048, 500.0, 0.3, 1024));
  const Stereo in = s;
  run(*bank, s);
  EXPECT_EQ(s.left, in.left);
}

} // namespace
} // namespace velto
