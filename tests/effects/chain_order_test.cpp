// The effect chain on one thread: processing order with the fixed links, instances in further
// banks and their slot names, validation and refusals, latency, and processing the order given.
#include "effects/fx_chain.h"
#include "tests/effects/bank_signals.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace velto {
namespace {

using Slot = FxChain::Slot;

std::string names(const std::vector<Slot>& slots) {
  std::string text;
  for (const Slot& slot : slots) {
    if (!text.empty()) text += ',';
    text += FxChain::name(slot);
  }
  return text;
}

std::vector<Slot> parsed(const std::vector<std::string>& items) {
  std::vector<Slot> out;
  for (const auto& item : items) out.push_back(FxChain::parse(item).value());
  return out;
}

std::string published(const FxChain& chain) {
  const int32_t list = chain.activeList.load();
  return names({chain.runList[list], chain.runList[list] + chain.runCount[list]});
}

// Answers the hand-over as a running callback would, so a change does not wait out 20 ms.
void acknowledge(FxChain& chain) {
  chain.acknowledged.store(chain.generation.load());
}

// Level of a 0.1 sine at `hz` after the chain, in dB.
double chainGainDb(FxChain& chain, double hz) {
  const auto in = test::sine(9600, hz, 0.1f);
  auto buffer = test::interleave(in, in);
  for (uint32_t pos = 0; pos < 9600; pos += 4096) {
    chain.process(buffer.data() + size_t{pos} * 2, std::min(4096u, 9600 - pos));
  }
  return test::toDb(test::amplitudeAt(test::channelOf(buffer, 0), hz, 4800, 4800) / 0.1);
}

TEST(ChainOrder, FixedLinksStandInTheUsersOrder) {
  FxChain fresh;
  const char* full = "lowcut,gate,eq,compressor,deesser,feedback,pitch,octaver,harmonizer,chorus,"
                     "echo,reverb,looper,limiter";
  EXPECT_EQ(names(fresh.run()), full);
  EXPECT_EQ(published(fresh), full);
  EXPECT_TRUE(fresh.banks[0]->enabled[FxId::feedback].load());
  EXPECT_EQ(fresh.banks[1], nullptr);

  const struct {
    std::vector<std::string> order;
    const char* run;
  } cases[] = {
      {{"echo", "eq"}, "feedback,echo,eq,limiter"},
      {{"eq", "gate"}, "eq,gate,feedback,limiter"},
      {{}, "feedback,limiter"},
      {{"compressor", "reverb-2", "looper"}, "compressor,feedback,reverb-2,looper,limiter"},
  };
  for (const auto& c : cases) {
    FxChain chain;
    acknowledge(chain);
    ASSERT_TRUE(chain.setMovable(parsed(c.order)));
    EXPECT_EQ(names(chain.run()), c.run);
    EXPECT_EQ(published(chain), c.run);
  }
}

TEST(ChainOrder, InstancesFillTheLowestFreeBankUpToFour) {
  FxChain chain;
  for (const char* expected : {"echo-2", "echo-3", "echo-4"}) {
    acknowledge(chain);
    Slot slot;
    ASSERT_TRUE(chain.add(FxId::echo, &slot));
    EXPECT_EQ(FxChain::name(slot), expected);
    EXPECT_EQ(FxChain::name(chain.movable.back()), expected);
    // Only the first bank keeps the suppressor; the instance is not switched on by add.
    EXPECT_FALSE(chain.banks[slot.bank]->enabled[FxId::feedback].load());
    EXPECT_FALSE(chain.banks[slot.bank]->enabled[FxId::echo].load());
  }
  acknowledge(chain);
  EXPECT_FALSE(chain.add(FxId::echo));
  chain.banks[2]->set(FxId::echo, 0, 500.0f);
  chain.banks[2]->enabled[FxId::echo].store(true);
  acknowledge(chain);
  ASSERT_TRUE(chain.remove({2, FxId::echo}));
  EXPECT_FALSE(chain.banks[2]->enabled[FxId::echo].load());
  EXPECT_EQ(chain.banks[2]->params[FxId::echo][0].load(), 500.0f); // the bank stays
  EXPECT_FALSE(chain.remove({2, FxId::echo}));
  acknowledge(chain);
  Slot again;
  ASSERT_TRUE(chain.add(FxId::echo, &again));
  EXPECT_EQ(FxChain::name(again), "echo-3");
}

TEST(ChainOrder, RefusalsChangeNothing) {
  FxChain chain;
  acknowledge(chain);
  for (const FxId id : {FxId::limiter, FxId::feedback, FxId::aec, static_cast<FxId>(15)}) {
    EXPECT_FALSE(chain.add(id)) << id;
  }
  std::vector<Slot> many;
  for (uint8_t bank = 0; bank < 4; ++bank) {
    for (const uint32_t id : kDefault) many.push_back({bank, static_cast<FxId>(id)});
  }
  const std::vector<std::vector<Slot>> refused = {{{0, FxId::eq}, {0, FxId::feedback}},
                                                  {{0, FxId::limiter}},
                                                  {{0, FxId::aec}},
                                                  {{0, FxId::eq}, {1, FxId::gate}, {0, FxId::eq}},
                                                  {{4, FxId::eq}},
                                                  {{0, static_cast<FxId>(-1)}},
                                                  {many.begin(), many.begin() + 39}};
  const std::string before = names(chain.movable);
  const uint32_t generation = chain.generation.load();
  for (const auto& list : refused) EXPECT_FALSE(chain.setMovable(list)) << names(list);
  for (const auto& [from, to] : {std::pair{-1, 0}, {0, 12}, {12, 0}}) {
    EXPECT_FALSE(chain.move(from, to));
  }
  EXPECT_EQ(names(chain.movable), before);
  EXPECT_EQ(chain.generation.load(), generation); // nothing was published
  EXPECT_EQ(chain.banks[1], nullptr);             // no bank made for a refused list

  ASSERT_TRUE(chain.setMovable({many.begin(), many.begin() + 38}));
  EXPECT_EQ(chain.runCount[chain.activeList.load()], 40);
  EXPECT_EQ(FxChain::name(chain.runList[chain.activeList.load()][39]), "limiter");
}

TEST(ChainOrder, MoveTakesOutAndInsertsIntoTheShortenedList) {
  FxChain chain;
  acknowledge(chain);
  ASSERT_TRUE(chain.setMovable(parsed({"eq", "gate", "echo", "reverb"})));
  acknowledge(chain);
  ASSERT_TRUE(chain.move(0, 3));
  EXPECT_EQ(names(chain.movable), "gate,echo,reverb,eq");
  acknowledge(chain);
  ASSERT_TRUE(chain.move(3, 1));
  EXPECT_EQ(names(chain.movable), "gate,eq,echo,reverb");
  acknowledge(chain);
  chain.resetOrder();
  EXPECT_EQ(chain.movable.size(), 12u);
}

TEST(ChainOrder, SlotNamesParseAndPrint) {
  const struct {
    const char* text;
    int bank; // -1: refused
    FxId id;
  } cases[] = {
      {"echo", 0, FxId::echo},
      {"ECHO-3", 2, FxId::echo},
      {"Reverb-4", 3, FxId::reverb},
      {"echo-02", 1, FxId::echo},
      {"eq-2", 1, FxId::eq},
      {"echo-0003", 2, FxId::echo},
      {"echo-1", -1, {}},
      {"echo-5", -1, {}},
      {"echo-0", -1, {}},
      {"echo-10", -1, {}},
      {"low-cut", -1, {}},
      {"eq-x", -1, {}},
      {"echo-", -1, {}},
      {"-2", -1, {}},
      {"", -1, {}},
      {"echo-99999999999999999999992", -1, {}},
  };
  for (const auto& c : cases) {
    const auto slot = FxChain::parse(c.text);
    ASSERT_EQ(slot.has_value(), c.bank >= 0) << c.text;
    if (slot) {
      EXPECT_EQ(*slot, (Slot{static_cast<uint8_t>(c.bank), c.id})) << c.text;
    }
  }
  EXPECT_FALSE(FxChain::parse(std::string("echo\0-2", 7)).has_value());
  EXPECT_EQ(FxChain::name({0, FxId::reverb}), "reverb");
  EXPECT_EQ(FxChain::name({3, FxId::reverb}), "reverb-4");
}

TEST(ChainOrder, LatencyAndAnyEffectCountWhatStandsInTheOrder) {
  FxChain chain;
  EXPECT_FALSE(chain.anyEffect()); // feedback is on, but fixed and a tool
  chain.banks[0]->enabled[FxId::aec].store(true);
  chain.banks[0]->enabled[FxId::gate].store(true);
  EXPECT_FALSE(chain.anyEffect());
  EXPECT_EQ(chain.latencyFrames(), 256u);
  chain.banks[0]->enabled[FxId::pitch].store(true); // "Stimme"
  EXPECT_TRUE(chain.anyEffect());
  EXPECT_EQ(chain.latencyFrames(), 256u + 1200u);
  acknowledge(chain);
  Slot second;
  ASSERT_TRUE(chain.add(FxId::pitch, &second));
  chain.banks[1]->enabled[FxId::pitch].store(true);
  chain.banks[1]->set(FxId::pitch, 0, 1.0f); // "Alles"
  chain.banks[0]->enabled[FxId::limiter].store(true);
  chain.banks[0]->set(FxId::limiter, 2, 1.0f);
  EXPECT_EQ(chain.latencyFrames(), 256u + 1200u + 2112u + 48u);
  acknowledge(chain);
  ASSERT_TRUE(chain.setMovable(parsed({"eq", "pitch-2"}))); // pitch in bank 0 is left out
  EXPECT_EQ(chain.latencyFrames(), 256u + 2112u + 48u);
  chain.banks[1]->enabled[FxId::pitch].store(false);
  EXPECT_FALSE(chain.anyEffect()); // the first pitch is on but not in the chain
}

TEST(ChainOrder, EachSlotRunsInItsOwnBank) {
  FxChain chain;
  chain.banks[0]->enabled[FxId::feedback].store(false);
  acknowledge(chain);
  ASSERT_TRUE(chain.add(FxId::eq)); // eq-2
  for (int b = 0; b < 2; ++b) {
    chain.banks[b]->enabled[FxId::eq].store(true);
    chain.banks[b]->set(FxId::eq, 2, 2000.0f);
    chain.banks[b]->set(FxId::eq, 3, b == 0 ? 6.0f : 4.0f);
  }
  EXPECT_NEAR(chainGainDb(chain, 2000.0), 10.0, 0.05);
  ASSERT_TRUE(chain.setMovable(parsed({"eq"})));
  EXPECT_NEAR(chainGainDb(chain, 2000.0), 6.0, 0.05);

  // Nothing switched on in the order: the buffer is left bit-identical.
  chain.banks[0]->enabled[FxId::eq].store(false);
  chainGainDb(chain, 2000.0); // let the EQ fade out
  auto buffer = test::interleave(test::sine(4000, 440.0, 0.8f), test::sine(4000, 3000.0, 0.5f));
  const auto original = buffer;
  chain.process(buffer.data(), 4000);
  EXPECT_EQ(std::memcmp(buffer.data(), original.data(), buffer.size() * sizeof(float)), 0);
}

TEST(ChainOrder, WithoutACallbackEachChangeWaitsTwentyMillisecondsAndStillTakesEffect) {
  FxChain chain;
  chain.banks[0]->enabled[FxId::eq].store(true);
  chain.banks[0]->set(FxId::eq, 2, 1000.0f);
  chain.banks[0]->set(FxId::eq, 3, 12.0f);
  ASSERT_TRUE(chain.setMovable({}));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(chain.setMovable(parsed({"eq"})));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(20));
  EXPECT_LT(waited, std::chrono::milliseconds(500));
  EXPECT_NEAR(chainGainDb(chain, 1000.0), 12.0, 0.05); // audio starts: the latest order runs
  EXPECT_EQ(chain.acknowledged.load(), chain.generation.load());
}

} // namespace
} // namespace velto
