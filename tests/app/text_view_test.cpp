// The read-only text view on the headless harness: find highlights exactly the found range and
// scrolls it into view, a range scrolled to the top stands at the asked gap, a mouse selection
// copies its plain text, and the find bar searches as one types.
#include <gtest/gtest.h>

#include <string>

#include <imgui.h>

#include "app/markdown.h"
#include "app/text_view.h"
#include "tests/support/ui/ui_harness.h"
#include "tests/support/ui/ui_steps.h"

namespace {

using velto::TextRange;
using velto::TextView;
using velto::test::Box;
using velto::test::drawnIn;
using velto::test::UiHarness;

// A hundred and twenty numbered filler paragraphs around the interesting ones, so that most of it
// lies below the visible area.
std::string longDocument() {
  std::string md = "# Titel\n";
  for (int i = 0; i < 120; ++i) {
    md += "Absatz " + std::to_string(i) + " ohne Besonderes.\n";
    if (i == 45) md += "Hier steht MischpultXY neben Ärgerlichkeit und Zank.\n## Abschnitt Zwei\n";
    if (i == 55) md += "Noch ein mischpultQQ am Ende.\n";
  }
  return md;
}

class TextViewTest : public ::testing::Test {
protected:
  void SetUp() override {
    view.setText(velto::VeltoRenderMarkdown(longDocument()));
    ui.sceneInWindow([this] {
      top = ImGui::GetCursorScreenPos().y;
      view.draw("##view", ImVec2(0, 0));
    });
    ui.frames(2);
  }
  UiHarness ui;
  TextView view;
  float top = 0; // the view's top edge on screen
};

TEST_F(TextViewTest, FindHighlightsExactlyTheFoundRangeAndScrollsItIntoView) {
  const std::string& plain = view.plain();
  struct Case {
    const char* needle;
    size_t from;
    size_t expect;     // npos: not found
    const char* shown; // the drawn text of the match
    const char* after; // drawn text right after it (in the same word), outside the highlight
  };
  const size_t first = plain.find("Mischpult"), second = plain.find("mischpult");
  const size_t aerger = plain.find("Ärger");
  const Case cases[] = {
      {"Mischpult", 0, first, "Mischpult", "XY"},
      {"MISCHPULT", first + 1, second, "mischpult", "QQ"},
      {"ärger", 0, aerger, "Ärger", "lichkeit"},
      {"Mischpultz", 0, std::string::npos, nullptr, nullptr},
      {"", 0, std::string::npos, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    view.scrollRangeToTop({}, 0);
    view.showFound({});
    ui.frames(2);
    const TextRange range = view.find(c.needle, c.from);
    ASSERT_EQ(range.location, c.expect) << c.needle;
    view.showFound(range);
    ui.frames(3);
    const Box box = drawnIn(ImVec4(0.98f, 0.84f, 0.25f, 1.0f));
    if (!range.found()) {
      EXPECT_TRUE(box.empty()) << c.needle << ": nothing highlighted";
      EXPECT_EQ(view.scrollY(), 0) << c.needle;
      continue;
    }
    EXPECT_EQ(range.length, std::string(c.needle).size());
    EXPECT_GT(view.scrollY(), 0) << c.needle << ": the match lies below the first screen";
    const ImVec2 at = ui.textPos(c.shown);
    ASSERT_GE(at.y, top) << c.needle << ": drawn in the visible area";
    EXPECT_LE(at.y, UiHarness::kHeight) << c.needle;
    EXPECT_TRUE(box.contains(at)) << c.needle << ": first glyph highlighted";
    const ImVec2 last =
        ui.textPos(std::string(c.shown).substr(std::string(c.shown).size() - 1) + c.after);
    EXPECT_TRUE(box.contains(last)) << c.needle << ": last glyph highlighted";
    EXPECT_FALSE(box.contains(ui.textPos(c.after))) << c.needle << ": the next glyph is not";
  }
}

TEST_F(TextViewTest, ARangeScrolledToTheTopStandsAtTheGapUnlessNearTheStart) {
  struct Case {
    const char* line;
    float gap;
    bool nearTop; // the scroll position stays 0
  };
  const Case cases[] = {
      {"Abschnitt Zwei", 30, false},
      {"Absatz 50 ohne Besonderes.", 30, false},
      {"Absatz 50 ohne Besonderes.", 100, false},
      {"Titel", 30, true},
      {"Absatz 1 ohne Besonderes.", 200, true},
  };
  for (const Case& c : cases) {
    const TextRange range{view.plain().find(c.line), std::string(c.line).size()};
    view.scrollRangeToTop(range, c.gap);
    ui.frames(3);
    ImVec2 at;
    ASSERT_TRUE(view.screenPos(range.location, at)) << c.line;
    if (c.nearTop) {
      EXPECT_EQ(view.scrollY(), 0) << c.line;
    } else {
      EXPECT_NEAR(at.y - top, c.gap, 1.0f) << c.line << ": scrolling is by whole pixels";
    }
    // The line is drawn where the view says it is.
    EXPECT_GT(ui.textPos(c.line).y, at.y) << c.line;
    EXPECT_LT(ui.textPos(c.line).y, at.y + 40) << c.line;
  }
}

TEST_F(TextViewTest, DraggingSelectsAndCtrlCCopiesThePlainText) {
  view.setText(velto::VeltoRenderMarkdown(
      "Erste Zeile eins\nZweite Zeile zwei danach\n```\ncurl -s\n  ende gut\n```\nletzte"));
  ui.frames(2);
  // Just left of a glyph's middle: the place before it.
  auto before = [&](const char* word) {
    const ImVec2 p = ui.textPos(word);
    return ImVec2(p.x - 2.5f, p.y);
  };
  struct Case {
    const char* from; // drag from just before this drawn word...
    const char* to;   // ...to just before this one
    std::string copied;
  };
  const Case cases[] = {
      {"Zweite", "danach", "Zweite Zeile zwei "},
      {"danach", "Zweite", "Zweite Zeile zwei "}, // backwards
      {"eins", "Zweite", "eins\n"},
      {"-s", "gut", "-s\n  ende "},
      {"ende", "letzte", "ende gut\n\n"}, // the code box's end and its spacer
  };
  for (const Case& c : cases) {
    ui.drag(before(c.from), before(c.to));
    ui.hold(false, true);
    ui.key(ImGuiKey_C);
    ui.hold(false, false);
    EXPECT_EQ(view.selectedText(), c.copied) << c.from << " to " << c.to;
    const char* clip = ImGui::GetClipboardText();
    EXPECT_EQ(std::string(clip ? clip : ""), c.copied) << c.from << " to " << c.to;
    ImGui::SetClipboardText("");
  }
  // A click without a drag selects nothing and copies nothing.
  ui.click(before("letzte"));
  ui.hold(false, true);
  ui.key(ImGuiKey_C);
  ui.hold(false, false);
  EXPECT_EQ(view.selection().length, 0u);
  EXPECT_EQ(std::string(ImGui::GetClipboardText()), "");
}

TEST_F(TextViewTest, TheFindBarSearchesAsOneTypesAndEnterGoesToTheNextMatch) {
  ui.click(ImVec2(300, 300)); // focus the view
  const std::string& plain = view.plain();
  const size_t first = plain.find("Mischpult"), second = plain.find("mischpult");
  enum Step { CtrlF, Type, Enter, Escape };
  struct Case {
    Step step;
    const char* typed;
    size_t expect; // the found and selected location; npos: none
  };
  const Case steps[] = {
      {CtrlF, nullptr, std::string::npos},
      {Type, "misch", first},
      {Type, "pult", first},
      {Enter, nullptr, second},
      {Enter, nullptr, first}, // wraps around
      {Type, "z", std::string::npos},
      {Escape, nullptr, std::string::npos},
  };
  ImGuiIO& io = ImGui::GetIO();
  std::string typed;
  for (const Case& c : steps) {
    switch (c.step) {
    case CtrlF: {
      const int f = ImGui::GetKeyIndex(ImGuiKey_A) + ('F' - 'A');
      io.KeyCtrl = true;
      io.KeysDown[f] = true;
      ui.frame();
      io.KeysDown[f] = false;
      io.KeyCtrl = false;
      ui.frames(2);
      EXPECT_TRUE(view.findBarOpen());
      EXPECT_TRUE(ui.shows("Suchen")) << "the empty field shows its hint";
      break;
    }
    case Type:
      typed += c.typed;
      ui.type(c.typed);
      break;
    case Enter:
      ui.key(ImGuiKey_Enter);
      break;
    case Escape:
      ui.key(ImGuiKey_Escape);
      break;
    }
    ui.frames(2);
    EXPECT_EQ(view.found().location, c.expect) << "step " << int(&c - steps);
    if (c.expect != std::string::npos) {
      EXPECT_EQ(view.selection().location, c.expect) << "step " << int(&c - steps);
      EXPECT_EQ(view.selection().length, std::string(typed).size()) << "step " << int(&c - steps);
    }
  }
  EXPECT_FALSE(view.findBarOpen());
}

TEST_F(TextViewTest, KeysScrollThePageAndCtrlASelectsAllOfIt) {
  ui.click(ImVec2(300, 300)); // the view takes the keyboard
  ui.frames(2);
  ASSERT_EQ(view.scrollY(), 0);
  const float visible = UiHarness::kHeight - top - ImGui::GetStyle().WindowPadding.y;
  const float page = visible - 20, line = 20;
  const float end = view.contentHeight() - visible;
  ASSERT_GT(end, 3 * page) << "the document is several pages long";
  struct Case {
    ImGuiKey key;
    bool ctrl;
    float expect; // the scroll position after the key
  };
  const Case cases[] = {
      {ImGuiKey_End, false, end},
      {ImGuiKey_Home, false, 0},
      {ImGuiKey_PageDown, false, page},
      {ImGuiKey_PageDown, false, 2 * page},
      {ImGuiKey_PageUp, false, page},
      {ImGuiKey_DownArrow, false, page + line},
      {ImGuiKey_UpArrow, false, page},
      {ImGuiKey_End, true, end},
      {ImGuiKey_PageDown, false, end}, // no further than the end
      {ImGuiKey_DownArrow, false, end},
      {ImGuiKey_Home, true, 0},
      {ImGuiKey_UpArrow, false, 0}, // no further than the top
      {ImGuiKey_PageUp, false, 0},
      {ImGuiKey_PageDown, true, 0}, // Ctrl+Page Down is no scrolling key
  };
  for (const Case& c : cases) {
    ui.hold(false, c.ctrl);
    ui.key(c.key);
    ui.hold(false, false);
    ui.frames(2);
    EXPECT_NEAR(view.scrollY(), c.expect, 1.5f) << "step " << int(&c - cases);
  }
  EXPECT_EQ(view.selection().length, 0u);
  ui.hold(false, true);
  ui.key(ImGuiKey_A);
  ui.hold(false, false);
  EXPECT_EQ(view.selection().location, 0u);
  EXPECT_EQ(view.selection().length, view.plain().size());
  EXPECT_EQ(view.selectedText().substr(0, 6), "Titel\n");

  // While the find field edits its text, the keys are the field's.
  view.openFindBar();
  ui.frames(2);
  ASSERT_TRUE(view.findBarOpen());
  ui.type("Absatz");
  ui.key(ImGuiKey_End);
  ui.key(ImGuiKey_PageDown);
  ui.frames(2);
  EXPECT_LT(view.scrollY(), end) << "End went to the field";
}

} // namespace
