// The Hardware Inputs tab on a live engine: layout limits, tile sections and statuses, a noise
// profile measured from the simulated microphone, the noise filter switch and strength, help
// keys of the tiles and the effect panel of a chosen tile.
#include "effects/fx_chain.h"
#include "effects/input_fx.h"
#include "effects/noise_filter.h"
#include "platform/audio/manual_clock.h"
#include "platform/audio/sim_devices.h"
#include "tests/support/ui/ui_harness.h"
#include "ui/cards.h"
#include "ui/fader.h"
#include "ui/help.h"
#include "ui/window.h"

#include <imgui_internal.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace velto::test {
namespace {

namespace audio = platform::audio;

// Card height without the fader for the harness style: 7 x (6 + 24) + 16 + 12 + 12 + 2 x 25 +
// 2 x 19.
constexpr float kCardBase = 338.0f;

class InputsTabTest : public UiEngineTest {
public:
  void SetUp() override {
    UiEngineTest::SetUp();
    selectTab(kTabInputs);
    ui->frames(2);
  }
  void TearDown() override {
    gInputItem = 0;
    gInputSettings = 0;
    setHelpMode(false);
    UiEngineTest::TearDown();
  }

  // The child window drawn last frame whose id is `id` (items, settings, card).
  static const ImGuiWindow* child(const char* id, int nth = 0) {
    const std::string part = std::string("/") + id + "_";
    for (const ImGuiWindow* w : GImGui->Windows)
      if (w->Active && std::strstr(w->Name, part.c_str()) && nth-- == 0) return w;
    return nullptr;
  }
  // Text of the tiles of one section: after its heading up to `until`.
  std::string section(const char* heading, const char* until) const {
    const std::string& t = ui->text();
    const size_t from = t.find(std::string("\n") + heading + "\n");
    if (from == std::string::npos) return "";
    const size_t start = from + std::strlen(heading) + 2;
    std::string part = t.substr(start, t.find(until, start) - start);
    while (!part.empty() && part.back() == '\n') part.pop_back();
    return part;
  }
  // Clicks the last drawn `label`, found with the mouse away (a tooltip may repeat it).
  void clickText(const char* label) {
    ui->move(ImVec2(1, 1));
    ui->click(ui->textPos(label));
    ui->frame(); // what the click changed shows from the next frame on
  }
  void resize(float w, float h) {
    ImGui::GetIO().DisplaySize = ImVec2(w, h);
    ui->frames(2);
  }
  void typeInto(ImVec2 at, const char* text) {
    ui->hold(false, true);
    ui->click(at);
    ui->hold(false);
    ui->type(text);
    ui->key(ImGuiKey_Enter);
    ui->move(ImVec2(1, 1));
    ui->frames(10); // past the double-click time
  }
  // A point on the slider of the settings row labelled `label`, `column` right of the panel.
  ImVec2 sliderOf(const char* label, float column) const {
    return ImVec2(child("settings")->Pos.x + ImGui::GetStyle().WindowPadding.x + column + 30,
                  ui->textPos(label).y);
  }
  InputFx& bank(int b) { return *engine->hwInputs[0].fxChain->banks[b]; }
  NoiseFilter& filter() { return *engine->hwInputs[0].noiseFilter; }
};

TEST_F(InputsTabTest, LayoutKeepsItsLimitsAndCentresTheTab) {
  struct Row {
    float width, height;
    float areaW, cardW, faderH;
    int columns; // 0: the tiles lie outside the window
  } rows[] = {
      {600, 400, 420, 96, 120, 0},       // everything at its lower limit
      {900, 700, 420, 142.667f, 313, 4}, // cards between their limits
      {1100, 760, 433.6f, 180, 373, 4},  {1460, 800, 577.6f, 180, 413, 5},
      {2400, 1400, 760, 180, 420, 5}, // upper limits; 7 columns would fit
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.width);
    resize(r.width, r.height);
    const ImGuiWindow* items = child("items");
    const ImGuiWindow* card = child("card");
    ASSERT_TRUE(items && card);
    // Child windows take whole pixels.
    EXPECT_EQ(items->Size.x, std::floor(r.areaW));
    EXPECT_NEAR(gCardW, r.cardW, 0.01f);
    EXPECT_NEAR(gFaderH, r.faderH, 0.01f);
    EXPECT_NEAR(gCardH, kCardBase + r.faderH, 0.01f);
    EXPECT_EQ(card->Size.x, std::floor(r.cardW));

    // Centred when it fits; the right area starts 28 after the third card.
    const float availW = r.width - 16;
    const float total = 3 * r.cardW + 16 + 28 + r.areaW;
    EXPECT_NEAR(card->Pos.x, 8 + std::max(0.0f, (availW - total) * 0.5f), 0.51f);
    EXPECT_NEAR(items->Pos.x, card->Pos.x + 3 * std::floor(r.cardW) + 16 + 28, 0.51f);
    if (r.columns == 0) continue;

    // Looper (effect 11) and Low-Cut (effect 1) start alike: their offset gives the grid.
    const float tileW = (r.areaW - 16 - (r.columns - 1) * 8.0f) / r.columns;
    const float dx = (10 % r.columns) * (tileW + 8) +
                     (ImGui::CalcTextSize("Low-Cut").x - ImGui::CalcTextSize("Looper").x) * 0.5f;
    EXPECT_NEAR(ui->textPos("Looper").x - ui->textPos("Low-Cut").x, dx, 1.5f);
    EXPECT_NEAR(ui->textPos("Looper").y - ui->textPos("Low-Cut").y, 2 * (46 + 8), 0.5f);
    // The last row lies inside the child with its padding below.
    EXPECT_LE(ui->textPos("Looper").y + 23, items->Pos.y + items->Size.y - 8);
  }
}

TEST_F(InputsTabTest, TilesShowTheirStatus) {
  struct Row {
    const char* name;
    std::function<void(InputsTabTest&)> set;
    const char* shown;  // label and status, as drawn
    const char* absent; // null: nothing to miss
  } rows[] = {
      {"learning", [](InputsTabTest& t) { t.engine->startMeasure(0); }, "Rauschprofil\nmisst",
       "Messen"},
      {"not learning", [](InputsTabTest& t) { t.engine->discardProfile(0); }, "Messen", "misst"},
      {"filter on", [](InputsTabTest& t) { t.filter().enabled.store(true); },
       "Rauschfilter\n+10,7 ms", nullptr},
      {"filter off", [](InputsTabTest& t) { t.filter().enabled.store(false); }, "Rauschfilter",
       "+10,7"},
      {"echo canceller on", [](InputsTabTest& t) { t.bank(0).enabled[FxId::aec].store(true); },
       "AEC\n+5,3 ms", nullptr},
      {"echo canceller off", [](InputsTabTest& t) { t.bank(0).enabled[FxId::aec].store(false); },
       "AEC", "+5,3"},
      {"no notch", [](InputsTabTest&) {}, "Rückkopplung", "Kerbe"},
      {"one notch",
       [](InputsTabTest& t) {
         t.bank(0).notchHz[2].store(1200.0f);
         t.bank(0).notchDepthDb[2].store(9.0f);
       },
       "Rückkopplung\n1 Kerbe\n", nullptr},
      {"three notches",
       [](InputsTabTest& t) {
         t.bank(0).notchHz[0].store(300.0f);
         t.bank(0).notchDepthDb[0].store(3.0f);
         t.bank(0).notchHz[5].store(4000.0f);
         t.bank(0).notchDepthDb[5].store(12.0f);
       },
       "Rückkopplung\n3 Kerben", nullptr},
      {"limiter with lookahead",
       [](InputsTabTest& t) {
         t.bank(0).enabled[FxId::limiter].store(true);
         t.bank(0).set(FxId::limiter, 2, 1.0f);
       },
       "Limiter\n+1,0 ms", nullptr},
      {"limiter without lookahead", [](InputsTabTest& t) { t.bank(0).set(FxId::limiter, 2, 0.0f); },
       "Limiter", "+1,0"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    r.set(*this);
    ui->frame();
    EXPECT_TRUE(ui->shows(r.shown)) << ui->text();
    if (r.absent) {
      EXPECT_FALSE(ui->shows(r.absent));
    }
  }
}

TEST_F(InputsTabTest, SectionsHoldToolsAndTheChainsEffects) {
  FxChain& chain = *engine->hwInputs[0].fxChain;
  using S = FxChain::Slot;
  struct Row {
    const char* name;
    std::vector<S> movable;
    const char* effects;
  } rows[] = {
      {"only the limiter", {}, "Limiter"},
      {"a gate slot stays a tool", {S{0, FxId::gate}, S{0, FxId::echo}}, "Echo Limiter"},
      {"chain order and bank numbers",
       {S{1, FxId::echo}, S{0, FxId::reverb}, S{3, FxId::echo}},
       "Echo 2 Hall Echo 4 Limiter"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ASSERT_TRUE(chain.setMovable(r.movable));
    ui->frame();
    EXPECT_EQ(section("Werkzeuge", "\nEffekte\n"),
              "Rauschprofil Rauschfilter AEC Gate Rückkopplung");
    EXPECT_EQ(section("Effekte", "Rauschprofil"), r.effects) << ui->text();
  }
}

TEST_F(InputsTabTest, StaleItemFallsBackToBankOne) {
  FxChain& chain = *engine->hwInputs[0].fxChain;
  struct Row {
    int item;
    int bank; // made before the frame; 0 makes none
    int expect;
    const char* title;
  } rows[] = {
      {28, 0, 13, "Echo\n"},    // echo of bank 2 that does not exist
      {61, 0, 16, "Limiter\n"}, // limiter of bank 4
      {28, 1, 28, "Echo 2\n"},
      {13, 0, 13, "Echo\n"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.item);
    if (r.bank) chain.ensureBank(r.bank);
    gInputItem = r.item;
    ui->frame();
    EXPECT_EQ(gInputItem, r.expect);
    EXPECT_TRUE(ui->shows(std::string("\n") + r.title + "aus"))
        << testing::PrintToString(ui->text());
  }
  gInputSettings = -1;
  ui->frame();
  EXPECT_EQ(gInputSettings, 0);
}

TEST_F(InputsTabTest, ProfileMeasuredFromTheMicrophoneEnablesTheFilter) {
  engine->setHwInputDevice(0, "mic-uid");
  ASSERT_NE(engine->hwInputs[0].link.device, 0u);
  // 937.5 Hz lies on profile band 10.
  ASSERT_TRUE(audio::setSimInput("mic-uid", audio::SignalSource::sine(937.5, 0.1f)));
  const InputAnalysis& a = engine->analysis[0];

  // No profile: the switch does nothing and says why.
  clickText("Rauschfilter");
  ASSERT_EQ(gInputItem, 1);
  clickText("aus");
  EXPECT_FALSE(filter().enabled.load());
  EXPECT_TRUE(ui->shows("Erst Rauschprofil messen"));

  clickText("Rauschprofil");
  clickText("Messen");
  EXPECT_TRUE(a.measuring);
  EXPECT_TRUE(ui->shows("Rauschprofil\nmisst"));
  EXPECT_TRUE(ui->shows("Stopp"));
  EXPECT_FALSE(ui->shows("Löschen"));
  for (int k = 0; k < 8; ++k) {
    ASSERT_TRUE(audio::runCycles(6));
    ui->frame();
  }
  clickText("Stopp");
  ASSERT_TRUE(a.hasProfile);
  EXPECT_FALSE(a.measuring);
  EXPECT_GT(a.profile[10], -40.0f); // about -24 dB
  EXPECT_LT(a.profile[40], a.profile[10] - 30.0f);
  EXPECT_TRUE(ui->shows("Neu messen"));
  EXPECT_TRUE(ui->shows("Löschen"));

  clickText("Rauschfilter");
  ui->move(ui->textPos("aus"));
  ui->frame();
  EXPECT_TRUE(ui->shows("Senkt alles unter dem Profil ab")) << ui->text();
  clickText("aus");
  EXPECT_TRUE(filter().enabled.load());
  ui->frame();
  EXPECT_TRUE(ui->shows("Rauschfilter\n+10,7 ms"));

  clickText("Rauschprofil");
  clickText("Löschen");
  EXPECT_FALSE(filter().enabled.load());
  EXPECT_FALSE(a.hasProfile);
  EXPECT_TRUE(ui->shows("Messen"));
}

TEST_F(InputsTabTest, TypedStrengthStaysWithinItsRange) {
  gInputItem = 1;
  ui->frame();
  struct Row {
    const char* typed;
    float stored;
  } rows[] = {{"25", 25}, {"-30", 6}, {"100", 40}, {"3", 6}, {"12", 12}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.typed);
    typeInto(sliderOf("Stärke", 96), r.typed);
    EXPECT_NEAR(filter().strength.load(), r.stored, 1e-4f);
  }
}

TEST_F(InputsTabTest, SettingsPanelKeepsAUsableHeight) {
  FxChain& chain = *engine->hwInputs[0].fxChain;
  struct Row {
    const char* name;
    float height;
    bool longChain;
    bool clamped;
  } rows[] = {
      {"default chain", 800, false, false},
      {"short window", 420, false, false},
      {"long chain, short window", 420, true, true},
      {"long chain, tall window", 1400, true, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    if (r.longChain)
      for (int id = 0; id < kFxCount; ++id)
        while (chain.add(static_cast<FxId>(id))) {
        }
    resize(1460, r.height);
    const ImGuiWindow* items = child("items");
    const ImGuiWindow* settings = child("settings");
    ASSERT_TRUE(items && settings);
    const float rest = gCardH - items->Size.y - 6;
    EXPECT_NEAR(settings->Size.y, r.clamped ? 80.0f : rest, 0.01f);
    if (!r.clamped) {
      EXPECT_NEAR(settings->Pos.y + settings->Size.y, items->Pos.y + gCardH, 0.01f);
    }
  }
}

TEST_F(InputsTabTest, HelpKeysOfTheTiles) {
  FxChain::Slot second;
  ASSERT_TRUE(engine->hwInputs[0].fxChain->add(FxId::echo, &second));
  ASSERT_EQ(second.bank, 1);
  setHelpMode(true);
  struct Row {
    const char* at; // text under the mouse; null: a free spot of the tile area
    const char* key;
  } rows[] = {
      {"Rauschfilter", "werkzeuge#Rauschfilter"},
      {"Gate", "werkzeuge#Gate"},
      {"Hall", "effekte#Hall"},
      {"Echo 2", "effekte#Echo"}, // the help section of the effect, whatever its bank
      {nullptr, "hardware-inputs#Bereich rechts"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.key);
    ui->move(ImVec2(1, 1));
    const ImGuiWindow* items = child("items");
    ui->move(r.at ? ui->textPos(r.at) : ImVec2(items->Pos.x + items->Size.x - 4, items->Pos.y + 4));
    ui->frame();
    EXPECT_EQ(helpKeyUnderMouse(), r.key);
  }
}

TEST_F(InputsTabTest, ChosenEffectTileOpensItsPanelOnItsBank) {
  ASSERT_TRUE(engine->hwInputs[0].fxChain->add(FxId::echo));
  struct Row {
    const char* tile;
    int item;
    const char* param;
    int bank;
    FxId id;
    int index;
    const char* typed;
    float stored;
  } rows[] = {
      {"Hall", 14, "Anteil", 0, FxId::reverb, 0, "60", 60},
      {"Echo 2", 28, "Anteil", 1, FxId::echo, 2, "70", 70},
      {"Kompressor", 6, "Ratio", 0, FxId::compressor, 1, "4", 4},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.tile);
    clickText(r.tile);
    ui->frame();
    ASSERT_EQ(gInputItem, r.item);
    typeInto(sliderOf(r.param, 124), r.typed);
    EXPECT_NEAR(bank(r.bank).params[r.id][r.index].load(), r.stored, 1e-4f);
  }
  EXPECT_NEAR(bank(0).params[FxId::echo][2].load(), 25.0f, 1e-4f); // bank 1 untouched
}

} // namespace
} // namespace velto::test
