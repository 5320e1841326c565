// Loading the configuration file: the older layout's conversion line by line, the skip and
// version rules, both repairs, broken lines among good ones, and a start without a file.
#include "config_fixture.h"
#include "http_test_client.h"

#include "api/config.h"

#include <cstdio>
#include <filesystem>

namespace velto::test {
namespace {

using detail::ConfigPair;
using detail::migrate;

TEST(ConfigMigrate, OlderLinesConvertOrDrop) {
  struct Case {
    std::string path;
    std::vector<ConfigPair> replayed; // body "on" throughout
  };
  const std::vector<Case> cases = {
      {"software/apps", {{"software/apps", "on"}}},
      {"/software//apps/", {{"/software//apps/", "on"}}}, // the path as read
      {"settings/audio/buffer", {{"settings/audio/buffer", "on"}}},
      {"settings/board", {{"settings/board", "on"}}},
      {"settings/a/b/c", {}},
      {"hardware/inputs/2/outputs/4", {{"hardware/inputs/2/to/virtual/1", "on"}}},
      {"hardware/inputs/2/outputs/5", {}},
      {"hardware/inputs/2/outputs/02", {{"hardware/inputs/2/to/outputs/2", "on"}}},
      {"hardware/inputs/1/outputs/%203x", {{"hardware/inputs/1/to/outputs/3", "on"}}},
      {"hardware/inputs/1/outputs/x", {}},
      {"hardware/inputs/1/gain", {{"hardware/inputs/1/gain", "on"}}},
      {"hardware/inputs/1/effects/eq/low-gain", {{"hardware/inputs/1/effects/eq/low-gain", "on"}}},
      {"hardware/inputs/1", {}},
      {"hardware/virtual/3/outputs/1", {{"software/virtual/3/to/outputs/1", "on"}}},
      {"hardware/virtual/3/outputs/4", {{"software/virtual/3/to/virtual/1", "on"}}},
      {"hardware/virtual/3/gain", {}},
      {"hardware/outputs/2/name", {{"hardware/outputs/2/name", "on"}}},
      {"hardware/outputs/4/name", {}},
      {"hardware/outputs/4/mute", {{"hardware/virtual/1/mute", "on"}}},
      {"hardware/outputs/4/gain", {{"hardware/virtual/1/gain", "on"}}},
      {"hardware/outputs/5/gain", {}},
      {"software/apps/2/inputs/3", {{"software/apps/2/to/virtual/3", "on"}}},
      {"software/apps/2/inputs/4", {}},
      {"software/apps/2/gain", {{"software/apps/2/gain", "on"}}},
      {"software/virtual/1/name", {{"software/virtual/1/name", "on"}}},
      {"software/virtual/1/to/outputs/1", {}},
      {"Hardware/inputs/1/gain", {}}, // words compare exactly here
      {"pads/1/file", {}},
      {"player/crossfade", {}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(migrate(c.path, "on"), c.replayed) << c.path;
}

class ConfigLoadThreads : public ConfigFixture {};

TEST_F(ConfigLoadThreads, ReplayRulesAndRepairs) {
  struct Case {
    const char* name;
    std::string file;
    std::vector<std::pair<std::string, std::string>> reads; // GET path, expected body
  };
  const std::vector<Case> cases = {
      {"a marker with CR is no marker",
       "# velto-config 2\r\nhardware/outputs/4/mute=on\r\nsettings/previousoutput=abc\r\n",
       {{"hardware/virtual/1/mute", "true"}, {"settings/previousoutput", "\"abc\""}}},
      {"the marker applies from its line on",
       "hardware/outputs/4/mute=on\n# velto-config 2\nhardware/outputs/4/gain=-6\n"
       "hardware/outputs/1/mute=on\n",
       {{"hardware/virtual/1/mute", "true"},
        {"hardware/virtual/1/gain", "0.0"},
        {"hardware/outputs/1/mute", "true"}}},
      {"skipped lines and a body with =",
       "# velto-config 2\n=x\nsettings/board\nsettings/previousoutput=a=b\n#settings/intro=off\n\n"
       "settings/fullscreen=off\n",
       {{"settings/previousoutput", "\"a=b\""},
        {"settings/board", "\"i1,v1,v4,o1,o2,m1\""},
        {"settings/intro", "true"},
        {"settings/fullscreen", "false"}}},
      {"no route to Default in the file: applications lose it unless it is their only route",
       "# velto-config 2\nsoftware/apps=org.example.one\nsoftware/apps=org.example.two\n"
       "software/apps/2/to/virtual/2=on\n",
       {{"software/apps/1/to/virtual/4", "true"},
        {"software/apps/2/to/virtual/4", "false"},
        {"software/apps/2/to/virtual/2", "true"}}},
      {"a route line to Default, even off, keeps the routes as loaded",
       "# velto-config 2\nsoftware/apps=org.example.one\nsoftware/apps=org.example.two\n"
       "software/apps/2/to/virtual/2=on\nsoftware/apps/1/to/virtual/4=off\n",
       {{"software/apps/1/to/virtual/4", "false"}, {"software/apps/2/to/virtual/4", "true"}}},
      {"older application inputs",
       "software/apps=org.example.one\nsoftware/apps/1/inputs/3=on\nsoftware/apps/1/inputs/4=on\n",
       {{"software/apps/1/to/virtual/3", "true"}, {"software/apps/1/to/virtual/4", "false"}}},
      {"older output routes",
       "hardware/inputs/2/outputs/4=on\nhardware/inputs/2/outputs/2=on\n"
       "hardware/virtual/3/outputs/1=on\nsettings/audio/buffer=256\nsettings/a/b/c=1\n",
       {{"hardware/inputs/2/to/virtual/1", "true"},
        {"hardware/inputs/2/to/outputs/2", "true"},
        {"software/virtual/3/to/outputs/1", "true"},
        {"settings/audio/buffer", "256"}}},
      {"former virtual output names",
       "# velto-config 2\nhardware/virtual/1/name=Velto Mic 1\nhardware/virtual/2/name=velto mic "
       "2\n"
       "hardware/virtual/3/name=Velto Mic 1\n",
       {{"hardware/virtual/1/name", "\"Velto Out 1\""},
        {"hardware/virtual/2/name", "\"velto mic 2\""},
        {"hardware/virtual/3/name", "\"Velto Mic 1\""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    restartWith(c.file);
    for (const auto& [path, body] : c.reads) EXPECT_EQ(get(path), body) << path;
    EXPECT_FALSE(api->loading);
    // Loading writes nothing.
    EXPECT_EQ(config(), c.file);
  }
}

TEST_F(ConfigLoadThreads, BrokenLinesLeaveEveryGoodLineLoaded) {
  std::string file = "# velto-config 2\n";
  file += "garbage without an equals sign\n";
  file += std::string("\x01\x02\xff=\xfe\x80\n", 7);
  file += std::string(1 << 20, 'a') + "=b\n";
  file += "hardware/inputs/1/name=Gut\n";
  file += "hardware/inputs/9/gain=-3\n";
  file += "hardware/inputs/1/gain=laut\n";
  file += "hardware/inputs/2/gain=-6\n";
  file += "nowhere/at/all=1\n";
  file += std::string("set\0tings/intro=on\n", 19);
  file += "settings/intro=off\n";
  file += "player/playlist=/nowhere/gone.wav\n";
  file += "settings/audio/buffer=100\n";
  file += "hardware/outputs/1/mute=on"; // the last line needs no line feed
  restartWith(file);
  EXPECT_EQ(get("hardware/inputs/1/name"), "\"Gut\"");
  EXPECT_EQ(get("hardware/inputs/1/gain"), "0.0");
  EXPECT_EQ(get("hardware/inputs/2/gain"), "-6.0");
  EXPECT_EQ(get("settings/intro"), "false");
  EXPECT_EQ(get("settings/audio/buffer"), "128");
  EXPECT_EQ(get("player/playlist"), "[]");
  EXPECT_EQ(get("hardware/outputs/1/mute"), "true");

  // A playlist file that is gone is skipped without a refusal only while loading.
  api->loading = true;
  EXPECT_EQ(call("POST", "player/playlist", "/nowhere/gone.wav").status, 200);
  api->loading = false;
  EXPECT_EQ(call("POST", "player/playlist", "/nowhere/gone.wav").status, 400);
}

TEST_F(ConfigLoadThreads, WithoutFileTheApiStaysOff) {
  const std::string path = Api::configPath();
  std::remove(path.c_str());
  restart();
  EXPECT_EQ(get("settings/api/enabled"), "false");
  EXPECT_EQ(api->server.listenFd, -1);
  EXPECT_FALSE(std::filesystem::exists(path));
}

// A stored port that someone else holds at start-up is kept: the start reports it, and the
// server starts there once the port is free.
TEST_F(ConfigLoadThreads, StoredPortInUseIsKeptAndReported) {
  const int taken = freePort();
  HttpServer holder;
  ASSERT_TRUE(holder.start(taken, [](const HttpRequest&) { return HttpResponse{}; }));
  restartWith(std::string(detail::kConfigMarker) +
              "\nsettings/api/enabled=on\nsettings/api/port=" + std::to_string(taken) + "\n");
  settle();
  EXPECT_EQ(api->apiError, "Port " + std::to_string(taken) + " belegt");
  EXPECT_EQ(api->server.listenFd, -1);
  EXPECT_EQ(get("settings/api/port"), std::to_string(taken));
  api->save();
  EXPECT_NE(config().find("settings/api/port=" + std::to_string(taken) + "\n"), std::string::npos);

  holder.stop();
  api->applySettings();
  EXPECT_EQ(api->apiError, "");
  EXPECT_EQ(api->server.port, taken);
  EXPECT_GE(api->server.listenFd, 0);
}

} // namespace
} // namespace velto::test
