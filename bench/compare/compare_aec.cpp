// Echo cancellation side by side: our bank's echo-canceller stage and the WebRTC audio
// processing module (Debian's libwebrtc-audio-processing) on the same far end, played through the
// same simulated rooms, in 10 ms calls at 48000 Hz, mono. The far end is German speech from
// espeak-ng (resampled to 48000 Hz by sox); without those programs the speech rows are skipped.
// Figures per canceller: echo reduction over the last third of 30 s with -70 and -50 dBFS
// microphone noise (and on white noise), the loss of a near talker in double talk, the time to
// get back above 15 dB after the room changes, and the CPU cost per 10 ms call.
#include "core/stereo_ring.h"
#include "effects/input_fx.h"
#include "tests/effects/aec_room.h"
#include "tests/effects/aec_speech.h"

#include "bench/compare/cpu_clock.h"

#include <benchmark/benchmark.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <memory>
#include <vector>

namespace {

using namespace velto::test::aec;

constexpr uint32_t kCall = 480; // 10 ms, the frame the WebRTC module works on
constexpr size_t kFrames = kRate * 30;
constexpr double kQuietMic = 0.000316; // -70 dBFS
constexpr double kNoisyMic = 0.00316;  // -50 dBFS

// 5 ms to the microphone, half the level on the direct path, a tail dying away in 150 ms; the
// changed room: 9 ms, a different tail of 250 ms.
std::vector<float> firstRoom() {
  return roomResponse(240, 0.5f, 0.15, 0.02f, 6000, 2);
}
std::vector<float> changedRoom() {
  return roomResponse(432, 0.4f, 0.25, 0.025f, 7000, 5);
}

struct Speech {
  std::vector<float> far, nearTalker;
};

const Speech& speech() {
  static const Speech s{spokenGerman(kFarText, "de", kFrames, 0.1f),
                        spokenGerman(kNearText, "de+f3", kFrames, 0.05f)};
  return s;
}

// Runs one canceller over far/near (mono); returns the output and adds the CPU time spent.
using Canceller = std::vector<float> (*)(const std::vector<float>& far,
                                         const std::vector<float>& near, double* ns);

std::vector<float> runOurs(const std::vector<float>& far, const std::vector<float>& near,
                           double* ns) {
  auto bank = std::make_unique<velto::InputFx>();
  for (auto& flag : bank->enabled) flag.store(false);
  bank->enabled[velto::FxId::aec].store(true); // default strength
  velto::StereoRing ring(velto::kRingFrames);
  bank->farEnd[0] = &ring;
  const double start = compare::threadCpuNs();
  auto out = runStage(*bank, ring, far, near, kCall);
  *ns += compare::threadCpuNs() - start;
  return out;
}

template <bool extended>
std::vector<float> runWebRtc(const std::vector<float>& far, const std::vector<float>& near,
                             double* ns) {
  webrtc::Config config;
  config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(extended));
  std::unique_ptr<webrtc::AudioProcessing> apm(webrtc::AudioProcessing::Create(config));
  apm->echo_cancellation()->Enable(true);
  apm->echo_cancellation()->set_suppression_level(webrtc::EchoCancellation::kHighSuppression);
  const webrtc::StreamConfig mono(48000, 1);
  std::vector<float> farFrame(kCall), nearFrame(kCall), out(near.size(), 0.0f);
  const double start = compare::threadCpuNs();
  for (size_t pos = 0; pos + kCall <= near.size(); pos += kCall) {
    std::copy_n(far.begin() + static_cast<std::ptrdiff_t>(pos), kCall, farFrame.begin());
    std::copy_n(near.begin() + static_cast<std::ptrdiff_t>(pos), kCall, nearFrame.begin());
    float* farChannels[1] = {farFrame.data()};
    float* nearChannels[1] = {nearFrame.data()};
    apm->ProcessReverseStream(farChannels, mono, mono, farChannels);
    apm->set_stream_delay_ms(0); // render and capture are simultaneous in the simulation
    apm->ProcessStream(nearChannels, mono, mono, nearChannels);
    std::copy_n(nearFrame.begin(), kCall, out.begin() + static_cast<std::ptrdiff_t>(pos));
  }
  *ns += compare::threadCpuNs() - start;
  return out;
}

double lastThirdErle(const std::vector<float>& near, const std::vector<float>& out) {
  return erleDb(near, out, near.size() * 2 / 3, near.size());
}

void measure(benchmark::State& state, Canceller run) {
  const Speech& s = speech();
  if (s.far.empty() || s.nearTalker.empty()) {
    state.SkipWithError("espeak-ng or sox is missing");
    return;
  }
  const auto noiseQuiet = whiteFarEnd(kFrames, static_cast<float>(kQuietMic), 37);
  const auto noiseLoud = whiteFarEnd(kFrames, static_cast<float>(kNoisyMic), 37);
  const auto echo = convolve(s.far, firstRoom());
  double ns = 0.0, calls = 0.0;
  for (auto _ : state) {
    const auto white = whiteFarEnd(kFrames, 0.1f, 36);
    const auto whiteNear = mixed(convolve(white, firstRoom()), noiseQuiet);
    state.counters["white_dB"] = lastThirdErle(whiteNear, run(white, whiteNear, &ns));

    const auto quiet = mixed(echo, noiseQuiet);
    state.counters["ERLE70_dB"] = lastThirdErle(quiet, run(s.far, quiet, &ns));
    const auto loud = mixed(echo, noiseLoud);
    state.counters["ERLE50_dB"] = lastThirdErle(loud, run(s.far, loud, &ns));

    // Double talk: the near talker joins after 10 s (the filter has converged by then).
    std::vector<float> talker(kFrames, 0.0f);
    std::copy(s.nearTalker.begin() + kRate * 10, s.nearTalker.end(), talker.begin() + kRate * 10);
    const auto both = mixed(quiet, talker);
    state.counters["talk_loss_dB"] =
        voiceLossDb(talker, run(s.far, both, &ns), kFrames * 2 / 3, kFrames);

    // The room changes after 15 s: another delay and another tail.
    const size_t change = kRate * 15;
    const auto changedEcho = convolve(s.far, changedRoom());
    std::vector<float> roomEcho(echo.begin(), echo.begin() + change);
    roomEcho.insert(roomEcho.end(), changedEcho.begin() + change, changedEcho.end());
    const auto changed = mixed(roomEcho, noiseQuiet);
    state.counters["recovery_s"] =
        recoverySeconds(changed, roomEcho, run(s.far, changed, &ns), change, kQuietMic, 15.0);
    calls += 5.0 * kFrames / kCall;
  }
  const double nsPerCall = ns / calls;
  state.counters["us/call"] = nsPerCall / 1e3;
  state.counters["realtime%"] = nsPerCall / 1e7 * 100.0; // a call is 10 ms of audio
}

void BM_AecOurs(benchmark::State& state) {
  measure(state, runOurs);
}
void BM_AecWebRtc(benchmark::State& state) {
  measure(state, runWebRtc<false>);
}
void BM_AecWebRtcExtended(benchmark::State& state) {
  measure(state, runWebRtc<true>);
}
BENCHMARK(BM_AecOurs)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_AecWebRtc)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_AecWebRtcExtended)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace
