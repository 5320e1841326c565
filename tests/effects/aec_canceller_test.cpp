// One echo-canceller channel on its own: the transform pair, the plain delay of a fresh
// canceller, the residual suppressor's over-subtraction, floor and gain recovery, how it tells
// echo the filter has not learned from a near talker, and that it learns such echo.
#include "effects/echo_canceller.h"

#include "tests/effects/aec_room.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <memory>
#include <numbers>
#include <vector>

namespace velto {
namespace {

using test::aec::whiteFarEnd;
constexpr int kBlock = EchoCanceller::kBlock;

TEST(EchoCanceller, ForwardIsThePlainDftAndInverseUndoesIt) {
  auto canceller = std::make_unique<EchoCanceller>();
  const auto x = whiteFarEnd(256, 0.5f, 11);
  float re[129], im[129];
  canceller->fwd(x.data(), re, im);
  for (int k = 0; k <= 128; ++k) {
    std::complex<double> want = 0.0;
    for (int n = 0; n < 256; ++n) {
      want += static_cast<double>(x[n]) * std::polar(1.0, -2.0 * std::numbers::pi * k * n / 256.0);
    }
    EXPECT_NEAR(re[k], want.real(), 1e-4) << k;
    EXPECT_NEAR(im[k], want.imag(), 1e-4) << k;
  }
  EXPECT_EQ(im[0], 0.0f);
  EXPECT_EQ(im[128], 0.0f);
  float back[256];
  canceller->inv(re, im, back);
  for (int n = 0; n < 256; ++n) EXPECT_NEAR(back[n], x[n], 1e-6) << n;
}

TEST(EchoCanceller, FreshWithoutFarEndDelaysByOneBlock) {
  auto canceller = std::make_unique<EchoCanceller>();
  const auto near = whiteFarEnd(kBlock * 40, 0.3f, 12);
  const std::vector<float> silence(kBlock, 0.0f);
  std::vector<float> out(near.size());
  for (size_t b = 0; b < near.size() / kBlock; ++b) {
    std::copy_n(near.begin() + b * kBlock, kBlock, out.begin() + b * kBlock);
    canceller->process(out.data() + b * kBlock, silence.data(), 0.5f);
  }
  for (size_t t = 0; t < out.size(); ++t) {
    const float want = t < kBlock ? 0.0f : near[t - kBlock];
    ASSERT_NEAR(out[t], want, 2e-6) << t;
  }
  for (const float g : canceller->gains) EXPECT_EQ(g, 1.0f);
  EXPECT_EQ(canceller->suppressionDb, 0.0f);
}

// A filter preset to c at every bin estimates c times the current far block. With near = far the
// error is (1 - c) far, so |Y|^2 / |E|^2 = c^2 / (1 - c)^2 in every bin and each gain shows the
// over-subtraction factor times the leak directly. A fresh canceller trusts no filter yet: its
// leak is 1 (all of the estimate may still be echo the filter misses).
TEST(EchoCanceller, OverSubtractionGrowsFromOneToThirtyWithStrength) {
  constexpr float c = 0.1f;
  for (const float strength : {0.0f, 0.5f, 1.0f}) {
    auto canceller = std::make_unique<EchoCanceller>();
    for (int k = 0; k < EchoCanceller::kBins; ++k) canceller->filterRe[0][k] = c;
    const auto far = whiteFarEnd(kBlock, 0.2f, 13);
    auto near = far;
    canceller->process(near.data(), far.data(), strength);
    EXPECT_EQ(canceller->leak, 1.0f) << strength;
    const double factor = 29.0 * strength * strength + 1.0;
    const double want = 1.0 - factor * (c * c) / ((1 - c) * (1 - c));
    for (int k = 1; k < 128; ++k) EXPECT_NEAR(canceller->gains[k], want, 2e-3) << strength << k;
  }
}

TEST(EchoCanceller, SuppressionFloorFollowsStrength) {
  struct Case {
    float strength;
    double floorDb;
  };
  for (const Case c : {Case{0.0f, -6.0}, Case{0.5f, -18.0}, Case{1.0f, -30.0}}) {
    // The near end is the far end 4 ms later at half the level: the filter learns the one-tap
    // path, the estimate then dwarfs the residual and the gains sit on the floor.
    auto canceller = std::make_unique<EchoCanceller>();
    constexpr size_t kBlocks = 1200, kDelay = 192;
    const auto far = whiteFarEnd(kBlock * kBlocks, 0.2f, 14);
    std::vector<float> block(kBlock);
    for (size_t b = 0; b < kBlocks; ++b) {
      for (size_t i = 0; i < kBlock; ++i) {
        const size_t t = b * kBlock + i;
        block[i] = t < kDelay ? 0.0f : 0.5f * far[t - kDelay];
      }
      canceller->process(block.data(), far.data() + b * kBlock, c.strength);
    }
    const float floorGain = static_cast<float>(std::pow(10.0, c.floorDb / 20.0));
    float lowest = 1.0f;
    int onFloor = 0;
    for (const float g : canceller->gains) {
      lowest = std::min(lowest, g);
      if (std::fabs(g - floorGain) < 1e-6f) ++onFloor;
    }
    EXPECT_NEAR(lowest, floorGain, 1e-6) << c.strength;
    EXPECT_GT(onFloor, 100) << c.strength;
    EXPECT_GT(canceller->suppressionDb, 25.0f) << c.strength;
  }
}

TEST(EchoCanceller, GainsRecoverHalfwayPerBlock) {
  auto canceller = std::make_unique<EchoCanceller>();
  std::fill(std::begin(canceller->gains), std::end(canceller->gains), 0.2f);
  const auto near = whiteFarEnd(kBlock * 3, 0.2f, 15);
  const std::vector<float> silence(kBlock, 0.0f);
  std::vector<float> block(kBlock);
  for (const float expected : {0.6f, 0.8f, 0.9f}) {
    std::copy_n(near.begin(), kBlock, block.begin());
    canceller->process(block.data(), silence.data(), 1.0f); // no far end: no estimate, g = 1
    for (const float g : canceller->gains) ASSERT_NEAR(g, expected, 1e-6);
  }
}

TEST(EchoCanceller, NoFarEndMeansNoAdaptation) {
  auto canceller = std::make_unique<EchoCanceller>();
  const auto near = whiteFarEnd(kBlock * 50, 0.3f, 16);
  const std::vector<float> quiet(kBlock, 1e-5f); // mean square 1e-10: below the far-end threshold
  std::vector<float> block(kBlock);
  for (size_t b = 0; b < 50; ++b) {
    std::copy_n(near.begin() + b * kBlock, kBlock, block.begin());
    canceller->process(block.data(), quiet.data(), 0.5f);
  }
  for (int p = 0; p < EchoCanceller::kPartitions; ++p) {
    for (int k = 0; k < EchoCanceller::kBins; ++k) {
      ASSERT_EQ(canceller->filterRe[p][k], 0.0f);
      ASSERT_EQ(canceller->filterIm[p][k], 0.0f);
    }
  }
  EXPECT_EQ(canceller->suppressionDb, 0.0f);
}

TEST(EchoCanceller, ANonFiniteSampleIsForgottenAndCancellingGoesOn) {
  struct Case {
    const char* name;
    bool inNear;
    float value;
  };
  for (const Case c :
       {Case{"NaN at the microphone", true, NAN},
        Case{"infinity at the microphone", true, INFINITY}, Case{"NaN in the far end", false, NAN},
        Case{"infinity in the far end", false, -INFINITY}}) {
    auto canceller = std::make_unique<EchoCanceller>();
    constexpr size_t kBlocks = 900, kDelay = 192, kPoisoned = 300;
    auto far = whiteFarEnd(kBlock * kBlocks, 0.2f, 17);
    std::vector<float> block(kBlock);
    for (size_t b = 0; b < kBlocks; ++b) {
      for (size_t i = 0; i < kBlock; ++i) {
        const size_t t = b * kBlock + i;
        block[i] = t < kDelay ? 0.0f : 0.5f * far[t - kDelay];
      }
      if (b == kPoisoned) (c.inNear ? block[5] : far[b * kBlock + 5]) = c.value;
      canceller->process(block.data(), far.data() + b * kBlock, 0.5f);
    }
    for (const float s : block) ASSERT_TRUE(std::isfinite(s)) << c.name;
    for (const float g : canceller->gains) ASSERT_TRUE(std::isfinite(g)) << c.name;
    EXPECT_GT(canceller->suppressionDb, 20.0f) << c.name;
  }
}

// After 5 s of a white far end through a room, the microphone changes for a second. Echo the
// filter has not learned (the room's echo grows) correlates with the far end: most of the error
// is explained by it and its bins are suppressed. A near talker at the echo's level, or alone
// after the far end stops, correlates with nothing: the share stays low and the talker passes.
TEST(EchoCanceller, UnlearnedEchoIsExplainedByTheFarEndAndATalkerIsNot) {
  using namespace test::aec;
  struct Case {
    const char* name;
    float echoGain;   // after the change
    float talkerGain; // 1: a talker at about the echo's level
    bool farGoesOn;
    bool explained;
  };
  constexpr size_t kLearn = kRate * 5, kFrames = kRate * 6;
  const auto far = whiteFarEnd(kFrames, 0.1f, 18);
  const auto echo = convolve(far, roomOf(kRooms[1]));
  const auto talker = whiteFarEnd(kFrames, 0.05f, 19);
  for (const Case c : {Case{"the echo grows by 6 dB", 2.0f, 0.0f, true, true},
                       Case{"a near talker joins", 1.0f, 1.0f, true, false},
                       Case{"the far end stops for a talker", 1.0f, 1.0f, false, false}}) {
    auto canceller = std::make_unique<EchoCanceller>();
    std::vector<float> block(kBlock), farBlock(kBlock);
    double share = 0.0, gain = 0.0;
    int blocks = 0;
    for (size_t b = 0; b < kFrames / kBlock; ++b) {
      const bool changed = b * kBlock >= kLearn;
      for (int i = 0; i < kBlock; ++i) {
        const size_t t = b * kBlock + i;
        farBlock[i] = changed && !c.farGoesOn ? 0.0f : far[t];
        const float e = changed && !c.farGoesOn ? 0.0f : echo[t];
        block[i] = changed ? c.echoGain * e + c.talkerGain * talker[t] : e;
      }
      canceller->process(block.data(), farBlock.data(), 0.5f);
      if (b * kBlock >= kLearn + kRate / 2) {
        share += canceller->explained;
        for (const float g : canceller->gains) gain += g;
        ++blocks;
      }
    }
    ASSERT_GT(blocks, 0);
    share /= blocks;
    gain /= blocks * EchoCanceller::kBins;
    if (c.explained) {
      EXPECT_GT(share, 0.6) << c.name;
      EXPECT_LT(gain, 0.5) << c.name;
    } else {
      EXPECT_LT(share, 0.3) << c.name;
      EXPECT_GT(gain, 0.8) << c.name;
    }
    EXPECT_EQ(canceller->divergences, 0u) << c.name;
  }
}

// White noise between lo and hi Hz: a windowed-sinc band-pass over white noise.
std::vector<float> bandNoise(size_t n, double lo, double hi, unsigned seed) {
  constexpr int kTaps = 511;
  std::vector<float> h(kTaps);
  for (int i = 0; i < kTaps; ++i) {
    const double t = i - kTaps / 2;
    const double w = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * (i + 0.5) / kTaps);
    const auto pass = [&](double f) {
      return t == 0.0 ? 2.0 * f / test::aec::kRate
                      : std::sin(2.0 * std::numbers::pi * f * t / test::aec::kRate) /
                            (std::numbers::pi * t);
    };
    h[i] = static_cast<float>((pass(hi) - pass(lo)) * w);
  }
  return test::aec::convolve(whiteFarEnd(n, 0.1f, seed), h);
}

// After seconds of a far end below 2 kHz, it also sounds 5-10 kHz. The echo in the new band
// stands far above the usual error, as a near talker's would, but the far end explains it: the
// filter learns it instead of holding still, and nothing is taken for a changed room.
TEST(EchoCanceller, EchoInABandTheFarEndStartsToSoundIsLearnedNotHeld) {
  using namespace test::aec;
  constexpr size_t kChange = kRate * 6, kFrames = kRate * 9;
  const auto low = bandNoise(kFrames, 50.0, 2000.0, 21);
  const auto highAll = bandNoise(kFrames, 5000.0, 10000.0, 22);
  std::vector<float> high(kFrames, 0.0f), far(kFrames);
  for (size_t t = kChange; t < kFrames; ++t) high[t] = highAll[t];
  for (size_t t = 0; t < kFrames; ++t) far[t] = low[t] + high[t];
  for (const Room& room : kRooms) {
    const auto echo = convolve(far, roomOf(room));
    const auto highEcho = convolve(high, roomOf(room));
    const auto near = mixed(echo, whiteFarEnd(kFrames, 0.000316f, 23));
    auto canceller = std::make_unique<EchoCanceller>();
    std::vector<float> block(kBlock), error(kFrames);
    for (size_t b = 0; b < kFrames / kBlock; ++b) {
      std::copy_n(near.begin() + b * kBlock, kBlock, block.begin());
      canceller->process(block.data(), far.data() + b * kBlock, 0.5f);
      std::copy_n(canceller->previousError, kBlock, error.begin() + b * kBlock);
    }
    // Before the change the low band is cancelled; 2.5 s after it the new band's echo is more
    // than 8 dB down in the filter's own error (held, it would stay at 0 dB).
    EXPECT_GE(erleDb(near, error, kChange - kRate, kChange), 25.0) << room.name;
    EXPECT_GE(erleDb(highEcho, error, kChange + kRate * 5 / 2, kFrames), 8.0) << room.name;
    EXPECT_EQ(canceller->divergences, 0u) << room.name;
  }
}

} // namespace
} // namespace velto
