// Cost of the noise filter per audio cycle: one 128-frame stereo buffer, the default cycle at
// 48000 Hz (2.67 ms of budget). Reports nanoseconds per cycle and the share of the budget.
#include "effects/noise_filter.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <memory>
#include <random>
#include <vector>

namespace {

constexpr uint32_t kCycleFrames = 128;
constexpr double kBudgetNs = kCycleFrames / 48000.0 * 1e9; // 2.67 ms

std::vector<float> noiseAndTone(size_t frames) {
  std::mt19937 rng(1);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  std::vector<float> out(2 * frames);
  for (size_t i = 0; i < frames; ++i) {
    const float tone = 0.3f * std::sin(0.0654f * static_cast<float>(i));
    out[2 * i] = tone + noise(rng);
    out[2 * i + 1] = noise(rng);
  }
  return out;
}

// Time per cycle in ns and as a share of the cycle's real-time budget.
void reportBudget(benchmark::State& state, std::chrono::steady_clock::duration elapsed) {
  const double ns = std::chrono::duration<double, std::nano>(elapsed).count() /
                    static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
  state.counters["ns/cycle"] = ns;
  state.counters["budget%"] = ns / kBudgetNs * 100.0;
}

// The filter on: a 128-frame cycle is one hop, so one frame analysis per channel.
void BM_NoiseFilterOn(benchmark::State& state) {
  auto filter = std::make_unique<velto::NoiseFilter>();
  filter->enabled.store(true);
  std::vector<float> profile(velto::NoiseFilter::kBins, -60.0f);
  filter->setProfile(profile.data());
  const size_t cycles = 375; // one second of input, replayed
  const auto source = noiseAndTone(cycles * kCycleFrames);
  std::vector<float> buffer(2 * kCycleFrames);
  size_t cycle = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    std::copy_n(source.begin() + static_cast<std::ptrdiff_t>(2 * kCycleFrames * cycle),
                2 * kCycleFrames, buffer.begin());
    filter->process(buffer.data(), kCycleFrames);
    benchmark::DoNotOptimize(buffer.data());
    cycle = (cycle + 1) % cycles;
  }
  reportBudget(state, std::chrono::steady_clock::now() - start);
}
BENCHMARK(BM_NoiseFilterOn);

// The filter off: the buffer passes untouched.
void BM_NoiseFilterOff(benchmark::State& state) {
  auto filter = std::make_unique<velto::NoiseFilter>();
  auto buffer = noiseAndTone(kCycleFrames);
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    filter->process(buffer.data(), kCycleFrames);
    benchmark::DoNotOptimize(buffer.data());
  }
  reportBudget(state, std::chrono::steady_clock::now() - start);
}
BENCHMARK(BM_NoiseFilterOff);

// One 512-point transform of the system's own FFT.
void BM_FixedFft512(benchmark::State& state) {
  const velto::FixedFft fft;
  std::complex<float> data[velto::FixedFft::kSize];
  for (int i = 0; i < velto::FixedFft::kSize; ++i) data[i] = {std::sin(0.1f * i), 0.0f};
  for (auto _ : state) {
    fft.run(data, false);
    fft.inverse(data);
    benchmark::DoNotOptimize(data);
  }
}
BENCHMARK(BM_FixedFft512);

} // namespace

BENCHMARK_MAIN();
