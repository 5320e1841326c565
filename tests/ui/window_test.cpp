#include "effects/fx_table.h"
#include "effects/input_fx.h"
#include "tests/support/ui/ui_harness.h"
#include "ui/style.h"
#include "ui/window.h"

#include <gtest/gtest.h>

#include <functional>

namespace velto::test {
namespace {

class WindowTest : public UiEngineTest {
protected:
  void TearDown() override {
    gWantTab = -1;
    gWantSection.clear();
    UiEngineTest::TearDown();
  }
};

TEST_F(WindowTest, TabRequestsSelectTheirTabAtTheNextFrame) {
  struct Case {
    const char* name;
    std::function<void(Engine&)> request;
    const char* selected;
    const char* section;
  };
  const Case cases[] = {
      {"menu Effekte", [](Engine&) { selectTab(kTabEffects); }, "Effekte", ""},
      {"later request wins",
       [](Engine&) {
         selectTab(kTabVirtualInputs);
         selectTab(kTabPads);
       },
       "Pads", ""},
      {"settings without section", [](Engine&) { showSettings(nullptr); }, "Einstellungen", ""},
      {"settings section", [](Engine&) { showSettings("Audio"); }, "Einstellungen", "Audio"},
      {"VELTO_TAB any case", [](Engine& e) { applyWindowEnv(e, "EfFeCtS", nullptr, nullptr); },
       "Effekte", ""},
      {"VELTO_TAB visual", [](Engine& e) { applyWindowEnv(e, "visual", nullptr, nullptr); },
       "Visualisierung", ""},
      {"VELTO_TAB unknown word", [](Engine& e) { applyWindowEnv(e, "mixer", nullptr, nullptr); },
       "Board", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    selectTab(kTabBoard);
    ui->frames(2);
    ASSERT_EQ(ui->selectedTab(), "Board");
    c.request(*engine);
    EXPECT_EQ(gWantSection, c.section);
    ui->frame();
    EXPECT_EQ(gWantTab, -1); // consumed by the frame
    ui->frame();
    EXPECT_EQ(ui->selectedTab(), c.selected);
    gWantSection.clear();
  }
}

TEST_F(WindowTest, SelectionIndexesAreClampedToWhatExists) {
  struct Case {
    std::function<void()> request;
    const int* stored;
    int expected;
  };
  const Case cases[] = {
      {[this] { applyWindowEnv(*engine, nullptr, "99", nullptr); }, &gInputItem, 61},
      {[this] { applyWindowEnv(*engine, nullptr, "-5", nullptr); }, &gInputItem, 0},
      {[this] { applyWindowEnv(*engine, nullptr, "zwei", nullptr); }, &gInputItem, 0},
      {[this] { applyWindowEnv(*engine, nullptr, "17", nullptr); }, &gInputItem, 17},
      {[] { selectInputItem(62); }, &gInputItem, 61},
      {[] { selectSettings(true, 7); }, &gOutputSettings, 2},
      {[] { selectSettings(true, 1); }, &gOutputSettings, 1},
      {[] { selectSettings(false, -3); }, &gInputSettings, 0},
      {[] { selectSettings(false, 2); }, &gInputSettings, 2},
  };
  for (const Case& c : cases) {
    gInputItem = gOutputSettings = gInputSettings = 5;
    c.request();
    EXPECT_EQ(*c.stored, c.expected);
  }
  gInputItem = gOutputSettings = gInputSettings = 0;
}

TEST_F(WindowTest, FxDemoSwitchesOnTheSetOfHardwareInputOne) {
  InputFx& fx = *engine->hwInputs[0].fx;
  applyWindowEnv(*engine, nullptr, nullptr, "1");
  for (FxId id : {FxId::gate, FxId::lowCut, FxId::eq, FxId::compressor, FxId::limiter})
    EXPECT_TRUE(fx.enabled[id].load()) << id;
  for (FxId id : {FxId::aec, FxId::deEsser, FxId::reverb, FxId::looper})
    EXPECT_FALSE(fx.enabled[id].load()) << id;
  EXPECT_FLOAT_EQ(fx.params[FxId::limiter][2].load(), 1.0f);
  EXPECT_FLOAT_EQ(fx.params[FxId::eq][1].load(), 3.0f);
  EXPECT_FLOAT_EQ(fx.params[FxId::eq][3].load(), -4.0f);
  EXPECT_FLOAT_EQ(fx.params[FxId::eq][9].load(), 2.5f);
  EXPECT_FALSE(engine->hwInputs[1].fx->enabled[FxId::gate].load());
}

TEST_F(WindowTest, PointsOfTheLastFrameAndOutOfRangeIndexesGiveZero) {
  ui->frames(2);
  const ImGuiStyle& style = ImGui::GetStyle();
  const ImVec2 help = helpButtonPoint();
  EXPECT_FLOAT_EQ(help.x, UiHarness::kWidth - style.WindowPadding.x - 30 + 15);
  EXPECT_GT(help.y, ui->tabCentre("Board").y); // below the bar, at the content top
  EXPECT_GT(boardCardPoint(5).x, boardCardPoint(0).x);
  EXPECT_GT(boardGearPoint().x, 0.0f);
  const ImVec2 points[] = {boardCardPoint(64),        boardCardPoint(-1),
                           boardArrowPoint(64, true), boardArrowPoint(-1, false),
                           fxNodePoint(3, 0),         fxNodePoint(0, 40),
                           fxNodePoint(-1, -1),       fxPlusPoint(3),
                           playerButtonPoint(6),      padPoint(16),
                           vizSourcePoint(9),         vizTargetPoint(-1)};
  for (const ImVec2& p : points) {
    EXPECT_EQ(p.x, 0.0f);
    EXPECT_EQ(p.y, 0.0f);
  }
}

} // namespace
} // namespace velto::test
