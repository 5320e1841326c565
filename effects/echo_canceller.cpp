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
constexpr int32_t kSlowedBlocks = 1125; // 3 s of 128-frame blocks

void zero(float* v, size_t n) {
  std::memset(v, 0, n * sizeof(float));
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
      clearFilter();
      haveGood = false;
      badSpans = 0;
      stepScale = 1.0f;
      suppressionDb = 0.0f;
      echoReturnDb = 0.0f;
      ++divergences;
    }
  }
}

void EchoCanceller::reset() {
  std::memset(historyRe, 0, sizeof(historyRe));
  std::memset(historyIm, 0, sizeof(historyIm));
  newest = 0;
  zero(powerSum, kBins);
  clearFilter();
  zero(previousFar, kBlock);
  constraintIndex = 0;
  zero(previousError, kBlock);
  zero(previousEstimate, kBlock);
  std::fill(std::begin(gains), std::end(gains), 1.0f);
  zero(overlapTail, kBlock);
  echoReturnDb = 0.0f;
  nearPower = 0.0f;
  errorPower = 0.0f;
  quietCount = 0;
  suppressionDb = 0.0f;
  divergences = 0;
  haveGood = false;
  spanNear = 0.0f;
  spanError = 0.0f;
  spanBlocks = 0;
  badSpans = 0;
  stepScale = 1.0f;
  reverts = 0;
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
  for (int k = 0; k < kBins; ++k) powerSum[k] -= re[k] * re[k] + im[k] * im[k];
  fwd(frame_, re, im);
  for (int k = 0; k < kBins; ++k) {
    powerSum[k] = std::max(powerSum[k] + re[k] * re[k] + im[k] * im[k], 0.0f);
  }
}

// Step size from how the filter performs against its own estimate. Sets *estimateSuppression
// when this block may update the published suppression.
float EchoCanceller::adaptStep(float nearEnergy, float errorEnergy, float estimateEnergy,
                               float farEnergy, bool* estimateSuppression) {
  const float expected = 4.0f * nearEnergy * std::pow(10.0f, -echoReturnDb / 10.0f) + 1e-10f;
  float mu = 0.0f;
  *estimateSuppression = false;
  if (echoReturnDb <= 10.0f) {
    mu = 0.4f;
    quietCount = 0;
    *estimateSuppression = true;
  } else if (errorEnergy <= expected) {
    quietCount = 0;
    const float ratio = (estimateEnergy + 1e-12f) / (errorEnergy + 1e-12f);
    mu = ratio < 0.3f ? 0.12f : 0.4f * std::min(ratio, 1.0f);
    *estimateSuppression = true;
  } else if (farEnergy > kQuietFar) {
    // Double talk or a changed echo path: adapt slowly; after 3 s of it, trust the estimate less.
    mu = 0.004f;
    if (quietCount >= kSlowedBlocks) echoReturnDb *= 0.995f;
    ++quietCount;
  } else {
    quietCount = 0;
  }
  if (farEnergy <= kQuietFar) {
    mu = 0.0f;
    *estimateSuppression = false;
  }
  return mu;
}

void EchoCanceller::adapt(float mu, const float* error) {
  zero(frame_, kBlock);
  std::memcpy(frame_ + kBlock, error, sizeof(float) * kBlock);
  fwd(frame_, specRe_, specIm_);
  float step[kBins];
  for (int k = 0; k < kBins; ++k) step[k] = mu / (powerSum[k] + 1e-9f + 1e-6f);
  for (int p = 0; p < kPartitions; ++p) {
    const int h = (newest - p + kPartitions) % kPartitions;
    const float* xr = historyRe[h];
    const float* xi = historyIm[h];
    float* wr = filterRe[p];
    float* wi = filterIm[p];
    for (int k = 0; k < kBins; ++k) {
      // W += step E conj(X)
      wr[k] += step[k] * (specRe_[k] * xr[k] + specIm_[k] * xi[k]);
      wi[k] += step[k] * (specIm_[k] * xr[k] - specRe_[k] * xi[k]);
    }
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

void EchoCanceller::suppress(const float* error, const float* estimate, float strength,
                             float* outBlock) {
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

  const float residual = std::min(std::max(std::pow(10.0f, -echoReturnDb / 10.0f), 0.001f), 1.0f);
  const float over = (29.0f * strength * strength + 1.0f) * residual;
  const float floorGain = std::pow(10.0f, -(24.0f * strength + 6.0f) / 20.0f);
  for (int k = 0; k < kBins; ++k) {
    const float e2 = specRe_[k] * specRe_[k] + specIm_[k] * specIm_[k];
    const float y2 = spec2Re_[k] * spec2Re_[k] + spec2Im_[k] * spec2Im_[k];
    const float g = std::clamp(1.0f - over * y2 / (e2 + 1e-9f), floorGain, 1.0f);
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
    const float* wr = filterRe[p];
    const float* wi = filterIm[p];
    for (int k = 0; k < kBins; ++k) {
      yRe[k] += wr[k] * xr[k] - wi[k] * xi[k];
      yIm[k] += wr[k] * xi[k] + wi[k] * xr[k];
    }
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

  bool estimateSuppression = false;
  const float mu =
      adaptStep(nearEnergy, errorEnergy, estimateEnergy, farEnergy, &estimateSuppression);
  if (mu > 0.0f && std::isfinite(errorEnergy)) adapt(mu * stepScale, error);
  if (estimateSuppression && std::isfinite(errorEnergy)) {
    nearPower = 0.95f * nearPower + 0.05f * nearEnergy;
    errorPower = 0.95f * errorPower + 0.05f * errorEnergy;
    suppressionDb = 10.0f * std::log10((nearPower + 1e-12f) / (errorPower + 1e-12f));
    echoReturnDb += (suppressionDb - echoReturnDb) * 0.01f;
  }

  if (!std::isfinite(errorEnergy)) {
    // Numbers gone bad: back to the last good filter (or none) and the plain input.
    if (haveGood) {
      std::memcpy(filterRe, goodRe, sizeof(filterRe));
      std::memcpy(filterIm, goodIm, sizeof(filterIm));
      ++reverts;
    } else {
      clearFilter();
      ++divergences;
    }
    suppressionDb = 0.0f;
    echoReturnDb = 0.0f;
    nearPower = errorPower = 0.0f;
    spanNear = spanError = 0.0f;
    spanBlocks = 0;
    std::memcpy(error, nearBlock, sizeof(error));
    zero(estimate, kBlock);
  } else {
    if (farEnergy > kQuietFar) judgeSpan(nearEnergy, errorEnergy);
    // Whatever the filter does meanwhile, a block never leaves louder than it came in.
    // The estimate stays: it still tells the suppressor how much echo the input holds.
    if (errorEnergy > 2.0f * nearEnergy + 1e-9f) std::memcpy(error, nearBlock, sizeof(error));
  }

  suppress(error, estimate, strength, nearBlock);
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
