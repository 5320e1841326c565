// The effect bank's control side: a fresh bank, parameter writes with their clamping, rounding
// and refusals, reset, reduction readings, latency, any-effect and the looper's buffers.
#include "effects/input_fx.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>

namespace velto {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(BankParams, FreshBankHasOnlyFeedbackOnAndTableDefaults) {
  auto bank = std::make_unique<InputFx>();
  for (int id = 0; id < kFxCount; ++id) {
    EXPECT_EQ(bank->enabled[id].load(), id == FxId::feedback) << kFx[id].key;
    EXPECT_EQ(bank->reduction[id].load(), 1.0f);
    for (int i = 0; i < kFxMaxParams; ++i) {
      const float want = i < kFx[id].paramCount ? kFx[id].params[i].defaultValue : 0.0f;
      EXPECT_EQ(bank->params[id][i].load(), want) << kFx[id].key << " " << i;
    }
  }
  for (const auto& [hz, depth] : bank->notches()) EXPECT_EQ(hz + depth, 0.0f);
}

TEST(BankParams, SetClampsRoundsAndRefuses) {
  const struct {
    FxId id;
    const char* key;
    float written, stored;
  } cases[] = {
      {FxId::lowCut, "slope", 17, 12},          {FxId::lowCut, "slope", 19, 24},
      {FxId::lowCut, "slope", 18, 24},          {FxId::lowCut, "slope", 100, 24},
      {FxId::echo, "pingpong", 0.5f, 1},        {FxId::echo, "pingpong", 0.49f, 0},
      {FxId::feedback, "sensitivity", 7.5f, 8}, {FxId::feedback, "sensitivity", 7.49f, 7},
      {FxId::eq, "low-frequency", 5, 20},       {FxId::eq, "mid1-q", 50, 10},
      {FxId::eq, "mid2-gain", -2.35f, -2.35f},  {FxId::harmonizer, "voice1", -6.6f, -7},
      {FxId::chorus, "voices", 2.5f, 3},        {FxId::limiter, "ceiling", -20, -12},
  };
  for (const auto& c : cases) {
    auto bank = std::make_unique<InputFx>();
    const int i = findParam(&kFx[c.id], c.key);
    ASSERT_TRUE(bank->set(c.id, i, c.written));
    EXPECT_EQ(bank->params[c.id][i].load(), c.stored) << c.key << " written " << c.written;
    // Not a number, an infinity or a slot outside the table: refused, nothing changes.
    EXPECT_FALSE(bank->set(c.id, i, kNaN));
    EXPECT_FALSE(bank->set(c.id, i, -kInf));
    EXPECT_FALSE(bank->set(c.id, kFx[c.id].paramCount, 1.0f));
    EXPECT_EQ(bank->params[c.id][i].load(), c.stored);
  }
  auto bank = std::make_unique<InputFx>();
  EXPECT_FALSE(bank->set(FxId::eq, -1, 5.0f));
  EXPECT_FALSE(bank->set(static_cast<FxId>(15), 0, 1.0f));
  EXPECT_EQ(bank->params[FxId::lowCut][2].load(), 0.0f);
}

TEST(BankParams, ReductionReadingKeepsTheSmallestGainUntilTakenAndResetRestoresAll) {
  auto bank = std::make_unique<InputFx>();
  bank->noteReduction(FxId::gate, 0.5f);
  bank->noteReduction(FxId::gate, 0.8f); // never raises
  bank->noteReduction(FxId::gate, kNaN);
  EXPECT_NEAR(bank->takeReductionDb(FxId::gate), -6.0206f, 1e-3f);
  EXPECT_EQ(bank->takeReductionDb(FxId::gate), 0.0f); // nothing since the last read
  bank->noteReduction(FxId::limiter, 0.0f);           // floored at 1e-6
  EXPECT_NEAR(bank->takeReductionDb(FxId::limiter), -120.0f, 1e-3f);

  bank->enabled[FxId::echo].store(true);
  bank->enabled[FxId::feedback].store(false);
  bank->set(FxId::echo, 0, 900.0f);
  bank->noteReduction(FxId::compressor, 0.25f);
  bank->reset();
  EXPECT_TRUE(bank->enabled[FxId::feedback].load());
  EXPECT_FALSE(bank->enabled[FxId::echo].load());
  EXPECT_EQ(bank->params[FxId::echo][0].load(), 350.0f);
  EXPECT_EQ(bank->takeReductionDb(FxId::compressor), 0.0f);
}

TEST(BankParams, LatencyAddsEchoCancellerLookaheadAndPitch) {
  const struct {
    bool aec, limiter;
    float lookahead;
    bool pitch;
    float mode;
    uint32_t frames;
  } cases[] = {
      {false, false, 0, false, 0, 0},   {true, false, 0, false, 0, 256},
      {false, true, 0, false, 0, 0},    {false, true, 1, false, 0, 48},
      {false, false, 1, false, 0, 0},   {false, false, 0, true, 0, 1200},
      {false, false, 0, true, 1, 2112}, {true, true, 1, true, 1, 256 + 48 + 2112},
  };
  for (const auto& c : cases) {
    auto bank = std::make_unique<InputFx>();
    bank->enabled[FxId::aec].store(c.aec);
    bank->enabled[FxId::limiter].store(c.limiter);
    bank->set(FxId::limiter, 2, c.lookahead);
    bank->enabled[FxId::pitch].store(c.pitch);
    bank->set(FxId::pitch, 0, c.mode);
    EXPECT_EQ(bank->latencyFrames(), c.frames) << c.aec << c.limiter << c.lookahead << c.pitch;
  }
}

TEST(BankParams, AnyEffectIgnoresTheTools) {
  auto bank = std::make_unique<InputFx>();
  bank->enabled[FxId::aec].store(true);
  bank->enabled[FxId::gate].store(true);
  EXPECT_FALSE(bank->anyEffect()); // feedback, aec and gate are on, all tools
  bank->enabled[FxId::limiter].store(true);
  EXPECT_TRUE(bank->anyEffect());
}

TEST(BankParams, LooperBuffersAreMadeOnceAndZeroFilled) {
  auto bank = std::make_unique<InputFx>();
  EXPECT_EQ(bank->looperBase.load(), nullptr);
  bank->ensureLooper();
  float* base = bank->looperBase.load();
  ASSERT_NE(base, nullptr);
  ASSERT_NE(bank->looperLayerBuffer.load(), nullptr);
  ASSERT_NE(bank->looperTags.load(), nullptr);
  EXPECT_EQ(base[size_t{InputFx::kLoopFrames} * 2 - 1], 0.0f);
  EXPECT_EQ(bank->looperTags.load()[InputFx::kLoopFrames - 1], 0u);
  base[5] = 0.25f;
  bank->ensureLooper(); // already there: nothing is replaced
  EXPECT_EQ(bank->looperBase.load(), base);
  EXPECT_EQ(base[5], 0.25f);
}

} // namespace
} // namespace velto
