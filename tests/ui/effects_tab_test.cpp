// The Effects tab on a live engine: a dragged node reorders the chain, the plus menu adds into the
// lowest free bank, the node menu switches and removes, the Outputs box names the routed buses,
// and help mode changes nothing.
#include "ui/effects_tab.h"

#include "effects/fx_chain.h"
#include "effects/input_fx.h"
#include "tests/support/ui/ui_harness.h"
#include "ui/help.h"
#include "ui/inputs_tab.h"
#include "ui/window.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velto::test {
namespace {

using Slot = FxChain::Slot;
using Chain = std::vector<Slot>;

const Slot kLowCut{0, FxId::lowCut}, kGate{0, FxId::gate}, kEq{0, FxId::eq};
const Slot kEcho[4] = {{0, FxId::echo}, {1, FxId::echo}, {2, FxId::echo}, {3, FxId::echo}};
const Chain kThree = {kLowCut, kGate, kEq}; // nodes 2..4, then feedback 5 and limiter 6

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class EffectsTabTest : public UiEngineTest {
public:
  void SetUp() override {
    UiEngineTest::SetUp();
    for (int r = 0; r < 3; ++r) setChain(r, {});
    selectTab(kTabEffects);
    ui->frames(2);
  }
  void TearDown() override {
    setHelpMode(false);
    gFxInput = 0;
    gFxItem = -1;
    UiEngineTest::TearDown();
  }
  FxChain& chain(int r) { return *engine->hwInputs[r].fxChain; }
  bool on(Slot s) { return chain(0).banks[s.bank]->enabled[s.id].load(); }
  void setChain(int r, const Chain& slots) {
    ASSERT_TRUE(chain(r).setMovable(slots));
    gFxInput = 0;
    gFxItem = -1;
    ui->move(ImVec2(1, 1));
    ui->frames(2);
  }
  ImVec2 node(int r, int k) const { return fxNodePoint(r, k); }
  float nodeW() const { return node(0, 1).x - node(0, 0).x - 16.0f; }
};

TEST_F(EffectsTabTest, DroppedNodeTakesThePlaceComputedFromTheCentres) {
  struct Case {
    const char* name;
    int row, node;
    int a, b;     // the drop x lies midway between the centres of nodes a and b ...
    float offset; // ... moved by this much
    Chain expected;
    bool away; // another tab is shown while the button is released
  };
  const Case cases[] = {
      {"first to the far right", 0, 2, 6, 6, 250, {kGate, kEq, kLowCut}, false},
      {"first between the second and third", 0, 2, 3, 4, 0, {kGate, kLowCut, kEq}, false},
      {"third ahead of the first", 1, 4, 2, 2, -20, {kEq, kLowCut, kGate}, false},
      {"first right of its own centre", 0, 2, 2, 2, 20, kThree, false},
      {"last to the far right", 2, 4, 6, 6, 250, kThree, false},
      {"released while another tab is shown", 0, 2, 6, 6, 250, kThree, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (int r = 0; r < 3; ++r) setChain(r, kThree);
    const uint32_t published = chain(c.row).generation.load();
    const ImVec2 from = node(c.row, c.node);
    const float x = (node(c.row, c.a).x + node(c.row, c.b).x) * 0.5f + c.offset;
    ui->move(from);
    ui->press();
    for (int s = 1; s <= 6; ++s) {
      ImGui::GetIO().MousePos = ImVec2(from.x + (x - from.x) * s / 6.0f, from.y);
      ui->frame();
    }
    // The ghost is drawn last, its label centred on the mouse.
    const float ghost = ui->textPos(slotLabel(kThree[c.node - 2])).x;
    EXPECT_TRUE(ghost > x - nodeW() * 0.5f && ghost < x) << ghost;
    if (c.away) {
      selectTab(kTabBoard);
      ui->frames(2);
    }
    ui->release();
    selectTab(kTabEffects);
    ui->frames(2);
    EXPECT_EQ(chain(c.row).movable, c.expected);
    EXPECT_EQ(chain(c.row).generation.load() != published, c.expected != kThree);
    EXPECT_EQ(chain((c.row + 1) % 3).movable, kThree);
  }
}

TEST_F(EffectsTabTest, EveryNodeIsAsWideAsItsLabelAtAnyChainLength) {
  Chain all; // every movable effect once, then echoes in all four banks
  for (FxId id : {FxId::lowCut, FxId::gate, FxId::eq, FxId::compressor, FxId::deEsser, FxId::pitch,
                  FxId::octaver, FxId::harmonizer, FxId::chorus, FxId::reverb})
    all.push_back({0, id});
  for (const Slot& echo : kEcho) all.push_back(echo);
  const struct {
    const char* name;
    Chain chain;
  } cases[] = {{"empty chain", {}}, {"three effects", kThree}, {"fourteen effects", all}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (int r = 0; r < 3; ++r) setChain(r, c.chain);
    ui->move(ImVec2(1, 1));
    ui->frames(2);
    // A label cut at the node's edge loses its last glyph in the drawn text.
    EXPECT_EQ(count(ui->text(), "R\xC3\xBC"
                                "ckkopplung\n"),
              3u)
        << ui->text();
    EXPECT_EQ(count(ui->text(), "Rauschfilter\n"), 3u);
    // The slots ahead of the feedback node, which stay in view however long the chain is.
    for (size_t k = 0; k < c.chain.size() && k < 5; ++k)
      EXPECT_EQ(count(ui->text(), slotLabel(c.chain[k]) + "\n"), 3u) << slotLabel(c.chain[k]);
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
    ui->click(fxPlusPoint(c.row));
    ui->frame();
    const std::string& text = ui->text(); // the menu is drawn after the graph
    const size_t first = text.rfind("Low-Cut"), last = text.rfind("Looper");
    ASSERT_TRUE(first != std::string::npos && last != std::string::npos);
    EXPECT_EQ(text.substr(first, last + 6 - first), offered);
    ui->click(ui->textPos(c.pick));
    ui->frame();
    Chain expected = c.start;
    if (c.added) expected.push_back(c.slot);
    EXPECT_EQ(chain(c.row).movable, expected);
    EXPECT_EQ(gFxItem, c.added ? 2 + c.slot.id + 15 * c.slot.bank : -1);
    EXPECT_EQ(gFxInput, c.added ? c.row : 0);
    if (c.added) {
      EXPECT_TRUE(chain(c.row).banks[c.slot.bank]->enabled[c.slot.id].load());
      EXPECT_TRUE(ui->shows(slotLabel(c.slot))); // drawn as a node of its own
    }
  }
}

TEST_F(EffectsTabTest, NodeMenuSwitchesOrRemovesAndTheToolsHaveNone) {
  const Slot limiter{0, FxId::limiter}, aec{0, FxId::aec};
  const char* const kRemove = "Aus der Kette nehmen";
  struct Case {
    const char* name;
    int node; // 0 AEC, 1 Rauschfilter, 2 Low-Cut, 3 Gate, 4 Rueckkopplung, 5 Limiter
    Slot flag;
    bool startOn;
    const char* shown;  // the switch item; null: no menu
    bool removable;     // kRemove is offered
    const char* choose; // null: nothing chosen
    bool endOn;
    Chain endChain;
  };
  const Chain two = {kLowCut, kGate};
  const Case cases[] = {
      {"switch off", 2, kLowCut, true, "Ausschalten", true, "Ausschalten", false, two},
      {"switch on", 3, kGate, false, "Einschalten", true, "Einschalten", true, two},
      {"the limiter only switches", 5, limiter, false, "Einschalten", false, "Einschalten", true,
       two},
      {"remove", 2, kLowCut, true, "Ausschalten", true, kRemove, false, {kGate}},
      {"AEC has no menu", 0, aec, false, nullptr, false, nullptr, false, two},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    setChain(0, two);
    chain(0).banks[0]->enabled[c.flag.id].store(c.startOn);
    ui->click(node(0, c.node), 1);
    ui->frame();
    EXPECT_EQ(ui->shows("Ausschalten") || ui->shows("Einschalten"), c.shown != nullptr);
    EXPECT_TRUE(!c.shown || ui->shows(c.shown));
    EXPECT_EQ(ui->shows(kRemove), c.removable);
    EXPECT_EQ(gFxItem, c.shown ? 2 + c.flag.id : -1); // a right click selects what has a menu
    if (c.choose) ui->click(ui->textPos(c.choose));
    ui->frame();
    EXPECT_EQ(on(c.flag), c.endOn);
    EXPECT_EQ(chain(0).movable, c.endChain);
    EXPECT_EQ(gFxItem, !c.shown || c.choose == kRemove ? -1 : 2 + c.flag.id);
    ui->key(ImGuiKey_Escape);
  }

  // With nothing movable left the plus stands between the noise filter and the feedback node.
  setChain(0, {});
  EXPECT_FLOAT_EQ(fxPlusPoint(0).x, node(0, 1).x + nodeW() * 0.5f + 16 + 19);
  EXPECT_FLOAT_EQ(node(0, 2).x, fxPlusPoint(0).x + 19 + 16 + nodeW() * 0.5f);
  EXPECT_EQ(node(0, 4).x, 0.0f); // nothing recorded past the row's four nodes
}

TEST_F(EffectsTabTest, OutputsBoxNamesTheRoutedBusesInBusOrder) {
  struct Case {
    uint32_t mask;
    const char* outputs;
  } cases[] = {{0, "nicht verbunden"}, {1u << 0, "Output 1"}, {0b110, "Output 2, Output 3"}};
  const ImVec2 box(node(0, 3).x + nodeW() * 0.5f + 16 + 70, node(0, 3).y);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.outputs);
    for (HwInput& in : engine->hwInputs) in.strip.routeMask.store(c.mask);
    ui->move(ImVec2(1, 1));
    EXPECT_EQ(count(ui->text(), c.outputs), 3u); // one box a row
    ui->move(box);
    ui->frame();
    EXPECT_EQ(count(ui->text(), c.outputs), 4u); // and the tooltip
  }
}

TEST_F(EffectsTabTest, HelpModeNamesWhatIsUnderTheMouseAndChangesNothing) {
  struct Case {
    const char* key;
    int node; // -1: the plus; -2: the input box of row 2
    int button;
    bool drag;
  };
  const Case cases[] = {{"werkzeuge#Gate", 3, 0, false},
                        {"hardware-inputs#Karte", -2, 0, false},
                        {"effekte#Low-Cut", 2, 0, true},
                        {"effekte#Limiter", 6, 1, false},
                        {"effekte#Reiter Effekte#+", -1, 0, false}};
  setChain(0, kThree);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    chain(0).banks[0]->enabled[FxId::limiter].store(true);
    setHelpMode(true);
    const ImVec2 at = c.node == -1   ? fxPlusPoint(0)
                      : c.node == -2 ? ImVec2(node(2, 0).x - 100, node(2, 0).y)
                                     : node(0, c.node);
    ui->move(at);
    EXPECT_EQ(helpKeyUnderMouse(), c.key);
    if (c.drag)
      ui->drag(at, ImVec2(node(0, 6).x + 250, at.y));
    else
      ui->click(at, c.button);
    ui->frame();
    EXPECT_EQ(gFxItem, -1);
    EXPECT_EQ(gFxInput, 0);
    EXPECT_EQ(chain(0).movable, kThree);
    EXPECT_TRUE(on({0, FxId::limiter}));
    EXPECT_FALSE(ui->shows("Looper") || ui->shows("Ausschalten")); // no menu opened
    ui->key(ImGuiKey_Escape);
  }
}

} // namespace
} // namespace velto::test
