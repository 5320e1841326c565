// The shell's environment: window size and intro time garbage is ignored, the system root's
// per-user default.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/env.h"
#include "platform/audio/layer/audio_system.h"

namespace {

TEST(ShellEnvironment, WindowSizeTakesTwoPositiveNumbersAndIgnoresTheRest) {
  struct Case {
    const char* text;
    bool valid;
    int width, height;
  };
  const Case cases[] = {
      {"1200x700", true, 1200, 700},
      {"1200.4x699.6", true, 1200, 700},
      {" 800x 600", true, 800, 600},
      {"1200", false, 0, 0},
      {"1200x700x3", false, 0, 0},
      {"0x700", false, 0, 0},
      {"1200x0", false, 0, 0},
      {"-5x700", false, 0, 0},
      {"abcx700", false, 0, 0},
      {"1200xabc", false, 0, 0},
      {"12e9x700", false, 0, 0},
      {"nanxinf", false, 0, 0},
      {"x", false, 0, 0},
      {"", false, 0, 0},
      {"1200 x700px", false, 0, 0},
  };
  for (const Case& c : cases) {
    int w = -1, h = -1;
    EXPECT_EQ(velto::parseWindowSize(c.text, w, h), c.valid) << c.text;
    if (c.valid) {
      EXPECT_EQ(w, c.width) << c.text;
      EXPECT_EQ(h, c.height) << c.text;
    } else {
      EXPECT_EQ(w, -1) << c.text; // untouched
    }
    setenv("VELTO_SIZE", c.text, 1);
    velto::windowSizeFromEnvironment(w, h, 1460, 800);
    EXPECT_EQ(w, c.valid ? c.width : 1460) << c.text;
    EXPECT_EQ(h, c.valid ? c.height : 800) << c.text;
  }
  unsetenv("VELTO_SIZE");
}

TEST(ShellEnvironment, IntroTimeThatIsNoNumberIsDropped) {
  struct Case {
    const char* text;
    bool kept;
  };
  const Case cases[] = {{"3", true},   {"0", true}, {"2.5 ", true}, {"abc", false},
                        {"3s", false}, {"", false}, {"nan", false}, {"1e999", false}};
  for (const Case& c : cases) {
    setenv("VELTO_INTRO_AT", c.text, 1);
    velto::dropInvalidWindowVariables();
    EXPECT_EQ(std::getenv("VELTO_INTRO_AT") != nullptr, c.kept) << c.text;
  }
  unsetenv("VELTO_INTRO_AT");
}

TEST(ShellEnvironment, SystemRootDefaultsToTheUsersDataFolder) {
  struct Case {
    const char *root, *data, *home;
    const char* expected;
  };
  const Case cases[] = {
      {"/tmp/r", "/tmp/d", "/tmp/h", "/tmp/r"},
      {nullptr, "/tmp/d", "/tmp/h", "/tmp/d/velto/system"},
      {"", nullptr, "/tmp/h", "/tmp/h/.local/share/velto/system"},
      {nullptr, "relative", "/tmp/h", "/tmp/h/.local/share/velto/system"},
      {nullptr, nullptr, nullptr, "./.local/share/velto/system"},
  };
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  const std::string root = std::getenv("VELTO_SYSTEM_ROOT") ? std::getenv("VELTO_SYSTEM_ROOT") : "";
  auto put = [](const char* name, const char* value) {
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  };
  for (const Case& c : cases) {
    put("VELTO_SYSTEM_ROOT", c.root);
    put("XDG_DATA_HOME", c.data);
    put("HOME", c.home);
    EXPECT_EQ(platform::audio::systemRootFromEnvironment(), c.expected);
  }
  unsetenv("XDG_DATA_HOME");
  setenv("HOME", home.c_str(), 1);
  setenv("VELTO_SYSTEM_ROOT", root.c_str(), 1);
}

} // namespace
