// Input analysis of the hardware inputs: the live display spectrum, the noise-profile learner
// and its timer, the peak-level probe of any device, and the looper buffers prepared ahead of
// the audio thread. Everything here runs on the main thread except the probe callback.
#include "core/denormals.h"
#include "effects/fft.h"
#include "effects/fx_chain.h"
#include "effects/fx_table.h"
#include "effects/input_fx.h"
#include "effects/noise_filter.h"
#include "engine/engine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <thread>
#include <vector>

namespace velto {
namespace {

constexpr uint32_t kHistory = 4096;
constexpr uint32_t kBands = 2048;
constexpr uint32_t kLearnerWindow = NoiseFilter::kFrame;        // 512
constexpr uint32_t kLearnerHop = NoiseFilter::kHop;             // 128
constexpr uint32_t kLearnerKeep = kLearnerWindow - kLearnerHop; // 384
constexpr uint32_t kPieceFrames = kAnalysisRingFrames;          // 8192
constexpr float kProfileStartDb = NoiseFilter::kFloorDb;        // -120
constexpr float kDisplayDecayDb = 1.5f;
constexpr float kDisplayFloor = 1e-7f;

// The backlog is read in pieces into this buffer; one per thread, allocated on first use.
float* pieceBuffer() {
  thread_local std::vector<float> buffer;
  if (buffer.empty()) buffer.assign(size_t{kPieceFrames} * 2, 0.0f);
  return buffer.data();
}

// The learner's 512-point transform, shared by all inputs; built on first use.
const FixedFft& learnerFft() {
  static const FixedFft fft;
  return fft;
}

struct DisplayTables {
  DisplayTables() {
    const double step = 2.0 * std::numbers::pi / kHistory;
    for (uint32_t j = 0; j < kHistory; ++j) {
      hann[j] = static_cast<float>(0.5 - 0.5 * std::cos(step * j));
      uint32_t r = 0;
      for (uint32_t v = j, b = 0; b < 12; ++b, v >>= 1) r = (r << 1) | (v & 1u);
      bitReverse[j] = static_cast<uint16_t>(r);
    }
    // twiddle[k] = e^(-2 pi i k / 4096); a stage of length len uses every (4096 / len)-th.
    for (uint32_t k = 0; k < kHistory / 2; ++k) {
      twiddle[k] = std::complex<float>(static_cast<float>(std::cos(step * k)),
                                       static_cast<float>(-std::sin(step * k)));
    }
  }
  float hann[kHistory];
  uint16_t bitReverse[kHistory];
  std::complex<float> twiddle[kHistory / 2];
};

const DisplayTables& displayTables() {
  static const DisplayTables tables;
  return tables;
}

// In-place radix-2 forward transform of 4096 points: bit-reversed input order, butterflies of
// length 2, 4, ... 4096.
void transform4096(std::complex<float>* x) {
  const DisplayTables& t = displayTables();
  for (uint32_t i = 0; i < kHistory; ++i) {
    const uint32_t r = t.bitReverse[i];
    if (i < r) std::swap(x[i], x[r]);
  }
  for (uint32_t len = 2; len <= kHistory; len <<= 1) {
    const uint32_t half = len / 2;
    const uint32_t stride = kHistory / len;
    for (uint32_t s = 0; s < kHistory; s += len) {
      for (uint32_t k = 0; k < half; ++k) {
        // Plain complex product: the library's operator* takes a slow path for NaN checks.
        const std::complex<float> w = t.twiddle[k * stride];
        const std::complex<float> b = x[s + k + half];
        const std::complex<float> v(b.real() * w.real() - b.imag() * w.imag(),
                                    b.real() * w.imag() + b.imag() * w.real());
        const std::complex<float> u = x[s + k];
        x[s + k] = u + v;
        x[s + k + half] = u - v;
      }
    }
  }
}

// Display spectrum from the history: peak hold that falls by 1.5 dB per update.
void updateDisplay(InputAnalysis& a) {
  const DisplayTables& t = displayTables();
  std::vector<std::complex<float>> x(kHistory);
  for (uint32_t j = 0; j < kHistory; ++j) x[j] = {a.history[j] * t.hann[j], 0.0f};
  transform4096(x.data());
  for (uint32_t b = 0; b < kBands; ++b) {
    const float magnitude = std::abs(x[b]) * 4.0f / static_cast<float>(kHistory);
    const float level = 20.0f * std::log10(std::max(magnitude, kDisplayFloor));
    const float decayed = a.spectrum[b] - kDisplayDecayDb;
    // A level that is not finite (samples so large that the transform overflows) would stick in
    // the peak hold for good: it is ignored.
    a.spectrum[b] = (std::isfinite(level) && level > decayed) ? level : decayed;
  }
}

// One complete 512-sample window of the learner.
void learnWindow(InputAnalysis& a) {
  float bandsDb[NoiseFilter::kBins];
  NoiseFilter::spectrumDb(learnerFft(), a.window.data(), bandsDb);
  const bool measuring = a.measuring;
  for (int b = 0; b < NoiseFilter::kBins; ++b) {
    // Samples so large that the transform overflows would poison the smoothed spectrum for the
    // rest of the measurement and give a profile the filter refuses; such bands are skipped.
    if (!std::isfinite(bandsDb[b])) continue;
    a.running[b] = 0.8f * a.running[b] + 0.2f * bandsDb[b];
    if (measuring) a.profile[b] = std::max(a.profile[b], a.running[b]);
  }
  std::copy(a.window.begin() + kLearnerHop, a.window.begin() + kLearnerWindow, a.window.begin());
  a.windowFill = kLearnerKeep;
}

struct Probe {
  std::atomic<float> peak{0.0f};
  std::atomic<uint32_t> callbacks{0};
};

// audio thread: raises the probe's peak over every input buffer; writes nothing.
AspStatus probeCallback(platform::audio::ObjectId, const platform::audio::TimeStamp*,
                        const platform::audio::BufferList* input, const platform::audio::TimeStamp*,
                        platform::audio::BufferList*, const platform::audio::TimeStamp*,
                        void* clientData) {
  const DenormalScope flush;
  Probe* probe = static_cast<Probe*>(clientData);
  probe->callbacks.fetch_add(1, std::memory_order_relaxed);
  if (input == nullptr) return 0;
  const uint32_t count = std::min(input->count, platform::audio::BufferList::kCapacity);
  for (uint32_t b = 0; b < count; ++b) {
    const platform::audio::Buffer& buffer = input->buffers[b];
    // A buffer without data counts as a missing channel.
    if (buffer.data == nullptr || buffer.byteSize < sizeof(float)) continue;
    const float* samples = static_cast<const float*>(buffer.data);
    const uint32_t n = buffer.byteSize / sizeof(float);
    float peak = 0.0f;
    for (uint32_t s = 0; s < n; ++s) peak = std::max(peak, std::fabs(samples[s]));
    PeakMeter::raiseTo(probe->peak, peak);
  }
  return 0;
}

} // namespace

void Engine::tickAnalysis(int i) {
  InputAnalysis& a = analysis[i];
  StereoRing* ring = hwInputs[i].analysisRing.get();
  if (ring == nullptr) return;
  float* piece = pieceBuffer();
  bool read = false;
  while (ring->fill() > 0) {
    const uint32_t n = ring->read(piece, kPieceFrames);
    if (n == 0) break;
    read = true;
    for (uint32_t f = 0; f < n; ++f) {
      a.window[a.windowFill++] = (piece[2 * f] + piece[2 * f + 1]) * 0.5f;
      if (a.windowFill == kLearnerWindow) learnWindow(a);
    }
    const uint32_t k = std::min(n, kHistory);
    std::copy(a.history.begin() + k, a.history.end(), a.history.begin());
    const float* last = piece + size_t{n - k} * 2;
    for (uint32_t f = 0; f < k; ++f) {
      a.history[kHistory - k + f] = (last[2 * f] + last[2 * f + 1]) * 0.5f;
    }
  }
  if (read) updateDisplay(a);
}

void Engine::startMeasure(int i) {
  InputAnalysis& a = analysis[i];
  if (hwInputs[i].analysisRing) hwInputs[i].analysisRing->drain();
  a.profile.fill(kProfileStartDb);
  a.running.fill(kProfileStartDb);
  a.windowFill = 0;
  a.measuring = true;
  a.hasProfile = false;
  updateMeasureTimer();
}

void Engine::stopMeasure(int i) {
  InputAnalysis& a = analysis[i];
  if (!a.measuring) return;
  a.measuring = false;
  a.hasProfile = true;
  if (hwInputs[i].noiseFilter) hwInputs[i].noiseFilter->setProfile(a.profile.data());
  updateMeasureTimer();
}

void Engine::discardProfile(int i) {
  InputAnalysis& a = analysis[i];
  a.measuring = false;
  a.hasProfile = false;
  if (hwInputs[i].noiseFilter) hwInputs[i].noiseFilter->enabled.exchange(false);
  updateMeasureTimer();
}

void Engine::setProfile(int i, const float* values) {
  InputAnalysis& a = analysis[i];
  // The filter refuses a profile with a value that is not finite; such a profile changes nothing
  // here either, so the profile shown and stored is always the one the filter works from.
  if (!std::all_of(values, values + NoiseFilter::kBins, [](float v) { return std::isfinite(v); })) {
    return;
  }
  std::copy(values, values + NoiseFilter::kBins, a.profile.begin());
  a.hasProfile = true;
  if (hwInputs[i].noiseFilter) hwInputs[i].noiseFilter->setProfile(values);
}

void Engine::updateMeasureTimer() {
  const bool any = std::any_of(analysis.begin(), analysis.end(),
                               [](const InputAnalysis& a) { return a.measuring; });
  if (!any) {
    if (measureTimer) {
      measureTimer->cancel();
      measureTimer.reset();
    }
    return;
  }
  if (measureTimer) return;
  measureTimer = std::make_unique<platform::dispatch::Timer>([this] {
    for (int i = 0; i < static_cast<int>(analysis.size()); ++i) {
      if (analysis[i].measuring) tickAnalysis(i);
    }
  });
  using std::chrono::milliseconds;
  measureTimer->start(milliseconds(50), milliseconds(10), milliseconds(0));
}

float Engine::measureInputDb(const std::string& key, double seconds) {
  constexpr float kNoValue = std::numeric_limits<float>::quiet_NaN();
  const DeviceInfo* device = findDevice(key);
  if (device == nullptr || device->inputs == 0) return kNoValue;
  const AudioObjectID id = device->id;

  Probe probe;
  platform::audio::IoProcId proc = platform::audio::kNoIoProc;
  if (platform::audio::createIoProcId(id, probeCallback, &probe, &proc) != 0 ||
      proc == platform::audio::kNoIoProc) {
    return kNoValue;
  }
  platform::audio::startDevice(id, proc);

  // Elapsed time compared in double seconds: a negative, NaN or huge request never turns into
  // an out-of-range duration.
  const auto start = std::chrono::steady_clock::now();
  const auto elapsed = [&start] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  while (elapsed() < seconds) std::this_thread::sleep_for(std::chrono::milliseconds(10));

  platform::audio::stopDevice(id, proc);
  platform::audio::destroyIoProcId(id, proc);

  if (probe.callbacks.load() == 0) return kNoValue;
  const float peak = probe.peak.load();
  if (peak <= kSilentGain) return kMinDb;
  return 20.0f * std::log10(peak);
}

void Engine::prepareLoopers() {
  for (HwInput& input : hwInputs) {
    if (!input.fxChain) continue;
    for (auto& bank : input.fxChain->banks) {
      if (bank && bank->enabled[FxId::looper].load()) bank->prepareLooper();
    }
  }
}

} // namespace velto
