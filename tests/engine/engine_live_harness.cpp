#include "engine_live_harness.h"

#include "platform/audio/layer/listeners.h"
#include "platform/dispatch/main_queue.h"

#include <cmath>

namespace velto::test {

namespace audio = platform::audio;

float numberedSample(uint64_t n, uint32_t c) {
  // The fractional part of a golden-ratio walk: evenly spread, never repeating, never 0.
  const double x = std::fmod(static_cast<double>(n) * 0.6180339887498949 + 0.37 * c, 1.0);
  return static_cast<float>(0.05 + 0.4 * x) * (n % 2 == 0 ? 1.0f : -1.0f);
}

std::vector<float> numberedFrames(uint32_t frames, uint32_t channels) {
  std::vector<float> out(size_t{frames} * channels);
  for (uint32_t n = 0; n < frames; ++n) {
    for (uint32_t c = 0; c < channels; ++c) out[size_t{n} * channels + c] = numberedSample(n, c);
  }
  return out;
}

audio::SignalSource numberedSource(uint32_t frames, uint32_t channels) {
  return audio::SignalSource::samples(numberedFrames(frames, channels), channels, false);
}

audio::SimDeviceConfig simInput(const std::string& name, const std::string& uid,
                                std::vector<uint32_t> layout) {
  audio::SimDeviceConfig config;
  config.name = name;
  config.uid = uid;
  config.inputBuffers = std::move(layout);
  return config;
}

audio::SimDeviceConfig simOutput(const std::string& name, const std::string& uid,
                                 std::vector<uint32_t> layout) {
  audio::SimDeviceConfig config;
  config.name = name;
  config.uid = uid;
  config.outputBuffers = std::move(layout);
  return config;
}

int64_t firstSound(const std::vector<float>& samples) {
  for (size_t i = 0; i < samples.size(); ++i) {
    if (samples[i] != 0.0f) return static_cast<int64_t>(i);
  }
  return -1;
}

std::vector<float> channelOf(const std::vector<float>& interleaved, uint32_t channels, uint32_t c) {
  std::vector<float> out(interleaved.size() / channels);
  for (size_t n = 0; n < out.size(); ++n) out[n] = interleaved[n * channels + c];
  return out;
}

::testing::AssertionResult holdsCopy(const std::vector<float>& played,
                                     const std::vector<float>& expected, int64_t delay,
                                     size_t count) {
  if (delay < 0) return ::testing::AssertionFailure() << "nothing arrived";
  if (played.size() < static_cast<size_t>(delay) + count) {
    return ::testing::AssertionFailure() << "only " << played.size() << " frames played";
  }
  for (size_t n = 0; n < count; ++n) {
    if (played[delay + n] != expected[n]) {
      return ::testing::AssertionFailure()
             << "frame " << n << ": " << played[delay + n] << " instead of " << expected[n];
    }
  }
  return ::testing::AssertionSuccess();
}

InputRecorder::InputRecorder(audio::ObjectId device) : device_(device) {
  left_.reserve(1 << 20);
  right_.reserve(1 << 20);
  audio::IoProcId id = audio::kNoIoProc;
  if (audio::createIoProcId(device, record, this, &id) != 0) return;
  proc_ = id;
  audio::startDevice(device, proc_);
}

InputRecorder::~InputRecorder() {
  if (proc_ == audio::kNoIoProc) return;
  audio::stopDevice(device_, proc_);
  audio::destroyIoProcId(device_, proc_);
}

std::vector<float> InputRecorder::channel(uint32_t c) const {
  return c == 0 ? left_ : right_;
}

AspStatus InputRecorder::record(audio::ObjectId, const audio::TimeStamp*,
                                const audio::BufferList* input, const audio::TimeStamp*,
                                audio::BufferList*, const audio::TimeStamp*, void* clientData) {
  auto* self = static_cast<InputRecorder*>(clientData);
  if (input == nullptr || input->count == 0) return 0;
  const audio::Buffer& b = input->buffers[0];
  if (b.channels < 2 || b.data == nullptr) return 0;
  const uint32_t frames = b.byteSize / (b.channels * 4);
  const float* data = static_cast<const float*>(b.data);
  for (uint32_t f = 0; f < frames; ++f) {
    self->left_.push_back(data[size_t{f} * b.channels]);
    self->right_.push_back(data[size_t{f} * b.channels + 1]);
  }
  return 0;
}

void LiveEngineFixture::SetUp() {
  platform::dispatch::resetMainQueue();
}

void LiveEngineFixture::TearDown() {
  engine.reset();
  platform::dispatch::resetMainQueue();
  system.reset();
}

void LiveEngineFixture::startSystem(bool withDriver) {
  AudioTestOptions options;
  options.withDriver = withDriver;
  system = std::make_unique<AudioTestSystem>(options);
  ASSERT_TRUE(system->started());
}

void LiveEngineFixture::startEngine() {
  engine = std::make_unique<Engine>(true);
  makeTransparent(*engine);
}

void LiveEngineFixture::settle() {
  for (int round = 0; round < 3; ++round) {
    audio::flushNotifications();
    platform::dispatch::runMainQueueUntilIdle();
  }
}

} // namespace velto::test
