// Fixture for the command interpreter's suites: a fresh audio system under the manual clock with
// the driver installed, a microphone and two speakers, a live engine whose effects are switched
// off (so a routed signal arrives unchanged), and the API on it. Test thread only.
#pragma once

#include "api/api.h"
#include "api/hooks.h"
#include "engine/engine.h"
#include "tests/support/audio_test_system.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace velto::test {

class ApiFixture : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the audio system and the engine; SetUp calls it with the driver installed.
  void start(bool withDriver,
             platform::audio::ClockMode clock = platform::audio::ClockMode::Manual);
  void stop();

  HttpResponse call(const std::string& method, const std::string& path,
                    const std::string& body = "");
  // Asks as the local server does, running the main queue until the answer has come (10 s at
  // most; status 0 without one).
  HttpResponse callLater(const std::string& method, const std::string& path,
                         const std::string& body = "");
  // Runs the posted listener work on the main queue.
  void settle();

  std::unique_ptr<AudioTestSystem> system;
  std::unique_ptr<Engine> engine;
  std::unique_ptr<Api> api;
};

// The error body the interpreter answers with.
std::string errorJson(const std::string& message);

} // namespace velto::test
