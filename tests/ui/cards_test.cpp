// Cards on a live engine through the headless window: renaming cuts a long name at a character
// boundary and never applies an empty one; the device card's rate warning follows the device's
// rate now, not the rate the device list saw.
#include "ui/cards.h"

#include "engine/engine.h"
#include "platform/audio/simulated/sim_devices.h"
#include "tests/support/ui/ui_harness.h"
#include "ui/window.h"

namespace velto {
namespace {

namespace audio = platform::audio;

class CardsTest : public test::UiEngineTest {
protected:
  void SetUp() override {
    test::UiEngineTest::SetUp();
    ui->sceneInWindow([this] {
      gEngine = engine.get();
      origin = ImGui::GetCursorScreenPos();
      hwInputCard(*engine, 0, false);
    });
    ui->frame();
  }

  // The title of a name wider than the card starts at the card's padding.
  ImVec2 titlePoint() const {
    const ImGuiStyle& s = ImGui::GetStyle();
    return ImVec2(origin.x + s.WindowPadding.x + 3,
                  origin.y + s.WindowPadding.y + ImGui::GetFrameHeight() * 0.5f);
  }

  ImVec2 origin;
};

TEST_F(CardsTest, RenameCutsAtACharacterBoundaryAndIgnoresAnEmptyName) {
  const std::string a60(60, 'a');
  const struct {
    std::string name;
    const char* typed; // null: confirm the offered text as it is
    std::string expect;
    bool staysOpen;
  } rows[] = {
      {std::string(70, 'a'), nullptr, std::string(63, 'a'), false},
      {a60 + "aa\xC3\xA4", nullptr, a60 + "aa", false},             // ä would need bytes 63 and 64
      {a60 + "a\xE2\x82\xAC", nullptr, a60 + "a", false},           // € would need 62..64
      {a60 + "\xE2\x82\xAC", nullptr, a60 + "\xE2\x82\xAC", false}, // exactly 63 bytes
      {a60 + "\xF0\x9F\x98\x80", nullptr, a60, false},              // a four-byte sequence
      {std::string(70, 'b'), "B\xC3\xBChne", "B\xC3\xBChne", false},
      {std::string(70, 'c'), "", std::string(70, 'c'), true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.expect);
    engine->hwInputs[0].strip.name = r.name;
    ui->frame();
    ui->click(titlePoint(), 1);
    ui->frame();
    ASSERT_TRUE(ui->shows("Umbenennen"));
    if (r.typed != nullptr) {
      ui->hold(false, true);
      ui->key(ImGuiKey_A);
      ui->hold(false);
      ui->key(ImGuiKey_Backspace);
      ui->type(r.typed);
    }
    ui->key(ImGuiKey_Enter);
    EXPECT_EQ(engine->hwInputs[0].strip.name, r.expect);
    EXPECT_EQ(ui->shows("Umbenennen"), r.staysOpen);
    if (r.staysOpen) ui->key(ImGuiKey_Escape);
  }
}

TEST_F(CardsTest, RateWarningReadsTheDevicesRateNow) {
  audio::SimDeviceConfig slow =
      test::microphoneConfig("slow-uid", "Langsam", audio::SignalSource::silence());
  slow.nominalRate = 44100.0;
  const audio::ObjectId device = audio::addSimDevice(slow);
  ASSERT_NE(device, 0u);
  settle();
  const DeviceInfo* listed = engine->findDevice("slow-uid");
  ASSERT_NE(listed, nullptr);
  ASSERT_EQ(listed->sampleRate, 44100.0); // the list keeps the rate it saw

  const struct {
    const char* step;
    std::function<void()> act;
    bool warns;
  } rows[] = {
      {"binding switches it to 48 kHz: no warning",
       [this] { engine->setHwInputDevice(0, "slow-uid"); }, false},
      {"switched to 44.1 kHz behind the engine's back",
       [device] { test::setDoubleProperty(device, audio::kPropNominalSampleRate, 44100.0); }, true},
      {"and back to 48 kHz",
       [device] { test::setDoubleProperty(device, audio::kPropNominalSampleRate, 48000.0); },
       false},
  };
  gCardW = 220.0f; // wide enough for the whole warning
  for (const auto& r : rows) {
    SCOPED_TRACE(r.step);
    r.act();
    settle();
    ui->frame();
    EXPECT_EQ(ui->shows("44100 Hz statt 48 kHz"), r.warns) << ui->text();
  }
  EXPECT_EQ(engine->hwInputs[0].link.uid, "slow-uid");
  EXPECT_TRUE(ui->shows("Langsam"));
  gCardW = 96.0f;
}

} // namespace
} // namespace velto
