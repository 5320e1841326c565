// Pitch shifting side by side: our pitch shifter (both modes) and Debian's librubberband (its
// faster and finer engines, real-time mode) shift by +7 semitones in 128-frame calls of mono
// input. On a band-limited sawtooth (argument: its pitch in Hz) it reports the error of the
// strongest output pitch in cents; on German sentences spoken by espeak-ng (argument 0; skipped
// when espeak-ng or sox is missing) the share of voiced frames within 20 cents of the target
// (ours at the latency they report, the library at its best alignment).
// Both report the latency and the CPU cost per 128-frame cycle.
#include "effects/pitch_shifter.h"
#include "tests/effects/pitch_signals.h"
#include "tests/effects/pitch_track.h"

#include "bench/compare/cpu_clock.h"

#include <benchmark/benchmark.h>
#include <rubberband/RubberBandStretcher.h>

#include <unistd.h>

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

const std::vector<float>& speech() {
  static const std::vector<float> samples = [] {
    const auto dir =
        std::filesystem::temp_directory_path() / ("velto-compare-" + std::to_string(::getpid()));
    auto spoken = velto::test::track::germanSpeech(dir, velto::test::track::kSentences);
    std::filesystem::remove_all(dir);
    spoken.resize(spoken.size() / kCycle * kCycle);
    return spoken;
  }();
  return samples;
}

// Argument 0: speech; otherwise a sawtooth of that pitch, 4 s.
std::vector<float> inputFor(benchmark::State& state) {
  if (state.range(0) == 0) return speech();
  return sawtooth(48000 * 4, static_cast<double>(state.range(0)), 0.4f);
}

// Speech is compared at the given latency, or with `searchAlignment` at the best of the delays
// 0..latency in 1 ms steps (for a library whose retrieved output lags its input by a varying
// amount at the start; the alignment found is reported).
void report(benchmark::State& state, double nsPerRun, const std::vector<float>& in,
            const std::vector<float>& out, double latency, bool searchAlignment = false) {
  const double cycles = static_cast<double>(in.size()) / kCycle;
  state.counters["ns/cycle"] = nsPerRun / cycles;
  state.counters["budget%"] = nsPerRun / cycles / kCycleNs * 100.0;
  state.counters["latency"] = latency;
  if (state.range(0) == 0) {
    const auto fixed = static_cast<size_t>(latency);
    size_t aligned = fixed;
    auto score = velto::test::track::onTargetShare(in, out, fixed, kRatio);
    for (size_t delay = 0; searchAlignment && delay < fixed; delay += 48) {
      const auto tried = velto::test::track::onTargetShare(in, out, delay, kRatio);
      if (tried.share() > score.share()) score = tried, aligned = delay;
    }
    state.counters["aligned"] = static_cast<double>(aligned);
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
  for (auto _ : state) {
    Stretcher stretcher(48000, 1, Stretcher::OptionProcessRealTime | engine, 1.0, kRatio);
    stretcher.setMaxProcessSize(kCycle);
    latency = stretcher.getStartDelay();
    size_t written = 0;
    const double start = compare::threadCpuNs();
    for (size_t pos = 0; pos < in.size(); pos += kCycle) {
      const float* channels[1] = {in.data() + pos};
      stretcher.process(channels, kCycle, false);
      const int ready = stretcher.available();
      if (ready > 0 && written < in.size()) {
        const size_t take = std::min<size_t>(static_cast<size_t>(ready), in.size() - written);
        float* outChannels[1] = {out.data() + written};
        written += stretcher.retrieve(outChannels, take);
      }
    }
    ns = compare::threadCpuNs() - start;
    benchmark::DoNotOptimize(out.data());
  }
  report(state, ns, in, out, static_cast<double>(latency), true);
}

void BM_PitchRubberBandFaster(benchmark::State& state) {
  runRubberBand(state, RubberBand::RubberBandStretcher::OptionEngineFaster);
}
void BM_PitchRubberBandFiner(benchmark::State& state) {
  runRubberBand(state, RubberBand::RubberBandStretcher::OptionEngineFiner);
}

} // namespace

BENCHMARK(BM_PitchOursVoice)->Arg(0)->Arg(147)->Arg(220)->Arg(392)->Iterations(3);
BENCHMARK(BM_PitchOursAll)->Arg(0)->Arg(147)->Arg(220)->Arg(392)->Iterations(3);
BENCHMARK(BM_PitchRubberBandFaster)->Arg(0)->Arg(147)->Arg(220)->Arg(392)->Iterations(3);
BENCHMARK(BM_PitchRubberBandFiner)->Arg(0)->Arg(147)->Arg(220)->Arg(392)->Iterations(3);
