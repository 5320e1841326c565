// The Effects tab on a live engine: nodes dragged to a new place reorder the chain, the plus
// menu adds into the lowest free bank, the node menu switches and removes, the layout follows the
// longest chain, the boxes name the input's device and outputs, and help mode changes nothing.
#include "ui/effects_tab.h"

#include "effects/fx_chain.h"
#include "effects/input_fx.h"
#include "tests/support/ui/ui_harness.h"
#include "ui/help.h"
#include "ui/inputs_tab.h"
#include "ui/window.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace velto::test {
namespace {

using Slot = FxChain::Slot;
using Chain = std::vector<Slot>;

const Slot kLowCut{0, FxId::lowCut}, kGate{0, FxId::gate}, kEq{0, FxId::eq};
const Slot kEcho[4] = {{0, FxId::echo}, {1, FxId::echo}, {2, FxId::echo}, {3, FxId::echo}};

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class EffectsTabTest : public UiEngineTest {
public:
  void SetUp() override {
    UiEngineTest::SetUp();
    gFxInput = 0;
    gFxItem = -1;
    for (HwInput& in : engine->hwInputs) ASSERT_TRUE(in.fxChain->setMovable({}));
    selectTab(kTabEffects);
    ui->move(ImVec2(1, 1));
    ui->frames(2);
  }
  void TearDown() override {
    setHelpMode(false);
    gFxInput = 0;
    gFxItem = -1;
    UiEngineTest::TearDown();
  }

  FxChain& chain(int r) { return *engine->hwInputs[r].fxChain; }
  bool on(int r, Slot s) { return chain(r).banks[s.bank]->enabled[s.id].load(); }
  void setChain(int r, const Chain& slots) {
    ASSERT_TRUE(chain(r).setMovable(slots));
    ui->move(ImVec2(1, 1));
    ui->frames(2);
  }
  ImVec2 node(int r, int k) const { return fxNodePoint(r, k); }
  // Width of a node: the first two nodes stand one gap apart.
  float nodeW() const { return node(0, 1).x - node(0, 0).x - 16.0f; }
  float availW() const { return UiHarness::kWidth - 2 * ImGui::GetStyle().WindowPadding.x; }
  // Centre of the Outputs box of a row whose last node is k.
  ImVec2 outputs(int r, int k) const {
    return ImVec2(node(r, k).x + nodeW() * 0.5f + 16.0f + 70.0f, node(r, k).y);
  }
};

TEST_F(EffectsTabTest, DroppedNodeTakesThePlaceComputedFromTheCentres) {
  const Chain start = {kLowCut, kGate, kEq}; // nodes 2, 3, 4
  struct Case {
    const char* name;
    int row;
    int node;
    std::function<float(const EffectsTabTest&, int)> dropX;
    Chain expected;
    bool away = false; // another tab is shown while the button is released
  };
  const Case cases[] = {
      {"first to the far right",
       0,
       2,
       [](const EffectsTabTest& t, int r) { return t.node(r, 6).x + 250.0f; },
       {kGate, kEq, kLowCut}},
      {"first between the centres of the second and third",
       0,
       2,
       [](const EffectsTabTest& t, int r) { return (t.node(r, 3).x + t.node(r, 4).x) * 0.5f; },
       {kGate, kLowCut, kEq}},
      {"third ahead of the first",
       1,
       4,
       [](const EffectsTabTest& t, int r) { return t.node(r, 2).x - 20.0f; },
       {kEq, kLowCut, kGate}},
      {"first right of its own centre", 0, 2,
       [](const EffectsTabTest& t, int r) { return t.node(r, 2).x + 20.0f; }, start},
      {"second left of its own centre", 2, 3,
       [](const EffectsTabTest& t, int r) { return t.node(r, 3).x - 20.0f; }, start},
      {"last to the far right", 0, 4,
       [](const EffectsTabTest& t, int r) { return t.node(r, 6).x + 250.0f; }, start},
      {"released while another tab is shown", 0, 2,
       [](const EffectsTabTest& t, int r) { return t.node(r, 6).x + 250.0f; }, start, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (int r = 0; r < 3; ++r) setChain(r, start);
    const uint32_t published = chain(c.row).generation.load();
    const ImVec2 from = node(c.row, c.node);
    const ImVec2 to(c.dropX(*this, c.row), from.y);
    const std::string label = slotLabel(start[c.node - 2]);
    ui->move(from);
    ui->press();
    for (int s = 1; s <= 6; ++s) {
      ImGui::GetIO().MousePos = ImVec2(from.x + (to.x - from.x) * s / 6.0f, from.y);
      ui->frame();
    }
    // The ghost is drawn last, its label centred on the mouse, 10 below the row's top.
    const ImVec2 ghost = ui->textPos(label);
    EXPECT_GT(ghost.x, to.x - nodeW() * 0.5f);
    EXPECT_LT(ghost.x, to.x);
    EXPECT_NEAR(ghost.y, from.y - 17.0f + ImGui::GetTextLineHeight() * 0.5f, 2.0f);
    if (c.away) {
      selectTab(kTabBoard);
      ui->frames(2);
    }
    ui->release();
    if (c.away) {
      selectTab(kTabEffects);
      ui->frames(2);
    }
    ui->frame();
    EXPECT_EQ(chain(c.row).movable, c.expected);
    EXPECT_EQ(chain(c.row).generation.load() != published, c.expected != start);
    EXPECT_EQ(chain((c.row + 1) % 3).movable, start);
  }
}

TEST_F(EffectsTabTest, PlusOffersTheMovableEffectsAndAddsIntoTheLowestFreeBank) {
  const std::string offered = "Low-Cut\nGate\nEQ\nKompressor\nDe-Esser\nTonh\xC3\xB6he\nOktaver\n"
                              "Harmonizer\nChorus\nEcho\nHall\nLooper";
  struct Case {
    const char* name;
    int row;
    Chain start;
    const char* pick;
    bool added;
    Slot slot;
  };
  const Case cases[] = {
      {"a second gate", 0, {kLowCut, kGate}, "Gate", true, {1, FxId::gate}},
      {"an echo into the free second bank", 1, {kEcho[0], kEcho[2]}, "Echo", true, kEcho[1]},
      {"reverb into an empty chain", 2, {}, "Hall", true, {0, FxId::reverb}},
      {"a fifth echo", 0, {kEcho[0], kEcho[1], kEcho[2], kEcho[3]}, "Echo", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    setChain(c.row, c.start);
    gFxInput = 0;
    gFxItem = -1;
    ui->click(fxPlusPoint(c.row));
    ui->frame();
    const std::string& text = ui->text();
    const size_t first = text.rfind("Low-Cut"), last = text.rfind("Looper");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(last, std::string::npos);
    EXPECT_EQ(text.substr(first, last + 6 - first), offered);
    ui->click(ui->textPos(c.pick));
    ui->frame();
    Chain expected = c.start;
    if (c.added) expected.push_back(c.slot);
    EXPECT_EQ(chain(c.row).movable, expected);
    if (c.added) {
      EXPECT_TRUE(on(c.row, c.slot));
      EXPECT_EQ(gFxItem, 2 + c.slot.id + 15 * c.slot.bank);
      EXPECT_EQ(gFxInput, c.row);
      EXPECT_TRUE(ui->shows(slotLabel(c.slot)));
    } else {
      EXPECT_EQ(gFxItem, -1);
    }
    ui->key(ImGuiKey_Escape);
  }
}

TEST_F(EffectsTabTest, NodeMenuSwitchesOrRemovesAndTheToolsHaveNone) {
  // Nodes: 0 AEC, 1 Rauschfilter, 2 Low-Cut, 3 Gate, 4 Rueckkopplung, 5 Limiter.
  const Slot feedback{0, FxId::feedback}, limiter{0, FxId::limiter};
  struct Case {
    const char* name;
    int node;
    Slot flag;
    bool startOn;
    const char* menu;   // the switch item shown; null: no menu at all
    bool removable;     // "Aus der Kette nehmen" is offered
    const char* choose; // null: nothing chosen
    bool endOn;
    Chain endChain;
  };
  const Case cases[] = {
      {"switch a movable effect off",
       2,
       kLowCut,
       true,
       "Ausschalten",
       true,
       "Ausschalten",
       false,
       {kLowCut, kGate}},
      {"switch a movable effect on",
       3,
       kGate,
       false,
       "Einschalten",
       true,
       "Einschalten",
       true,
       {kLowCut, kGate}},
      {"the limiter only switches",
       5,
       limiter,
       false,
       "Einschalten",
       false,
       "Einschalten",
       true,
       {kLowCut, kGate}},
      {"the feedback node only switches",
       4,
       feedback,
       true,
       "Ausschalten",
       false,
       "Ausschalten",
       false,
       {kLowCut, kGate}},
      {"remove", 2, kLowCut, true, "Ausschalten", true, "Aus der Kette nehmen", false, {kGate}},
      {"AEC has no menu",
       0,
       {0, FxId::aec},
       false,
       nullptr,
       false,
       nullptr,
       false,
       {kLowCut, kGate}},
      {"noise filter has no menu",
       1,
       {0, FxId::aec},
       false,
       nullptr,
       false,
       nullptr,
       false,
       {kLowCut, kGate}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    setChain(0, {kLowCut, kGate});
    chain(0).banks[0]->enabled[c.flag.id].store(c.startOn);
    gFxItem = -1;
    ui->click(node(0, c.node), 1);
    ui->frame();
    EXPECT_EQ(ui->shows("Ausschalten") || ui->shows("Einschalten"), c.menu != nullptr);
    if (c.menu) {
      EXPECT_TRUE(ui->shows(c.menu));
    }
    EXPECT_EQ(ui->shows("Aus der Kette nehmen"), c.removable);
    EXPECT_EQ(gFxItem, c.menu ? 2 + c.flag.id : -1); // a right click selects what has a menu
    if (c.choose) ui->click(ui->textPos(c.choose));
    ui->frame();
    EXPECT_EQ(on(0, c.flag), c.endOn);
    EXPECT_EQ(chain(0).movable, c.endChain);
    if (c.removable && c.endChain.size() < 2) {
      EXPECT_EQ(gFxItem, -1);
    }
    ui->key(ImGuiKey_Escape);
  }

  // Everything movable taken out through the menu: the plus follows the noise filter node.
  setChain(0, {kLowCut, kGate, kEq});
  for (int left = 3; left > 0; --left) {
    ui->click(node(0, 2), 1);
    ui->frame();
    ui->click(ui->textPos("Aus der Kette nehmen"));
    ui->frame();
    ASSERT_EQ(chain(0).movable.size(), size_t(left - 1));
  }
  const float w = nodeW();
  EXPECT_FLOAT_EQ(fxPlusPoint(0).x, node(0, 1).x + w * 0.5f + 16 + 19);
  EXPECT_FLOAT_EQ(node(0, 2).x, fxPlusPoint(0).x + 19 + 16 + w * 0.5f);
  EXPECT_FLOAT_EQ(node(0, 3).x, node(0, 2).x + w + 16);
  EXPECT_EQ(node(0, 4).x, 0.0f); // nothing recorded past the row's four nodes
  ui->move(node(0, 2));
  ui->frame();
  EXPECT_TRUE(ui->shows("R\xC3\xBC"
                        "ckkopplung \xC2\xB7 feste Stelle"));
  ui->move(node(0, 3));
  ui->frame();
  EXPECT_TRUE(ui->shows("Limiter \xC2\xB7 feste Stelle"));
}

TEST_F(EffectsTabTest, NodeWidthFollowsTheLongestChainAndThePlusTheLastMovableNode) {
  const Chain six = {kLowCut, kGate, kEq, {0, FxId::compressor}, {0, FxId::deEsser}, kEcho[0]};
  Chain twelve;
  for (const uint32_t id : kDefault) twelve.push_back({0, static_cast<FxId>(id)});
  struct Case {
    const char* name;
    Chain longest; // row 1; the others are empty
    float width;   // 0: the width rule's own value
    int lastMovable;
  };
  const Case cases[] = {
      {"no movable effect", {}, 112.0f, -1},
      {"three effects", {kLowCut, kGate, kEq}, 112.0f, 4},
      {"six effects", six, 0.0f, 8}, // the feedback node stands ahead of the echo
      {"the default chain", twelve, 78.0f, 14},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    setChain(1, c.longest);
    const float m = static_cast<float>(c.longest.size() + 4);
    const float w = c.width > 0 ? c.width : (availW() - 344.0f - 16.0f * (m + 2)) / m;
    EXPECT_NEAR(nodeW(), w, 0.01f);
    EXPECT_NEAR(node(1, 1).x - node(1, 0).x, w + 16, 0.01f);
    const int before = c.lastMovable < 0 ? 1 : c.lastMovable;
    EXPECT_NEAR(fxPlusPoint(1).x, node(1, before).x + w * 0.5f + 16 + 19, 0.01f);
    EXPECT_NEAR(fxPlusPoint(1).y, node(1, before).y, 0.01f);
    // Empty rows keep their plus after the noise filter.
    EXPECT_NEAR(fxPlusPoint(2).x, node(2, 1).x + w * 0.5f + 16 + 19, 0.01f);
  }
}

TEST_F(EffectsTabTest, BoxesNameTheDeviceAndTheOutputsTheInputIsRoutedTo) {
  struct Case {
    const char* name;
    const char* uid;
    uint32_t mask;
    const char* device;
    const char* outputs;
  };
  const Case cases[] = {
      {"unrouted without device", "", 0, "kein Ger\xC3\xA4t", "nicht verbunden"},
      {"one bus", "mic-uid", 1u << 0, "Mikrofon", "Output 1"},
      {"two buses in bus order", "gone-uid", (1u << 2) | (1u << 1), "kein Ger\xC3\xA4t",
       "Output 2, Output 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (HwInput& in : engine->hwInputs) {
      in.link.uid = c.uid;
      in.strip.routeMask.store(c.mask);
    }
    ui->move(ImVec2(1, 1));
    ui->frame();
    EXPECT_EQ(count(ui->text(), c.device), 3u) << ui->text();
    EXPECT_EQ(count(ui->text(), c.outputs), 3u);
    ui->move(outputs(0, 3));
    ui->frame();
    EXPECT_EQ(count(ui->text(), c.outputs), 4u); // and in the tooltip
  }
  struct Hover {
    std::function<ImVec2(const EffectsTabTest&)> at;
    const char* tooltip;
  };
  setChain(0, {kLowCut, kGate});
  const Hover hovers[] = {
      {[](const EffectsTabTest& t) { return t.node(0, 0); }, "AEC \xC2\xB7 feste Stelle"},
      {[](const EffectsTabTest& t) { return t.node(0, 1); }, "Rauschfilter \xC2\xB7 feste Stelle"},
      {[](const EffectsTabTest& t) { return t.node(0, 3); }, "Gate \xC2\xB7 ziehen zum Ordnen"},
      {[](const EffectsTabTest&) { return fxPlusPoint(0); }, "Effekt hinzuf\xC3\xBCgen"},
  };
  for (const Hover& h : hovers) {
    ui->move(h.at(*this));
    ui->frame(); // a tooltip that reappears sizes itself unseen first
    EXPECT_TRUE(ui->shows(h.tooltip)) << h.tooltip;
  }
}

TEST_F(EffectsTabTest, HelpModeNamesWhatIsUnderTheMouseAndChangesNothing) {
  const Chain start = {kLowCut, kGate, kEq}; // nodes 2..4, feedback 5, limiter 6
  setChain(0, start);
  struct Key {
    std::function<ImVec2(const EffectsTabTest&)> at;
    const char* key;
  };
  const Key keys[] = {
      {[](const EffectsTabTest& t) { return t.node(0, 0); }, "werkzeuge#AEC"},
      {[](const EffectsTabTest& t) { return t.node(0, 1); }, "werkzeuge#Rauschfilter"},
      {[](const EffectsTabTest& t) { return t.node(0, 2); }, "effekte#Low-Cut"},
      {[](const EffectsTabTest& t) { return t.node(0, 3); }, "werkzeuge#Gate"},
      {[](const EffectsTabTest& t) { return t.node(0, 6); }, "effekte#Limiter"},
      {[](const EffectsTabTest&) { return fxPlusPoint(0); }, "effekte#Reiter Effekte#+"},
      {[](const EffectsTabTest& t) { return t.outputs(0, 6); }, "effekte#Reiter Effekte#Outputs"},
      {[](const EffectsTabTest& t) { return ImVec2(t.node(1, 0).x - 100, t.node(1, 0).y); },
       "hardware-inputs#Karte"},
      {[](const EffectsTabTest& t) { return ImVec2(t.node(2, 0).x, t.node(2, 0).y + 80); },
       "effekte#Reiter Effekte"},
  };
  setHelpMode(true);
  for (const Key& k : keys) {
    ui->move(k.at(*this));
    ui->frame();
    EXPECT_EQ(helpKeyUnderMouse(), k.key);
  }

  struct Act {
    const char* name;
    std::function<void(EffectsTabTest&)> act;
  };
  const Act acts[] = {
      {"click a node", [](EffectsTabTest& t) { t.ui->click(t.node(0, 3)); }},
      {"click the input box",
       [](EffectsTabTest& t) {
         gFxInput = 0;
         t.ui->click(ImVec2(t.node(2, 0).x - 100, t.node(2, 0).y));
       }},
      {"drag a node",
       [](EffectsTabTest& t) {
         t.ui->drag(t.node(0, 2), ImVec2(t.node(0, 6).x + 250, t.node(0, 2).y));
       }},
      {"right-click a node", [](EffectsTabTest& t) { t.ui->click(t.node(0, 2), 1); }},
      {"click the plus", [](EffectsTabTest& t) { t.ui->click(fxPlusPoint(0)); }},
  };
  for (const Act& a : acts) {
    SCOPED_TRACE(a.name);
    setHelpMode(true);
    gFxItem = -1;
    chain(0).banks[0]->enabled[FxId::lowCut].store(true);
    ui->frame();
    a.act(*this);
    ui->frame();
    EXPECT_EQ(gFxItem, -1);
    EXPECT_EQ(gFxInput, 0);
    EXPECT_EQ(chain(0).movable, start);
    EXPECT_TRUE(on(0, kLowCut));
    EXPECT_FALSE(ui->shows("Looper")); // no add menu
    EXPECT_FALSE(ui->shows("Ausschalten"));
    ui->key(ImGuiKey_Escape);
  }
}

} // namespace
} // namespace velto::test
