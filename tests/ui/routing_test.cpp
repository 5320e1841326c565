// Route buttons, mute and the device chooser on a live engine through the headless window:
// one bit per click with fetch-xor, the reasons in the tooltip, the chooser's list, pick and
// status line.
#include "ui/routing.h"

#include "engine/engine.h"
#include "tests/support/ui/ui_harness.h"
#include "ui/style.h"
#include "ui/window.h"

#include <imgui_internal.h>

namespace velto {
namespace {

class RoutingTest : public test::UiEngineTest {
protected:
  void SetUp() override {
    test::UiEngineTest::SetUp();
    engine->setHwOutputDevice(0, "spk-uid");
    engine->setHwOutputDevice(1, "");
    ui->sceneInWindow([this] {
      gEngine = engine.get();
      origin = ImGui::GetCursorScreenPos();
      Strip& strip = engine->hwInputs[0].strip;
      routeButtons(*engine, strip);
      muteButton(strip.mute);
    });
    ui->frame();
  }

  // Centre of route button k (24 px rows, a 2 px gap before the virtual outputs), k = 6: MUTE.
  ImVec2 button(int k) const {
    const float row = 24.0f + ImGui::GetStyle().ItemSpacing.y;
    const float gap = k >= 3 ? 2.0f + ImGui::GetStyle().ItemSpacing.y : 0.0f;
    return ImVec2(origin.x + 40, origin.y + k * row + gap + 12);
  }

  ImVec2 origin;
};

TEST_F(RoutingTest, EachRouteButtonFlipsExactlyItsBitAndBack) {
  std::atomic<uint32_t>& mask = engine->hwInputs[0].strip.routeMask;
  const uint32_t pattern = 0x100u | 0x15u;
  mask.store(pattern);
  for (int k = 0; k < 6; ++k) {
    SCOPED_TRACE(k);
    ui->click(button(k));
    EXPECT_EQ(mask.load(), pattern ^ (1u << k));
    ui->click(button(k));
    EXPECT_EQ(mask.load(), pattern);
  }
  std::atomic<bool>& mute = engine->hwInputs[0].strip.mute;
  ui->click(button(6));
  EXPECT_TRUE(mute.load());
  ui->click(button(6));
  EXPECT_FALSE(mute.load());
}

TEST_F(RoutingTest, TooltipSaysWhyNothingIsHeard) {
  const struct {
    int bit;
    bool set;
    bool busMuted;
    const char* tooltip;
  } rows[] = {
      {0, true, true, "\nverbunden - Ziel gemutet"},
      {1, true, false, "\nverbunden - Ziel hat kein Gerät"},
      {0, false, false, "\nnicht verbunden\n"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.tooltip);
    engine->hwInputs[0].strip.routeMask.store(r.set ? 1u << r.bit : 0u);
    engine->buses[r.bit].mute.store(r.busMuted);
    ui->move(button(r.bit));
    ui->frame();
    EXPECT_TRUE(ui->shows(r.tooltip)) << ui->text();
    engine->buses[r.bit].mute.store(false);
  }
}

class DeviceComboTest : public test::UiEngineTest {
protected:
  void SetUp() override {
    test::UiEngineTest::SetUp();
    ui->sceneInWindow([this] {
      gEngine = engine.get();
      origin = ImGui::GetCursorScreenPos();
      deviceCombo(
          *engine, engine->hwInputs[0].link, DeviceRole::Input, kAccentIn,
          [this](const std::string& uid) { engine->setHwInputDevice(0, uid); }, warning);
    });
    ui->frame();
  }

  ImVec2 origin;
  std::string warning;
};

TEST_F(DeviceComboTest, ListsOnlyFittingDevicesAndBindsThePickedOne) {
  engine->setHwInputDevice(0, "");
  ui->click(ImVec2(origin.x + 50, origin.y + 9));
  ui->frame(); // a popup is measured on its first frame and shown from the next
  const std::string shown = ui->text();
  EXPECT_NE(shown.find("Mikrofon 2 ch · 48 kHz"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("Lautsprecher"), std::string::npos); // no input channels
  EXPECT_EQ(shown.find("Velto Out 1"), std::string::npos);  // virtual

  int row = 1; // after "kein Gerät"
  for (const DeviceInfo& d : engine->devices) {
    if (d.uid == "mic-uid") break;
    if (Engine::fits(d, DeviceRole::Input)) ++row;
  }
  const ImGuiContext& g = *GImGui;
  ASSERT_FALSE(g.OpenPopupStack.empty());
  const ImVec2 p = g.OpenPopupStack.back().Window->Pos;
  const float pitch = ImGui::GetTextLineHeight() + ImGui::GetStyle().ItemSpacing.y;
  ui->click(ImVec2(p.x + 40, p.y + ImGui::GetStyle().WindowPadding.y + row * pitch + 6));
  EXPECT_EQ(engine->hwInputs[0].link.uid, "mic-uid");
  EXPECT_NE(engine->hwInputs[0].link.ioProc, platform::audio::kNoIoProc);
}

TEST_F(DeviceComboTest, StatusLineShowsTheFirstProblem) {
  const struct {
    const char* uid;
    const char* warning;
    const char* label;
    const char* status; // "" = the empty line
  } rows[] = {
      {"", "", "kein Gerät", ""},
      {"gone-uid", "", "(getrennt)", "nicht verbunden"},
      {"mic-uid", "Rückkopplung 2.5 kHz", "Mikrofon", "Rückkopplung 2.5 kHz"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.uid) + " " + r.warning);
    engine->setHwInputDevice(0, r.uid);
    warning = r.warning;
    ui->frame();
    const std::string shown = ui->text();
    EXPECT_NE(shown.find(r.label), std::string::npos) << shown;
    if (*r.status) {
      EXPECT_NE(shown.find(r.status), std::string::npos) << shown;
    } else {
      EXPECT_EQ(shown.find("verbunden"), std::string::npos) << shown;
      EXPECT_EQ(shown.find("Rückkopplung"), std::string::npos) << shown;
    }
  }
}

} // namespace
} // namespace velto
