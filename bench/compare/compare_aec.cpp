// Echo cancellation side by side: our bank's echo-canceller stage and the WebRTC audio
// processing module (Debian's libwebrtc-audio-processing, plain and with its extended filter) on
// the same far end, played through the same simulated rooms, in 10 ms calls at 48000 Hz, mono.
// The far end is German speech from espeak-ng (resampled to 48000 Hz by sox); without those
// programs the rows fail with a message.
// Rows:
// - AecErle/<canceller>/<voice>/<room>: echo reduction over the last third of 30 s with -70 and
//   -50 dBFS microphone noise, the largest swing of the per-second figures from their median
//   after the first 5 s, and the lowest of them. The voices de, de+m3 and de+f4 speak the suites'
//   sentences; de+f2 and de+m1 other ones (material nothing was tuned on).
// - AecWhite/<canceller>: the same on a white-noise far end in the 150 ms room.
// - AecDoubleTalk/<canceller>/<voice>/<talker level>: a near talker joins after 10 s at the
//   echo's level or 6 dB below it; how far the far end's residual lies below the raw echo over
//   the last third, and how much of the talker is lost.
// - AecRecovery/<canceller>/<voice>: seconds to get back above 15 dB after the room changes.
// Every row also gives the CPU time per 10 ms call and its share of real time.
#include "core/stereo_ring.h"
#include "effects/input_fx.h"
#include "tests/effects/aec_room.h"
#include "tests/effects/aec_speech.h"

#include "bench/compare/cpu_clock.h"

#include <benchmark/benchmark.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace velto::test::aec;

constexpr uint32_t kCall = 480; // 10 ms, the frame the WebRTC module works on
constexpr size_t kFrames = kRate * 30;
constexpr double kQuietMic = 0.000316; // -70 dBFS
constexpr double kNoisyMic = 0.00316;  // -50 dBFS

struct Voice {
  const char* voice;
  const char* text;
};
constexpr Voice kVoices[] = {{"de", kFarText},
                             {"de+m3", kFarText},
                             {"de+f4", kFarText},
                             {"de+f2", kOtherFarText},
                             {"de+m1", kOtherFarText}};

const std::vector<float>& spoken(const char* text, const char* voice, float rms) {
  static std::map<std::pair<std::string, std::string>, std::vector<float>> cache;
  auto& v = cache[{text, voice}];
  if (v.empty()) v = spokenGerman(text, voice, kFrames, rms);
  return v;
}

struct Run {
  std::vector<float> out;
  double ns = 0.0;
  double calls = 0.0;
};
using Canceller = void (*)(const std::vector<float>& far, const std::vector<float>& near, Run* run);

void runOurs(const std::vector<float>& far, const std::vector<float>& near, Run* run) {
  auto bank = std::make_unique<velto::InputFx>();
  for (auto& flag : bank->enabled) flag.store(false);
  bank->enabled[velto::FxId::aec].store(true); // default strength
  velto::StereoRing ring(velto::kRingFrames);
  bank->farEnd[0] = &ring;
  const double start = compare::threadCpuNs();
  run->out = runStage(*bank, ring, far, near, kCall);
  run->ns += compare::threadCpuNs() - start;
  run->calls += static_cast<double>(near.size()) / kCall;
}

template <bool extended>
void runWebRtc(const std::vector<float>& far, const std::vector<float>& near, Run* run) {
  webrtc::Config config;
  config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(extended));
  std::unique_ptr<webrtc::AudioProcessing> apm(webrtc::AudioProcessing::Create(config));
  apm->echo_cancellation()->Enable(true);
  apm->echo_cancellation()->set_suppression_level(webrtc::EchoCancellation::kHighSuppression);
  const webrtc::StreamConfig mono(48000, 1);
  std::vector<float> farFrame(kCall), nearFrame(kCall);
  run->out.assign(near.size(), 0.0f);
  const double start = compare::threadCpuNs();
  for (size_t pos = 0; pos + kCall <= near.size(); pos += kCall) {
    std::copy_n(far.begin() + static_cast<std::ptrdiff_t>(pos), kCall, farFrame.begin());
    std::copy_n(near.begin() + static_cast<std::ptrdiff_t>(pos), kCall, nearFrame.begin());
    float* farChannels[1] = {farFrame.data()};
    float* nearChannels[1] = {nearFrame.data()};
    apm->ProcessReverseStream(farChannels, mono, mono, farChannels);
    apm->set_stream_delay_ms(0); // render and capture are simultaneous in the simulation
    apm->ProcessStream(nearChannels, mono, mono, nearChannels);
    std::copy_n(nearFrame.begin(), kCall, run->out.begin() + static_cast<std::ptrdiff_t>(pos));
  }
  run->ns += compare::threadCpuNs() - start;
  run->calls += static_cast<double>(near.size()) / kCall;
}

void reportCost(benchmark::State& state, const Run& run) {
  const double nsPerCall = run.ns / run.calls;
  state.counters["us/call"] = nsPerCall / 1e3;
  state.counters["realtime%"] = nsPerCall / 1e7 * 100.0; // a call is 10 ms of audio
}

bool haveSpeech(benchmark::State& state, const std::vector<float>& v) {
  if (!v.empty()) return true;
  state.SkipWithError("espeak-ng or sox is missing");
  return false;
}

void measureErle(benchmark::State& state, Canceller cancel, Voice voice, Room room) {
  const auto& far = spoken(voice.text, voice.voice, 0.1f);
  if (!haveSpeech(state, far)) return;
  const auto echo = convolve(far, roomOf(room));
  Run run;
  for (auto _ : state) {
    for (const double mic : {kQuietMic, kNoisyMic}) {
      const auto near = mixed(echo, whiteFarEnd(kFrames, static_cast<float>(mic), 37));
      cancel(far, near, &run);
      const std::string level = mic == kQuietMic ? "70" : "50";
      state.counters["ERLE" + level + "_dB"] = erleDb(near, run.out, kFrames * 2 / 3, kFrames);
      const auto seconds = erlePerSecond(near, echo, run.out, kRate * 5, mic);
      state.counters["swing" + level + "_dB"] = swingDb(seconds);
      state.counters["low" + level + "_dB"] =
          seconds.empty() ? 0.0 : *std::min_element(seconds.begin(), seconds.end());
    }
  }
  reportCost(state, run);
}

void measureWhite(benchmark::State& state, Canceller cancel) {
  const auto far = whiteFarEnd(kFrames, 0.1f, 36);
  const auto near = mixed(convolve(far, roomOf(kRooms[1])),
                          whiteFarEnd(kFrames, static_cast<float>(kQuietMic), 37));
  Run run;
  for (auto _ : state) {
    cancel(far, near, &run);
    state.counters["white_dB"] = erleDb(near, run.out, kFrames * 2 / 3, kFrames);
  }
  reportCost(state, run);
}

void measureDoubleTalk(benchmark::State& state, Canceller cancel, Voice voice, double talkerDb) {
  const auto& far = spoken(voice.text, voice.voice, 0.1f);
  const auto& talkerSpeech = spoken(kNearText, "de+f3", 0.1f);
  if (!haveSpeech(state, far) || !haveSpeech(state, talkerSpeech)) return;
  const auto echo = convolve(far, roomOf(kRooms[1]));
  // The talker at the echo's level (or below it) in the span where both are heard.
  double echoPower = 0.0, talkerPower = 0.0;
  for (size_t i = kRate * 10; i < kFrames; ++i) {
    echoPower += static_cast<double>(echo[i]) * echo[i];
    talkerPower += static_cast<double>(talkerSpeech[i]) * talkerSpeech[i];
  }
  const double scale = std::sqrt(echoPower / talkerPower) * std::pow(10.0, talkerDb / 20.0);
  std::vector<float> talker(kFrames, 0.0f);
  for (size_t i = kRate * 10; i < kFrames; ++i)
    talker[i] = static_cast<float>(scale * talkerSpeech[i]);
  const auto near =
      mixed(mixed(echo, whiteFarEnd(kFrames, static_cast<float>(kQuietMic), 37)), talker);
  Run run;
  for (auto _ : state) {
    cancel(far, near, &run);
    state.counters["residual_dB"] =
        farResidualBelowEchoDb(echo, talker, run.out, kFrames * 2 / 3, kFrames);
    state.counters["talk_loss_dB"] = voiceLossDb(talker, run.out, kFrames * 2 / 3, kFrames);
  }
  reportCost(state, run);
}

void measureRecovery(benchmark::State& state, Canceller cancel, Voice voice) {
  const auto& far = spoken(voice.text, voice.voice, 0.1f);
  if (!haveSpeech(state, far)) return;
  // After 15 s the room changes: another delay and another tail.
  const size_t change = kRate * 15;
  const auto echo = convolve(far, roomOf(kRooms[1]));
  const auto changedEcho = convolve(far, roomResponse(432, 0.4f, 0.25, 0.025f, 7000, 5));
  std::vector<float> roomEcho(echo.begin(), echo.begin() + change);
  roomEcho.insert(roomEcho.end(), changedEcho.begin() + change, changedEcho.end());
  const auto near = mixed(roomEcho, whiteFarEnd(kFrames, static_cast<float>(kQuietMic), 37));
  Run run;
  for (auto _ : state) {
    cancel(far, near, &run);
    state.counters["recovery_s"] =
        recoverySeconds(near, roomEcho, run.out, change, kQuietMic, 15.0);
  }
  reportCost(state, run);
}

const bool kRegistered = [] {
  const std::pair<const char*, Canceller> cancellers[] = {
      {"ours", runOurs}, {"webrtc", runWebRtc<false>}, {"webrtc-extended", runWebRtc<true>}};
  for (const auto& [who, cancel] : cancellers) {
    for (const Voice& voice : kVoices) {
      for (const Room& room : kRooms) {
        const std::string name =
            std::string("AecErle/") + who + "/" + voice.voice + "/" + room.name;
        benchmark::RegisterBenchmark(name.c_str(), measureErle, cancel, voice, room)
            ->Iterations(1)
            ->Unit(benchmark::kSecond);
      }
    }
    benchmark::RegisterBenchmark((std::string("AecWhite/") + who).c_str(), measureWhite, cancel)
        ->Iterations(1)
        ->Unit(benchmark::kSecond);
    for (const Voice& voice : kVoices) {
      for (const double talkerDb : {0.0, -6.0}) {
        const std::string name = std::string("AecDoubleTalk/") + who + "/" + voice.voice + "/" +
                                 (talkerDb == 0.0 ? "0 dB" : "-6 dB");
        benchmark::RegisterBenchmark(name.c_str(), measureDoubleTalk, cancel, voice, talkerDb)
            ->Iterations(1)
            ->Unit(benchmark::kSecond);
      }
    }
    for (const Voice& voice : kVoices) {
      const std::string name = std::string("AecRecovery/") + who + "/" + voice.voice;
      benchmark::RegisterBenchmark(name.c_str(), measureRecovery, cancel, voice)
          ->Iterations(1)
          ->Unit(benchmark::kSecond);
    }
  }
  return true;
}();

} // namespace
