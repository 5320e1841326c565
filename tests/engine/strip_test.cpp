#include "engine/strip.h"

#include "core/levels.h"
#include "strip_signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace velto {
namespace {

using test::constant;
using test::ramp;
using test::sine;

void produce(Strip& strip, const std::vector<float>& left, const std::vector<float>& right) {
  strip.produce({left.data(), 1}, {right.data(), 1}, static_cast<uint32_t>(left.size()));
}

// Everything waiting in ring k, as stereo frames.
std::vector<float> take(Strip& strip, int k) {
  std::vector<float> out(size_t{kRingFrames} * 2);
  out.resize(size_t{strip.rings[k]->read(out.data(), kRingFrames)} * 2);
  return out;
}

struct StripBlock : ::testing::Test {
  void SetUp() override { strip.init("Input 1"); }
  Strip strip;
};

TEST(Strip, InitCreatesScratchAndSixEmptyRings) {
  Strip strip;
  strip.init("Player");
  EXPECT_EQ(strip.name, "Player");
  ASSERT_EQ(strip.scratch.size(), 8192u);
  for (float v : strip.scratch) ASSERT_EQ(v, 0.0f);
  for (const auto& ring : strip.rings) {
    ASSERT_NE(ring, nullptr);
    EXPECT_EQ(ring->mask, 0x3fffu);
    EXPECT_EQ(ring->data.size(), 32768u);
    EXPECT_EQ(ring->writeIndex.load(), 0u);
  }
  // A second init replaces the rings with fresh, empty ones.
  strip.rings[0]->writeIndex.store(7);
  strip.init("Player");
  EXPECT_EQ(strip.rings[0]->writeIndex.load(), 0u);
}

TEST_F(StripBlock, ResetUnroutesUnmutesAndRestoresUnityGain) {
  strip.routeMask = 0x2a;
  strip.gain = 0.25f;
  strip.mute = true;
  strip.reset();
  EXPECT_EQ(strip.routeMask.load(), 0u);
  EXPECT_EQ(strip.gain.load(), 1.0f);
  EXPECT_FALSE(strip.mute.load());
}

TEST(Strip, RouteMaskOrDefaultRouteSelectsTheRings) {
  struct Case {
    uint32_t routeMask, defaultRoute, rings;
  };
  const Case cases[] = {
      {0, 8, 0b001000},        // system sound: default route to the fourth destination
      {1, 8, 0b000001},        // a routed mask ignores the default route
      {0, 0, 0},               // unrouted: no ring
      {0b101010, 0, 0b101010}, // every second bus
      {0x3f, 0, 0x3f},         // all six
      {0xffc0, 0, 0},          // bits past the sixth reach nothing
  };
  const auto left = sine(256, 1000.0, 0.5f);
  const auto right = sine(256, 250.0, 0.25f);
  const auto expected = test::stereo(left, right);
  for (const auto& c : cases) {
    Strip strip;
    strip.init("Mac-Ton");
    strip.routeMask = c.routeMask;
    strip.defaultRoute = c.defaultRoute;
    produce(strip, left, right);
    for (int k = 0; k < kRouteDestinations; ++k) {
      const bool routed = c.rings & (1u << k);
      EXPECT_EQ(take(strip, k), routed ? expected : std::vector<float>{})
          << "mask " << c.routeMask << " ring " << k;
    }
  }
}

TEST_F(StripBlock, GainRampReachesTargetOnLastFrameOfChunk) {
  struct Case {
    float from, to;
    uint32_t frames;
  };
  const Case cases[] = {
      {1.0f, 0.501187f, 4096}, {1.0f, 0.3f, 3}, {0.25f, 2.0f, 1000},
      {0.0f, 1.0f, 128},       {1.0f, 0.0f, 1}, {3.98f, 0.001f, 777},
  };
  strip.routeMask = 1;
  for (const auto& c : cases) {
    const auto left = constant(c.frames, 0.5f);
    const auto right = sine(c.frames, 440.0, 0.9f);
    strip.lastGain = c.from;
    strip.gain = c.to;
    produce(strip, left, right);
    const auto out = take(strip, 0);
    ASSERT_EQ(out.size(), size_t{c.frames} * 2);
    const float step = (c.to - c.from) / c.frames;
    for (uint32_t i = 0; i + 1 < c.frames; ++i) {
      const float g = c.from + step * (i + 1);
      ASSERT_NEAR(out[2 * i], 0.5f * g, 1e-6f) << "frame " << i;
      ASSERT_NEAR(out[2 * i + 1], right[i] * g, 1e-6f) << "frame " << i;
    }
    // The last frame lands on the target exactly, and so does every frame of the next call.
    EXPECT_EQ(out[2 * (c.frames - 1)], 0.5f * c.to);
    EXPECT_EQ(out[2 * (c.frames - 1) + 1], right[c.frames - 1] * c.to);
    EXPECT_EQ(strip.lastGain, c.to);
    produce(strip, left, right);
    const auto next = take(strip, 0);
    for (uint32_t i = 0; i < c.frames; ++i) ASSERT_EQ(next[2 * i], 0.5f * c.to);
  }
}

TEST_F(StripBlock, MuteRampsToSilenceThenStaysSilent) {
  strip.routeMask = 1;
  const auto tone = sine(512, 1000.0, 0.8f);
  strip.mute = true;
  produce(strip, tone, tone);
  const auto fading = take(strip, 0);
  for (uint32_t i = 0; i < 512; ++i) {
    const float g = 1.0f - (i + 1) / 512.0f;
    ASSERT_NEAR(fading[2 * i], tone[i] * g, 1e-6f) << "frame " << i;
  }
  EXPECT_EQ(fading[2 * 511], 0.0f);
  produce(strip, tone, tone);
  for (float v : take(strip, 0)) ASSERT_EQ(v, 0.0f);
  // Unmuting ramps back up over one chunk.
  strip.mute = false;
  produce(strip, tone, tone);
  const auto back = take(strip, 0);
  EXPECT_NEAR(back[2 * 255], tone[255] * 256.0f / 512.0f, 1e-6f);
  EXPECT_EQ(back[2 * 511], tone[511]);
}

TEST_F(StripBlock, LongBlockRunsInChunksWithTheRampInTheFirstOnly) {
  strip.routeMask = 1;
  const auto left = ramp(5000);
  const auto right = sine(5000, 100.0, 1.0f);
  strip.gain = 0.5f;
  produce(strip, left, right);
  const auto out = take(strip, 0);
  ASSERT_EQ(out.size(), 10000u);
  // First chunk: 4096 frames, 1.0 falling to 0.5 on frame 4095.
  EXPECT_NEAR(out[2 * 2047], left[2047] * (1.0f - 0.5f * 2048 / 4096), 1e-6f);
  EXPECT_EQ(out[2 * 4095], left[4095] * 0.5f);
  // Second chunk: 904 frames at the constant target.
  for (uint32_t i = 4096; i < 5000; ++i) {
    ASSERT_EQ(out[2 * i], left[i] * 0.5f) << "frame " << i;
    ASSERT_EQ(out[2 * i + 1], right[i] * 0.5f) << "frame " << i;
  }
}

TEST_F(StripBlock, ChannelLayoutsAreReadWithTheirStride) {
  constexpr uint32_t kFrames = 300;
  const auto a = sine(kFrames, 500.0, 0.7f);
  const auto b = ramp(kFrames, -1.0f);
  // A four-channel interleaved device with the stereo pair on channels 3 and 4.
  std::vector<float> quad(kFrames * 4, 9.0f);
  for (uint32_t i = 0; i < kFrames; ++i) {
    quad[4 * i + 2] = a[i];
    quad[4 * i + 3] = b[i];
  }
  struct Case {
    const char* what;
    ChannelRef left, right;
    const std::vector<float>* expectLeft;
    const std::vector<float>* expectRight;
  };
  const Case cases[] = {
      {"non-interleaved", {a.data(), 1}, {b.data(), 1}, &a, &b},
      {"interleaved 4ch", {quad.data() + 2, 4}, {quad.data() + 3, 4}, &a, &b},
      {"mono", {a.data(), 1}, {a.data(), 1}, &a, &a},
      {"mono of 4ch", {quad.data() + 3, 4}, {quad.data() + 3, 4}, &b, &b},
  };
  strip.routeMask = 2;
  for (const auto& c : cases) {
    strip.produce(c.left, c.right, kFrames);
    EXPECT_EQ(take(strip, 1), test::stereo(*c.expectLeft, *c.expectRight)) << c.what;
  }
}

TEST_F(StripBlock, MissingChannelReadsAsSilence) {
  strip.routeMask = 1;
  const auto a = sine(64, 500.0, 0.7f);
  strip.produce({a.data(), 1}, {nullptr, 1}, 64);
  EXPECT_EQ(take(strip, 0), test::stereo(a, constant(64, 0.0f)));
}

TEST_F(StripBlock, GainThatIsNotANumberKeepsTheLastGoodGain) {
  strip.routeMask = 1;
  const auto tone = sine(480, 1000.0, 1.0f);
  strip.gain = 0.5f;
  produce(strip, tone, tone);
  take(strip, 0);
  strip.meter.takeLeft();
  const float bad[] = {std::numeric_limits<float>::quiet_NaN(),
                       std::numeric_limits<float>::infinity(),
                       -std::numeric_limits<float>::infinity()};
  for (float g : bad) {
    strip.gain = g;
    produce(strip, tone, tone);
    const auto out = take(strip, 0);
    for (uint32_t i = 0; i < 480; ++i) ASSERT_EQ(out[2 * i], tone[i] * 0.5f) << "gain " << g;
    EXPECT_EQ(strip.lastGain, 0.5f);
    EXPECT_LE(strip.meter.takeLeft(), 0.5f);
  }
  // A good gain afterwards ramps from the last good one, not from the bad value.
  strip.gain = 0.25f;
  produce(strip, tone, tone);
  const auto out = take(strip, 0);
  for (float v : out) ASSERT_TRUE(std::isfinite(v));
  EXPECT_NEAR(out[2 * 239], tone[239] * (0.5f - 0.25f * 240 / 480), 1e-6f);
  EXPECT_EQ(out[2 * 479], tone[479] * 0.25f);
  // Muted, a bad gain still fades to silence.
  strip.gain = std::numeric_limits<float>::quiet_NaN();
  strip.mute = true;
  produce(strip, tone, tone);
  EXPECT_EQ(take(strip, 0)[2 * 479], 0.0f);
}

TEST_F(StripBlock, MeterHoldsTheLargestPeakUntilRead) {
  const auto loud = sine(480, 1000.0, 0.7f);
  const auto quiet = sine(480, 1000.0, 0.5f);
  const auto softer = sine(480, 1000.0, 0.3f);
  produce(strip, loud, softer);
  produce(strip, quiet, quiet);
  EXPECT_NEAR(strip.meter.left.load(), 0.7f, 1e-4f);
  EXPECT_NEAR(strip.meter.right.load(), 0.5f, 1e-4f);
  EXPECT_NEAR(strip.meter.takeLeft(), 0.7f, 1e-4f);
  EXPECT_EQ(strip.meter.takeLeft(), 0.0f);
  produce(strip, quiet, quiet);
  EXPECT_NEAR(strip.meter.takeLeft(), 0.5f, 1e-4f);
  // The meter reads after gain; an unrouted strip still meters.
  strip.gain = 0.5f;
  strip.lastGain = 0.5f;
  strip.meter.takeRight();
  produce(strip, loud, loud);
  EXPECT_NEAR(strip.meter.takeRight(), 0.35f, 1e-4f);
}

TEST(PeakMeter, CompareAndSwapMaximumAndExchangeRead) {
  PeakMeter meter;
  meter.raise(0.7f, 0.2f);
  meter.raise(0.5f, 0.4f);
  EXPECT_EQ(meter.left.load(), 0.7f);
  EXPECT_EQ(meter.right.load(), 0.4f);
  meter.raise(std::numeric_limits<float>::quiet_NaN(), 0.1f);
  EXPECT_EQ(meter.left.load(), 0.7f);
  EXPECT_EQ(meter.takeLeft(), 0.7f);
  EXPECT_EQ(meter.left.load(), 0.0f);
  meter.raise(0.5f, 0.0f);
  EXPECT_EQ(meter.takeLeft(), 0.5f);
  EXPECT_EQ(meter.takeRight(), 0.4f);
}

TEST_F(StripBlock, EmptyBlockChangesNothing) {
  strip.routeMask = 1;
  strip.meter.raise(0.3f, 0.3f);
  strip.gain = 0.1f;
  strip.produce({nullptr, 1}, {nullptr, 1}, 0);
  EXPECT_EQ(strip.meter.left.load(), 0.3f);
  EXPECT_EQ(strip.rings[0]->fill(), 0u);
  EXPECT_EQ(strip.lastGain, 1.0f);
}

TEST_F(StripBlock, ImpulseKeepsItsPositionAcrossBlocks) {
  strip.routeMask = 4;
  for (uint32_t at : {0u, 63u, 127u}) {
    const auto pulse = test::impulse(128, at, 0.9f);
    produce(strip, pulse, pulse);
  }
  const auto out = take(strip, 2);
  ASSERT_EQ(out.size(), 768u);
  for (uint32_t i = 0; i < 384; ++i) {
    const bool at = i == 0 || i == 128 + 63 || i == 256 + 127;
    EXPECT_EQ(out[2 * i], at ? 0.9f : 0.0f) << "frame " << i;
  }
}

} // namespace
} // namespace velto
