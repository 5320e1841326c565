// The fixture of the suites that run the live engine on a private PipeWire server: the server's
// fixture with the driver, the main queue emptied around every test and the engine ended before
// the devices stop.
#pragma once

#include "engine/engine.h"
#include "tests/support/pipewire/pipewire_test.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace velto::test {

// Runs the main queue until its condition holds (true) or its time is up (false).
using Serve = std::function<bool(const std::function<bool()>&)>;

class PipewireEngineTest : public PipewireTest {
protected:
  explicit PipewireEngineTest(std::vector<NullNode> nodes)
      : PipewireTest({std::move(nodes), /*withDriver=*/true}) {}

  void SetUp() override;
  void TearDown() override;

  // The engine with nothing but the gains between input 1 on the test microphone and output 1 on
  // the test speakers: transparent, every noise filter off. Nothing is routed yet.
  void startEngineOnTestNodes();

  // A stereo WAV file of the test tone of `hz`, `millis` long, in the test's home folder; empty
  // when it could not be written.
  std::string writeTone(double hz, int millis);

  // Plays `file` into `target` (empty: the default sink) until `meter` rises above `arrival`,
  // then records `millis` of the test speakers; empty when the tone never arrived. The tone's
  // tail has drained when it returns.
  std::vector<float> playAndRecord(const std::string& target, const std::string& file,
                                   PeakMeter& meter, float arrival, int millis, const Serve& serve);

  // Both channels of `recorded` hold at least 50 ms of steady tone of `hz` at `expectedDb`
  // (within 0.1 dB); prints the figures under `what`.
  static void expectToneLevel(const std::vector<float>& recorded, double hz, double expectedDb,
                              const std::string& what);

  std::unique_ptr<Engine> engine_;
};

} // namespace velto::test
