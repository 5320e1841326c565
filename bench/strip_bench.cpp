// Cost of the strip path per 128-frame cycle: one strip produced into six rings, and one ring
// write plus read. Each reports ns per block and its share of the cycle's time budget.
#include "core/levels.h"
#include "engine/strip.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kCycleFrames = 128;
constexpr double kBudgetSeconds = double{kCycleFrames} / velto::kSampleRate; // 2.67 ms

using Clock = std::chrono::steady_clock;

// Nanoseconds per block of the last (longest) run of each benchmark, for the summary lines.
std::map<std::string, double>& gNsPerBlock() {
  static std::map<std::string, double> results;
  return results;
}

void reportPerBlock(benchmark::State& state, const char* name, Clock::time_point start) {
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double ns = seconds * 1e9 / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
  state.counters["ns_per_block"] = ns;
  state.counters["budget_pct"] = ns * 1e-9 / kBudgetSeconds * 100.0;
  gNsPerBlock()[name] = ns;
}

std::vector<float> tone(double hz) {
  std::vector<float> out(kCycleFrames);
  for (uint32_t i = 0; i < kCycleFrames; ++i) {
    out[i] = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * hz * i / velto::kSampleRate));
  }
  return out;
}

void StripProduceSixRings(benchmark::State& state) {
  velto::Strip strip;
  strip.init("Input 1");
  strip.routeMask = 0x3f;
  strip.gain = velto::dbToGain(-3.0f);
  const auto left = tone(440.0);
  const auto right = tone(660.0);
  const auto start = Clock::now();
  for (auto _ : state) {
    strip.produce({left.data(), 1}, {right.data(), 1}, kCycleFrames);
    // Readers keep the rings from filling up, so every iteration writes all six.
    for (auto& ring : strip.rings) ring->drain();
    benchmark::DoNotOptimize(strip.meter.left.load(std::memory_order_relaxed));
  }
  reportPerBlock(state, "Strip::produce, 6 rings", start);
}
BENCHMARK(StripProduceSixRings);

void RingWriteRead(benchmark::State& state) {
  auto ring = std::make_unique<velto::StereoRing>(velto::kRingFrames);
  std::vector<float> in(kCycleFrames * 2, 0.25f);
  std::vector<float> out(kCycleFrames * 2);
  const auto start = Clock::now();
  for (auto _ : state) {
    ring->write(in.data(), kCycleFrames);
    ring->skipBacklog(kCycleFrames, kCycleFrames);
    ring->read(out.data(), kCycleFrames);
    benchmark::DoNotOptimize(out.data());
  }
  reportPerBlock(state, "ring write + skip + read", start);
}
BENCHMARK(RingWriteRead);

} // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const auto& [name, ns] : gNsPerBlock()) {
    std::printf("%-28s %9.1f ns per %u-frame block = %7.4f %% of the %.2f ms budget\n",
                name.c_str(), ns, kCycleFrames, ns * 1e-9 / kBudgetSeconds * 100.0,
                kBudgetSeconds * 1e3);
  }
  return 0;
}
