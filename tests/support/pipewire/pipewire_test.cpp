#include "tests/support/pipewire/pipewire_test.h"

#include "platform/audio/pipewire/pipewire_devices.h"

#include <thread>

namespace velto::test {

namespace audio = platform::audio;

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds poll) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(poll);
  }
  return true;
}

NullNode testMicrophone() {
  NullNode mic{"test.mic", "Test Mic", false, 2};
  mic.mediaClass = "Audio/Duplex";
  return mic;
}

NullNode testSpeakers() {
  return {"test.speakers", "Test Speakers", false, 2};
}

void PipewireTest::SetUp() {
  if (!pipewireInstalled()) GTEST_SKIP() << "PipeWire is not installed";
  daemon_ = std::make_unique<PipewireDaemon>();
  ASSERT_TRUE(daemon_->running()) << "the private server did not answer";
  for (const NullNode& node : setup_.nodes) {
    ASSERT_TRUE(daemon_->addNode(node)) << node.name;
  }
  system_ = std::make_unique<AudioTestSystem>(
      AudioTestOptions{audio::ClockMode::RealTime, setup_.withDriver});
  ASSERT_TRUE(system_->started());
  if (setup_.startDevices) {
    ASSERT_TRUE(startDevices());
  }
}

void PipewireTest::TearDown() {
  audio::stopPipewireDevices();
  system_.reset();
  daemon_.reset();
}

bool PipewireTest::startDevices() {
  audio::PipewireOptions options;
  options.remote = daemon_->socket();
  options.answerMillis = 3000;
  return audio::startPipewireDevices(options);
}

} // namespace velto::test
