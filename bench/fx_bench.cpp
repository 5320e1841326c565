// Cost of one effect bank per audio cycle: a 128-frame stereo buffer, the default cycle at
// 48000 Hz (2.67 ms of budget), with the low cut and the EQ on (every EQ band in use, a glide
// running now and then), alone in a bank and inside an input's chain. Reports nanoseconds per
// cycle and the share of the cycle's budget.
#include "effects/fx_chain.h"
#include "effects/input_fx.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

namespace {

constexpr uint32_t kCycleFrames = 128;
constexpr double kBudgetNs = kCycleFrames / 48000.0 * 1e9; // 2.67 ms
constexpr size_t kCycles = 375;                            // one second of input, replayed

std::vector<float> voiceLikeInput() {
  std::mt19937 rng(7);
  std::normal_distribution<float> noise(0.0f, 0.02f);
  std::vector<float> out(2 * kCycles * kCycleFrames);
  for (size_t i = 0; i < kCycles * kCycleFrames; ++i) {
    const float t = static_cast<float>(i);
    const float voice = 0.3f * std::sin(0.0262f * t) + 0.1f * std::sin(0.151f * t);
    out[2 * i] = voice + noise(rng);
    out[2 * i + 1] = voice + noise(rng);
  }
  return out;
}

void lowCutAndEq(velto::InputFx& bank) {
  for (auto& flag : bank.enabled) flag.store(false);
  bank.enabled[velto::FxId::lowCut].store(true);
  bank.enabled[velto::FxId::eq].store(true);
  bank.set(velto::FxId::lowCut, 0, 100.0f);
  const float podcast[10] = {100, -2, 250, -3, 1.4f, 3500, 3, 1.2f, 10000, 2};
  for (int i = 0; i < 10; ++i) bank.set(velto::FxId::eq, i, podcast[i]);
}

void reportBudget(benchmark::State& state, std::chrono::steady_clock::duration elapsed) {
  const double ns = std::chrono::duration<double, std::nano>(elapsed).count() /
                    static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
  state.counters["ns/cycle"] = ns;
  state.counters["budget%"] = ns / kBudgetNs * 100.0;
}

// Runs `process` on successive cycles of the input; every 200 cycles the EQ's mid gain moves,
// so coefficient glides are part of the cost.
template <typename Process>
void runCycles(benchmark::State& state, velto::InputFx& eqBank, Process process) {
  const auto source = voiceLikeInput();
  std::vector<float> buffer(2 * kCycleFrames);
  size_t cycle = 0;
  uint64_t count = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    std::copy_n(source.begin() + static_cast<std::ptrdiff_t>(2 * kCycleFrames * cycle),
                2 * kCycleFrames, buffer.begin());
    if (++count % 200 == 0) eqBank.set(velto::FxId::eq, 3, (count / 200) % 2 ? 3.0f : -3.0f);
    process(buffer.data());
    benchmark::DoNotOptimize(buffer.data());
    cycle = (cycle + 1) % kCycles;
  }
  reportBudget(state, std::chrono::steady_clock::now() - start);
}

void BM_BankLowCutAndEq(benchmark::State& state) {
  auto bank = std::make_unique<velto::InputFx>();
  lowCutAndEq(*bank);
  runCycles(state, *bank, [&](float* b) { bank->process(b, kCycleFrames); });
}
BENCHMARK(BM_BankLowCutAndEq);

void BM_ChainLowCutAndEq(benchmark::State& state) {
  auto chain = std::make_unique<velto::FxChain>();
  lowCutAndEq(*chain->banks[0]);
  runCycles(state, *chain->banks[0], [&](float* b) { chain->process(b, kCycleFrames); });
}
BENCHMARK(BM_ChainLowCutAndEq);

// A bus bank with everything off: the buffer is left alone.
void BM_BankAllOff(benchmark::State& state) {
  auto bank = std::make_unique<velto::InputFx>();
  for (auto& flag : bank->enabled) flag.store(false);
  runCycles(state, *bank, [&](float* b) { bank->process(b, kCycleFrames); });
}
BENCHMARK(BM_BankAllOff);

} // namespace

BENCHMARK_MAIN();
