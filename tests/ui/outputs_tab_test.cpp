// The Hardware Outputs tab on a live engine: cards select the shown output, the kind buttons set
// its speaker flag, the device panel reads the linked device, the limiter reaches its bank.
#include "effects/fx_table.h"
#include "effects/input_fx.h"
#include "tests/support/ui/ui_harness.h"
#include "ui/window.h"

#include <string>

namespace velto::test {
namespace {

class OutputsTabTest : public UiEngineTest {
public:
  void TearDown() override {
    gOutputSettings = 0;
    UiEngineTest::TearDown();
  }
  void show(int output) {
    selectTab(kTabOutputs);
    gOutputSettings = output;
    ui->move(ImVec2(1, 1));
    ui->frames(12); // also past the double-click time of the case before
  }
  // A point on a control: "Kopfhörer" also begins a planned button, so the kind buttons are
  // found from "Lautsprecher"; the limiter switch lies below the panel title; parameter widgets
  // start 124 px right of their label.
  ImVec2 at(const std::string& what) const {
    const ImGuiStyle& s = ImGui::GetStyle();
    const ImVec2 speaker = ui->textPos("Lautsprecher"), title = ui->textPos("Hörschutz-Limiter");
    if (what == "headphones") return ImVec2(speaker.x + 124 + s.ItemSpacing.x, speaker.y + 4);
    if (what == "switch")
      return ImVec2(title.x + 35, title.y + ImGui::GetTextLineHeight() + 2 * s.ItemSpacing.y + 8);
    const ImVec2 p = ui->textPos(what);
    if (what == "Output 3" || what == "Output 2" || what == "Lautsprecher") return p;
    return ImVec2(p.x + 124 + (what == "Vorausschau" ? 35 : 0), p.y + 4);
  }
};

TEST_F(OutputsTabTest, CardsSelectAndKindButtonsSetTheSpeakerFlag) {
  struct Case {
    int selected, headphonesOn; // stored beforehand; the selection may be out of range
    const char* click;
    int expectSelected, expectHeadphones; // -1 no output on headphones
  } const cases[] = {{0, -1, "Output 3", 2, -1},   {2, -1, "Output 2", 1, -1},
                     {1, -1, "headphones", 1, 1},  {2, 2, "Lautsprecher", 2, -1},
                     {-4, -1, "headphones", 0, 0}, {9, -1, "headphones", 2, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.click) + " from " + std::to_string(c.selected));
    for (int o = 0; o < 3; ++o) engine->buses[o].speaker.store(o != c.headphonesOn);
    show(c.selected);
    ui->click(at(c.click));
    EXPECT_EQ(gOutputSettings, c.expectSelected);
    for (int o = 0; o < 3; ++o) EXPECT_EQ(engine->buses[o].speaker.load(), o != c.expectHeadphones);
  }
}

TEST_F(OutputsTabTest, DevicePanelShowsTheLinkedDeviceWithLatencyAtItsOwnRate) {
  struct Case {
    int output;
    const char* device; // name and UID; "" unlinked
    double rate;
    uint32_t channels, latency; // the engine adds its 128-frame buffer to the latency
    const char* details;
  } const cases[] = {{0, "Monitor 48", 48000, 2, 112, "2 ch · 48 kHz · Latenz 5.0 ms"},
                     {1, "Studio 44", 44100, 2, 313, "2 ch · 44 kHz · Latenz 10.0 ms"},
                     {2, "Wandler 96", 96000, 4, 352, "4 ch · 96 kHz · Latenz 5.0 ms"},
                     {1, "", 0, 0, 0, "0 ch · 0 kHz · Latenz 0.0 ms"},
                     {2, "unplugged", 0, 0, 0, "0 ch · 0 kHz · Latenz 0.0 ms"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.details);
    if (c.rate > 0) {
      platform::audio::SimDeviceConfig config = speakerConfig(c.device, c.device, {c.channels});
      config.nominalRate = c.rate;
      config.availableRates = {c.rate}; // the engine cannot switch it to 48 kHz
      config.outputLatency = c.latency;
      ASSERT_NE(platform::audio::addSimDevice(config), 0u);
      settle();
    }
    engine->setHwOutputDevice(c.output, c.device);
    settle();
    show(c.output);
    // The panel's title line, then the details.
    const std::string title = c.rate > 0 ? c.device : "kein Gerät";
    EXPECT_TRUE(ui->shows(title + "\n" + c.details)) << ui->text();
  }
}

TEST_F(OutputsTabTest, LimiterSwitchAndParametersReachTheShownOutputsBank) {
  struct Case {
    int output;
    bool startOn;
    const char* click;
    int param; // -1 the switch
    float expect;
    const char* shown;
  } const cases[] = {{1, false, "switch", -1, 1, "an 0 ms"},
                     {2, true, "switch", -1, 0, "aus 0 ms"},
                     {0, true, "Decke", 0, -12, "Decke -12.0 dB"},
                     {2, true, "Release", 1, 1, "Release 1 ms"},
                     {1, true, "Vorausschau", 2, 1, "Vorausschau an +1,0 ms Latenz"},
                     {1, true, "Vorausschau", 2, 1, "an +1,0 ms 0.0 dB"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    InputFx &shown = *engine->buses[c.output].fx, &other = *engine->buses[(c.output + 1) % 3].fx;
    auto read = [&c](InputFx& b) -> float {
      return c.param < 0 ? b.enabled[FxId::limiter].load()
                         : b.params[FxId::limiter][c.param].load();
    };
    for (InputFx* b : {&shown, &other}) b->enabled[FxId::limiter].store(c.startOn);
    for (int j = 0; j < 3; ++j)
      shown.set(FxId::limiter, j, kFx[FxId::limiter].params[j].defaultValue);
    show(c.output);
    EXPECT_TRUE(ui->shows(c.startOn ? "an 0 ms" : "aus 0 ms"));
    const float before = read(other);
    ui->click(at(c.click));
    ui->move(ImVec2(1, 1));
    EXPECT_FLOAT_EQ(read(shown), c.expect);
    EXPECT_FLOAT_EQ(read(other), before);
    EXPECT_TRUE(ui->shows(c.shown)) << ui->text();
  }
}

} // namespace
} // namespace velto::test
