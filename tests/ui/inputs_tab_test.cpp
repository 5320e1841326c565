// The Hardware Inputs tab on a live engine: layout limits, tiles and their statuses, a noise
// profile measured from the simulated microphone, typed values, help keys of the tiles.
#include "effects/fx_chain.h"
#include "effects/input_fx.h"
#include "effects/noise_filter.h"
#include "platform/audio/layer/manual_clock.h"
#include "platform/audio/simulated/sim_devices.h"
#include "tests/support/ui/ui_harness.h"
#include "ui/cards.h"
#include "ui/fader.h"
#include "ui/window.h"

#include <imgui_internal.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

namespace velto::test {
namespace {

using S = FxChain::Slot;

class InputsTabTest : public UiEngineTest {
public:
  void SetUp() override {
    UiEngineTest::SetUp();
    selectTab(kTabInputs);
    ui->frames(2);
  }
  void TearDown() override {
    gInputItem = gInputSettings = 0;
    setHelpMode(false);
    UiEngineTest::TearDown();
  }
  // The child window `id` (items, settings, card) drawn in the last frame.
  static const ImGuiWindow* child(const char* id) {
    const std::string part = std::string("/") + id + "_";
    for (const ImGuiWindow* w : GImGui->Windows)
      if (w->Active && std::strstr(w->Name, part.c_str())) return w;
    return nullptr;
  }
  // With the mouse away first, so that no tooltip repeats the label.
  void clickText(const char* label) {
    ui->move(ImVec2(1, 1));
    ui->click(ui->textPos(label));
    ui->frame(); // what the click changed shows from the next frame on
  }
  InputFx& bank(int b) { return *engine->hwInputs[0].fxChain->banks[b]; }
  FxChain& chain() { return *engine->hwInputs[0].fxChain; }
  NoiseFilter& filter() { return *engine->hwInputs[0].noiseFilter; }
};

TEST_F(InputsTabTest, LayoutKeepsItsLimitsAndCentresTheTab) {
  struct Row {
    float width, height, areaW, cardW, faderH;
    bool tilesShown;
  } rows[] = {
      {600, 400, 420, 96, 120, false},
      {1460, 800, 577.6f, 180, 413, true},
      {2400, 1400, 760, 180, 420, true}, // 7 columns would fit
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.width);
    ImGui::GetIO().DisplaySize = ImVec2(r.width, r.height);
    ui->frames(2);
    const ImGuiWindow *items = child("items"), *card = child("card");
    ASSERT_TRUE(items && card);
    EXPECT_EQ(items->Size.x, std::floor(r.areaW)); // child windows take whole pixels
    EXPECT_NEAR(gCardW, r.cardW, 0.01f);
    EXPECT_NEAR(gFaderH, r.faderH, 0.01f);
    const float total = 3 * r.cardW + 16 + 28 + r.areaW;
    EXPECT_NEAR(card->Pos.x, 8 + std::max(0.0f, (r.width - 16 - total) * 0.5f), 0.51f);
    if (!r.tilesShown) continue;
    // Looper, the 10th effect tile, two rows below Low-Cut; rows 8 apart keep the last inside.
    EXPECT_NEAR(ui->textPos("Looper").y - ui->textPos("Low-Cut").y, 2 * (46 + 8), 0.5f);
    EXPECT_LE(ui->textPos("Looper").y + 23, items->Pos.y + items->Size.y - 8); // padding below
  }
  // A long chain in a short window: the settings keep 80.
  ImGui::GetIO().DisplaySize = ImVec2(1460, 420);
  for (int id = 0; id < kFxCount; ++id)
    while (chain().add(static_cast<FxId>(id))) {
    }
  ui->frame();
  EXPECT_EQ(child("settings")->Size.y, 80.0f);
}

TEST_F(InputsTabTest, TilesSectionsAndStatuses) {
  struct Row {
    const char* name;
    std::function<void()> set;
    const char* shown;
    const char* absent = "";
  } rows[] = {
      {"learning", [&] { engine->startMeasure(0); }, "Rauschprofil\nmisst", "Messen"},
      {"not learning", [&] { engine->discardProfile(0); }, "Messen", "misst"},
      {"filter on", [&] { filter().enabled = true; }, "Rauschfilter\n+10,7 ms"},
      {"filter off", [&] { filter().enabled = false; }, "Rauschfilter", "+10,7"},
      {"AEC on", [&] { bank(0).enabled[aec] = true; }, "AEC\n+5,3 ms"},
      {"AEC off", [&] { bank(0).enabled[aec] = false; }, "AEC", "+5,3"},
      {"no notch", [] {}, "Rückkopplung", "Kerbe"},
      {"one notch", [&] { bank(0).notchDepthDb[2] = 9; }, "Rückkopplung\n1 Kerbe\n"},
      {"three notches", [&] { bank(0).notchDepthDb[0] = bank(0).notchDepthDb[5] = 3; },
       "Rückkopplung\n3 Kerben"},
      {"lookahead", [&] { bank(0).enabled[limiter] = true; }, "Limiter\n+1,0 ms"},
      {"no lookahead", [&] { bank(0).set(limiter, 2, 0); }, "Limiter", "+1,0"},
      {"only the limiter", [&] { chain().setMovable({}); }, "\nEffekte\nLimiter\n\n", "Echo"},
      {"a gate slot stays a tool",
       [&] {
         chain().setMovable({S{0, gate}, S{0, echo}});
       },
       "AEC Gate\nRückkopplung\n3 Kerben\nEffekte\nEcho Limiter\n\n"},
      {"bank numbers",
       [&] {
         chain().setMovable({S{1, echo}, S{0, reverb}, S{3, echo}});
       },
       "\nEffekte\nEcho 2 Hall Echo 4 Limiter\n"},
      {"stale item", [&] { chain().setMovable({}), gInputItem = 2 + echo + 15 * 2; }, "\nEcho\naus",
       "Echo 3"},
      {"item of a bank that exists", [] { gInputItem = 2 + echo + 15 * 3; }, "\nEcho 4\naus"},
  };
  bank(0).set(limiter, 2, 1);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    r.set();
    ui->frame();
    EXPECT_TRUE(ui->shows(r.shown)) << ui->text();
    EXPECT_FALSE(*r.absent && ui->shows(r.absent)) << r.absent;
  }
  EXPECT_EQ(gInputItem, 2 + echo + 15 * 3);
  gInputSettings = -1;
  ui->frame();
  EXPECT_EQ(gInputSettings, 0);
}

TEST_F(InputsTabTest, ProfileMeasuredFromTheMicrophoneEnablesTheFilter) {
  engine->setHwInputDevice(0, "mic-uid");
  // 937.5 Hz lies on profile band 10.
  ASSERT_TRUE(
      platform::audio::setSimInput("mic-uid", platform::audio::SignalSource::sine(937.5, 0.1f)));
  const InputAnalysis& a = engine->analysis[0];
  clickText("Rauschfilter");
  clickText("aus"); // no profile: disabled
  EXPECT_FALSE(filter().enabled.load());
  EXPECT_TRUE(ui->shows("Erst Rauschprofil messen"));

  clickText("Rauschprofil");
  clickText("Messen");
  EXPECT_TRUE(a.measuring);
  EXPECT_TRUE(ui->shows("Stopp") && ui->shows("Rauschprofil\nmisst") && !ui->shows("Löschen"));
  for (int k = 0; k < 8; ++k) {
    ASSERT_TRUE(platform::audio::runCycles(6));
    ui->frame();
  }
  clickText("Stopp");
  ASSERT_TRUE(a.hasProfile);
  EXPECT_GT(a.profile[10], -40.0f); // about -24 dB
  EXPECT_LT(a.profile[40], a.profile[10] - 30.0f);
  EXPECT_TRUE(ui->shows("Neu messen") && ui->shows("Löschen"));

  clickText("Rauschfilter");
  ui->move(ui->textPos("aus"));
  ui->frame();
  EXPECT_TRUE(ui->shows("Senkt alles unter dem Profil ab"));
  clickText("aus");
  EXPECT_TRUE(filter().enabled.load());
  EXPECT_TRUE(ui->shows("Rauschfilter\n+10,7 ms"));

  clickText("Rauschprofil");
  clickText("Löschen");
  EXPECT_FALSE(filter().enabled.load() || a.hasProfile);
}

TEST_F(InputsTabTest, TypedValuesReachTheirBankWithinRange) {
  ASSERT_TRUE(chain().add(echo)); // Echo 2
  struct Row {
    const char* tile;
    const char* param;
    float column; // of the value
    const char* typed;
    std::function<float(InputsTabTest&)> stored;
    float expect;
  } rows[] = {
      {"Rauschfilter", "Stärke", 96, "-30", [](auto& t) { return t.filter().strength.load(); }, 6},
      {"Rauschfilter", "Stärke", 96, "100", [](auto& t) { return t.filter().strength.load(); }, 40},
      {"Echo 2", "Anteil", 124, "70", [](auto& t) { return t.bank(1).params[echo][2].load(); }, 70},
      {"Kompressor", "Ratio", 124, "4",
       [](auto& t) { return t.bank(0).params[compressor][1].load(); }, 4},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.typed);
    clickText(r.tile);
    ui->hold(false, true);
    ui->click(ImVec2(child("settings")->Pos.x + 8 + r.column + 30, ui->textPos(r.param).y));
    ui->hold(false);
    ui->type(r.typed);
    ui->key(ImGuiKey_Enter);
    EXPECT_NEAR(r.stored(*this), r.expect, 1e-4f);
    ui->frames(10); // past the double-click time
  }
  EXPECT_NEAR(bank(0).params[echo][2].load(), 25.0f, 1e-4f); // the first echo untouched
}

TEST_F(InputsTabTest, HelpKeysOfTheTiles) {
  ASSERT_TRUE(chain().add(echo));
  setHelpMode(true);
  const char* rows[][2] = {{"Rauschfilter", "werkzeuge#Rauschfilter"},
                           {"Hall", "effekte#Hall"},
                           {"Echo 2", "effekte#Echo"}, // every bank shares the effect's section
                           {nullptr, "hardware-inputs#Bereich rechts"}};
  for (const auto& [at, key] : rows) {
    ui->move(ImVec2(1, 1));
    const ImGuiWindow* items = child("items");
    ui->move(at ? ui->textPos(at) : ImVec2(items->Pos.x + items->Size.x - 4, items->Pos.y + 4));
    ui->frame();
    EXPECT_EQ(helpKeyUnderMouse(), key);
  }
}

} // namespace
} // namespace velto::test
