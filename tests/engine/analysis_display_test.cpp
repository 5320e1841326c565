// The live display of an input: history of the latest mono samples and the peak-hold spectrum.
#include "tests/engine/analysis_fixture.h"

#include <algorithm>
#include <vector>

namespace velto::test {
namespace {

constexpr float kFloorDb = -140.0f;

using AnalysisDisplay = AnalysisTest;

TEST_F(AnalysisDisplay, EmptyRingChangesNothing) {
  engine->tickAnalysis(0);
  const InputAnalysis& a = engine->analysis[0];
  EXPECT_TRUE(std::all_of(a.spectrum.begin(), a.spectrum.end(), [](float v) { return v == -120; }));

  feedSine(0, 4096, 1000.0, 1.0f);
  engine->tickAnalysis(0);
  const std::vector<float> spectrum = a.spectrum;
  const std::vector<float> history = a.history;
  const uint32_t fill = a.windowFill;
  for (int k = 0; k < 3; ++k) engine->tickAnalysis(0);
  EXPECT_EQ(a.spectrum, spectrum) << "no frames: the display must not decay";
  EXPECT_EQ(a.history, history);
  EXPECT_EQ(a.windowFill, fill);
}

struct SineCase {
  double hz;
  float amplitude;
  int firstBand;
  int lastBand;
};

class AnalysisDisplaySine : public AnalysisTest, public ::testing::WithParamInterface<SineCase> {};

TEST_P(AnalysisDisplaySine, SteadySineShowsTheHannKernelAroundItsBand) {
  const SineCase c = GetParam();
  feedSine(2, 4096, c.hz, c.amplitude);
  engine->tickAnalysis(2);
  const InputAnalysis& a = engine->analysis[2];
  for (int b = c.firstBand; b <= c.lastBand; ++b) {
    EXPECT_NEAR(a.spectrum[b], hannBandDb(c.hz, c.amplitude, b), 0.05) << "band " << b;
  }
  EXPECT_EQ(a.spectrum.size(), 2048u);
  // Far from the tone only rounding remains.
  for (int b : {0, 400, 1000, 2047}) EXPECT_LT(a.spectrum[b], -100.0f) << "band " << b;
}

INSTANTIATE_TEST_SUITE_P(
    Tones, AnalysisDisplaySine,
    ::testing::Values(SineCase{1000.0, 1.0f, 84, 86},                   // band 85.33: about 0 dB
                      SineCase{100 * kDisplayBandHz, 1.0f, 99, 101},    // on a band: 0, -6, -6 dB
                      SineCase{100 * kDisplayBandHz, 0.5f, 99, 101},    // -6 dB
                      SineCase{200.5 * kDisplayBandHz, 0.1f, 199, 202}, // between two bands
                      SineCase{10000.0, 0.01f, 852, 854}));             // -40 dB at 10 kHz

TEST_F(AnalysisDisplay, FullScaleKiloHertzReadsAboutZeroDbInBand85) {
  feedSine(0, 4096, 1000.0, 1.0f);
  engine->tickAnalysis(0);
  const InputAnalysis& a = engine->analysis[0];
  const auto peak = std::max_element(a.spectrum.begin(), a.spectrum.end());
  EXPECT_EQ(peak - a.spectrum.begin(), 85);
  EXPECT_NEAR(*peak, 0.0f, 1.0f);
  EXPECT_GT(a.spectrum[84], -12.0f);
  EXPECT_GT(a.spectrum[86], -3.0f);
}

// The mono sample is the mean of both channels.
struct MonoCase {
  float left;
  float right;
  float expectedDb; // at the tone's band
};

class AnalysisDisplayMono : public AnalysisTest, public ::testing::WithParamInterface<MonoCase> {};

TEST_P(AnalysisDisplayMono, DisplayAnalysesTheMeanOfLeftAndRight) {
  const MonoCase c = GetParam();
  const double hz = 64 * kDisplayBandHz;
  const std::vector<float> tone = sine(4096, hz, 1.0f);
  std::vector<float> left(tone.size()), right(tone.size());
  for (size_t n = 0; n < tone.size(); ++n) {
    left[n] = c.left * tone[n];
    right[n] = c.right * tone[n];
  }
  feed(1, left, right);
  engine->tickAnalysis(1);
  if (c.expectedDb <= kFloorDb) {
    EXPECT_EQ(engine->analysis[1].spectrum[64], -121.5f)
        << "silence below the start value: it only decays";
  } else {
    EXPECT_NEAR(engine->analysis[1].spectrum[64], c.expectedDb, 0.05);
  }
}

INSTANTIATE_TEST_SUITE_P(Channels, AnalysisDisplayMono,
                         ::testing::Values(MonoCase{1.0f, 1.0f, 0.0f},
                                           MonoCase{1.0f, 0.0f, -6.0206f},
                                           MonoCase{0.0f, 0.5f, -12.0412f},
                                           MonoCase{1.0f, -1.0f, kFloorDb}));

TEST_F(AnalysisDisplay, FallsOnePointFiveDbPerUpdateDownToTheFloorOfSilence) {
  const double hz = 100 * kDisplayBandHz;
  feedSine(0, 4096, hz, 1.0f);
  engine->tickAnalysis(0);
  const InputAnalysis& a = engine->analysis[0];
  ASSERT_NEAR(a.spectrum[100], 0.0f, 1e-3);
  const float start = a.spectrum[100];

  // One update whose history is entirely silent, then updates of one 128-frame block each.
  feedMono(0, constant(4096, 0.0f));
  engine->tickAnalysis(0);
  EXPECT_FLOAT_EQ(a.spectrum[100], start - 1.5f);
  for (int update = 2; update <= 10; ++update) {
    feedMono(0, constant(128, 0.0f));
    engine->tickAnalysis(0);
    engine->tickAnalysis(0); // nothing new: no decay
    EXPECT_NEAR(a.spectrum[100], start - 1.5f * update, 1e-4) << "update " << update;
  }
  for (int update = 11; update <= 120; ++update) {
    feedMono(0, constant(128, 0.0f));
    engine->tickAnalysis(0);
  }
  EXPECT_EQ(a.spectrum[100], kFloorDb);
  EXPECT_EQ(*std::max_element(a.spectrum.begin(), a.spectrum.end()), kFloorDb);
}

TEST_F(AnalysisDisplay, FallsOnlyDownToTheLevelOfTheNewInput) {
  const double hz = 300 * kDisplayBandHz;
  feedSine(0, 4096, hz, 1.0f);
  engine->tickAnalysis(0);
  // The same tone 40 dB quieter.
  for (int update = 1; update <= 40; ++update) {
    feedSine(0, 4096, hz, 0.01f);
    engine->tickAnalysis(0);
    const float expected = std::max(-1.5f * update, -40.0f);
    EXPECT_NEAR(engine->analysis[0].spectrum[300], expected, 0.02) << "update " << update;
  }
}

TEST_F(AnalysisDisplay, RisesAtOnce) {
  feedMono(0, constant(4096, 0.0f));
  engine->tickAnalysis(0);
  feedSine(0, 4096, 1000.0, 1.0f);
  engine->tickAnalysis(0);
  EXPECT_NEAR(engine->analysis[0].spectrum[85], hannBandDb(1000.0, 1.0f, 85), 0.05);
}

TEST_F(AnalysisDisplay, HistoryHoldsTheLatestMonoSamplesOldestFirst) {
  const InputAnalysis& a = engine->analysis[0];
  const std::vector<float> left = ramp(100), right = ramp(100, 3.0f);
  feed(0, left, right);
  engine->tickAnalysis(0);
  for (int n = 0; n < 100; ++n) EXPECT_FLOAT_EQ(a.history[3996 + n], 2.0f * left[n]);
  EXPECT_EQ(a.history[3995], 0.0f);

  // A backlog longer than the history: only its last 4096 samples stay.
  const std::vector<float> longer = ramp(6000);
  feedMono(0, longer);
  engine->tickAnalysis(0);
  for (int n = 0; n < 4096; n += 97) EXPECT_FLOAT_EQ(a.history[n], longer[6000 - 4096 + n]);
  EXPECT_FLOAT_EQ(a.history[4095], longer[5999]);
  EXPECT_EQ(engine->hwInputs[0].analysisRing->fill(), 0u);
}

TEST_F(AnalysisDisplay, FullRingIsReadInOneCallAndShiftsTheHistoryByIt) {
  // 8192 frames, the ring's whole capacity: the last 4096 are the tone, the rest silence.
  std::vector<float> samples = constant(4096, 0.0f);
  const std::vector<float> tone = sine(4096, 1000.0, 0.5f);
  samples.insert(samples.end(), tone.begin(), tone.end());
  feedMono(2, samples);
  engine->tickAnalysis(2);
  EXPECT_EQ(engine->hwInputs[2].analysisRing->fill(), 0u);
  EXPECT_NEAR(engine->analysis[2].spectrum[85], hannBandDb(1000.0, 0.5f, 85), 0.05);
}

struct BadPiece {
  const char* label;
  uint32_t from;
  uint32_t to;
  float value;
};

class AnalysisDisplayBadSamples : public AnalysisTest,
                                  public ::testing::WithParamInterface<BadPiece> {};

TEST_P(AnalysisDisplayBadSamples, NoBandEverHoldsAValueThatIsNotFinite) {
  const BadPiece c = GetParam();
  feedSine(1, 4096, 1000.0, 1.0f);
  engine->tickAnalysis(1);
  std::vector<float> broken = constant(4096, 0.0f);
  std::fill(broken.begin() + c.from, broken.begin() + c.to, c.value);
  feedMono(1, broken);
  engine->tickAnalysis(1);
  const InputAnalysis& a = engine->analysis[1];
  for (int b = 0; b < 2048; ++b) ASSERT_TRUE(std::isfinite(a.spectrum[b])) << c.label << " " << b;
  // Once the bad samples have left the history, every update falls by 1.5 dB or follows the
  // input again.
  const std::vector<float> after = a.spectrum;
  feedSine(1, 4096, 1000.0, 1.0f);
  engine->tickAnalysis(1);
  for (int b = 83; b <= 88; ++b) {
    const float expected = std::max(after[b] - 1.5f, float(hannBandDb(1000.0, 1.0f, b)));
    EXPECT_NEAR(a.spectrum[b], expected, 0.05) << c.label << " " << b;
  }
  for (int b = 0; b < 2048; ++b) {
    ASSERT_GE(a.spectrum[b], after[b] - 1.5f - 1e-3f) << c.label << " " << b;
    if (b < 60 || b > 110) {
      // Away from the tone nothing but the decay of what was there.
      ASSERT_LE(a.spectrum[b], std::max(after[b] - 1.5f, -80.0f)) << c.label << " " << b;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, AnalysisDisplayBadSamples,
    ::testing::Values(BadPiece{"one NaN", 100, 101, NAN},
                      BadPiece{"one infinity", 200, 201, INFINITY},
                      // Finite, but so large that the transform overflows in many bands.
                      BadPiece{"huge block", 0, 4096, 1.5e38f},
                      BadPiece{"huge burst", 1000, 3000, 1.5e38f}));

} // namespace
} // namespace velto::test
