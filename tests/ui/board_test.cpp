#include "engine/engine.h"
#include "tests/support/ui/ui_harness.h"
#include "ui/board.h"
#include "ui/cards.h"
#include "ui/window.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace velto::test {
namespace {

TEST(BoardText, SplitKeepsUnknownTokensAsideInTheirOrder) {
  struct Case {
    const char* text;
    const char* shown;
    const char* aside;
  };
  const Case cases[] = {
      {"i1,v1,v4,o1,o2,m1", "i1,v1,v4,o1,o2,m1", ""},
      {"i1,x3,o2", "i1,o2", "x3"},
      {"i0,i4", "", "i0,i4"},
      {"p2,y7,m4,v5", "p2,y7", "m4,v5"},
      {",i,,o3, i1,iz", "o3", " 0,i0"}, // short tokens dropped; no trimming; no digits = index -1
      {"", "", ""},
  };
  for (const Case& c : cases) {
    std::vector<BoardItem> shown, aside;
    boardSplit(c.text, shown, aside);
    EXPECT_EQ(boardString(shown), c.shown) << c.text;
    EXPECT_EQ(boardString(aside), c.aside) << c.text;
  }
}

class BoardTest : public UiEngineTest {
public:
  // Clicks the "+" slot behind the n shown cards.
  void openPicker(int n) {
    const ImVec2 last = card(n - 1);
    ui->click(ImVec2(last.x + gCardW + ImGui::GetStyle().ItemSpacing.x, last.y));
    ui->frame();
  }
  void TearDown() override {
    gBoardEdit = false;
    UiEngineTest::TearDown();
  }
  ImVec2 card(int k) const { return boardCardPoint(k); }
};

TEST_F(BoardTest, DefaultBoardShowsItsSixCardsInOrder) {
  ui->frames(2);
  const std::string names[] = {engine->hwInputs[0].strip.name,
                               engine->virtualIns[0].strip.name,
                               engine->virtualIns[3].strip.name,
                               engine->buses[0].name,
                               engine->buses[1].name,
                               engine->buses[3].name};
  size_t at = 0;
  for (const std::string& name : names) {
    at = ui->text().find(name, at);
    ASSERT_NE(at, std::string::npos) << name << " in\n" << ui->text();
    at += name.size();
  }
  for (int k = 1; k < 6; ++k) EXPECT_GT(card(k).x, card(k - 1).x);
  EXPECT_EQ(card(6).x, 0.0f); // nothing recorded beyond the shown cards
}

TEST_F(BoardTest, EditModeRewritesTheBoardText) {
  struct Case {
    const char* name;
    const char* text;
    std::function<void(BoardTest&)> act;
    const char* expected;
  };
  const Case cases[] = {
      {"remove", "i1,x3,o2",
       [](BoardTest& t) {
         const ImVec2 c = t.card(1);
         t.ui->click(ImVec2(c.x + gCardW * 0.5f - 16, c.y - gCardH * 0.5f + 16));
       },
       "i1,x3"},
      {"left arrow", "i1,x3,o2", [](BoardTest& t) { t.ui->click(boardArrowPoint(1, false)); },
       "o2,i1,x3"},
      {"right arrow", "i1,v1,v4", [](BoardTest& t) { t.ui->click(boardArrowPoint(0, true)); },
       "v1,i1,v4"},
      {"first card has no left arrow", "i1,v1",
       [](BoardTest& t) { t.ui->click(boardArrowPoint(0, false)); }, "i1,v1"},
      {"drag to the third place", "i1,v1,v4,o1",
       [](BoardTest& t) { t.ui->drag(t.card(0), ImVec2(t.card(2).x + 10, t.card(2).y)); },
       "v1,v4,i1,o1"},
      {"drag to the end", "i1,v1,v4,o1",
       [](BoardTest& t) { t.ui->drag(t.card(1), ImVec2(t.card(3).x + 300, t.card(3).y)); },
       "i1,v4,o1,v1"},
      {"drop on its own place writes nothing", "i1,x3,o2",
       [](BoardTest& t) { t.ui->drag(t.card(0), ImVec2(t.card(0).x + 20, t.card(0).y)); },
       "i1,x3,o2"},
      {"picker appends the player", "i1,x3",
       [](BoardTest& t) {
         t.openPicker(1);
         t.ui->click(t.ui->textPos(t.engine->playerStrip.name));
       },
       "i1,x3,y1"},
      {"picker removes the first input in place", "i1,x3,o2,i1",
       [](BoardTest& t) {
         t.openPicker(3);
         t.ui->click(t.ui->textPos(t.engine->hwInputs[0].strip.name));
       },
       "x3,o2,i1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engine->settings.board = c.text;
    gBoardEdit = true;
    ui->frames(2);
    c.act(*this);
    ui->frame();
    EXPECT_EQ(engine->settings.board, c.expected);
    ui->key(ImGuiKey_Escape);
  }
}

TEST_F(BoardTest, GearTogglesEditModeWithItsExtraSlot) {
  engine->settings.board = "i1,o1,m1";
  ui->frames(2);
  const float normalW = gCardW;
  ui->click(boardGearPoint());
  ui->frame();
  EXPECT_TRUE(boardEditing());
  EXPECT_LE(gCardW, normalW); // four slots share the row now
  EXPECT_EQ(boardArrowPoint(0, false).x, card(0).x - gCardW * 0.5f + 16);
  ui->click(boardGearPoint());
  EXPECT_FALSE(boardEditing());
  EXPECT_EQ(engine->settings.board, "i1,o1,m1");
}

} // namespace
} // namespace velto::test
