// The bank's block framework on the audio thread: 64-frame blocks, the switch-on resets, the
// one-time start at full wet, and the dry/wet crossfade around every effect.
#include "effects/input_fx.h"

#include <algorithm>
#include <cstring>

namespace velto {

namespace {

void clearVector(std::vector<float>& v) {
  std::fill(v.begin(), v.end(), 0.0f);
}

} // namespace

void InputFx::process(float* interleaved, uint32_t frames) {
  bool active = false;
  for (int id = FxId::lowCut; id <= FxId::limiter && !active; ++id) {
    active = wetLevel[id] > 0.0f || enabled[id].load(std::memory_order_relaxed);
  }
  if (!active) return;
  for (uint32_t offset = 0; offset < frames; offset += kBlock) {
    const uint32_t n = std::min(kBlock, frames - offset);
    float* frame = interleaved + size_t{offset} * 2;
    for (uint32_t i = 0; i < n; ++i) {
      blockL[i] = frame[2 * i];
      blockR[i] = frame[2 * i + 1];
    }
    processSub(blockL, blockR, n);
    for (uint32_t i = 0; i < n; ++i) {
      frame[2 * i] = blockL[i];
      frame[2 * i + 1] = blockR[i];
    }
  }
}

void InputFx::processSub(float* left, float* right, uint32_t frames) {
  beginSub();
  for (int id = FxId::lowCut; id <= FxId::limiter; ++id)
    runOne(static_cast<FxId>(id), left, right, frames);
}

void InputFx::beginSub() {
  for (int id = 0; id < kFxCount; ++id) blockOn[id] = enabled[id].load(std::memory_order_relaxed);
  for (int id = 0; id < kFxCount; ++id) {
    if (wetLevel[id] != 0.0f || !blockOn[id]) continue;
    // Fully faded out and now on: no glide from stale values, no old tail.
    for (int i = 0; i < kFxMaxParams; ++i) {
      smoothed[id][i] = params[id][i].load(std::memory_order_relaxed);
    }
    resetEffectState(static_cast<FxId>(id));
  }
  if (!filtersReady) {
    // Effects that are on when the bank first runs start at full wet, without a fade.
    for (int id = 0; id < kFxCount; ++id) {
      if (blockOn[id]) wetLevel[id] = 1.0f;
    }
    updateFilters(true);
    filtersReady = true;
  } else {
    updateFilters(false);
  }
}

void InputFx::runOne(FxId id, float* left, float* right, uint32_t frames) {
  using Run = void (InputFx::*)(float*, float*, uint32_t);
  static constexpr Run kRun[kFxCount] = {
      nullptr,
      &InputFx::lowCut,
      &InputFx::gate,
      &InputFx::eq,
      &InputFx::compressor,
      &InputFx::deEsser,
      &InputFx::feedback,
      &InputFx::pitch,
      &InputFx::octaver,
      &InputFx::harmonizer,
      &InputFx::chorus,
      &InputFx::echo,
      &InputFx::reverb,
      &InputFx::looper,
      &InputFx::limiter,
  };
  if (id < 0 || id >= kFxCount || kRun[id] == nullptr) return;
  const Run run = kRun[id];
  frames = std::min(frames, kBlock);
  const bool on = blockOn[id];
  const float start = wetLevel[id];
  if (on && start == 1.0f) {
    (this->*run)(left, right, frames);
    return;
  }
  if (!on && start == 0.0f) return;

  std::memcpy(dryL, left, frames * sizeof(float));
  std::memcpy(dryR, right, frames * sizeof(float));
  (this->*run)(left, right, frames);
  const float end = on ? std::min(start + kFadeStep, 1.0f) : std::max(start - kFadeStep, 0.0f);
  if (frames > 0) {
    const float step = (end - start) / static_cast<float>(frames);
    for (uint32_t k = 0; k < frames; ++k) {
      // The last sample lands on `end` exactly.
      const float g = k + 1 == frames ? end : start + static_cast<float>(k + 1) * step;
      left[k] = dryL[k] + (left[k] - dryL[k]) * g;
      right[k] = dryR[k] + (right[k] - dryR[k]) * g;
    }
  }
  wetLevel[id] = end;
}

void InputFx::resetEffectState(FxId id) {
  switch (id) {
  case FxId::lowCut:
    lowCutFilter->reset();
    break;
  case FxId::eq:
    eqFilter->reset();
    break;
  case FxId::gate:
    gateGainDb = 0.0f;
    gateOpen = false;
    gateHold = 0;
    break;
  case FxId::compressor:
    compressorGainDb = 0.0f;
    break;
  case FxId::deEsser:
    deEsserFilter->reset();
    deEsserGainDb = 0.0f;
    break;
  case FxId::feedback:
    resetFeedbackState();
    break;
  case FxId::pitch:
    shifters[0].reset();
    clearVector(pitchDry);
    pitchDryIndex = 0;
    break;
  case FxId::octaver:
    shifters[1].reset();
    octaverLow[0] = octaverLow[1] = 0.0f;
    break;
  case FxId::harmonizer:
    shifters[2].reset();
    std::fill(std::begin(harmonizerRatio), std::end(harmonizerRatio), 1.0f);
    break;
  case FxId::chorus:
    // The modulation phase runs on.
    for (auto& ring : chorusRing) clearVector(ring);
    chorusWrite = 0;
    break;
  case FxId::echo:
    for (auto& line : echoLine) clearVector(line);
    echoLow[0] = echoLow[1] = 0.0f;
    echoDelay = params[FxId::echo][0].load(std::memory_order_relaxed) * 0.001f * 48000.0f;
    break;
  case FxId::reverb:
    clearVector(reverbPre);
    reverbPreIndex = 0;
    for (auto& allpass : reverbAllpass) std::fill(std::begin(allpass), std::end(allpass), 0.0f);
    std::fill(std::begin(reverbAllpassIndex), std::end(reverbAllpassIndex), 0u);
    for (auto& line : reverbLines) clearVector(line);
    reverbWrite = 0;
    std::fill(std::begin(reverbDamp), std::end(reverbDamp), 0.0f);
    reverbSize = params[FxId::reverb][1].load(std::memory_order_relaxed) * 0.01f;
    break;
  case FxId::aec:
  case FxId::looper:
  case FxId::limiter:
    break; // these keep or rebuild their own state
  }
}

void InputFx::resetFeedbackState() {
  for (auto& slot : notchSlots) slot = Notch{};
  std::fill(std::begin(notchApplied), std::end(notchApplied), 0.0f);
  double pass[kNotches * 2 * 5] = {};
  for (int s = 0; s < kNotches * 2; ++s) pass[s * 5] = 1.0;
  notchFilter->setCoefficients(pass);
  notchFilter->reset();
  for (int k = 0; k < kNotches; ++k) {
    notchHz[k].exchange(0.0f);
    notchDepthDb[k].exchange(0.0f);
  }
  std::fill(std::begin(feedbackRing), std::end(feedbackRing), 0.0f);
  feedbackRingIndex = 0;
  feedbackEnergy = 0.0;
  feedbackCountdown = 512;
  feedbackCandidate = -1;
  feedbackCandidateCount = 0;
  std::fill(std::begin(feedbackHistory), std::end(feedbackHistory), 0.0f);
  duckTargetDb = 0.0f;
  duckCurrentDb = 0.0f;
  feedbackQuiet = kQuietNoDetection;
  duckFloorDb = 0.0f;
  duckFloorAge = 0;
  feedbackDuckDb.exchange(0.0f);
}

} // namespace velto
