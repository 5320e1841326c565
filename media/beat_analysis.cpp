#include "media/beat_analysis.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "media/audio_file.h"
#include "platform/dsp/dsp.h"

namespace velto {
namespace {

namespace dsp = platform::dsp;

constexpr double kRate = 48000.0;
constexpr uint32_t kReadBlock = 4096;
constexpr int kFftLog2 = 10;
constexpr size_t kFftSize = size_t(1) << kFftLog2;
constexpr size_t kHop = 512;
constexpr size_t kFluxBins = 170;  // up to 7921.875 Hz
constexpr size_t kMeanRadius = 23; // adaptive threshold over 47 frames
constexpr double kOpeningWindow = 30.0;
constexpr double kClosingWindow = 40.0;
constexpr double kMinSpan = 8.0;
// One hop plus 4 ms: where a beat sits relative to the frame whose flux it raises.
constexpr double kPhaseLatency = 0.010666666666666666 + 0.004;

// Magnitudes of the first bins of a 1024-point packed real FFT (twice the plain discrete
// Fourier transform); bin 0 holds the DC term alone. Set-up and buffers are made once.
class Spectrum {
public:
  Spectrum() : fft_(kFftLog2), real_(kFftSize / 2), imag_(kFftSize / 2) {}

  // `input` holds kFftSize samples; writes the first `bins` (at most kFftSize / 2) magnitudes.
  void magnitudes(const float* input, float* out, size_t bins) {
    dsp::SplitComplex packed{real_.data(), imag_.data()};
    dsp::ctoz(input, packed, kFftSize / 2);
    fft_.realInPlace(packed, kFftLog2, dsp::FftDirection::forward);
    imag_[0] = 0.0f; // the packed Nyquist term
    for (size_t k = 0; k < bins; ++k) out[k] = std::hypot(real_[k], imag_[k]);
  }

private:
  dsp::FftSetup fft_;
  std::vector<float> real_;
  std::vector<float> imag_;
};

// Reads `duration` seconds from `start` as the mean of all channels; stops early at the end.
std::vector<float> readMono(AudioFileReader& reader, double startSeconds, double durationSeconds,
                            bool* ok) {
  std::vector<float> mono;
  *ok = reader.seekSeconds(std::max(startSeconds, 0.0));
  if (!*ok) return mono;
  size_t wanted = durationSeconds > 0 ? size_t(durationSeconds * kRate) : 0;
  mono.reserve(wanted);
  const uint32_t channels = reader.channels;
  std::vector<float> block(size_t(kReadBlock) * channels);
  while (mono.size() < wanted) {
    uint32_t ask = uint32_t(std::min<size_t>(kReadBlock, wanted - mono.size()));
    uint32_t got = reader.read(block.data(), ask);
    if (got == 0) break;
    for (uint32_t i = 0; i < got; ++i) {
      const float* frame = block.data() + size_t(i) * channels;
      float sum = 0.0f;
      for (uint32_t c = 0; c < channels; ++c) sum += frame[c];
      mono.push_back(sum / float(channels));
    }
  }
  return mono;
}

// Spectral flux of compressed magnitudes, one value per hop.
std::vector<float> spectralFlux(const std::vector<float>& mono) {
  std::vector<float> window(kFftSize);
  dsp::hannWindow(window.data(), uint32_t(kFftSize), dsp::HannKind::normalised);
  Spectrum spectrum;
  std::vector<float> frame(kFftSize);
  std::vector<float> magnitude(kFluxBins);
  std::vector<float> previous(kFluxBins, 0.0f);
  std::vector<float> flux;
  flux.reserve(mono.size() / kHop + 1);
  for (size_t offset = 0; offset + kFftSize <= mono.size(); offset += kHop) {
    for (size_t n = 0; n < kFftSize; ++n) frame[n] = mono[offset + n] * window[n];
    spectrum.magnitudes(frame.data(), magnitude.data(), kFluxBins);
    float sum = 0.0f;
    for (size_t k = 0; k < kFluxBins; ++k) {
      float c = std::log(1.0f + 100.0f * magnitude[k]);
      sum += std::max(0.0f, c - previous[k]);
      previous[k] = c;
    }
    flux.push_back(sum);
  }
  return flux;
}

// Flux above its local mean: keeps the onsets, drops the slowly moving floor.
std::vector<float> aboveLocalMean(const std::vector<float>& flux) {
  std::vector<float> curve(flux.size());
  const size_t last = flux.size() - 1;
  for (size_t i = 0; i < flux.size(); ++i) {
    size_t from = i >= kMeanRadius ? i - kMeanRadius : 0;
    size_t to = std::min(i + kMeanRadius, last);
    double sum = 0.0;
    for (size_t j = from; j <= to; ++j) sum += flux[j];
    double mean = sum / double(to - from + 1);
    curve[i] = float(std::max(0.0, double(flux[i]) - mean));
  }
  return curve;
}

std::vector<float> onsetCurve(AudioFileReader& reader, double startSeconds,
                              double durationSeconds) {
  bool ok = false;
  std::vector<float> mono = readMono(reader, startSeconds, durationSeconds, &ok);
  if (!ok || mono.size() < kReadBlock) return {};
  return aboveLocalMean(spectralFlux(mono));
}

// Autocorrelation at a fractional lag, divided by the number of overlapping frames.
double autocorrelation(const float* x, size_t n, double lag) {
  size_t i0 = size_t(lag);
  double f = lag - double(i0);
  if (i0 + 1 >= n) return 0.0;
  double sum = 0.0;
  for (size_t i = 0; i + i0 + 1 < n; ++i) {
    sum += double(x[i]) * ((1.0 - f) * double(x[i + i0]) + f * double(x[i + i0 + 1]));
  }
  return n - i0 < 2 ? sum : sum / double(n - i0);
}

double tempoPrior(double bpm) {
  double octaves = std::log2(bpm / 120.0) / 0.9;
  return std::exp(-0.5 * octaves * octaves);
}

constexpr double kSlowest = 70.0;
constexpr double kFastest = 180.0;

double curveMean(const float* x, size_t n) {
  double sum = 0.0;
  for (size_t i = 0; i < n; ++i) sum += x[i];
  return sum / double(n);
}

// The tempo within half a BPM of `around` whose first eight beat multiples line up best; no
// preference for any tempo here.
double fineTempo(const float* x, size_t n, double frameRate, double around) {
  double tempo = around;
  double bestScore = -1.0;
  for (int step = 0; step <= 100; ++step) {
    double bpm = around - 0.5 + 0.01 * step;
    double score = 0.0;
    for (int k = 1; k <= 8; ++k) score += autocorrelation(x, n, k * frameRate * 60.0 / bpm);
    if (score > bestScore) {
      bestScore = score;
      tempo = bpm;
    }
  }
  return tempo;
}

// The curve linearly interpolated at `offset`, `offset + period`, ...: their sum, and how many.
double combSum(const float* x, size_t n, double period, double offset, int* count) {
  double sum = 0.0;
  int beats = 0;
  for (;; ++beats) {
    double p = offset + beats * period;
    if (!(p + 1.0 < double(n))) break;
    size_t i = size_t(p);
    double frac = p - double(i);
    sum += double(x[i]) * (1.0 - frac) + double(x[i + 1]) * frac;
  }
  if (count) *count = beats;
  return sum;
}

// Offset in frames, on a quarter-frame grid, of the beat comb with the largest sum.
double bestOffset(const float* x, size_t n, double period) {
  double offset = 0.0;
  double bestSum = -1.0;
  for (int step = 0;; ++step) {
    double o = 0.25 * step;
    // Offsets beyond the curve sum to 0 and cannot beat an earlier one.
    if (!(o < period) || (step > 0 && o + 1.0 >= double(n))) break;
    double sum = combSum(x, n, period, o, nullptr);
    if (sum > bestSum) {
      bestSum = sum;
      offset = o;
    }
  }
  return offset;
}

// How far the curve rises above its mean on the beats of `bpm`, at their best phase.
double beatStrength(const float* x, size_t n, double frameRate, double bpm, double mean) {
  double period = 60.0 * frameRate / bpm;
  int count = 0;
  double sum = combSum(x, n, period, bestOffset(x, n, period), &count);
  return count > 0 ? sum / count - mean : 0.0;
}

// The autocorrelation finds a period of the music, which may be the beat, two of them or one
// and a half. Among the tempos at simple ratios to it, the beat is where the onsets are
// strongest; twice that tempo is taken when its off-beats are nearly as strong as its beats
// (an accent on every beat, not every other one).
double metricalTempo(const float* x, size_t n, double frameRate, double found) {
  const double mean = curveMean(x, n);
  constexpr double kRatios[] = {0.5, 2.0 / 3.0, 1.0, 1.5, 2.0};
  constexpr double kOffBeatShare = 0.85;
  // Near ties (onsets on every eighth and hardly any accent) keep what the autocorrelation found.
  constexpr double kClearlyStronger = 1.05;
  double tempo = found;
  double strongest = beatStrength(x, n, frameRate, found, mean);
  double needed = kClearlyStronger * strongest;
  for (double ratio : kRatios) {
    double bpm = found * ratio;
    if (bpm < kSlowest || bpm > kFastest || ratio == 1.0) continue;
    double strength = beatStrength(x, n, frameRate, bpm, mean);
    if (strength > needed && strength > strongest) {
      strongest = strength;
      tempo = bpm;
    }
  }
  double twice = 2.0 * tempo;
  if (twice <= kFastest &&
      beatStrength(x, n, frameRate, twice, mean) >= kOffBeatShare * strongest) {
    tempo = twice;
  }
  return tempo;
}

// Autocorrelation at the beat against the energy, both of the curve without its mean: a
// floor of onsets that never stops (held notes, noise) correlates with itself at every lag
// and must not pass for a beat.
double beatConfidence(const float* x, size_t n, double frameRate, double bpm) {
  const double mean = curveMean(x, n);
  std::vector<float> centred(n);
  double energy = 0.0;
  for (size_t i = 0; i < n; ++i) {
    centred[i] = float(double(x[i]) - mean);
    energy += double(centred[i]) * double(centred[i]);
  }
  double meanEnergy = energy / double(n < 2 ? 1 : n);
  if (!(meanEnergy > 0.0)) return 0.0;
  double c = autocorrelation(centred.data(), n, frameRate * 60.0 / bpm) / meanEnergy;
  return std::clamp(c, 0.0, 1.0);
}

struct Phases {
  double first = 0.0;
  double last = 0.0;
};

Phases findPhases(const std::vector<float>& opening, const std::vector<float>& closing,
                  double start, double closingStart, double bpm) {
  Phases p;
  p.first = start + estimatePhase(opening.data(), opening.size(), kOnsetFrameRate, bpm);
  p.last = closing.empty()
               ? p.first
               : closingStart + estimatePhase(closing.data(), closing.size(), kOnsetFrameRate, bpm);
  return p;
}

} // namespace

double estimateBpm(const float* curve, size_t count, double frameRate, double* confidence) {
  if (!curve || !(frameRate > 0) || count < size_t(4.0 * frameRate)) return 0.0;

  double best = 0.0;
  double bestScore = 0.0;
  for (int step = 0; step <= 220; ++step) {
    double bpm = kSlowest + 0.5 * step;
    double lag = frameRate * 60.0 / bpm;
    double score = tempoPrior(bpm) * (autocorrelation(curve, count, lag) +
                                      0.5 * autocorrelation(curve, count, 2.0 * lag));
    if (score > bestScore) {
      bestScore = score;
      best = bpm;
    }
  }
  if (best <= 0.0) return 0.0;

  // Once more around another metrical level if the onsets choose one.
  double tempo = fineTempo(curve, count, frameRate, best);
  double level = metricalTempo(curve, count, frameRate, tempo);
  if (level != tempo) tempo = fineTempo(curve, count, frameRate, level);

  if (confidence) *confidence = beatConfidence(curve, count, frameRate, tempo);
  return tempo;
}

double estimatePhase(const float* curve, size_t count, double frameRate, double bpm) {
  double period = 60.0 * frameRate / bpm;
  if (!(period > 0.0) || !curve) return kPhaseLatency;
  return std::max(0.0, bestOffset(curve, count, period) / frameRate + kPhaseLatency);
}

BeatInfo analyzeBeats(const std::string& path, double startSeconds, double endSeconds) {
  BeatInfo info;
  AudioFileReader reader;
  std::string error;
  if (!reader.open(path, error)) return info;
  double end = endSeconds;
  if (end <= 0.0) end = reader.fileRate > 0 ? double(reader.fileFrames) / reader.fileRate : 0.0;
  double span = end - startSeconds;
  if (!(span >= kMinSpan)) return info;

  double closingLength = std::min(span, kClosingWindow);
  double closingStart = end - closingLength;
  std::vector<float> opening = onsetCurve(reader, startSeconds, std::min(span, kOpeningWindow));
  std::vector<float> closing = onsetCurve(reader, closingStart, closingLength);
  reader.close();
  if (opening.empty()) return info;

  const std::vector<float>& longer = opening.size() > closing.size() ? opening : closing;
  double confidence = 0.0;
  double bpm = estimateBpm(longer.data(), longer.size(), kOnsetFrameRate, &confidence);
  info.bpm = bpm;
  if (bpm <= 0.0) return info;
  info.confidence = confidence;
  Phases phases = findPhases(opening, closing, startSeconds, closingStart, bpm);

  // Two beats far apart pin the tempo far more finely than the autocorrelation can.
  double beat = 60.0 / bpm;
  double distance = phases.last - phases.first;
  double beats = std::round(distance / beat);
  if (beats >= 16.0 && std::fabs(distance / beats - beat) < 0.01 * beat) {
    bpm = beats * 60.0 / distance;
    phases = findPhases(opening, closing, startSeconds, closingStart, bpm);
  }
  info.bpm = bpm;
  info.firstBeat = phases.first;
  info.lastBeat = phases.last;
  info.valid = confidence > 0.1;
  return info;
}

} // namespace velto
