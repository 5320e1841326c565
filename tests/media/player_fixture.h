// Helpers for the player suites: a fresh player on fresh HOME and system-root folders, test
// tracks written as WAV files, and a driver that plays the engine's part by hand on the test
// thread: the main-thread tick and the audio-thread render, each block only once the reader
// thread has buffered what it needs, so that results do not depend on the machine's speed.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "media/player.h"
#include "tests/platform/audiofile_fixtures.h"

namespace velto::test {

constexpr uint32_t kRate = 48000;

// Interleaved stereo: `frames` frames of a constant left and right value.
inline std::vector<float> constantFrames(size_t frames, float left, float right) {
  std::vector<float> out(frames * 2);
  for (size_t i = 0; i < frames; ++i) {
    out[2 * i] = left;
    out[2 * i + 1] = right;
  }
  return out;
}

class PlayerTest : public fixtures::AudioFolderTest {
protected:
  void SetUp() override {
    fixtures::AudioFolderTest::SetUp();
    player = std::make_unique<Player>();
  }
  void TearDown() override { player.reset(); }

  // Writes a 48 kHz stereo WAV and adds it; the track's id (0 on failure).
  uint32_t addTrack(const std::string& name, const std::vector<float>& stereo) {
    EXPECT_TRUE(fixtures::writeWav(file(name), kRate, 2, stereo));
    std::string error;
    const uint32_t id = player->add(file(name), error);
    EXPECT_NE(id, 0u) << error;
    return id;
  }

  // Runs the tick (as the engine's timer would) until `done` holds; false after `seconds`.
  bool waitFor(const std::function<bool()>& done, double seconds = 20.0) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(seconds));
    for (;;) {
      player->tick();
      if (done()) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }

  bool waitAnalyzed() {
    return waitFor([this] {
      for (const PlayerTrack& t : player->playlist) {
        if (!t.analyzed) return false;
      }
      return true;
    });
  }

  // Waits until every command sent to a deck is applied, as far as that can go before the next
  // render (which must acknowledge a flush first), and the tick has acted on it.
  bool settle() {
    return waitFor([this] {
      for (uint32_t d = 0; d < 2; ++d) {
        const Deck& deck = player->decks[d];
        if (deck.flushGeneration.load() != deck.flushAck.load()) continue; // render's turn
        if (player->handledGeneration[d].load() != player->commandGeneration[d]) return false;
        if (!deck.ready.load()) return false;
      }
      return true;
    });
  }

  // Waits until each playing deck's ring holds this block (or its file has ended).
  bool paceRings(uint32_t frames) {
    return waitFor([this, frames] {
      for (const Deck& deck : player->decks) {
        if (deck.state.load() == Player::kIdle || !deck.ready.load()) continue;
        const uint64_t position = deck.position.load();
        const uint64_t end = deck.endFrame.load();
        const uint64_t wanted = position < end ? std::min<uint64_t>(frames, end - position) : 0;
        if (deck.ring->fill() < wanted && !deck.ended.load()) return false;
      }
      return true;
    });
  }

  // The audio thread's call; a suite may wrap it.
  virtual void renderInto(float* interleaved, uint32_t frames) {
    player->render(interleaved, frames);
  }

  // One engine cycle: settle, pace, render a cleared block, then tick. Appends to `out`.
  void renderBlock(uint32_t frames, std::vector<float>& out, bool wait = true) {
    if (wait) {
      ASSERT_TRUE(settle());
      ASSERT_TRUE(paceRings(frames));
    }
    block.assign(size_t{frames} * 2, 0.0f);
    renderInto(block.data(), frames);
    out.insert(out.end(), block.begin(), block.end());
    player->tick();
  }

  void renderFrames(uint64_t frames, uint32_t blockFrames, std::vector<float>& out) {
    for (uint64_t done = 0; done < frames; done += blockFrames) {
      renderBlock(blockFrames, out);
      if (HasFatalFailure()) return;
    }
  }

  // Renders blocks until `done` holds after one; false when it never does within `limit`.
  bool renderUntil(const std::function<bool()>& done, uint32_t blockFrames, std::vector<float>& out,
                   uint64_t limit) {
    for (uint64_t rendered = 0; rendered < limit; rendered += blockFrames) {
      renderBlock(blockFrames, out);
      if (HasFatalFailure()) return false;
      if (done()) return true;
    }
    return false;
  }

  // Starts entry `index` from rest and renders until it plays.
  void startPlaying(int index, uint32_t blockFrames, std::vector<float>& out) {
    player->play(index);
    ASSERT_TRUE(renderUntil([this] { return player->playing.load(); }, blockFrames, out,
                            uint64_t{kRate} * 5));
  }

  const Deck& active() const { return player->decks[player->activeDeck.load()]; }
  const Deck& inactive() const { return player->decks[1 - player->activeDeck.load()]; }

  std::unique_ptr<Player> player;
  std::vector<float> block;
};

// Channels of frame `i` of fixtures::frameCounter, as a 16-bit decoder gives them back.
inline float counterLeft(uint64_t i) {
  return float(int(i & 0xFFFF) - 32768) / 32768.0f;
}
inline float counterRight(uint64_t i) {
  return float(int(i >> 16) - 32768) / 32768.0f;
}

// Frame `i` of interleaved stereo.
inline float leftAt(const std::vector<float>& s, size_t i) {
  return s[2 * i];
}
inline float rightAt(const std::vector<float>& s, size_t i) {
  return s[2 * i + 1];
}

// The first frame from `from` on whose channel is not 0; -1 if none.
inline int64_t firstNonZero(const std::vector<float>& s, int channel, size_t from = 0) {
  for (size_t i = from; 2 * i + 1 < s.size(); ++i) {
    if (s[2 * i + size_t(channel)] != 0.0f) return int64_t(i);
  }
  return -1;
}

} // namespace velto::test
