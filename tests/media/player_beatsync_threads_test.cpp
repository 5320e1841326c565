// Beat-synchronised crossfades on real click tracks analysed by the player's analyzer thread:
// the crossfade lasts whole bars, starts on a beat of the outgoing track, the incoming track
// starts on its first beat and its beats land on the outgoing track's grid.
#include <gtest/gtest.h>

#include <cmath>

#include "player_fixture.h"

namespace velto::test {
namespace {

constexpr double kBpm = 120.0;
constexpr double kBeat = 24000.0;      // frames at 120 BPM
constexpr double kFirstBeat = 12000.0; // the tracks' first click at 0.25 s
constexpr double kDc = 0.25;
// The analysis places beats within about one onset-curve hop (512 frames).
constexpr double kGridTolerance = 600.0;

// 24 s at 120 BPM. The clicks go on one channel, a constant on the other, so that between the
// clicks each channel shows one deck's gain.
std::vector<float> clickTrack(bool clicksLeft, float constant) {
  const std::vector<float> clicks =
      fixtures::beatTrack(false, kBpm, 24.0, int(kRate), kFirstBeat / kRate);
  std::vector<float> out(clicks.size() * 2);
  for (size_t i = 0; i < clicks.size(); ++i) {
    out[2 * i] = clicksLeft ? clicks[i] : constant;
    out[2 * i + 1] = clicksLeft ? constant : clicks[i];
  }
  return out;
}

// Distance from `frame` to the nearest beat of the tracks' grid.
double offGrid(double frame) {
  const double phase = std::fmod(std::fmod(frame - kFirstBeat, kBeat) + kBeat, kBeat);
  return std::min(phase, kBeat - phase);
}

class PlayerBeatSyncThreads : public PlayerTest {};

TEST_F(PlayerBeatSyncThreads, CrossfadeLastsWholeBarsAndStartsOnABeat) {
  struct Case {
    float crossfade;
    double beats; // its length in beats after rounding to whole bars
    double start; // the last beat at or before the end minus the crossfade
  } cases[] = {{8.0f, 16, 756000}, {1.0f, 4, 1044000}, {10.6f, 20, 660000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.crossfade);
    player = std::make_unique<Player>();
    addTrack("a.wav", clickTrack(true, float(kDc)));
    addTrack("b.wav", clickTrack(false, float(-kDc)));
    ASSERT_TRUE(waitAnalyzed());
    for (const PlayerTrack& track : player->playlist) {
      ASSERT_TRUE(track.beats.valid);
      ASSERT_NEAR(track.beats.bpm, kBpm, 0.5);
    }
    const double period = 60.0 / player->playlist[0].beats.bpm * kRate;
    player->beatSync.store(true);
    player->crossfade.store(c.crossfade);

    std::vector<float> out;
    startPlaying(0, 128, out);
    const size_t f0 = out.size() / 2 - 128;
    ASSERT_TRUE(waitFor([this] { return inactive().armed.load(); }));
    EXPECT_NEAR(double(inactive().startFrame.load()), kFirstBeat, kGridTolerance)
        << "the next track starts on its first beat";

    ASSERT_TRUE(
        renderUntil([this] { return player->transitioning(); }, 128, out, uint64_t{kRate} * 30));
    const size_t start = out.size() / 2 - 128;
    const double outgoing = double(start - f0); // A's position when the crossfade began
    EXPECT_NEAR(outgoing + 64, c.start, kGridTolerance + 64) << "on the beat, to the block";
    EXPECT_LT(offGrid(outgoing + 64), kGridTolerance + 64);

    ASSERT_TRUE(
        renderUntil([this] { return !player->transitioning(); }, 128, out, uint64_t{kRate} * 30));
    const double fade = c.beats * period;
    const double lasted = double(out.size() / 2 - start);
    EXPECT_GE(lasted, fade - 1);
    EXPECT_LE(lasted, fade + 128);
    EXPECT_NEAR(lasted / kBeat, c.beats, 0.05) << "whole bars of four beats";

    // Between the clicks: right shows A's gain, left B's; together they keep equal power.
    double worst = 0.0;
    for (double j = kBeat - std::fmod(outgoing - kFirstBeat, kBeat) + kBeat / 2; j < fade;
         j += kBeat) {
      const size_t i = start + size_t(j);
      const double a = rightAt(out, i) / kDc;
      const double b = -leftAt(out, i) / kDc;
      worst = std::max(worst, std::fabs(a * a + b * b - 1.0));
    }
    EXPECT_LT(worst, 1e-4);

    // Alone afterwards, B's clicks fall on A's grid.
    renderFrames(uint64_t(2 * kBeat), 128, out);
    int clicks = 0;
    for (size_t i = start + size_t(fade) + 256; i < out.size() / 2; ++i) {
      if (std::fabs(rightAt(out, i)) > 0.05f) {
        EXPECT_LT(offGrid(double(i - f0)), 2 * kGridTolerance) << i;
        ++clicks;
        i += 4800; // past this click
      }
    }
    EXPECT_GE(clicks, 1);
  }
}

// Without a valid grid on both decks the crossfade falls back to the plain rule.
TEST_F(PlayerBeatSyncThreads, WithoutAGridTheCrossfadeFollowsThePlainRule) {
  addTrack("a.wav", clickTrack(true, float(kDc)));
  addTrack("silence.wav", constantFrames(10 * kRate, 0.0f, 0.0f));
  ASSERT_TRUE(waitAnalyzed());
  ASSERT_TRUE(player->playlist[0].beats.valid);
  ASSERT_FALSE(player->playlist[1].beats.valid);
  player->beatSync.store(true);
  player->trim.store(false);
  player->crossfade.store(3.0f);
  std::vector<float> out;
  startPlaying(0, 128, out);
  const size_t f0 = out.size() / 2 - 128;
  EXPECT_EQ(player->startOf(player->playlist[1]), 0.0);
  ASSERT_TRUE(
      renderUntil([this] { return player->transitioning(); }, 128, out, uint64_t{kRate} * 30));
  EXPECT_EQ(out.size() / 2 - 128 - f0, 21 * kRate) << "p + 3 s reaches the end of 24 s";
}

} // namespace
} // namespace velto::test
