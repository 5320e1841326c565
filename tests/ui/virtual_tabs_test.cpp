// The Virtual Inputs and Virtual Outputs tabs on a live engine through the headless window: the
// rows and texts of a fresh engine, a matrix cell flipping exactly its route bit, and the card
// rows' sizes and centring.
#include "ui/virtual_tabs.h"

#include "engine/engine.h"
#include "tests/support/ui/ui_harness.h"
#include "ui/cards.h"
#include "ui/fader.h"
#include "ui/help.h"
#include "ui/window.h"

#include <imgui_internal.h>

namespace velto {
namespace {

class VirtualTabsTest : public test::UiEngineTest {
protected:
  void show(int tab) {
    selectTab(tab);
    ui->frames(2);
  }
  // The matrix table of the last frame; null when none was drawn.
  static const ImGuiTable* matrix() {
    for (int n = 0; n < GImGui->Tables.GetMapSize(); ++n) {
      const ImGuiTable* t = GImGui->Tables.TryGetMapData(n);
      if (t && t->LastFrameActive == ImGui::GetFrameCount()) return t;
    }
    return nullptr;
  }
  // Centre of virtual output j's cell in the matrix row named `row`, in the last frame's table.
  ImVec2 cell(const char* row, int j) const {
    for (int n = 0; n < GImGui->Tables.GetMapSize(); ++n) {
      const ImGuiTable* t = GImGui->Tables.TryGetMapData(n);
      if (!t || t->LastFrameActive != ImGui::GetFrameCount()) continue;
      const ImGuiTableColumn& c = t->Columns[1 + j];
      return ImVec2((c.MinX + c.MaxX) * 0.5f, ui->textPos(row).y);
    }
    return ImVec2(-1, -1);
  }
};

TEST_F(VirtualTabsTest, RowsAndCardsShowTheirTexts) {
  const struct {
    int tab;
    bool devicesAndApps; // input 1 on the microphone, two applications in virtual input 2
    std::vector<std::string> parts; // in drawing order
  } rows[] = {
      {kTabVirtualInputs,
       false,
       {"Virtual 1\nkeine App\n", "Virtual 2\nkeine App\n", "Virtual 3\nkeine App\n",
        "Default\nAls Standard\nAndere Anwendungen\n"}},
      {kTabVirtualOutputs,
       false,
       {"\nQuelle Velto Out 1 Velto Out 2 Velto Out 3\nInput 1 kein Gerät - - -\n"
        "Input 2 kein Gerät - - -\nInput 3 kein Gerät - - -\nVirtual 1 keine App - - -\n"
        "Virtual 2 keine App - - -\nVirtual 3 keine App - - -\n"
        "Default Andere Anwendungen - - -\n",
        "\nVelto Out 1\nAls Standard\n", "\nVelto Out 3\nAls Standard\n"}},
      {kTabVirtualOutputs,
       true,
       {"\nInput 1 Mikrofon - - -\nInput 2 kein Gerät - verbunden -\n",
        "\nVirtual 2 Browser, Spiel - - -\n"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.parts.front());
    if (r.devicesAndApps) {
      engine->setHwInputDevice(0, "mic-uid");
      engine->hwInputs[1].strip.routeMask.store(1u << 4);
      int slot = 0;
      for (const char* name : {"Browser", "Spiel"}) {
        AppSource& app = engine->apps[slot++];
        app.used = true;
        app.strip.name = name;
        app.strip.routeMask.store(1u << 1);
      }
    }
    show(r.tab);
    size_t at = 0;
    for (const std::string& part : r.parts) {
      at = ui->text().find(part, at);
      ASSERT_NE(at, std::string::npos) << part << " in\n" << ui->text();
    }
  }
}

TEST_F(VirtualTabsTest, MatrixCellFlipsExactlyItsBitAndBack) {
  show(kTabVirtualOutputs);
  const struct {
    const char* row;
    std::atomic<uint32_t>& mask;
    int j;
    uint32_t pattern; // the mask before the first click
  } rows[] = {
      {"Input 1", engine->hwInputs[0].strip.routeMask, 0, 0x00u},
      {"Input 3", engine->hwInputs[2].strip.routeMask, 2, 0x13u},
      {"Virtual 1", engine->virtualIns[0].strip.routeMask, 1, 0x30u},
      {"Virtual 3", engine->virtualIns[2].strip.routeMask, 0, 0x08u},
      {"Default", engine->virtualIns[3].strip.routeMask, 2, 0x2Fu},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.row);
    const uint32_t bit = 1u << (3 + r.j);
    const std::string in = std::string(r.row) + " ist in " + engine->buses[3 + r.j].name;
    const std::string out = std::string(r.row) + " nicht in " + engine->buses[3 + r.j].name;
    const ImVec2 at = cell(r.row, r.j); // while the name shows in the matrix only
    r.mask.store(r.pattern);
    ui->click(at);
    EXPECT_EQ(r.mask.load(), r.pattern ^ bit);
    EXPECT_TRUE(ui->shows(r.pattern & bit ? in : out)); // the click's frame: the state before
    ui->frames(2); // a tooltip grown by a longer text takes its new size a frame later
    EXPECT_TRUE(ui->shows(r.pattern & bit ? out : in)) << ui->text();
    ui->click(at);
    EXPECT_EQ(r.mask.load(), r.pattern);
    r.mask.store(0);
  }
}

TEST_F(VirtualTabsTest, CardRowFitsItsContentAndIsCentredWhereThereIsRoom) {
  const struct {
    bool outputs;
    ImVec2 content;
    float cardW, faderH, top, right; // top and right edge of the row within the content
    float groupW;                    // the matrix, or the inputs' whole row
  } rows[] = {
      {false, {1400, 500}, 180, 154, 4, 1072, 744}, // centred
      {false, {300, 400}, 96, 120, 0, 408, 408},    // past the right edge
      {true, {1800, 784}, 180, 420, 13, 1572, 760},
      {true, {700, 784}, 96, 420, 13, 852, 520},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.content.x);
    ImVec2 origin, min, max;
    ui->scene = [&] {
      ImGui::SetNextWindowPos(ImVec2(0, 0));
      ImGui::SetNextWindowSize(ImVec2(r.content.x + 16, r.content.y + 16));
      ImGui::Begin("row", nullptr, ImGuiWindowFlags_NoDecoration);
      origin = ImGui::GetCursorScreenPos();
      (r.outputs ? drawVirtualOutputs : drawVirtualInputs)(*engine);
      min = ImGui::GetItemRectMin(); // the last group
      max = ImGui::GetItemRectMax();
      ImGui::End();
    };
    ui->frames(2);
    EXPECT_NEAR(gCardW, r.cardW, 0.01f);
    EXPECT_EQ(gFaderH, r.faderH);
    EXPECT_NEAR(min.y - origin.y, r.top, 0.5f);
    // a card's child window is a whole number of pixels wide, so three cards may lose one
    EXPECT_NEAR(max.x - origin.x, r.right, 1.0f);
    EXPECT_NEAR(max.x - min.x, r.groupW, 0.5f);
  }
}

class WithoutDriverTest : public VirtualTabsTest {
protected:
  void SetUp() override {
    audioOptions.withDriver = false;
    VirtualTabsTest::SetUp();
  }
};

TEST_F(WithoutDriverTest, MissingDriverNamesTheWayToInstallIt) {
  ASSERT_EQ(engine->findDevice("VeltoClock_UID"), nullptr);
  for (int tab : {kTabVirtualOutputs, kTabVirtualInputs}) {
    SCOPED_TRACE(tab);
    show(tab);
    const ImVec2 at = ui->textPos("Treiber fehlt");
    ASSERT_GE(at.x, 0.0f) << ui->text();
    ui->move(ImVec2(at.x + 10, at.y));
    ui->frames(2);
    EXPECT_TRUE(ui->shows("Einstellungen \xE2\x86\x92 Treiber \xE2\x86\x92 Installieren"))
        << ui->text();
    EXPECT_FALSE(ui->shows("make"));
  }
}

TEST_F(VirtualTabsTest, MatrixHeadersStayClearOfTheHelpButtonAtEveryWindowSize) {
  const ImVec2 sizes[] = {{1100, 640}, {1180, 700}, {1280, 720}, {1460, 800}, {1920, 1080}};
  for (const ImVec2& size : sizes) {
    SCOPED_TRACE(std::to_string(int(size.x)) + "x" + std::to_string(int(size.y)));
    ImGui::GetIO().DisplaySize = size;
    show(kTabVirtualOutputs);
    const ImVec2 button = helpButtonPoint();
    const float half = kHelpButtonSize * 0.5f;
    ASSERT_GT(button.x, size.x - 60.0f) << "the button stands at the top right";
    const ImGuiTable* table = matrix();
    ASSERT_NE(table, nullptr);
    const float headerTop = table->OuterRect.Min.y;
    for (int j = 0; j < 3; ++j) {
      const ImGuiTableColumn& c = table->Columns[1 + j];
      // Each header is centred in its column.
      const float right = (c.MinX + c.MaxX + ImGui::CalcTextSize("Velto Out 3").x) * 0.5f;
      const bool beside = right < button.x - half;
      const bool below = headerTop > button.y + half;
      EXPECT_TRUE(beside || below) << j << ": ends at " << right << ", top " << headerTop;
      EXPECT_LE(c.MaxX, size.x) << j;
    }
  }
  ImGui::GetIO().DisplaySize = ImVec2(test::UiHarness::kWidth, test::UiHarness::kHeight);
}

} // namespace
} // namespace velto
