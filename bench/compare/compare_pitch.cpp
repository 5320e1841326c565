// Pitch shifting side by side: our pitch shifter (both modes) and Debian's librubberband (its
// faster and finer engines, real-time mode) shift a band-limited sawtooth by +7 semitones in
// 128-frame calls. Reports the error of the strongest output pitch in cents, the latency and the
// CPU cost per 128-frame cycle of mono input. The benchmark argument is the input pitch in Hz.
#include "effects/pitch_shifter.h"
#include "tests/effects/pitch_signals.h"

#include "bench/compare/cpu_clock.h"

#include <benchmark/benchmark.h>
#include <rubberband/RubberBandStretcher.h>

#include <cmath>
#include <memory>
#include <vector>

namespace {

using velto::test::shift::cents;
using velto::test::shift::peakHz;
using velto::test::shift::sawtooth;

constexpr uint32_t kCycle = 128;
constexpr size_t kSamples = 48000 * 4;
constexpr double kCycleNs = kCycle / 48000.0 * 1e9;
const double kRatio = std::exp2(7.0 / 12.0);

void report(benchmark::State& state, double nsPerRun, const std::vector<float>& out, double hz,
            double latency) {
  const double cycles = static_cast<double>(kSamples) / kCycle;
  const double target = hz * kRatio;
  const double found = peakHz(out, 48000, 2 * 48000, target * 0.8, target * 1.2);
  state.counters["ns/cycle"] = nsPerRun / cycles;
  state.counters["budget%"] = nsPerRun / cycles / kCycleNs * 100.0;
  state.counters["cents"] = cents(found, target);
  state.counters["latency"] = latency;
}

void runOurs(benchmark::State& state, velto::PitchShifter::Mode mode) {
  const double hz = static_cast<double>(state.range(0));
  const auto in = sawtooth(kSamples, hz, 0.4f);
  std::vector<float> out(kSamples);
  double ns = 0.0;
  uint32_t latency = 0;
  for (auto _ : state) {
    auto shifter = std::make_unique<velto::PitchShifter>();
    const auto ratio = static_cast<float>(kRatio);
    const double start = compare::threadCpuNs();
    for (size_t pos = 0; pos < kSamples; pos += kCycle) {
      float* voice[1] = {out.data() + pos};
      latency = shifter->process(in.data() + pos, voice, &ratio, 1, kCycle, mode);
    }
    ns = compare::threadCpuNs() - start;
    benchmark::DoNotOptimize(out.data());
  }
  report(state, ns, out, hz, latency);
}

void BM_PitchOursVoice(benchmark::State& state) {
  runOurs(state, velto::PitchShifter::Mode::voice);
}
void BM_PitchOursAll(benchmark::State& state) {
  runOurs(state, velto::PitchShifter::Mode::all);
}

void runRubberBand(benchmark::State& state, RubberBand::RubberBandStretcher::Options engine) {
  using Stretcher = RubberBand::RubberBandStretcher;
  const double hz = static_cast<double>(state.range(0));
  const auto in = sawtooth(kSamples, hz, 0.4f);
  std::vector<float> out(kSamples, 0.0f);
  double ns = 0.0;
  size_t latency = 0;
  for (auto _ : state) {
    Stretcher stretcher(48000, 1, Stretcher::OptionProcessRealTime | engine, 1.0, kRatio);
    stretcher.setMaxProcessSize(kCycle);
    latency = stretcher.getStartDelay();
    std::vector<float> chunk(kSamples);
    size_t written = 0;
    const double start = compare::threadCpuNs();
    for (size_t pos = 0; pos < kSamples; pos += kCycle) {
      const float* channels[1] = {in.data() + pos};
      stretcher.process(channels, kCycle, false);
      const int ready = stretcher.available();
      if (ready > 0 && written < kSamples) {
        const size_t take = std::min<size_t>(static_cast<size_t>(ready), kSamples - written);
        float* outChannels[1] = {out.data() + written};
        written += stretcher.retrieve(outChannels, take);
      }
    }
    ns = compare::threadCpuNs() - start;
    benchmark::DoNotOptimize(out.data());
  }
  report(state, ns, out, hz, static_cast<double>(latency));
}

void BM_PitchRubberBandFaster(benchmark::State& state) {
  runRubberBand(state, RubberBand::RubberBandStretcher::OptionEngineFaster);
}
void BM_PitchRubberBandFiner(benchmark::State& state) {
  runRubberBand(state, RubberBand::RubberBandStretcher::OptionEngineFiner);
}

} // namespace

BENCHMARK(BM_PitchOursVoice)->Arg(147)->Arg(220)->Arg(392)->Iterations(3);
BENCHMARK(BM_PitchOursAll)->Arg(147)->Arg(220)->Arg(392)->Iterations(3);
BENCHMARK(BM_PitchRubberBandFaster)->Arg(147)->Arg(220)->Arg(392)->Iterations(3);
BENCHMARK(BM_PitchRubberBandFiner)->Arg(147)->Arg(220)->Arg(392)->Iterations(3);
