// The bank's time-based effects: chorus, echo and reverb. Audio thread only. Each keeps the dry
// signal at full level and adds its wet signal scaled by its own mix; all their rings and lines
// are sized when the bank is built, and none adds latency.
#include "effects/input_fx.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace velto {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr float kSamplesPerMs = 48.0f;
constexpr uint32_t kEchoMaxDelay = 96060;
constexpr float kEchoGlide = 0.0005f; // per sample: a time constant of 2000 samples
constexpr uint32_t kReverbPreMax = 9662;
constexpr float kReverbLineMax = 4796.0f;
constexpr float kReverbBases[8] = {1153, 1327, 1559, 1801, 2063, 2357, 2633, 2939};
constexpr uint32_t kAllpassDelays[4] = {142, 107, 379, 277};
constexpr float kAllpassCoef = 0.6f;
constexpr float kHadamardScale = 0.35355338f; // 1 / sqrt(8)

float param(const std::atomic<float>& p) {
  return p.load(std::memory_order_relaxed);
}

// Linear read at fractional position q of a ring; q is brought into range first.
float readRing(const float* ring, uint32_t length, double q) {
  while (q < 0.0) q += length;
  auto i = static_cast<uint32_t>(q);
  const auto frac = static_cast<float>(q - i);
  if (i >= length) i -= length; // q just below zero can round up to the length itself
  const uint32_t next = i + 1 == length ? 0 : i + 1;
  return ring[i] + (ring[next] - ring[i]) * frac;
}

// Adds a wet pair to the output through the mid/side spread.
void spread(float a, float b, float width, float mix, float& left, float& right) {
  const float mid = (a + b) * 0.5f;
  const float side = (a - b) * 0.5f * width;
  left += (mid + side) * mix;
  right += (mid - side) * mix;
}

// The 8 x 8 Hadamard matrix in Sylvester order (entry -1 where i AND j has an odd number of set
// bits) applied as three butterfly stages, unscaled.
void hadamard8(const float* in, float* out) {
  for (int i = 0; i < 8; ++i) out[i] = in[i];
  for (int half = 1; half < 8; half *= 2) {
    for (int start = 0; start < 8; start += 2 * half) {
      for (int i = start; i < start + half; ++i) {
        const float a = out[i], b = out[i + half];
        out[i] = a + b;
        out[i + half] = a - b;
      }
    }
  }
}

} // namespace

void InputFx::chorus(float* left, float* right, uint32_t frames) {
  const auto& p = params[FxId::chorus];
  const int voices = std::clamp(static_cast<int>(param(p[0])), 1, 4);
  const float norm = 1.0f / std::sqrt(static_cast<float>(voices));
  const float base = param(p[1]) * kSamplesPerMs;
  const float swing = param(p[2]) * kSamplesPerMs;
  const double step = param(p[3]) * kTwoPi / 48000.0;
  const float across = 1.0f - param(p[4]) / 100.0f; // share of a voice on the far side
  const float mix = param(p[5]) / 100.0f;
  const auto length = static_cast<uint32_t>(chorusRing[0].size());
  float* ringL = chorusRing[0].data();
  float* ringR = chorusRing[1].data();

  for (uint32_t k = 0; k < frames; ++k) {
    ringL[chorusWrite] = left[k];
    ringR[chorusWrite] = right[k];
    float sumL = 0.0f, sumR = 0.0f;
    for (int v = 0; v < voices; ++v) {
      const auto s = static_cast<float>(std::sin(chorusPhase + kTwoPi * v / voices));
      const float d = base + 1.0f + swing * (s + 1.0f) / 2.0f;
      const double q = static_cast<double>(chorusWrite) - d;
      const float x = (readRing(ringL, length, q) + readRing(ringR, length, q)) * 0.5f * norm;
      if (voices == 1) {
        sumL += x;
        sumR += x;
      } else if (v % 2 == 0) {
        sumL += x;
        sumR += x * across;
      } else {
        sumL += x * across;
        sumR += x;
      }
    }
    left[k] += sumL * mix;
    right[k] += sumR * mix;
    chorusWrite = (chorusWrite + 1) % length;
    chorusPhase += step;
    if (chorusPhase >= kTwoPi) chorusPhase -= kTwoPi;
  }
}

void InputFx::echo(float* left, float* right, uint32_t frames) {
  const auto& p = params[FxId::echo];
  const float target =
      std::clamp(param(p[0]) * 0.001f * 48000.0f, 1.0f, static_cast<float>(kEchoMaxDelay));
  const float feedback = param(p[1]) / 100.0f;
  const float mix = param(p[2]) / 100.0f;
  const auto pole = static_cast<float>(std::exp(-kTwoPi * param(p[3]) / 48000.0));
  const bool pingPong = param(p[4]) >= 0.5f;
  const float width = param(p[5]) / 100.0f;
  const auto length = static_cast<uint32_t>(echoLine[0].size());
  float* lineL = echoLine[0].data();
  float* lineR = echoLine[1].data();

  for (uint32_t k = 0; k < frames; ++k) {
    // The delay glides, so a change of time bends the repeats instead of jumping.
    echoDelay += (target - echoDelay) * kEchoGlide;
    const double q = static_cast<double>(echoWrite) - echoDelay;
    echoLow[0] += (readRing(lineL, length, q) - echoLow[0]) * (1.0f - pole);
    echoLow[1] += (readRing(lineR, length, q) - echoLow[1]) * (1.0f - pole);
    if (pingPong) {
      // The input enters on the left; every repeat crosses to the other side.
      lineL[echoWrite] = (left[k] + right[k]) * 0.5f + echoLow[1] * feedback;
      lineR[echoWrite] = echoLow[0] * feedback;
    } else {
      lineL[echoWrite] = left[k] + echoLow[0] * feedback;
      lineR[echoWrite] = right[k] + echoLow[1] * feedback;
    }
    spread(echoLow[0], echoLow[1], width, mix, left[k], right[k]);
    echoWrite = (echoWrite + 1) % length;
  }
}

void InputFx::reverb(float* left, float* right, uint32_t frames) {
  const auto& p = params[FxId::reverb];
  const float mix = param(p[0]) / 100.0f;
  const float size = param(p[1]) / 100.0f;
  const float decaySamples = param(p[2]) * 48000.0f;
  const auto pole = static_cast<float>(std::exp(-kTwoPi * param(p[3]) / 48000.0));
  const float predelay = param(p[4]) * 0.001f * 48000.0f;
  const float width = param(p[5]) / 100.0f;

  // The room size moves 5 % of the way per block so that a change does not click.
  reverbSize = reverbSize < 0.0f ? size : reverbSize + (size - reverbSize) * 0.05f;
  const float scale = 0.4f + 1.2f * reverbSize;
  float lengths[8], gains[8];
  for (int i = 0; i < 8; ++i) {
    lengths[i] = std::min(kReverbBases[i] * scale, kReverbLineMax);
    gains[i] = std::pow(10.0f, -3.0f * lengths[i] / decaySamples); // -60 dB after "decay"
  }
  const auto preLength = static_cast<uint32_t>(reverbPre.size());
  const auto preBack =
      static_cast<uint32_t>(std::min(std::max(predelay, 0.0f), static_cast<float>(kReverbPreMax)));
  const auto lineLength = static_cast<uint32_t>(reverbLines[0].size());
  float* lines[8];
  for (int i = 0; i < 8; ++i) lines[i] = reverbLines[i].data();

  for (uint32_t k = 0; k < frames; ++k) {
    reverbPre[reverbPreIndex] = (left[k] + right[k]) * 0.5f;
    float u = reverbPre[(reverbPreIndex + preLength - preBack) % preLength];
    reverbPreIndex = (reverbPreIndex + 1) % preLength;

    for (int s = 0; s < 4; ++s) {
      uint32_t& index = reverbAllpassIndex[s];
      const float y = reverbAllpass[s][(index + 512 - kAllpassDelays[s]) % 512];
      const float v = u + kAllpassCoef * y;
      reverbAllpass[s][index] = v;
      u = y - kAllpassCoef * v;
      index = (index + 1) % 512;
    }

    float* o = reverbDamp;
    for (int i = 0; i < 8; ++i) {
      const float tap =
          readRing(lines[i], lineLength, static_cast<double>(reverbWrite) - lengths[i]);
      o[i] += (tap - o[i]) * (1.0f - pole);
    }
    float mixed[8];
    hadamard8(o, mixed);
    for (int i = 0; i < 8; ++i) lines[i][reverbWrite] = mixed[i] * kHadamardScale * gains[i] + u;
    const float wetL = (o[0] - o[1] + o[2] - o[3] + o[4] - o[5] + o[6] - o[7]) * 0.25f;
    const float wetR = (o[0] + o[1] - o[2] - o[3] + o[4] + o[5] - o[6] - o[7]) * 0.25f;
    spread(wetL, wetR, width, mix, left[k], right[k]);
    reverbWrite = (reverbWrite + 1) % lineLength;
  }
}

} // namespace velto
