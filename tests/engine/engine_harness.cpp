#include "engine_harness.h"

#include "effects/fx_chain.h"
#include "effects/fx_table.h"
#include "effects/input_fx.h"
#include "tests/platform/audiofile_fixtures.h"

#include <gtest/gtest.h>

#include <cmath>

namespace velto::test {

void makeTransparent(Engine& engine) {
  for (HwInput& in : engine.hwInputs) {
    for (auto& bank : in.fxChain->banks) {
      if (!bank) continue;
      for (auto& on : bank->enabled) on.store(false);
    }
  }
  for (Bus& bus : engine.buses) {
    if (!bus.fx) continue;
    for (auto& on : bus.fx->enabled) on.store(false);
  }
}

void routeEverywhereWithPads(Engine& engine, const std::string& folder) {
  for (HwInput& in : engine.hwInputs) in.strip.routeMask.store(0x3f);
  for (VirtualIn& v : engine.virtualIns) v.strip.routeMask.store(0x3f);
  engine.padsStrip.routeMask.store(0x3f);
  engine.playerStrip.routeMask.store(0x3f);
  engine.systemStrip.routeMask.store(0xf);
  for (AppSource& app : engine.apps) app.strip.routeMask.store(0xf);
  for (HwInput& in : engine.hwInputs) ASSERT_NE(in.link.device, 0u) << in.link.uid;
  for (Bus& bus : engine.buses) ASSERT_NE(bus.link.device, 0u);
  ASSERT_NE(engine.clockLink.device, 0u);
  ASSERT_NE(engine.systemLink.device, 0u);

  std::vector<float> tone(2 * 14400);
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = 0.3f * std::sin(0.02f * float(i / 2));
  const std::string padFile = folder + "/pad.wav";
  ASSERT_TRUE(fixtures::writeWav(padFile, 48000, 2, tone));
  for (int pad = 0; pad < 3; ++pad) {
    std::string error;
    ASSERT_TRUE(engine.pads.load(pad, padFile, error)) << error;
    engine.pads.pads[pad].loop.store(pad != 1);
    engine.pads.play(pad, true);
  }
}

std::vector<float> drainRing(StereoRing& ring) {
  std::vector<float> out(size_t{ring.capacity()} * 2);
  out.resize(size_t{ring.read(out.data(), ring.capacity())} * 2);
  return out;
}

} // namespace velto::test
