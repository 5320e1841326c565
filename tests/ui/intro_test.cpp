#include "tests/support/ui/ui_harness.h"
#include "ui/intro.h"
#include "ui/window.h"

#include <gtest/gtest.h>

#include <imgui.h>

#include <vector>

namespace velto::test {
namespace {

std::vector<bool> gSoundCalls;
void recordSound(bool play) {
  gSoundCalls.push_back(play);
}

class IntroTest : public UiEngineTest {
protected:
  void SetUp() override {
    UiEngineTest::SetUp();
    gSoundCalls.clear();
    setIntroSound(recordSound);
  }
  void TearDown() override {
    setIntroSound(nullptr);
    gIntroOn = false;
    gIntroStart = -1.0;
    gIntroFixed = -1.0f;
    UiEngineTest::TearDown();
  }
  bool tabsShown() const { return ui->shows("Hardware Outputs"); }

  // Vertices of the last frame with exactly this colour.
  static int verticesOf(ImU32 colour) {
    int n = 0;
    const ImDrawData* data = ImGui::GetDrawData();
    for (int l = 0; data && l < data->CmdListsCount; ++l)
      for (const ImDrawVert& v : data->CmdLists[l]->VtxBuffer)
        if (v.col == colour) ++n;
    return n;
  }
};

TEST_F(IntroTest, ClockSoundSkipAndEnd) {
  struct Case {
    const char* name;
    int skipAtFrame; // key pressed at that frame; -1 none
    int tabsFrom;    // first frame (1-based) that shows the tabs
    int endsAfter;   // frames until the intro is over
    std::vector<bool> sound;
  };
  // 30 frames per second: tabs at 5.0 s, end at 5.6 s.
  const Case cases[] = {
      {"runs to its end", -1, 151, 169, {true}},
      {"key at 1 s skips to the fade-in", 30, 30, 48, {true, false}},
      {"key after 5 s does nothing special", 155, 151, 169, {true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gSoundCalls.clear();
    startIntro();
    int firstTabs = -1, over = -1;
    for (int f = 1; f <= 200 && over < 0; ++f) {
      if (f == c.skipAtFrame)
        ui->key(ImGuiKey_Space); // two frames: down, then up
      else
        ui->frame();
      if (firstTabs < 0 && tabsShown()) firstTabs = f;
      if (!introRunning()) over = f;
    }
    EXPECT_NEAR(firstTabs, c.tabsFrom, 1);
    EXPECT_NEAR(over, c.endsAfter, 2);
    EXPECT_EQ(gSoundCalls, c.sound);
  }
}

TEST_F(IntroTest, FrozenPictureNeverShowsTheTabsAndPlaysNothing) {
  gIntroFixed = 3.0f;
  startIntro();
  for (int f = 0; f < 40; ++f) {
    ui->frame();
    ASSERT_FALSE(tabsShown()) << f;
  }
  ui->key(ImGuiKey_Enter);
  EXPECT_FALSE(tabsShown());
  EXPECT_TRUE(gSoundCalls.empty());
  gIntroFixed = 5.2f;
  ui->frames(2); // a tab bar lays its tabs out one frame after it reappears
  EXPECT_TRUE(tabsShown());
}

TEST_F(IntroTest, HexagonsLightUpAroundTheMouse) {
  // Steady grid: the cell of column 4, row 0 is centred at (180, 0); ImGui floors the mouse.
  const ImU32 lit = IM_COL32(140, 170, 230, 60);
  const ImU32 far = IM_COL32(120, 140, 190, 14);
  ui->move(ImVec2(180.0f, 0.0f));
  ui->frame();
  EXPECT_GT(verticesOf(lit), 0);
  ui->move(ImVec2(-1000.0f, -1000.0f));
  ui->frame();
  EXPECT_EQ(verticesOf(lit), 0);
  EXPECT_GT(verticesOf(far), 100);
}

} // namespace
} // namespace velto::test
