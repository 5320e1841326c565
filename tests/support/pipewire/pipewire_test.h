// Test helper: the fixture of the suites that run the audio layer on a private PipeWire server.
// SetUp starts the server with the suite's null nodes, the layer (with or without the driver)
// and, unless the suite starts them itself, the machine's devices on that server; TearDown ends
// them in reverse order. Also the tone those suites play and record back, and a deadline wait.
// Main thread.
#pragma once

#include "tests/support/audio_test_system.h"
#include "tests/support/pipewire_daemon.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace velto::test {

constexpr int kToneRate = 48000;
constexpr double kToneAmplitude = 0.25;
// The tone's RMS level: -15.05 dBFS.
inline const double kToneDb = 20.0 * std::log10(kToneAmplitude / std::sqrt(2.0));

// Checks `done` every `poll` until it holds (true) or `timeout` has passed (false).
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(3),
               std::chrono::milliseconds poll = std::chrono::milliseconds(1));

// A null duplex node as the microphone: what is played into it comes out of its capture side.
NullNode testMicrophone();
// A null stereo sink as the speakers.
NullNode testSpeakers();

struct PipewireSetup {
  std::vector<NullNode> nodes; // added before the layer starts
  bool withDriver = false;
  bool startDevices = true; // false: the test starts them with startDevices()
};

class PipewireTest : public ::testing::Test {
protected:
  explicit PipewireTest(PipewireSetup setup) : setup_(std::move(setup)) {}

  void SetUp() override;
  void TearDown() override;

  // Starts the machine's devices on the private server; false when they did not start.
  bool startDevices();

  std::unique_ptr<PipewireDaemon> daemon_;
  std::unique_ptr<AudioTestSystem> system_;

private:
  PipewireSetup setup_;
};

} // namespace velto::test
