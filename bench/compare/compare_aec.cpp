// Echo cancellation side by side: our bank's echo-canceller stage and the WebRTC audio
// processing module (Debian's libwebrtc-audio-processing) on the same far end, played through the
// same simulated room, in 10 ms calls at 48000 Hz. Reports the echo return loss enhancement over
// the last three seconds and the CPU cost per 128 frames of input.
#include "effects/input_fx.h"
#include "core/stereo_ring.h"
#include "tests/effects/aec_room.h"

#include "bench/compare/cpu_clock.h"

#include <benchmark/benchmark.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <memory>
#include <vector>

namespace {

using namespace velto::test::aec;

constexpr uint32_t kCall = 480; // 10 ms, the frame the WebRTC module works on
constexpr size_t kSeconds = 10;
constexpr double kCycleNs = 128.0 / 48000.0 * 1e9;

struct Scene {
  std::vector<float> far;
  std::vector<float> near;
};

// 0: white noise far end; 1: speech-like far end, microphone noise at -50 dBFS; 2: speech-like,
// clean microphone (-70 dBFS).
Scene makeScene(int kind) {
  const size_t n = kRate * kSeconds;
  Scene s;
  s.far = kind == 0 ? whiteFarEnd(n, 0.1f, 36) : speechLikeFarEnd(n, 0.1f, 36);
  const float mic = kind == 1 ? 0.003f : 0.0003f;
  s.near = mixed(convolve(s.far, roomResponse(240, 0.5f, 0.15, 0.02f, 6000, 2)),
                 whiteFarEnd(n, mic, 37));
  return s;
}

void report(benchmark::State& state, double nsPerRun, const Scene& s,
            const std::vector<float>& out) {
  const double cycles = static_cast<double>(s.near.size()) / 128.0;
  state.counters["ns/cycle"] = nsPerRun / cycles;
  state.counters["budget%"] = nsPerRun / cycles / kCycleNs * 100.0;
  state.counters["ERLE_dB"] = erleDb(s.near, out, s.near.size() - 3 * kRate, s.near.size());
}

void BM_AecOurs(benchmark::State& state) {
  const Scene scene = makeScene(static_cast<int>(state.range(0)));
  std::vector<float> out;
  double ns = 0.0;
  for (auto _ : state) {
    auto bank = std::make_unique<velto::InputFx>();
    for (auto& flag : bank->enabled) flag.store(false);
    bank->enabled[velto::FxId::aec].store(true);
    velto::StereoRing ring(velto::kRingFrames);
    bank->farEnd[0] = &ring;
    const double start = compare::threadCpuNs();
    out = runStage(*bank, ring, scene.far, scene.near, kCall);
    ns = compare::threadCpuNs() - start;
    benchmark::DoNotOptimize(out.data());
  }
  report(state, ns, scene, out);
}
BENCHMARK(BM_AecOurs)->Arg(0)->Arg(1)->Arg(2)->Iterations(2)->Unit(benchmark::kMillisecond);

// arg 1: 0 = default filter, 1 = extended filter (longer echo tails).
void BM_AecWebRtc(benchmark::State& state) {
  const Scene scene = makeScene(static_cast<int>(state.range(0)));
  std::vector<float> out(scene.near.size());
  double ns = 0.0;
  for (auto _ : state) {
    webrtc::Config config;
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(state.range(1) != 0));
    std::unique_ptr<webrtc::AudioProcessing> apm(webrtc::AudioProcessing::Create(config));
    apm->echo_cancellation()->Enable(true);
    apm->echo_cancellation()->set_suppression_level(webrtc::EchoCancellation::kHighSuppression);
    const webrtc::StreamConfig mono(48000, 1);
    std::vector<float> farFrame(kCall), nearFrame(kCall);
    const double start = compare::threadCpuNs();
    for (size_t pos = 0; pos + kCall <= scene.near.size(); pos += kCall) {
      std::copy_n(scene.far.begin() + static_cast<std::ptrdiff_t>(pos), kCall, farFrame.begin());
      std::copy_n(scene.near.begin() + static_cast<std::ptrdiff_t>(pos), kCall, nearFrame.begin());
      float* farChannels[1] = {farFrame.data()};
      float* nearChannels[1] = {nearFrame.data()};
      apm->ProcessReverseStream(farChannels, mono, mono, farChannels);
      apm->set_stream_delay_ms(0); // render and capture are simultaneous in the simulation
      apm->ProcessStream(nearChannels, mono, mono, nearChannels);
      std::copy_n(nearFrame.begin(), kCall, out.begin() + static_cast<std::ptrdiff_t>(pos));
    }
    ns = compare::threadCpuNs() - start;
    benchmark::DoNotOptimize(out.data());
  }
  report(state, ns, scene, out);
}
BENCHMARK(BM_AecWebRtc)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Args({2, 1})
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

} // namespace
