// The time the mixer's node and the driver's nodes give the driver's rings: the mixer's callbacks
// follow one another by the frames they ran, whatever the graph's position did meanwhile, and a
// driver's node lands on the mixer's time for the same graph cycle, before or after it ran; and
// the cycles the mixer's node was not called for are told from a new quantum.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <vector>

#include <spa/node/io.h>

#include "platform/audio/pipewire/driver_nodes.h"
#include "platform/audio/pipewire/mixer_node.h"

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

// A driver moves its position on by the cycle it starts: {driver, position, duration, missed}.
TEST(PipewireMixerTime, CyclesGoneByWithoutACallbackAreTheGapInThePosition) {
  struct Case {
    const char* what;
    std::vector<std::array<uint64_t, 4>> callbacks;
  };
  const std::vector<Case> cases = {
      {"steady", {{1, 1000, 128, 0}, {1, 1128, 128, 0}, {1, 1256, 128, 0}}},
      {"one missed, then three", {{1, 1000, 128, 0}, {1, 1256, 128, 128}, {1, 1768, 128, 384}}},
      {"run twice in one cycle", {{1, 1000, 128, 0}, {1, 1000, 128, 0}, {1, 1128, 128, 0}}},
      {"quantum 128 -> 512 -> 128", {{1, 1000, 128, 0}, {1, 1512, 512, 0}, {1, 1640, 128, 0}}},
      {"one of 512 missed", {{1, 1000, 512, 0}, {1, 2024, 512, 512}}},
      {"another driver, a step back", {{1, 1000, 128, 0}, {2, 900, 128, 0}, {2, 100, 128, 0}}},
      {"more than a second", {{1, 1000, 128, 0}, {1, 1128 + 48001, 128, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    audio::MissedFrames missed;
    spa_io_position position{};
    for (const auto& [clock, at, duration, frames] : c.callbacks) {
      position.clock.id = uint32_t(clock);
      position.clock.position = at;
      position.clock.duration = duration;
      EXPECT_EQ(missed.next(position), frames) << "at " << at;
    }
  }
}

} // namespace
