// The noise filter with real signals: exact 512-frame delay, the initial profile passing the
// signal, the gain law and its time behaviour, a measured noise profile, and hostile values.
#include "effects/noise_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

namespace velto {
namespace {

constexpr int kFrame = NoiseFilter::kFrame;
constexpr int kHop = NoiseFilter::kHop;
constexpr int kBins = NoiseFilter::kBins;
constexpr double kRate = 48000.0;

std::unique_ptr<NoiseFilter> makeFilter(bool on) {
  auto filter = std::make_unique<NoiseFilter>();
  filter->enabled.store(on);
  return filter;
}

// Interleaved stereo from two mono signals.
std::vector<float> stereo(const std::vector<float>& left, const std::vector<float>& right) {
  std::vector<float> out(left.size() * 2);
  for (size_t i = 0; i < left.size(); ++i) {
    out[2 * i] = left[i];
    out[2 * i + 1] = right[i];
  }
  return out;
}

std::vector<float> channel(const std::vector<float>& interleaved, int c) {
  std::vector<float> out(interleaved.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) out[i] = interleaved[2 * i + c];
  return out;
}

std::vector<float> gaussian(size_t n, float sigma, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> d(0.0f, sigma);
  std::vector<float> out(n);
  for (auto& v : out) v = d(rng);
  return out;
}

// A sine exactly on the centre of FFT bin `bin` of the 512-point frame.
std::vector<float> binSine(size_t n, int bin, float amplitude, double phase = 0.0) {
  std::vector<float> out(n);
  for (size_t i = 0; i < n; ++i)
    out[i] = static_cast<float>(
        amplitude *
        std::sin(2.0 * std::numbers::pi * bin * static_cast<double>(i) / kFrame + phase));
  return out;
}

std::vector<float> plus(std::vector<float> a, const std::vector<float>& b) {
  for (size_t i = 0; i < a.size(); ++i) a[i] += b[i];
  return a;
}

void processInChunks(NoiseFilter& filter, std::vector<float>& interleaved, uint32_t chunk) {
  const uint32_t frames = static_cast<uint32_t>(interleaved.size() / 2);
  for (uint32_t done = 0; done < frames; done += chunk)
    filter.process(interleaved.data() + 2 * done, std::min(chunk, frames - done));
}

// Level of a real frame in one bin, the filter's own measure (2|X|/512 in dB, windowed with the
// square-root Hann window), computed in double precision.
double referenceBinDb(const std::vector<double>& frame, int bin) {
  std::complex<double> acc = 0.0;
  for (int n = 0; n < kFrame; ++n) {
    const double w = std::sqrt(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * n / kFrame));
    const double angle = -2.0 * std::numbers::pi * bin * n / kFrame;
    acc += frame[n] * w * std::complex<double>(std::cos(angle), std::sin(angle));
  }
  return 20.0 * std::log10(std::max(2.0 * std::abs(acc) / kFrame, 1e-7));
}

// Amplitude of the component at `hz` (least-squares fit of sine and cosine).
double amplitudeAt(const std::vector<float>& x, size_t from, size_t to, double hz) {
  double s = 0.0, c = 0.0;
  for (size_t i = from; i < to; ++i) {
    const double angle = 2.0 * std::numbers::pi * hz * static_cast<double>(i) / kRate;
    s += x[i] * std::sin(angle);
    c += x[i] * std::cos(angle);
  }
  const double n = static_cast<double>(to - from);
  return 2.0 * std::hypot(s, c) / n;
}

// Mean power per bin over bins [lo, hi) of Hann-windowed 512-point frames taken every 256
// samples from [from, to); used to compare noise levels band by band.
double bandPower(const std::vector<float>& x, size_t from, size_t to, int lo, int hi) {
  const FixedFft fft;
  std::complex<float> frame[kFrame];
  double total = 0.0;
  int frames = 0;
  for (size_t start = from; start + kFrame <= to; start += 256) {
    for (int n = 0; n < kFrame; ++n) {
      const float w = 0.5f - 0.5f * std::cos(2.0f * std::numbers::pi_v<float> * n / kFrame);
      frame[n] = {x[start + n] * w, 0.0f};
    }
    fft.run(frame, false);
    for (int k = lo; k < hi; ++k) total += std::norm(frame[k]);
    ++frames;
  }
  return total / (frames * (hi - lo));
}

// The engine's noise learner: a 512-sample window every 128 samples, a running average of its dB
// spectrum (0.8/0.2) and the per-band maximum of that average.
std::vector<float> learnProfile(const std::vector<float>& signal) {
  const FixedFft fft;
  std::vector<float> running(kBins, -120.0f), profile(kBins, -120.0f), spectrum(kBins);
  for (size_t start = 0; start + kFrame <= signal.size(); start += kHop) {
    NoiseFilter::spectrumDb(fft, signal.data() + start, spectrum.data());
    for (int b = 0; b < kBins; ++b) {
      running[b] = 0.8f * running[b] + 0.2f * spectrum[b];
      profile[b] = std::max(profile[b], running[b]);
    }
  }
  return profile;
}

TEST(NoiseFilter, OffLeavesTheBufferBitIdentical) {
  auto filter = makeFilter(false);
  auto data = stereo(gaussian(3000, 0.3f, 1), gaussian(3000, 0.3f, 2));
  data[10] = std::numeric_limits<float>::quiet_NaN();
  data[11] = std::numeric_limits<float>::infinity();
  data[12] = std::numeric_limits<float>::denorm_min();
  const auto before = data;
  filter->process(data.data(), 3000);
  filter->process(data.data(), 0);
  EXPECT_EQ(std::memcmp(data.data(), before.data(), data.size() * sizeof(float)), 0);
}

TEST(NoiseFilter, ImpulseLeavesExactly512FramesLater) {
  auto filter = makeFilter(true);
  std::vector<float> left(2048, 0.0f), right(2048, 0.0f);
  left[0] = 1.0f;
  right[0] = -0.5f;
  auto data = stereo(left, right);
  filter->process(data.data(), 2048);
  const auto outL = channel(data, 0);
  const auto outR = channel(data, 1);
  EXPECT_NEAR(outL[512], 1.0f, 1e-5);
  EXPECT_NEAR(outR[512], -0.5f, 1e-5);
  for (int i = 0; i < 2048; ++i) {
    if (i == 512) continue;
    EXPECT_NEAR(outL[i], 0.0f, 1e-6) << i;
    EXPECT_NEAR(outR[i], 0.0f, 1e-6) << i;
  }
}

TEST(NoiseFilter, InitialProfilePassesTheSignalDelayedBy512Frames) {
  // Noise and a sine lie far above -102 dB in every bin, so every gain stays 1.
  const size_t n = 48000;
  const auto left = plus(gaussian(n, 0.1f, 3), binSine(n, 21, 0.3f));
  const auto right = gaussian(n, 0.05f, 4);
  auto data = stereo(left, right);
  auto filter = makeFilter(true);
  processInChunks(*filter, data, 128);
  const auto outL = channel(data, 0);
  const auto outR = channel(data, 1);
  // The first hop is the cleared output itself; the next three hold only the rounding of the
  // transforms of frames that are still partly empty.
  for (size_t i = 0; i < 128; ++i) {
    ASSERT_EQ(outL[i], 0.0f) << i;
    ASSERT_EQ(outR[i], 0.0f) << i;
  }
  for (size_t i = 128; i < 512; ++i) {
    ASSERT_NEAR(outL[i], 0.0f, 1e-6) << i;
    ASSERT_NEAR(outR[i], 0.0f, 1e-6) << i;
  }
  double worst = 0.0;
  for (size_t i = 512; i < n; ++i) {
    worst = std::max(worst, double(std::fabs(outL[i] - left[i - 512])));
    worst = std::max(worst, double(std::fabs(outR[i] - right[i - 512])));
  }
  EXPECT_LT(worst, 2e-5);
  for (int c = 0; c < 2; ++c) {
    for (int k = 0; k < kBins; ++k) EXPECT_NEAR(filter->channels[c].gain[k], 1.0f, 1e-6) << k;
  }
}

TEST(NoiseFilter, ChunkSizeDoesNotChangeTheResult) {
  const size_t n = 20000;
  const auto source = stereo(gaussian(n, 0.2f, 5), binSine(n, 7, 0.1f));
  auto profile = std::vector<float>(kBins, -40.0f);
  auto reference = source;
  auto whole = makeFilter(true);
  whole->setProfile(profile.data());
  whole->process(reference.data(), static_cast<uint32_t>(n));
  for (uint32_t chunk : {1u, 37u, 127u, 129u, 512u, 4096u}) {
    auto data = source;
    auto filter = makeFilter(true);
    filter->setProfile(profile.data());
    processInChunks(*filter, data, chunk);
    EXPECT_EQ(std::memcmp(data.data(), reference.data(), data.size() * sizeof(float)), 0) << chunk;
  }
}

TEST(NoiseFilter, DigitalSilenceStaysSilentWhileTheGainsClose) {
  auto filter = makeFilter(true);
  std::vector<float> data(2 * 12800, 0.0f);
  filter->process(data.data(), 12800);
  for (float v : data) ASSERT_EQ(v, 0.0f);
  const float gmin = std::pow(10.0f, -18.0f / 20.0f);
  for (int k = 0; k < kBins; ++k) EXPECT_NEAR(filter->channels[0].gain[k], gmin, 1e-4) << k;
}

TEST(NoiseFilter, SpectrumDbOfSilenceIsMinus140AndOfASineItsBinLevel) {
  const FixedFft fft;
  std::vector<float> zeros(kFrame, 0.0f), out(kBins);
  NoiseFilter::spectrumDb(fft, zeros.data(), out.data());
  for (int k = 0; k < kBins; ++k) EXPECT_NEAR(out[k], -140.0f, 1e-4) << k;

  const auto sine = binSine(kFrame, 40, 0.25f, 0.3);
  NoiseFilter::spectrumDb(fft, sine.data(), out.data());
  const std::vector<double> frame(sine.begin(), sine.end());
  for (int k : {0, 38, 39, 40, 41, 42, 100, 256})
    EXPECT_NEAR(out[k], referenceBinDb(frame, k), 0.01) << k;
  // A bin-centred sine of amplitude A reads A * sum(w) / 512 = A * 0.6366 in its bin.
  EXPECT_NEAR(out[40], 20.0 * std::log10(0.25 * 0.63662), 0.01);
}

TEST(NoiseFilter, WindowIsTheSquareRootOfThePeriodicHann) {
  const float* w = NoiseFilter::window();
  EXPECT_EQ(w, NoiseFilter::window());
  double overlapSum[kHop] = {};
  for (int n = 0; n < kFrame; ++n) {
    EXPECT_NEAR(w[n], std::sqrt(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * n / kFrame)), 1e-6);
    overlapSum[n % kHop] += double(w[n]) * w[n];
  }
  EXPECT_EQ(w[0], 0.0f);
  EXPECT_NEAR(w[256], 1.0f, 1e-7);
  // Four frames at a hop of 128 sum the squared window to 2: the 0.5 of the overlap-add.
  for (double s : overlapSum) EXPECT_NEAR(s, 2.0, 1e-5);
}

struct LawCase {
  float strength;
  double x; // distance above (profile + 6) in units of 12 dB; clamped to 0..1 by the law
};

class NoiseFilterLaw : public testing::TestWithParam<LawCase> {};

TEST_P(NoiseFilterLaw, SteadyGainFollowsTheDistanceToTheProfile) {
  const LawCase c = GetParam();
  const int bin = 40; // 3750 Hz; the phase repeats every hop, so every frame is identical
  const float amplitude = 0.1f;
  const auto sine = binSine(kFrame, bin, amplitude, 0.7);
  const std::vector<double> frame(sine.begin(), sine.end());
  const double local = (referenceBinDb(frame, bin - 1) + 2.0 * referenceBinDb(frame, bin) +
                        referenceBinDb(frame, bin + 1)) /
                       4.0;
  std::vector<float> profile(kBins, static_cast<float>(local - 6.0 - 12.0 * c.x));

  auto filter = makeFilter(true);
  ASSERT_TRUE(filter->setStrength(c.strength));
  ASSERT_TRUE(filter->setProfile(profile.data()));
  const size_t n = 128 * 300;
  auto data = stereo(binSine(n, bin, amplitude, 0.7), binSine(n, bin, amplitude, 0.7));
  filter->process(data.data(), static_cast<uint32_t>(n));

  const double gmin = std::pow(10.0, -c.strength / 20.0);
  const double want = gmin + std::clamp(c.x, 0.0, 1.0) * (1.0 - gmin);
  EXPECT_NEAR(filter->channels[0].gain[bin], want, 2e-4);
  EXPECT_NEAR(filter->channels[1].gain[bin], want, 2e-4);
}

INSTANTIATE_TEST_SUITE_P(Distances, NoiseFilterLaw,
                         testing::Values(LawCase{18, -1.0}, LawCase{18, 0.0}, LawCase{18, 0.25},
                                         LawCase{18, 0.5}, LawCase{18, 0.75}, LawCase{18, 1.0},
                                         LawCase{18, 2.0}, LawCase{6, 0.5}, LawCase{40, 0.0},
                                         LawCase{40, 0.5}, LawCase{40, 0.9}));

TEST(NoiseFilter, GainsCloseSlowlyAndOpenFastAfterAProfileHandOver) {
  auto filter = makeFilter(true);
  std::vector<float> loud(kBins, 0.0f); // far above the signal: full reduction everywhere
  ASSERT_TRUE(filter->setProfile(loud.data()));
  const int bin = 40;
  const double gmin = std::pow(10.0, -18.0 / 20.0);
  const size_t n = 128 * 400;
  auto data = stereo(binSine(n, bin, 0.01f), binSine(n, bin, 0.01f));

  // Closing: every frame moves 15 % of the way toward gmin.
  size_t pos = 0;
  int frames = 0;
  for (int checkAt : {1, 2, 5, 20}) {
    while (frames < checkAt) {
      filter->process(data.data() + 2 * pos, 128);
      pos += 128;
      ++frames;
    }
    const double want = gmin + (1.0 - gmin) * std::pow(0.85, frames);
    EXPECT_NEAR(filter->channels[0].gain[bin], want, 1e-5) << frames;
    EXPECT_NEAR(filter->channels[1].gain[bin], want, 1e-5) << frames;
  }
  while (frames < 150) {
    filter->process(data.data() + 2 * pos, 128);
    pos += 128;
    ++frames;
  }
  const double closed = filter->channels[0].gain[bin];
  EXPECT_NEAR(closed, gmin, 1e-6);

  // Opening: a quiet profile installed mid-stream counts from the next frame; 60 % per frame.
  std::vector<float> quiet(kBins, -200.0f);
  const uint32_t before = filter->activeProfile.load();
  ASSERT_TRUE(filter->setProfile(quiet.data()));
  EXPECT_EQ(filter->activeProfile.load(), before ^ 1u);
  for (int m = 1; m <= 4; ++m) {
    filter->process(data.data() + 2 * pos, 128);
    pos += 128;
    const double want = 1.0 - (1.0 - closed) * std::pow(0.4, m);
    EXPECT_NEAR(filter->channels[0].gain[bin], want, 1e-5) << m;
  }
}

TEST(NoiseFilter, SmoothedSpectrumRisesAtOnceAndFallsSlowly) {
  auto filter = makeFilter(true);
  const int bin = 40;
  const auto sine = binSine(kFrame, bin, 0.2f);
  const std::vector<double> frame(sine.begin(), sine.end());
  const double level = referenceBinDb(frame, bin);

  // The fourth hop completes the first full frame of the sine: its level is taken at once.
  auto data = stereo(binSine(4 * kHop, bin, 0.2f), binSine(4 * kHop, bin, 0.2f));
  filter->process(data.data(), 4 * kHop);
  EXPECT_NEAR(filter->channels[0].smoothedDb[bin], level, 0.01);

  // Silence: once the frame holds no more sine (four hops), every frame moves 30 % of the way
  // from the smoothed level toward the -140 dB of an empty frame.
  std::vector<float> silence(2 * kHop);
  auto silentHop = [&] {
    std::fill(silence.begin(), silence.end(), 0.0f); // the filter writes its output in place
    filter->process(silence.data(), kHop);
  };
  for (int i = 0; i < 4; ++i) silentHop();
  double previous = filter->channels[0].smoothedDb[bin];
  for (int m = 1; m <= 6; ++m) {
    silentHop();
    const double now = filter->channels[0].smoothedDb[bin];
    EXPECT_NEAR((now + 140.0) / (previous + 140.0), 0.7, 1e-4) << m;
    previous = now;
  }
}

TEST(NoiseFilter, MeasuredNoiseIsReducedByTheStrengthAndASineSurvives) {
  const size_t learn = 48000 * 8;
  const auto profile = learnProfile(gaussian(learn, 0.05f, 11));

  const size_t n = 48000 * 6;
  const size_t from = 48000 * 2; // after the gains settle
  const int sineBin = 20;        // 1875 Hz
  const double sineHz = sineBin * kRate / kFrame;
  const auto noiseL = gaussian(n, 0.05f, 12);
  const auto noiseR = gaussian(n, 0.05f, 13);
  const auto sine = binSine(n, sineBin, 0.5f);

  for (float strength : {18.0f, 10.0f, 30.0f}) {
    SCOPED_TRACE(strength);
    auto filter = makeFilter(true);
    ASSERT_TRUE(filter->setProfile(profile.data()));
    ASSERT_TRUE(filter->setStrength(strength));
    auto data = stereo(plus(noiseL, sine), noiseR);
    processInChunks(*filter, data, 256);
    const auto outL = channel(data, 0);
    const auto outR = channel(data, 1);

    // Right: noise alone, matching the profile: reduced by the strength across the band.
    const double inPower = bandPower(noiseR, from - 512, n - 512, 10, 250);
    const double outPower = bandPower(outR, from, n, 10, 250);
    const double reductionDb = 10.0 * std::log10(inPower / outPower);
    EXPECT_NEAR(reductionDb, strength, 0.3);

    // Left: the sine, 40 dB above the profile in its bin, passes at full level...
    const double a = amplitudeAt(outL, from, n, sineHz);
    EXPECT_NEAR(20.0 * std::log10(a / 0.5), 0.0, 0.1);
    // ...while the noise in bins far from it is reduced like the right channel's.
    const double leftNoise = bandPower(outL, from, n, 100, 250);
    const double leftIn = bandPower(noiseL, from - 512, n - 512, 100, 250);
    EXPECT_NEAR(10.0 * std::log10(leftIn / leftNoise), strength, 0.5);
    EXPECT_GT(filter->channels[0].gain[sineBin], 0.999f);
  }
}

TEST(NoiseFilter, SwitchingOffPassesAtOnceAndSwitchingOnStartsFromSilence) {
  auto filter = makeFilter(true);
  const auto signal = stereo(gaussian(4096, 0.2f, 21), gaussian(4096, 0.2f, 22));
  auto data = signal;
  filter->process(data.data(), 4096);
  filter->enabled.store(false);
  data = signal;
  filter->process(data.data(), 1000);
  EXPECT_EQ(std::memcmp(data.data(), signal.data(), 2000 * sizeof(float)), 0);
  filter->enabled.store(true);
  data = signal;
  filter->process(data.data(), 4096);
  for (int i = 0; i < 2 * 128; ++i) ASSERT_EQ(data[i], 0.0f) << i;
  for (int i = 2 * 128; i < 2 * 512; ++i) ASSERT_NEAR(data[i], 0.0f, 1e-6) << i;
  for (int i = 2 * 512; i < 2 * 4096; ++i) ASSERT_NEAR(data[i], signal[i - 1024], 2e-5) << i;
}

TEST(NoiseFilter, ResetStateKeepsProfileSwitchAndStrength) {
  auto filter = makeFilter(true);
  std::vector<float> profile(kBins, -33.0f);
  filter->setProfile(profile.data());
  filter->setStrength(25.0f);
  auto data = stereo(gaussian(1000, 0.2f, 23), gaussian(1000, 0.2f, 24));
  filter->process(data.data(), 1000);
  filter->resetState();
  EXPECT_EQ(filter->hopPos, 0);
  EXPECT_TRUE(filter->enabled.load());
  EXPECT_EQ(filter->strength.load(), 25.0f);
  const uint32_t active = filter->activeProfile.load();
  for (int k = 0; k < kBins; ++k) {
    EXPECT_EQ(filter->profiles[active][k].load(), -33.0f);
    EXPECT_EQ(filter->channels[0].smoothedDb[k], -120.0f);
    EXPECT_EQ(filter->channels[1].gain[k], 1.0f);
  }
  for (int n = 0; n < kFrame; ++n) {
    EXPECT_EQ(filter->channels[0].input[n], 0.0f);
    EXPECT_EQ(filter->channels[1].overlap[n], 0.0f);
  }
}

TEST(NoiseFilter, ProfileGoesToTheInactiveBufferAndSwitchesTheIndex) {
  auto filter = makeFilter(false);
  EXPECT_EQ(filter->activeProfile.load(), 0u);
  for (int k = 0; k < kBins; ++k) EXPECT_EQ(filter->profiles[0][k].load(), -120.0f);
  std::vector<float> a(kBins), b(kBins);
  for (int k = 0; k < kBins; ++k) {
    a[k] = -50.0f - 0.1f * k;
    b[k] = -70.0f + 0.05f * k;
  }
  ASSERT_TRUE(filter->setProfile(a.data()));
  EXPECT_EQ(filter->activeProfile.load(), 1u);
  ASSERT_TRUE(filter->setProfile(b.data()));
  EXPECT_EQ(filter->activeProfile.load(), 0u);
  for (int k = 0; k < kBins; ++k) {
    EXPECT_EQ(filter->profiles[1][k].load(), a[k]);
    EXPECT_EQ(filter->profiles[0][k].load(), b[k]);
  }
}

TEST(NoiseFilter, NonFiniteValuesNeverReachTheFilterState) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  auto filter = makeFilter(true);

  // Refused parameters leave the installed ones in place.
  std::vector<float> good(kBins, -100.0f), bad(kBins, -100.0f);
  ASSERT_TRUE(filter->setProfile(good.data()));
  const uint32_t active = filter->activeProfile.load();
  for (float poison : {nan, inf, -inf}) {
    bad[100] = poison;
    EXPECT_FALSE(filter->setProfile(bad.data()));
    EXPECT_EQ(filter->activeProfile.load(), active);
    EXPECT_FALSE(filter->setStrength(poison));
    EXPECT_EQ(filter->strength.load(), 18.0f);
  }
  for (int k = 0; k < kBins; ++k) ASSERT_EQ(filter->profiles[active][k].load(), -100.0f);

  // Hostile samples: the filter stays finite and keeps passing the signal after them.
  const size_t n = 16384;
  auto left = plus(gaussian(n, 0.1f, 31), binSine(n, 30, 0.3f));
  auto right = gaussian(n, 0.1f, 32);
  auto source = stereo(left, right);
  source[2 * 1000] = nan;
  source[2 * 1001 + 1] = inf;
  source[2 * 3000] = -inf;
  auto data = source;
  // A strength stored straight into the atomic (bypassing setStrength) is not used either.
  filter->strength.store(nan);
  filter->process(data.data(), static_cast<uint32_t>(n));
  for (size_t i = 0; i < data.size(); ++i) ASSERT_TRUE(std::isfinite(data[i])) << i;
  for (int c = 0; c < 2; ++c) {
    for (int k = 0; k < kBins; ++k) {
      ASSERT_TRUE(std::isfinite(filter->channels[c].smoothedDb[k]));
      ASSERT_TRUE(std::isfinite(filter->channels[c].gain[k]));
    }
  }
  // Well after the bad samples the output is again the input 512 frames late.
  for (size_t i = 8000; i < n; ++i) ASSERT_NEAR(data[2 * i], source[2 * (i - 512)], 2e-5) << i;

  // The analysis reads a non-finite sample as silence.
  std::vector<float> frame(kFrame, 0.0f), out(kBins);
  frame[200] = nan;
  frame[300] = inf;
  NoiseFilter::spectrumDb(filter->fft, frame.data(), out.data());
  for (float v : out) EXPECT_NEAR(v, -140.0f, 1e-4);
}

} // namespace
} // namespace velto
