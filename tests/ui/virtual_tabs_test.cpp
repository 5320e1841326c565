// The Virtual Inputs and Virtual Outputs tabs on a live engine through the headless window: the
// card rows' sizes and centring, the source matrix's rows and texts, and a cell click flipping
// exactly its route bit.
#include "ui/virtual_tabs.h"

#include "engine/engine.h"
#include "platform/audio/sim_devices.h"
#include "tests/support/ui/ui_harness.h"
#include "ui/cards.h"
#include "ui/fader.h"
#include "ui/window.h"

#include <imgui_internal.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace velto {
namespace {

class VirtualTabsTest : public test::UiEngineTest {
protected:
  void TearDown() override {
    gWantTab = -1;
    test::UiEngineTest::TearDown();
  }

  void open(int tab) {
    selectTab(tab);
    ui->frames(2);
  }

  // The matrix drawn in the last frame, or null.
  static ImGuiTable* matrix() {
    ImPool<ImGuiTable>& tables = GImGui->Tables;
    for (int n = 0; n < tables.GetMapSize(); ++n) {
      ImGuiTable* t = tables.TryGetMapData(n);
      if (t && t->LastFrameActive == ImGui::GetFrameCount()) return t;
    }
    return nullptr;
  }

  // Centre of the matrix cell of virtual output j in the row whose name starts at `row`.
  static ImVec2 cell(ImVec2 row, int j) {
    const ImGuiTableColumn& c = matrix()->Columns[1 + j];
    return ImVec2((c.MinX + c.MaxX) * 0.5f, row.y);
  }
};

TEST_F(VirtualTabsTest, FreshEngineShowsTheListedCardsAndRows) {
  const struct {
    int tab;
    std::function<void(VirtualTabsTest&)> setUp;
    std::vector<std::string> lines; // in drawing order
  } rows[] = {
      {kTabVirtualInputs,
       nullptr,
       {"Virtual 1\nkeine App\n", "Virtual 2\nkeine App\n", "Virtual 3\nkeine App\n",
        "Default\nAls Standard\nAndere Anwendungen\n"}},
      {kTabVirtualOutputs,
       nullptr,
       {"\nQuelle Velto Out 1 Velto Out 2 Velto Out 3\n", "\nInput 1 kein Gerät - - -\n",
        "\nInput 2 kein Gerät - - -\n", "\nInput 3 kein Gerät - - -\n",
        "\nVirtual 1 keine App - - -\n", "\nVirtual 2 keine App - - -\n",
        "\nVirtual 3 keine App - - -\n", "\nDefault Andere Anwendungen - - -\n",
        "\nVelto Out 1\nAls Standard\n", "\nVelto Out 3\nAls Standard\n"}},
      {kTabVirtualOutputs,
       [](VirtualTabsTest& t) {
         t.engine->setHwInputDevice(0, "mic-uid");
         for (int a = 0; a < 2; ++a) {
           AppSource& app = t.engine->apps[a];
           app.used = true;
           app.strip.name = a == 0 ? "Browser" : "Spiel";
           app.strip.routeMask.store(1u << 1);
         }
         t.engine->hwInputs[1].strip.routeMask.store(1u << 4);
       },
       {"\nInput 1 Mikrofon - - -\n", "\nInput 2 kein Gerät - verbunden -\n",
        "\nVirtual 1 keine App - - -\n", "\nVirtual 2 Browser, Spiel - - -\n"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.lines.front());
    if (r.setUp) r.setUp(*this);
    open(r.tab);
    size_t at = 0;
    for (const std::string& line : r.lines) {
      at = ui->text().find(line, at);
      ASSERT_NE(at, std::string::npos) << line << " in\n" << ui->text();
    }
  }
}

TEST_F(VirtualTabsTest, MatrixCellFlipsExactlyItsBitAndBack) {
  engine->setHwInputDevice(2, "mic-uid");
  open(kTabVirtualOutputs);
  const struct {
    const char* row;
    std::atomic<uint32_t>& mask;
    int j;
    uint32_t pattern; // the mask before the first click
    bool unplug;      // the row's device goes away first
  } rows[] = {
      {"Input 1", engine->hwInputs[0].strip.routeMask, 0, 0x00u, false},
      {"Input 2", engine->hwInputs[1].strip.routeMask, 2, 0x13u, false},
      {"Virtual 1", engine->virtualIns[0].strip.routeMask, 1, 0x30u, false},
      {"Virtual 3", engine->virtualIns[2].strip.routeMask, 0, 0x08u, false},
      {"Default", engine->virtualIns[3].strip.routeMask, 2, 0x2Fu, false},
      {"Input 3", engine->hwInputs[2].strip.routeMask, 1, 0x01u, true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.row);
    if (r.unplug) {
      ASSERT_TRUE(platform::audio::removeSimDevice("mic-uid"));
      settle();
      ui->frame();
      ASSERT_TRUE(ui->shows(std::string(r.row) + " kein Gerät"));
    }
    const ImVec2 at = cell(ui->textPos(r.row), r.j);
    const uint32_t bit = 1u << (3 + r.j);
    const std::string name = engine->buses[3 + r.j].name;
    const std::string before = std::string(r.row) + (r.pattern & bit ? " ist in " : " nicht in ");
    const std::string after = std::string(r.row) + (r.pattern & bit ? " nicht in " : " ist in ");
    r.mask.store(r.pattern);
    ui->click(at);
    EXPECT_EQ(r.mask.load(), r.pattern ^ bit);
    EXPECT_TRUE(ui->shows(before + name)) << ui->text(); // the frame of the click
    ui->frames(2); // a tooltip grown by a longer text takes its new size a frame later
    EXPECT_TRUE(ui->shows(after + name)) << ui->text();
    ui->click(at);
    EXPECT_EQ(r.mask.load(), r.pattern);
    r.mask.store(0);
  }
}

} // namespace
} // namespace velto
