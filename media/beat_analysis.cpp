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
constexpr size_t kBodyBins = 41;   // 46.875 to 1875 Hz (bin 0 left out)
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

// The onset curve and a second one of the body of the sound: the rise of plain magnitudes below
// 1.9 kHz, where kicks, snares, bass and voices sound but hi-hats and cymbals hardly do. It tells
// whether an onset between two beats is a drum or only a hi-hat.
struct OnsetCurves {
  std::vector<float> full;
  std::vector<float> body;
};

// Spectral flux of compressed magnitudes, one value per hop, and the flux of the body band.
OnsetCurves spectralFlux(const std::vector<float>& mono) {
  std::vector<float> window(kFftSize);
  dsp::hannWindow(window.data(), uint32_t(kFftSize), dsp::HannKind::normalised);
  Spectrum spectrum;
  std::vector<float> frame(kFftSize);
  std::vector<float> magnitude(kFluxBins);
  std::vector<float> previous(kFluxBins, 0.0f);
  std::vector<float> previousBody(kBodyBins, 0.0f);
  OnsetCurves flux;
  flux.full.reserve(mono.size() / kHop + 1);
  flux.body.reserve(mono.size() / kHop + 1);
  for (size_t offset = 0; offset + kFftSize <= mono.size(); offset += kHop) {
    for (size_t n = 0; n < kFftSize; ++n) frame[n] = mono[offset + n] * window[n];
    spectrum.magnitudes(frame.data(), magnitude.data(), kFluxBins);
    float sum = 0.0f;
    for (size_t k = 0; k < kFluxBins; ++k) {
      float c = std::log(1.0f + 100.0f * magnitude[k]);
      sum += std::max(0.0f, c - previous[k]);
      previous[k] = c;
    }
    // Plain magnitudes: a soft hi-hat's spill below 1.9 kHz stays small beside a drum's body.
    float body = 0.0f;
    for (size_t k = 1; k < kBodyBins; ++k) {
      body += std::max(0.0f, magnitude[k] - previousBody[k]);
      previousBody[k] = magnitude[k];
    }
    flux.full.push_back(sum);
    flux.body.push_back(flux.body.empty() ? 0.0f : body);
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

std::vector<float> onsetCurve(AudioFileReader& reader, double startSeconds, double durationSeconds,
                              std::vector<float>* body) {
  bool ok = false;
  std::vector<float> mono = readMono(reader, startSeconds, durationSeconds, &ok);
  if (!ok || mono.size() < kReadBlock) return {};
  OnsetCurves flux = spectralFlux(mono);
  *body = aboveLocalMean(flux.body);
  return aboveLocalMean(flux.full);
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

// The largest curve value within a frame of `p`.
double peakNear(const float* x, size_t n, double p) {
  size_t centre = size_t(std::lround(p));
  size_t from = centre > 0 ? centre - 1 : 0;
  double peak = 0.0;
  for (size_t i = from; i <= centre + 1 && i < n; ++i) peak = std::max(peak, double(x[i]));
  return peak;
}

// Share of the pulses of `bpm`, at their best phase in the curve, that carry an onset stronger
// than `share` times a pulse's typical one (the pulse at four fifths up the sorted list, so that
// rests on some pulses do not lower it). In the body curve, a kick and a snare taking turns
// carry every pulse of their beat; hi-hats between the beats leave those points quiet.
double coverage(const float* body, size_t n, double frameRate, double bpm, double share) {
  // The phase is found afresh for every 16 pulses: a tempo a few hundredths of a BPM off would
  // otherwise drift off the onsets over a long window.
  constexpr int kBlock = 16;
  const double period = 60.0 * frameRate / bpm;
  std::vector<double> pulses;
  for (double start = 0.0; start + period + 1.0 < double(n); start += kBlock * period) {
    size_t from = size_t(start);
    size_t length = std::min(n - from, size_t((kBlock + 1) * period) + 2);
    double phase = double(from) + bestOffset(body + from, length, period);
    for (int k = 0; k < kBlock; ++k) {
      double p = phase + k * period;
      if (!(p + 1.0 < double(n))) break;
      pulses.push_back(peakNear(body, n, p));
    }
  }
  if (pulses.size() < 4) return 0.0;
  std::vector<double> sorted = pulses;
  const size_t upper = sorted.size() * 4 / 5;
  std::nth_element(sorted.begin(), sorted.begin() + upper, sorted.end());
  const double typical = sorted[upper];
  if (!(typical > 0.0)) return 0.0;
  size_t carried = 0;
  for (double v : pulses) carried += v > share * typical;
  return double(carried) / double(pulses.size());
}

// The autocorrelation finds a period of the music, which may be the beat, two of them or one
// and a half. Among the tempos at simple ratios to it, the strongest onsets mark a metrical
// level; the beat is then the fastest level within the range whose pulses nearly all carry a
// drum or another onset of the body, not only a hi-hat.
double metricalTempo(const float* x, const float* body, size_t n, double frameRate, double found) {
  const double mean = curveMean(x, n);
  constexpr double kRatios[] = {0.5, 2.0 / 3.0, 1.0, 1.5, 2.0};
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
  constexpr double kRegular = 0.7;
  constexpr double kBodyShare = 0.3;
  if (tempo * 2 <= kFastest && coverage(body, n, frameRate, tempo * 2, kBodyShare) >= kRegular) {
    return tempo * 2;
  }
  if (tempo / 2 >= kSlowest && coverage(body, n, frameRate, tempo, kBodyShare) < kRegular &&
      coverage(body, n, frameRate, tempo / 2, kBodyShare) >= kRegular) {
    return tempo / 2;
  }
  return tempo;
}

// How steady a beat of `bpm` is, 0 to 1: the autocorrelation at the beat against the energy,
// both of the curve's onsets that stand out of its texture (above twice the level that nine
// frames in ten stay below, and without the first frame, which holds the whole opening
// spectrum). The floor of onsets that never stops in held notes and noise, and its ripple from
// beating partials, must not pass for a beat; neither must a smooth swell that repeats (vibrato,
// tremolo), which rises over many frames where a struck onset rises within one or two.
double beatConfidence(const float* x, size_t n, double frameRate, double bpm) {
  if (n < 4) return 0.0;
  std::vector<float> sorted(x + 1, x + n);
  std::nth_element(sorted.begin(), sorted.begin() + sorted.size() * 9 / 10, sorted.end());
  const double floor = 2.0 * double(sorted[sorted.size() * 9 / 10]);
  std::vector<float> onsets(n, 0.0f);
  for (size_t i = 1; i < n; ++i) onsets[i] = float(std::max(0.0, double(x[i]) - floor));
  // Most beats must carry an onset that stands out: pulses on every other beat are a slower
  // tempo's.
  constexpr double kHalf = 0.5, kMost = 0.75;
  const double regularity = std::clamp(
      (coverage(onsets.data(), n, frameRate, bpm, 0.0) - kHalf) / (kMost - kHalf), 0.0, 1.0);
  const double mean = curveMean(onsets.data(), n);
  double energy = 0.0;
  for (float& v : onsets) {
    v = float(double(v) - mean);
    energy += double(v) * double(v);
  }
  const double meanEnergy = energy / double(n);
  if (!(meanEnergy > 0.0)) return 0.0;
  // The beat, two of them and a bar of four: a kick and a snare taking turns correlate less at
  // one beat than at two, a syncopated pattern most at the bar.
  const double lag = frameRate * 60.0 / bpm;
  const double periodicity =
      (autocorrelation(onsets.data(), n, lag) + autocorrelation(onsets.data(), n, 2 * lag) +
       autocorrelation(onsets.data(), n, 4 * lag)) /
      (3 * meanEnergy);
  // Neighbouring frames of struck onsets correlate little; those of a swell nearly fully.
  const double smoothness = autocorrelation(onsets.data(), n, 1.0) / meanEnergy;
  constexpr double kSharp = 0.3, kSmooth = 0.6;
  const double sharpness = std::clamp((kSmooth - smoothness) / (kSmooth - kSharp), 0.0, 1.0);
  return std::clamp(periodicity, 0.0, 1.0) * sharpness * regularity;
}

// The tempo of an onset curve, its level among half and twice it told by the body curve.
double estimateTempo(const float* curve, const float* body, size_t count, double frameRate,
                     double* confidence) {
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
  double level = metricalTempo(curve, body, count, frameRate, tempo);
  if (level != tempo) tempo = fineTempo(curve, count, frameRate, level);

  if (confidence) *confidence = beatConfidence(curve, count, frameRate, tempo);
  return tempo;
}

struct Phases {
  double first = 0.0;
  double last = 0.0;
};

// Offset in frames of the beats of `bpm`: the comb of the onset curve, or that of the body
// curve when it carries clearly more of the body (kicks on the beats, open hats between them:
// the hats' broad spectrum gives them the larger flux).
double beatOffset(const float* x, const float* body, size_t n, double bpm) {
  constexpr double kClearlyMore = 2.0;
  const double period = 60.0 * kOnsetFrameRate / bpm;
  const double offset = bestOffset(x, n, period);
  const double bodyOffset = bestOffset(body, n, period);
  int onCount = 0, bodyCount = 0;
  const double on = combSum(body, n, period, offset, &onCount);
  const double bodyOn = combSum(body, n, period, bodyOffset, &bodyCount);
  if (onCount > 0 && bodyCount > 0 &&
      bodyOn / bodyCount > kClearlyMore * std::max(0.0, on / onCount)) {
    return bodyOffset;
  }
  return offset;
}

double beatTime(const std::vector<float>& curve, const std::vector<float>& body, double bpm) {
  return std::max(0.0, beatOffset(curve.data(), body.data(), curve.size(), bpm) / kOnsetFrameRate +
                           kPhaseLatency);
}

Phases findPhases(const std::vector<float>& opening, const std::vector<float>& openingBody,
                  const std::vector<float>& closing, const std::vector<float>& closingBody,
                  double start, double closingStart, double bpm) {
  Phases p;
  p.first = start + beatTime(opening, openingBody, bpm);
  p.last = closing.empty() ? p.first : closingStart + beatTime(closing, closingBody, bpm);
  return p;
}

} // namespace

double estimateBpm(const float* curve, size_t count, double frameRate, double* confidence) {
  return estimateTempo(curve, curve, count, frameRate, confidence);
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
  std::vector<float> openingBody;
  std::vector<float> closingBody;
  std::vector<float> opening =
      onsetCurve(reader, startSeconds, std::min(span, kOpeningWindow), &openingBody);
  std::vector<float> closing = onsetCurve(reader, closingStart, closingLength, &closingBody);
  reader.close();
  if (opening.empty()) return info;

  const bool openingLonger = opening.size() > closing.size();
  const std::vector<float>& longer = openingLonger ? opening : closing;
  const std::vector<float>& longerBody = openingLonger ? openingBody : closingBody;
  double confidence = 0.0;
  double bpm =
      estimateTempo(longer.data(), longerBody.data(), longer.size(), kOnsetFrameRate, &confidence);
  info.bpm = bpm;
  if (bpm <= 0.0) return info;
  info.confidence = confidence;
  Phases phases =
      findPhases(opening, openingBody, closing, closingBody, startSeconds, closingStart, bpm);

  // Two beats far apart pin the tempo far more finely than the autocorrelation can.
  double beat = 60.0 / bpm;
  double distance = phases.last - phases.first;
  double beats = std::round(distance / beat);
  if (beats >= 16.0 && std::fabs(distance / beats - beat) < 0.01 * beat) {
    bpm = beats * 60.0 / distance;
    phases =
        findPhases(opening, openingBody, closing, closingBody, startSeconds, closingStart, bpm);
  }
  info.bpm = bpm;
  info.firstBeat = phases.first;
  info.lastBeat = phases.last;
  info.valid = confidence > 0.1;
  return info;
}

} // namespace velto
