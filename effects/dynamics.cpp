// The bank's level-controlled effects: noise gate, compressor, de-esser and peak limiter. Audio
// thread only. Each one detects on the louder channel, computes one gain per sample, applies it
// to both channels alike and reports the block's deepest reduction through noteReduction.
#include "effects/input_fx.h"

#include <algorithm>
#include <cmath>

namespace velto {

namespace dsp = platform::dsp;

namespace {

constexpr float kDbToLn = 0.115129255f;  // ln(10) / 20: 10^(dB/20) = exp(dB * kDbToLn)
constexpr float kFloor = 1e-10f;         // keeps the logarithm of silence finite
constexpr uint32_t kLimiterWindow = 48;  // frames of look-ahead and of gain averaging
constexpr uint32_t kLimiterCycle = 2352; // 48 x 49: both windows line up again

float param(const std::atomic<float>& p) {
  return p.load(std::memory_order_relaxed);
}

// One-pole coefficient for a time constant in milliseconds, held at no less than 0.01 ms.
float timeCoefficient(float ms) {
  return std::exp(-1.0f / (std::max(ms, 0.01f) * 0.001f * 48000.0f));
}

// max(|left|, |right|) per sample into `out`; `scratch` is overwritten.
void stereoPeak(const float* left, const float* right, float* out, float* scratch,
                uint32_t frames) {
  dsp::abs(left, out, frames);
  dsp::abs(right, scratch, frames);
  dsp::max(out, scratch, out, frames);
}

// A gain curve in dB becomes linear factors, multiplied into both channels.
void applyDbCurve(float* curve, float* left, float* right, uint32_t frames) {
  dsp::scale(curve, kDbToLn, curve, frames);
  dsp::exp(curve, curve, frames);
  dsp::mul(left, curve, left, frames);
  dsp::mul(right, curve, right, frames);
}

} // namespace

void InputFx::gate(float* left, float* right, uint32_t frames) {
  const auto& p = params[FxId::gate];
  const float threshold = param(p[0]);
  const float range = param(p[1]);
  const float openLevel = std::pow(10.0f, threshold / 20.0f);
  const float closeLevel = std::pow(10.0f, (threshold - 4.0f) / 20.0f); // 4 dB of hysteresis
  float attack = param(p[2]) * 0.001f * 48000.0f;
  float release = param(p[4]) * 0.001f * 48000.0f;
  if (attack <= 1.0f) attack = 1.0f;
  if (release <= 1.0f) release = 1.0f;
  const auto hold = static_cast<uint32_t>(param(p[3]) * 0.001f * 48000.0f);
  const float riseStep = range / attack;
  const float fallStep = range / release;

  stereoPeak(left, right, detector, gainCurve, frames);
  float lowest = 0.0f;
  for (uint32_t k = 0; k < frames; ++k) {
    const float peak = detector[k];
    bool rise = gateOpen;
    if (peak >= openLevel) {
      gateOpen = true;
      gateHold = hold;
      rise = true;
    } else if (peak < closeLevel) {
      if (gateHold == 0) {
        gateOpen = false;
        rise = false;
      } else {
        --gateHold;
      }
    }
    gateGainDb =
        rise ? std::min(0.0f, gateGainDb + riseStep) : std::max(-range, gateGainDb - fallStep);
    gainCurve[k] = gateGainDb;
    lowest = std::min(lowest, gateGainDb);
  }
  applyDbCurve(gainCurve, left, right, frames);
  noteReduction(FxId::gate, std::pow(10.0f, lowest / 20.0f));
}

void InputFx::compressor(float* left, float* right, uint32_t frames) {
  const auto& p = params[FxId::compressor];
  const float threshold = param(p[0]);
  const float ratio = param(p[1]);
  const float knee = param(p[2]);
  const float attack = timeCoefficient(param(p[3]));
  const float release = timeCoefficient(param(p[4]));
  const float makeup = param(p[5]);
  const float slope = 1.0f / ratio - 1.0f;

  stereoPeak(left, right, detector, gainCurve, frames);
  dsp::addScalar(detector, kFloor, detector, frames);
  dsp::toDb(detector, 1.0f, detector, frames, true);
  float lowest = 0.0f;
  for (uint32_t k = 0; k < frames; ++k) {
    const float x = detector[k];
    const float d = x - threshold;
    float y = x;
    if (2.0f * d > knee) {
      y = threshold + d / ratio;
    } else if (knee > 0.0f && std::fabs(2.0f * d) <= knee) {
      const float into = d + knee / 2.0f;
      y = x + slope * into * into / (2.0f * knee);
    }
    const float target = y - x;
    const float a = compressorGainDb > target ? attack : release;
    compressorGainDb = target + (compressorGainDb - target) * a;
    gainCurve[k] = compressorGainDb + makeup;
    lowest = std::min(lowest, compressorGainDb);
  }
  applyDbCurve(gainCurve, left, right, frames);
  noteReduction(FxId::compressor, std::pow(10.0f, lowest / 20.0f));
}

void InputFx::deEsser(float* left, float* right, uint32_t frames) {
  constexpr float kGrow = 0.959189475f;   // 24 samples: 0.5 ms
  constexpr float kShrink = 0.999652863f; // 2880 samples: 60 ms
  const auto& p = params[FxId::deEsser];
  const float threshold = param(p[1]);
  const float range = param(p[2]);

  // The sibilance band; its state carries over from block to block.
  const float* in[2] = {left, right};
  float* band[2] = {filterL, filterR};
  deEsserFilter->process(in, band, frames);

  stereoPeak(filterL, filterR, detector, gainCurve, frames);
  dsp::addScalar(detector, kFloor, detector, frames);
  dsp::toDb(detector, 1.0f, detector, frames, true);
  float lowest = 0.0f;
  for (uint32_t k = 0; k < frames; ++k) {
    const float wanted = std::min(std::max((detector[k] - threshold) * 0.75f, 0.0f), range);
    const float c = deEsserGainDb > -wanted ? kGrow : kShrink;
    deEsserGainDb = -wanted + (deEsserGainDb + wanted) * c;
    gainCurve[k] = deEsserGainDb;
    lowest = std::min(lowest, deEsserGainDb);
  }
  // Only the band is lowered: out = in + band * (g - 1).
  dsp::scale(gainCurve, kDbToLn, gainCurve, frames);
  dsp::exp(gainCurve, gainCurve, frames);
  dsp::addScalar(gainCurve, -1.0f, gainCurve, frames);
  dsp::mul(filterL, gainCurve, filterL, frames);
  dsp::mul(filterR, gainCurve, filterR, frames);
  dsp::add(left, filterL, left, frames);
  dsp::add(right, filterR, right, frames);
  noteReduction(FxId::deEsser, std::pow(10.0f, lowest / 20.0f));
}

void InputFx::limiter(float* left, float* right, uint32_t frames) {
  const auto& p = params[FxId::limiter];
  const float ceiling = std::pow(10.0f, param(p[0]) / 20.0f);
  const float release = timeCoefficient(param(p[1]));
  const bool lookahead = param(p[2]) >= 0.5f;

  // Switched on from silence, or the mode changed: unity gain and an empty delay line.
  if (lookahead != limiterLookahead || wetLevel[FxId::limiter] == 0.0f) {
    std::fill(std::begin(limiterTargets), std::end(limiterTargets), 1.0f);
    std::fill(std::begin(limiterSmooth), std::end(limiterSmooth), 1.0f);
    limiterSum = 48.0;
    for (auto& frame : limiterDelay) frame[0] = frame[1] = 0.0f;
    limiterCounter = 0;
    limiterGain = 1.0f;
    limiterLookahead = lookahead;
  }

  stereoPeak(left, right, detector, gainCurve, frames);
  float lowest = 1.0f;
  if (!lookahead) {
    for (uint32_t k = 0; k < frames; ++k) {
      const float peak = detector[k];
      const float target = peak > ceiling ? ceiling / peak : 1.0f;
      limiterGain = target < limiterGain ? target : target + (limiterGain - target) * release;
      gainCurve[k] = limiterGain;
      lowest = std::min(lowest, limiterGain);
    }
    dsp::mul(left, gainCurve, left, frames);
    dsp::mul(right, gainCurve, right, frames);
  } else {
    for (uint32_t k = 0; k < frames; ++k) {
      const float peak = detector[k];
      const float target = peak > ceiling ? ceiling / peak : 1.0f;
      const uint32_t i = limiterCounter;
      limiterTargets[i % 49] = target;
      const float m = *std::min_element(std::begin(limiterTargets), std::end(limiterTargets));
      limiterGain = m < limiterGain ? m : m + (limiterGain - m) * release;

      const uint32_t j = i % kLimiterWindow;
      limiterSum += static_cast<double>(limiterGain) - limiterSmooth[j];
      limiterSmooth[j] = limiterGain;
      if (j == kLimiterWindow - 1) {
        // Recomputed exactly once per window so rounding cannot drift.
        double exact = 0.0;
        for (const float g : limiterSmooth) exact += g;
        limiterSum = exact;
      }
      const float factor = std::min(static_cast<float>(limiterSum / 48.0), 1.0f);

      const float delayedL = limiterDelay[j][0];
      const float delayedR = limiterDelay[j][1];
      limiterDelay[j][0] = left[k];
      limiterDelay[j][1] = right[k];
      left[k] = delayedL * factor;
      right[k] = delayedR * factor;
      lowest = std::min(lowest, factor);
      limiterCounter = (limiterCounter + 1) % kLimiterCycle;
    }
  }
  noteReduction(FxId::limiter, lowest);
}

} // namespace velto
