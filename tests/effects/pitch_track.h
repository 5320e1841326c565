// Frame-by-frame pitch tracking for the pitch-shifter suites and the comparison bench: a YIN
// estimate per 10 ms frame, the share of voiced frames whose shifted pitch lands on target, and
// German speech from espeak-ng when present.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace velto::test::track {

inline constexpr double kRate = 48000.0;
inline constexpr size_t kHop = 480;     // one estimate per 10 ms
inline constexpr size_t kWindow = 960;  // 20 ms difference window
inline constexpr size_t kMaxLag = 1200; // 40 Hz: low male voices reach below 80 Hz
inline constexpr size_t kMinLag = 48;   // 1000 Hz

struct Estimate {
  double hz = 0.0;        // 0 when the frame holds no usable periodicity
  double aperiodic = 1.0; // normalised difference at the chosen lag: 0 perfectly periodic
};

// YIN on x[from, from + kWindow + lags) with candidate lags in [lo, hi]: the first dip below
// 0.15 of the cumulative-mean normalised difference, else its smallest value; parabolic
// refinement of the lag.
inline Estimate yin(const std::vector<float>& x, size_t from, size_t lo, size_t hi) {
  Estimate e;
  if (lo < 2 || hi <= lo || from + kWindow + hi + 1 > x.size()) return e;
  std::vector<double> d(hi + 2, 0.0);
  double running = 0.0;
  d[0] = 1.0;
  size_t tau = 0;
  // Lags past the first dip are only needed when there is none.
  for (size_t lag = 1; lag <= hi + 1 && tau == 0; ++lag) {
    double sum = 0.0;
    for (size_t j = 0; j < kWindow; ++j) {
      const double diff = x[from + j + lag] - x[from + j];
      sum += diff * diff;
    }
    running += sum;
    d[lag] = running > 0.0 ? sum * static_cast<double>(lag) / running : 1.0;
    const size_t t = lag - 1;
    if (t >= lo && d[t] < 0.15 && d[t] <= d[t - 1] && d[t] <= d[lag]) tau = t;
  }
  if (tau == 0)
    tau = static_cast<size_t>(std::min_element(d.begin() + lo, d.begin() + hi + 1) - d.begin());
  const double a = d[tau - 1], b = d[tau], c = d[tau + 1];
  const double curve = a - 2.0 * b + c;
  const double delta =
      std::fabs(curve) > 1e-12 ? std::clamp(0.5 * (a - c) / curve, -0.5, 0.5) : 0.0;
  e.hz = kRate / (static_cast<double>(tau) + delta);
  e.aperiodic = b;
  return e;
}

inline double rms(const std::vector<float>& x, size_t from, size_t count) {
  double sum = 0.0;
  for (size_t i = from; i < from + count && i < x.size(); ++i) sum += double{x[i]} * x[i];
  return std::sqrt(sum / static_cast<double>(count));
}

struct Score {
  size_t voiced = 0; // frames judged voiced in the input
  size_t onTarget = 0;
  double share() const { return voiced ? static_cast<double>(onTarget) / voiced : 0.0; }
};

// Compares out (delayed by `latency` samples) with ratio × the pitch of in, on the frames where
// the input is clearly periodic (YIN below 0.1) and no more than 30 dB below its loudest frame.
// The output's pitch is searched within half an octave of the target.
inline Score onTargetShare(const std::vector<float>& in, const std::vector<float>& out,
                           size_t latency, double ratio, double toleranceCents = 20.0,
                           size_t skip = 4800) {
  const size_t span = kWindow + kMaxLag + 2;
  double loudest = 0.0;
  for (size_t from = 0; from + span <= in.size(); from += kHop) {
    loudest = std::max(loudest, rms(in, from, span));
  }
  Score score;
  for (size_t from = skip; from + span <= in.size() && from + latency + span <= out.size();
       from += kHop) {
    if (rms(in, from, span) < loudest * 0.0316) continue;
    const Estimate source = yin(in, from, kMinLag, kMaxLag);
    if (source.aperiodic >= 0.1) continue;
    ++score.voiced;
    const double target = source.hz * ratio;
    const auto lo = static_cast<size_t>(kRate / (target * std::sqrt(2.0)));
    const auto hi = static_cast<size_t>(kRate / target * std::sqrt(2.0)) + 1;
    const Estimate shifted = yin(out, from + latency, std::max<size_t>(lo, 2), hi);
    if (shifted.hz > 0.0 && std::fabs(1200.0 * std::log2(shifted.hz / target)) <= toleranceCents)
      ++score.onTarget;
  }
  return score;
}

// German sentences spoken by espeak-ng in `voice` ("de", "de+m3" …) at `pitch` (0 lowest, 50
// its default), resampled by sox to 48 kHz, rendered into `dir`. Empty when either program is
// missing or fails.
inline std::vector<float> germanSpeech(const std::filesystem::path& dir, const std::string& text,
                                       int pitch = 50, const std::string& voice = "de") {
  if (std::system("command -v espeak-ng >/dev/null 2>&1 && command -v sox >/dev/null 2>&1") != 0)
    return {};
  std::filesystem::create_directories(dir);
  const auto wav = (dir / "speech.wav").string();
  const auto raw = (dir / "speech.f32").string();
  const std::string command = "espeak-ng -v " + voice + " -p " + std::to_string(pitch) + " -w '" +
                              wav + "' '" + text + "' >/dev/null 2>&1 && sox '" + wav +
                              "' -r 48000 -e floating-point -b 32 -t raw '" + raw +
                              "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return {};
  std::vector<float> samples;
  if (FILE* f = std::fopen(raw.c_str(), "rb")) {
    float block[4096];
    size_t got;
    while ((got = std::fread(block, sizeof(float), 4096, f)) > 0) {
      samples.insert(samples.end(), block, block + got);
    }
    std::fclose(f);
  }
  std::filesystem::remove(wav);
  std::filesystem::remove(raw);
  return samples;
}

inline const char* const kSentences =
    "Am Montag fahren wir mit dem Zug an den See. Die Sonne scheint, und das Wasser ist noch "
    "kalt. Hast du die Karten für das Konzert am Abend schon geholt? Meine Großmutter backt "
    "jeden Sonntag einen Apfelkuchen, der im ganzen Haus duftet.";

} // namespace velto::test::track
