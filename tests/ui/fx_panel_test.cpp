// The effect settings panel on a live engine's first bank: parameters dragged, typed, toggled
// and chosen reach the bank through set and stay in range; the EQ curve follows the bank's
// response; presets apply their ten values; export through the save hook.
#include "ui/fx_panel.h"

#include "effects/eq_presets.h"
#include "effects/fx_chain.h"
#include "effects/input_fx.h"
#include "tests/support/ui/ui_harness.h"
#include "ui/window.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace velto {
namespace {

std::string gPickedPath;
std::string pickFile(const char*) {
  return gPickedPath;
}
std::string pickPath(const char*, const char*) {
  return gPickedPath;
}

class FxPanelTest : public test::UiEngineTest {
protected:
  void SetUp() override {
    test::UiEngineTest::SetUp();
    ui->sceneInWindow([this] { fxSettings(*engine, 0, bank(), kFx[shown], 0); });
    ui->frame();
  }
  void TearDown() override {
    gSavePicker = nullptr;
    gFilePicker = nullptr;
    test::UiEngineTest::TearDown();
  }

public:
  InputFx& bank() { return *engine->hwInputs[0].fxChain->banks[0]; }
  float value(FxId id, int i) { return bank().params[id][i].load(); }
  // A point on the slider of the row labelled `label`, `frac` along it.
  ImVec2 slider(const char* label, float frac) {
    const ImGuiStyle& s = ImGui::GetStyle();
    const float left = s.WindowPadding.x + 124.0f;
    const float width = test::UiHarness::kWidth - 2 * s.WindowPadding.x - 124.0f;
    const ImVec2 t = ui->textPos(label);
    return ImVec2(left + 2.0f + frac * (width - 4.0f), t.y + ImGui::GetTextLineHeight() * 0.5f);
  }
  void typeInto(ImVec2 at, const char* text) {
    ui->hold(false, true);
    ui->click(at);
    ui->hold(false);
    ui->type(text);
    ui->key(ImGuiKey_Enter);
  }

  FxId shown = FxId::gate;
};

TEST_F(FxPanelTest, EditedParameterReachesTheBankWithinItsRange) {
  struct Row {
    const char* name;
    FxId id;
    int index;
    float start;
    std::function<void(FxPanelTest&)> act;
    float expect;
  } rows[] = {
      {"drag to the right end", FxId::gate, 0, -50.0f,
       [](FxPanelTest& t) { t.ui->drag(t.slider("Schwelle", 0.5f), t.slider("Schwelle", 1.2f)); },
       0.0f},
      {"press at the left end", FxId::gate, 0, -50.0f,
       [](FxPanelTest& t) { t.ui->click(t.slider("Schwelle", 0.0f)); }, -80.0f},
      {"typed in range", FxId::gate, 0, -50.0f,
       [](FxPanelTest& t) { t.typeInto(t.slider("Schwelle", 0.5f), "-30"); }, -30.0f},
      {"typed above the range", FxId::gate, 0, -50.0f,
       [](FxPanelTest& t) { t.typeInto(t.slider("Schwelle", 0.5f), "30"); }, 0.0f},
      {"typed below the range", FxId::gate, 1, 20.0f,
       [](FxPanelTest& t) { t.typeInto(t.slider("Absenkung", 0.5f), "-30"); }, 0.0f},
      {"typed below a log range", FxId::compressor, 1, 3.0f,
       [](FxPanelTest& t) { t.typeInto(t.slider("Ratio", 0.5f), "0.2"); }, 1.0f},
      {"typed above a log range", FxId::compressor, 1, 3.0f,
       [](FxPanelTest& t) { t.typeInto(t.slider("Ratio", 0.5f), "500"); }, 20.0f},
      {"choice button", FxId::lowCut, 1, 12.0f,
       [](FxPanelTest& t) { t.ui->click(t.ui->textPos("24 dB/Okt")); }, 24.0f},
      {"toggle button", FxId::limiter, 2, 0.0f,
       [](FxPanelTest& t) {
         const ImVec2 p = t.ui->textPos("aus");
         // The row's own switch: the one below the effect's switch.
         t.ui->click(ImVec2(p.x + 4, p.y + 4));
       },
       1.0f},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    shown = r.id;
    bank().set(r.id, r.index, r.start);
    ui->move(ImVec2(1, 1));
    ui->frames(2);
    r.act(*this);
    ui->move(ImVec2(1, 1));
    EXPECT_NEAR(value(r.id, r.index), r.expect, 1e-4f);
    ui->frames(10); // past the double-click time
  }
}

TEST_F(FxPanelTest, EqCurveFollowsTheBankResponseAndStaysInsideItsLines) {
  InputFx& fx = bank();
  std::vector<ImVec2> pts;
  // 297 px give 99 intervals: points 0, 33, 66, 99 sit on 20 Hz, 200 Hz, 2 kHz and 20 kHz.
  const ImVec2 top(10.0f, 40.0f), size(297.0f, 100.0f);
  const double kAt[4] = {20.0, 200.0, 2000.0, 20000.0};
  struct Row {
    const char* name;
    float values[10];
    bool onTop, onBottom; // some point sits on the +18 / -18 dB line
  } rows[] = {
      {"podcast", {100, -2, 250, -3, 1.4f, 3500, 3, 1.2f, 10000, 2}, false, false},
      {"deep cuts", {500, -18, 100, -18, 0.3f, 3000, 0, 1, 8000, 0}, false, true},
      {"steep boosts", {500, 18, 400, 18, 0.3f, 3000, 18, 0.3f, 2000, 18}, true, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    for (int i = 0; i < 10; ++i) fx.set(FxId::eq, i, r.values[i]);
    eqCurvePoints(fx, top, size, pts);
    ASSERT_EQ(pts.size(), 100u);
    for (int k = 0; k < 4; ++k) {
      const ImVec2 p = pts[size_t(33 * k)];
      const double d = fx.eqResponseDb(kAt[k]);
      const double frac = d > 18.0 ? 0.05 : d < -18.0 ? 0.95 : 0.5 - d / 40.0;
      EXPECT_NEAR(p.x, top.x + 99.0f * float(k), 1e-3f);
      EXPECT_NEAR(p.y, top.y + frac * size.y, 1e-3);
    }
    bool onTop = false, onBottom = false;
    for (const ImVec2& p : pts) {
      EXPECT_GE(p.y, top.y + 0.05f * size.y - 1e-3f);
      EXPECT_LE(p.y, top.y + 0.95f * size.y + 1e-3f);
      onTop = onTop || std::fabs(p.y - (top.y + 0.05f * size.y)) < 1e-3f;
      onBottom = onBottom || std::fabs(p.y - (top.y + 0.95f * size.y)) < 1e-3f;
    }
    EXPECT_EQ(onTop, r.onTop);
    EXPECT_EQ(onBottom, r.onBottom);
  }
}

TEST_F(FxPanelTest, ChosenPresetWritesItsTenValues) {
  shown = FxId::eq;
  EqPreset mine = EqPresets::fromFx("Meine", bank());
  const float user[10] = {200, 4, 600, -5, 2, 4000, 6, 0.7f, 9000, -3};
  std::copy(user, user + 10, mine.values);
  std::string error;
  ASSERT_TRUE(EqPresets::save(mine, error)) << error;
  struct Row {
    const char* name;
    const float* values;
  } rows[] = {{"Podcast", kFactory[2].values},
              {"ASMR nah", kFactory[3].values},
              {"Meine", user},
              {"Neutral", kFactory[0].values}};
  const char* preview = "Neutral";
  ui->frame();
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ui->click(ui->textPos(preview));
    ui->frame(); // a new popup sizes itself unseen first
    ASSERT_TRUE(ui->shows("Akustikgitarre")) << ui->text();
    ui->click(ui->textPos(r.name));
    for (int i = 0; i < 10; ++i) EXPECT_NEAR(value(FxId::eq, i), r.values[i], 1e-4f) << i;
    ui->frames(2);
    EXPECT_FALSE(ui->shows("Akustikgitarre")); // the list closed
    preview = r.name;
  }
}

TEST_F(FxPanelTest, ExportWritesAnImportableFileOrSaysItFailed) {
  shown = FxId::eq;
  ui->frame();
  char tmpl[] = "/tmp/velto-fxpanel-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  // No hook: the button does nothing.
  gPickedPath = dir + "/none.veltoeq";
  ui->click(ui->textPos("Exportieren"));
  EXPECT_FALSE(std::filesystem::exists(gPickedPath));
  EXPECT_FALSE(ui->shows("exportiert"));
  gSavePicker = pickPath;
  struct Row {
    std::string path;
    const char* message;
    const char* storedName; // null: no file
  } rows[] = {
      {dir + "/Mein Klang.veltoeq", "exportiert", "Mein Klang"},
      {dir + "/.versteckt.veltoeq", "exportiert", "EQ"},
      {dir + "/fehlt/a.veltoeq", "nicht geschrieben", nullptr},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.path);
    gPickedPath = r.path;
    ui->click(ui->textPos("Exportieren"));
    ui->frame();
    EXPECT_TRUE(ui->shows(r.message)) << ui->text();
    if (!r.storedName) {
      EXPECT_FALSE(std::filesystem::exists(r.path));
      continue;
    }
    std::ifstream in(r.path);
    std::stringstream text;
    text << in.rdbuf();
    EqPreset read;
    ASSERT_TRUE(EqPresets::parse(text.str(), read));
    EXPECT_EQ(read.name, r.storedName);
    for (int i = 0; i < 10; ++i) EXPECT_NEAR(read.values[i], value(FxId::eq, i), 1e-3f);
    ui->frames(10);
  }
  std::filesystem::remove_all(dir);
}

TEST_F(FxPanelTest, ImportKeepsAPresetOfTheSameNameAndAppliesTheFile) {
  shown = FxId::eq;
  ui->frame();
  gFilePicker = pickFile;
  gPickedPath = std::string(std::getenv("HOME")) + "/in.veltoeq";
  struct Row {
    const char* text;
    const char* message;
    const char* savedAs; // null: nothing imported
    float lowGain;
  } rows[] = {
      {"# velto-eq 1\nname=Klang\nlow-gain=5\n", "importiert: Klang", "Klang", 5.0f},
      {"# velto-eq 1\nname=Klang\nlow-gain=-4\n", "importiert: Klang (2) (Name war vergeben",
       "Klang (2)", -4.0f},
      {"# velto-eq 1\nname=Podcast\nlow-gain=7\n", "importiert: Podcast (Import)",
       "Podcast (Import)", 7.0f},
      {"kein Inhalt\n", "keine EQ-Vorlage", nullptr, 7.0f},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    std::ofstream(gPickedPath) << r.text;
    ui->click(ui->textPos("Importieren"));
    ui->frame();
    EXPECT_TRUE(ui->shows(r.message)) << ui->text();
    EXPECT_NEAR(value(FxId::eq, 1), r.lowGain, 1e-4f);
    EqPreset p;
    if (r.savedAs) {
      EXPECT_TRUE(EqPresets::find(r.savedAs, p) && p.values[1] == r.lowGain);
    }
    ui->frames(10);
  }
  EqPreset first;
  ASSERT_TRUE(EqPresets::find("Klang", first));
  EXPECT_EQ(first.values[1], 5.0f); // the second import did not replace it
}

} // namespace
} // namespace velto
