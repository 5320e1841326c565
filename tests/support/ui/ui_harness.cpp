#include "tests/support/ui/ui_harness.h"

#include "api/hooks.h"
#include "effects/fx_chain.h"
#include "effects/input_fx.h"
#include "platform/audio/listeners.h"
#include "platform/audio/sim_signal.h"
#include "platform/dispatch/main_queue.h"
#include "ui/style.h"
#include "ui/window.h"

#include <imgui_internal.h>

namespace velto::test {

namespace audio = platform::audio;

UiHarness::UiHarness() {
  context_ = ImGui::CreateContext();
  ImGuiIO& io = ImGui::GetIO();
  io.DisplaySize = ImVec2(kWidth, kHeight);
  io.DeltaTime = 1.0f / 30.0f;
  io.IniFilename = nullptr;
  io.LogFilename = nullptr;
  unsigned char* pixels = nullptr;
  int w = 0, h = 0;
  io.Fonts->AddFontDefault();
  io.Fonts->GetTexDataAsRGBA32(&pixels, &w, &h);
  io.Fonts->SetTexID(reinterpret_cast<ImTextureID>(static_cast<intptr_t>(1)));
  // Key indexes are the ImGuiKey values themselves.
  for (int k = 0; k < ImGuiKey_COUNT; ++k) io.KeyMap[k] = k;
  applyStyle();
}

UiHarness::~UiHarness() {
  ImGui::DestroyContext(context_);
}

void UiHarness::sceneInWindow(std::function<void()> body) {
  scene = [body = std::move(body)] {
    ImGui::SetNextWindowPos(ImVec2(0, 0));
    ImGui::SetNextWindowSize(ImVec2(kWidth, kHeight));
    ImGui::Begin("test", nullptr,
                 ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove |
                     ImGuiWindowFlags_NoBringToFrontOnFocus);
    body();
    ImGui::End();
  };
}

void UiHarness::frame() {
  ImGui::NewFrame();
  ImGui::LogToBuffer();
  if (scene) scene();
  text_ = GImGui->LogBuffer.c_str();
  ImGui::LogFinish();
  ImGui::Render();
  ImGui::GetIO().MouseWheel = 0.0f;
  audio::flushNotifications();
  platform::dispatch::runMainQueueUntilIdle();
}

void UiHarness::frames(int count) {
  for (int i = 0; i < count; ++i) frame();
}

void UiHarness::move(ImVec2 pos) {
  ImGui::GetIO().MousePos = pos;
  frame();
}

void UiHarness::press(int button) {
  ImGui::GetIO().MouseDown[button] = true;
  frame();
}

void UiHarness::release(int button) {
  ImGui::GetIO().MouseDown[button] = false;
  frame();
}

void UiHarness::click(ImVec2 pos, int button) {
  move(pos);
  press(button);
  release(button);
}

void UiHarness::doubleClick(ImVec2 pos) {
  click(pos);
  press();
  release();
}

void UiHarness::drag(ImVec2 from, ImVec2 to, int steps) {
  move(from);
  press();
  for (int s = 1; s <= steps; ++s) {
    const float f = static_cast<float>(s) / static_cast<float>(steps);
    ImGui::GetIO().MousePos = ImVec2(from.x + (to.x - from.x) * f, from.y + (to.y - from.y) * f);
    frame();
  }
  release();
}

void UiHarness::wheel(ImVec2 pos, float lines) {
  move(pos);
  ImGui::GetIO().MouseWheel = lines;
  frame();
}

void UiHarness::hold(bool shift, bool ctrl, bool alt) {
  ImGuiIO& io = ImGui::GetIO();
  io.KeyShift = shift;
  io.KeyCtrl = ctrl;
  io.KeyAlt = alt;
}

void UiHarness::key(ImGuiKey key) {
  ImGuiIO& io = ImGui::GetIO();
  io.KeysDown[io.KeyMap[key]] = true;
  frame();
  io.KeysDown[io.KeyMap[key]] = false;
  frame();
}

void UiHarness::type(const char* text) {
  ImGui::GetIO().AddInputCharactersUTF8(text);
  frame();
}

ImVec2 UiHarness::tabCentre(const char* label) const {
  ImPool<ImGuiTabBar>& bars = GImGui->TabBars;
  for (int n = 0; n < bars.GetMapSize(); ++n) {
    ImGuiTabBar* bar = bars.TryGetMapData(n);
    if (!bar) continue;
    for (const ImGuiTabItem& tab : bar->Tabs)
      if (std::string(bar->GetTabName(&tab)) == label)
        return ImVec2(bar->BarRect.Min.x + tab.Offset - bar->ScrollingAnim + tab.Width * 0.5f,
                      (bar->BarRect.Min.y + bar->BarRect.Max.y) * 0.5f);
  }
  return ImVec2(-1, -1);
}

std::string UiHarness::selectedTab() const {
  ImPool<ImGuiTabBar>& bars = GImGui->TabBars;
  for (int n = 0; n < bars.GetMapSize(); ++n) {
    ImGuiTabBar* bar = bars.TryGetMapData(n);
    if (!bar) continue;
    for (const ImGuiTabItem& tab : bar->Tabs)
      if (tab.ID == bar->SelectedTabId) return bar->GetTabName(&tab);
    return "";
  }
  return "";
}

void UiEngineTest::SetUp() {
  appHooks() = AppHooks{};
  platform::dispatch::resetMainQueue();
  system = std::make_unique<AudioTestSystem>();
  ASSERT_TRUE(system->started());
  ASSERT_NE(addMicrophone("mic-uid", "Mikrofon", audio::SignalSource::silence()), 0u);
  ASSERT_NE(addSpeaker("spk-uid", "Lautsprecher"), 0u);
  ASSERT_NE(addSpeaker("phones-uid", "Kopfhörer"), 0u);
  engine = std::make_unique<Engine>(true);
  for (HwInput& in : engine->hwInputs)
    for (auto& bank : in.fxChain->banks)
      if (bank)
        for (auto& on : bank->enabled) on.store(false);
  for (Bus& bus : engine->buses)
    if (bus.fx)
      for (auto& on : bus.fx->enabled) on.store(false);
  api = std::make_unique<Api>(*engine);
  ui = std::make_unique<UiHarness>();
  ui->scene = [this] { drawMixer(*engine, *api); };
  settle();
}

void UiEngineTest::TearDown() {
  ui.reset();
  api.reset();
  engine.reset();
  platform::dispatch::resetMainQueue();
  system.reset();
  appHooks() = AppHooks{};
}

void UiEngineTest::settle() {
  for (int round = 0; round < 3; ++round) {
    audio::flushNotifications();
    platform::dispatch::runMainQueueUntilIdle();
  }
}

} // namespace velto::test
