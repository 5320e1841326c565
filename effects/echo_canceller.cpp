// The echo canceller (adaptive partitioned filter plus residual suppression) and the bank's stage
// around it that runs ahead of the noise filter and the chain: far-end collection from the bus
// rings, 128-frame blocks, the 10 ms fade and the reset request.
#include "effects/echo_canceller.h"

#include "core/stereo_ring.h"
#include "effects/input_fx.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace velto {

namespace {

constexpr int kLog2Frame = 8;
constexpr float kQuietFar = 1e-8f;
// Step control: the median of the blocks' error over estimate (in dB, moving 0.05 dB a block,
// 19 dB a second) is the share of the estimate the filter still misses; a block 10 dB above it
// is a near talker.
constexpr float kRatioStepDb = 0.05f;
constexpr float kLowestRatioDb = -60.0f;
constexpr float kHighestRatioDb = 10.0f;
constexpr float kTalkMarginDb = 10.0f;
constexpr int32_t kTalkHoldBlocks = 4;
constexpr float kMinLeak = 0.001f; // -30 dB: no filter is trusted beyond that
constexpr float kFirstStep = 0.4f;
constexpr float kFirstBlocks = 1500.0f; // 4 s of far-end activity at full speed
constexpr float kRegularisation = 1e-9f + 1e-6f;
// Weight uncertainty: where it starts, the share of a weight's power it regains per block (the
// room may move), the least it keeps, and how far a step lowers it (a tenth of the step's share).
constexpr float kStartUncertainty = 1.0f;
constexpr float kDrift = 1e-4f;
constexpr float kLeastUncertainty = 1e-6f;
constexpr float kShrink = 0.1f;
// A block well above the usual ratio that the far end explains (coherent echo the filter has
// not learned yet) is learned from, not held against.
constexpr float kExplainedLearn = 0.6f;
// Unlearned echo: smoothing of the cross-spectra and powers (0.98 a block; a lag renewed every
// fourth block keeps about 140 ms), the share of the error that must be explained before the
// suppressor acts on it (a near talker keeps the share low), and how hard it then acts.
constexpr float kUnlearnedSmooth = 0.98f;
constexpr float kUnlearnedGate = 0.6f;
constexpr float kUnlearnedGain = 4.0f;
constexpr float kUnlearnedLagShare = 0.03f;
// Per-bin leak: starts at the whole estimate and moves 0.02 dB a block (7.5 dB a second), only in
// blocks within 3 dB of the usual ratio, where no near talker can lift it. Above a tenth it counts
// as a tenth; where it exceeds the whole filter's leak the suppressor over-subtracts by their
// ratio.
constexpr float kBinLeakStep = 1.0046158f; // 10^(0.02 / 10)
constexpr float kBinLeakStart = 1.0f;
constexpr float kBinLeakLeast = 1e-6f;
constexpr float kBinLeakCap = 0.1f;
constexpr float kBinEchoOnlyDb = 3.0f;

void zero(float* v, size_t n) {
  std::memset(v, 0, n * sizeof(float));
}

// The per-bin loops of the filter and its update, over the first 128 bins (a count the compiler
// can vectorise without a remainder) and then over the last one.
constexpr int kEvenBins = EchoCanceller::kBins - 1;

// y += w x
void accumulateProduct(const float* __restrict wr, const float* __restrict wi,
                       const float* __restrict xr, const float* __restrict xi, float* __restrict yr,
                       float* __restrict yi) {
  for (int k = 0; k < kEvenBins; ++k) {
    yr[k] += wr[k] * xr[k] - wi[k] * xi[k];
    yi[k] += wr[k] * xi[k] + wi[k] * xr[k];
  }
  yr[kEvenBins] += wr[kEvenBins] * xr[kEvenBins] - wi[kEvenBins] * xi[kEvenBins];
  yi[kEvenBins] += wr[kEvenBins] * xi[kEvenBins] + wi[kEvenBins] * xr[kEvenBins];
}

// d += share u |x|^2
void accumulateUncertain(float share, const float* __restrict u, const float* __restrict x2,
                         float* __restrict d) {
  for (int k = 0; k < kEvenBins; ++k) d[k] += share * u[k] * x2[k];
  d[kEvenBins] += share * u[kEvenBins] * x2[kEvenBins];
}

// One partition's update: w += share u g conj(x); then u falls by h share u^2 |x|^2 and regains a
// little of the weight's power.
void updatePartition(float share, const float* __restrict gr, const float* __restrict gi,
                     const float* __restrict h, const float* __restrict xr,
                     const float* __restrict xi, const float* __restrict x2, float* __restrict wr,
                     float* __restrict wi, float* __restrict u) {
  for (int k = 0; k < kEvenBins; ++k) {
    const float su = share * u[k];
    wr[k] += su * (gr[k] * xr[k] + gi[k] * xi[k]);
    wi[k] += su * (gi[k] * xr[k] - gr[k] * xi[k]);
    u[k] = u[k] - h[k] * su * u[k] * x2[k] + kDrift * (wr[k] * wr[k] + wi[k] * wi[k]) +
           kLeastUncertainty;
  }
  constexpr int k = kEvenBins;
  const float su = share * u[k];
  wr[k] += su * (gr[k] * xr[k] + gi[k] * xi[k]);
  wi[k] += su * (gi[k] * xr[k] - gr[k] * xi[k]);
  u[k] = u[k] - h[k] * su * u[k] * x2[k] + kDrift * (wr[k] * wr[k] + wi[k] * wi[k]) +
         kLeastUncertainty;
}

} // namespace

EchoCanceller::EchoCanceller() : fftSetup(std::make_unique<platform::dsp::FftSetup>(kLog2Frame)) {
  for (int n = 0; n < kFrame; ++n) {
    window[n] = static_cast<float>(
        std::sqrt(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * (n + 0.5) / kFrame)));
  }
  zero(splitRe_, kFrame / 2);
  zero(splitIm_, kFrame / 2);
  zero(frame_, kFrame);
  zero(specRe_, kBins);
  zero(specIm_, kBins);
  zero(spec2Re_, kBins);
  zero(spec2Im_, kBins);
  reset();
}

EchoCanceller::~EchoCanceller() = default;

void EchoCanceller::clearFilter() {
  std::memset(filterRe, 0, sizeof(filterRe));
  std::memset(filterIm, 0, sizeof(filterIm));
  std::memset(crossRe, 0, sizeof(crossRe));
  std::memset(crossIm, 0, sizeof(crossIm));
  zero(lagWeight, kPartitions);
  zero(errorSmooth, kBins);
  zero(farSmooth, kBins);
  zero(unlearned, kBins);
  std::memset(groupSum, 0, sizeof(groupSum));
  lagGroup = 0;
  explained = 0.0f;
  std::fill(std::begin(partitionShare), std::end(partitionShare), 1.0f);
  std::fill(std::begin(binLeak), std::end(binLeak), kBinLeakStart);
  for (auto& row : uncertainty) std::fill(std::begin(row), std::end(row), kStartUncertainty);
}

// A filter learned anew starts from full-speed learning and forgets what it knew of its leak.
void EchoCanceller::relearn() {
  clearFilter();
  haveGood = false;
  badSpans = 0;
  stepScale = 1.0f;
  suppressionDb = 0.0f;
  echoReturnDb = 0.0f;
  nearPower = errorPower = 0.0f;
  leak = 1.0f;
  adapted = false;
  adaptedSum = 0.0f;
  talkHold = 0;
  usualRatioDb = 10.0f;
}

void EchoCanceller::judgeSpan(float nearEnergy, float errorEnergy) {
  spanNear += nearEnergy;
  spanError += errorEnergy;
  if (++spanBlocks < kSpanBlocks) return;
  const float nearSum = spanNear, errorSum = spanError;
  spanNear = spanError = 0.0f;
  spanBlocks = 0;
  if (errorSum <= 0.5f * nearSum) {
    // At least 3 dB removed over the span: this filter is worth going back to.
    std::memcpy(goodRe, filterRe, sizeof(goodRe));
    std::memcpy(goodIm, filterIm, sizeof(goodIm));
    haveGood = true;
    badSpans = 0;
    stepScale = std::min(2.0f * stepScale, 1.0f);
  } else if (errorSum > nearSum + 1e-9f) {
    if (++badSpans == 1 && haveGood) {
      std::memcpy(filterRe, goodRe, sizeof(filterRe));
      std::memcpy(filterIm, goodIm, sizeof(filterIm));
      stepScale = std::max(0.5f * stepScale, 0.0625f);
      ++reverts;
    } else {
      // Even the last good filter does not fit: the echo path has changed, learn it anew.
      relearn();
      ++divergences;
    }
  }
}

void EchoCanceller::reset() {
  std::memset(historyRe, 0, sizeof(historyRe));
  std::memset(historyIm, 0, sizeof(historyIm));
  std::memset(historyPower, 0, sizeof(historyPower));
  newest = 0;
  zero(previousFar, kBlock);
  constraintIndex = 0;
  zero(previousError, kBlock);
  zero(previousEstimate, kBlock);
  std::fill(std::begin(gains), std::end(gains), 1.0f);
  zero(overlapTail, kBlock);
  quietCount = 0;
  divergences = 0;
  spanNear = 0.0f;
  spanError = 0.0f;
  spanBlocks = 0;
  reverts = 0;
  relearn();
}

// The platform transform packs N real samples as N/2 complex values and returns twice the DFT;
// the inverse of a packed plain DFT gives N times the signal.
void EchoCanceller::fwd(const float* time, float* re, float* im) {
  platform::dsp::SplitComplex split{splitRe_, splitIm_};
  platform::dsp::ctoz(time, split, kFrame / 2);
  fftSetup->realInPlace(split, kLog2Frame, platform::dsp::FftDirection::forward);
  re[0] = 0.5f * splitRe_[0];
  im[0] = 0.0f;
  re[kFrame / 2] = 0.5f * splitIm_[0];
  im[kFrame / 2] = 0.0f;
  for (int k = 1; k < kFrame / 2; ++k) {
    re[k] = 0.5f * splitRe_[k];
    im[k] = 0.5f * splitIm_[k];
  }
}

void EchoCanceller::inv(const float* re, const float* im, float* time) {
  splitRe_[0] = re[0];
  splitIm_[0] = re[kFrame / 2];
  for (int k = 1; k < kFrame / 2; ++k) {
    splitRe_[k] = re[k];
    splitIm_[k] = im[k];
  }
  platform::dsp::SplitComplex split{splitRe_, splitIm_};
  fftSetup->realInPlace(split, kLog2Frame, platform::dsp::FftDirection::inverse);
  platform::dsp::ztoc(split, time, kFrame / 2);
  platform::dsp::scale(time, 1.0f / kFrame, time, kFrame);
}

void EchoCanceller::addFarFrame(const float* farBlock) {
  std::memcpy(frame_, previousFar, sizeof(previousFar));
  std::memcpy(frame_ + kBlock, farBlock, sizeof(float) * kBlock);
  std::memcpy(previousFar, farBlock, sizeof(previousFar));
  newest = (newest + 1) % kPartitions;
  float* re = historyRe[newest];
  float* im = historyIm[newest];
  float* power = historyPower[newest];
  fwd(frame_, re, im);
  for (int k = 0; k < kBins; ++k) power[k] = re[k] * re[k] + im[k] * im[k];
}

// The windowed 256-point frames of the last two error blocks (specRe_/specIm_) and of the last two
// estimate blocks (spec2Re_/spec2Im_): what the step control and the suppressor look at.
void EchoCanceller::spectra(const float* error, const float* estimate) {
  for (int n = 0; n < kBlock; ++n) {
    frame_[n] = previousError[n] * window[n];
    frame_[n + kBlock] = error[n] * window[n + kBlock];
  }
  fwd(frame_, specRe_, specIm_);
  for (int n = 0; n < kBlock; ++n) {
    frame_[n] = previousEstimate[n] * window[n];
    frame_[n + kBlock] = estimate[n] * window[n + kBlock];
  }
  fwd(frame_, spec2Re_, spec2Im_);
}

// Step size per bin (into step) from the residual echo the filter leaves against the error it
// sees; false when nothing may adapt (a quiet far end, a near talker).
bool EchoCanceller::adaptStep(float errorEnergy, float estimateEnergy, float farEnergy,
                              float* step) {
  if (farEnergy <= kQuietFar) return false;
  // A near talker: the error stands far above what it usually is against the estimate.
  // Adaptation holds while it lasts and a little after; the median of that ratio moves only
  // outside such spans, so a long talk cannot drag it up.
  const float ratioDb = 10.0f * std::log10((errorEnergy + 1e-12f) / (estimateEnergy + 1e-12f));
  if (adapted && explained < kExplainedLearn && ratioDb > usualRatioDb + kTalkMarginDb) {
    talkHold = kTalkHoldBlocks;
  }
  if (talkHold > 0) {
    --talkHold;
    ++quietCount;
    return false;
  }
  quietCount = 0;
  usualRatioDb += ratioDb < usualRatioDb ? -kRatioStepDb : kRatioStepDb;
  usualRatioDb = std::clamp(usualRatioDb, kLowestRatioDb, kHighestRatioDb);
  leak = std::clamp(std::pow(10.0f, 0.1f * usualRatioDb), kMinLeak, 1.0f);
  echoReturnDb = -10.0f * std::log10(leak);

  if (ratioDb < usualRatioDb + kBinEchoOnlyDb) {
    for (int k = 0; k < kBins; ++k) {
      const float e2 = specRe_[k] * specRe_[k] + specIm_[k] * specIm_[k];
      const float y2 = spec2Re_[k] * spec2Re_[k] + spec2Im_[k] * spec2Im_[k];
      if (y2 < 1e-12f) continue;
      const float moved =
          e2 < binLeak[k] * y2 ? binLeak[k] / kBinLeakStep : binLeak[k] * kBinLeakStep;
      binLeak[k] = std::clamp(moved, kBinLeakLeast, kBinLeakStart);
    }
  }
  if (!adapted) {
    // First learning: full speed until the filter has seen a few seconds of echo.
    for (int k = 0; k < kBins; ++k) step[k] = kFirstStep;
    adaptedSum += kFirstStep;
    if (adaptedSum > kFirstStep * kFirstBlocks) adapted = true;
    return true;
  }
  // The residual echo is leak x |Y|^2 per bin. Each bin steps by its residual over its error,
  // blended with the whole block's (at most one half); the spectra are the very ones the
  // gradient is made of, so whatever a near talker leaks into a bin slows that bin.
  const float whole = std::min(3.0f * leak * estimateEnergy / (errorEnergy + 1e-20f), 0.5f);
  for (int k = 0; k < kBins; ++k) {
    const float e2 = gradRe_[k] * gradRe_[k] + gradIm_[k] * gradIm_[k] + 1e-12f;
    const float y2 = yGradRe_[k] * yGradRe_[k] + yGradIm_[k] * yGradIm_[k];
    const float r = std::min(leak * y2, 0.5f * e2);
    step[k] = (0.7f * r + 0.3f * whole * e2) / e2;
  }
  return true;
}

// The spectra of the error block and of the estimate block, each after 128 zeros: the gradient
// and what the step weighs it against.
void EchoCanceller::blockSpectra(const float* error, const float* estimate) {
  zero(frame_, kBlock);
  std::memcpy(frame_ + kBlock, error, sizeof(float) * kBlock);
  fwd(frame_, gradRe_, gradIm_);
  zero(frame_, kBlock);
  std::memcpy(frame_ + kBlock, estimate, sizeof(float) * kBlock);
  fwd(frame_, yGradRe_, yGradIm_);
}

void EchoCanceller::trackUnlearned() {
  const float a = kUnlearnedSmooth, b = 1.0f - kUnlearnedSmooth;
  for (int k = 0; k < kBins; ++k) {
    const float e2 = gradRe_[k] * gradRe_[k] + gradIm_[k] * gradIm_[k];
    const float x2 =
        historyRe[newest][k] * historyRe[newest][k] + historyIm[newest][k] * historyIm[newest][k];
    errorSmooth[k] = a * errorSmooth[k] + b * e2;
    farSmooth[k] = a * farSmooth[k] + b * x2;
  }
  // Each lag is renewed every fourth block, with the step that gives it the same memory; only
  // the lags the echo path lives at count (each adds its chance share to the bias).
  const float a4 = a * a * a * a, b4 = 1.0f - a4;
  float* group = groupSum[lagGroup];
  zero(group, kBins);
  float weights = 0.0f;
  for (int p = 0; p < kPartitions; ++p) weights += lagWeight[p];
  for (int p = lagGroup; p < kPartitions; p += 4) {
    const float w = lagWeight[p];
    if (w == 0.0f) continue;
    const int h = (newest - p + kPartitions) % kPartitions;
    const float* xr = historyRe[h];
    const float* xi = historyIm[h];
    float* cr = crossRe[p];
    float* ci = crossIm[p];
    for (int k = 0; k < kBins; ++k) {
      cr[k] = a4 * cr[k] + b4 * (gradRe_[k] * xr[k] + gradIm_[k] * xi[k]);
      ci[k] = a4 * ci[k] + b4 * (gradIm_[k] * xr[k] - gradRe_[k] * xi[k]);
      group[k] += w * (cr[k] * cr[k] + ci[k] * ci[k]);
    }
  }
  lagGroup = (lagGroup + 1) % 4;
  const float bias = std::min(weights * (1.0f - a4) / (1.0f + a4), 0.9f);
  float explainedSum = 0.0f, errorSum = 0.0f;
  for (int k = 0; k < kBins; ++k) {
    const float sum = groupSum[0][k] + groupSum[1][k] + groupSum[2][k] + groupSum[3][k];
    const float rho = sum / (errorSmooth[k] * farSmooth[k] + 1e-20f);
    unlearned[k] = std::clamp((rho - bias) / (1.0f - bias), 0.0f, 1.0f);
    explainedSum += unlearned[k] * errorSmooth[k];
    errorSum += errorSmooth[k];
  }
  explained = explainedSum / (errorSum + 1e-20f);
}

void EchoCanceller::adapt(const float* step) {
  // The normalised gradient, step x E over the far-end power each bin's weights see (by their
  // share and uncertainty), is the same for every partition.
  float weighted[kBins];
  zero(weighted, kBins);
  for (int p = 0; p < kPartitions; ++p) {
    accumulateUncertain(partitionShare[p], uncertainty[p],
                        historyPower[(newest - p + kPartitions) % kPartitions], weighted);
  }
  float gRe[kBins], gIm[kBins], h[kBins];
  for (int k = 0; k < kBins; ++k) {
    const float norm = step[k] * stepScale / (weighted[k] + kRegularisation);
    gRe[k] = norm * gradRe_[k];
    gIm[k] = norm * gradIm_[k];
    h[k] = kShrink * norm;
  }
  float energy[kPartitions];
  float largest = 0.0f;
  for (int p = 0; p < kPartitions; ++p) {
    const int at = (newest - p + kPartitions) % kPartitions;
    float* wr = filterRe[p];
    float* wi = filterIm[p];
    updatePartition(partitionShare[p], gRe, gIm, h, historyRe[at], historyIm[at], historyPower[at],
                    wr, wi, uncertainty[p]);
    energy[p] = std::sqrt(platform::dsp::sumOfSquares(wr, kBins) +
                          platform::dsp::sumOfSquares(wi, kBins) + 1e-12f);
    largest = std::max(largest, energy[p]);
  }
  // Shares for the next block: after each partition's weight, with a tenth of the largest for
  // every partition so none stops learning; they add up to the partition count.
  float total = 0.0f;
  for (int p = 0; p < kPartitions; ++p) {
    energy[p] += 0.1f * largest;
    total += energy[p];
  }
  for (int p = 0; p < kPartitions; ++p) partitionShare[p] = kPartitions * energy[p] / total;
  // The lags the echo path lives at, for the unlearned echo: partitions within 15 dB of the
  // strongest.
  for (int p = 0; p < kPartitions; ++p) {
    const float w = (energy[p] - 0.1f * largest) / (largest + 1e-12f);
    lagWeight[p] = w * w >= kUnlearnedLagShare ? 1.0f : 0.0f;
  }
  // The gradient constraint (a partition's taps stay within its 128 samples), one partition
  // per block in turn.
  float* wr = filterRe[constraintIndex];
  float* wi = filterIm[constraintIndex];
  inv(wr, wi, frame_);
  zero(frame_ + kBlock, kBlock);
  fwd(frame_, wr, wi);
  constraintIndex = (constraintIndex + 1) % kPartitions;
}

void EchoCanceller::suppress(float strength, float* outBlock) {
  // Echo the filter has not learned shows in the error's coherence with the far end; it is
  // taken out only while it makes up most of the error.
  const float unlearnedGain = explained >= kUnlearnedGate ? kUnlearnedGain : 0.0f;
  const float residual = std::clamp(leak, 0.001f, 1.0f);
  const float over = (29.0f * strength * strength + 1.0f) * residual;
  const float floorGain = std::pow(10.0f, -(24.0f * strength + 6.0f) / 20.0f);
  for (int k = 0; k < kBins; ++k) {
    const float e2 = specRe_[k] * specRe_[k] + specIm_[k] * specIm_[k];
    const float y2 = spec2Re_[k] * spec2Re_[k] + spec2Im_[k] * spec2Im_[k];
    // A bin that lags the rest of the filter is suppressed by its own leak.
    const float behind = std::min(binLeak[k], kBinLeakCap) / residual;
    const float binOver = over * std::max(1.0f, behind);
    const float g =
        std::clamp(1.0f - std::max(binOver * y2 / (e2 + 1e-9f), unlearnedGain * unlearned[k]),
                   floorGain, 1.0f);
    // Gains fall at once and recover halfway per block.
    gains[k] = g < gains[k] ? g : 0.5f * (gains[k] + g);
    specRe_[k] *= gains[k];
    specIm_[k] *= gains[k];
  }

  inv(specRe_, specIm_, frame_);
  for (int n = 0; n < kBlock; ++n) {
    outBlock[n] = frame_[n] * window[n] + overlapTail[n];
    overlapTail[n] = frame_[n + kBlock] * window[n + kBlock];
  }
}

void EchoCanceller::process(float* nearBlock, const float* farBlock, float strength) {
  strength = std::clamp(std::isfinite(strength) ? strength : 0.0f, 0.0f, 1.0f);
  // One NaN or infinity would stay in the far-end history, the power sums and the gains for good:
  // such samples count as silence.
  float farClean[kBlock];
  if (!std::isfinite(platform::dsp::sumOfSquares(farBlock, kBlock))) {
    for (int n = 0; n < kBlock; ++n) farClean[n] = std::isfinite(farBlock[n]) ? farBlock[n] : 0.0f;
    farBlock = farClean;
  }
  if (!std::isfinite(platform::dsp::sumOfSquares(nearBlock, kBlock))) {
    for (int n = 0; n < kBlock; ++n) {
      if (!std::isfinite(nearBlock[n])) nearBlock[n] = 0.0f;
    }
  }
  addFarFrame(farBlock);

  // Echo estimate by overlap-save: the second half of the filtered frame.
  float yRe[kBins] = {}, yIm[kBins] = {};
  for (int p = 0; p < kPartitions; ++p) {
    const int h = (newest - p + kPartitions) % kPartitions;
    const float* xr = historyRe[h];
    const float* xi = historyIm[h];
    accumulateProduct(filterRe[p], filterIm[p], xr, xi, yRe, yIm);
  }
  inv(yRe, yIm, frame_);
  float estimate[kBlock];
  float error[kBlock];
  std::memcpy(estimate, frame_ + kBlock, sizeof(estimate));
  for (int n = 0; n < kBlock; ++n) error[n] = nearBlock[n] - estimate[n];

  const float nearEnergy = platform::dsp::sumOfSquares(nearBlock, kBlock);
  const float errorEnergy = platform::dsp::sumOfSquares(error, kBlock);
  const float estimateEnergy = platform::dsp::sumOfSquares(estimate, kBlock);
  const float farEnergy = platform::dsp::sumOfSquares(farBlock, kBlock) / kBlock;

  if (!std::isfinite(errorEnergy)) {
    // Numbers gone bad: back to the last good filter (or none) and the plain input.
    const bool restore = haveGood;
    relearn();
    if (restore) {
      std::memcpy(filterRe, goodRe, sizeof(filterRe));
      std::memcpy(filterIm, goodIm, sizeof(filterIm));
      haveGood = true;
      ++reverts;
    } else {
      ++divergences;
    }
    spanNear = spanError = 0.0f;
    spanBlocks = 0;
    std::memcpy(error, nearBlock, sizeof(error));
    zero(estimate, kBlock);
    spectra(error, estimate);
  } else {
    spectra(error, estimate);
    blockSpectra(error, estimate);
    // With the far end quiet nothing can be explained by it: the suppressor leaves it be.
    if (farEnergy > kQuietFar) {
      trackUnlearned();
    } else {
      explained = 0.0f;
    }
    float step[kBins];
    if (adaptStep(errorEnergy, estimateEnergy, farEnergy, step)) {
      adapt(step);
      // The published suppression is judged where the echo fills the microphone.
      if (estimateEnergy >= 0.25f * nearEnergy) {
        nearPower = 0.95f * nearPower + 0.05f * nearEnergy;
        errorPower = 0.95f * errorPower + 0.05f * errorEnergy;
        suppressionDb = 10.0f * std::log10((nearPower + 1e-12f) / (errorPower + 1e-12f));
      }
    }
    if (farEnergy > kQuietFar) judgeSpan(nearEnergy, errorEnergy);
    // Whatever the filter does meanwhile, a block never leaves louder than it came in.
    // The estimate stays: it still tells the suppressor how much echo the input holds.
    if (errorEnergy > 2.0f * nearEnergy + 1e-9f) {
      std::memcpy(error, nearBlock, sizeof(error));
      spectra(error, estimate);
    }
  }

  suppress(strength, nearBlock);
  std::memcpy(previousError, error, sizeof(error));
  std::memcpy(previousEstimate, estimate, sizeof(estimate));
}

// ---- the bank's stage ----

namespace {

constexpr uint32_t kStageChunk = 4096;
constexpr uint32_t kBacklogLimit = 4096; // waiting frames beyond the chunk that trigger a cut
constexpr uint32_t kBacklogKeep = 1024;  // frames beyond the chunk kept after a cut
constexpr float kStageFadeStep = 0.0020833334f; // 1/480 per frame: 10 ms

// A far end that has run ahead is cut back; the reader owns the read position.
void limitBacklog(StereoRing& ring, uint32_t chunk) {
  const uint64_t w = ring.writeIndex.load(std::memory_order_acquire);
  const uint64_t r = ring.readIndex.load(std::memory_order_relaxed);
  if (w - r > uint64_t{chunk} + kBacklogLimit) {
    ring.readIndex.store(w - (uint64_t{chunk} + kBacklogKeep), std::memory_order_release);
  }
}

} // namespace

void InputFx::clearAec() {
  aecLeft->reset();
  aecRight->reset();
  aecFill = 0;
  for (float* block : {aecNearL, aecNearR, aecFar, aecOutL, aecOutR}) {
    zero(block, EchoCanceller::kBlock);
  }
  for (StereoRing* ring : farEnd) {
    if (ring != nullptr) ring->drain();
  }
}

void InputFx::processPre(float* interleaved, uint32_t frames) {
  float target = 1.0f;
  if (enabled[FxId::aec].load(std::memory_order_relaxed)) {
    if (aecFade == 0.0f) clearAec(); // starting from fully off: no stale filter, no backlog
  } else {
    if (aecFade == 0.0f) return;
    target = 0.0f;
  }
  const uint32_t request = aecReset.load(std::memory_order_acquire);
  if (request != aecResetSeen) {
    aecResetSeen = request;
    clearAec();
  }
  const float strength =
      std::clamp(params[FxId::aec][0].load(std::memory_order_relaxed) / 100.0f, 0.0f, 1.0f);

  float* farStereo = aecWork.data();
  float* farMono = aecWork.data() + 2 * kStageChunk;
  for (uint32_t offset = 0; offset < frames; offset += kStageChunk) {
    const uint32_t chunk = std::min(kStageChunk, frames - offset);
    zero(farMono, chunk);
    for (StereoRing* ring : farEnd) {
      if (ring == nullptr) continue;
      limitBacklog(*ring, chunk);
      const uint32_t got = ring->read(farStereo, chunk);
      for (uint32_t i = 0; i < got; ++i) {
        farMono[i] += (farStereo[2 * i] + farStereo[2 * i + 1]) * 0.5f;
      }
    }

    float* frame = interleaved + size_t{offset} * 2;
    for (uint32_t i = 0; i < chunk; ++i) {
      const float dryL = frame[2 * i];
      const float dryR = frame[2 * i + 1];
      const float wetL = aecOutL[aecFill];
      const float wetR = aecOutR[aecFill];
      aecNearL[aecFill] = dryL;
      aecNearR[aecFill] = dryR;
      aecFar[aecFill] = farMono[i];
      if (++aecFill == EchoCanceller::kBlock) {
        aecFill = 0;
        const size_t bytes = sizeof(float) * EchoCanceller::kBlock;
        if (std::memcmp(aecNearL, aecNearR, bytes) != 0) {
          aecLeft->process(aecNearL, aecFar, strength);
          aecRight->process(aecNearR, aecFar, strength);
          std::memcpy(aecOutL, aecNearL, bytes);
          std::memcpy(aecOutR, aecNearR, bytes);
        } else {
          // A mono input: one canceller serves both channels.
          aecLeft->process(aecNearL, aecFar, strength);
          std::memcpy(aecOutL, aecNearL, bytes);
          std::memcpy(aecOutR, aecNearL, bytes);
        }
      }
      if (aecFade < target) {
        aecFade = std::min(aecFade + kStageFadeStep, 1.0f);
      } else if (aecFade > target) {
        aecFade = std::max(aecFade - kStageFadeStep, 0.0f);
      }
      frame[2 * i] = dryL + (wetL - dryL) * aecFade;
      frame[2 * i + 1] = dryR + (wetR - dryR) * aecFade;
    }
  }
  aecSuppressionDb.store(aecLeft->suppressionDb, std::memory_order_relaxed);
}

} // namespace velto
