// The Software tab on a live engine with a simulated application process: adding from the list
// captures into a slot, the row's controls act on the engine, the status follows the capture.
#include "ui/software_tab.h"

#include "engine/engine.h"
#include "platform/audio/layer/manual_clock.h"
#include "platform/audio/layer/running_apps.h"
#include "tests/support/ui/ui_harness.h"
#include "ui/window.h"

#include <climits>
#include <functional>
#include <string>

namespace velto::test {
namespace {

namespace audio = platform::audio;

constexpr char kRadio[] = "com.example.radio";

audio::SimProcessConfig radio(audio::SignalSource signal) {
  return {4201, kRadio, "radio", "", true, false, {"spk-uid"}, {}, signal};
}

class SoftwareTabTest : public UiEngineTest {
public:
  void SetUp() override {
    UiEngineTest::SetUp();
    audio::addRunningApplication({kRadio, "Radio", 4201, audio::ActivationPolicy::Regular});
    process = audio::addSimProcess(radio(audio::SignalSource::sine(440.0, 0.5f)));
    settle();
    selectTab(kTabSoftware);
    ui->frames(2);
  }
  audio::ObjectId process = 0;
};

TEST_F(SoftwareTabTest, ChosenCandidateIsCapturedWithTheDefaultRoute) {
  ui->click(ui->textPos("+ App hinzufügen"));
  ui->frame();
  ui->type("zzz");
  ui->frame();
  EXPECT_FALSE(ui->shows("Radio"));
  for (int k = 0; k < 3; ++k) ui->key(ImGuiKey_Backspace);
  ui->type("example.RA"); // a part of the id only, in other case
  ui->frame();
  EXPECT_TRUE(ui->shows("Radio") && ui->shows("spielt"));
  ui->click(ui->textPos("Radio"));
  ASSERT_EQ(engine->appCount(), 1);
  const AppSource& app = engine->app(0);
  EXPECT_EQ(app.bundleId + "/" + app.strip.name, std::string(kRadio) + "/Radio");
  EXPECT_EQ(app.strip.routeMask.load(), 8u); // "Default" only
  EXPECT_EQ(app.strip.gain.load(), 1.0f);
  EXPECT_FALSE(app.strip.mute.load() || app.passthrough);
  EXPECT_NE(app.ioProc, audio::kNoIoProc);
}

TEST_F(SoftwareTabTest, RowControlsActOnTheEngine) {
  ASSERT_EQ(engine->addApp(kRadio), 0);
  ASSERT_EQ(engine->addApp("com.example.podcast"), 1);
  ui->frame();
  for (int row : {INT_MIN, -1, 2, 16, INT_MAX}) EXPECT_EQ(appAt(*engine, row), nullptr) << row;
  EXPECT_EQ(appAt(*engine, 1), &engine->app(1));
  const AppSource& first = engine->app(0);
  const struct {
    const char* column;
    std::function<bool()> done;
  } steps[] = {
      {"Original", [&] { return first.passthrough && first.ioProc != audio::kNoIoProc; }},
      {"Original", [&] { return !first.passthrough && first.ioProc != audio::kNoIoProc; }},
      {"M", [&] { return first.strip.mute.load(); }},
      {"x", [&] { return engine->appCount() == 1 && engine->app(0).strip.name != "Radio"; }},
  };
  for (const auto& s : steps) {
    ui->click(ImVec2(ui->textPos(s.column).x, ui->textPos("Radio").y));
    ui->frame();
    EXPECT_TRUE(s.done()) << s.column;
  }
}

TEST_F(SoftwareTabTest, SoundStatusFollowsTheProcess) {
  ASSERT_EQ(engine->addApp(kRadio), 0);
  const AppSource& app = engine->app(0);
  auto behind = [&] { return app.callbacks.load() - app.lastAudible.load(); };
  const struct {
    const char* name;
    std::function<void()> act;
    const char* shown;
  } steps[] = {
      {"plays", [&] { audio::runCycles(20); }, "Ton"},
      {"no callback for a second", [&] { ui->frames(31); }, "Stille"},
      {"silent for 199 callbacks",
       [&] {
         audio::updateSimProcess(process, radio(audio::SignalSource::silence()));
         settle();
         while (behind() < 199) audio::runCycles(1);
       },
       "Ton"},
      {"silent for 200 callbacks", [&] { audio::runCycles(1); }, "Stille"},
      {"process ends", [&] { audio::removeSimProcess(process), settle(), audio::runCycles(4); },
       "Stille"},
  };
  for (const auto& s : steps) {
    s.act();
    ui->frame();
    EXPECT_TRUE(ui->shows(s.shown) && !ui->shows(s.shown[0] == 'T' ? "Stille" : "Ton"))
        << s.name << ", " << behind() << " callbacks behind";
  }
  // An engine that makes no taps cannot capture the running application.
  process = audio::addSimProcess(radio(audio::SignalSource::silence()));
  Engine offline(false);
  ASSERT_EQ(offline.addApp(kRadio), 0);
  ui->sceneInWindow([&] { drawSoftware(offline); });
  ui->frame();
  EXPECT_TRUE(ui->shows("kein Zugriff"));
}

} // namespace
} // namespace velto::test
