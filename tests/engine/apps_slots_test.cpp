// Application slots without a running audio layer: positions, duplicates, the sixteen-slot
// limit, what a newly filled slot's strip looks like, and what removal keeps and drops.
#include "engine/engine.h"
#include "core/levels.h"
#include "tests/support/dispatch_fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace velto {
namespace {

using test::DispatchTest;

struct BelongsCase {
  const char* process;
  const char* app;
  bool belongs;
};

TEST(AppsMatching, ProcessBelongsToAppOnlyByExactIdOrDotExtension) {
  const BelongsCase cases[] = {
      {"com.example.player", "com.example.player", true},
      {"com.example.player.helper", "com.example.player", true},
      {"com.example.player.helper.gpu", "com.example.player", true},
      {"com.example.player.", "com.example.player", true},
      {"com.example.playerhelper", "com.example.player", false},
      {"com.example.player-helper", "com.example.player", false},
      {"com.example", "com.example.player", false},
      {"com.other.player", "com.example.player", false},
      {"COM.EXAMPLE.PLAYER", "com.example.player", false},
      {"", "com.example.player", false},
      {"com.example.player", "", false},
      {"", "", false},
  };
  for (const BelongsCase& c : cases) {
    EXPECT_EQ(belongsToApp(c.process, c.app), c.belongs) << c.process << " / " << c.app;
  }
}

class AppsSlots : public DispatchTest {};

TEST_F(AppsSlots, AddingTheSameApplicationAgainReturnsItsPositionAndChangesNothing) {
  Engine engine(false);
  EXPECT_EQ(engine.addApp("com.example.a"), 0);
  EXPECT_EQ(engine.addApp("com.example.b"), 1);
  engine.app(1).strip.gain.store(0.5f);
  engine.app(1).strip.routeMask.store(1);

  EXPECT_EQ(engine.addApp("com.example.b"), 1);
  EXPECT_EQ(engine.appCount(), 2);
  EXPECT_FLOAT_EQ(engine.app(1).strip.gain.load(), 0.5f);
  EXPECT_EQ(engine.app(1).strip.routeMask.load(), 1u);
  // Only the exact id is the same application; a helper's id is a new one.
  EXPECT_EQ(engine.addApp("com.example.b.helper"), 2);
}

TEST_F(AppsSlots, SixteenSlotsThenTheSeventeenthIsRefused) {
  Engine engine(false);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(engine.addApp("com.example.app" + std::to_string(i)), i);
  }
  EXPECT_EQ(engine.appCount(), 16);
  EXPECT_EQ(engine.addApp("com.example.app16"), -1);
  EXPECT_EQ(engine.addApp(""), -1);
  EXPECT_EQ(engine.appCount(), 16);
  // An application already captured is still found when all slots are full.
  EXPECT_EQ(engine.addApp("com.example.app7"), 7);
}

TEST_F(AppsSlots, NewSlotStripIsResetAndRoutedToDefaultVirtualInput) {
  Engine engine(false);
  // Leftovers of an earlier tenant of slot 0.
  Strip& strip = engine.apps[0].strip;
  strip.gain.store(0.25f);
  strip.mute.store(true);
  strip.routeMask.store(0b0111);
  engine.apps[0].passthrough = true;
  engine.apps[0].processes = {41, 42};

  ASSERT_EQ(engine.addApp("com.example.unknown"), 0);
  const AppSource& a = engine.app(0);
  EXPECT_TRUE(a.used);
  EXPECT_EQ(a.bundleId, "com.example.unknown");
  EXPECT_FALSE(a.passthrough);
  EXPECT_TRUE(a.processes.empty());
  EXPECT_FLOAT_EQ(a.strip.gain.load(), 1.0f);
  EXPECT_FALSE(a.strip.mute.load());
  EXPECT_EQ(a.strip.routeMask.load(), 8u);
  EXPECT_EQ(a.strip.effectiveRoute(), 8u);
  // No running application or known location: the bundle id names the strip.
  EXPECT_EQ(a.strip.name, "com.example.unknown");
  EXPECT_EQ(engine.appsOf(3), std::vector<std::string>{"com.example.unknown"});
  EXPECT_TRUE(engine.appsOf(0).empty());
}

TEST_F(AppsSlots, RemovingPositionZeroMovesTheOthersUpAndFreesTheLowestSlot) {
  Engine engine(false);
  engine.addApp("com.example.a");
  engine.addApp("com.example.b");
  engine.addApp("com.example.c");

  engine.removeApp(0);
  EXPECT_EQ(engine.appCount(), 2);
  EXPECT_EQ(engine.app(0).bundleId, "com.example.b");
  EXPECT_EQ(engine.app(1).bundleId, "com.example.c");
  EXPECT_EQ(engine.slotOf(0), 1);
  EXPECT_EQ(engine.slotOf(1), 2);
  EXPECT_EQ(engine.slotOf(2), -1);
  EXPECT_FALSE(engine.apps[0].used);
  EXPECT_TRUE(engine.apps[0].bundleId.empty());

  // The freed slot 0 is taken first, and position equals its slot.
  EXPECT_EQ(engine.addApp("com.example.d"), 0);
  EXPECT_EQ(engine.app(0).bundleId, "com.example.d");
  EXPECT_EQ(engine.app(1).bundleId, "com.example.b");
}

TEST_F(AppsSlots, PositionsWithoutASlotAreIgnored) {
  Engine engine(false);
  engine.addApp("com.example.a");
  for (int n : {-1, 1, 5, 16}) {
    EXPECT_EQ(engine.slotOf(n), -1) << n;
    engine.removeApp(n);
    engine.setAppPassthrough(n, true);
  }
  // A slot index outside the sixteen is refused, not written past the table.
  engine.rebuildTap(-1, {5});
  engine.rebuildTap(16, {5});
  EXPECT_EQ(engine.appCount(), 1);
  EXPECT_EQ(engine.slotOf(0), 0);
  EXPECT_FALSE(engine.app(0).passthrough);
  for (const AppSource& a : engine.apps) EXPECT_TRUE(a.processes.empty());
}

TEST_F(AppsSlots, RemovalDropsTheFadeButKeepsTheStripLevel) {
  Engine engine(false);
  engine.addApp("com.example.a");
  engine.addApp("com.example.b");
  std::atomic<float>& gainA = engine.app(0).strip.gain;
  std::atomic<float>& gainB = engine.app(1).strip.gain;
  engine.fadeTo(gainA, -20.0f, 0.5f);
  engine.fadeTo(gainB, -20.0f, 0.5f);
  gainA.store(dbToGain(-6.0f));

  engine.removeApp(0);
  float target = 0.0f;
  EXPECT_FALSE(engine.fadeTarget(gainA, target));
  ASSERT_TRUE(engine.fadeTarget(gainB, target));
  EXPECT_FLOAT_EQ(target, -20.0f);
  EXPECT_FLOAT_EQ(engine.apps[0].strip.gain.load(), dbToGain(-6.0f));
  EXPECT_EQ(engine.apps[0].strip.routeMask.load(), 8u);
}

TEST_F(AppsSlots, NonLiveEngineNeverMakesATap) {
  Engine engine(false);
  engine.addApp("com.example.a");
  engine.rebuildTap(0, {7, 9});
  EXPECT_EQ(engine.apps[0].processes, (std::vector<AudioObjectID>{7, 9}));
  EXPECT_EQ(engine.apps[0].tap.tap, 0u);
  EXPECT_EQ(engine.apps[0].tap.aggregate, 0u);
  EXPECT_EQ(engine.apps[0].ioProc, platform::audio::kNoIoProc);
}

TEST(AppsTaps, EmptyProcessListMakesNoTap) {
  TapHandle handle{5, 6, 2};
  EXPECT_FALSE(createTap({}, false, handle));
  EXPECT_EQ(handle.tap, 0u);
  EXPECT_EQ(handle.aggregate, 0u);
  EXPECT_EQ(handle.channelOffset, 0u);
}

} // namespace
} // namespace velto
