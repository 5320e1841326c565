// The Visualisierung tab on a live engine through the headless window: node layout, node
// texts, connecting and disconnecting by drag, cutting by a click on a wire, and help mode.
#include "tests/support/ui/ui_harness.h"
#include "ui/help.h"
#include "ui/visual_tab.h"
#include "ui/window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <vector>

namespace velto::test {
namespace {

// The harness window is wide enough for the widest column.
constexpr float kColW = 340.0f;

std::vector<std::string> gOpened;
void recordHelp(const char* key) {
  gOpened.push_back(key);
}

// Point at parameter u of the wire from source s to target t, built from the node centres.
ImVec2 onWire(int s, int t, float u) {
  const ImVec2 a(vizSourcePoint(s).x + kColW / 2, vizSourcePoint(s).y);
  const ImVec2 b(vizTargetPoint(t).x - kColW / 2, vizTargetPoint(t).y);
  const float d = std::max(60.0f, (b.x - a.x) / 2);
  const float w0 = (1 - u) * (1 - u) * (1 - u), w1 = 3 * (1 - u) * (1 - u) * u,
              w2 = 3 * (1 - u) * u * u, w3 = u * u * u;
  return ImVec2(w0 * a.x + w1 * (a.x + d) + w2 * (b.x - d) + w3 * b.x,
                (w0 + w1) * a.y + (w2 + w3) * b.y);
}

class VisualTabTest : public UiEngineTest {
protected:
  void SetUp() override {
    UiEngineTest::SetUp();
    gOpened.clear();
    selectTab(kTabVisual);
    ui->frames(2);
  }
  void TearDown() override {
    setHelpMode(false);
    setHelpHandler(nullptr);
    gWantTab = -1;
    UiEngineTest::TearDown();
  }
  std::atomic<uint32_t>& mask(int s) {
    if (s < 3) return engine->hwInputs[size_t(s)].strip.routeMask;
    if (s < 7) return engine->virtualIns[size_t(s - 3)].strip.routeMask;
    return s == 7 ? engine->playerStrip.routeMask : engine->padsStrip.routeMask;
  }
  std::string sourceName(int s) {
    if (s < 3) return engine->hwInputs[size_t(s)].strip.name;
    if (s < 7) return engine->virtualIns[size_t(s - 3)].strip.name;
    return s == 7 ? engine->playerStrip.name : engine->padsStrip.name;
  }
  std::array<uint32_t, 9> masks() {
    std::array<uint32_t, 9> all{};
    for (int s = 0; s < 9; ++s) all[size_t(s)] = mask(s).load();
    return all;
  }
  void clearRoutes() {
    for (int s = 0; s < 9; ++s) mask(s).store(0);
  }
  // Above every wire, between the columns' titles.
  static ImVec2 emptySpot() { return ImVec2(UiHarness::kWidth / 2, 45); }
};

TEST_F(VisualTabTest, DragBetweenTheColumnsFlipsOneRouteBitAndBack) {
  struct Case {
    const char* name;
    std::function<ImVec2()> from, to;
    int s, t; // the flipped route; -1: nothing changes
    uint32_t pattern;
  };
  const Case cases[] = {
      {"input to output", [] { return vizSourcePoint(0); }, [] { return vizTargetPoint(0); }, 0, 0,
       0x06},
      {"pads to last virtual output", [] { return vizSourcePoint(8); },
       [] { return vizTargetPoint(5); }, 8, 5, 0x21},
      {"output to routed source", [] { return vizTargetPoint(0); },
       [] { return vizSourcePoint(4); }, 4, 0, 0x09},
      {"virtual output to default input", [] { return vizTargetPoint(3); },
       [] { return vizSourcePoint(6); }, 6, 3, 0x00},
      {"source to source", [] { return vizSourcePoint(1); }, [] { return vizSourcePoint(5); }, -1,
       -1, 0x12},
      {"target to target", [] { return vizTargetPoint(2); }, [] { return vizTargetPoint(4); }, -1,
       -1, 0x12},
      {"source to empty canvas", [] { return vizSourcePoint(2); }, [] { return emptySpot(); }, -1,
       -1, 0x12},
      {"empty canvas to target", [] { return emptySpot(); }, [] { return vizTargetPoint(1); }, -1,
       -1, 0x12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (int s = 0; s < 9; ++s) mask(s).store(c.pattern);
    const std::array<uint32_t, 9> before = masks();
    for (int round = 0; round < 2; ++round) {
      ui->move(c.from());
      ui->press();
      ui->move(ImVec2(UiHarness::kWidth / 2, 300));
      ui->move(c.to());
      ui->frame(); // a tooltip shows from its second frame
      if (c.s >= 0) {
        const std::string tip = sourceName(c.s) + " > " + engine->buses[size_t(c.t)].name + ": " +
                                ((mask(c.s).load() >> c.t) & 1u ? "trennen" : "verbinden");
        EXPECT_TRUE(ui->shows(tip)) << tip << " in\n" << ui->text();
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
  } cases[] = {
      {0, 0, 0x07, 0.5f},
      {0, 2, 0x07, 0.3f},
      {6, 3, 0x29, 0.7f},
      {8, 5, 0x21, 0.15f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.s << " > " << c.t << " at " << c.u);
    clearRoutes();
    mask(c.s).store(c.pattern);
    ui->move(onWire(c.s, c.t, c.u));
    ui->frame();
    const std::string tip =
        sourceName(c.s) + " > " + engine->buses[size_t(c.t)].name + "\nKlick: trennen";
    EXPECT_TRUE(ui->shows(tip)) << ui->text();
    ui->press();
    ui->release();
    EXPECT_EQ(mask(c.s).load(), c.pattern & ~(1u << c.t));
  }
  // Beside every wire a click cuts nothing.
  clearRoutes();
  mask(0).store(0x01);
  const ImVec2 p = onWire(0, 0, 0.5f);
  ui->click(ImVec2(p.x, p.y + 20));
  EXPECT_EQ(mask(0).load(), 0x01u);
}

TEST_F(VisualTabTest, HelpModeClickAsksForHelpAndKeepsTheRoute) {
  const struct {
    const char* name;
    std::function<ImVec2()> where;
    const char* key;
  } cases[] = {
      {"wire", [] { return onWire(2, 4, 0.5f); }, "visualisierung#Leitungen"},
      {"source node", [] { return vizSourcePoint(2); }, "visualisierung#Knoten"},
      {"target node", [] { return vizTargetPoint(4); }, "visualisierung#Knoten"},
      {"empty canvas", [] { return emptySpot(); }, "visualisierung"},
  };
  setHelpHandler(recordHelp);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clearRoutes();
    mask(2).store(0x10);
    gOpened.clear();
    setHelpMode(true);
    ui->click(c.where());
    EXPECT_FALSE(helpModeActive());
    EXPECT_EQ(gOpened, std::vector<std::string>{c.key});
    EXPECT_EQ(mask(2).load(), 0x10u);
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
  const float hdr = ImGui::GetTextLineHeightWithSpacing() + 6;
  const struct {
    ImVec2 window;
    float above;
  } cases[] = {
      {ImVec2(1460, 800), 0},  // roomy: widest column, tallest nodes
      {ImVec2(700, 300), 0},   // narrow and low: minimum width, height and margin
      {ImVec2(700, 300), 284}, // no room left at all
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.window.x << " x " << c.window.y << " - " << c.above);
    size = c.window;
    above = c.above;
    ui->frames(2);
    const float colW = std::clamp(0.26f * avail.x, 200.0f, 340.0f);
    const float nodeH = std::clamp((avail.y - 3 * hdr - 80) / 9, 34.0f, 64.0f);
    const float top = std::max(4.0f, (avail.y - 9 * nodeH - 3 * hdr - 76) / 2);
    const float step = nodeH + 8;
    // Centre y of node k of a column whose groups start at the given node numbers.
    auto y = [&](int k, int second, int third) {
      const int groups = 1 + (k >= second) + (k >= third);
      return origin.y + top + groups * hdr + (groups - 1) * 6 + k * step + nodeH / 2;
    };
    for (int s : {0, 2, 3, 6, 7, 8}) {
      EXPECT_NEAR(vizSourcePoint(s).x, origin.x + 10 + colW / 2, 0.01f) << s;
      EXPECT_NEAR(vizSourcePoint(s).y, y(s, 3, 7), 0.01f) << s;
    }
    for (int t : {0, 2, 3, 5}) {
      EXPECT_NEAR(vizTargetPoint(t).x, origin.x + avail.x - 10 - colW / 2, 0.01f) << t;
      EXPECT_NEAR(vizTargetPoint(t).y, y(t, 3, 99), 0.01f) << t;
    }
  }
  EXPECT_EQ(vizSourcePoint(9).x, 0.0f);
  EXPECT_EQ(vizTargetPoint(-1).y, 0.0f);
}

TEST_F(VisualTabTest, NodesSayWhatTheyCarry) {
  ui->sceneInWindow([this] { drawVisualization(*engine); });
  engine->setHwInputDevice(0, "mic-uid");
  engine->setHwInputDevice(1, "");
  Player& player = engine->player;
  PlayerTrack track;
  track.id = 77;
  track.title = "Sommerlied";
  player.playlist.push_back(track);
  const struct {
    const char* name;
    uint32_t lastTrack;
    bool playing;
    std::vector<std::string> users;
    std::vector<std::string> lines;
  } cases[] = {
      {"player plays its current track",
       77,
       true,
       {},
       {"Input 1\nMikrofon\n", "Input 2\nkein Gerät\n", "Virtual 1\nkeine App\n",
        "Default\nAndere Anwendungen\n", "Player\nSommerlied\n", "Velto Out 1\nVelto Out 1\n"}},
      {"player stopped",
       77,
       false,
       {"Zoom", "Chat"},
       {"Player\nstill\n", "Velto Out 1\nVelto Out 1 · Zoom, Chat\n"}},
      {"current track gone", 99, true, {}, {"Player\nstill\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    player.lastTrackId = c.lastTrack;
    player.playing.store(c.playing);
    engine->users[0] = c.users;
    ui->frame();
    for (const std::string& line : c.lines) EXPECT_TRUE(ui->shows(line)) << line << ui->text();
  }
  player.playing.store(false);
}

} // namespace
} // namespace velto::test
