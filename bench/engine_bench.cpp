// Cost of one whole engine cycle at 128 frames: three hardware inputs (stereo, with their
// default effect banks), the system sound, the clock device's cycle (pads, player, four virtual
// inputs) and six bus outputs, every route on. The device callbacks are called directly with
// prepared buffer lists on an engine that binds no device. Reported as ns per cycle and as a
// share of the cycle's 2.67 ms budget.
#include "effects/fx_table.h"
#include "effects/input_fx.h"
#include "engine/engine.h"
#include "core/levels.h"
#include "platform/dispatch/main_queue.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr uint32_t kCycleFrames = 128;
constexpr double kBudgetSeconds = double{kCycleFrames} / velto::kSampleRate; // 2.67 ms

using Clock = std::chrono::steady_clock;

struct Result {
  const char* name;
  double ns;
};
std::vector<Result>& gResults() {
  static std::vector<Result> results;
  return results;
}

// One device direction of `channels` interleaved channels, prefilled with a tone.
struct DeviceBlock {
  DeviceBlock(uint32_t channels, double hz) : samples(size_t{kCycleFrames} * channels) {
    for (uint32_t f = 0; f < kCycleFrames; ++f) {
      const float v = 0.3f * static_cast<float>(std::sin(2.0 * M_PI * hz * f / velto::kSampleRate));
      for (uint32_t c = 0; c < channels; ++c) samples[size_t{f} * channels + c] = v;
    }
    list.count = 1;
    list.buffers[0] = {channels, static_cast<uint32_t>(samples.size() * sizeof(float)),
                       samples.data()};
  }
  std::vector<float> samples;
  platform::audio::BufferList list{};
};

void runCycle(benchmark::State& state, const char* name, bool echoCancelling) {
  auto engine = std::make_unique<velto::Engine>(false);
  for (auto& in : engine->hwInputs) {
    in.strip.routeMask.store(0x3f);
    in.fx->enabled[velto::FxId::aec].store(echoCancelling);
  }
  for (auto& v : engine->virtualIns) v.strip.routeMask.store(0x3f);
  engine->padsStrip.routeMask.store(0x3f);
  engine->playerStrip.routeMask.store(0x3f);
  for (auto& app : engine->apps) app.strip.routeMask.store(0xf);

  std::vector<std::unique_ptr<DeviceBlock>> inputs;
  for (int i = 0; i < 3; ++i) inputs.push_back(std::make_unique<DeviceBlock>(2, 220.0 * (i + 1)));
  DeviceBlock system(2, 1000.0);
  DeviceBlock clock(2, 0.0);
  std::vector<std::unique_ptr<DeviceBlock>> outputs;
  for (int i = 0; i < 6; ++i) outputs.push_back(std::make_unique<DeviceBlock>(2, 0.0));

  const auto start = Clock::now();
  for (auto _ : state) {
    for (int i = 0; i < 3; ++i) engine->processHwInput(i, &inputs[i]->list);
    engine->processSystem(&system.list);
    engine->processClock(&clock.list);
    for (int i = 0; i < 6; ++i) engine->processOutput(i, &outputs[i]->list);
    benchmark::DoNotOptimize(outputs[0]->samples.data());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double ns = seconds * 1e9 / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
  state.counters["ns_per_cycle"] = ns;
  state.counters["budget_pct"] = ns * 1e-9 / kBudgetSeconds * 100.0;
  gResults().push_back({name, ns});
  engine.reset();
  platform::dispatch::resetMainQueue(); // the player tick timer of the engine
}

void EngineCycle(benchmark::State& state) {
  runCycle(state, "engine cycle", false);
}
BENCHMARK(EngineCycle)->Unit(benchmark::kMicrosecond);

void EngineCycleEchoCancelling(benchmark::State& state) {
  runCycle(state, "engine cycle, echo cancelling", true);
}
BENCHMARK(EngineCycleEchoCancelling)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // The last run of each benchmark is its measured one.
  std::vector<Result> last;
  for (const Result& r : gResults()) {
    auto it = std::find_if(last.begin(), last.end(),
                           [&](const Result& l) { return std::string(l.name) == r.name; });
    if (it == last.end()) {
      last.push_back(r);
    } else {
      *it = r;
    }
  }
  for (const Result& r : last) {
    std::printf("%-32s %10.1f ns per %u-frame cycle = %6.2f %% of the %.2f ms budget\n", r.name,
                r.ns, kCycleFrames, r.ns * 1e-9 / kBudgetSeconds * 100.0, kBudgetSeconds * 1e3);
  }
  return 0;
}
