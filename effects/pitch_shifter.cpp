// The pitch shifter (YIN detection, pitch-synchronous and correlation-aligned grains) and the
// three effects that feed it: pitch, octaver and harmonizer. Audio thread only.
#include "effects/pitch_shifter.h"

#include "effects/input_fx.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

namespace velto {

namespace {

constexpr double kPi = std::numbers::pi;

// Detection on a 2:1 decimated frame: 1536 input samples, 468-sample difference window. Lags
// past 300 (periods below 80 Hz) shorten the window to what the frame holds instead of reaching
// further back, so the estimate stays as recent for low voices as for the others.
constexpr int kDecimated = 768;
constexpr int kWindow = 468;
constexpr int kMaxCandidate = 480; // 50 Hz
constexpr int kMaxLag = kMaxCandidate + 1;
constexpr int kMinCandidate = 24;
constexpr uint64_t kFirstDetection = 2049;
constexpr uint32_t kDetectEvery = 256;

// "Alles": 1280-sample grains, hop 640, start offsets searched over +-192 in steps of 2.
constexpr int kHalfGrain = 640;
constexpr int kSearch = 192;

// "Stimme": a grain reaches one period either way, at most 600 samples: two of those fit the
// latency, so longer periods (below 80 Hz) get grains shorter than two periods instead of a
// longer delay. Marks follow the waveform within an eighth of a period.
constexpr double kShortestPeriod = 48.0;
constexpr double kLongestPeriod = 2.0 * kMaxCandidate;
constexpr int kMaxHalfGrain = 600;
constexpr int kMaxReach = static_cast<int>(kLongestPeriod) / 8;
// Every fourth sample of the neighbourhood is enough to tell one period from the next.
constexpr int kTermStep = 4;

std::array<float, 2 * kHalfGrain> makeGrainWindow() {
  std::array<float, 2 * kHalfGrain> w{};
  for (int i = 0; i < 2 * kHalfGrain; ++i) {
    w[i] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * kPi * i / (2.0 * kHalfGrain)));
  }
  return w;
}

// Built before main, so the audio thread never meets a guarded first-use initialisation.
const std::array<float, 2 * kHalfGrain> kGrainWindow = makeGrainWindow();

int64_t nearest(double x) {
  return static_cast<int64_t>(std::llround(x)); // halves away from zero
}

double clampRatio(float ratio, PitchShifter::Mode mode) {
  if (!std::isfinite(ratio)) return 1.0;
  const double cap = mode == PitchShifter::Mode::all ? 2.0 : 4.0;
  return std::clamp(static_cast<double>(ratio), 0.25, cap);
}

} // namespace

void PitchShifter::reset() {
  std::memset(inputRing, 0, sizeof(inputRing));
  std::memset(outputRing, 0, sizeof(outputRing));
  std::fill(std::begin(started), std::end(started), false);
  std::fill(std::begin(nextMark), std::end(nextMark), 0.0);
  std::fill(std::begin(analysisMark), std::end(analysisMark), 0.0);
  std::fill(std::begin(lastMark), std::end(lastMark), 0.0);
  std::fill(std::begin(placedOne), std::end(placedOne), false);
  time = 0;
  period = kStartPeriod;
  voicedHz = 0.0f;
  sinceDetection = 0;
}

float PitchShifter::inputAt(double position) const {
  // Floor without a library call: truncate, then step down for negative fractions.
  auto i = static_cast<int64_t>(position);
  if (static_cast<double>(i) > position) --i;
  const auto frac = static_cast<float>(position - static_cast<double>(i));
  const float a = inputRing[static_cast<uint64_t>(i) & kMask];
  const float b = inputRing[static_cast<uint64_t>(i + 1) & kMask];
  return a + (b - a) * frac;
}

// A voice that sits out a call forgets its marks and its pending grains: when it comes back it
// starts afresh instead of catching up on every grain it missed meanwhile.
void PitchShifter::retireVoice(int v) {
  started[v] = false;
  std::memset(outputRing[v], 0, sizeof(outputRing[v]));
}

uint32_t PitchShifter::process(const float* in, float* const* out, const float* ratios, int voices,
                               uint32_t frames, Mode newMode) {
  if (frames == 0) return latency(newMode);
  if (newMode != mode) {
    reset();
    mode = newMode;
  }
  voices = std::clamp(voices, 0, kVoices);
  for (int v = voices; v < kVoices; ++v) {
    if (started[v]) retireVoice(v);
  }
  double r[kVoices] = {1.0, 1.0, 1.0};
  for (int v = 0; v < voices; ++v) r[v] = clampRatio(ratios[v], mode);

  for (uint32_t i = 0; i < frames; ++i) {
    inputRing[time & kMask] = in[i];
    ++sinceDetection;
    if (time >= kFirstDetection && sinceDetection >= kDetectEvery) {
      sinceDetection = 0;
      detect();
    }
    const uint64_t slot = time & kMask;
    for (int v = 0; v < voices; ++v) {
      if (mode == Mode::all) {
        grainsAll(v, r[v]);
      } else {
        grainsVoice(v, r[v]);
      }
      out[v][i] = outputRing[v][slot];
      outputRing[v][slot] = 0.0f;
    }
    ++time;
  }
  return latency(mode);
}

void PitchShifter::detect() {
  float y[kDecimated + 1];
  const uint64_t oldest = time - (2 * kDecimated - 1);
  for (int j = 0; j < kDecimated; ++j) {
    const uint64_t p = oldest + 2 * static_cast<uint64_t>(j);
    y[j] = 0.5f * (inputRing[p & kMask] + inputRing[(p + 1) & kMask]);
  }

  float dn[kMaxLag + 1];
  double running = 0.0;
  int tau = -1;
  // The first dip is taken as soon as the lag after it is known: longer lags only matter when
  // there is none, so a voice spares most of the work.
  for (int lag = 1; lag <= kMaxLag && tau < 0; ++lag) {
    // Long lags leave fewer pairs inside the frame; their sum is scaled to the full window.
    const int count = std::min(kWindow, kDecimated - lag);
    // Eight running sums let the compiler use vector lanes for the bulk of the window.
    float lanes[8] = {};
    int j = 0;
    for (; j + 8 <= count; j += 8) {
      for (int l = 0; l < 8; ++l) {
        const float diff = y[j + l + lag] - y[j + l];
        lanes[l] += diff * diff;
      }
    }
    float sum = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) +
                ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
    for (; j < count; ++j) {
      const float diff = y[j + lag] - y[j];
      sum += diff * diff;
    }
    if (count < kWindow) sum *= static_cast<float>(kWindow) / static_cast<float>(count);
    running += sum;
    dn[lag] = running == 0.0 ? 1.0f : static_cast<float>(sum * lag / running);
    const int t = lag - 1;
    if (t >= kMinCandidate && dn[t] < 0.15f && dn[t - 1] >= dn[t] && dn[t] <= dn[lag]) tau = t;
  }

  if (tau < 0) {
    tau = kMinCandidate;
    for (int t = kMinCandidate + 1; t <= kMaxCandidate; ++t) {
      if (dn[t] < dn[tau]) tau = t;
    }
    if (dn[tau] > 0.3f) {
      voicedHz = 0.0f; // unvoiced: the period keeps its last value
      return;
    }
  }

  const double a = dn[tau - 1], b = dn[tau], c = dn[tau + 1];
  const double curve = a - 2.0 * b + c;
  double delta = 0.0;
  if (std::fabs(curve) > 1e-9) delta = std::clamp(0.5 * (a - c) / curve, -0.5, 0.5);
  period = std::clamp(2.0 * (tau + delta), kShortestPeriod, kLongestPeriod);
  voicedHz = static_cast<float>(48000.0 / period);
}

void PitchShifter::grainsAll(int v, double r) {
  const double latencySamples = kAllLatency;
  const auto now = static_cast<double>(time);
  if (!started[v]) {
    nextMark[v] = now + kHalfGrain;
    started[v] = true;
  }
  float* acc = outputRing[v];
  while (now >= nextMark[v] - kHalfGrain) {
    const double cm = nextMark[v];
    const int64_t centre = nearest(cm);
    // The start offset whose input best continues what the previous grain left in the
    // accumulator; offsets whose grain would need future input are not tried.
    const double limit = now - kHalfGrain * r;
    int bestOffset = 0;
    float bestScore = 0.0f;
    bool any = false;
    for (int o = -kSearch; o <= kSearch; o += 2) {
      const double s = cm - latencySamples + o;
      if (s > limit) break;
      float score = 0.0f;
      for (int k = -kHalfGrain; k < 0; k += 4) {
        score += acc[static_cast<uint64_t>(centre + k) & kMask] * inputAt(s + k * r);
      }
      if (!any || score > bestScore) {
        bestScore = score;
        bestOffset = o;
        any = true;
      }
    }
    const double s = cm - latencySamples + bestOffset;
    for (int m = -kHalfGrain; m < kHalfGrain; ++m) {
      const int64_t at = centre + m;
      acc[static_cast<uint64_t>(at) & kMask] += kGrainWindow[m + kHalfGrain] * inputAt(s + m * r);
    }
    nextMark[v] = cm + kHalfGrain;
  }
}

// The point within an eighth of a period around `predicted` whose two-period neighbourhood
// (every fourth sample) correlates best (normalised) with the Hann-weighted neighbourhood of
// `previous`, to a fraction of a sample; only positions whose grain needs no future input are
// tried.
double PitchShifter::followWaveform(double previous, double predicted, double p, int w) const {
  const auto now = static_cast<double>(time);
  const int reach = std::max(1, static_cast<int>(p / 8.0));
  const int64_t anchor = nearest(previous);
  const int64_t base = nearest(predicted);
  float reference[2 * kMaxHalfGrain];
  const double step = 2.0 * kPi / (2.0 * w);
  for (int m = -w; m < w; m += kTermStep) {
    reference[m + w] = static_cast<float>(0.5 - 0.5 * std::cos(step * (w + m))) *
                       inputRing[static_cast<uint64_t>(anchor + m) & kMask];
  }
  float scores[2 * kMaxReach + 1];
  int count = 0;
  for (int64_t c = base - reach; c <= base + reach; ++c) {
    if (static_cast<double>(c + w - 1) > now) break;
    float dot = 0.0f, energy = 0.0f;
    for (int m = -w; m < w; m += kTermStep) {
      const float x = inputRing[static_cast<uint64_t>(c + m) & kMask];
      dot += reference[m + w] * x;
      energy += x * x;
    }
    scores[count++] = dot / std::sqrt(energy + 1e-12f);
  }
  if (count == 0) return predicted;
  int best = 0;
  for (int i = 1; i < count; ++i) {
    if (scores[i] > scores[best]) best = i;
  }
  double delta = 0.0;
  if (best > 0 && best + 1 < count) {
    const double a = scores[best - 1], b = scores[best], c = scores[best + 1];
    const double curve = a - 2.0 * b + c;
    if (curve < 0.0) delta = std::clamp(0.5 * (a - c) / curve, -0.5, 0.5);
  }
  // The reference sat at the rounded previous mark: carry its fraction over, so rounding never
  // accumulates from mark to mark. The fractions must not round the grain onto future input.
  const double found =
      static_cast<double>(base - reach + best) + delta + (previous - static_cast<double>(anchor));
  return std::min(found, now - static_cast<double>(w - 1));
}

void PitchShifter::grainsVoice(int v, double r) {
  const double latencySamples = kVoiceLatency;
  const auto now = static_cast<double>(time);
  const double p = period;
  const double half = std::min(p, static_cast<double>(kMaxHalfGrain));
  const int w = static_cast<int>(half);
  if (!started[v]) {
    nextMark[v] = now + half;
    analysisMark[v] = nextMark[v] - latencySamples;
    placedOne[v] = false;
    started[v] = true;
  }
  float* acc = outputRing[v];
  const float gain = r < 1.0 ? static_cast<float>(1.0 / std::sqrt(r)) : 1.0f;
  // The step to the next grain uses the period detected when that grain is due, not the one of
  // the previous grain's time: a detection much nearer to the input the grain reads, so the
  // shifted pitch follows a gliding voice instead of trailing it.
  if (placedOne[v]) nextMark[v] = lastMark[v] + p / r;
  while (now >= nextMark[v] - half) {
    const double x = nextMark[v];
    // The analysis grid point nearest to where this grain's input lies, never ahead of now.
    const double k = std::round((x - latencySamples - analysisMark[v]) / p);
    double position = analysisMark[v] + k * p;
    while (position + half > now) position -= p;
    // Once the grid has moved on by whole periods, follow the waveform: the new mark is where the
    // input best repeats the neighbourhood of the previous one, so successive marks stay one
    // period apart on the waveform instead of hopping between its peaks.
    if (voicedHz > 0.0f && position != analysisMark[v] && w >= 1) {
      position = followWaveform(analysisMark[v], position, p, w);
    }
    analysisMark[v] = position;
    if (w >= 1) {
      const int64_t centre = nearest(x);
      const int64_t source = nearest(position);
      const auto nowIndex = static_cast<int64_t>(time);
      const double step = 2.0 * kPi / (2.0 * w);
      for (int m = -w; m < w; ++m) {
        const int64_t at = centre + m;
        // A cell already played out would resurface one ring turn later.
        if (at < nowIndex) continue;
        const auto window = static_cast<float>(0.5 - 0.5 * std::cos(step * (w + m)));
        acc[static_cast<uint64_t>(at) & kMask] +=
            window * gain * inputRing[static_cast<uint64_t>(source + m) & kMask];
      }
    }
    lastMark[v] = x;
    placedOne[v] = true;
    nextMark[v] = x + p / r;
  }
}

// ---- the three effects ----

namespace {

PitchShifter::Mode modeOf(float value) {
  return value >= 0.5f ? PitchShifter::Mode::all : PitchShifter::Mode::voice;
}

constexpr int kMajor[7] = {0, 2, 4, 5, 7, 9, 11};
constexpr int kMinor[7] = {0, 2, 3, 5, 7, 8, 10};
constexpr float kVoicePan[3] = {-1.0f, 1.0f, 0.0f};

int floorDiv(int a, int b) {
  return a >= 0 ? a / b : -((-a + b - 1) / b);
}

// Note number (key 0 = C) of scale degree d; scale 0 major, 1 minor, 2 chromatic.
int degreePitch(int d, int key, int scale) {
  const int perOctave = scale == 2 ? 12 : 7;
  const int octave = floorDiv(d, perOctave);
  const int within = d - perOctave * octave;
  const int semis = scale == 0 ? kMajor[within] : scale == 1 ? kMinor[within] : within;
  return key + 12 * octave + semis;
}

} // namespace

void InputFx::pitch(float* left, float* right, uint32_t frames) {
  const float semitones = params[FxId::pitch][1].load(std::memory_order_relaxed);
  const float mix = params[FxId::pitch][2].load(std::memory_order_relaxed) / 100.0f;
  const PitchShifter::Mode mode = modeOf(params[FxId::pitch][0].load(std::memory_order_relaxed));
  const auto ratio = static_cast<float>(std::exp2(semitones / 12.0));

  for (uint32_t i = 0; i < frames; ++i) monoIn[i] = (left[i] + right[i]) * 0.5f;
  float* out[1] = {voiceOut[0]};
  const uint32_t delay = shifters[0].process(monoIn, out, &ratio, 1, frames, mode);

  // The dry pair waits exactly as long as the shifted voice.
  const uint32_t lineFrames = static_cast<uint32_t>(pitchDry.size() / 2);
  float* line = pitchDry.data();
  for (uint32_t i = 0; i < frames; ++i) {
    const uint32_t write = pitchDryIndex;
    line[2 * write] = left[i];
    line[2 * write + 1] = right[i];
    const uint32_t read = (write + lineFrames - delay) % lineFrames;
    const float dryL = line[2 * read];
    const float dryR = line[2 * read + 1];
    pitchDryIndex = write + 1 == lineFrames ? 0 : write + 1;
    const float shifted = voiceOut[0][i];
    left[i] = dryL * (1.0f - mix) + shifted * mix;
    right[i] = dryR * (1.0f - mix) + shifted * mix;
  }
}

void InputFx::octaver(float* left, float* right, uint32_t frames) {
  const PitchShifter::Mode mode = modeOf(params[FxId::octaver][0].load(std::memory_order_relaxed));
  const float level1 = params[FxId::octaver][1].load(std::memory_order_relaxed) / 100.0f;
  const float level2 = params[FxId::octaver][2].load(std::memory_order_relaxed) / 100.0f;
  const float warmth = params[FxId::octaver][3].load(std::memory_order_relaxed);
  const auto pole = static_cast<float>(std::exp(-2.0 * kPi * warmth / 48000.0));

  for (uint32_t i = 0; i < frames; ++i) monoIn[i] = (left[i] + right[i]) * 0.5f;
  const float ratios[2] = {0.5f, 0.25f};
  float* out[2] = {voiceOut[0], voiceOut[1]};
  const int voices = level2 > 0.0f ? 2 : 1;
  shifters[1].process(monoIn, out, ratios, voices, frames, mode);
  if (voices == 1) std::fill_n(voiceOut[1], frames, 0.0f);

  const float follow = 1.0f - pole;
  for (uint32_t i = 0; i < frames; ++i) {
    octaverLow[0] += (voiceOut[0][i] - octaverLow[0]) * follow;
    octaverLow[1] += (voiceOut[1][i] - octaverLow[1]) * follow;
    const float wet = octaverLow[0] * level1 + octaverLow[1] * level2;
    left[i] += wet;
    right[i] += wet;
  }
}

void InputFx::harmonizer(float* left, float* right, uint32_t frames) {
  const PitchShifter::Mode mode =
      modeOf(params[FxId::harmonizer][0].load(std::memory_order_relaxed));
  const int key = static_cast<int>(params[FxId::harmonizer][1].load(std::memory_order_relaxed));
  const int scale = static_cast<int>(params[FxId::harmonizer][2].load(std::memory_order_relaxed));
  int steps[3];
  for (int j = 0; j < 3; ++j) {
    steps[j] = static_cast<int>(params[FxId::harmonizer][3 + j].load(std::memory_order_relaxed));
  }
  const float mix = params[FxId::harmonizer][6].load(std::memory_order_relaxed) / 100.0f;
  const float width = params[FxId::harmonizer][7].load(std::memory_order_relaxed) / 100.0f;

  // Voices land on the scale relative to the sung pitch of the previous detection.
  const float f0 = shifters[2].voicedFrequency();
  if (f0 > 0.0f) {
    const double note = 69.0 + 12.0 * std::log2(f0 / 440.0);
    int nearestDegree = -60;
    double bestDistance = std::fabs(degreePitch(-60, key, scale) - note);
    for (int d = -59; d <= 90; ++d) {
      const double distance = std::fabs(degreePitch(d, key, scale) - note);
      if (distance < bestDistance) {
        bestDistance = distance;
        nearestDegree = d;
      }
    }
    for (int j = 0; j < 3; ++j) {
      const double target =
          std::exp2((degreePitch(nearestDegree + steps[j], key, scale) - note) / 12.0);
      harmonizerRatio[j] += (static_cast<float>(target) - harmonizerRatio[j]) * 0.3f;
    }
  }

  const int voices = steps[2] != 0 ? 3 : steps[1] != 0 ? 2 : steps[0] != 0 ? 1 : 0;
  if (voices == 0) return;
  for (uint32_t i = 0; i < frames; ++i) monoIn[i] = (left[i] + right[i]) * 0.5f;
  float* out[3] = {voiceOut[0], voiceOut[1], voiceOut[2]};
  shifters[2].process(monoIn, out, harmonizerRatio, voices, frames, mode);

  float toLeft[3] = {}, toRight[3] = {};
  for (int j = 0; j < voices; ++j) {
    if (steps[j] == 0) continue;
    const float pan = kVoicePan[j] * width;
    toLeft[j] = 1.0f - std::max(pan, 0.0f);
    toRight[j] = 1.0f - std::max(-pan, 0.0f);
  }
  for (uint32_t i = 0; i < frames; ++i) {
    float sumL = 0.0f, sumR = 0.0f;
    for (int j = 0; j < voices; ++j) {
      sumL += voiceOut[j][i] * toLeft[j];
      sumR += voiceOut[j][i] * toRight[j];
    }
    left[i] += mix * sumL;
    right[i] += mix * sumR;
  }
}

} // namespace velto
