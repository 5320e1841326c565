// Looper buffers are made on the main thread for every bank whose looper is on, and only there.
#include "effects/fx_chain.h"
#include "effects/input_fx.h"
#include "tests/engine/analysis_fixture.h"

namespace velto::test {
namespace {

using AnalysisLoopers = AnalysisTest;

bool hasLooperBuffers(const InputFx& bank) {
  return bank.looperBase.load() != nullptr && bank.looperLayerBuffer.load() != nullptr &&
         bank.looperTags.load() != nullptr;
}

TEST_F(AnalysisLoopers, OnlyBanksWithTheLooperOnGetBuffers) {
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

  EXPECT_TRUE(hasLooperBuffers(*chain0.banks[0]));
  EXPECT_TRUE(hasLooperBuffers(*chain2.banks[1]));
  EXPECT_FALSE(hasLooperBuffers(*chain2.banks[0]));
  EXPECT_FALSE(hasLooperBuffers(*engine->hwInputs[1].fxChain->banks[0]));
  EXPECT_EQ(chain0.banks[1], nullptr) << "no bank is made for it";

  // Once made, the buffers stay the same ones the audio thread may already use.
  float* base = chain0.banks[0]->looperBase.load();
  engine->prepareLoopers();
  EXPECT_EQ(chain0.banks[0]->looperBase.load(), base);
}

} // namespace
} // namespace velto::test
