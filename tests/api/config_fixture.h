// Fixture for the configuration file's suites: the API fixture plus the file itself, a restart
// (a new engine and interpreter on the same audio system and HOME, then the file loaded), and a
// wait for what a load finishes in the background. Test thread only.
#pragma once

#include "api_fixture.h"

#include "media/player.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace velto::test {

class ConfigFixture : public ApiFixture {
protected:
  static std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  }
  static std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  std::string config() { return readFile(Api::configPath()); }

  // A new engine and interpreter on the same system, loading whatever the file holds.
  void restart() {
    api.reset();
    engine.reset();
    settle();
    engine = std::make_unique<Engine>(true);
    api = std::make_unique<Api>(*engine);
    api->load();
    settleMedia();
  }
  void restartWith(const std::string& text) {
    writeFile(Api::configPath(), text);
    restart();
  }

  // Until no pad is loading and every track is analysed (two seconds at most).
  void settleMedia() {
    for (int i = 0; i < 2000; ++i) {
      engine->player.tick();
      settle();
      bool busy = false;
      for (const PadBank::Pad& pad : engine->pads.pads) busy = busy || pad.loading;
      for (const PlayerTrack& track : engine->player.playlist) busy = busy || !track.analyzed;
      if (!busy) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ADD_FAILURE() << "media still loading";
  }

  std::string get(const std::string& path) { return call("GET", path).body; }
};

} // namespace velto::test
