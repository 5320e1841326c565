// Cost of every effect body per audio cycle: a bank with one effect switched on, fed 128-frame
// stereo cycles of a voice-like signal at 48000 Hz (2.67 ms of budget per cycle). Reports
// nanoseconds per cycle and the share of the cycle's budget.
#include "core/denormals.h"
#include "core/stereo_ring.h"
#include "effects/fx_table.h"
#include "effects/input_fx.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <initializer_list>
#include <memory>
#include <optional>
#include <random>
#include <utility>
#include <vector>

namespace {

constexpr uint32_t kCycleFrames = 128;
constexpr double kBudgetNs = kCycleFrames / 48000.0 * 1e9; // 2.67 ms
constexpr size_t kCycles = 375;                            // one second of input, replayed

// Two vowel-like partials under a syllable envelope, with breath noise and now and then a loud
// consonant, so that the dynamics effects actually work.
std::vector<float> voiceLikeInput() {
  std::mt19937 rng(7);
  std::normal_distribution<float> noise(0.0f, 0.02f);
  std::vector<float> out(2 * kCycles * kCycleFrames);
  for (size_t i = 0; i < kCycles * kCycleFrames; ++i) {
    const float t = static_cast<float>(i);
    const float syllable = 0.5f + 0.5f * std::sin(0.00052f * t);
    const float voice = syllable * (0.6f * std::sin(0.0262f * t) + 0.25f * std::sin(0.151f * t));
    const float burst = (i / 6000) % 4 == 3 ? 0.8f * std::sin(0.85f * t) : 0.0f;
    out[2 * i] = voice + burst + noise(rng);
    out[2 * i + 1] = voice + noise(rng);
  }
  return out;
}

// A bank with every effect off but `id`, with the given parameters by key.
std::unique_ptr<velto::InputFx>
soloBank(velto::FxId id, std::initializer_list<std::pair<const char*, float>> values = {}) {
  auto bank = std::make_unique<velto::InputFx>();
  for (auto& flag : bank->enabled) flag.store(false);
  bank->enabled[id].store(true);
  for (const auto& [key, value] : values) {
    const int i = velto::findParam(&velto::kFx[id], key);
    if (i >= 0) bank->set(id, i, value);
  }
  return bank;
}

void reportBudget(benchmark::State& state, std::chrono::steady_clock::duration elapsed) {
  const double ns = std::chrono::duration<double, std::nano>(elapsed).count() /
                    static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
  state.counters["ns/cycle"] = ns;
  state.counters["budget%"] = ns / kBudgetNs * 100.0;
}

// Runs the bank over successive 128-frame cycles of the input, as a callback would.
void runCycles(benchmark::State& state, velto::InputFx& bank) {
  const auto source = voiceLikeInput();
  std::vector<float> buffer(2 * kCycleFrames);
  size_t cycle = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    std::copy_n(source.begin() + static_cast<std::ptrdiff_t>(2 * kCycleFrames * cycle),
                2 * kCycleFrames, buffer.begin());
    bank.process(buffer.data(), kCycleFrames);
    benchmark::DoNotOptimize(buffer.data());
    cycle = (cycle + 1) % kCycles;
  }
  reportBudget(state, std::chrono::steady_clock::now() - start);
}

// The room around an input: one hardware output plays `played` into the far-end ring and a
// quarter of it reaches the microphone on top of the voice `frames` (mono input: the left voice
// on both channels).
void feedRoom(const float* frames, const float* played, bool mono, velto::StereoRing& ring,
              std::vector<float>& far, std::vector<float>& buffer) {
  for (uint32_t i = 0; i < kCycleFrames; ++i) {
    far[2 * i] = far[2 * i + 1] = played[2 * i];
    buffer[2 * i] = frames[2 * i] + 0.25f * played[2 * i];
    buffer[2 * i + 1] = mono ? buffer[2 * i] : frames[2 * i + 1] + 0.25f * played[2 * i];
  }
  ring.write(far.data(), kCycleFrames);
}

} // namespace

// ---- dynamics ----

void BM_Gate(benchmark::State& state) {
  auto bank = soloBank(velto::FxId::gate, {{"threshold", -30.0f}});
  runCycles(state, *bank);
}
BENCHMARK(BM_Gate);

void BM_Compressor(benchmark::State& state) {
  auto bank = soloBank(velto::FxId::compressor);
  runCycles(state, *bank);
}
BENCHMARK(BM_Compressor);

void BM_DeEsser(benchmark::State& state) {
  auto bank = soloBank(velto::FxId::deEsser);
  runCycles(state, *bank);
}
BENCHMARK(BM_DeEsser);

void BM_Limiter(benchmark::State& state) {
  auto bank = soloBank(velto::FxId::limiter, {{"ceiling", -6.0f}});
  runCycles(state, *bank);
}
BENCHMARK(BM_Limiter);

void BM_LimiterLookahead(benchmark::State& state) {
  auto bank = soloBank(velto::FxId::limiter, {{"ceiling", -6.0f}, {"lookahead", 1.0f}});
  runCycles(state, *bank);
}
BENCHMARK(BM_LimiterLookahead);

// ---- chorus, echo, reverb ----

void BM_Chorus(benchmark::State& state) {
  auto bank = soloBank(velto::FxId::chorus, {{"voices", 4.0f}});
  runCycles(state, *bank);
}
BENCHMARK(BM_Chorus);

void BM_Echo(benchmark::State& state) {
  auto bank = soloBank(velto::FxId::echo, {{"pingpong", 1.0f}});
  runCycles(state, *bank);
}
BENCHMARK(BM_Echo);

void BM_Reverb(benchmark::State& state) {
  auto bank = soloBank(velto::FxId::reverb);
  runCycles(state, *bank);
}
BENCHMARK(BM_Reverb);

// ---- pitch shifter, octaver, harmonizer ----

void BM_PitchVoice(benchmark::State& state) {
  auto bank = soloBank(velto::FxId::pitch, {{"mode", 0.0f}, {"semitones", 7.0f}});
  runCycles(state, *bank);
}
BENCHMARK(BM_PitchVoice);

void BM_PitchAll(benchmark::State& state) {
  auto bank = soloBank(velto::FxId::pitch, {{"mode", 1.0f}, {"semitones", 7.0f}});
  runCycles(state, *bank);
}
BENCHMARK(BM_PitchAll);

void BM_OctaverTwoVoices(benchmark::State& state) {
  auto bank = soloBank(velto::FxId::octaver, {{"octave2", 50.0f}});
  runCycles(state, *bank);
}
BENCHMARK(BM_OctaverTwoVoices);

void BM_HarmonizerThreeVoices(benchmark::State& state) {
  auto bank = soloBank(velto::FxId::harmonizer, {{"voice3", -3.0f}});
  runCycles(state, *bank);
}
BENCHMARK(BM_HarmonizerThreeVoices);

// ---- echo canceller ----

// The stage ahead of the chain on a stereo input whose channels differ (both cancellers run),
// with one hardware output playing into the far-end ring every cycle; arg 1 is a mono input.
void BM_EchoCanceller(benchmark::State& state) {
  auto bank = soloBank(velto::FxId::aec);
  velto::StereoRing ring(velto::kRingFrames);
  bank->farEnd[0] = &ring;
  const auto source = voiceLikeInput();
  const bool mono = state.range(0) != 0;
  std::vector<float> buffer(2 * kCycleFrames);
  std::vector<float> far(2 * kCycleFrames);
  size_t cycle = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    const auto* frames = source.data() + 2 * kCycleFrames * cycle;
    const auto* played = source.data() + 2 * kCycleFrames * ((cycle + 100) % kCycles);
    feedRoom(frames, played, mono, ring, far, buffer);
    bank->processPre(buffer.data(), kCycleFrames);
    benchmark::DoNotOptimize(buffer.data());
    cycle = (cycle + 1) % kCycles;
  }
  reportBudget(state, std::chrono::steady_clock::now() - start);
}
BENCHMARK(BM_EchoCanceller)->Arg(0)->Arg(1);

// ---- feedback suppression, looper ----

void BM_Feedback(benchmark::State& state) {
  auto bank = soloBank(velto::FxId::feedback);
  runCycles(state, *bank);
}
BENCHMARK(BM_Feedback);

// All six notch slots cutting, so the notch cascade runs on every block: six growing tones are
// detected before the measurement starts.
void BM_FeedbackSixNotches(benchmark::State& state) {
  auto bank = soloBank(velto::FxId::feedback);
  std::vector<float> buffer(2 * 512);
  for (double hz : {500.0, 700.0, 1000.0, 1400.0, 2000.0, 2800.0}) {
    const uint32_t before = bank->feedbackEvents.load();
    for (int period = 0; period < 80 && bank->feedbackEvents.load() == before; ++period) {
      for (int i = 0; i < 512; ++i) {
        const double n = period * 512.0 + i;
        const double amp = std::sqrt(2.0) * std::pow(10.0, (-66.0 + 2.0 * n / 512.0) / 20.0);
        buffer[2 * i] = buffer[2 * i + 1] =
            static_cast<float>(amp * std::sin(2.0 * 3.141592653589793 * hz * n / 48000.0));
      }
      bank->process(buffer.data(), 512);
    }
  }
  runCycles(state, *bank);
}
BENCHMARK(BM_FeedbackSixNotches);

// A ten-second loop recorded, then overdubbed for the whole measurement (the looper's heaviest
// state: every frame reads the base and the layer and writes both).
void BM_LooperOverdub(benchmark::State& state) {
  auto bank = soloBank(velto::FxId::looper);
  bank->ensureLooper();
  bank->looperCommand.store(static_cast<uint32_t>(velto::LooperAction::record));
  std::vector<float> buffer(2 * kCycleFrames, 0.1f);
  for (int cycle = 0; cycle < 3750; ++cycle) bank->process(buffer.data(), kCycleFrames);
  bank->looperCommand.store(static_cast<uint32_t>(velto::LooperAction::overdub));
  runCycles(state, *bank);
}
BENCHMARK(BM_LooperOverdub);

// ---- the whole input ----

// One input with all fifteen effects on: the echo-canceller stage with a hardware output playing
// into its far-end ring, then every chain effect (the looper switched on with its buffers ready).
void BM_AllFifteenEffects(benchmark::State& state) {
  auto bank = std::make_unique<velto::InputFx>();
  for (auto& flag : bank->enabled) flag.store(true);
  bank->ensureLooper();
  velto::StereoRing ring(velto::kRingFrames);
  bank->farEnd[0] = &ring;
  const auto source = voiceLikeInput();
  std::vector<float> buffer(2 * kCycleFrames);
  std::vector<float> far(2 * kCycleFrames);
  size_t cycle = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    const auto* frames = source.data() + 2 * kCycleFrames * cycle;
    const auto* played = source.data() + 2 * kCycleFrames * ((cycle + 100) % kCycles);
    feedRoom(frames, played, false, ring, far, buffer);
    bank->processPre(buffer.data(), kCycleFrames);
    bank->process(buffer.data(), kCycleFrames);
    benchmark::DoNotOptimize(buffer.data());
    cycle = (cycle + 1) % kCycles;
  }
  reportBudget(state, std::chrono::steady_clock::now() - start);
}
BENCHMARK(BM_AllFifteenEffects);

// The same input through a burst at 0 dBFS into microphone and far end, then digital silence:
// the decaying filters and delay lines would fall into denormal floats. Arg 1 runs every cycle
// inside a DenormalScope as the device callbacks do, arg 0 without. Reports the mean cost of a
// cycle on normal signal, the mean and the worst one-second mean of the silent minute after the
// burst, and the ratio of the worst second to normal signal.
void BM_AllFifteenEffectsBurstThenSilence(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  const bool flush = state.range(0) != 0;
  constexpr size_t kNormalCycles = 750;   // 2 s
  constexpr size_t kBurstCycles = 188;    // 0.5 s
  constexpr size_t kSilentCycles = 22500; // 60 s
  constexpr size_t kSecond = 375;
  const auto voice = voiceLikeInput();
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> fullScale(-1.0f, 1.0f);
  std::vector<float> burst(2 * kBurstCycles * kCycleFrames);
  for (float& v : burst) v = fullScale(rng);
  burst[0] = 1.0f;
  const std::vector<float> silence(2 * kCycleFrames, 0.0f);

  for (auto _ : state) {
    auto bank = std::make_unique<velto::InputFx>();
    for (auto& flag : bank->enabled) flag.store(true);
    bank->ensureLooper();
    velto::StereoRing ring(velto::kRingFrames);
    bank->farEnd[0] = &ring;
    std::vector<float> buffer(2 * kCycleFrames);
    std::vector<float> far(2 * kCycleFrames);
    // One cycle as the callback runs it; returns its cost in ns.
    auto cycle = [&](const float* frames, const float* played) {
      const auto start = Clock::now();
      {
        std::optional<velto::DenormalScope> scope;
        if (flush) scope.emplace();
        feedRoom(frames, played, false, ring, far, buffer);
        bank->processPre(buffer.data(), kCycleFrames);
        bank->process(buffer.data(), kCycleFrames);
      }
      benchmark::DoNotOptimize(buffer.data());
      return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    };
    auto voiceAt = [&](size_t k) { return voice.data() + 2 * kCycleFrames * (k % kCycles); };

    for (size_t k = 0; k < kNormalCycles; ++k) cycle(voiceAt(k), voiceAt(k + 100)); // warm-up
    double normal = 0.0;
    for (size_t k = 0; k < kNormalCycles; ++k) normal += cycle(voiceAt(k), voiceAt(k + 100));
    normal /= kNormalCycles;
    for (size_t k = 0; k < kBurstCycles; ++k) {
      const float* b = burst.data() + 2 * kCycleFrames * k;
      cycle(b, b);
    }
    double silent = 0.0;
    double second = 0.0;
    double worstSecond = 0.0;
    for (size_t k = 0; k < kSilentCycles; ++k) {
      const double ns = cycle(silence.data(), silence.data());
      silent += ns;
      second += ns;
      if ((k + 1) % kSecond == 0) {
        worstSecond = std::max(worstSecond, second / kSecond);
        second = 0.0;
      }
    }
    silent /= kSilentCycles;
    state.counters["normal_us"] = normal / 1e3;
    state.counters["normal_budget%"] = normal / kBudgetNs * 100.0;
    state.counters["silent_us"] = silent / 1e3;
    state.counters["silent_budget%"] = silent / kBudgetNs * 100.0;
    state.counters["worst_second_us"] = worstSecond / 1e3;
    state.counters["worst_second_budget%"] = worstSecond / kBudgetNs * 100.0;
    state.counters["worst_second/normal"] = worstSecond / normal;
  }
}
BENCHMARK(BM_AllFifteenEffectsBurstThenSilence)
    ->ArgName("flush")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
