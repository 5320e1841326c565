// Feedback suppression of the effect bank: every 512 samples a spectral analysis looks for a tone
// that holds and grows (a howl), cuts it with one of six narrow notches and, when tones keep
// coming back, lowers the whole input (the duck). Audio thread only; the control side reads the
// published notches, duck, last frequency and event count, and posts reset requests.
#include "effects/input_fx.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace velto {

namespace dsp = platform::dsp;

namespace {

constexpr uint32_t kHop = 512;   // samples between analyses
constexpr uint32_t kRing = 2048; // samples per analysis
constexpr int kFftLog2 = 11;
constexpr uint32_t kBins = kRing / 2;
constexpr int kLowBin = 6;                     // about 141 Hz
constexpr int kHighBin = 511;                  // about 12 kHz
constexpr uint32_t kAgeLimit = 5626;           // analyses: about 60 s without a hit
constexpr uint32_t kReleaseAfter = 188;        // analyses: about 2 s without a detection
constexpr float kReleaseStepDb = 0.010666667f; // per analysis: 1 dB per second
constexpr float kQuietGateDb = -55.0f;
constexpr float kStepDb = 6.0f;
constexpr float kFirstDepthDb = 12.0f;
constexpr float kMaxDuckDb = 24.0f;
constexpr double kAnalysisSeconds = kHop / 48000.0;
constexpr double kBinHz = 48000.0 / kRing;

float param(const std::atomic<float>& p) {
  return p.load(std::memory_order_relaxed);
}

// One section, both channels alike: a peaking cut of depthDb at hz with Q 30, or pass-through.
void notchSection(double hz, double depthDb, double* out) {
  double c[5] = {1.0, 0.0, 0.0, 0.0, 0.0};
  if (depthDb > 0.0) {
    const double a = std::pow(10.0, -depthDb / 40.0);
    const double w = 2.0 * std::numbers::pi * hz / 48000.0;
    const double alpha = std::sin(w) / 60.0;
    const double a0 = 1.0 + alpha / a;
    c[0] = (1.0 + alpha * a) / a0;
    c[1] = -2.0 * std::cos(w) / a0;
    c[2] = (1.0 - alpha * a) / a0;
    c[3] = c[1];
    c[4] = (1.0 - alpha / a) / a0;
  }
  std::copy(c, c + 5, out);
  std::copy(c, c + 5, out + 5);
}

double powerDb(float power) {
  return 10.0 * std::log10(static_cast<double>(power) + 1e-30);
}

} // namespace

void InputFx::feedback(float* left, float* right, uint32_t frames) {
  const uint32_t request = feedbackReset.load(std::memory_order_acquire);
  if (request != feedbackResetSeen) {
    feedbackResetSeen = request;
    clearFeedback();
  }

  // Notches glide toward their targets; coefficients follow only when they moved noticeably.
  bool changed = false;
  bool anyApplied = false;
  for (int k = 0; k < kNotches; ++k) {
    Notch& slot = notchSlots[k];
    slot.currentDb += (slot.targetDb - slot.currentDb) * 0.2f;
    if (slot.targetDb == 0.0f && slot.currentDb < 0.01f) {
      slot.currentDb = 0.0f;
      slot.hz = 0.0f;
    }
    if (std::fabs(slot.currentDb - notchApplied[k]) > 0.02f ||
        (slot.currentDb == 0.0f && notchApplied[k] != 0.0f)) {
      double section[2 * 5];
      notchSection(slot.hz, slot.currentDb, section);
      notchFilter->setCoefficients(section, k, 1);
      notchApplied[k] = slot.currentDb;
      changed = true;
    }
    anyApplied = anyApplied || notchApplied[k] > 0.0f;
  }
  if (changed || anyApplied) {
    float* channels[2] = {left, right};
    notchFilter->process(channels, channels, frames);
  }

  // The duck comes in over a few blocks and lets go at once.
  const float oldDb = duckCurrentDb;
  duckCurrentDb += (duckTargetDb - duckCurrentDb) * (duckTargetDb > duckCurrentDb ? 0.5f : 1.0f);
  if ((oldDb > 0.001f || duckCurrentDb > 0.001f) && frames > 0) {
    const float from = std::pow(10.0f, -oldDb / 20.0f);
    const float to = std::pow(10.0f, -duckCurrentDb / 20.0f);
    const float step = (to - from) / static_cast<float>(frames);
    for (uint32_t i = 0; i < frames; ++i) {
      const float g = from + step * static_cast<float>(i + 1);
      left[i] *= g;
      right[i] *= g;
    }
    noteReduction(FxId::feedback, to);
  }

  // The analysis listens to what leaves the suppressor.
  for (uint32_t i = 0; i < frames; ++i) {
    const float m = (left[i] + right[i]) * 0.5f;
    feedbackRing[feedbackRingIndex] = m;
    feedbackRingIndex = (feedbackRingIndex + 1) % kRing;
    feedbackEnergy += static_cast<double>(m) * m;
    if (--feedbackCountdown == 0) {
      analyzeFeedback();
      feedbackCountdown = kHop;
      feedbackEnergy = 0.0;
    }
  }
}

void InputFx::analyzeFeedback() {
  for (Notch& slot : notchSlots) {
    if (slot.targetDb > 0.0f && ++slot.age >= kAgeLimit) slot.targetDb = 0.0f;
  }
  if (duckFloorDb > 0.0f && ++duckFloorAge >= kAgeLimit) duckFloorDb = 0.0f;
  ++feedbackQuiet;
  if (feedbackQuiet >= kReleaseAfter && duckTargetDb > duckFloorDb) {
    duckTargetDb = std::max(duckTargetDb - kReleaseStepDb, duckFloorDb);
  }
  for (int k = 0; k < kNotches; ++k) {
    const Notch& slot = notchSlots[k];
    notchHz[k].store(slot.targetDb > 0.0f ? slot.hz : 0.0f, std::memory_order_relaxed);
    notchDepthDb[k].store(slot.targetDb, std::memory_order_relaxed);
  }
  feedbackDuckDb.store(duckTargetDb, std::memory_order_relaxed);

  const double level = 10.0 * std::log10(feedbackEnergy / kHop + 1e-20);
  if (level < kQuietGateDb) {
    feedbackCandidate = -1;
    return;
  }

  // The ring in time order (oldest first), windowed, packed as the real FFT expects it.
  for (uint32_t k = 0; k < kBins; ++k) {
    const uint32_t n = 2 * k;
    fftReal[k] = feedbackRing[(feedbackRingIndex + n) % kRing] * hannWindow[n];
    fftImag[k] = feedbackRing[(feedbackRingIndex + n + 1) % kRing] * hannWindow[n + 1];
  }
  fft->realInPlace({fftReal, fftImag}, kFftLog2, dsp::FftDirection::forward);
  fftImag[0] = 0.0f; // the packed Nyquist value
  dsp::squaredMagnitudes({fftReal, fftImag}, fftPower, kBins);

  int peak = kLowBin;
  for (int b = kLowBin + 1; b <= kHighBin; ++b) {
    if (fftPower[b] > fftPower[peak]) peak = b;
  }
  const float peakPower = fftPower[peak];
  double sum = 0.0;
  int count = 0;
  for (int b = std::max(1, peak - 24); b <= std::min<int>(kBins - 1, peak + 24); ++b) {
    if (b >= peak - 3 && b <= peak + 3) continue;
    sum += fftPower[b];
    ++count;
  }
  const double mean = count < 2 ? sum : sum / count;
  const double prominence = 10.0 * std::log10((peakPower + 1e-30) / (mean + 1e-30));
  const float sensitivity = param(params[FxId::feedback][0]);
  if (prominence < 34.0 - 2.0 * sensitivity) {
    feedbackCandidate = -1;
    return;
  }

  const auto peakDb = static_cast<float>(powerDb(peakPower));
  if (feedbackCandidate < 0 || std::abs(peak - feedbackCandidate) > 1) {
    feedbackCandidate = peak;
    feedbackCandidateCount = 1;
  } else {
    ++feedbackCandidateCount;
  }
  const uint32_t c = feedbackCandidateCount;
  feedbackHistory[c % 16] = peakDb;
  if (c < 6) return;

  auto h = [this](uint32_t n) { return feedbackHistory[n % 16]; };
  const bool rising = h(c) - h(c - 2) >= 3.0f && h(c) > h(c - 1);
  const auto growthCount =
      static_cast<uint32_t>(std::max(8, static_cast<int>(26.0f - 2.0f * sensitivity)));
  const bool growing = c >= growthCount && h(c) - h(c - 8) >= 1.5f && h(c) > h(c - 2);
  const bool lasting = c * kAnalysisSeconds >= 1.0 && level > -10.0;
  if (!rising && !growing && !lasting) return;

  // Frequency from a parabola through the dB values around the peak.
  const double a = powerDb(fftPower[peak - 1]);
  const double b = powerDb(fftPower[peak]);
  const double d = powerDb(fftPower[peak + 1]);
  const double curve = a - 2.0 * b + d;
  const double offset =
      std::fabs(curve) <= 1e-6 ? 0.0 : std::clamp(0.5 * (a - d) / curve, -0.5, 0.5);
  const auto hz = static_cast<float>((peak + offset) * kBinHz);

  const float range = param(params[FxId::feedback][1]);
  int chosen = -1;
  for (int k = 0; k < kNotches; ++k) {
    const Notch& slot = notchSlots[k];
    if (slot.targetDb > 0.0f && std::fabs(slot.hz - hz) < 0.04f * hz) chosen = k;
  }
  if (chosen >= 0) {
    Notch& slot = notchSlots[chosen];
    if (slot.targetDb < range) {
      slot.targetDb = std::min(slot.targetDb + kStepDb, range);
    } else {
      duckTargetDb = std::min(duckTargetDb + kStepDb, kMaxDuckDb);
    }
  } else {
    for (int k = 0; k < kNotches && chosen < 0; ++k) {
      if (notchSlots[k].targetDb == 0.0f && notchSlots[k].currentDb == 0.0f) chosen = k;
    }
    if (chosen < 0) {
      chosen = 0;
      for (int k = 1; k < kNotches; ++k) {
        if (notchSlots[k].age > notchSlots[chosen].age) chosen = k;
      }
      notchSlots[chosen].currentDb = 0.0f; // the new notch grows from nothing
    }
    notchSlots[chosen].hz = hz;
    notchSlots[chosen].targetDb = std::min(range, kFirstDepthDb);
  }
  notchSlots[chosen].age = 0;

  const float duck = duckTargetDb;
  if (duck > 0.0f) {
    duckFloorDb = std::max(duckFloorDb, duck);
    duckFloorAge = 0;
  }
  if (feedbackQuiet * kAnalysisSeconds < 3.0) duckTargetDb = std::min(duck + kStepDb, kMaxDuckDb);

  feedbackQuiet = 0;
  feedbackCandidate = -1;
  feedbackCandidateCount = 0;
  feedbackLastHz.store(hz, std::memory_order_relaxed);
  feedbackEvents.fetch_add(1, std::memory_order_relaxed);
}

void InputFx::clearFeedback() {
  for (Notch& slot : notchSlots) slot = Notch{};
  std::fill(std::begin(notchApplied), std::end(notchApplied), 0.0f);
  double pass[kNotches * 2 * 5] = {};
  for (int s = 0; s < kNotches * 2; ++s) pass[s * 5] = 1.0;
  notchFilter->setCoefficients(pass);
  notchFilter->reset();
  duckTargetDb = 0.0f;
  duckCurrentDb = 0.0f;
  feedbackQuiet = kQuietNoDetection;
  duckFloorDb = 0.0f;
  duckFloorAge = 0;
  feedbackCandidate = -1;
  feedbackCandidateCount = 0;
  for (int k = 0; k < kNotches; ++k) {
    notchHz[k].exchange(0.0f);
    notchDepthDb[k].exchange(0.0f);
  }
  feedbackDuckDb.exchange(0.0f);
}

} // namespace velto
