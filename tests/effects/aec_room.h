// A simulated room for the echo-canceller suites: far-end signals (white and speech-like), a
// synthetic room response (direct path after a bulk delay plus a decaying diffuse tail), FFT
// convolution, and a loop that plays the far end through the bus ring while the near end goes
// through the bank's stage in callback-sized calls.
#pragma once

#include "core/stereo_ring.h"
#include "effects/input_fx.h"
#include "platform/dsp/dsp.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

// Own namespace: other suites of this program keep helpers of their own in velto::test.
namespace velto::test::aec {

inline constexpr uint32_t kRate = 48000;

inline std::vector<float> whiteFarEnd(size_t n, float rms, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, rms);
  std::vector<float> out(n);
  for (auto& s : out) s = g(rng);
  return out;
}

// Low-passed noise in syllables of about 4 Hz with short pauses: the spectrum and rhythm of
// speech without its words.
inline std::vector<float> speechLikeFarEnd(size_t n, float rms, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::vector<float> out(n);
  double low1 = 0.0, low2 = 0.0;
  const double pole = std::exp(-2.0 * std::numbers::pi * 1200.0 / kRate);
  double sumSq = 0.0;
  for (size_t i = 0; i < n; ++i) {
    low1 += (g(rng) - low1) * (1.0 - pole);
    low2 += (low1 - low2) * (1.0 - pole);
    const double t = static_cast<double>(i) / kRate;
    const double syllable = std::sin(std::numbers::pi * 4.2 * t);
    const double phrase = std::fmod(t, 2.3) < 2.0 ? 1.0 : 0.05; // a breath every 2.3 s
    const double v = low2 * (0.1 + syllable * syllable) * phrase;
    out[i] = static_cast<float>(v);
    sumSq += v * v;
  }
  const auto scale = static_cast<float>(rms / std::sqrt(sumSq / static_cast<double>(n)));
  for (auto& s : out) s *= scale;
  return out;
}

// Direct path of `direct` after `bulkDelay` samples, then a diffuse tail decaying by 60 dB in
// `t60` seconds, `length` taps in all.
inline std::vector<float> roomResponse(uint32_t bulkDelay, float direct, double t60, float tailRms,
                                       uint32_t length, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::vector<float> h(length, 0.0f);
  h[bulkDelay] = direct;
  for (uint32_t k = bulkDelay + 1; k < length; ++k) {
    const double t = static_cast<double>(k - bulkDelay) / kRate;
    h[k] = static_cast<float>(tailRms * g(rng) * std::exp(-6.9 * t / t60));
  }
  return h;
}

// Linear convolution y = x * h, cut to the length of x, by FFT overlap-add in blocks (the
// platform transform stops at 2^20 points, less than 30 s of audio).
inline std::vector<float> convolve(const std::vector<float>& x, const std::vector<float>& h) {
  int log2n = 14;
  while ((size_t{1} << log2n) < 2 * h.size()) ++log2n;
  const size_t n = size_t{1} << log2n;
  const size_t step = n - h.size() + 1;
  platform::dsp::FftSetup fft(log2n);
  std::vector<float> hr(n, 0.0f), hi(n, 0.0f), xr(n), xi(n);
  std::copy(h.begin(), h.end(), hr.begin());
  fft.complexInPlace({hr.data(), hi.data()}, log2n, platform::dsp::FftDirection::forward);
  std::vector<float> y(x.size(), 0.0f);
  for (size_t from = 0; from < x.size(); from += step) {
    std::fill(xr.begin(), xr.end(), 0.0f);
    std::fill(xi.begin(), xi.end(), 0.0f);
    const size_t count = std::min(step, x.size() - from);
    std::copy_n(x.begin() + static_cast<std::ptrdiff_t>(from), count, xr.begin());
    fft.complexInPlace({xr.data(), xi.data()}, log2n, platform::dsp::FftDirection::forward);
    for (size_t k = 0; k < n; ++k) {
      const float re = xr[k] * hr[k] - xi[k] * hi[k];
      const float im = xr[k] * hi[k] + xi[k] * hr[k];
      xr[k] = re;
      xi[k] = im;
    }
    fft.complexInPlace({xr.data(), xi.data()}, log2n, platform::dsp::FftDirection::inverse);
    for (size_t i = 0; i < n && from + i < y.size(); ++i)
      y[from + i] += xr[i] / static_cast<float>(n);
  }
  return y;
}

inline std::vector<float> mixed(const std::vector<float>& a, const std::vector<float>& b) {
  std::vector<float> out(a.size());
  for (size_t i = 0; i < a.size(); ++i) out[i] = a[i] + b[i];
  return out;
}

// Plays `far` (mono, both channels) into `ring` and runs `near` (mono, both channels) through the
// bank's stage in calls of `call` frames, far before near as the bus and input callbacks would.
// Returns the left output; `right` receives the right output when given.
inline std::vector<float> runStage(InputFx& bank, StereoRing& ring, const std::vector<float>& far,
                                   const std::vector<float>& near, uint32_t call,
                                   std::vector<float>* right = nullptr) {
  std::vector<float> farBuffer(size_t{call} * 2), nearBuffer(size_t{call} * 2);
  std::vector<float> out(near.size());
  if (right != nullptr) right->assign(near.size(), 0.0f);
  for (size_t pos = 0; pos < near.size(); pos += call) {
    const auto n = static_cast<uint32_t>(std::min<size_t>(call, near.size() - pos));
    for (uint32_t i = 0; i < n; ++i) {
      farBuffer[2 * i] = farBuffer[2 * i + 1] = far[pos + i];
      nearBuffer[2 * i] = nearBuffer[2 * i + 1] = near[pos + i];
    }
    ring.write(farBuffer.data(), n);
    bank.processPre(nearBuffer.data(), n);
    for (uint32_t i = 0; i < n; ++i) {
      out[pos + i] = nearBuffer[2 * i];
      if (right != nullptr) (*right)[pos + i] = nearBuffer[2 * i + 1];
    }
  }
  return out;
}

// Echo return loss enhancement over [from, to): input power over output power, in dB.
inline double erleDb(const std::vector<float>& near, const std::vector<float>& out, size_t from,
                     size_t to) {
  double in = 0.0, left = 0.0;
  for (size_t i = from; i < to; ++i) {
    in += static_cast<double>(near[i]) * near[i];
    left += static_cast<double>(out[i]) * out[i];
  }
  return 10.0 * std::log10(in / left);
}

// Seconds from `change` until the echo reduction, in windows of 0.5 s every 0.1 s, reaches
// `targetDb` and holds it for the next second. Windows where the echo is not 20 dB above the
// microphone noise (speech pauses) are skipped. Returns the time to the end when never reached.
inline double recoverySeconds(const std::vector<float>& near, const std::vector<float>& echo,
                              const std::vector<float>& out, size_t change, double noiseRms,
                              double targetDb) {
  constexpr size_t kWindow = kRate / 2, kHop = kRate / 10;
  const double quiet = 100.0 * noiseRms * noiseRms * kWindow;
  std::vector<int> reached; // per window: 1 above, 0 below, -1 skipped
  for (size_t from = change; from + kWindow <= near.size(); from += kHop) {
    double echoSum = 0.0;
    for (size_t i = from; i < from + kWindow; ++i)
      echoSum += static_cast<double>(echo[i]) * echo[i];
    reached.push_back(echoSum < quiet ? -1 : erleDb(near, out, from, from + kWindow) >= targetDb);
  }
  const size_t hold = kRate / kHop; // one second of windows
  for (size_t w = 0; w < reached.size(); ++w) {
    if (reached[w] != 1) continue;
    bool holds = true;
    for (size_t v = w; v < std::min(reached.size(), w + hold); ++v)
      holds = holds && reached[v] != 0;
    if (holds) return static_cast<double>(w * kHop + kWindow) / kRate;
  }
  return static_cast<double>(near.size() - change) / kRate;
}

// How a near talker `voice` comes out in `out` over [from, to): the lag (up to 4096 samples)
// where the voice shows best and the least-squares gain of the output onto it there. Residual
// echo does not correlate with the voice and leaves the gain unbiased.
struct VoiceFit {
  size_t lag = 0;
  double gain = 0.0;
};

inline VoiceFit fitVoice(const std::vector<float>& voice, const std::vector<float>& out,
                         size_t from, size_t to) {
  constexpr size_t kMaxLag = 4096;
  const size_t span = to - from;
  double power = 0.0;
  for (size_t i = from; i < to; ++i) power += static_cast<double>(voice[i]) * voice[i];
  // Cross-correlation by convolving the output with the reversed voice: entry span - 1 + lag.
  std::vector<float> later(span + kMaxLag, 0.0f);
  for (size_t i = 0; i < later.size() && from + i < out.size(); ++i) later[i] = out[from + i];
  std::vector<float> reversed(voice.rend() - static_cast<std::ptrdiff_t>(to),
                              voice.rend() - static_cast<std::ptrdiff_t>(from));
  const auto cross = convolve(later, reversed);
  const auto best =
      std::max_element(cross.begin() + static_cast<std::ptrdiff_t>(span - 1), cross.end());
  return {static_cast<size_t>(best - cross.begin()) - (span - 1),
          static_cast<double>(*best) / power};
}

// How much of a near talker `voice` survives in `out` over [from, to), in dB (0 = all of it).
inline double voiceLossDb(const std::vector<float>& voice, const std::vector<float>& out,
                          size_t from, size_t to) {
  return -20.0 * std::log10(std::max(fitVoice(voice, out, from, to).gain, 1e-6));
}

// In double talk: how far the far end's residual in `out` lies below the raw `echo` over
// [from, to), in dB. The residual is the output less the near voice as it came through: at the
// fitted lag, with its own least-squares gain in every 10 ms (a suppressor may ride the voice's
// level); whatever else the canceller did to the voice counts as residual too. One gain per 480
// samples takes away no more than a 480th of a residual that does not follow the voice.
inline double farResidualBelowEchoDb(const std::vector<float>& echo,
                                     const std::vector<float>& voice, const std::vector<float>& out,
                                     size_t from, size_t to) {
  constexpr size_t kSpan = kRate / 100;
  const size_t lag = fitVoice(voice, out, from, to).lag;
  double raw = 0.0, left = 0.0;
  for (size_t start = from; start + kSpan + lag <= to; start += kSpan) {
    double cross = 0.0, power = 0.0;
    for (size_t i = start; i < start + kSpan; ++i) {
      cross += static_cast<double>(out[i + lag]) * voice[i];
      power += static_cast<double>(voice[i]) * voice[i];
    }
    const double gain = power > 0.0 ? cross / power : 0.0;
    for (size_t i = start; i < start + kSpan; ++i) {
      const double r = out[i + lag] - gain * voice[i];
      raw += static_cast<double>(echo[i]) * echo[i];
      left += r * r;
    }
  }
  return 10.0 * std::log10(raw / std::max(left, 1e-30));
}

// Echo reduction per second from `from` on, over the seconds whose echo stands 20 dB above the
// microphone noise of `noiseRms` (a second of speech pause tells nothing).
inline std::vector<double> erlePerSecond(const std::vector<float>& near,
                                         const std::vector<float>& echo,
                                         const std::vector<float>& out, size_t from,
                                         double noiseRms) {
  std::vector<double> out_db;
  const double quiet = 100.0 * noiseRms * noiseRms * kRate;
  for (size_t s = from; s + kRate <= near.size(); s += kRate) {
    double echoSum = 0.0;
    for (size_t i = s; i < s + kRate; ++i) echoSum += static_cast<double>(echo[i]) * echo[i];
    if (echoSum >= quiet) out_db.push_back(erleDb(near, out, s, s + kRate));
  }
  return out_db;
}

// The largest distance of any entry from the median, in dB: how far per-second figures swing.
inline double swingDb(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  const double median = v[v.size() / 2];
  return std::max(median - v.front(), v.back() - median);
}

// The rooms of the suites: 5 ms to the microphone with a short tail (50 ms), the same with a
// reverberant tail (150 ms), and the reverberant tail behind a pre-delay of 60 ms (a loudspeaker
// far across the room). Each holds its whole echo path within the canceller's 171 ms.
struct Room {
  const char* name;
  uint32_t delay;
  double t60;
};
inline constexpr Room kRooms[] = {
    {"5 ms", 240, 0.05}, {"150 ms", 240, 0.15}, {"60+150 ms", 2880, 0.15}};

inline std::vector<float> roomOf(const Room& room, unsigned seed = 2) {
  const auto length = static_cast<uint32_t>(room.delay + room.t60 * kRate * 0.9);
  return roomResponse(room.delay, 0.5f, room.t60, 0.02f, std::min<uint32_t>(length, 8192), seed);
}

} // namespace velto::test::aec
