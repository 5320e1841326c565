// CPU time of one frame of the mixer window on the Board with its six default cards, and on the
// Effects tab with the longest chains, headless (an ImGui context without a back end, 1460 x 800,
// the frame built and rendered to draw lists).
// Engine without devices (not live), on the main thread.
#include "api/api.h"
#include "effects/fx_chain.h"
#include "engine/engine.h"
#include "ui/effects_tab.h"
#include "ui/style.h"
#include "ui/window.h"

#include <benchmark/benchmark.h>
#include <imgui.h>

#include <cstdint>
#include <cstdlib>
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

void boardFrame(benchmark::State& state) {
  setUpEnvironment();
  velto::Engine engine(false);
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
  io.MousePos = ImVec2(700, 400); // over a card, so its hover paths run too
  size_t vertices = 0;
  for (auto _ : state) {
    ImGui::NewFrame();
    velto::drawMixer(engine, api);
    ImGui::Render();
    vertices += static_cast<size_t>(ImGui::GetDrawData()->TotalVtxCount);
  }
  state.counters["vertices/frame"] =
      benchmark::Counter(static_cast<double>(vertices) / static_cast<double>(state.iterations()));
  ImGui::DestroyContext(context);
}
BENCHMARK(boardFrame)->Unit(benchmark::kMicrosecond);

// The Effects tab with every input's chain at its longest (three banks of every movable effect,
// 40 nodes a row), every effect switched on and the EQ of the first input in the settings panel.
void effectsFrame(benchmark::State& state) {
  setUpEnvironment();
  velto::Engine engine(false);
  velto::Api api(engine);
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
  velto::selectTab(velto::kTabEffects);
  velto::gFxItem = 2 + velto::FxId::eq;
  io.MousePos = ImVec2(400, 110); // over a node of the first row, so its tooltip runs too
  size_t vertices = 0;
  for (auto _ : state) {
    ImGui::NewFrame();
    velto::drawMixer(engine, api);
    ImGui::Render();
    vertices += static_cast<size_t>(ImGui::GetDrawData()->TotalVtxCount);
  }
  state.counters["vertices/frame"] =
      benchmark::Counter(static_cast<double>(vertices) / static_cast<double>(state.iterations()));
  ImGui::DestroyContext(context);
  velto::gFxItem = -1;
}
BENCHMARK(effectsFrame)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
