// The Visualisierung tab on a live engine through the headless window: node layout, connecting
// and disconnecting by drag, cutting by a click on a wire, and help mode.
#include "tests/support/ui/ui_harness.h"
#include "ui/help.h"
#include "ui/visual_tab.h"
#include "ui/window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

namespace velto::test {
namespace {

constexpr float kColW = 340.0f; // the harness window is wide enough for the widest column

std::vector<std::string> gOpened;
void recordHelp(const char* key) {
  gOpened.push_back(key);
}

// Node n: sources 0..8, targets 10..15; -1 an empty spot above every wire.
ImVec2 node(int n) {
  if (n < 0) return ImVec2(UiHarness::kWidth / 2, 45);
  return n < 10 ? vizSourcePoint(n) : vizTargetPoint(n - 10);
}

// Point at parameter u of the wire from source s to target t.
ImVec2 onWire(int s, int t, float u) {
  const ImVec2 a(vizSourcePoint(s).x + kColW / 2, vizSourcePoint(s).y);
  const ImVec2 b(vizTargetPoint(t).x - kColW / 2, vizTargetPoint(t).y);
  const float d = std::max(60.0f, (b.x - a.x) / 2), v = 1 - u;
  const float w1 = 3 * v * v * u, w2 = 3 * v * u * u;
  return ImVec2(v * v * v * a.x + w1 * (a.x + d) + w2 * (b.x - d) + u * u * u * b.x,
                (v * v * v + w1) * a.y + (w2 + u * u * u) * b.y);
}

class VisualTabTest : public UiEngineTest {
protected:
  void SetUp() override {
    UiEngineTest::SetUp();
    selectTab(kTabVisual);
    ui->frames(2);
  }
  void TearDown() override {
    setHelpMode(false);
    setHelpHandler(nullptr);
    UiEngineTest::TearDown();
  }
  Strip& strip(int s) {
    if (s < 3) return engine->hwInputs[size_t(s)].strip;
    if (s < 7) return engine->virtualIns[size_t(s - 3)].strip;
    return s == 7 ? engine->playerStrip : engine->padsStrip;
  }
  std::array<uint32_t, 9> masks() {
    std::array<uint32_t, 9> all{};
    for (int s = 0; s < 9; ++s) all[size_t(s)] = strip(s).routeMask.load();
    return all;
  }
  void routeAll(uint32_t mask) {
    for (int s = 0; s < 9; ++s) strip(s).routeMask.store(mask);
  }
  std::string tip(int s, int t) { return strip(s).name + " > " + engine->buses[size_t(t)].name; }
};

TEST_F(VisualTabTest, DragBetweenTheColumnsFlipsOneRouteBitAndBack) {
  const struct {
    int from, to;
    int s, t; // the route flipped; -1: nothing changes
    uint32_t pattern;
  } cases[] = {
      {0, 10, 0, 0, 0x06},  {8, 15, 8, 5, 0x21},    {10, 4, 4, 0, 0x09},   {13, 6, 6, 3, 0x00},
      {1, 5, -1, -1, 0x12}, {12, 14, -1, -1, 0x12}, {2, -1, -1, -1, 0x12}, {-1, 11, -1, -1, 0x12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.from << " to " << c.to);
    routeAll(c.pattern);
    const std::array<uint32_t, 9> before = masks();
    for (int round = 0; round < 2; ++round) {
      ui->move(node(c.from));
      ui->press();
      ui->move(ImVec2(UiHarness::kWidth / 2, 300));
      ui->move(node(c.to));
      ui->frame(); // a tooltip shows from its second frame
      if (c.s >= 0) {
        const bool set = (strip(c.s).routeMask.load() >> c.t) & 1u;
        EXPECT_TRUE(ui->shows(tip(c.s, c.t) + (set ? ": trennen" : ": verbinden"))) << ui->text();
      }
      ui->release();
      std::array<uint32_t, 9> expected = before;
      if (c.s >= 0 && round == 0) expected[size_t(c.s)] ^= 1u << c.t;
      EXPECT_EQ(masks(), expected) << "round " << round;
    }
  }
}

TEST_F(VisualTabTest, ClickOnAWireCutsOnlyThatRoute) {
  const struct {
    int s, t;
    uint32_t pattern;
    float u;
  } cases[] = {{0, 0, 0x07, 0.5f}, {0, 2, 0x07, 0.3f}, {6, 3, 0x29, 0.7f}, {8, 5, 0x21, 0.15f}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.s << " > " << c.t << " at " << c.u);
    routeAll(0);
    strip(c.s).routeMask.store(c.pattern);
    ui->move(onWire(c.s, c.t, c.u));
    ui->frame();
    EXPECT_TRUE(ui->shows(tip(c.s, c.t) + "\nKlick: trennen")) << ui->text();
    ui->press();
    ui->release();
    EXPECT_EQ(strip(c.s).routeMask.load(), c.pattern & ~(1u << c.t));
  }
  // A wire reaches 6 px to either side.
  for (const float off : {4.0f, -4.0f, 9.0f, -9.0f}) {
    SCOPED_TRACE(off);
    strip(8).routeMask.store(0x01);
    const ImVec2 p = onWire(8, 0, 0.5f), q = onWire(8, 0, 0.51f);
    const float len = std::hypot(q.x - p.x, q.y - p.y);
    ui->click(ImVec2(p.x - off * (q.y - p.y) / len, p.y + off * (q.x - p.x) / len));
    EXPECT_EQ(strip(8).routeMask.load(), std::fabs(off) < 6 ? 0u : 0x01u);
  }
}

TEST_F(VisualTabTest, HelpModeClickAsksForHelpAndKeepsTheRoute) {
  const struct {
    ImVec2 at;
    const char* key;
  } cases[] = {{onWire(2, 4, 0.5f), "visualisierung#Leitungen"},
               {node(2), "visualisierung#Knoten"},
               {node(14), "visualisierung#Knoten"},
               {node(-1), "visualisierung"}};
  setHelpHandler(recordHelp);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    routeAll(0);
    strip(2).routeMask.store(0x10);
    gOpened.clear();
    setHelpMode(true);
    ui->click(c.at);
    EXPECT_EQ(gOpened, std::vector<std::string>{c.key});
    EXPECT_EQ(strip(2).routeMask.load(), 0x10u);
  }
}

TEST_F(VisualTabTest, NodesStandWhereTheLayoutPutsThem) {
  ImVec2 origin, avail, size;
  float above = 0; // content height already taken when the body starts
  ui->scene = [&] {
    ImGui::SetNextWindowPos(ImVec2(0, 0));
    ImGui::SetNextWindowSize(size);
    ImGui::Begin("viz", nullptr, ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoScrollbar);
    ImGui::SetCursorPosY(ImGui::GetCursorPosY() + above);
    origin = ImGui::GetCursorScreenPos();
    avail = ImGui::GetContentRegionAvail();
    drawVisualization(*engine);
    ImGui::End();
  };
  const float hdr = ImGui::GetTextLineHeightWithSpacing() + 6; // 25 px
  const struct {
    ImVec2 window;
    float above, colW, nodeH, top;
  } cases[] = {
      {ImVec2(1460, 800), 0, 340, 64, 28.5f}, // widest column, tallest nodes, centred
      {ImVec2(700, 300), 284, 200, 34, 4},    // narrow with no room left: the minimums
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.window.x << " x " << c.window.y << " - " << c.above);
    size = c.window;
    above = c.above;
    ui->frames(2);
    // Node n, k-th of its column, in the given group of it: the first and last of each column
    // and the first of a later group.
    const struct {
      int n, k, group;
    } nodes[] = {{0, 0, 0}, {3, 3, 1}, {8, 8, 2}, {10, 0, 0}, {15, 5, 1}};
    for (const auto& n : nodes) {
      const float x = n.n < 10 ? origin.x + 10 + c.colW / 2 : origin.x + avail.x - 10 - c.colW / 2;
      const float y =
          origin.y + c.top + (n.group + 1) * hdr + n.group * 6 + n.k * (c.nodeH + 8) + c.nodeH / 2;
      EXPECT_NEAR(node(n.n).x, x, 0.01f) << n.n;
      EXPECT_NEAR(node(n.n).y, y, 0.01f) << n.n;
    }
  }
}

} // namespace
} // namespace velto::test
