// The Player and Pads tabs without the driver's clock device: they say why they stay silent and
// offer the settings' install action; with the device the line is gone.
#include "api/hooks.h"
#include "tests/support/ui/ui_steps.h"
#include "ui/window.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velto::test {
namespace {

std::vector<bool> gInstalls;
bool recordInstall(bool install, std::string& error) {
  gInstalls.push_back(install);
  error = "abgebrochen";
  return false;
}

class DriverNotice : public UiEngineTest {
protected:
  void SetUp() override {
    audioOptions.withDriver = false;
    UiEngineTest::SetUp();
  }
};

struct TabCase {
  int tab;
  const char* text;
};
const TabCase kTabCases[] = {
    {kTabPlayer, "Ohne den Velto-Treiber spielt der Player nicht."},
    {kTabPads, "Ohne den Velto-Treiber spielen die Pads nicht."},
};

TEST_F(DriverNotice, PlayerAndPadsSayTheDriverIsNeededAndOfferItsInstall) {
  appHooks().bundledDriverVersion = [] { return 2; };
  appHooks().installDriver = recordInstall;
  ASSERT_EQ(engine->findDevice("VeltoClock_UID"), nullptr);
  for (const TabCase& c : kTabCases) {
    SCOPED_TRACE(c.text);
    selectTab(c.tab);
    ui->frames(3);
    EXPECT_TRUE(ui->shows("Treiber fehlt")) << ui->text();
    EXPECT_TRUE(ui->shows(c.text)) << ui->text();
    gInstalls.clear();
    clickText(*ui, "Installieren", ImVec2(3, 6));
    ui->frame();
    ASSERT_EQ(gInstalls.size(), 1u);
    EXPECT_TRUE(gInstalls[0]) << "installs, never removes";
    EXPECT_TRUE(ui->shows("abgebrochen")) << "the install's error is shown";
  }
  // Without a bundle to install, the button is drawn but does nothing.
  appHooks().bundledDriverVersion = [] { return 0; };
  ui->frames(95); // the bundle is looked at every 3 s
  gInstalls.clear();
  clickText(*ui, "Installieren", ImVec2(3, 6));
  ui->frame();
  EXPECT_TRUE(gInstalls.empty());
}

// With the driver's clock device in place neither tab has the line.
using DriverPresent = UiEngineTest;

TEST_F(DriverPresent, PlayerAndPadsWithTheDriverHaveNoDriverLine) {
  ASSERT_NE(engine->findDevice("VeltoClock_UID"), nullptr);
  for (const TabCase& c : kTabCases) {
    SCOPED_TRACE(c.text);
    selectTab(c.tab);
    ui->frames(3);
    EXPECT_FALSE(ui->shows("Treiber fehlt")) << ui->text();
    EXPECT_FALSE(ui->shows(c.text));
    EXPECT_FALSE(ui->shows("Installieren"));
  }
}

} // namespace
} // namespace velto::test
