// The player's decks as the engine's clock cycle sees them: crossfades at the end of a track and
// on a skip, equal power across them, the shortest fades, stop and pause ramps, silence
// trimming, seeks, files without a stated length, unreadable files and underruns.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "player_fixture.h"
#include "thread_hold.h"

namespace velto::test {
namespace {

using fixtures::counterValue;
using fixtures::frameCounter;
using fixtures::kPi;

constexpr float kDc = 0.5f;

// The gain of a deck whose fade level is `level`.
double fadeGain(double level) {
  return std::sin(std::clamp(level, 0.0, 1.0) * kPi / 2);
}

class PlayerRenderThreads : public PlayerTest {
protected:
  // Track A: left only; track B: right only. Each channel then shows one deck's gain.
  void addLeftAndRight(size_t framesA, size_t framesB) {
    idA = addTrack("a.wav", constantFrames(framesA, kDc, 0.0f));
    idB = addTrack("b.wav", constantFrames(framesB, 0.0f, kDc));
  }
  // Frame index of the first frame of the block that started playback.
  static size_t startOfLastBlock(const std::vector<float>& out, uint32_t blockFrames) {
    return out.size() / 2 - blockFrames;
  }

  uint32_t idA = 0;
  uint32_t idB = 0;
};

TEST_F(PlayerRenderThreads, CrossfadeStartsWhereThePositionPlusItsLengthReachesTheEnd) {
  // 12 s tracks, 8 s crossfade: the first block whose start plus 384000 frames reaches 576000.
  for (uint32_t blockFrames : {128u, 512u, 4096u}) {
    SCOPED_TRACE(blockFrames);
    player = std::make_unique<Player>();
    addLeftAndRight(12 * kRate, 12 * kRate);
    std::vector<float> out;
    startPlaying(0, blockFrames, out);
    const size_t f0 = startOfLastBlock(out, blockFrames);
    ASSERT_TRUE(renderUntil([this] { return !player->playing.load(); }, blockFrames, out,
                            uint64_t{kRate} * 30));

    const uint64_t end = 12 * kRate;
    const uint64_t crossfade = 8 * kRate;
    const uint64_t expectedStart =
        (end - crossfade + blockFrames - 1) / blockFrames * blockFrames; // ceil to a block
    const uint64_t fade = end - expectedStart;                           // what remains
    EXPECT_EQ(firstNonZero(out, 1), int64_t(f0 + expectedStart));
    EXPECT_EQ(leftAt(out, f0), kDc) << "from rest at full level";
    EXPECT_EQ(leftAt(out, f0 + expectedStart - 1), kDc);

    double worst = 0.0;
    for (uint64_t k = 0; k < fade; ++k) {
      const size_t i = f0 + expectedStart + k;
      const double outgoing = leftAt(out, i) / kDc;
      const double incoming = rightAt(out, i) / kDc;
      worst = std::max(worst, std::fabs(outgoing * outgoing + incoming * incoming - 1.0));
      if (k % 9973 == 0) {
        ASSERT_NEAR(incoming, fadeGain(double(k + 1) / fade), 1e-5) << k;
        ASSERT_NEAR(outgoing, fadeGain(1.0 - double(k + 1) / fade), 1e-5) << k;
      }
    }
    EXPECT_LT(worst, 1e-5) << "equal power all through the crossfade";
    // The outgoing track ends with the fade; the incoming one plays its 12 s to the end.
    EXPECT_EQ(firstNonZero(out, 0, f0 + end), -1);
    EXPECT_EQ(rightAt(out, f0 + end), kDc);
    EXPECT_EQ(out.size() / 2,
              f0 + expectedStart + end + (blockFrames - end % blockFrames) % blockFrames);
    EXPECT_EQ(firstNonZero(out, 1, f0 + expectedStart + end), -1);
    EXPECT_EQ(active().trackId.load(), idB);
  }
}

// A crossfade shorter than a block: the outgoing track ends inside the block in which the start
// test still fails. The next track must follow instead of the playlist stopping.
TEST_F(PlayerRenderThreads, CrossfadeShorterThanABlockStillMovesOnToTheNextTrack) {
  for (float seconds : {0.0f, 0.0005f, 0.001f}) {
    SCOPED_TRACE(seconds);
    player = std::make_unique<Player>();
    player->crossfade.store(seconds);
    addLeftAndRight(48048, kRate); // 375.375 blocks of 128
    std::vector<float> out;
    startPlaying(0, 128, out);
    const size_t f0 = startOfLastBlock(out, 128);
    ASSERT_TRUE(
        renderUntil([this] { return !player->playing.load(); }, 128, out, uint64_t{kRate} * 5));

    // The last block of A starts at 48000; B starts with it and rises over 480 frames.
    const size_t handOver = f0 + 48000;
    EXPECT_EQ(firstNonZero(out, 1), int64_t(handOver));
    for (size_t k = 0; k < 480; k += 53) {
      EXPECT_NEAR(rightAt(out, handOver + k) / kDc, fadeGain(double(k + 1) / 480), 1e-5);
    }
    EXPECT_EQ(rightAt(out, handOver + 479), kDc);
    // A plays its last 48 frames fading, then stops at its end.
    EXPECT_GT(leftAt(out, handOver + 47), 0.0f);
    EXPECT_EQ(leftAt(out, handOver + 48), 0.0f);
    // B plays whole: 48000 frames, the last one at full level.
    EXPECT_EQ(rightAt(out, handOver + 47999), kDc);
    EXPECT_EQ(firstNonZero(out, 1, handOver + 48000), -1);
  }
}

TEST_F(PlayerRenderThreads, StopFadesEveryPlayingDeckOutOver14400Frames) {
  for (bool duringCrossfade : {false, true}) {
    SCOPED_TRACE(duringCrossfade ? "during a crossfade" : "one deck");
    player = std::make_unique<Player>();
    player->crossfade.store(4.0f);
    addLeftAndRight(6 * kRate, 6 * kRate);
    std::vector<float> out;
    startPlaying(0, 128, out);
    renderFrames(duringCrossfade ? 3 * kRate : kRate, 128, out);
    ASSERT_EQ(player->transitioning(), duringCrossfade);
    const size_t last = out.size() / 2 - 1;
    const double left = leftAt(out, last) / kDc;
    const double right = rightAt(out, last) / kDc;
    const double levelA = std::asin(left) * 2 / kPi;
    const double levelB = std::asin(right) * 2 / kPi;

    player->stop();
    const size_t stop = out.size() / 2;
    ASSERT_TRUE(renderUntil([this] { return !player->playing.load(); }, 128, out, kRate));
    const size_t stopped = out.size() / 2;
    renderFrames(16384, 128, out);
    for (size_t k = 0; k < 14400; k += 611) {
      const double step = double(k + 1) / 14400;
      EXPECT_NEAR(leftAt(out, stop + k) / kDc, fadeGain(levelA - step), 1e-4) << k;
      EXPECT_NEAR(rightAt(out, stop + k) / kDc, fadeGain(levelB - step), 1e-4) << k;
    }
    EXPECT_GT(leftAt(out, stop + size_t(levelA * 14400) - 2), 0.0f);
    EXPECT_EQ(firstNonZero(out, 0, stop + 14400), -1);
    EXPECT_EQ(firstNonZero(out, 1, stop + 14400), -1);
    // Playing ends with the block in which the last fade reached 0.
    const double longest = std::max(levelA, levelB) * 14400;
    EXPECT_GE(double(stopped), double(stop) + longest - 1);
    EXPECT_LE(double(stopped), double(stop) + longest + 128);
    EXPECT_EQ(player->decks[0].state.load(), Player::kIdle);
    EXPECT_EQ(player->decks[1].state.load(), Player::kIdle);
  }
}

TEST_F(PlayerRenderThreads, PauseSilencesWithin480FramesHoldsThePositionAndResumesRamping) {
  addTrack("counter.wav", frameCounter(10 * kRate));
  std::vector<float> out;
  startPlaying(0, 128, out);
  renderFrames(kRate, 128, out);

  player->pause();
  const size_t pause = out.size() / 2;
  const uint64_t from = active().position.load();
  renderFrames(512, 128, out);
  for (size_t k = 0; k < 480; k += 41) {
    const double ramp = 1.0 - double(k + 1) / 480;
    EXPECT_NEAR(leftAt(out, pause + k), counterLeft(from + k) * ramp, 1e-6) << k;
    EXPECT_NEAR(rightAt(out, pause + k), counterRight(from + k) * ramp, 1e-6) << k;
  }
  EXPECT_NEAR(rightAt(out, pause + 479), 0.0f, 1e-6);
  EXPECT_EQ(firstNonZero(out, 0, pause + 480), -1);
  EXPECT_EQ(firstNonZero(out, 1, pause + 480), -1);
  // The ramp's blocks still moved on; from then on the position holds.
  const uint64_t held = active().position.load();
  EXPECT_EQ(held, from + 512);

  renderFrames(20 * 128, 128, out);
  EXPECT_EQ(firstNonZero(out, 1, pause + 480), -1) << "held in silence";
  EXPECT_EQ(active().position.load(), held);
  EXPECT_DOUBLE_EQ(player->position(), double(held) / kRate);
  EXPECT_TRUE(player->playing.load());

  player->play(-1); // resume
  const size_t resume = out.size() / 2;
  renderFrames(1024, 128, out);
  for (size_t k = 0; k < 1024; k += 29) {
    const double ramp = std::min(double(k + 1) / 480, 1.0);
    EXPECT_NEAR(rightAt(out, resume + k), counterRight(held + k) * ramp, 1e-6) << k;
  }
  EXPECT_EQ(counterValue(&out[2 * (resume + 600)]), int64_t(held) + 600)
      << "playback goes on from where it was held";
  EXPECT_FALSE(player->paused.load());
}

TEST_F(PlayerRenderThreads, TrimStartsJustBeforeTheFirstSoundAndEndsJustAfterTheLast) {
  // 3 s of digital silence, 4 s of a 440 Hz tone, 3 s of silence.
  std::vector<float> track(10 * kRate * 2, 0.0f);
  for (size_t i = 0; i < 4 * kRate; ++i) {
    const float x = float(0.5 * std::sin(2 * kPi * 440 * double(i) / kRate));
    track[2 * (3 * kRate + i)] = x;
    track[2 * (3 * kRate + i) + 1] = -x;
  }
  std::vector<float> decoded(track.size());
  for (size_t i = 0; i < track.size(); ++i) decoded[i] = fixtures::quantize16(track[i]);
  int64_t firstLoud = -1;
  int64_t lastLoud = -1;
  for (size_t i = 0; i < decoded.size() / 2; ++i) {
    if (std::fabs(decoded[2 * i]) > 0.00316f) {
      if (firstLoud < 0) firstLoud = int64_t(i);
      lastLoud = int64_t(i);
    }
  }
  ASSERT_GT(firstLoud, int64_t(3 * kRate));
  addTrack("gaps.wav", track);

  for (bool trim : {true, false}) {
    SCOPED_TRACE(trim ? "trim" : "no trim");
    player->trim.store(trim);
    std::vector<float> out;
    startPlaying(0, 128, out);
    const size_t f0 = startOfLastBlock(out, 128);
    const Deck& deck = active();
    const int64_t start = int64_t(deck.startFrame.load());
    const int64_t end = int64_t(deck.endFrame.load());
    if (trim) {
      EXPECT_NEAR(start, firstLoud - 480, 1);
      EXPECT_NEAR(end, lastLoud + 2400, 1);
    } else {
      EXPECT_EQ(start, 0);
      EXPECT_EQ(end, int64_t(10 * kRate));
    }
    EXPECT_NEAR(player->duration(), double(end) / kRate, 1e-9);
    ASSERT_TRUE(
        renderUntil([this] { return !player->playing.load(); }, 128, out, uint64_t{kRate} * 12));
    // The output is the file from the start to the end, sample for sample, then silence.
    for (int64_t j = 0; j < end - start; ++j) {
      ASSERT_EQ(out[2 * (f0 + j)], decoded[2 * (start + j)]) << j;
      ASSERT_EQ(out[2 * (f0 + j) + 1], decoded[2 * (start + j) + 1]) << j;
    }
    EXPECT_EQ(firstNonZero(out, 0, f0 + size_t(end - start)), -1);
    player->stop();
  }
}

TEST_F(PlayerRenderThreads, SeekIsSilentUntilTheNewPositionIsBuffered) {
  addTrack("counter.wav", frameCounter(20 * kRate));
  std::vector<float> out;
  startPlaying(0, 128, out);
  renderFrames(kRate, 128, out);

  player->seek(10.0);
  const size_t seek = out.size() / 2;
  renderBlock(128, out, false); // at once: the deck lost `ready`
  EXPECT_EQ(firstNonZero(out, 0, seek), -1);
  EXPECT_EQ(firstNonZero(out, 1, seek), -1);
  bool checkedBuffer = false;
  while (!active().ready.load() || active().position.load() < 10 * kRate) {
    ASSERT_TRUE(settle());
    if (!checkedBuffer && active().ready.load()) {
      EXPECT_GE(active().ring->fill(), 12000u) << "ready only with 0.25 s buffered";
      checkedBuffer = true;
    }
    renderBlock(128, out);
    ASSERT_LT(out.size() / 2, seek + kRate);
  }
  renderFrames(kRate, 128, out);
  const int64_t resumed = firstNonZero(out, 1, seek);
  ASSERT_GT(resumed, int64_t(seek));
  for (size_t i = size_t(resumed); i < out.size() / 2; ++i) {
    ASSERT_EQ(counterValue(&out[2 * i]), int64_t(10 * kRate) + int64_t(i) - resumed) << i;
  }
  EXPECT_NEAR(player->position(), 10.0 + double(out.size() / 2 - resumed) / kRate, 1e-9);
}

// A file that does not state its length: a seek into it lands on the frame asked for, it plays
// to its real end, and the next track follows with the crossfade once that end is known.
TEST_F(PlayerRenderThreads, FileWithoutAStatedLengthSeeksExactlyAndPlaysOut) {
  ASSERT_TRUE(fixtures::writeWav(file("src.wav"), kRate, 2, frameCounter(6 * kRate)));
  ASSERT_TRUE(fixtures::encode(file("src.wav"), file("unstated.flac"), "-c:a flac"));
  ASSERT_TRUE(fixtures::setFlacTotalSamples(file("unstated.flac"), 0));
  std::string error;
  ASSERT_NE(player->add(file("unstated.flac"), error), 0u) << error;
  EXPECT_EQ(player->playlist[0].seconds, 0.0);
  idB = addTrack("b.wav", constantFrames(3 * kRate, 0.0f, kDc));
  player->crossfade.store(2.0f);

  std::vector<float> out;
  startPlaying(0, 128, out);
  EXPECT_EQ(player->duration(), 0.0) << "no length to show";
  renderFrames(kRate, 128, out);
  player->seek(3.0);
  const size_t seek = out.size() / 2;
  renderFrames(kRate / 2, 128, out);
  const int64_t resumed = firstNonZero(out, 0, seek);
  ASSERT_GT(resumed, int64_t(seek));
  EXPECT_EQ(counterValue(&out[2 * size_t(resumed)]), 3 * int64_t(kRate)) << "not frame 0";

  // The reader reaches the file's end long before the renderer does, as in real time.
  ASSERT_TRUE(waitFor([this] { return active().ended.load(); }));
  ASSERT_TRUE(
      renderUntil([this] { return player->transitioning(); }, 128, out, uint64_t{kRate} * 5));
  const size_t handOver = startOfLastBlock(out, 128);
  // Everything before the last 2 s played at full level; the rest fades out to the file's end.
  EXPECT_EQ(counterValue(&out[2 * (handOver - 1)]), 4 * int64_t(kRate) - 1);
  ASSERT_TRUE(
      renderUntil([this] { return !player->playing.load(); }, 128, out, uint64_t{kRate} * 5));
  for (uint64_t k : {0u, 30000u, 95000u, 95999u}) {
    const double gain = fadeGain(1.0 - double(k + 1) / (2 * kRate));
    EXPECT_NEAR(leftAt(out, handOver + k), counterLeft(4 * kRate + k) * gain, 1e-6) << k;
  }
  EXPECT_EQ(leftAt(out, handOver + 2 * kRate), 0.0f);
  EXPECT_EQ(rightAt(out, handOver + 3 * kRate - 1), kDc) << "B plays whole";
  EXPECT_EQ(out.size() / 2, handOver + 3 * kRate);
  EXPECT_EQ(player->decks[0].underruns.load() + player->decks[1].underruns.load(), 0u);
}

TEST_F(PlayerRenderThreads, UnreadableTrackPlaysAsAnEmptyTrack) {
  // From rest: it falls idle in its first block and playing returns to false.
  addTrack("broken.wav", constantFrames(kRate, kDc, kDc));
  ASSERT_TRUE(fixtures::writeText(file("broken.wav"), "kein Klang"));
  std::vector<float> out;
  player->play(0);
  ASSERT_TRUE(settle());
  renderBlock(128, out);
  ASSERT_TRUE(waitFor([this] { return player->startRequest.load(); }));
  renderBlock(128, out);
  EXPECT_TRUE(active().ended.load());
  EXPECT_EQ(active().endFrame.load(), 0u);
  EXPECT_FALSE(player->playing.load());
  EXPECT_EQ(firstNonZero(out, 0), -1);

  // As the following track: it is crossfaded into, ends at once, the playing one fades out and
  // playback stops.
  player = std::make_unique<Player>();
  player->crossfade.store(1.0f);
  idA = addTrack("a.wav", constantFrames(3 * kRate, kDc, 0.0f));
  addTrack("broken2.wav", constantFrames(kRate, kDc, kDc));
  ASSERT_TRUE(fixtures::writeText(file("broken2.wav"), "kein Klang"));
  out.clear();
  startPlaying(0, 128, out);
  const size_t f0 = startOfLastBlock(out, 128);
  ASSERT_TRUE(
      renderUntil([this] { return !player->playing.load(); }, 128, out, uint64_t{kRate} * 5));
  EXPECT_EQ(leftAt(out, f0 + 2 * kRate - 1), kDc);
  EXPECT_NEAR(leftAt(out, f0 + 2 * kRate + 24000) / kDc, fadeGain(0.5 - 1.0 / kRate), 1e-5);
  EXPECT_EQ(firstNonZero(out, 0, f0 + 3 * kRate), -1);
  EXPECT_EQ(out.size() / 2, f0 + 3 * kRate) << "ends with the outgoing track";
}

// An empty ring before the file ended counts an underrun and plays silence for what is
// missing; no frame of the file is lost.
TEST_F(PlayerRenderThreads, UnderrunsInsertSilenceButLoseNoFrame) {
  // A player made here, so that its reader can be held while the renderer drains the ring.
  player.reset();
  const std::vector<pid_t> playerThreads =
      threadsStartedBy([this] { player = std::make_unique<Player>(); });
  ASSERT_EQ(playerThreads.size(), 2u);

  addTrack("counter.wav", frameCounter(40 * kRate));
  std::vector<float> out;
  startPlaying(0, 128, out);
  const size_t f0 = startOfLastBlock(out, 128);
  {
    ThreadHold hold(playerThreads);
    ASSERT_TRUE(hold.holding());
    // No tick meanwhile: it takes a lock the held analyzer may have.
    block.assign(size_t{4096} * 2, 0.0f);
    for (uint32_t i = 0; i <= Deck::kRingFrames / 4096 + 1 && active().underruns.load() == 0; ++i) {
      std::fill(block.begin(), block.end(), 0.0f);
      renderInto(block.data(), 4096);
      out.insert(out.end(), block.begin(), block.end());
    }
    ASSERT_GT(active().underruns.load(), 0u);
  }
  // Released: the reader refills and the track goes on where it stopped.
  for (int i = 0; i < 50; ++i) renderBlock(512, out, true);

  int64_t expected = 0;
  size_t silent = 0;
  for (size_t i = f0; i < out.size() / 2; ++i) {
    if (rightAt(out, i) == 0.0f) {
      ++silent;
      continue;
    }
    ASSERT_EQ(counterValue(&out[2 * i]), expected) << i;
    ++expected;
  }
  EXPECT_GT(silent, 0u);
  EXPECT_EQ(active().position.load(), uint64_t(expected));
}

} // namespace
} // namespace velto::test
