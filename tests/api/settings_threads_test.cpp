// Settings through Api::handle: the settings object, every settings command and its refusals,
// and the application hook table with empty slots and with test services in them.
#include "api_fixture.h"

#include <string>

namespace velto::test {
namespace {

struct Shape {
  bool apiEnabled = false;
  int port = 47800;
  int buffer = 128;
  std::string volumeKeys = "\"default\"";
  std::string board = "\"i1,v1,v4,o1,o2,m1\"";
  bool intro = true;
  bool fullscreen = true;
  bool restoreOutput = false;
  bool autostart = false;
};

std::string b(bool v) {
  return v ? "true" : "false";
}

std::string settingsText(const Shape& s) {
  return "{\"api\":{\"enabled\":" + b(s.apiEnabled) + ",\"port\":" + std::to_string(s.port) +
         "},\"audio\":{\"samplerate\":48000,\"buffer\":" + std::to_string(s.buffer) +
         ",\"volumekeys\":" + s.volumeKeys + "},\"board\":" + s.board + ",\"intro\":" + b(s.intro) +
         ",\"fullscreen\":" + b(s.fullscreen) + ",\"restoreoutput\":" + b(s.restoreOutput) +
         ",\"autostart\":" + b(s.autostart) + "}";
}

// Test services for the hook table.
bool gLoginItem = false;
std::string gLastInstall;
bool loginItemOn() {
  return gLoginItem;
}
bool switchLoginItem(bool on, std::string&) {
  gLoginItem = on;
  return true;
}
bool refuseLoginItem(bool, std::string& error) {
  error = "nicht möglich";
  return false;
}
int installedVersion() {
  return 7;
}
int bundledVersion() {
  return 9;
}
bool installAndSucceed(bool install, std::string&) {
  gLastInstall = install ? "install" : "uninstall";
  return true;
}
bool installButCancelled(bool, std::string& error) {
  error = "abgebrochen";
  return false;
}

class ApiSettingsThreads : public ApiFixture {
protected:
  void SetUp() override {
    gLoginItem = false;
    gLastInstall.clear();
    ApiFixture::SetUp();
  }
};

TEST_F(ApiSettingsThreads, DefaultsAndTheRootObject) {
  const Shape defaults;
  EXPECT_EQ(call("GET", "/settings").body, settingsText(defaults));
  const HttpResponse root = call("GET", "");
  EXPECT_EQ(root.status, 200);
  const std::string expected = "{\"hardware\":" + call("GET", "/hardware").body +
                               ",\"software\":" + call("GET", "/software").body +
                               ",\"virtualout\":" + call("GET", "/virtualout").body +
                               ",\"settings\":" + settingsText(defaults) + "}";
  EXPECT_EQ(root.body, expected);
  EXPECT_EQ(call("GET", "/software").body,
            "{\"apps\":[],\"virtual\":" + call("GET", "/software/virtual").body + "}");
  const std::string hw = call("GET", "/hardware").body;
  EXPECT_EQ(hw, "{\"inputs\":" + call("GET", "/hardware/inputs").body +
                    ",\"virtual\":" + call("GET", "/hardware/virtual").body +
                    ",\"outputs\":" + call("GET", "/hardware/outputs").body + "}");
}

TEST_F(ApiSettingsThreads, Board) {
  Shape s;
  EXPECT_EQ(call("GET", "/settings/board").body, s.board);
  struct Case {
    const char* body;
    bool ok;
    const char* bad;
  };
  const Case cases[] = {
      {"i1,v1,v4,o1,o2,m1", true, ""},
      {"p1,y1,i3,m3", true, ""},
      {"i1,", true, ""},
      {"", true, ""},
      {"v5", false, "v5"},
      {"i1,I1", false, "I1"},
      {"i1,,o1", false, ""},
      {"x1", false, "x1"},
      {"p2", false, "p2"},
      {"i", false, "i"},
      {"i0", false, "i0"},
      {"o4", false, "o4"},
      {"i99999999999999999999", false, "i99999999999999999999"},
      {"i4294967297", false, "i4294967297"},
  };
  std::string stored = "i1,v1,v4,o1,o2,m1";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const HttpResponse r = call("POST", "/settings/board", c.body);
    if (c.ok) {
      stored = c.body;
      s.board = "\"" + stored + "\"";
      EXPECT_EQ(r.status, 200);
      EXPECT_EQ(r.body, settingsText(s));
    } else {
      EXPECT_EQ(r.status, 400);
      EXPECT_EQ(r.body, errorJson(std::string("Eintrag ungültig: ") + c.bad));
    }
    EXPECT_EQ(engine->settings.board, stored);
  }
  EXPECT_EQ(call("DELETE", "/settings/board").body, errorJson("nur GET oder POST"));
}

TEST_F(ApiSettingsThreads, FlagsAndPreviousOutput) {
  Shape s;
  s.intro = false;
  EXPECT_EQ(call("POST", "/settings/intro", "off").body, settingsText(s));
  s.fullscreen = false;
  EXPECT_EQ(call("POST", "/settings/FULLSCREEN", "toggle").body, settingsText(s));
  s.restoreOutput = true;
  EXPECT_EQ(call("PUT", "/settings/restoreoutput", "an").body, settingsText(s));
  EXPECT_EQ(call("GET", "/settings/restoreoutput").body, "true");
  for (const char* path : {"/settings/intro", "/settings/fullscreen", "/settings/restoreoutput"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(call("POST", path, "nein").body, errorJson("Wert: on | off | toggle"));
    EXPECT_EQ(call("DELETE", path, "on").status, 400);
  }

  EXPECT_EQ(call("POST", "/settings/previousoutput", "spk-uid").body, settingsText(s));
  EXPECT_EQ(call("GET", "/settings/previousoutput").body, "\"spk-uid\"");
  EXPECT_EQ(call("POST", "/settings/previousoutput", "").status, 200);
  EXPECT_EQ(engine->settings.previousOutput, "");
  EXPECT_EQ(call("DELETE", "/settings/previousoutput").body, errorJson("GET oder POST"));
}

TEST_F(ApiSettingsThreads, AudioSettings) {
  Shape s;
  EXPECT_EQ(call("GET", "/settings/audio/samplerate").body, "48000");
  EXPECT_EQ(call("POST", "/settings/audio/samplerate", "44100").body, errorJson("fest 48000"));
  EXPECT_EQ(call("GET", "/settings/audio/buffer").body, "128");
  const std::string sizes = errorJson("Puffer: 32, 64, 128, 256 oder 512");
  // 4294967552 is 256 once wrapped to 32 bits; 2^64 + 256 likewise to 64 bits.
  for (const char* bad :
       {"100", "0", "-256", "1024", "abc", "4294967552", "18446744073709551872"}) {
    SCOPED_TRACE(bad);
    const HttpResponse r = call("POST", "/settings/audio/buffer", bad);
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, sizes);
  }
  EXPECT_EQ(call("GET", "/settings/audio/buffer").body, "128");
  s.buffer = 256;
  EXPECT_EQ(call("POST", "/settings/audio/buffer", "256").body, settingsText(s));
  EXPECT_EQ(engine->settings.bufferFrames, 256u);
  EXPECT_EQ(call("DELETE", "/settings/audio/buffer", "64").body, sizes);

  s.volumeKeys = "\"Output 2\"";
  EXPECT_EQ(call("POST", "/settings/audio/volumekeys", "2").body, settingsText(s));
  EXPECT_EQ(engine->settings.volumeKeys, 1);
  ASSERT_EQ(call("POST", "/hardware/outputs/2/name", "Boxen").status, 200);
  s.volumeKeys = "\"Boxen\"";
  EXPECT_EQ(call("GET", "/settings").body, settingsText(s));
  EXPECT_EQ(call("GET", "/settings/audio/volumekeys").body, "\"Boxen\"");
  s.volumeKeys = "\"Output 3\"";
  EXPECT_EQ(call("POST", "/settings/audio/volumekeys", "output 3").body, settingsText(s));
  s.volumeKeys = "\"default\"";
  EXPECT_EQ(call("POST", "/settings/audio/volumekeys", "Default").body, settingsText(s));
  EXPECT_EQ(engine->settings.volumeKeys, -1);
  EXPECT_EQ(call("GET", "/settings/audio/volumekeys").body, "\"default\"");
  const std::string target = errorJson("Ziel: default oder Hardware Output (Nummer oder Name)");
  EXPECT_EQ(call("POST", "/settings/audio/volumekeys", "4").body, target);
  EXPECT_EQ(call("POST", "/settings/audio/volumekeys", "Velto Out 1").body, target);
  EXPECT_EQ(call("DELETE", "/settings/audio/volumekeys", "1").body, target);
  EXPECT_EQ(engine->settings.volumeKeys, -1);

  EXPECT_EQ(call("GET", "/settings/audio/latency").body, errorJson("unbekannte Einstellung"));
  EXPECT_EQ(call("GET", "/settings/api/host").body, errorJson("unbekannte Einstellung"));
  EXPECT_EQ(call("GET", "/settings/video/buffer").body, errorJson("unbekannter Pfad"));
  EXPECT_EQ(call("GET", "/settings/theme").body, errorJson("unbekannter Pfad"));
}

TEST_F(ApiSettingsThreads, ApiSwitchAndPortChangeTheRecord) {
  Shape s;
  s.apiEnabled = true;
  EXPECT_EQ(call("POST", "/settings/api/enabled", "on").body, settingsText(s));
  EXPECT_EQ(call("GET", "/settings/api/enabled").body, "true");
  EXPECT_EQ(call("POST", "/settings/api/enabled", "egal").body,
            errorJson("Wert: on | off | toggle"));
  s.port = 8080;
  EXPECT_EQ(call("POST", "/settings/api/port", "8080").body, settingsText(s));
  EXPECT_EQ(call("GET", "/settings/api/port").body, "8080");
  // 4294975376 wraps to 8080 in 32 bits; it must be refused, not taken.
  for (const char* bad :
       {"80", "1023", "65536", "abc", "nan", "4294975376", "-4294959216", "99999999999999999999"}) {
    SCOPED_TRACE(bad);
    const HttpResponse r = call("POST", "/settings/api/port", bad);
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, errorJson("Port 1024–65535"));
  }
  EXPECT_EQ(call("GET", "/settings/api/port", "1024").body, "8080");
  EXPECT_EQ(call("DELETE", "/settings/api/port", "9000").body, errorJson("Port 1024–65535"));
  EXPECT_EQ(engine->settings.apiPort, 8080u);
  s.port = 65535;
  EXPECT_EQ(call("POST", "/settings/api/port", "65535").body, settingsText(s));
}

TEST_F(ApiSettingsThreads, EmptyHookTable) {
  EXPECT_EQ(call("GET", "/settings/autostart").body, "false");
  HttpResponse r = call("POST", "/settings/autostart", "on");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, errorJson("nicht verfügbar"));
  // The driver's clock device is present: the installed version reads -1.
  EXPECT_EQ(call("GET", "/settings/driver").body, "{\"installed\":-1,\"bundled\":0}");
  r = call("POST", "/settings/driver", "install");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, errorJson("nicht verfügbar"));
  EXPECT_EQ(call("POST", "/settings/driver", "bitte").body, errorJson("nicht verfügbar"));
  EXPECT_EQ(call("DELETE", "/settings/driver").body, errorJson("GET oder POST"));
}

TEST_F(ApiSettingsThreads, EmptyHookTableWithoutDriver) {
  stop();
  start(false);
  EXPECT_EQ(call("GET", "/settings/driver").body, "{\"installed\":0,\"bundled\":0}");
  EXPECT_EQ(call("POST", "/software/virtual/4/default", "on").body,
            errorJson("Velto-Treiber nicht installiert"));
  EXPECT_EQ(call("POST", "/hardware/virtual/1/default", "on").body,
            errorJson("Velto-Treiber nicht installiert"));
}

TEST_F(ApiSettingsThreads, FilledHookTable) {
  AppHooks& hooks = appHooks();
  hooks.autostartEnabled = loginItemOn;
  hooks.setAutostart = switchLoginItem;
  hooks.installedDriverVersion = installedVersion;
  hooks.bundledDriverVersion = bundledVersion;
  hooks.installDriver = installAndSucceed;

  Shape s;
  EXPECT_EQ(call("GET", "/settings/autostart").body, "false");
  s.autostart = true;
  EXPECT_EQ(call("POST", "/settings/autostart", "toggle").body, settingsText(s));
  EXPECT_TRUE(gLoginItem);
  EXPECT_EQ(call("GET", "/settings/autostart").body, "true");
  EXPECT_EQ(call("POST", "/settings/autostart", "vielleicht").body,
            errorJson("Wert: on | off | toggle"));
  EXPECT_TRUE(gLoginItem);

  EXPECT_EQ(call("GET", "/settings/driver").body, "{\"installed\":7,\"bundled\":9}");
  EXPECT_EQ(call("POST", "/settings/driver", "UNINSTALL").body, "{\"installed\":7,\"bundled\":9}");
  EXPECT_EQ(gLastInstall, "uninstall");
  HttpResponse r = call("POST", "/settings/driver", "neu");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, errorJson("Wert: install | uninstall"));
  EXPECT_EQ(gLastInstall, "uninstall");

  hooks.setAutostart = refuseLoginItem;
  r = call("POST", "/settings/autostart", "off");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, errorJson("nicht möglich"));
  EXPECT_TRUE(gLoginItem);

  hooks.installDriver = installButCancelled;
  r = call("POST", "/settings/driver", "install");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, errorJson("abgebrochen"));
}

} // namespace
} // namespace velto::test
