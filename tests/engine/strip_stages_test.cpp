#include "effects/fx_chain.h"
#include "effects/noise_filter.h"
#include "engine/bus.h"
#include "engine/strip.h"
#include "strip_signals.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace velto {
namespace {

// A strip wired like a hardware input: analysis ring, noise filter and effect chain.
struct HardwareInputStrip : ::testing::Test {
  void SetUp() override {
    strip.init("Input 1");
    strip.analysisRing = analysis.get();
    strip.noiseFilter = filter.get();
    strip.fxChain = chain.get();
    strip.routeMask = 1;
  }
  std::vector<float> read(StereoRing& ring) {
    std::vector<float> out(size_t{ring.capacity()} * 2);
    out.resize(size_t{ring.read(out.data(), ring.capacity())} * 2);
    return out;
  }
  Strip strip;
  std::unique_ptr<StereoRing> analysis = std::make_unique<StereoRing>(kAnalysisRingFrames);
  std::unique_ptr<NoiseFilter> filter = std::make_unique<NoiseFilter>();
  std::unique_ptr<FxChain> chain = std::make_unique<FxChain>();
};

TEST_F(HardwareInputStrip, EveryStageOffPassesTheInputBitIdentical) {
  const auto left = test::sine(3000, 1000.0, 0.6f);
  const auto right = test::sine(3000, 330.0, 0.2f);
  strip.produce({left.data(), 1}, {right.data(), 1}, 3000);
  const auto in = test::stereo(left, right);
  EXPECT_EQ(read(*analysis), in);
  EXPECT_EQ(read(*strip.rings[0]), in);
}

// The analysis ring sees the input before the noise filter, which delays by 512 frames.
TEST_F(HardwareInputStrip, AnalysisTapsTheInputAheadOfTheNoiseFilter) {
  filter->enabled = true;
  constexpr uint32_t kFrames = 4000;
  const auto left = test::sine(kFrames, 1000.0, 0.5f);
  const auto right = test::sine(kFrames, 2000.0, 0.5f);
  for (uint32_t pos = 0; pos < kFrames; pos += 500) {
    strip.produce({left.data() + pos, 1}, {right.data() + pos, 1}, 500);
  }
  EXPECT_EQ(read(*analysis), test::stereo(left, right));
  const auto out = read(*strip.rings[0]);
  ASSERT_EQ(out.size(), size_t{kFrames} * 2);
  for (uint32_t i = 0; i < kFrames; ++i) {
    const float wantLeft = i < 512 ? 0.0f : left[i - 512];
    const float wantRight = i < 512 ? 0.0f : right[i - 512];
    ASSERT_NEAR(out[2 * i], wantLeft, 1e-3f) << "frame " << i;
    ASSERT_NEAR(out[2 * i + 1], wantRight, 1e-3f) << "frame " << i;
  }
}

TEST(Bus, InitNamesTheBusAndCreatesZeroedBuffers) {
  Bus bus;
  bus.init("Velto Out 2");
  EXPECT_EQ(bus.name, "Velto Out 2");
  const std::vector<float>* buffers[] = {
      &bus.mix,     &bus.scratch, &bus.inputShares[0], &bus.inputShares[1], &bus.inputShares[2],
      &bus.echoWork};
  for (const auto* buffer : buffers) {
    ASSERT_EQ(buffer->size(), 8192u);
    for (float v : *buffer) ASSERT_EQ(v, 0.0f);
  }
  EXPECT_EQ(bus.gain.load(), 1.0f);
  EXPECT_FALSE(bus.mute.load());
  EXPECT_TRUE(bus.speaker.load());
  EXPECT_EQ(bus.lastGain, 1.0f);
  EXPECT_EQ(bus.fx, nullptr);
}

} // namespace
} // namespace velto
