// CPU time of one steady frame of the mixer window, headless (an ImGui context without a back
// end, 1460 x 800, the frame built and rendered to draw lists), for each of the eleven tabs: the
// Board with its six default cards, the Hardware Inputs tab with every effect on, the Effects tab
// with the longest chains, the others as a fresh start shows them. Warm-up frames are not
// measured: the first frames lay the window out and start the loopers' buffers, which then
// arrive from the background queue. Engine without devices (not live), on the main thread.
#include "api/api.h"
#include "effects/fx_chain.h"
#include "effects/input_fx.h"
#include "effects/noise_filter.h"
#include "engine/engine.h"
#include "platform/dispatch/background_queue.h"
#include "platform/dispatch/main_queue.h"
#include "ui/effects_tab.h"
#include "ui/style.h"
#include "ui/window.h"

#include <benchmark/benchmark.h>
#include <imgui.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void setUpEnvironment() {
  // Never the real machine's folders: the engine reads HOME, the audio layer the system root.
  static char home[] = "/tmp/velto-ui-bench-XXXXXX";
  static char root[] = "/tmp/velto-ui-bench-root-XXXXXX";
  static bool done = false;
  if (done) return;
  done = true;
  if (mkdtemp(home) != nullptr) setenv("HOME", home, 1);
  if (mkdtemp(root) != nullptr) setenv("VELTO_SYSTEM_ROOT", root, 1);
}

constexpr int kWarmUpFrames = 30; // before and after the background work has been handed over

// Frames of the window on `engine`, the mouse at `mouse`, until the state stops.
void runFrames(benchmark::State& state, velto::Engine& engine, ImVec2 mouse) {
  velto::Api api(engine);
  ImGuiContext* context = ImGui::CreateContext();
  ImGuiIO& io = ImGui::GetIO();
  io.DisplaySize = ImVec2(1460, 800);
  io.DeltaTime = 1.0f / 30.0f;
  io.IniFilename = nullptr;
  unsigned char* pixels = nullptr;
  int w = 0, h = 0;
  io.Fonts->AddFontDefault();
  io.Fonts->GetTexDataAsRGBA32(&pixels, &w, &h);
  io.Fonts->SetTexID(reinterpret_cast<ImTextureID>(static_cast<intptr_t>(1)));
  velto::applyStyle();
  io.MousePos = mouse;
  auto frame = [&] {
    ImGui::NewFrame();
    velto::drawMixer(engine, api);
    ImGui::Render();
  };
  for (int i = 0; i < kWarmUpFrames; ++i) frame();
  platform::dispatch::waitBackgroundIdle(std::chrono::seconds(60));
  platform::dispatch::runMainQueueUntilIdle();
  for (int i = 0; i < kWarmUpFrames; ++i) frame();
  size_t vertices = 0;
  for (auto _ : state) {
    frame();
    vertices += static_cast<size_t>(ImGui::GetDrawData()->TotalVtxCount);
  }
  state.SetLabel("steady frames, " + std::to_string(2 * kWarmUpFrames) +
                 " warm-up frames excluded");
  state.counters["vertices/frame"] =
      benchmark::Counter(static_cast<double>(vertices) / static_cast<double>(state.iterations()));
  ImGui::DestroyContext(context);
  velto::selectTab(velto::kTabBoard);
}

void boardFrame(benchmark::State& state) {
  setUpEnvironment();
  velto::Engine engine(false);
  velto::selectTab(velto::kTabBoard);
  runFrames(state, engine, ImVec2(700, 400)); // over a card, so its hover paths run too
}
BENCHMARK(boardFrame)->Unit(benchmark::kMicrosecond);

// The Hardware Inputs tab with every effect of the first input on, a noise profile shown under
// the live spectrum, and the mouse over a tile.
void inputsFrame(benchmark::State& state) {
  setUpEnvironment();
  velto::Engine engine(false);
  for (auto& on : engine.hwInputs[0].fx->enabled) on.store(true);
  engine.hwInputs[0].noiseFilter->enabled.store(true);
  float profile[257];
  for (int b = 0; b < 257; ++b) profile[b] = -90.0f + 40.0f / (1.0f + b);
  engine.setProfile(0, profile);
  velto::selectTab(velto::kTabInputs);
  runFrames(state, engine, ImVec2(900, 90));
}
BENCHMARK(inputsFrame)->Unit(benchmark::kMicrosecond);

// The Effects tab with every input's chain at its longest (three banks of every movable effect,
// 40 nodes a row), every effect switched on and the EQ of the first input in the settings panel.
void effectsFrame(benchmark::State& state) {
  setUpEnvironment();
  velto::Engine engine(false);
  for (velto::HwInput& in : engine.hwInputs) {
    std::vector<velto::FxChain::Slot> slots;
    for (uint8_t bank = 0; bank < 3; ++bank)
      for (const uint32_t id : velto::kDefault)
        slots.push_back({bank, static_cast<velto::FxId>(id)});
    in.fxChain->setMovable(slots);
    for (auto& bank : in.fxChain->banks)
      if (bank)
        for (auto& on : bank->enabled) on.store(true);
  }
  velto::selectTab(velto::kTabEffects);
  velto::gFxItem = 2 + velto::FxId::eq;
  runFrames(state, engine, ImVec2(400, 110)); // over a node of the first row: its tooltip runs
  velto::gFxItem = -1;
}
BENCHMARK(effectsFrame)->Unit(benchmark::kMicrosecond);

// Every other tab as a fresh start shows it, the mouse in the middle of the window.
void tabFrame(benchmark::State& state, int tab) {
  setUpEnvironment();
  velto::Engine engine(false);
  velto::selectTab(tab);
  runFrames(state, engine, ImVec2(730, 400));
}
BENCHMARK_CAPTURE(tabFrame, outputs, velto::kTabOutputs)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(tabFrame, virtualInputs, velto::kTabVirtualInputs)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(tabFrame, virtualOutputs, velto::kTabVirtualOutputs)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(tabFrame, software, velto::kTabSoftware)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(tabFrame, player, velto::kTabPlayer)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(tabFrame, pads, velto::kTabPads)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(tabFrame, visual, velto::kTabVisual)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(tabFrame, settings, velto::kTabSettings)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
