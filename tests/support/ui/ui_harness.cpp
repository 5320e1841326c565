#include "tests/support/ui/ui_harness.h"

#include "api/hooks.h"
#include "effects/fx_chain.h"
#include "effects/input_fx.h"
#include "platform/audio/layer/listeners.h"
#include "platform/audio/simulated/sim_signal.h"
#include "platform/dispatch/main_queue.h"
#include "ui/style.h"
#include "ui/window.h"

#include <imgui_internal.h>

#include <cmath>
#include <map>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace velto::test {

namespace audio = platform::audio;

namespace {

// Symbols the window's texts use beyond Latin-1, merged from a system face when it is there.
const ImWchar kSymbolRanges[] = {0x2010, 0x2027, 0x2190, 0x21FF, 0x2200, 0x23FF, 0x25A0, 0x25FF, 0};
const char* const kSymbolFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

using GlyphMap = std::map<std::pair<float, float>, const ImFontGlyph*>;
GlyphMap gGlyphs; // by the texture coordinates of a glyph's top-left corner

void appendUtf8(std::string& out, unsigned c) {
  char buf[5];
  out += ImTextCharToUtf8(buf, c);
}

// Reads the texts back from the rendered frame: every glyph quad is looked up by its texture
// coordinates; a new line starts where the line top changes, a blank where a gap is left.
void renderedText(std::string& out, std::vector<ImVec2>& at) {
  out.clear();
  at.clear();
  const ImDrawData* data = ImGui::GetDrawData();
  if (!data) return;
  for (int l = 0; l < data->CmdListsCount; ++l) {
    const ImVector<ImDrawVert>& v = data->CmdLists[l]->VtxBuffer;
    float lineTop = -1e9f, pen = -1e9f;
    for (int i = 0; i + 3 < v.Size; ++i) {
      auto found = gGlyphs.find({v[i].uv.x, v[i].uv.y});
      if (found == gGlyphs.end()) continue;
      const ImFontGlyph& g = *found->second;
      if (v[i + 2].uv.x != g.U1 || v[i + 2].uv.y != g.V1 || g.X1 <= g.X0) continue;
      const float scale = (v[i + 2].pos.x - v[i].pos.x) / (g.X1 - g.X0);
      const float left = v[i].pos.x - g.X0 * scale;
      const float top = v[i].pos.y - g.Y0 * scale;
      if (!out.empty()) {
        if (std::fabs(top - lineTop) > 1.0f || left < pen - 1.0f)
          out += '\n';
        else if (left > pen + 2.0f * scale)
          out += ' ';
        at.resize(out.size(), ImVec2(-1, -1));
      }
      appendUtf8(out, g.Codepoint);
      // every byte of the glyph maps to the glyph's centre
      at.resize(out.size(),
                ImVec2((v[i].pos.x + v[i + 2].pos.x) * 0.5f, (v[i].pos.y + v[i + 2].pos.y) * 0.5f));
      lineTop = top;
      pen = left + g.AdvanceX * scale;
      i += 3;
    }
    if (!out.empty() && out.back() != '\n') out += '\n';
    at.resize(out.size(), ImVec2(-1, -1));
  }
}

} // namespace

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
  struct stat st;
  if (::stat(kSymbolFont, &st) == 0) {
    ImFontConfig merge;
    merge.MergeMode = true;
    io.Fonts->AddFontFromFileTTF(kSymbolFont, 13.0f, &merge, kSymbolRanges);
  }
  io.Fonts->GetTexDataAsRGBA32(&pixels, &w, &h);
  gGlyphs.clear();
  for (ImFont* font : io.Fonts->Fonts)
    for (const ImFontGlyph& g : font->Glyphs)
      if (g.Visible) gGlyphs[{g.U0, g.V0}] = &g;
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
  if (scene) scene();
  ImGui::Render();
  renderedText(text_, textAt_);
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

ImVec2 UiHarness::textPos(const std::string& part) const {
  const size_t at = text_.rfind(part);
  return at == std::string::npos ? ImVec2(-1, -1) : textAt_[at];
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
  system = std::make_unique<AudioTestSystem>(audioOptions);
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
