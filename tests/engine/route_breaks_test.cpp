// What an output counts as a break: the real-time path called directly, one input block and one
// output block per cycle as a device pair on one graph clock runs them, with cycles of the input
// left out, blocks cut short and backlogs piled up on purpose.
#include "engine/engine.h"

#include "engine_harness.h"
#include "strip_signals.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velto {
namespace {

using test::DeviceBuffers;

class RouteBreaks : public test::EngineFixture {
protected:
  void SetUp() override {
    test::EngineFixture::SetUp();
    engine = std::make_unique<Engine>(false);
    test::makeTransparent(*engine);
    engine->hwInputs[0].strip.routeMask.store(1u << 0);
  }
  void TearDown() override {
    engine.reset();
    test::EngineFixture::TearDown();
  }

  // One input block of `frames` on input 1, never silent.
  void feed(uint32_t frames) {
    DeviceBuffers in({2}, frames);
    for (uint32_t f = 0; f < frames; ++f) {
      in.at(0, f) = 0.001f + float(next_ % 997) / 1000.0f;
      in.at(1, f) = in.at(0, f);
      ++next_;
    }
    engine->processHwInput(0, in.list());
  }
  // One output block on output 1; the frames that held sound. `first`: its first sample.
  uint32_t play(uint32_t frames, float* first = nullptr) {
    DeviceBuffers out({2}, frames);
    engine->processOutput(0, out.list());
    if (first != nullptr) *first = out.at(0, 0);
    uint32_t heard = 0;
    for (uint32_t f = 0; f < frames; ++f) heard += out.at(0, f) != 0.0f;
    return heard;
  }

  std::unique_ptr<Engine> engine;

  uint64_t next_ = 0; // the next input frame's number
};

// A step of a run: `cycles` graph cycles in which the input runs (or not) before the output.
struct Step {
  uint32_t cycles;
  bool input;           // the input's block reaches the ring in these cycles
  uint32_t inputFrames; // its size; the output always reads 128
};

TEST_F(RouteBreaks, OutputCountsEveryBlockItMissedWhileTheSourceRuns) {
  constexpr uint32_t kFrames = 128;
  struct Case {
    std::string what;
    std::vector<Step> steps;
    uint32_t underruns;
  };
  const std::vector<Case> cases = {
      {"steady", {{200, true, kFrames}}, 0},
      {"one cycle of the input lost", {{20, true, kFrames}, {1, false, 0}, {20, true, kFrames}}, 1},
      {"three cycles lost", {{20, true, kFrames}, {3, false, 0}, {20, true, kFrames}}, 3},
      {"two breaks of two",
       {{10, true, kFrames},
        {2, false, 0},
        {10, true, kFrames},
        {2, false, 0},
        {10, true, kFrames}},
       4},
      // 37 blocks of 128 are 4736 frames, still under 100 ms: a break.
      {"37 cycles lost", {{5, true, kFrames}, {37, false, 0}, {5, true, kFrames}}, 37},
      // Silent for longer than 100 ms: the source stopped, and comes back later.
      {"source stopped and started again",
       {{5, true, kFrames}, {400, false, 0}, {5, true, kFrames}},
       0},
      {"source that never ran", {{50, false, 0}}, 0},
      // A short block: the output reads part of one; the next full one is whole again.
      {"one block cut short", {{5, true, kFrames}, {1, true, 100}, {5, true, kFrames}}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    engine = std::make_unique<Engine>(false);
    test::makeTransparent(*engine);
    engine->hwInputs[0].strip.routeMask.store(1u << 0);
    for (const Step& step : c.steps) {
      for (uint32_t n = 0; n < step.cycles; ++n) {
        if (step.input) feed(step.inputFrames);
        play(kFrames);
      }
    }
    EXPECT_EQ(engine->buses[0].underruns.load(), c.underruns);
  }
}

TEST_F(RouteBreaks, DroppedBacklogAndUnroutedSilenceCountAsTheyShould) {
  constexpr uint32_t kFrames = 128;
  Bus& bus = engine->buses[0];
  // A backlog past the slack (ten blocks at once) is dropped: one break.
  for (int n = 0; n < 5; ++n) {
    feed(kFrames);
    play(kFrames);
  }
  feed(10 * kFrames);
  play(kFrames);
  EXPECT_EQ(bus.underruns.load(), 1u);
  for (int n = 0; n < 5; ++n) {
    feed(kFrames);
    play(kFrames);
  }
  EXPECT_EQ(bus.underruns.load(), 1u);
  // Unrouted, its silence counts for nothing; routed again, every block is whole.
  engine->hwInputs[0].strip.routeMask.store(0);
  for (int n = 0; n < 20; ++n) play(kFrames);
  engine->hwInputs[0].strip.routeMask.store(1u << 0);
  for (int n = 0; n < 20; ++n) {
    feed(kFrames);
    EXPECT_EQ(play(kFrames), kFrames) << n;
  }
  EXPECT_EQ(bus.underruns.load(), 1u);
}

// An output that starts while its source already runs plays from the source's newest block: what
// piled up while it was stopped never makes the way longer, and is no break.
TEST_F(RouteBreaks, OutputThatStartsAgainPlaysItsSourcesNewestBlock) {
  constexpr uint32_t kFrames = 128;
  struct Case {
    uint32_t stoppedCycles; // the input's blocks while the output does not run
  };
  for (const Case& c : {Case{1}, Case{5}, Case{40}}) {
    SCOPED_TRACE(std::to_string(c.stoppedCycles) + " cycles stopped");
    engine = std::make_unique<Engine>(false);
    test::makeTransparent(*engine);
    engine->hwInputs[0].strip.routeMask.store(1u << 0);
    next_ = 0;
    for (uint32_t n = 0; n < c.stoppedCycles; ++n) feed(kFrames);
    ++engine->buses[0].link.starts; // the output's callback starts
    for (uint32_t n = 0; n < 10; ++n) {
      feed(kFrames);
      float first = 0.0f;
      EXPECT_EQ(play(kFrames, &first), kFrames);
      // Played in the cycle it came in.
      const uint64_t frame = uint64_t(c.stoppedCycles + n) * kFrames;
      EXPECT_FLOAT_EQ(first, 0.001f + float(frame % 997) / 1000.0f) << n;
    }
    EXPECT_EQ(engine->hwInputs[0].strip.rings[0]->fill(), 0u);
    EXPECT_EQ(engine->buses[0].underruns.load(), 0u);
  }
}

} // namespace
} // namespace velto
