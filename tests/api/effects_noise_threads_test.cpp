// Commands on an input's noise filter through Api::handle: the switch that needs a profile, the
// strength in dB, measuring and the profile's 257 values, with each refusal and its message.
#include "api_fixture.h"

#include "effects/noise_filter.h"

#include <cstdio>
#include <string>

namespace velto::test {
namespace {

std::string noise(bool on, const std::string& strength, bool profile) {
  return std::string("\"noise\":{\"enabled\":") + (on ? "true" : "false") +
         ",\"strength\":" + strength + ",\"profile\":" + (profile ? "true" : "false") +
         ",\"measuring\":false,\"latencyMs\":10.7}";
}

// 257 values in dB from -90 rising by 0.25 per bin, and how they read back.
void profileTexts(std::string& body, std::string& shown) {
  char text[32];
  for (int i = 0; i < NoiseFilter::kBins; ++i) {
    std::snprintf(text, sizeof text, "%g", -90.0 + 0.25 * i);
    if (i) body += ", ";
    body += text;
    std::snprintf(text, sizeof text, "%.1f",
                  static_cast<double>(static_cast<float>(-90.0 + 0.25 * i)));
    if (i) shown += ',';
    shown += text;
  }
}

class ApiNoiseThreads : public ApiFixture {
protected:
  std::string input() { return call("GET", "/hardware/inputs/1").body; }
};

TEST_F(ApiNoiseThreads, SwitchNeedsAProfile) {
  const std::string fresh = input();
  ASSERT_NE(fresh.find(noise(false, "18.0", false)), std::string::npos) << fresh;
  EXPECT_EQ(call("GET", "/hardware/inputs/1/noise").body, fresh);
  auto r = call("POST", "/hardware/inputs/1/noise/enabled", "on");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, errorJson("erst Rauschprofil messen"));
  r = call("POST", "/hardware/inputs/1/noise/enabled", "toggle");
  EXPECT_EQ(r.body, errorJson("erst Rauschprofil messen"));
  EXPECT_EQ(call("GET", "/hardware/inputs/1/noise/enabled").body, "false");
  // Off needs nothing.
  r = call("POST", "/hardware/inputs/1/noise/enabled", "off");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, fresh);

  std::string body;
  std::string shown;
  profileTexts(body, shown);
  r = call("POST", "/hardware/inputs/1/noise/profile", body);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, input());
  EXPECT_NE(r.body.find(noise(false, "18.0", true)), std::string::npos) << r.body;
  EXPECT_EQ(call("GET", "/hardware/inputs/1/noise/profile").body, "\"" + shown + "\"");

  r = call("POST", "/hardware/inputs/1/noise/enabled", "an");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, input());
  EXPECT_NE(r.body.find(noise(true, "18.0", true)), std::string::npos) << r.body;
  EXPECT_TRUE(engine->hwInputs[0].noiseFilter->enabled.load());
  EXPECT_FALSE(engine->hwInputs[1].noiseFilter->enabled.load());
  EXPECT_EQ(call("GET", "/hardware/inputs/1/noise/enabled").body, "true");

  for (const char* method : {"DELETE", "PATCH"}) {
    r = call(method, "/hardware/inputs/1/noise/enabled", "off");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, errorJson("Wert: on | off | toggle"));
  }
  // Discarding the profile switches the filter off.
  r = call("POST", "/hardware/inputs/1/noise/measure", "discard");
  EXPECT_NE(r.body.find(noise(false, "18.0", false)), std::string::npos) << r.body;
}

TEST_F(ApiNoiseThreads, StrengthTakesTheMagnitude) {
  auto r = call("POST", "/hardware/inputs/1/noise/strength", "-12.5");
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find(noise(false, "12.5", false)), std::string::npos) << r.body;
  EXPECT_EQ(call("POST", "/hardware/inputs/1/noise/strength", "40 dB").status, 200);
  EXPECT_EQ(call("POST", "/hardware/inputs/1/noise/strength", "6").status, 200);
  EXPECT_EQ(call("GET", "/hardware/inputs/1/noise/strength").body, "6.0");
  for (const char* body : {"5.9", "-40.1", "nan", "inf", "-1e39", "stark", ""}) {
    SCOPED_TRACE(body);
    r = call("POST", "/hardware/inputs/1/noise/strength", body);
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, errorJson("Stärke 6–40 dB"));
  }
  r = call("DELETE", "/hardware/inputs/1/noise/strength");
  EXPECT_EQ(r.body, errorJson("Stärke 6–40 dB"));
  EXPECT_EQ(call("GET", "/hardware/inputs/1/noise/strength").body, "6.0");
}

TEST_F(ApiNoiseThreads, MeasureAndProfileRefusals) {
  auto r = call("POST", "/hardware/inputs/2/noise/measure", "start");
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("\"measuring\":true"), std::string::npos) << r.body;
  EXPECT_EQ(r.body, call("GET", "/hardware/inputs/2").body);
  r = call("POST", "/hardware/inputs/2/noise/measure", "STOP");
  EXPECT_NE(r.body.find(noise(false, "18.0", true)), std::string::npos) << r.body;

  r = call("POST", "/hardware/inputs/2/noise/measure", "restart");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, errorJson("Wert: start | stop | discard"));
  r = call("GET", "/hardware/inputs/2/noise/measure");
  EXPECT_EQ(r.status, 405);
  EXPECT_EQ(r.body, errorJson("nur POST"));

  std::string body;
  std::string shown;
  profileTexts(body, shown);
  ASSERT_EQ(call("POST", "/hardware/inputs/1/noise/profile", body).status, 200);
  const std::string stored = call("GET", "/hardware/inputs/1/noise/profile").body;
  const std::string refusals[] = {
      body.substr(0, body.rfind(',')), // 256 values
      body + ",-10",                   // 258 values
      body.substr(0, body.rfind(',')) + ",nan",
      body.substr(0, body.rfind(',')) + ",-inf",
      body.substr(0, body.rfind(',')) + ",1e39",
      std::string("-").append(body, 0, body.rfind(',')) + ",laut",
      "",
  };
  for (const std::string& bad : refusals) {
    r = call("POST", "/hardware/inputs/1/noise/profile", bad);
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, errorJson("257 Werte in dB, kommagetrennt"));
  }
  EXPECT_EQ(call("GET", "/hardware/inputs/1/noise/profile").body, stored);

  struct Other {
    const char* method;
    const char* path;
    int status;
    const char* message;
  };
  const Other others[] = {
      {"POST", "/hardware/inputs/1/noise", 405, "nur GET"},
      {"GET", "/hardware/inputs/1/noise/depth", 404, "unbekannt: depth"},
      {"GET", "/hardware/inputs/1/noise/strength/x", 404, "unbekannter Pfad"},
      {"GET", "/hardware/outputs/1/noise", 404, "unbekanntes Element: noise"},
  };
  for (const Other& c : others) {
    SCOPED_TRACE(c.path);
    r = call(c.method, c.path);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.body, errorJson(c.message));
  }
}

} // namespace
} // namespace velto::test
