// The player commands and their JSON through Api::handle on a live engine (whose player runs
// reader and analyzer threads): transport, switches, playlist and each refusal as whole texts.
#include "api_fixture.h"

#include "tests/platform/audiofile_fixtures.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

namespace velto::test {
namespace {

class MediaPlayerThreads : public ApiFixture {
protected:
  void SetUp() override {
    ApiFixture::SetUp();
    folder = std::string(std::getenv("HOME")) + "/tracks";
    std::filesystem::create_directories(folder);
    ASSERT_TRUE(fixtures::writeWav(folder + "/alpha.wav", 48000, 2,
                                   fixtures::tones({440.0, 440.0}, 0.3, 48000, 2.0)));
    ASSERT_TRUE(fixtures::writeWav(folder + "/beta.wav", 48000, 1,
                                   fixtures::tones({330.0}, 0.3, 48000, 3.0)));
  }

  // The track's JSON; bpm stays null for a steady tone, whether or not the analysis finished.
  std::string track(int index, const std::string& name, const std::string& seconds,
                    const std::string& crossfade) {
    const PlayerTrack& t = engine->player.playlist[static_cast<size_t>(index - 1)];
    return "{\"index\":" + std::to_string(index) + ",\"name\":\"" + name + "\",\"file\":\"" +
           folder + "/" + name + ".wav\",\"seconds\":" + seconds + ",\"crossfade\":" + crossfade +
           ",\"bpm\":null,\"analyzed\":" + (t.analyzed ? "true" : "false") + "}";
  }

  // Stands in for the engine's timer and audio cycle (the manual clock never runs them) until the
  // player reports `want` as its playing state; false after two seconds.
  bool cycleUntilPlaying(bool want) {
    std::vector<float> block(2 * 512);
    for (int i = 0; i < 2000; ++i) {
      engine->player.tick();
      std::fill(block.begin(), block.end(), 0.0f);
      engine->player.render(block.data(), 512);
      if (engine->player.playing.load() == want) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  std::string folder;
};

TEST_F(MediaPlayerThreads, EmptyPlayer) {
  const std::string home = std::getenv("HOME");
  const std::string empty = "{\"playing\":false,\"paused\":false,\"current\":0,\"next\":0,"
                            "\"position\":0.00,\"duration\":0.00,\"crossfade\":8.00,\"trim\":true,"
                            "\"beatsync\":false,\"repeat\":false,\"folder\":\"" +
                            home + "/Music/Velto Player\",\"playlist\":[]}";
  EXPECT_EQ(call("GET", "/player").body, empty);
  EXPECT_EQ(call("GET", "/player/playlist").body, "[]");
  HttpResponse r = call("POST", "/player/play");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, errorJson("Playlist ist leer"));
  r = call("POST", "/player/play", "Nowhere Man");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body, errorJson("Titel nicht gefunden: Nowhere Man"));
  EXPECT_EQ(call("POST", "/player").status, 405);
  EXPECT_EQ(call("POST", "/player").body, errorJson("nur GET"));
}

TEST_F(MediaPlayerThreads, SwitchesAndRefusals) {
  struct Case {
    const char* method;
    const char* path;
    const char* body;
    int status;
    std::string reply;
  };
  const std::string b = errorJson("Wert: on | off | toggle");
  const Case cases[] = {
      {"POST", "/player/crossfade", "60", 200, ""},
      {"GET", "/player/crossfade", "", 200, "60.00"},
      {"POST", "/player/crossfade", "61", 400, errorJson("Sekunden 0–60")},
      {"POST", "/player/crossfade", "inf", 400, errorJson("Sekunden 0–60")},
      {"POST", "/player/trim", "toggle", 200, ""},
      {"GET", "/player/trim", "", 200, "false"},
      {"POST", "/player/beatsync", "an", 200, ""},
      {"GET", "/player/beatsync", "", 200, "true"},
      {"POST", "/player/repeat", "on", 200, ""},
      {"GET", "/player/repeat", "", 200, "true"},
      {"POST", "/player/repeat", "maybe", 400, b},
      {"DELETE", "/player/trim", "", 400, b},
      {"POST", "/player/seek", "nan", 400, errorJson("Sekunden")},
      {"POST", "/player/seek", "86401", 400, errorJson("Sekunden")},
      {"GET", "/player/seek", "", 400, errorJson("Sekunden")},
      {"GET", "/player/stop", "", 405, errorJson("nur POST")},
      {"POST", "/player/folder", "tracks", 400, errorJson("absoluter Pfad")},
      {"POST", "/player/files", "", 405, errorJson("nur GET")},
      {"GET", "/player/wobble", "", 404, errorJson("unbekanntes Element: wobble")},
      {"GET", "/player/wobble/1", "", 404, errorJson("unbekannter Pfad")},
      {"GET", "/player/playlist/1", "", 404, errorJson("Titel nicht gefunden: 1")},
      {"PATCH", "/player/playlist", "", 405, errorJson("GET, POST oder DELETE")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path + " " + c.body);
    const HttpResponse r = call(c.method, c.path, c.body);
    EXPECT_EQ(r.status, c.status);
    if (!c.reply.empty()) {
      EXPECT_EQ(r.body, c.reply);
    }
  }
  const std::string home = std::getenv("HOME");
  EXPECT_EQ(call("GET", "/player").body,
            "{\"playing\":false,\"paused\":false,\"current\":0,\"next\":0,\"position\":0.00,"
            "\"duration\":0.00,\"crossfade\":60.00,\"trim\":false,\"beatsync\":true,"
            "\"repeat\":true,\"folder\":\"" +
                home + "/Music/Velto Player\",\"playlist\":[]}");
}

TEST_F(MediaPlayerThreads, Playlist) {
  ASSERT_EQ(call("POST", "/player/folder", folder).status, 200);
  EXPECT_EQ(call("GET", "/player/folder").body, "\"" + folder + "\"");
  EXPECT_EQ(call("GET", "/player/files").body, "[\"alpha.wav\",\"beta.wav\"]");
  HttpResponse r = call("POST", "/player/playlist", "missing.wav");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, errorJson("missing.wav: Datei nicht lesbar"));
  EXPECT_TRUE(engine->player.playlist.empty());

  ASSERT_EQ(call("POST", "/player/playlist", "all").status, 200);
  ASSERT_EQ(engine->player.playlist.size(), 2u);
  std::string both = "[";
  both += track(1, "alpha", "2.00", "null");
  both += ',';
  both += track(2, "beta", "3.00", "null");
  both += ']';
  EXPECT_EQ(call("GET", "/player/playlist").body, both);

  // A track's own crossfade of 0 shows as 0.00; "default" hands it back to the player.
  EXPECT_EQ(call("POST", "/player/playlist/alpha/crossfade", "0").status, 200);
  EXPECT_EQ(call("GET", "/player/playlist/1").body, track(1, "alpha", "2.00", "0.00"));
  EXPECT_EQ(call("GET", "/player/playlist/1/crossfade").body, "0.00");
  EXPECT_EQ(call("POST", "/player/playlist/1/crossfade", "61").body,
            errorJson("Sekunden 0–60 oder default"));
  EXPECT_EQ(call("POST", "/player/playlist/1/crossfade", "nan").body,
            errorJson("Sekunden 0–60 oder default"));
  EXPECT_EQ(call("POST", "/player/playlist/1/crossfade", "default").status, 200);
  EXPECT_EQ(call("GET", "/player/playlist/1/crossfade").body, "\"default\"");

  // Moving: the target must be a position of the playlist.
  for (const char* bad : {"0", "3", "-1", "x", "99999999999999999999999"}) {
    r = call("POST", "/player/playlist/2/move", bad);
    EXPECT_EQ(r.status, 400) << bad;
    EXPECT_EQ(r.body, errorJson("Ziel 1–2")) << bad;
  }
  EXPECT_EQ(call("POST", "/player/playlist/2/move", "1").status, 200);
  EXPECT_EQ(engine->player.playlist[0].title, "beta");
  EXPECT_EQ(call("GET", "/player/playlist/1/wobble").body,
            errorJson("unbekanntes Element: wobble"));
  EXPECT_EQ(call("POST", "/player/playlist/1").body, errorJson("GET oder DELETE"));

  // Transport: play by title, two pauses pause and resume.
  r = call("POST", "/player/play", "alpha");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(engine->player.requestedTrackId, engine->player.playlist[1].id);
  ASSERT_TRUE(cycleUntilPlaying(true));
  EXPECT_EQ(engine->player.currentIndex(), 1);
  EXPECT_EQ(call("POST", "/player/pause").status, 200);
  EXPECT_TRUE(engine->player.paused.load());
  EXPECT_EQ(call("POST", "/player/pause").status, 200);
  EXPECT_FALSE(engine->player.paused.load());
  EXPECT_EQ(call("POST", "/player/seek", "1").status, 200);
  EXPECT_EQ(call("POST", "/player/stop").status, 200);
  EXPECT_TRUE(cycleUntilPlaying(false));

  EXPECT_EQ(call("DELETE", "/player/playlist/beta").status, 200);
  ASSERT_EQ(engine->player.playlist.size(), 1u);
  EXPECT_EQ(engine->player.playlist[0].title, "alpha");
  EXPECT_EQ(call("DELETE", "/player/playlist").status, 200);
  EXPECT_EQ(call("GET", "/player/playlist").body, "[]");
}

} // namespace
} // namespace velto::test
