// Input analysis and level measuring on simulated hardware devices: a microphone bound to a
// hardware input feeds the analysis through the real audio path (manual clock), and the level
// probe measures simulated inputs of every layout on real-time threads.
#include "effects/noise_filter.h"
#include "engine/engine.h"
#include "platform/audio/layer/manual_clock.h"
#include "platform/audio/simulated/sim_devices.h"
#include "platform/dispatch/dispatch.h"
#include "tests/support/audio_test_system.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace velto::test {
namespace {

namespace audio = platform::audio;
using Clock = std::chrono::steady_clock;

audio::SimDeviceConfig microphone(const std::string& name, const std::string& uid,
                                  std::vector<uint32_t> layout, audio::SignalSource source) {
  audio::SimDeviceConfig config;
  config.name = name;
  config.uid = uid;
  config.inputBuffers = std::move(layout);
  config.input = std::move(source);
  return config;
}

double nominalRate(audio::ObjectId device) {
  const AspPropertyAddress address{audio::kPropNominalSampleRate, kAspScopeGlobal, kAspElementMain};
  double rate = 0.0;
  uint32_t size = sizeof rate;
  return audio::getPropertyData(device, &address, 0, nullptr, &size, &rate) == 0 ? rate : 0.0;
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class AnalysisDeviceTest : public ::testing::Test {
protected:
  void start(audio::ClockMode clock) {
    platform::dispatch::resetMainQueue();
    system_ = std::make_unique<AudioTestSystem>(AudioTestOptions{clock, true});
    ASSERT_TRUE(system_->started());
    engine = std::make_unique<Engine>(true);
  }
  void TearDown() override {
    engine.reset();
    platform::dispatch::resetMainQueue();
    system_.reset();
  }
  // Plugs a device in and lets the engine see it.
  void plug(const audio::SimDeviceConfig& config) {
    ASSERT_NE(audio::addSimDevice(config), 0u);
    engine->refreshDevices();
    ASSERT_NE(engine->findDevice(config.uid), nullptr);
  }

  std::unique_ptr<Engine> engine;

private:
  std::unique_ptr<AudioTestSystem> system_;
};

// ---- the analysis fed by a bound microphone, sample-exact under the manual clock ----

class AnalysisManualClockThreads : public AnalysisDeviceTest {
protected:
  void SetUp() override { start(audio::ClockMode::Manual); }
};

TEST_F(AnalysisManualClockThreads, MonoMicrophoneOnInput1ReachesTheDisplay) {
  // 937.5 Hz lies on display band 80 and on profile band 10.
  plug(microphone("USB Mikrofon", "usb-mic", {1}, audio::SignalSource::sine(937.5, 0.5f)));
  engine->setHwInputDevice(0, "usb-mic");
  ASSERT_NE(engine->hwInputs[0].link.device, 0u);
  ASSERT_TRUE(audio::runCycles(40)); // 40 x 128 frames
  const uint32_t held = engine->hwInputs[0].analysisRing->fill();
  EXPECT_EQ(held, 40u * 128u);
  engine->tickAnalysis(0);
  const InputAnalysis& a = engine->analysis[0];
  EXPECT_NEAR(a.spectrum[80], 20.0 * std::log10(0.5), 0.05) << "both channels carry the mono";
  EXPECT_NEAR(a.spectrum[79], 20.0 * std::log10(0.25), 0.05);
  EXPECT_LT(a.spectrum[60], -100.0f);
  // The other inputs saw nothing.
  EXPECT_EQ(engine->hwInputs[1].analysisRing->fill(), 0u);
}

TEST_F(AnalysisManualClockThreads, ProfileLearnedFromTheMicrophoneIsInstalled) {
  plug(microphone("USB Mikrofon", "usb-mic", {2}, audio::SignalSource::sine(937.5, 0.01f)));
  engine->setHwInputDevice(1, "usb-mic");
  ASSERT_TRUE(audio::runCycles(10));
  engine->startMeasure(1);
  EXPECT_EQ(engine->hwInputs[1].analysisRing->fill(), 0u) << "the old sound is forgotten";
  ASSERT_TRUE(audio::runCycles(48));           // 6144 frames
  platform::dispatch::runMainQueueUntilIdle(); // the timer's first fire
  EXPECT_EQ(engine->hwInputs[1].analysisRing->fill(), 0u);
  engine->stopMeasure(1);
  const InputAnalysis& a = engine->analysis[1];
  ASSERT_TRUE(a.hasProfile);
  // 45 windows of a -40 dB tone: the smoothed band is within a hair of -40 - 3.9 dB.
  EXPECT_NEAR(a.profile[10], -40.0 + 20.0 * std::log10(2.0 / M_PI), 0.1);
  const NoiseFilter& filter = *engine->hwInputs[1].noiseFilter;
  EXPECT_EQ(filter.profiles[filter.activeProfile.load()][10].load(), a.profile[10]);
  EXPECT_EQ(engine->measureTimer, nullptr);
}

// ---- the level probe on real-time threads ----

class AnalysisProbeThreads : public AnalysisDeviceTest {
protected:
  void SetUp() override { start(audio::ClockMode::RealTime); }
};

struct LayoutCase {
  const char* label;
  std::vector<uint32_t> layout;
  uint32_t loudChannel; // the one channel that carries the tone; the others stay silent
  float amplitude;
};

class AnalysisProbeLayoutThreads : public AnalysisProbeThreads,
                                   public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(AnalysisProbeLayoutThreads, PeakOfEveryChannelAlike) {
  const LayoutCase& c = GetParam();
  uint32_t channels = 0;
  for (uint32_t n : c.layout) channels += n;
  // One second of a 1 kHz tone on one channel, looped.
  std::vector<float> frames(48000u * channels, 0.0f);
  for (uint32_t f = 0; f < 48000; ++f) {
    frames[f * channels + c.loudChannel] =
        c.amplitude * static_cast<float>(std::sin(2.0 * M_PI * 1000.0 * f / 48000.0));
  }
  plug(microphone("Interface", "interface", c.layout,
                  audio::SignalSource::samples(frames, channels, true)));
  const float db = engine->measureInputDb("interface", 0.3);
  EXPECT_NEAR(db, 20.0 * std::log10(c.amplitude), 0.1) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, AnalysisProbeLayoutThreads,
    ::testing::Values(LayoutCase{"mono", {1}, 0, 0.7f}, LayoutCase{"stereo right", {2}, 1, 0.3f},
                      LayoutCase{"four channels, third", {4}, 2, 0.9f},
                      LayoutCase{"one buffer per channel, second", {1, 1}, 1, 0.05f}));

TEST_F(AnalysisProbeThreads, LinkOnTheSameDeviceKeepsRunningAndTheDeviceKeepsItsSettings) {
  audio::SimDeviceConfig config =
      microphone("Studio Mic", "studio-mic", {2}, audio::SignalSource::sine(440.0, 0.5f));
  config.nominalRate = 44100.0;
  config.bufferFrames = 256;
  plug(config);
  const AudioObjectID device = engine->findDevice("studio-mic")->id;

  // Unbound: the probe changes neither rate nor buffer size, and blocks for the whole time.
  const auto start = Clock::now();
  EXPECT_NEAR(engine->measureInputDb("STUDIO MIC", 0.5), 20.0 * std::log10(0.5), 0.1);
  const double took = secondsSince(start);
  EXPECT_GE(took, 0.5);
  EXPECT_LT(took, 1.5);
  EXPECT_EQ(nominalRate(device), 44100.0);
  EXPECT_EQ(wordProperty(device, audio::kPropBufferFrameSize), 256u);

  // Bound to input 1 (now at 48000 Hz and the engine's buffer size): the input keeps running.
  engine->setHwInputDevice(0, "studio-mic");
  const audio::IoProcId link = engine->hwInputs[0].link.ioProc;
  ASSERT_NE(link, audio::kNoIoProc);
  engine->hwInputs[0].strip.meter.takeLeft();
  EXPECT_NEAR(engine->measureInputDb("studio-mic", 0.3), 20.0 * std::log10(0.5), 0.1);
  EXPECT_EQ(engine->hwInputs[0].link.ioProc, link);
  EXPECT_EQ(nominalRate(device), 48000.0);
  EXPECT_EQ(wordProperty(device, audio::kPropBufferFrameSize), engine->settings.bufferFrames);
  // The input's strip ran while the probe measured.
  EXPECT_GT(engine->hwInputs[0].strip.meter.takeLeft(), 0.0f);
}

TEST_F(AnalysisProbeThreads, DeviceThatRefusesTheCallbackGivesNaNAtOnce) {
  audio::SimDeviceConfig config =
      microphone("Kaputt", "broken-mic", {2}, audio::SignalSource::sine(440.0, 0.5f));
  config.faults.refuseIoProcs = true;
  plug(config);
  const auto start = Clock::now();
  EXPECT_TRUE(std::isnan(engine->measureInputDb("broken-mic", 0.5)));
  EXPECT_LT(secondsSince(start), 0.1);
}

TEST_F(AnalysisProbeThreads, SilentMicrophoneReadsMinus60) {
  plug(microphone("Stilles Mikro", "quiet-mic", {1}, audio::SignalSource::silence()));
  EXPECT_EQ(engine->measureInputDb("quiet-mic", 0.2), -60.0f);
  // Just below the threshold of 0.001 is silence too.
  plug(microphone("Leises Mikro", "faint-mic", {2}, audio::SignalSource::sine(1000.0, 0.0009f)));
  EXPECT_EQ(engine->measureInputDb("faint-mic", 0.2), -60.0f);
}

} // namespace
} // namespace velto::test
