// What chorus, echo and reverb share: the dry signal stays at full level (mix 0 changes nothing)
// and a re-enabled effect starts without the old tail.
#include "tests/effects/dyn_signals.h"

#include <gtest/gtest.h>

#include <cmath>

namespace velto {
namespace {

using namespace test::dyn;

struct TimeEffect {
  FxId id;
  const char* name;
};

class TimeEffects : public testing::TestWithParam<TimeEffect> {
protected:
  // The effect under test on from the first block, with those of the values its row knows.
  std::unique_ptr<InputFx> bank(std::initializer_list<std::pair<const char*, float>> values) {
    const FxId id = GetParam().id;
    auto b = bankWith(id);
    for (const auto& [key, value] : values) {
      const int i = findParam(&kFx[id], key);
      if (i >= 0) b->set(id, i, value);
    }
    return b;
  }
};

Stereo voiceLike(size_t n, unsigned seed) {
  Stereo s = {noise(n, 0.3, seed), noise(n, 0.3, seed + 1)};
  const auto envelope = sine(n, 3.0, 1.0);
  for (size_t i = 0; i < n; ++i) s.left[i] *= std::fabs(envelope[i]);
  return s;
}

TEST_P(TimeEffects, MixZeroLeavesTheDrySignalExactly) {
  auto fx = bank({{"mix", 0.0f}});
  Stereo s = voiceLike(24000, 1);
  const Stereo in = s;
  run(*fx, s);
  EXPECT_EQ(s.left, in.left);
  EXPECT_EQ(s.right, in.right);
}

// Switched off, faded out, then on again over silence: no trace of the earlier signal.
TEST_P(TimeEffects, ReenabledEffectStartsWithoutTheOldTail) {
  auto fx = bank({{"mix", 100.0f}, {"feedback", 90.0f}, {"decay", 10.0f}});
  Stereo loud = voiceLike(24000, 5);
  run(*fx, loud);
  fx->enabled[GetParam().id].store(false);
  Stereo fadeOut = silence(1024); // 16 blocks: the fade ends after 8
  run(*fx, fadeOut);
  EXPECT_GT(peakRange(fadeOut.left, 0, 256), 1e-3) << "the tail rang on while fading out";
  fx->enabled[GetParam().id].store(true);
  Stereo after = silence(24000);
  run(*fx, after);
  EXPECT_EQ(peakRange(after.left, 0, after.left.size()), 0.0);
  EXPECT_EQ(peakRange(after.right, 0, after.right.size()), 0.0);
}

INSTANTIATE_TEST_SUITE_P(Effects, TimeEffects,
                         testing::Values(TimeEffect{FxId::chorus, "chorus"},
                                         TimeEffect{FxId::echo, "echo"},
                                         TimeEffect{FxId::reverb, "reverb"}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace velto
