// Looper buffers are made on the background queue for every bank whose looper is on, every
// page in memory, and handed over on the main thread.
#include "effects/fx_chain.h"
#include "effects/input_fx.h"
#include "platform/dispatch/background_queue.h"
#include "platform/dispatch/main_queue.h"
#include "tests/engine/analysis_fixture.h"

#include <sys/mman.h>
#include <unistd.h>

#include <chrono>

namespace velto::test {
namespace {

// The buffers come from the background queue's threads.
using AnalysisLoopersThreads = AnalysisTest;

bool hasLooperBuffers(const InputFx& bank) {
  return bank.looperBase.load() != nullptr && bank.looperLayerBuffer.load() != nullptr &&
         bank.looperTags.load() != nullptr;
}

// Lets the background work finish and its hand-overs run; how many steps ran.
size_t letBuffersArrive() {
  EXPECT_TRUE(platform::dispatch::waitBackgroundIdle(std::chrono::seconds(30)));
  return platform::dispatch::runMainQueueUntilIdle();
}

// Pages of [data, data + bytes) that are not in memory.
size_t missingPages(const void* data, size_t bytes) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t start = reinterpret_cast<uintptr_t>(data) / page * page;
  const size_t span = reinterpret_cast<uintptr_t>(data) + bytes - start;
  std::vector<unsigned char> resident((span + page - 1) / page);
  if (mincore(reinterpret_cast<void*>(start), span, resident.data()) != 0) return resident.size();
  size_t missing = 0;
  for (unsigned char r : resident) missing += (r & 1) == 0;
  return missing;
}

TEST_F(AnalysisLoopersThreads, OnlyBanksWithTheLooperOnGetBuffers) {
  FxChain& chain0 = *engine->hwInputs[0].fxChain;
  FxChain& chain2 = *engine->hwInputs[2].fxChain;
  chain2.ensureBank(1);
  ASSERT_NE(chain2.banks[1], nullptr);
  chain0.banks[0]->enabled[FxId::looper].store(true);
  chain2.banks[1]->enabled[FxId::looper].store(true);
  engine->hwInputs[1].fxChain->banks[0]->enabled[FxId::echo].store(true);

  for (const HwInput& input : engine->hwInputs) {
    for (const auto& bank : input.fxChain->banks) {
      if (bank) {
        ASSERT_FALSE(hasLooperBuffers(*bank)) << "nothing before the call";
      }
    }
  }
  engine->prepareLoopers();
  EXPECT_FALSE(hasLooperBuffers(*chain0.banks[0])) << "not made on the main thread";
  letBuffersArrive();

  EXPECT_TRUE(hasLooperBuffers(*chain0.banks[0]));
  EXPECT_TRUE(hasLooperBuffers(*chain2.banks[1]));
  EXPECT_FALSE(hasLooperBuffers(*chain2.banks[0]));
  EXPECT_FALSE(hasLooperBuffers(*engine->hwInputs[1].fxChain->banks[0]));
  EXPECT_EQ(chain0.banks[1], nullptr) << "no bank is made for it";

  // Once made, the buffers stay the same ones the audio thread may already use.
  float* base = chain0.banks[0]->looperBase.load();
  engine->prepareLoopers();
  letBuffersArrive();
  EXPECT_EQ(chain0.banks[0]->looperBase.load(), base);
}

TEST_F(AnalysisLoopersThreads, BuffersArriveSilentWithEveryPageInMemory) {
  constexpr size_t kSamples = size_t{InputFx::kLoopFrames} * 2;
  struct Case {
    const char* name;
    bool bankGoesFirst; // the bank is destroyed while its buffers are on their way
  };
  const Case cases[] = {{"bank gone", true}, {"kept", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FxChain& chain = *engine->hwInputs[1].fxChain;
    chain.ensureBank(2);
    InputFx& bank = *chain.banks[2];
    bank.enabled[FxId::looper].store(true);
    bank.prepareLooper();
    bank.prepareLooper(); // once on the way, not asked for again
    if (c.bankGoesFirst) {
      engine.reset();
      // The hand-over runs, finds no bank and lets its memory go.
      EXPECT_GE(letBuffersArrive(), 1u);
      engine = std::make_unique<Engine>(false);
      continue;
    }
    letBuffersArrive();
    ASSERT_TRUE(hasLooperBuffers(bank));
    const float* base = bank.looperBase.load();
    const float* layer = bank.looperLayerBuffer.load();
    const uint16_t* tags = bank.looperTags.load();
    EXPECT_EQ(missingPages(base, kSamples * sizeof(float)), 0u);
    EXPECT_EQ(missingPages(layer, kSamples * sizeof(float)), 0u);
    EXPECT_EQ(missingPages(tags, InputFx::kLoopFrames * sizeof(uint16_t)), 0u);
    size_t nonZero = 0;
    for (size_t i = 0; i < kSamples; i += 997) nonZero += base[i] != 0.0f || layer[i] != 0.0f;
    for (size_t i = 0; i < InputFx::kLoopFrames; i += 997) nonZero += tags[i] != 0;
    EXPECT_EQ(nonZero, 0u);
  }
}

} // namespace
} // namespace velto::test
