// Commands on the groups and members through Api::handle: whole JSON replies of reads and
// writes, every refusal with its status and German message, and the path grammar end to end.
#include "api_fixture.h"

#include "core/levels.h"
#include "platform/audio/layer/running_apps.h"

#include <iconv.h>

#include <cmath>
#include <string>

namespace velto::test {
namespace {

namespace audio = platform::audio;

// Whether the text decodes as UTF-8 without a single error.
bool strictUtf8(std::string text) {
  const iconv_t decoder = iconv_open("UTF-32LE", "UTF-8");
  if (decoder == reinterpret_cast<iconv_t>(-1)) return false;
  std::string out(text.size() * 4 + 4, '\0');
  char* in = text.data();
  size_t inLeft = text.size();
  char* to = out.data();
  size_t outLeft = out.size();
  const bool decoded = iconv(decoder, &in, &inLeft, &to, &outLeft) != static_cast<size_t>(-1);
  iconv_close(decoder);
  return decoded && inLeft == 0;
}

// A strip routed to hardware output 1 only, while no hardware output runs and the driver's
// virtual outputs do.
const std::string kRoutesToOutput1 =
    "[{\"target\":\"outputs/1\",\"name\":\"Output 1\",\"on\":true,\"available\":false},"
    "{\"target\":\"outputs/2\",\"name\":\"Output 2\",\"on\":false,\"available\":false},"
    "{\"target\":\"outputs/3\",\"name\":\"Output 3\",\"on\":false,\"available\":false},"
    "{\"target\":\"virtual/1\",\"name\":\"Velto Out 1\",\"on\":false,\"available\":true},"
    "{\"target\":\"virtual/2\",\"name\":\"Velto Out 2\",\"on\":false,\"available\":true},"
    "{\"target\":\"virtual/3\",\"name\":\"Velto Out 3\",\"on\":false,\"available\":true}]";

const std::string kLimiterOff =
    "{\"enabled\":false,\"ceiling\":-1.0,\"release\":50.0,\"lookahead\":false}";

std::string output1(const std::string& device, bool connected, const std::string& gain,
                    const std::string& fade = "null", bool speaker = true) {
  return "{\"index\":1,\"name\":\"Output 1\",\"device\":" + device +
         ",\"connected\":" + (connected ? "true" : "false") + ",\"gain\":" + gain +
         ",\"mute\":false,\"fade\":" + fade +
         ",\"sources\":[\"Default\",\"Pads\",\"Player\"],\"underruns\":0,\"speaker\":" +
         (speaker ? "true" : "false") + ",\"limiter\":" + kLimiterOff + "}";
}

std::string padsMix(const std::string& gain, bool mute = false) {
  return "{\"index\":1,\"name\":\"Pads\",\"gain\":" + gain +
         ",\"mute\":" + (mute ? "true" : "false") + ",\"fade\":null,\"to\":" + kRoutesToOutput1 +
         "}";
}

class ApiStripsThreads : public ApiFixture {};

TEST_F(ApiStripsThreads, HardwareOutputObjectAndItsElements) {
  EXPECT_EQ(call("GET", "/hardware/outputs/1").body, output1("null", false, "0.0"));

  auto r = call("POST", "/hardware/outputs/1/device", "spk-uid");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, output1("\"Lautsprecher\"", true, "0.0"));
  // By name, without regard to ASCII case only: an upper-case umlaut names no device.
  r = call("PUT", "/hardware/outputs/1/device", "KOPFHÖRER");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, errorJson("Gerät passt nicht: KOPFHÖRER (siehe GET /devices)"));
  r = call("PUT", "/hardware/outputs/1/device", "KOPFhörer");
  EXPECT_EQ(r.body, output1("\"Kopfhörer\"", true, "0.0"));

  r = call("POST", "/hardware/outputs/1/speaker", "off");
  EXPECT_EQ(r.body, output1("\"Kopfhörer\"", true, "0.0", "null", false));
  EXPECT_EQ(call("GET", "/hardware/outputs/1/speaker").body, "false");
  r = call("POST", "/hardware/outputs/1/speaker", "laut");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, errorJson("Wert: on (Lautsprecher) | off (Kopfhörer)"));

  EXPECT_EQ(call("GET", "/hardware/outputs/1/sources").body, "[\"Default\",\"Pads\",\"Player\"]");
  r = call("POST", "/hardware/outputs/1/sources", "x");
  EXPECT_EQ(r.status, 405);
  EXPECT_EQ(r.body, errorJson("nur GET"));

  r = call("POST", "/hardware/outputs/1/device", "none");
  EXPECT_EQ(r.body, output1("null", false, "0.0", "null", false));
}

TEST_F(ApiStripsThreads, DeviceRefusalsKeepTheLink) {
  struct Case {
    const char* method;
    const char* path;
    const char* body;
    int status;
    std::string reply;
  };
  const Case cases[] = {
      {"POST", "/hardware/outputs/1/device", "mic-uid", 400,
       errorJson("Gerät passt nicht: mic-uid (siehe GET /devices)")},
      {"POST", "/hardware/inputs/1/device", "spk-uid", 400,
       errorJson("Gerät passt nicht: spk-uid (siehe GET /devices)")},
      {"POST", "/hardware/inputs/1/device", "fehlt", 400,
       errorJson("Gerät passt nicht: fehlt (siehe GET /devices)")},
      {"DELETE", "/hardware/outputs/1/device", "spk-uid", 400,
       errorJson("Gerät passt nicht: spk-uid (siehe GET /devices)")},
      {"POST", "/hardware/virtual/1/device", "spk-uid", 400,
       errorJson("festes Gerät, nicht änderbar")},
      {"DELETE", "/hardware/virtual/2/device", "", 400, errorJson("festes Gerät, nicht änderbar")},
      {"POST", "/software/apps/1/device", "spk-uid", 404, errorJson("nicht gefunden: 1")},
      {"GET", "/software/virtual/1/device", "", 404, errorJson("unbekanntes Element: device")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path);
    const HttpResponse r = call(c.method, c.path, c.body);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.body, c.reply);
  }
  EXPECT_EQ(engine->buses[0].link.uid, "");
  EXPECT_EQ(engine->hwInputs[0].link.uid, "");
}

TEST_F(ApiStripsThreads, ReplayKeepsDevicesThatAreNotConnected) {
  api->loading = true;
  const HttpResponse r = call("POST", "/hardware/outputs/2/device", "usb-later");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(engine->buses[1].link.uid, "usb-later");
  // A device that is there but does not fit is refused even then.
  EXPECT_EQ(call("POST", "/hardware/outputs/2/device", "mic-uid").status, 400);
  api->loading = false;
  EXPECT_EQ(call("GET", "/hardware/outputs/2").body,
            "{\"index\":2,\"name\":\"Output 2\",\"device\":\"usb-later\",\"connected\":false,"
            "\"gain\":0.0,\"mute\":false,\"fade\":null,\"sources\":[],\"underruns\":0,"
            "\"speaker\":true,\"limiter\":" +
                kLimiterOff + "}");
}

TEST_F(ApiStripsThreads, GainWritesParseClampAndReadBack) {
  struct Case {
    const char* body;
    std::string gain;
  };
  const Case cases[] = {{"-6", "-6.0"},
                        {"-80", "-60.0"},
                        {"reset", "0.0"},
                        {" +20dB\r\n", "12.0"},
                        {"-12.5", "-12.5"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const HttpResponse r = call("POST", "/pads/mix/1/gain", c.body);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, padsMix(c.gain));
    EXPECT_EQ(call("GET", "/pads/mix/1/gain").body, c.gain);
  }
  EXPECT_FLOAT_EQ(engine->padsStrip.gain.load(), dbToGain(-12.5f));

  for (const char* bad : {"laut", "", "nan", "inf", "-inf", "1e40"}) {
    SCOPED_TRACE(bad);
    const HttpResponse r = call("POST", "/pads/mix/1/gain", bad);
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, errorJson("Wert in dB, z. B. -6 oder reset"));
  }
  EXPECT_EQ(call("DELETE", "/pads/mix/1/gain").body, errorJson("Wert in dB, z. B. -6 oder reset"));
  EXPECT_FLOAT_EQ(engine->padsStrip.gain.load(), dbToGain(-12.5f));
}

TEST_F(ApiStripsThreads, MuteNameAndToggle) {
  EXPECT_EQ(call("POST", "/pads/mix/1/mute", " on \n").body, padsMix("0.0", true));
  EXPECT_EQ(call("GET", "/pads/mix/1/mute").body, "true");
  EXPECT_EQ(call("POST", "/pads/mix/1/mute", "toggle").body, padsMix("0.0", false));
  EXPECT_EQ(call("POST", "/pads/mix/1/mute", "an").body, padsMix("0.0", true));
  EXPECT_EQ(call("POST", "/pads/mix/1/mute", "aus").body, padsMix("0.0", false));
  HttpResponse r = call("POST", "/pads/mix/1/mute", "vielleicht");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, errorJson("Wert: on | off | toggle"));
  EXPECT_FALSE(engine->padsStrip.mute.load());

  r = call("POST", "/hardware/virtual/2/name", "Stream \"live\"");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(call("GET", "/hardware/virtual/2/name").body, "\"Stream \\\"live\\\"\"");
  EXPECT_EQ(engine->buses[4].name, "Stream \"live\"");
  // The new name reaches the member too.
  EXPECT_EQ(call("GET", "/hardware/virtual/Stream%20%22LIVE%22/name").body,
            "\"Stream \\\"live\\\"\"");
  for (const char* method : {"POST", "DELETE"}) {
    r = call(method, "/hardware/virtual/2/name", method[0] == 'P' ? "  " : "x");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, errorJson("Name fehlt"));
  }
}

TEST_F(ApiStripsThreads, FadeGrammar) {
  auto r = call("GET", "/hardware/outputs/1/fade");
  EXPECT_EQ(r.body, "{\"active\":false,\"target\":null}");

  // Tempo 1.0 (nothing after the level) is immediate.
  r = call("POST", "/hardware/outputs/1/fade", "-12");
  EXPECT_EQ(r.body, output1("null", false, "-12.0"));

  r = call("POST", "/hardware/outputs/1/fade", "reset 0.25 und mehr");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, output1("null", false, "-12.0", "0.0"));
  EXPECT_EQ(call("GET", "/hardware/outputs/1/fade").body, "{\"active\":true,\"target\":0.0}");
  r = call("POST", "/hardware/outputs/1/fade", "STOP");
  EXPECT_EQ(r.body, output1("null", false, "-12.0"));
  EXPECT_EQ(call("GET", "/hardware/outputs/1/fade").body, "{\"active\":false,\"target\":null}");

  const std::string usage =
      "{\"error\":\"Wert: <Ziel-dB> [Tempo 0.01–1.00], z. B. \\\"-12 0.25\\\"\"}";
  const std::string tempo = errorJson("Tempo 0.01 (10 s) bis 1.00 (sofort)");
  struct Case {
    const char* method;
    const char* body;
    int status;
    std::string reply;
  };
  const Case cases[] = {
      {"POST", "laut", 400, usage},
      {"POST", "", 400, usage},
      {"POST", "nan 0.5", 400, usage},
      {"POST", "-12 0.005", 400, tempo},
      {"POST", "-12 1.01", 400, tempo},
      {"POST", "-12 nan", 400, tempo},
      {"POST", "-12 schnell", 400, tempo},
      {"POST", "-12 inf", 400, tempo},
      {"DELETE", "-12", 405, errorJson("nur GET oder POST")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    r = call(c.method, "/hardware/outputs/1/fade", c.body);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.body, c.reply);
    EXPECT_EQ(call("GET", "/hardware/outputs/1/fade").body, "{\"active\":false,\"target\":null}");
  }
  // The slowest tempo is accepted and starts a fade.
  EXPECT_EQ(call("POST", "/hardware/outputs/1/fade", "-30 0.01").status, 200);
  EXPECT_EQ(call("GET", "/hardware/outputs/1/fade").body, "{\"active\":true,\"target\":-30.0}");
}

TEST_F(ApiStripsThreads, RoutesByNumberNameAndKind) {
  Strip& in = engine->hwInputs[0].strip;
  struct Case {
    const char* path;
    uint32_t bit;
  };
  const Case cases[] = {
      {"/hardware/inputs/1/to/2", 1u << 1},          {"/hardware/inputs/1/to/outputs/3", 1u << 2},
      {"/hardware/inputs/1/to/virtual/2", 1u << 4},  {"/hardware/inputs/1/to/Velto+Out+3", 1u << 5},
      {"/hardware/inputs/1/to/OUTPUT%201", 1u << 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    in.routeMask.store(0);
    EXPECT_EQ(call("GET", c.path).body, "false");
    EXPECT_EQ(call("POST", c.path, "on").status, 200);
    EXPECT_EQ(in.routeMask.load(), c.bit);
    EXPECT_EQ(call("GET", c.path).body, "true");
    EXPECT_EQ(call("POST", c.path, "toggle").status, 200);
    EXPECT_EQ(in.routeMask.load(), 0u);
  }

  // A hardware output and a virtual output of one name: the hardware output wins.
  engine->buses[4].name = "Output 2";
  in.routeMask.store(0);
  EXPECT_EQ(call("POST", "/hardware/inputs/1/to/output 2", "on").status, 200);
  EXPECT_EQ(in.routeMask.load(), 1u << 1);

  // Clearing the only bit leaves the mask 0: every read is false while the default route plays.
  EXPECT_EQ(call("POST", "/hardware/inputs/1/to/2", "off").status, 200);
  EXPECT_EQ(in.routeMask.load(), 0u);
  for (const char* target : {"1", "2", "3", "virtual/1", "virtual/2", "virtual/3"}) {
    EXPECT_EQ(call("GET", std::string("/hardware/inputs/1/to/") + target).body, "false");
  }

  const std::string where = errorJson("Ziel: outputs/<n>, virtual/<n> oder Name");
  struct Bad {
    const char* method;
    const char* path;
    const char* body;
    int status;
    std::string reply;
  };
  const Bad bad[] = {
      {"GET", "/hardware/inputs/1/to/4", "", 404, where},
      {"GET", "/hardware/inputs/1/to/virtual/4", "", 404, where},
      {"GET", "/hardware/inputs/1/to/outputs/1/x", "", 404, where},
      {"GET", "/hardware/inputs/1/to/outputs", "", 404, where},
      {"POST", "/hardware/inputs/1/to/1", "ja", 400, errorJson("Wert: on | off | toggle")},
      {"DELETE", "/hardware/inputs/1/to/1", "", 400, errorJson("Wert: on | off | toggle")},
      {"POST", "/hardware/inputs/1/to", "on", 405, errorJson("Ziel fehlt: .../to/<ziel>")},
      {"GET", "/hardware/outputs/1/to/1", "", 404, errorJson("unbekannter Pfad")},
      {"GET", "/hardware/outputs/1/to", "", 404, errorJson("unbekanntes Element: to")},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(std::string(b.method) + " " + b.path);
    const HttpResponse r = call(b.method, b.path, b.body);
    EXPECT_EQ(r.status, b.status);
    EXPECT_EQ(r.body, b.reply);
  }
  EXPECT_EQ(in.routeMask.load(), 0u);
}

TEST_F(ApiStripsThreads, ApplicationsAreAddedRoutedAndRemoved) {
  audio::addRunningApplication({std::string("com.example.radio"), std::string("Radio"), 501,
                                audio::ActivationPolicy::Regular});
  EXPECT_EQ(call("GET", "/software/apps").body, "[]");
  EXPECT_EQ(call("GET", "/software/available").body,
            "[{\"name\":\"Radio\",\"bundle\":\"com.example.radio\",\"playing\":false}]");

  const std::string radioRoutes = "[{\"target\":\"virtual/1\",\"name\":\"Virtual 1\",\"on\":false},"
                                  "{\"target\":\"virtual/2\",\"name\":\"Virtual 2\",\"on\":false},"
                                  "{\"target\":\"virtual/3\",\"name\":\"Virtual 3\",\"on\":false},"
                                  "{\"target\":\"virtual/4\",\"name\":\"Default\",\"on\":true}]";
  const auto app = [&](int index, const std::string& name, const std::string& bundle,
                       const std::string& routes, bool passthrough) {
    return "{\"index\":" + std::to_string(index) + ",\"name\":\"" + name +
           "\",\"gain\":0.0,\"mute\":false,\"fade\":null,\"to\":" + routes + ",\"bundle\":\"" +
           bundle + "\",\"passthrough\":" + (passthrough ? "true" : "false") +
           ",\"playing\":false,\"processes\":0,\"tap\":{\"running\":false,\"callbacks\":0,"
           "\"signal\":false}}";
  };
  const std::string radio = app(1, "Radio", "com.example.radio", radioRoutes, false);

  HttpResponse r = call("POST", "/software/apps", "RADIO");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, radio);
  r = call("POST", "/software/apps", "org.example.tool");
  EXPECT_EQ(r.body, app(2, "org.example.tool", "org.example.tool", radioRoutes, false));
  EXPECT_EQ(call("GET", "/software/apps").body,
            "[" + radio + "," + app(2, "org.example.tool", "org.example.tool", radioRoutes, false) +
                "]");

  r = call("POST", "/software/apps", "Unbekannt");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body, errorJson("App nicht gefunden: Unbekannt"));

  // Routes of applications go to the virtual inputs, by number or by name.
  EXPECT_EQ(call("GET", "/software/apps/radio/to/Default").body, "true");
  EXPECT_EQ(call("POST", "/software/apps/1/to/virtual/2", "on").status, 200);
  EXPECT_EQ(engine->app(0).strip.routeMask.load(), (1u << 3) | (1u << 1));
  EXPECT_EQ(call("GET", "/software/virtual/2/apps").body, "[\"Radio\"]");
  r = call("GET", "/software/apps/1/to/outputs/1");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body, errorJson("Ziel: virtual/1–4 oder Name"));
  EXPECT_EQ(call("GET", "/software/apps/1/to/virtual/5").status, 404);

  r = call("POST", "/software/apps/1/passthrough", "on");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(call("GET", "/software/apps/1/passthrough").body, "true");
  EXPECT_EQ(call("POST", "/software/apps/1/passthrough", "x").body,
            errorJson("Wert: on | off | toggle"));

  r = call("POST", "/software/apps/1", "");
  EXPECT_EQ(r.status, 405);
  EXPECT_EQ(r.body, errorJson("nicht erlaubt"));
  r = call("DELETE", "/software/apps/1");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "[" + app(1, "org.example.tool", "org.example.tool", radioRoutes, false) + "]");
  EXPECT_EQ(call("DELETE", "/hardware/inputs/1").body, errorJson("nicht erlaubt"));
  EXPECT_EQ(call("DELETE", "/software/apps").body, errorJson("nicht erlaubt"));
  EXPECT_EQ(call("GET", "/software/apps/1/device").body, errorJson("unbekanntes Element: device"));
}

TEST_F(ApiStripsThreads, SixteenApplicationsAtMost) {
  for (int i = 0; i < 16; ++i) {
    ASSERT_EQ(call("POST", "/software/apps", "com.example.app" + std::to_string(i)).status, 200);
  }
  const HttpResponse r = call("POST", "/software/apps", "com.example.one-too-many");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, errorJson("maximal 16 Apps"));
  EXPECT_EQ(engine->appCount(), 16);
  EXPECT_EQ(call("GET", "/software/apps/16/name").body, "\"com.example.app15\"");
  EXPECT_EQ(call("GET", "/software/apps/17").body, errorJson("nicht gefunden: 17"));
}

TEST_F(ApiStripsThreads, DefaultDevicesOnlyTakeOn) {
  const std::string virtualIn4 = "{\"index\":4,\"name\":\"Default\",\"gain\":0.0,\"mute\":false,"
                                 "\"fade\":null,\"to\":" +
                                 kRoutesToOutput1 + ",\"default\":";
  EXPECT_EQ(call("GET", "/software/virtual/4/default").body, "false");
  HttpResponse r = call("POST", "/software/virtual/4/default", "off");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, errorJson("Wert: on"));
  EXPECT_FALSE(engine->isDefaultOutput());
  r = call("POST", "/software/virtual/Default/default", "on");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, virtualIn4 + "true}");
  EXPECT_TRUE(engine->isDefaultOutput());
  // Toggling what is on means off, which is refused.
  EXPECT_EQ(call("POST", "/software/virtual/4/default", "toggle").body, errorJson("Wert: on"));
  EXPECT_TRUE(engine->isDefaultOutput());

  EXPECT_EQ(call("POST", "/hardware/virtual/3/default", "1").status, 200);
  EXPECT_TRUE(engine->isDefaultInput(2));
  EXPECT_EQ(call("GET", "/hardware/virtual/3/default").body, "true");
  EXPECT_EQ(call("GET", "/hardware/virtual/1/default").body, "false");
  EXPECT_EQ(call("DELETE", "/hardware/virtual/1/default").body, errorJson("Wert: on"));
  EXPECT_EQ(call("GET", "/software/virtual/3/default").body,
            errorJson("unbekanntes Element: default"));
  EXPECT_EQ(call("GET", "/software/virtual/3").body,
            "{\"index\":3,\"name\":\"Virtual 3\",\"gain\":0.0,\"mute\":false,\"fade\":null,"
            "\"to\":" +
                std::string(kRoutesToOutput1).replace(kRoutesToOutput1.find("true"), 4, "false") +
                "}");
}

TEST_F(ApiStripsThreads, VirtualOutputsAndTheirLists) {
  engine->hwInputs[1].strip.routeMask.store(1u << 3);
  const std::string out1 =
      "{\"index\":1,\"name\":\"Velto Out 1\",\"device\":\"Velto Out 1\",\"connected\":true,"
      "\"gain\":0.0,\"mute\":false,\"fade\":null,\"default\":false,\"sources\":[\"Input 2\"],"
      "\"underruns\":0,\"users\":[]}";
  EXPECT_EQ(call("GET", "/hardware/virtual/1").body, out1);
  EXPECT_EQ(call("GET", "/hardware/virtual/1/sources").body, "[\"Input 2\"]");
  EXPECT_EQ(call("GET", "/hardware/virtual/1/users").body, "[]");
  EXPECT_EQ(call("POST", "/hardware/virtual/1/users").body, errorJson("nur GET"));
  EXPECT_EQ(call("GET", "/virtualout").body,
            "[{\"index\":1,\"name\":\"Velto Out 1\",\"device\":\"Velto Out 1\",\"sources\":"
            "[\"Input 2\"],\"users\":[],\"default\":false},"
            "{\"index\":2,\"name\":\"Velto Out 2\",\"device\":\"Velto Out 2\",\"sources\":[],"
            "\"users\":[],\"default\":false},"
            "{\"index\":3,\"name\":\"Velto Out 3\",\"device\":\"Velto Out 3\",\"sources\":[],"
            "\"users\":[],\"default\":false}]");
}

TEST_F(ApiStripsThreads, PathAndMemberRefusals) {
  const std::string root =
      errorJson("Pfad beginnt mit hardware, software, pads, player, virtualout, devices oder "
                "settings");
  struct Case {
    const char* method;
    const char* path;
    int status;
    std::string reply;
  };
  const Case cases[] = {
      {"POST", "", 405, errorJson("nur GET")},
      {"DELETE", "/", 405, errorJson("nur GET")},
      {"POST", "/devices", 404, root},
      {"GET", "/devices/mic-uid", 404, root},
      {"POST", "/virtualout", 404, root},
      {"GET", "/virtualout/1", 404, root},
      {"GET", "/mixer", 404, root},
      {"POST", "/hardware", 405, errorJson("nur GET")},
      {"GET", "/hardware/mix", 404, errorJson("unbekannter Bereich: mix")},
      {"GET", "/software/available/1", 404, errorJson("unbekannter Bereich: available")},
      {"POST", "/software/available", 404, errorJson("unbekannter Bereich: available")},
      {"GET", "/hardware/inputs/4", 404, errorJson("nicht gefunden: 4")},
      {"GET", "/hardware/inputs/0", 404, errorJson("nicht gefunden: 0")},
      {"GET", "/hardware/inputs/-1", 404, errorJson("nicht gefunden: -1")},
      {"GET", "/hardware/inputs/99999999999999999999", 404,
       errorJson("nicht gefunden: 99999999999999999999")},
      {"GET", "/hardware/inputs/1/foo", 404, errorJson("unbekanntes Element: foo")},
      {"GET", "/hardware/inputs/1/gain/x", 404, errorJson("unbekannter Pfad")},
      {"POST", "/hardware/inputs", 405, errorJson("nicht erlaubt")},
      {"PATCH", "/hardware/inputs/1", 405, errorJson("nicht erlaubt")},
      {"GET", "/hardware/inputs/1/speaker", 404, errorJson("unbekanntes Element: speaker")},
      {"GET", "/settings/x/y/z", 404, errorJson("unbekannter Pfad")},
      {"POST", "/settings", 404, errorJson("unbekannter Pfad")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path);
    const HttpResponse r = call(c.method, c.path);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.body, c.reply);
  }
}

TEST_F(ApiStripsThreads, WordsAndMembersIgnoreCaseAndNumbersNeverReachNames) {
  EXPECT_EQ(call("POST", "/pads/mix/1/gain", "-6").status, 200);
  EXPECT_EQ(call("get", "/PADS/Mix/PADS/GAIN").body, "-6.0");
  EXPECT_EQ(call("POST", "/HARDWARE/Inputs/1/GAIN", "-3").status, 200);
  EXPECT_EQ(call("gEt", "/hardware/inputs/input%201/gain").body, "-3.0");

  // A member named by a number is reached only by its position.
  EXPECT_EQ(call("POST", "/hardware/inputs/3/name", "2").status, 200);
  EXPECT_EQ(call("GET", "/hardware/inputs/2/name").body, "\"Input 2\"");
  EXPECT_EQ(call("GET", "/hardware/inputs/3/name").body, "\"2\"");
  // A name with a slash, reached through its escape.
  EXPECT_EQ(call("POST", "/hardware/inputs/1/name", "Mic L/R").status, 200);
  EXPECT_EQ(call("GET", "/hardware/inputs/mic+l%2Fr/name").body, "\"Mic L/R\"");
}

// Names are stored byte for byte as sent, yet every reply stays valid UTF-8 for strict clients.
TEST_F(ApiStripsThreads, NamesOfAnyBytesKeepThemAndRepliesStayUtf8) {
  const char* kBad[] = {"\xC0\x80", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                        "\xFF",     "\xE2\x82",     "\x80\x80",     "\xF0\x9F\x98"};
  for (const char* bad : kBad) {
    SCOPED_TRACE(testing::PrintToString(std::string(bad)));
    const std::string name = std::string("Mik") + bad + "ro";
    const HttpResponse set = call("POST", "/hardware/inputs/1/name", name);
    EXPECT_EQ(set.status, 200);
    EXPECT_TRUE(strictUtf8(set.body));
    EXPECT_EQ(engine->hwInputs[0].strip.name, name);
    const std::string root = call("GET", "/").body;
    EXPECT_FALSE(strictUtf8(name));
    EXPECT_TRUE(strictUtf8(root));
    EXPECT_NE(root.find("\"Mik\xEF\xBF\xBD"), std::string::npos);
    EXPECT_TRUE(strictUtf8(call("POST", "/settings/board", bad).body)); // an error echoing it
  }
}

TEST_F(ApiStripsThreads, DeviceListAndLevelProbeRefusal) {
  // The driver's hidden feed, return and clock devices are left out.
  EXPECT_EQ(call("GET", "/devices").body,
            "[{\"name\":\"Velto Input\",\"uid\":\"VeltoDefaultOutput_UID\",\"inputs\":0,"
            "\"outputs\":2,\"sampleRate\":48000,\"virtual\":true},"
            "{\"name\":\"Velto Out 1\",\"uid\":\"VeltoOut1_UID\",\"inputs\":2,\"outputs\":0,"
            "\"sampleRate\":48000,\"virtual\":true},"
            "{\"name\":\"Velto Out 2\",\"uid\":\"VeltoOut2_UID\",\"inputs\":2,\"outputs\":0,"
            "\"sampleRate\":48000,\"virtual\":true},"
            "{\"name\":\"Velto Out 3\",\"uid\":\"VeltoOut3_UID\",\"inputs\":2,\"outputs\":0,"
            "\"sampleRate\":48000,\"virtual\":true},"
            "{\"name\":\"Mikrofon\",\"uid\":\"mic-uid\",\"inputs\":2,\"outputs\":0,"
            "\"sampleRate\":48000,\"virtual\":false},"
            "{\"name\":\"Lautsprecher\",\"uid\":\"spk-uid\",\"inputs\":0,\"outputs\":2,"
            "\"sampleRate\":48000,\"virtual\":false},"
            "{\"name\":\"Kopfhörer\",\"uid\":\"phones-uid\",\"inputs\":0,\"outputs\":2,"
            "\"sampleRate\":48000,\"virtual\":false}]");
  for (const char* device : {"fehlt", "spk-uid"}) {
    const HttpResponse r = call("GET", std::string("/devices/") + device + "/level");
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.body, errorJson(std::string("Gerät ohne Eingang oder nicht lesbar: ") + device));
  }
  EXPECT_EQ(call("POST", "/devices/spk-uid/level").body,
            errorJson("Pfad beginnt mit hardware, software, pads, player, virtualout, devices "
                      "oder settings"));
}

} // namespace
} // namespace velto::test
