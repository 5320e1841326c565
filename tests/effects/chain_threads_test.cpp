// The chain's hand-over of new orders to a running audio thread: a callback thread processes a
// tone continuously while the main thread reorders, adds and removes instances (making banks)
// and writes switches and parameters. Under ThreadSanitizer this shows lists and banks change
// hands without a race; the tone's level shows that each new order is the one that runs.
#include "effects/fx_chain.h"
#include "tests/effects/bank_signals.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace velto {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr float kTone = 0.1f; // 1 kHz
const float kBoosted = kTone * std::pow(10.0f, 12.0f / 20.0f);

// 128-frame cycles of a continuous tone through the chain; publishes each cycle's peak.
class AudioThread {
public:
  explicit AudioThread(FxChain& chain) : thread_([this, &chain] { loop(chain); }) {}
  ~AudioThread() {
    stop_.store(true);
    thread_.join();
  }
  bool waitCycles(uint64_t count) const {
    const uint64_t target = cycles_.load() + count;
    for (const auto deadline = Clock::now() + 5s; cycles_.load() < target;) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(100us);
    }
    return true;
  }
  // True once the peak of a cycle after the latest change lies within 3 % of `level`.
  bool settlesAt(float level) const {
    for (const auto deadline = Clock::now() + 5s; Clock::now() < deadline;) {
      if (!waitCycles(20)) return false;
      if (std::fabs(peak_.load() - level) <= 0.03f * level) return true;
    }
    return false;
  }
  std::atomic<bool> finite{true};

private:
  void loop(FxChain& chain) {
    for (size_t clock = 0; !stop_.load(); clock += 128) {
      const auto tone = test::sine(128, 1000.0, kTone, clock);
      auto buffer = test::interleave(tone, tone);
      chain.process(buffer.data(), 128);
      float peak = 0.0f;
      for (const float v : buffer) {
        if (!std::isfinite(v)) finite.store(false);
        peak = std::max(peak, std::fabs(v));
      }
      peak_.store(peak);
      cycles_.fetch_add(1);
    }
  }
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> cycles_{0};
  std::atomic<float> peak_{0.0f};
  std::thread thread_;
};

TEST(ChainHandOverThreads, NewOrdersReachTheRunningAudioThread) {
  FxChain chain;
  InputFx& first = *chain.banks[0];
  first.enabled[FxId::feedback].store(false);
  first.set(FxId::eq, 2, 1000.0f);
  first.set(FxId::eq, 3, 12.0f); // +12 dB on the tone while the EQ stands in the order
  first.enabled[FxId::eq].store(true);
  AudioThread audio(chain);
  ASSERT_TRUE(audio.waitCycles(10));
  ASSERT_TRUE(chain.setMovable({}));
  EXPECT_TRUE(audio.settlesAt(kTone));
  ASSERT_TRUE(chain.setMovable({{0, FxId::eq}}));
  EXPECT_TRUE(audio.settlesAt(kBoosted));

  // Changes in a row: up to three more instances at once (banks 1 to 3 come into being while
  // audio runs), moves, removes, resets, switches and parameters.
  int slow = 0, changes = 0;
  const auto timed = [&](auto change) {
    const auto start = Clock::now();
    change();
    ++changes;
    if (Clock::now() - start >= 19ms) ++slow;
  };
  for (int round = 0; round < 30; ++round) {
    std::vector<FxChain::Slot> added(static_cast<size_t>(round % 3 + 1));
    for (auto& slot : added) {
      timed([&] { ASSERT_TRUE(chain.add(FxId::echo, &slot)); });
      chain.banks[slot.bank]->enabled[FxId::echo].store(true);
      chain.banks[slot.bank]->set(FxId::echo, 0, 100.0f + static_cast<float>(round));
    }
    timed([&] { ASSERT_TRUE(chain.move(0, static_cast<int>(chain.movable.size()) - 1)); });
    for (const auto& slot : added) timed([&] { ASSERT_TRUE(chain.remove(slot)); });
    first.enabled[FxId::lowCut].store(round % 2 == 0);
    first.set(FxId::lowCut, 0, 40.0f + static_cast<float>(round));
    if (round % 5 == 4) timed([&] { chain.resetOrder(); });
  }
  // A running callback answers within a cycle; only a thread starved by the scheduler for
  // 20 ms lets a hand-over wait out, so most must be quick even on a loaded machine.
  EXPECT_LT(slow, changes / 2) << slow << " of " << changes << " hand-overs waited out";
  for (int b = 1; b < FxChain::kBanks; ++b) EXPECT_NE(chain.banks[b], nullptr);

  first.enabled[FxId::lowCut].store(false);
  ASSERT_TRUE(chain.setMovable({{2, FxId::echo}, {0, FxId::eq}}));
  EXPECT_TRUE(audio.settlesAt(kBoosted));
  ASSERT_TRUE(chain.setMovable({{2, FxId::echo}}));
  EXPECT_TRUE(audio.settlesAt(kTone));
  EXPECT_TRUE(audio.finite.load());
  ASSERT_TRUE(audio.waitCycles(2));
  EXPECT_EQ(chain.acknowledged.load(), chain.generation.load());
}

// A callback stalled inside a call for longer than the 20 ms a publication waits: the list it
// may still read is not rewritten until the call is over.
TEST(ChainHandOverThreads, APublicationNeverRewritesTheListOfACallStillUnderWay) {
  FxChain chain;
  const uint32_t generation = chain.generation.load();
  chain.processing.store(true); // a call began before the last publication and stalled
  std::atomic<bool> done{false};
  const auto start = Clock::now();
  std::thread writer([&] {
    EXPECT_TRUE(chain.setMovable({{0, FxId::eq}}));
    done.store(true);
  });
  std::this_thread::sleep_for(80ms);
  EXPECT_FALSE(done.load());
  EXPECT_EQ(chain.generation.load(), generation); // nothing handed over while the call runs
  chain.processing.store(false);                  // the call ends, no further one starts
  writer.join();
  EXPECT_GE(Clock::now() - start, 80ms);
  const int32_t list = chain.activeList.load();
  ASSERT_EQ(chain.runCount[list], 3);
  EXPECT_EQ(chain.runList[list][0].id, FxId::eq);
}

} // namespace
} // namespace velto
