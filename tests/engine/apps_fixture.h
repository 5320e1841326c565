// Shared pieces of the captured-application suites: a manual-clock audio layer with two
// simulated output devices (the speakers, default output and where processes play, and the
// headphones, where hardware output 1 plays), simulated processes, and readers of what a device
// played. Test thread only; the layer's notification thread makes these suites "...Threads".
#pragma once

#include "effects/input_fx.h"
#include "engine/engine.h"
#include "platform/audio/layer/listeners.h"
#include "platform/audio/layer/manual_clock.h"
#include "platform/audio/layer/properties.h"
#include "platform/audio/layer/running_apps.h"
#include "platform/audio/simulated/sim_devices.h"
#include "platform/audio/simulated/sim_processes.h"
#include "platform/dispatch/main_queue.h"
#include "tests/support/audio_test_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace velto::apps_test {

namespace audio = platform::audio;
namespace dispatch = platform::dispatch;

inline constexpr char kSpeakerUid[] = "sim-speaker";
inline constexpr char kPhonesUid[] = "sim-phones";

// Deterministic white noise in -0.5..0.5, left and right different, so that a stretch of it
// occurs in the whole signal at exactly one place.
inline std::vector<float> noiseSignal(uint32_t frames, uint32_t seed) {
  std::vector<float> out(size_t{frames} * 2);
  uint32_t state = seed;
  for (float& s : out) {
    state = state * 1664525u + 1013904223u;
    s = static_cast<float>(state >> 8) / static_cast<float>(1u << 24) - 0.5f;
  }
  return out;
}

// Runs the main queue until the layer's notices and the work they post are done.
inline void settle() {
  for (int round = 0; round < 8; ++round) {
    audio::flushNotifications();
    if (dispatch::runMainQueueUntilIdle() == 0) break;
  }
}

inline bool setDefaultOutput(const std::string& uid) {
  const audio::ObjectId device = test::deviceForUid(uid);
  const AspPropertyAddress where{audio::kPropDefaultOutputDevice, kAspScopeGlobal, kAspElementMain};
  return device != 0 && audio::setPropertyData(audio::kSystemObject, &where, 0, nullptr,
                                               sizeof device, &device) == kAspNoError;
}

inline audio::SimDeviceConfig outputDevice(const std::string& name, const std::string& uid) {
  audio::SimDeviceConfig config;
  config.name = name;
  config.uid = uid;
  config.outputBuffers = {2};
  config.bufferFrames = 128;
  return config;
}

inline audio::SimProcessConfig process(int32_t pid, const std::string& bundleId, bool runningOutput,
                                       audio::SignalSource source = audio::SignalSource()) {
  audio::SimProcessConfig config;
  config.pid = pid;
  config.bundleId = bundleId;
  config.name = "proc" + std::to_string(pid);
  config.runningOutput = runningOutput;
  config.outputDevices = {kSpeakerUid};
  config.audio = std::move(source);
  return config;
}

// What a device played since the last take, as interleaved stereo (a mono device twice).
inline std::vector<float> takeStereo(const std::string& uid) {
  const audio::CapturedAudio captured = audio::takeSimOutput(uid);
  std::vector<float> out(captured.frames() * 2);
  for (size_t f = 0; f < captured.frames(); ++f) {
    out[2 * f] = captured.at(f, 0);
    out[2 * f + 1] = captured.channels > 1 ? captured.at(f, 1) : captured.at(f, 0);
  }
  return out;
}

inline size_t firstSoundFrame(const std::vector<float>& stereo) {
  size_t f = 0;
  while (f < stereo.size() / 2 && stereo[2 * f] == 0.0f && stereo[2 * f + 1] == 0.0f) ++f;
  return f;
}

inline float peakOf(const std::vector<float>& stereo) {
  float peak = 0.0f;
  for (float s : stereo) peak = std::max(peak, std::fabs(s));
  return peak;
}

// `heard` is silence up to its first sound and from there exactly `source` from its first
// frame on, without a gap or a changed sample.
inline ::testing::AssertionResult playsSourceExactly(const std::vector<float>& heard,
                                                     const std::vector<float>& source,
                                                     size_t minFrames) {
  const size_t start = firstSoundFrame(heard);
  const size_t frames = heard.size() / 2 - start;
  if (frames < minFrames) {
    return ::testing::AssertionFailure() << "only " << frames << " frames of sound";
  }
  if (2 * frames > source.size()) return ::testing::AssertionFailure() << "longer than source";
  for (size_t i = 0; i < 2 * frames; ++i) {
    if (heard[2 * start + i] != source[i]) {
      return ::testing::AssertionFailure()
             << "frame " << i / 2 << " after the first sound differs: " << heard[2 * start + i]
             << " instead of " << source[i];
    }
  }
  return ::testing::AssertionSuccess() << "latency " << start << " frames";
}

// Counts distinct taps a slot has had, by watching its tap id after every step.
class TapWatch {
public:
  void look(const AppSource& source) {
    if (source.tap.tap != 0) seen_.insert(source.tap.tap);
  }
  size_t made() const { return seen_.size(); }

private:
  std::set<AudioObjectID> seen_;
};

class AppsAudioFixture : public ::testing::Test {
protected:
  void SetUp() override {
    dispatch::resetMainQueue();
    audio::resetRunningApplications();
    ASSERT_TRUE(system_.started());
    ASSERT_NE(audio::addSimDevice(outputDevice("Lautsprecher", kSpeakerUid)), 0u);
    ASSERT_NE(audio::addSimDevice(outputDevice("Kopfhörer", kPhonesUid)), 0u);
    ASSERT_TRUE(setDefaultOutput(kSpeakerUid));
  }
  void TearDown() override {
    dispatch::resetMainQueue();
    audio::resetRunningApplications();
  }

  // A live engine whose hardware output 1 plays on the headphones, bus effects off so that a
  // routed signal arrives sample for sample.
  std::unique_ptr<Engine> makeEngine() {
    auto engine = std::make_unique<Engine>(true);
    for (Bus& bus : engine->buses) {
      if (!bus.fx) continue;
      for (auto& on : bus.fx->enabled) on.store(false);
    }
    engine->setHwOutputDevice(0, kPhonesUid);
    settle();
    return engine;
  }

  // Adds a process and lets the engine see the process list change.
  audio::ObjectId addProcess(const audio::SimProcessConfig& config) {
    const audio::ObjectId id = audio::addSimProcess(config);
    settle();
    return id;
  }

  test::AudioTestSystem system_;
};

} // namespace velto::apps_test
