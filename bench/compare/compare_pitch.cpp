// Pitch shifting side by side: our pitch shifter (both modes) and Debian's librubberband (its
// faster and finer engines, real-time mode) shift by +7 semitones in 128-frame calls of mono
// input. On a band-limited sawtooth (argument: its pitch in Hz) it reports the error of the
// strongest output pitch in cents; on German sentences spoken by espeak-ng (argument 0, and 1 in
// a low male voice; skipped when espeak-ng or sox is missing) the share of voiced frames within
// 20 cents of the target.
// Every shifter is judged at its own delivery lag, measured the same way for all of them from the
// loudness envelopes of input and output ("lag"), beside the latency it reports ("latency"); a
// library whose output arrives later than it says is not judged against the wrong frames.
// All report the CPU cost per 128-frame cycle.
#include "effects/pitch_shifter.h"
#include "tests/effects/pitch_signals.h"
#include "tests/effects/pitch_track.h"

#include "bench/compare/cpu_clock.h"

#include <benchmark/benchmark.h>
#include <rubberband/RubberBandStretcher.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

using velto::test::shift::cents;
using velto::test::shift::peakHz;
using velto::test::shift::sawtooth;

constexpr uint32_t kCycle = 128;
constexpr double kCycleNs = kCycle / 48000.0 * 1e9;
const double kRatio = std::exp2(7.0 / 12.0);

std::vector<float> speak(int pitch, const std::string& voice) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("velto-compare-" + std::to_string(::getpid()));
  auto spoken = velto::test::track::germanSpeech(dir, velto::test::track::kSentences, pitch, voice);
  std::filesystem::remove_all(dir);
  spoken.resize(spoken.size() / kCycle * kCycle);
  return spoken;
}

// Argument 0: speech in espeak-ng's German voice; 1: a low male voice (a third of its voiced
// frames below 80 Hz); otherwise a sawtooth of that pitch, 4 s.
std::vector<float> inputFor(benchmark::State& state) {
  static const std::vector<float> ordinary = speak(50, "de");
  static const std::vector<float> low = speak(25, "de+m3");
  if (state.range(0) == 0) return ordinary;
  if (state.range(0) == 1) return low;
  return sawtooth(48000 * 4, static_cast<double>(state.range(0)), 0.4f);
}

// Level per 1 ms (48 samples) of x.
std::vector<double> envelope(const std::vector<float>& x) {
  std::vector<double> level(x.size() / 48);
  for (size_t b = 0; b < level.size(); ++b) {
    double sum = 0.0;
    for (size_t i = 48 * b; i < 48 * b + 48; ++i) sum += double{x[i]} * x[i];
    level[b] = std::sqrt(sum / 48.0);
  }
  return level;
}

// The delay of 0..8192 samples, in 1 ms steps, at which the output's envelope correlates best
// with the input's: a pitch shifter moves the pitch but keeps the syllables where they are.
size_t deliveryLag(const std::vector<float>& in, const std::vector<float>& out) {
  const auto a = envelope(in), b = envelope(out);
  size_t best = 0;
  double bestCorrelation = -2.0;
  for (size_t lag = 0; lag <= 8192 / 48 && lag < b.size(); ++lag) {
    const size_t n = std::min(a.size(), b.size() - lag);
    double ma = 0.0, mb = 0.0;
    for (size_t i = 0; i < n; ++i) ma += a[i], mb += b[i + lag];
    ma /= static_cast<double>(n), mb /= static_cast<double>(n);
    double ab = 0.0, aa = 0.0, bb = 0.0;
    for (size_t i = 0; i < n; ++i) {
      ab += (a[i] - ma) * (b[i + lag] - mb);
      aa += (a[i] - ma) * (a[i] - ma);
      bb += (b[i + lag] - mb) * (b[i + lag] - mb);
    }
    const double correlation = aa > 0.0 && bb > 0.0 ? ab / std::sqrt(aa * bb) : -1.0;
    if (correlation > bestCorrelation) bestCorrelation = correlation, best = lag;
  }
  return 48 * best;
}

// Speech is judged at the measured delivery lag; the reported latency is shown beside it.
void report(benchmark::State& state, double nsPerRun, const std::vector<float>& in,
            const std::vector<float>& out, double latency) {
  const double cycles = static_cast<double>(in.size()) / kCycle;
  state.counters["ns/cycle"] = nsPerRun / cycles;
  state.counters["budget%"] = nsPerRun / cycles / kCycleNs * 100.0;
  state.counters["latency"] = latency;
  if (state.range(0) <= 1) {
    const size_t lag = deliveryLag(in, out);
    const auto score = velto::test::track::onTargetShare(in, out, lag, kRatio);
    state.counters["lag"] = static_cast<double>(lag);
    state.counters["voiced"] = static_cast<double>(score.voiced);
    state.counters["within20c%"] = score.share() * 100.0;
  } else {
    const double target = static_cast<double>(state.range(0)) * kRatio;
    state.counters["cents"] =
        cents(peakHz(out, 48000, 2 * 48000, target * 0.8, target * 1.2), target);
  }
}

void runOurs(benchmark::State& state, velto::PitchShifter::Mode mode) {
  const auto in = inputFor(state);
  if (in.empty()) {
    state.SkipWithError("espeak-ng or sox not installed");
    return;
  }
  std::vector<float> out(in.size());
  double ns = 0.0;
  uint32_t latency = 0;
  for (auto _ : state) {
    auto shifter = std::make_unique<velto::PitchShifter>();
    const auto ratio = static_cast<float>(kRatio);
    const double start = compare::threadCpuNs();
    for (size_t pos = 0; pos < in.size(); pos += kCycle) {
      float* voice[1] = {out.data() + pos};
      latency = shifter->process(in.data() + pos, voice, &ratio, 1, kCycle, mode);
    }
    ns = compare::threadCpuNs() - start;
    benchmark::DoNotOptimize(out.data());
  }
  report(state, ns, in, out, latency);
}

void BM_PitchOursVoice(benchmark::State& state) {
  runOurs(state, velto::PitchShifter::Mode::voice);
}
void BM_PitchOursAll(benchmark::State& state) {
  runOurs(state, velto::PitchShifter::Mode::all);
}

void runRubberBand(benchmark::State& state, RubberBand::RubberBandStretcher::Options engine) {
  using Stretcher = RubberBand::RubberBandStretcher;
  const auto in = inputFor(state);
  if (in.empty()) {
    state.SkipWithError("espeak-ng or sox not installed");
    return;
  }
  std::vector<float> out(in.size(), 0.0f);
  double ns = 0.0;
  size_t latency = 0;
  size_t shortCycles = 0;
  for (auto _ : state) {
    Stretcher stretcher(48000, 1, Stretcher::OptionProcessRealTime | engine, 1.0, kRatio);
    stretcher.setMaxProcessSize(kCycle);
    latency = stretcher.getStartDelay();
    std::fill(out.begin(), out.end(), 0.0f);
    // Played as a device would, one cycle per cycle: silence until the library first has output,
    // then its output in order; `played` is where the next retrieved sample sounds. A cycle it
    // cannot fill counts as short, and the rest of that cycle stays silent.
    bool playing = false;
    size_t played = 0;
    shortCycles = 0;
    const double start = compare::threadCpuNs();
    for (size_t pos = 0; pos < in.size(); pos += kCycle) {
      const float* channels[1] = {in.data() + pos};
      stretcher.process(channels, kCycle, false);
      const int ready = stretcher.available();
      if (!playing && ready > 0) playing = true, played = pos;
      if (!playing) continue;
      const size_t due = std::min(pos + kCycle, in.size());
      if (played < due && ready > 0) {
        const size_t take = std::min<size_t>(static_cast<size_t>(ready), due - played);
        float* outChannels[1] = {out.data() + played};
        played += stretcher.retrieve(outChannels, take);
      }
      if (played < due) ++shortCycles, played = due;
    }
    ns = compare::threadCpuNs() - start;
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["short cycles"] = static_cast<double>(shortCycles);
  report(state, ns, in, out, static_cast<double>(latency));
}

void BM_PitchRubberBandFaster(benchmark::State& state) {
  runRubberBand(state, RubberBand::RubberBandStretcher::OptionEngineFaster);
}
void BM_PitchRubberBandFiner(benchmark::State& state) {
  runRubberBand(state, RubberBand::RubberBandStretcher::OptionEngineFiner);
}

} // namespace

BENCHMARK(BM_PitchOursVoice)->Arg(0)->Arg(1)->Arg(147)->Arg(220)->Arg(392)->Iterations(3);
BENCHMARK(BM_PitchOursAll)->Arg(0)->Arg(1)->Arg(147)->Arg(220)->Arg(392)->Iterations(3);
BENCHMARK(BM_PitchRubberBandFaster)->Arg(0)->Arg(1)->Arg(147)->Arg(220)->Arg(392)->Iterations(3);
BENCHMARK(BM_PitchRubberBandFiner)->Arg(0)->Arg(1)->Arg(147)->Arg(220)->Arg(392)->Iterations(3);
