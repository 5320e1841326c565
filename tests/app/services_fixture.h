// Fixture for the shell's services: a fresh HOME, XDG_CONFIG_HOME and system root, the audio
// layer under the manual clock without the driver, a live engine with the API on it, the
// program's resources holding a copy of the built driver bundle, and a PATH that holds only the
// recording stand-ins a test writes. A stand-in records its $0 and arguments, NUL-separated.
// Test thread only.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "api/api.h"
#include "engine/engine.h"
#include "tests/support/audio_test_system.h"

namespace velto::test {

class ServicesTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // Writes an executable stand-in at `path` that records itself to "<path>.args", then runs
  // `body` (shell text of the test's own).
  void writeStandIn(const std::string& path, const std::string& body);
  // The same on the test PATH under `name`.
  void standIn(const std::string& name, const std::string& body) {
    writeStandIn(bin + "/" + name, body);
  }
  // Removes every stand-in from the test PATH.
  void clearBin();
  // What the stand-in at `path` recorded ($0 first); empty when it did not run within `waitMs`.
  std::vector<std::string> recorded(const std::string& path, int waitMs = 0) const;
  std::vector<std::string> recordedTool(const std::string& name, int waitMs = 0) const {
    return recorded(bin + "/" + name, waitMs);
  }
  HttpResponse call(const std::string& method, const std::string& path,
                    const std::string& body = "");
  // Delivers the audio layer's notices and runs the main queue.
  void settle();
  // Whether the engine sees the driver's clock device.
  bool engineSeesDriver() const;
  std::string installedDriver() const;

  std::string base;      // everything of the test lives below
  std::string bin;       // the only folder on PATH
  std::string resources; // the program's resources, with Velto.driver
  std::string program;   // a recording stand-in for this program
  std::unique_ptr<AudioTestSystem> system;
  std::unique_ptr<Engine> engine;
  std::unique_ptr<Api> api;

private:
  std::vector<std::pair<std::string, std::string>> savedEnv_;
};

// The version line of a driver bundle's Info.plist.
void setBundleVersion(const std::string& bundle, const std::string& version);

} // namespace velto::test
