// The pad commands and their JSON through Api::handle on a live engine: reads, writes and every
// refusal compared as whole texts. The engine's player starts threads, hence the suite name.
#include "api_fixture.h"

#include "tests/platform/audiofile_fixtures.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

namespace velto::test {
namespace {

// The JSON of a pad with the bank's default values, varying only what the case sets.
struct PadView {
  int index = 1;
  std::string name = "\"\"";
  std::string file = "null";
  bool loaded = false;
  bool loading = false;
  std::string error = "null";
  std::string seconds = "0.00";
  std::string mode = "once";
  std::string gain = "0.0";
  std::string fadeIn = "0.00";
  std::string fadeOut = "1.00";
  std::string crossfade = "0.50";
};

std::string padText(const PadView& v) {
  return "{\"index\":" + std::to_string(v.index) + ",\"name\":" + v.name + ",\"file\":" + v.file +
         ",\"loaded\":" + (v.loaded ? "true" : "false") +
         ",\"loading\":" + (v.loading ? "true" : "false") + ",\"error\":" + v.error +
         ",\"seconds\":" + v.seconds + ",\"playing\":false,\"progress\":0.00,\"mode\":\"" + v.mode +
         "\",\"gain\":" + v.gain + ",\"fadein\":" + v.fadeIn + ",\"fadeout\":" + v.fadeOut +
         ",\"crossfade\":" + v.crossfade + "}";
}

class MediaPadsThreads : public ApiFixture {
protected:
  void SetUp() override {
    ApiFixture::SetUp();
    folder = std::string(std::getenv("HOME")) + "/pads";
    std::filesystem::create_directories(folder);
    // 1.5 s of stereo at 48000 Hz.
    ASSERT_TRUE(fixtures::writeWav(folder + "/kick.wav", 48000, 2,
                                   fixtures::tones({440.0, 660.0}, 0.5, 48000, 1.5)));
  }
  std::string folder;
};

TEST_F(MediaPadsThreads, FreshPadAndOverview) {
  HttpResponse r = call("GET", "/pads/1");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, padText({}));

  r = call("GET", "/pads");
  ASSERT_EQ(r.status, 200);
  std::string pads;
  for (int i = 1; i <= 16; ++i) {
    PadView v;
    v.index = i;
    if (i > 1) pads += ',';
    pads += padText(v);
  }
  const std::string home = std::getenv("HOME");
  EXPECT_EQ(r.body, "{\"folder\":\"" + home + "/Music/Velto Pads\",\"mix\":" +
                        call("GET", "/pads/mix/1").body + ",\"pads\":[" + pads + "]}");
  EXPECT_EQ(call("POST", "/pads").body, errorJson("nur GET"));
  EXPECT_EQ(call("POST", "/pads").status, 405);
}

TEST_F(MediaPadsThreads, LoadPlayAndClear) {
  // Playing needs a sample.
  HttpResponse r = call("POST", "/pads/1/play", "start");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, errorJson("Pad ohne Datei"));

  r = call("POST", "/pads/folder", folder);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "\"" + folder + "\"");
  EXPECT_EQ(call("GET", "/pads/files").body, "[\"kick.wav\"]");

  r = call("POST", "/pads/1/file", "kick.wav");
  ASSERT_EQ(r.status, 200);
  PadView v;
  v.name = call("GET", "/pads/1/name").body;
  v.file = "\"" + folder + "/kick.wav\"";
  v.loaded = true;
  v.seconds = "1.50";
  EXPECT_EQ(r.body, padText(v));
  EXPECT_EQ(call("GET", "/pads/1/file").body, v.file);

  r = call("POST", "/pads/1/play", "start");
  EXPECT_EQ(r.status, 200);
  EXPECT_TRUE(engine->pads.pads[0].command.load() == PadBank::kCommandStart ||
              engine->pads.pads[0].playing.load());
  EXPECT_EQ(call("POST", "/pads/1/play", "bounce").body, errorJson("Wert: start | stop | toggle"));
  EXPECT_EQ(call("GET", "/pads/1/play").status, 405);
  EXPECT_EQ(call("GET", "/pads/1/play").body, errorJson("nur POST"));
  EXPECT_EQ(call("POST", "/pads/stop").body, "true");
  EXPECT_EQ(call("GET", "/pads/stop").body, errorJson("nur POST"));

  // A failed load keeps the sound and reports the reader's reason behind the name.
  r = call("POST", "/pads/1/file", "missing.wav");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, errorJson("missing.wav: Datei nicht lesbar"));
  EXPECT_NE(engine->pads.pads[0].sample.load(), nullptr);

  r = call("DELETE", "/pads/1");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(engine->pads.pads[0].sample.load(), nullptr);
  EXPECT_EQ(call("GET", "/pads/1/file").body, "null");
  EXPECT_EQ(call("PUT", "/pads/1").body, errorJson("GET oder DELETE"));
  EXPECT_EQ(call("DELETE", "/pads/1/file").body, errorJson("nur GET oder POST"));
}

TEST_F(MediaPadsThreads, ValuesAndRefusals) {
  struct Case {
    const char* method;
    const char* path;
    const char* body;
    int status;
    std::string reply;
  };
  const std::string dB = errorJson("Wert in dB, z. B. -6 oder reset");
  const Case cases[] = {
      {"POST", "/pads/1/mode", "loop", 200, ""},
      {"GET", "/pads/1/mode", "", 200, "\"loop\""},
      {"POST", "/pads/1/mode", "twice", 400, errorJson("Wert: once | loop")},
      {"DELETE", "/pads/1/mode", "", 400, errorJson("Wert: once | loop")},
      {"POST", "/pads/1/gain", "-6", 200, ""},
      {"GET", "/pads/1/gain", "", 200, "-6.0"},
      {"POST", "/pads/1/gain", "loud", 400, dB},
      {"POST", "/pads/1/gain", "nan", 400, dB},
      {"POST", "/pads/1/gain", "inf", 400, dB},
      {"POST", "/pads/1/name", "Snare", 200, ""},
      {"GET", "/pads/snare/name", "", 200, "\"Snare\""},
      {"POST", "/pads/1/name", "  ", 400, errorJson("Name fehlt")},
      {"POST", "/pads/1/fadein", "60", 200, ""},
      {"GET", "/pads/1/fadein", "", 200, "60.00"},
      {"POST", "/pads/1/fadein", "60.5", 400, errorJson("Sekunden 0–60")},
      {"POST", "/pads/1/fadeout", "nan", 400, errorJson("Sekunden 0–60")},
      {"POST", "/pads/1/fadeout", "-1", 400, errorJson("Sekunden 0–60")},
      {"POST", "/pads/1/crossfade", "12", 400, errorJson("Sekunden 0–10")},
      {"POST", "/pads/1/crossfade", "inf", 400, errorJson("Sekunden 0–10")},
      {"POST", "/pads/1/crossfade", "2.5", 200, ""},
      {"GET", "/pads/1/crossfade", "", 200, "2.50"},
      {"GET", "/pads/1/wobble", "", 404, errorJson("unbekanntes Element: wobble")},
      {"GET", "/pads/17", "", 404, errorJson("Pad 1–16 oder Name: 17")},
      {"GET", "/pads/0", "", 404, errorJson("Pad 1–16 oder Name: 0")},
      {"GET", "/pads/99999999999999999999999", "", 404,
       errorJson("Pad 1–16 oder Name: 99999999999999999999999")},
      {"GET", "/pads/Nobody", "", 404, errorJson("Pad 1–16 oder Name: Nobody")},
      {"POST", "/pads/folder", "relative/path", 400, errorJson("absoluter Pfad")},
      {"POST", "/pads/folder", "", 400, errorJson("absoluter Pfad")},
      {"DELETE", "/pads/folder", "", 400, errorJson("absoluter Pfad")},
      {"POST", "/pads/files", "", 405, errorJson("nur GET")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path + " " + c.body);
    const HttpResponse r = call(c.method, c.path, c.body);
    EXPECT_EQ(r.status, c.status);
    if (!c.reply.empty()) {
      EXPECT_EQ(r.body, c.reply);
    }
  }
  // Every write above that succeeded left its trace in the pad's JSON.
  PadView v;
  v.name = "\"Snare\"";
  v.mode = "loop";
  v.gain = "-6.0";
  v.fadeIn = "60.00";
  v.crossfade = "2.50";
  EXPECT_EQ(call("GET", "/PADS/Snare").body, padText(v));
}

// The peak of one block of the bank after the pad was started by command.
float startedPeak(Api& api, PadBank& bank, const std::string& gain) {
  EXPECT_EQ(api.handle("POST", "/pads/1/gain", gain).status, 200);
  EXPECT_EQ(api.handle("POST", "/pads/1/play", "start").status, 200);
  std::vector<float> block(2 * 1024, 0.0f);
  bank.render(block.data(), 1024);
  float peak = 0.0f;
  for (float x : block) peak = std::max(peak, std::fabs(x));
  EXPECT_EQ(api.handle("POST", "/pads/1/play", "stop").status, 200);
  for (int i = 0; i < 200; ++i) {
    std::fill(block.begin(), block.end(), 0.0f);
    bank.render(block.data(), 1024); // the stop's fade runs out
  }
  return peak;
}

TEST_F(MediaPadsThreads, GainWrittenByCommandIsHeard) {
  ASSERT_EQ(call("POST", "/pads/folder", folder).status, 200);
  ASSERT_EQ(call("POST", "/pads/1/file", "kick.wav").status, 200);
  // The engine's audio cycle does not run under the manual clock; the test renders the bank.
  const float full = startedPeak(*api, engine->pads, "0");
  const float lowered = startedPeak(*api, engine->pads, "-6");
  ASSERT_GT(full, 0.4f);
  EXPECT_NEAR(lowered / full, std::pow(10.0f, -6.0f / 20.0f), 0.01f);
}

TEST_F(MediaPadsThreads, ReplayLoadsInTheBackground) {
  ASSERT_EQ(call("POST", "/pads/folder", folder).status, 200);
  api->loading = true;
  HttpResponse r = call("POST", "/pads/2/file", "kick.wav");
  api->loading = false;
  ASSERT_EQ(r.status, 200);
  PadView v;
  v.index = 2;
  v.loading = true;
  EXPECT_EQ(r.body, padText(v));
  bool loaded = false;
  for (int i = 0; i < 2000 && !loaded; ++i) {
    settle();
    loaded = engine->pads.pads[1].sample.load() != nullptr;
    if (!loaded) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(loaded);
  v.loading = false;
  v.loaded = true;
  v.name = call("GET", "/pads/2/name").body;
  v.file = "\"" + folder + "/kick.wav\"";
  v.seconds = "1.50";
  EXPECT_EQ(call("GET", "/pads/2").body, padText(v));

  // A replayed file that cannot be read ends as the pad's error, not as a failed line.
  api->loading = true;
  EXPECT_EQ(call("POST", "/pads/3/file", "gone.wav").status, 200);
  api->loading = false;
  std::string error;
  for (int i = 0; i < 2000 && error.empty(); ++i) {
    settle();
    error = engine->pads.pads[2].error;
    if (error.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  v = PadView{};
  v.index = 3;
  v.name = call("GET", "/pads/3/name").body;
  v.error = "\"Datei nicht lesbar\"";
  EXPECT_EQ(call("GET", "/pads/3").body, padText(v));
}

} // namespace
} // namespace velto::test
