// JSON of the media sources: the playlist player, one playlist entry and one sample pad.
// Values the audio and reader threads change are read once each, without any lock.
#include "api/api_detail.h"

#include "core/levels.h"

#include <cstdio>

namespace velto::detail {

namespace {

std::string integer(long long value) {
  return std::to_string(value);
}

std::string textOrNull(const std::string& text) {
  return text.empty() ? std::string("null") : q(text);
}

} // namespace

// main thread
std::string trackJson(Engine& engine, int index) {
  const PlayerTrack& track = engine.player.playlist[static_cast<size_t>(index)];
  std::string out = "{\"index\":" + integer(index + 1) + ",\"name\":" + q(track.title) +
                    ",\"file\":" + q(track.path) +
                    ",\"seconds\":" + secs(static_cast<float>(track.seconds));
  out += ",\"crossfade\":" + (track.crossfade < 0.0f ? std::string("null") : secs(track.crossfade));
  out += ",\"bpm\":";
  if (track.analyzed && track.beats.valid) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.1f", static_cast<double>(track.beats.bpm));
    out += buffer;
  } else {
    out += "null";
  }
  out += ",\"analyzed\":" + boolText(track.analyzed) + "}";
  return out;
}

// main thread
std::string playerJson(Engine& engine) {
  Player& player = engine.player;
  std::string out = "{\"playing\":" + boolText(player.playing.load()) +
                    ",\"paused\":" + boolText(player.paused.load()) +
                    ",\"current\":" + integer(player.currentIndex() + 1) +
                    ",\"next\":" + integer(player.nextIndex() + 1) +
                    ",\"position\":" + secs(static_cast<float>(player.position())) +
                    ",\"duration\":" + secs(static_cast<float>(player.duration())) +
                    ",\"crossfade\":" + secs(player.crossfade.load()) +
                    ",\"trim\":" + boolText(player.trim.load()) +
                    ",\"beatsync\":" + boolText(player.beatSync.load()) +
                    ",\"repeat\":" + boolText(player.repeat) +
                    ",\"folder\":" + q(engine.settings.playerFolder) + ",\"playlist\":[";
  for (size_t i = 0; i < player.playlist.size(); ++i) {
    if (i > 0) out += ",";
    out += trackJson(engine, static_cast<int>(i));
  }
  out += "]}";
  return out;
}

// main thread
std::string padJson(Engine& engine, int index) {
  const PadBank::Pad& pad = engine.pads.pads[static_cast<size_t>(index)];
  const PadSample* sample = pad.sample.load();
  const float seconds =
      sample == nullptr ? 0.0f : static_cast<float>(static_cast<double>(sample->frames) / 48000.0);
  return "{\"index\":" + integer(index + 1) + ",\"name\":" + q(pad.name) +
         ",\"file\":" + textOrNull(pad.file) + ",\"loaded\":" + boolText(sample != nullptr) +
         ",\"loading\":" + boolText(pad.loading) + ",\"error\":" + textOrNull(pad.error) +
         ",\"seconds\":" + secs(seconds) + ",\"playing\":" + boolText(pad.playing.load()) +
         ",\"progress\":" + secs(pad.progress.load()) +
         ",\"mode\":" + (pad.loop.load() ? "\"loop\"" : "\"once\"") +
         ",\"gain\":" + num(gainToDb(pad.gain.load())) + ",\"fadein\":" + secs(pad.fadeIn.load()) +
         ",\"fadeout\":" + secs(pad.fadeOut.load()) +
         ",\"crossfade\":" + secs(pad.crossfade.load()) + "}";
}

} // namespace velto::detail
