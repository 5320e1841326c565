// Switching effects of a bank on and off while audio runs: the dry/wet crossfade of 2/15 per
// block, the reset at switch-on from fully off, the full-wet start of a fresh bank, and the
// untouched buffer when everything is off. The low cut is the effect under test, compared with
// an independent cookbook high-pass of the same corner.
#include "effects/input_fx.h"
#include "tests/effects/bank_signals.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace velto {
namespace {

constexpr uint32_t kBlock = 64;
constexpr double kQ = 1.0 / 1.41421356; // low cut at 12 dB per octave

class BankCrossfade : public testing::Test {
protected:
  // `blocks` blocks of a hum (removed by the low cut) plus a tone (kept); the left output.
  std::vector<float> feed(int blocks) {
    const size_t n = size_t{kBlock} * static_cast<size_t>(blocks);
    auto buffer = test::interleave(input(pos, n), input(pos, n));
    bank->process(buffer.data(), static_cast<uint32_t>(n));
    pos += n;
    EXPECT_EQ(test::channelOf(buffer, 0), test::channelOf(buffer, 1));
    return test::channelOf(buffer, 0);
  }
  static std::vector<float> input(size_t from, size_t n) {
    auto hum = test::sine(n, 40.0, 0.4f, from);
    const auto tone = test::sine(n, 700.0, 0.3f, from);
    for (size_t i = 0; i < n; ++i) hum[i] += tone[i];
    return hum;
  }
  // Runs the reference over the next `blocks` blocks without the bank (to keep it in step).
  void advance(test::RefHighPass& ref, int blocks) {
    for (const float x : input(pos, kBlock * static_cast<size_t>(blocks))) ref.run(x);
  }
  // One block checked against dry + (reference - dry) * g, g moving from `level` one step of
  // 2/15 toward on or off and landing on the end value with the block's last frame.
  double expectFadeBlock(test::RefHighPass& ref, double level, bool on, int b) {
    const auto dry = input(pos, kBlock);
    const auto out = feed(1);
    const double end = on ? std::min(level + 2.0 / 15.0, 1.0) : std::max(level - 2.0 / 15.0, 0.0);
    for (uint32_t k = 0; k < kBlock; ++k) {
      const double g = level + (end - level) * (k + 1) / kBlock;
      EXPECT_NEAR(out[k], dry[k] + (ref.run(dry[k]) - dry[k]) * g, 2e-6) << b << "/" << k;
    }
    return end;
  }

  std::unique_ptr<InputFx> bank = std::make_unique<InputFx>(); // feedback on: blocks run
  size_t pos = 0;
};

TEST_F(BankCrossfade, EffectsOnAtTheFirstBlockStartFullyWet) {
  bank->enabled[FxId::lowCut].store(true);
  test::RefHighPass ref(80.0, kQ);
  const auto dry = input(0, 4 * kBlock);
  const auto out = feed(4);
  for (size_t i = 0; i < out.size(); ++i) ASSERT_NEAR(out[i], ref.run(dry[i]), 1e-5) << i;
  EXPECT_EQ(bank->wetLevel[FxId::lowCut], 1.0f);
  EXPECT_EQ(bank->wetLevel[FxId::feedback], 1.0f);
}

TEST_F(BankCrossfade, SwitchingFadesOverEightBlocksAndBackAgainWithoutReset) {
  feed(10);
  bank->enabled[FxId::lowCut].store(true);
  test::RefHighPass ref(80.0, kQ); // switched on from fully off: the state starts cleared
  double level = 0.0;
  for (int b = 0; b < 10; ++b) {
    level = expectFadeBlock(ref, level, true, b);
    EXPECT_EQ(bank->wetLevel[FxId::lowCut] == 1.0f, b >= 7) << "block " << b;
  }
  // Off: the filter keeps running with its state while the level falls.
  bank->enabled[FxId::lowCut].store(false);
  for (int b = 0; b < 3; ++b) level = expectFadeBlock(ref, level, false, b);
  EXPECT_NEAR(bank->wetLevel[FxId::lowCut], 1.0 - 3 * 2.0 / 15.0, 1e-6);
  // On again before the fade ended: the level climbs from where it was, the state carries on.
  bank->enabled[FxId::lowCut].store(true);
  for (int b = 0; b < 3; ++b) level = expectFadeBlock(ref, level, true, b);
  EXPECT_EQ(bank->wetLevel[FxId::lowCut], 1.0f);
  // Off for good: eight blocks of fade, then the signal is left alone.
  bank->enabled[FxId::lowCut].store(false);
  for (int b = 0; b < 8; ++b) level = expectFadeBlock(ref, level, false, b);
  EXPECT_EQ(bank->wetLevel[FxId::lowCut], 0.0f);
  const auto dry = input(pos, 4 * kBlock);
  EXPECT_EQ(feed(4), dry);
  // On after the full fade-out: parameters snapped (no glide from 80 Hz), state cleared.
  bank->set(FxId::lowCut, 0, 200.0f);
  bank->enabled[FxId::lowCut].store(true);
  test::RefHighPass fresh(200.0, kQ);
  level = 0.0;
  for (int b = 0; b < 8; ++b) level = expectFadeBlock(fresh, level, true, b);
}

TEST_F(BankCrossfade, EveryEffectOffLeavesTheBufferBitIdentical) {
  test::switchAllOff(*bank); // a bus bank with its limiter switched off
  bank->enabled[FxId::lowCut].store(true);
  bank->enabled[FxId::eq].store(true);
  bank->set(FxId::eq, 3, 9.0f);
  feed(10);
  bank->enabled[FxId::lowCut].store(false);
  bank->enabled[FxId::eq].store(false);
  feed(8); // both faded out
  auto buffer = test::interleave(input(0, 48000), test::sine(48000, 5000.0, 0.7f));
  const auto original = buffer;
  bank->process(buffer.data(), 48000);
  EXPECT_EQ(std::memcmp(buffer.data(), original.data(), buffer.size() * sizeof(float)), 0);
}

TEST_F(BankCrossfade, AShortBlockStillStepsTheFadeByOneBlock) {
  feed(2);
  bank->enabled[FxId::lowCut].store(true);
  auto buffer = test::interleave(input(0, 100), input(0, 100));
  bank->process(buffer.data(), 100); // blocks of 64 and 36
  EXPECT_NEAR(bank->wetLevel[FxId::lowCut], 2 * 2.0 / 15.0, 1e-6);
}

} // namespace
} // namespace velto
