// The time the mixer's node and the driver's nodes give the driver's rings: the mixer's callbacks
// follow one another by the frames they ran, whatever the graph's position did meanwhile, and a
// driver's node lands on the mixer's time for the same graph cycle, before or after it ran.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <spa/node/io.h>

#include "platform/audio/pipewire/driver_nodes.h"

namespace {

namespace audio = platform::audio;

struct Step {
  bool mixer;        // the mixer's callback, else a driver's node
  uint64_t position; // the graph's position
  int64_t frames;    // expected time, in frames after the first callback
};

TEST(PipewireMixerTime, MixerRunsOnTheFramesItRanAndNodesMeetIt) {
  struct Case {
    const char* what;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"steady, nodes before and after",
       {{true, 1000, 0},
        {false, 1128, 128},
        {true, 1128, 128},
        {false, 1128, 128},
        {true, 1256, 256}}},
      // The cycle the mixer missed leaves no gap between what its devices wrote and read.
      {"a missed cycle",
       {{true, 1000, 0}, {true, 1256, 128}, {false, 1384, 256}, {true, 1384, 256}}},
      {"run twice in one cycle",
       {{true, 1000, 0}, {true, 1000, 128}, {false, 1128, 256}, {true, 1128, 256}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    audio::DriverNodes nodes(std::make_shared<audio::PipewireConnection>());
    nodes.hostClock(true);
    spa_io_position position{};
    position.clock.duration = 128;
    uint64_t first = 0;
    for (const Step& step : c.steps) {
      position.clock.position = step.position;
      const uint64_t at = step.mixer ? nodes.mixerTime(position, 128) : nodes.timeOf(position);
      if (first == 0) first = at;
      EXPECT_NEAR((double(at) - double(first)) * 48000.0 / 1e9, double(step.frames), 0.01)
          << (step.mixer ? "mixer" : "node") << " at " << step.position;
    }
  }
}

} // namespace
