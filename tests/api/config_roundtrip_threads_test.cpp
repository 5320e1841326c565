// The configuration file written from a changed mixer and loaded into a new engine: every JSON
// view reads as before, and the file's lines have the forms the format fixes. The engine's player
// starts threads, hence the suite names.
#include "config_fixture.h"

#include "effects/fx_chain.h"
#include "effects/fx_table.h"
#include "effects/input_fx.h"
#include "effects/noise_filter.h"
#include "tests/platform/audiofile_fixtures.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>

namespace velto::test {
namespace {

class ConfigRoundTripThreads : public ConfigFixture {
protected:
  void SetUp() override {
    ConfigFixture::SetUp();
    home = std::getenv("HOME");
    std::filesystem::create_directories(home + "/media");
    ASSERT_TRUE(fixtures::writeWav(home + "/media/kick.wav", 48000, 2,
                                   fixtures::tones({440.0, 660.0}, 0.5, 48000, 0.5)));
    ASSERT_TRUE(fixtures::writeWav(home + "/media/alpha.wav", 48000, 2,
                                   fixtures::tones({440.0, 440.0}, 0.3, 48000, 1.0)));
    ASSERT_TRUE(fixtures::writeWav(home + "/media/beta.wav", 48000, 1,
                                   fixtures::tones({330.0}, 0.3, 48000, 1.5)));
  }

  void post(const std::string& path, const std::string& body) {
    const HttpResponse r = call("POST", path, body);
    EXPECT_EQ(r.status, 200) << path << " " << r.body;
  }

  // Every view a client can read back, by path.
  std::vector<std::pair<std::string, std::string>> views() {
    std::vector<std::string> paths = {"/",
                                      "hardware/inputs",
                                      "hardware/virtual",
                                      "hardware/outputs",
                                      "software/apps",
                                      "software/virtual",
                                      "pads/mix",
                                      "player/mix",
                                      "pads",
                                      "player",
                                      "settings",
                                      "settings/previousoutput",
                                      "virtualout"};
    for (int i = 0; i < 3; ++i) {
      const std::string input = "hardware/inputs/" + std::to_string(i + 1);
      paths.push_back(input + "/effects");
      paths.push_back(input + "/effects/chain");
      paths.push_back(input + "/noise/profile");
      for (const FxChain::Slot& slot : engine->hwInputs[i].fxChain->movable) {
        if (slot.bank > 0) paths.push_back(input + "/effects/" + FxChain::name(slot));
      }
    }
    std::vector<std::pair<std::string, std::string>> out;
    for (const std::string& path : paths) out.emplace_back(path, get(path));
    return out;
  }

  std::string home;
};

TEST_F(ConfigRoundTripThreads, WholeMixerSurvivesSaveAndLoad) {
  // Strips, buses, devices and routes.
  post("hardware/inputs/1/name", "Gesang");
  post("hardware/inputs/1/gain", "-6.5");
  post("hardware/inputs/1/device", "mic-uid");
  post("hardware/inputs/1/to/outputs/2", "on");
  post("hardware/inputs/1/to/virtual/3", "on");
  post("hardware/inputs/2/mute", "on");
  post("hardware/inputs/3/fade", "-12");
  post("hardware/virtual/2/name", "Stream");
  post("hardware/virtual/2/gain", "-3");
  post("hardware/outputs/1/device", "phones-uid");
  post("hardware/outputs/2/device", "spk-uid");
  post("hardware/outputs/3/device", "none");
  post("hardware/outputs/1/speaker", "off");
  post("hardware/outputs/1/limiter/ceiling", "-2.5");
  post("hardware/outputs/1/limiter/lookahead", "on");
  post("hardware/outputs/1/limiter/enabled", "on");
  post("software/virtual/2/name", "Chat");
  post("software/virtual/4/to/outputs/3", "on");
  post("pads/mix/1/gain", "-1.5");
  post("player/mix/1/to/virtual/2", "on");
  // Applications, their routes and passthrough.
  post("software/apps", "org.example.radio");
  post("software/apps", "com.example.tool");
  post("software/apps/1/to/virtual/2", "on");
  post("software/apps/2/to/virtual/4", "off");
  post("software/apps/2/to/virtual/1", "on");
  post("software/apps/2/passthrough", "on");
  post("software/apps/2/name", "Werkzeug");
  // Effects in the first and extra instances, the chain, the tools, EQ and the noise filter.
  post("hardware/inputs/1/effects/eq/low-gain", "4.5");
  post("hardware/inputs/1/effects/eq/mid1-q", "2.2");
  post("hardware/inputs/1/effects/eq/enabled", "on");
  post("hardware/inputs/1/effects/echo/time", "420");
  post("hardware/inputs/1/effects/echo/pingpong", "on");
  post("hardware/inputs/1/effects/add", "echo");
  post("hardware/inputs/1/effects/echo-2/time", "90");
  post("hardware/inputs/1/effects/echo-2/mix", "40");
  post("hardware/inputs/1/effects/chain", "echo-2,eq,lowcut,echo,reverb");
  post("hardware/inputs/1/gate/threshold", "-42");
  post("hardware/inputs/1/gate/enabled", "on");
  post("hardware/inputs/2/effects/chain", "");
  post("hardware/inputs/2/effects/pitch/semitones", "-3");
  post("hardware/inputs/2/effects/pitch/mode", "Alles");
  post("hardware/inputs/3/effects/compressor/ratio", "4.5");
  post("hardware/inputs/3/aec/enabled", "on");
  std::string profile;
  for (int k = 0; k < NoiseFilter::kBins; ++k) {
    char value[32];
    std::snprintf(value, sizeof value, "%s%.2f", k ? "," : "", -70.0 + 0.1 * k + 0.03);
    profile += value;
  }
  post("hardware/inputs/1/noise/profile", profile);
  post("hardware/inputs/1/noise/strength", "24.5");
  post("hardware/inputs/1/noise/enabled", "on");
  // Pads, player and playlist.
  post("pads/folder", home + "/media");
  post("pads/1/file", "kick.wav");
  post("pads/1/name", "Kick");
  post("pads/1/mode", "loop");
  post("pads/1/gain", "-3");
  post("pads/1/fadein", "0.25");
  post("pads/1/crossfade", "0.1");
  post("pads/7/file", home + "/media/alpha.wav");
  post("pads/7/fadeout", "2");
  post("player/folder", home + "/media");
  post("player/playlist", "alpha.wav");
  post("player/playlist", "beta.wav");
  post("player/playlist/2/crossfade", "3.5");
  post("player/crossfade", "6");
  post("player/trim", "off");
  post("player/repeat", "on");
  post("player/beatsync", "on");
  // Settings (the API stays off: a test opens no port).
  post("settings/audio/buffer", "256");
  post("settings/audio/volumekeys", "2");
  post("settings/board", "i2,o1,m1");
  post("settings/intro", "off");
  post("settings/fullscreen", "off");
  post("settings/restoreoutput", "on");
  post("settings/previousoutput", "spk-uid");
  post("settings/api/port", "48123");
  settleMedia();

  const auto before = views();
  api->save();
  const std::string written = config();
  const std::vector<std::string> head = lines(written);
  ASSERT_GE(head.size(), 2u);
  EXPECT_EQ(head[0], "# velto-config 2");
  EXPECT_EQ(head[1], "# Jede Zeile ist ein API-Befehl: POST <pfad> mit Body <wert>.");

  restart();
  const auto after = views();
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < before.size(); ++i) {
    EXPECT_EQ(after[i].second, before[i].second) << before[i].first;
  }
  // Loading saved nothing; saving again writes the same file.
  EXPECT_EQ(config(), written);
  api->save();
  EXPECT_EQ(config(), written);
}

TEST_F(ConfigRoundTripThreads, LineForms) {
  post("software/apps", "org.example.radio");
  post("hardware/outputs/3/device", "none");
  post("hardware/inputs/1/effects/add", "echo");
  post("hardware/inputs/1/effects/chain", "lowcut,echo-2");
  post("hardware/inputs/2/effects/chain", "");
  engine->hwInputs[2].noiseFilter->enabled.store(true); // on, but without a profile
  float profile[NoiseFilter::kBins];
  std::fill(profile, profile + NoiseFilter::kBins, -50.0f);
  profile[0] = -43.25f;
  profile[1] = -43.24f;
  profile[2] = 1e-5f;
  engine->setProfile(0, profile);
  const int lookahead = findParam(&kFx[FxId::limiter], "lookahead");
  engine->buses[0].fx->params[FxId::limiter][lookahead].store(0.5f);
  engine->buses[1].fx->params[FxId::limiter][lookahead].store(0.49f);
  engine->buses[2].gain.store(0.001f);
  engine->pads.pads[3].name = "ohne Datei";
  engine->pads.pads[3].gain.store(0.5f);
  post("player/folder", home + "/media");
  post("player/playlist", "alpha.wav");
  post("player/playlist", "beta.wav");
  post("player/playlist/2/crossfade", "0");
  post("settings/audio/volumekeys", "1");
  api->save();
  std::vector<std::string> file = lines(config());
  const auto at = [&](const std::string& line) {
    return std::find(file.begin(), file.end(), line) - file.begin();
  };
  const auto has = [&](const std::string& line) { return at(line) < std::ssize(file); };

  std::string rounded = "hardware/inputs/1/noise/profile=-43.3,-43.2,0";
  for (int k = 3; k < NoiseFilter::kBins; ++k) rounded += ",-50";
  for (const std::string& line :
       {std::string("software/apps=org.example.radio"),
        std::string("hardware/outputs/3/device=none"), rounded,
        std::string("hardware/inputs/3/noise/enabled=off"),
        std::string("hardware/inputs/2/effects/chain="),
        std::string("hardware/inputs/1/effects/chain=lowcut,echo-2"),
        std::string("hardware/outputs/1/limiter/lookahead=on"),
        std::string("hardware/outputs/2/limiter/lookahead=off"),
        std::string("hardware/outputs/3/gain=-60.00"), std::string("hardware/inputs/1/gain=0.00"),
        std::string("player/playlist=" + home + "/media/alpha.wav"),
        std::string("player/playlist/2/crossfade=0.00"), std::string("settings/audio/volumekeys=1"),
        std::string("hardware/inputs/1/effects/echo/pingpong=off"),
        std::string("hardware/inputs/1/gate/threshold=-50")}) {
    EXPECT_TRUE(has(line)) << line;
  }
  for (const std::string& line : file) {
    EXPECT_NE(line.rfind("pads/4/", 0), 0u) << line;
    EXPECT_NE(line.rfind("player/playlist/1/", 0), 0u) << line;
    EXPECT_NE(line.rfind("settings/previousoutput", 0), 0u) << line;
    EXPECT_NE(line.rfind("hardware/inputs/2/noise/profile", 0), 0u) << line;
    EXPECT_FALSE(line.empty());
  }
  // The extra instance stands between the chain line and the first instances.
  const auto chain = at("hardware/inputs/1/effects/chain=lowcut,echo-2");
  const auto extra = at("hardware/inputs/1/effects/echo-2/time=350");
  EXPECT_EQ(extra, chain + 1);
  EXPECT_EQ(file[static_cast<size_t>(chain + 7)], "hardware/inputs/1/effects/echo-2/enabled=on");
  EXPECT_EQ(file[static_cast<size_t>(chain + 8)], "hardware/inputs/1/aec/strength=50");

  // Whole blocks: a virtual output, an application and the tail of settings.
  const auto member = at("hardware/virtual/1/name=Velto Out 1");
  const std::vector<std::string> virtualBlock(file.begin() + member, file.begin() + member + 4);
  EXPECT_EQ(virtualBlock,
            (std::vector<std::string>{"hardware/virtual/1/name=Velto Out 1",
                                      "hardware/virtual/1/gain=0.00", "hardware/virtual/1/mute=off",
                                      "hardware/virtual/2/name=Velto Out 2"}));
  const auto app = at("software/apps/1/name=" + engine->app(0).strip.name);
  const std::vector<std::string> appBlock(file.begin() + app + 1, file.begin() + app + 8);
  EXPECT_EQ(appBlock, (std::vector<std::string>{
                          "software/apps/1/gain=0.00", "software/apps/1/mute=off",
                          "software/apps/1/passthrough=off", "software/apps/1/to/virtual/1=off",
                          "software/apps/1/to/virtual/2=off", "software/apps/1/to/virtual/3=off",
                          "software/apps/1/to/virtual/4=on"}));
  const std::vector<std::string> tail(file.end() - 8, file.end());
  EXPECT_EQ(tail,
            (std::vector<std::string>{"settings/audio/buffer=128", "settings/audio/volumekeys=1",
                                      "settings/board=i1,v1,v4,o1,o2,m1", "settings/intro=on",
                                      "settings/fullscreen=on", "settings/restoreoutput=off",
                                      "settings/api/port=47800", "settings/api/enabled=off"}));

  // Back to the default target; with no application the file has no application line at all.
  post("settings/audio/volumekeys", "default");
  ASSERT_EQ(call("DELETE", "software/apps/1").status, 200);
  api->save();
  file = lines(config());
  EXPECT_TRUE(has("settings/audio/volumekeys=default"));
  for (const std::string& line : file) EXPECT_NE(line.rfind("software/apps", 0), 0u) << line;
}

} // namespace
} // namespace velto::test
