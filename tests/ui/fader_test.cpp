// The fader on a live strip through the headless window: double click, wheel, drags, typed
// levels and the fade popup, each ending a running fade first; the meters' decay.
#include "ui/fader.h"

#include "core/levels.h"
#include "tests/support/ui/ui_harness.h"
#include "tests/support/ui/ui_steps.h"
#include "ui/window.h"

#include <imgui_internal.h>

#include <cmath>
#include <functional>

namespace velto {
namespace {

constexpr float kLength = 200.0f;

class FaderTest : public test::UiEngineTest {
protected:
  void SetUp() override {
    test::UiEngineTest::SetUp();
    gFaderH = kLength;
    ui->sceneInWindow([this] {
      gEngine = engine.get();
      origin = ImGui::GetCursorScreenPos();
      avail = ImGui::GetContentRegionAvail().x;
      faderBlock(gain(), engine->hwInputs[0].strip.meter);
    });
    ui->frame();
  }

public:
  std::atomic<float>& gain() { return engine->hwInputs[0].strip.gain; }
  float db() { return gainToDb(gain().load()); }
  // Screen point of level `d` on the fader's centre line (faderBlock: 8 px gap, then centred).
  // The pointer sits on whole pixels (ImGui floors it), so the point is nudged into the pixel.
  ImVec2 at(float d) const {
    const float x = origin.x + (avail - 59.0f) * 0.5f + 17.0f;
    const float top = origin.y + 8.0f + ImGui::GetStyle().ItemSpacing.y;
    return ImVec2(x, top + kLength * (1.0f - faderFraction(d)) + 0.25f);
  }
  bool fading() {
    float target = 0.0f;
    return engine->fadeTarget(gain(), target);
  }
  // Top-left of the open popup's window.
  ImVec2 popupPos() const {
    ImGuiContext& g = *GImGui;
    return g.OpenPopupStack.empty() || !g.OpenPopupStack.back().Window
               ? ImVec2(-1, -1)
               : g.OpenPopupStack.back().Window->Pos;
  }

  ImVec2 origin;
  float avail = 0.0f;
};

struct Gesture {
  const char* name;
  float startDb;
  std::function<void(FaderTest&, test::UiHarness&)> act;
  float expectDb;
  float tolerance;
};

TEST_F(FaderTest, EveryGestureEndsTheRunningFadeAndSetsItsLevel) {
  const Gesture gestures[] = {
      {"double click sets exactly 0 dB", -20.0f,
       [](FaderTest& t, test::UiHarness& u) { u.doubleClick(t.at(-30.0f)); }, 0.0f, 0.0f},
      {"button held after a double click does not drag", -20.0f,
       [](FaderTest& t, test::UiHarness& u) {
         u.click(t.at(-30.0f));
         u.press();
         u.move(t.at(-45.0f));
         u.release();
       },
       0.0f, 0.0f},
      {"wheel notch lands on the 0.5 dB grid", -3.2f,
       [](FaderTest& t, test::UiHarness& u) { u.wheel(t.at(-20.0f), 1.0f); }, -2.5f, 1e-4f},
      {"wheel stops at the bottom", -59.8f,
       [](FaderTest& t, test::UiHarness& u) { u.wheel(t.at(-20.0f), -1.0f); }, -60.0f, 0.0f},
      {"wheel stops at the top", 11.0f,
       [](FaderTest& t, test::UiHarness& u) { u.wheel(t.at(-20.0f), 4.0f); }, 12.0f, 1e-4f},
      {"drag from the handle moves it by the drag distance", -30.0f,
       [](FaderTest& t, test::UiHarness& u) {
         const ImVec2 h = t.at(-30.0f);
         u.drag(ImVec2(h.x, h.y + 5), ImVec2(h.x, h.y - 15));
       },
       -30.0f + 20.0f * 72.0f / kLength, 0.05f},
      {"press away from the handle jumps to the pointer", -30.0f,
       [](FaderTest& t, test::UiHarness& u) { u.drag(t.at(-6.0f), t.at(-6.0f), 1); }, -6.0f, 0.05f},
      {"Shift drag of the full length moves a tenth", -30.0f,
       [](FaderTest& t, test::UiHarness& u) {
         const ImVec2 h = t.at(-30.0f);
         u.hold(true);
         u.drag(h, ImVec2(h.x, h.y - kLength), 8);
         u.hold(false);
       },
       -30.0f + 7.2f, 0.05f},
  };
  for (const Gesture& g : gestures) {
    SCOPED_TRACE(g.name);
    gain().store(dbToGain(g.startDb));
    // A slow fade one dB down, so its own progress stays far below the tolerances.
    engine->fadeTo(gain(), g.startDb - 1.0f, kMinFadeSpeed);
    ASSERT_TRUE(fading());
    ui->move(ImVec2(1, 1));
    g.act(*this, *ui);
    EXPECT_FALSE(fading());
    EXPECT_NEAR(db(), g.expectDb, g.tolerance);
    ui->move(ImVec2(1, 1));
    ui->frames(10); // past the double-click time, so rows do not chain
  }
}

TEST_F(FaderTest, TypedLevelIsClampedAndTextThatIsNoNumberChangesNothing) {
  struct Row {
    const char* typed;
    float expectDb;
  } rows[] = {{"20", 12.0f}, {"-75", -60.0f}, {"-6.5", -6.5f}, {"1e1", 10.0f}, {"+", -3.0f}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.typed);
    gain().store(dbToGain(-3.0f));
    ui->click(at(-3.0f), 1);
    ASSERT_TRUE(ui->shows("Pegel in dB")) << ui->text();
    EXPECT_TRUE(ui->shows("-60 bis +12, Enter"));
    ui->hold(false, true);
    ui->key(ImGuiKey_A);
    ui->hold(false);
    ui->type(r.typed);
    ui->key(ImGuiKey_Enter);
    EXPECT_NEAR(db(), r.expectDb, 1e-4f);
    EXPECT_FALSE(ui->shows("Pegel in dB"));
  }
}

TEST_F(FaderTest, FadePopupStartsAFadeOrSetsTheLevelAtOnce) {
  struct Row {
    float clickDb;
    bool slowest; // slider at its left end (0.01) or its right end (1.0)
    const char* durationText;
    bool fadeRuns;
    const char* label;
  } rows[] = {
      {-24.0f, true, "Dauer 10.0 s", true, " > -24.0 dB"},
      {-42.0f, false, "sofort", false, "-42.0 dB"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.durationText);
    gain().store(1.0f);
    ui->click(at(r.clickDb), 1);
    ASSERT_TRUE(ui->shows("Fade starten"));
    // Popup rows: "Fade", the target field, then the 160 px slider.
    const ImVec2 p = popupPos();
    const ImGuiStyle& s = ImGui::GetStyle();
    const float sliderY = p.y + s.WindowPadding.y + ImGui::GetTextLineHeight() +
                          ImGui::GetFrameHeight() + 2 * s.ItemSpacing.y +
                          ImGui::GetFrameHeight() * 0.5f;
    const float sliderX = p.x + s.WindowPadding.x + (r.slowest ? 1.0f : 159.0f);
    ui->click(ImVec2(sliderX, sliderY));
    EXPECT_TRUE(ui->shows(r.durationText)) << ui->text();
    ui->key(ImGuiKey_Enter);
    EXPECT_FALSE(ui->shows("Fade starten"));
    float target = 0.0f;
    EXPECT_EQ(engine->fadeTarget(gain(), target), r.fadeRuns);
    if (r.fadeRuns) {
      EXPECT_FLOAT_EQ(target, std::round(r.clickDb * 10.0f) / 10.0f);
    } else {
      EXPECT_NEAR(db(), r.clickDb, 1e-4f);
    }
    ui->move(ImVec2(1, 1));
    EXPECT_TRUE(ui->shows(r.label)) << ui->text();
    engine->cancelFade(gain());
  }
}

TEST_F(FaderTest, HandleAndGripsFadeWithTheStyleAlpha) {
  // The handle's face and its grip lines, as drawn at full opacity.
  const ImVec4 face{215 / 255.0f, 220 / 255.0f, 232 / 255.0f, 1.0f};
  const ImVec4 grip{40 / 255.0f, 42 / 255.0f, 50 / 255.0f, 1.0f};
  const struct {
    bool vertical;
    float alpha; // of the style while the fader is drawn
  } cases[] = {{true, 1.0f}, {true, 0.45f}, {true, 0.01f}, {false, 0.45f}, {false, 0.75f}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.vertical ? "vertical " : "horizontal ") + std::to_string(c.alpha));
    ui->sceneInWindow([&] {
      gEngine = engine.get();
      ImGui::PushStyleVar(ImGuiStyleVar_Alpha, c.alpha);
      fader(gain(), engine->hwInputs[0].strip.meter, c.vertical, kLength);
      ImGui::PopStyleVar();
    });
    ui->move(ImVec2(test::UiHarness::kWidth - 5, test::UiHarness::kHeight - 5));
    ui->frames(2);
    // The style's share of the opaque alpha byte, cut to a whole byte as ImGui does.
    const float alpha = std::floor(255.0f * c.alpha) / 255.0f;
    for (const ImVec4& colour : {face, grip}) {
      EXPECT_FALSE(test::drawnIn(ImVec4(colour.x, colour.y, colour.z, alpha)).empty())
          << "drawn at the style's alpha";
      if (c.alpha < 1.0f) {
        EXPECT_TRUE(test::drawnIn(colour).empty()) << "never opaque";
      }
    }
  }
}

TEST_F(FaderTest, MeterFallsToATenthPerSecondAtAnyFrameRate) {
  PeakMeter& meter = engine->hwInputs[0].strip.meter;
  for (int fps : {30, 60, 144}) {
    SCOPED_TRACE(fps);
    gMeters.clear();
    meter.left.store(0.5f);
    meter.right.store(0.25f);
    ImGui::GetIO().DeltaTime = 1.0f / float(fps);
    ui->frames(fps + 1); // the first frame takes the peak, the next fps frames make one second
    const std::pair<float, float> shown = gMeters[&meter];
    EXPECT_NEAR(shown.first, 0.05f, 1e-4f);
    EXPECT_NEAR(shown.second, 0.025f, 1e-4f);
    EXPECT_EQ(meter.left.load(), 0.0f); // taken by the display
  }
  ImGui::GetIO().DeltaTime = 1.0f / 30.0f;
}

} // namespace
} // namespace velto
