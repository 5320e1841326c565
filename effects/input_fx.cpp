// The effect bank's life and its control-side readers and writers: construction, parameter
// writes, reduction readings, notches, latency and the looper's buffers.
#include "effects/input_fx.h"

#include "platform/dispatch/background_queue.h"
#include "platform/dispatch/main_queue.h"

#include <algorithm>
#include <cmath>

namespace velto {

namespace {

constexpr uint32_t kAecWorkFloats = 16384;
constexpr uint32_t kPitchDryFrames = 2400;
constexpr uint32_t kChorusRing = 4096;
constexpr uint32_t kEchoLine = 96064;
constexpr uint32_t kReverbPre = 9664;
constexpr uint32_t kReverbLine = 4800;
constexpr int kFeedbackFftLog2 = 11; // 2048 points

bool isOn(const std::atomic<float>& param) {
  return param.load(std::memory_order_relaxed) >= 0.5f;
}

} // namespace

InputFx::InputFx() {
  lowCutFilter = std::make_unique<platform::dsp::BiquadCascade>(2, 2);
  eqFilter = std::make_unique<platform::dsp::BiquadCascade>(4, 2);
  deEsserFilter = std::make_unique<platform::dsp::BiquadCascade>(2, 2);
  notchFilter = std::make_unique<platform::dsp::BiquadCascade>(kNotches, 2);
  fft = std::make_unique<platform::dsp::FftSetup>(kFeedbackFftLog2);
  platform::dsp::hannWindow(hannWindow, 2048, platform::dsp::HannKind::normalised);

  aecLeft = std::make_unique<EchoCanceller>();
  aecRight = std::make_unique<EchoCanceller>();
  aecWork.assign(kAecWorkFloats, 0.0f);
  pitchDry.assign(size_t{kPitchDryFrames} * 2, 0.0f);
  for (auto& ring : chorusRing) ring.assign(kChorusRing, 0.0f);
  for (auto& line : echoLine) line.assign(kEchoLine, 0.0f);
  reverbPre.assign(kReverbPre, 0.0f);
  for (auto& line : reverbLines) line.assign(kReverbLine, 0.0f);
  // The limiter starts in its reset state (unity gain): a bus whose limiter is on from its first
  // block must not fade in from silence.
  std::fill(std::begin(limiterTargets), std::end(limiterTargets), 1.0f);
  std::fill(std::begin(limiterSmooth), std::end(limiterSmooth), 1.0f);

  for (int k = 0; k < kNotches; ++k) {
    notchHz[k].store(0.0f);
    notchDepthDb[k].store(0.0f);
  }
  restoreDefaults();
}

InputFx::~InputFx() = default;

void InputFx::restoreDefaults() {
  for (int id = 0; id < kFxCount; ++id) {
    const FxInfo& row = kFx[id];
    enabled[id].store(row.defaultOn);
    for (int i = 0; i < kFxMaxParams; ++i) {
      params[id][i].store(i < row.paramCount ? row.params[i].defaultValue : 0.0f);
    }
    reduction[id].store(1.0f);
  }
}

void InputFx::reset() {
  restoreDefaults();
}

bool InputFx::set(FxId id, int i, float v) {
  if (id < 0 || id >= kFxCount || i < 0 || i >= kFx[id].paramCount) return false;
  // A value that is not a number would glide into the filters and never leave them.
  if (!std::isfinite(v)) return false;
  const FxParam& p = kFx[id].params[i];
  v = std::clamp(v, p.min, p.max);
  if (p.kind == FxParam::Kind::toggle) {
    v = v >= 0.5f ? 1.0f : 0.0f;
  } else if (p.step > 0.0f &&
             (p.kind == FxParam::Kind::choice || p.kind == FxParam::Kind::linear)) {
    const float n = std::round((v - p.min) / p.step); // halves away from zero
    v = p.min + n * p.step;
  }
  params[id][i].exchange(v);
  return true;
}

float InputFx::takeReductionDb(FxId id) {
  const float old = reduction[id].exchange(1.0f);
  return 20.0f * std::log10(std::max(old, 0.000001f));
}

void InputFx::noteReduction(FxId id, float gain) {
  float current = reduction[id].load(std::memory_order_relaxed);
  while (gain < current && !reduction[id].compare_exchange_weak(current, gain)) {
  }
}

std::array<std::pair<float, float>, InputFx::kNotches> InputFx::notches() const {
  std::array<std::pair<float, float>, kNotches> out;
  for (int k = 0; k < kNotches; ++k) out[k] = {notchHz[k].load(), notchDepthDb[k].load()};
  return out;
}

bool InputFx::anyEffect() const {
  for (int id = 0; id < kFxCount; ++id) {
    if (!kFx[id].tool && enabled[id].load()) return true;
  }
  return false;
}

uint32_t InputFx::latencyFrames() const {
  uint32_t frames = 0;
  if (enabled[FxId::aec].load()) frames += 256;
  if (enabled[FxId::limiter].load() && isOn(params[FxId::limiter][2])) frames += 48;
  if (enabled[FxId::pitch].load()) frames += isOn(params[FxId::pitch][0]) ? 2112 : 1200;
  return frames;
}

struct InputFx::LooperMemory {
  std::unique_ptr<float[]> base;  // stereo frames
  std::unique_ptr<float[]> layer; // stereo frames
  std::unique_ptr<uint16_t[]> tags;
};

// Zero-filled by writing every element, so all pages are in memory before the audio thread
// can reach them: it never takes a page fault on a first recording.
std::shared_ptr<InputFx::LooperMemory> InputFx::makeLooperMemory() {
  auto memory = std::make_shared<LooperMemory>();
  const size_t samples = size_t{kLoopFrames} * 2;
  memory->base.reset(new float[samples]);
  memory->layer.reset(new float[samples]);
  memory->tags.reset(new uint16_t[kLoopFrames]);
  std::fill_n(memory->base.get(), samples, 0.0f);
  std::fill_n(memory->layer.get(), samples, 0.0f);
  std::fill_n(memory->tags.get(), kLoopFrames, uint16_t{0});
  return memory;
}

void InputFx::adoptLooper(LooperMemory& memory) {
  looperTags.store(memory.tags.get(), std::memory_order_release);
  looperLayerBuffer.store(memory.layer.get(), std::memory_order_release);
  looperBaseOwned = std::move(memory.base);
  looperLayerOwned = std::move(memory.layer);
  looperTagsOwned = std::move(memory.tags);
  // Last: the audio thread treats a non-null base loop as "all three buffers exist".
  looperBase.store(looperBaseOwned.get(), std::memory_order_release);
}

void InputFx::ensureLooper() {
  if (looperBase.load(std::memory_order_acquire) != nullptr) return;
  adoptLooper(*makeLooperMemory());
}

void InputFx::prepareLooper() {
  if (looperComing_ || looperBase.load(std::memory_order_acquire) != nullptr) return;
  looperComing_ = true;
  InputFx* self = this;
  std::weak_ptr<const bool> alive = lifetime_;
  // The worker touches only the memory it makes; the bank is reached on the main thread, and
  // only while it lives (else the memory goes with the step).
  platform::dispatch::backgroundAsync([self, alive] {
    std::shared_ptr<LooperMemory> memory = makeLooperMemory();
    platform::dispatch::mainAsync([self, alive, memory] {
      if (alive.expired()) return;
      self->looperComing_ = false;
      // A synchronous ensureLooper in between already published buffers the audio thread
      // may be using: those stay.
      if (self->looperBase.load(std::memory_order_acquire) == nullptr) self->adoptLooper(*memory);
    });
  });
}

} // namespace velto
