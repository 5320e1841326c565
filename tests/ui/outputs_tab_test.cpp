// The Hardware Outputs tab on a live engine: cards select the output whose panels are shown, the
// kind buttons set its speaker flag, the device panel reads the linked device (latency at the
// device's own rate), and the limiter's switch and parameters reach that output's bank.
#include "effects/fx_table.h"
#include "effects/input_fx.h"
#include "engine/engine.h"
#include "tests/support/ui/ui_harness.h"
#include "ui/window.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace velto::test {
namespace {

class OutputsTabTest : public UiEngineTest {
public:
  void SetUp() override {
    UiEngineTest::SetUp();
    selectTab(kTabOutputs);
    ui->frames(2);
  }
  void TearDown() override {
    gOutputSettings = 0;
    UiEngineTest::TearDown();
  }
  void show(int output) {
    gOutputSettings = output;
    ui->move(ImVec2(1, 1));
    ui->frames(2);
  }
  // "Kopfhörer" also starts a planned button's label, so its kind button is found beside the
  // "Lautsprecher" button.
  ImVec2 kindButton(bool speaker) const {
    const ImVec2 p = ui->textPos("Lautsprecher");
    const float step = speaker ? 0.0f : 120.0f + ImGui::GetStyle().ItemSpacing.x;
    return ImVec2(p.x + step + 4, p.y + 4);
  }
  // The limiter's switch sits on the line below the panel title.
  ImVec2 limiterSwitch() const {
    const ImVec2 t = ui->textPos("Hörschutz-Limiter");
    return ImVec2(t.x + 35, t.y + ImGui::GetTextLineHeight() + 2 * ImGui::GetStyle().ItemSpacing.y +
                                ImGui::GetFrameHeight() * 0.5f);
  }
  // The parameter row labelled `label`: its widget starts 124 px right of the label.
  ImVec2 paramWidget(const char* label, float dx) const {
    const ImVec2 p = ui->textPos(label);
    return ImVec2(p.x + 124.0f + dx, p.y + 4);
  }
  InputFx& bank(int output) { return *engine->buses[output].fx; }
};

TEST_F(OutputsTabTest, CardsSelectAndKindButtonsSetTheSpeakerFlag) {
  struct Case {
    const char* name;
    int selected;     // stored before the frame; out-of-range values come from outside
    int headphonesOn; // output switched to headphones beforehand, -1 none
    std::function<void(OutputsTabTest&)> act;
    int expectSelected;
    bool expectSpeaker[3];
  };
  const Case cases[] = {
      {"card of output 3 selects it",
       0,
       -1,
       [](OutputsTabTest& t) { t.ui->click(t.ui->textPos("Output 3")); },
       2,
       {true, true, true}},
      {"card of output 2 selects it",
       2,
       -1,
       [](OutputsTabTest& t) { t.ui->click(t.ui->textPos("Output 2")); },
       1,
       {true, true, true}},
      {"headphones on output 2",
       1,
       -1,
       [](OutputsTabTest& t) { t.ui->click(t.kindButton(false)); },
       1,
       {true, false, true}},
      {"speakers again on output 3",
       2,
       2,
       [](OutputsTabTest& t) { t.ui->click(t.kindButton(true)); },
       2,
       {true, true, true}},
      {"current kind clicked again",
       0,
       -1,
       [](OutputsTabTest& t) { t.ui->click(t.kindButton(true)); },
       0,
       {true, true, true}},
      {"headphones when output 3 is shown",
       2,
       2,
       [](OutputsTabTest& t) { t.ui->click(t.kindButton(false)); },
       2,
       {true, true, false}},
      {"selection below the outputs",
       -4,
       -1,
       [](OutputsTabTest& t) { t.ui->click(t.kindButton(false)); },
       0,
       {false, true, true}},
      {"selection above the outputs",
       9,
       -1,
       [](OutputsTabTest& t) { t.ui->click(t.kindButton(false)); },
       2,
       {true, true, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (int o = 0; o < 3; ++o) engine->buses[o].speaker.store(o != c.headphonesOn);
    show(c.selected);
    c.act(*this);
    ui->frame();
    EXPECT_EQ(gOutputSettings, c.expectSelected);
    for (int o = 0; o < 3; ++o) EXPECT_EQ(engine->buses[o].speaker.load(), c.expectSpeaker[o]) << o;
    ui->frames(10); // past the double-click time
  }
}

TEST_F(OutputsTabTest, DevicePanelShowsTheLinkedDeviceWithLatencyAtItsOwnRate) {
  struct Case {
    const char* name;
    int output;
    const char* uid; // linked UID; "" none
    const char* device;
    std::vector<uint32_t> layout;
    double rate;
    uint32_t latency, safety; // frames; the engine adds its buffer of 128
    const char* title;        // first line of the panel
    const char* details;
  };
  const Case cases[] = {
      {"48 kHz stereo",
       0,
       "s48",
       "Monitor 48",
       {2},
       48000,
       100,
       12,
       "Monitor 48",
       "2 ch \u00b7 48 kHz \u00b7 Latenz 5.0 ms"},
      {"44.1 kHz",
       1,
       "s44",
       "Studio 44",
       {2},
       44100,
       200,
       113,
       "Studio 44",
       "2 ch \u00b7 44 kHz \u00b7 Latenz 10.0 ms"},
      {"96 kHz, four channels",
       2,
       "s96",
       "Wandler 96",
       {4},
       96000,
       300,
       52,
       "Wandler 96",
       "4 ch \u00b7 96 kHz \u00b7 Latenz 5.0 ms"},
      {"unlinked", 1, "", "", {}, 0, 0, 0, "kein Gerät", "0 ch \u00b7 0 kHz \u00b7 Latenz 0.0 ms"},
      {"linked device unplugged",
       2,
       "gone-uid",
       "",
       {},
       0,
       0,
       0,
       "kein Gerät",
       "0 ch \u00b7 0 kHz \u00b7 Latenz 0.0 ms"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.layout.empty()) {
      platform::audio::SimDeviceConfig config = speakerConfig(c.uid, c.device, c.layout);
      config.nominalRate = c.rate;
      config.availableRates = {c.rate}; // the engine cannot switch it to 48 kHz
      config.outputLatency = c.latency;
      config.outputSafetyOffset = c.safety;
      ASSERT_NE(platform::audio::addSimDevice(config), 0u);
      settle();
    }
    engine->setHwOutputDevice(c.output, c.uid);
    settle();
    show(c.output);
    EXPECT_TRUE(ui->shows(c.details)) << ui->text();
    // The title line stands right above the details line, in the panel.
    const ImVec2 title = ui->textPos(c.title), details = ui->textPos(c.details);
    EXPECT_NEAR(title.x, details.x, 1.0f);
    EXPECT_NEAR(details.y - title.y, ImGui::GetTextLineHeightWithSpacing(), 0.5f);
    engine->setHwOutputDevice(c.output, "");
  }
}

TEST_F(OutputsTabTest, LimiterSwitchAndParametersReachTheShownOutputsBank) {
  struct Case {
    const char* name;
    int output;
    bool startOn;
    std::function<void(OutputsTabTest&)> act;
    std::function<float(InputFx&)> read;
    float expect;
    const char* switchLine; // the switch and the added latency beside it, afterwards
    const char* shownAfter; // "" nothing more to look for
  };
  auto enabled = [](InputFx& b) { return b.enabled[FxId::limiter].load() ? 1.0f : 0.0f; };
  auto param = [](int j) { return [j](InputFx& b) { return b.params[FxId::limiter][j].load(); }; };
  const Case cases[] = {
      {"switch on", 1, false, [](OutputsTabTest& t) { t.ui->click(t.limiterSwitch()); }, enabled,
       1.0f, "an 0 ms", ""},
      {"switch off", 2, true, [](OutputsTabTest& t) { t.ui->click(t.limiterSwitch()); }, enabled,
       0.0f, "aus 0 ms", ""},
      {"ceiling at its lowest", 0, true,
       [](OutputsTabTest& t) { t.ui->click(t.paramWidget("Decke", 0)); }, param(0), -12.0f,
       "an 0 ms", "Decke -12.0 dB"},
      {"release at its shortest", 2, true,
       [](OutputsTabTest& t) { t.ui->click(t.paramWidget("Release", 0)); }, param(1), 1.0f,
       "an 0 ms", "Release 1 ms"},
      {"lookahead on", 1, true,
       [](OutputsTabTest& t) { t.ui->click(t.paramWidget("Vorausschau", 35)); }, param(2), 1.0f,
       "an +1,0 ms", "Vorausschau an +1,0 ms Latenz"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (int o = 0; o < 3; ++o) {
      bank(o).enabled[FxId::limiter].store(c.startOn);
      for (int j = 0; j < 3; ++j)
        bank(o).set(FxId::limiter, j, kFx[FxId::limiter].params[j].defaultValue);
    }
    show(c.output);
    ASSERT_TRUE(ui->shows(c.startOn ? "an 0 ms" : "aus 0 ms")) << ui->text();
    const float before = c.read(bank((c.output + 1) % 3));
    c.act(*this);
    ui->move(ImVec2(1, 1));
    EXPECT_FLOAT_EQ(c.read(bank(c.output)), c.expect);
    EXPECT_FLOAT_EQ(c.read(bank((c.output + 1) % 3)), before);
    EXPECT_TRUE(ui->shows(c.switchLine)) << ui->text();
    if (*c.shownAfter) {
      EXPECT_TRUE(ui->shows(c.shownAfter)) << ui->text();
    }
    ui->frames(10); // past the double-click time
  }
}

} // namespace
} // namespace velto::test
