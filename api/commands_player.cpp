// Commands on the playlist player: transport, crossfade and switches, the folder and its files,
// and the playlist with each track's position and own crossfade.
#include "api/api_detail.h"

#include "media/audio_file.h"

namespace velto::detail {

namespace {

constexpr const char* kMessageB = "Wert: on | off | toggle";
constexpr float kMaxSeekSeconds = 86400.0f;
constexpr float kMaxCrossfadeSeconds = 60.0f;

bool isWrite(Method m) {
  return m == Method::write;
}

HttpResponse playerOk(Engine& engine) {
  return ok(playerJson(engine));
}

HttpResponse notFound(const std::string& title) {
  return error(404, "Titel nicht gefunden: " + title);
}

HttpResponse flagCommand(Engine& engine, std::atomic<bool>& flag, const Request& request) {
  if (request.method == Method::read) return ok(boolText(flag.load()));
  bool value = false;
  if (!isWrite(request.method) || !parseBool(request.body, flag.load(), value)) {
    return error(400, kMessageB);
  }
  flag.exchange(value);
  return playerOk(engine);
}

// While the configuration is replayed, a file that has gone since is skipped without a refusal.
HttpResponse playlistWrite(Api& api, const std::string& body) {
  Engine& engine = api.engine;
  Player& player = engine.player;
  const std::string& folder = engine.settings.playerFolder;
  const bool all = same(body, "all");
  const std::string named = body.rfind('/', 0) == 0 ? body : folder + "/" + body;
  if (Api::Answer answer = api.takeAnswer()) {
    auto owed = OwedAnswer::owe(api, std::move(answer), [&engine] { return playerOk(engine); });
    player.addLater(all ? folder : named, all, [owed, &engine, body](const std::string& failure) {
      owed->give(failure.empty() ? playerOk(engine) : error(400, body + ": " + failure));
    });
    return {};
  }
  std::vector<std::string> paths;
  if (all) {
    for (const std::string& name : listAudioFiles(folder)) paths.push_back(folder + "/" + name);
  } else {
    paths.push_back(named);
  }
  // Every file that can be added is; the first failure is reported.
  std::string failure;
  for (const std::string& path : paths) {
    std::string reason;
    if (player.add(path, reason) == 0 && failure.empty()) failure = reason;
  }
  if (!failure.empty() && !api.loading) return error(400, body + ": " + failure);
  return playerOk(engine);
}

HttpResponse playlistCommand(Api& api, const Request& request) {
  Engine& engine = api.engine;
  Player& player = engine.player;
  const Method m = request.method;
  if (m == Method::read) {
    std::string out = "[";
    for (size_t i = 0; i < player.playlist.size(); ++i) {
      if (i > 0) out += ",";
      out += trackJson(engine, static_cast<int>(i));
    }
    return ok(out + "]");
  }
  if (isWrite(m)) return playlistWrite(api, request.body);
  if (m != Method::remove) return error(405, "GET, POST oder DELETE");
  player.stop();
  for (int i = static_cast<int>(player.playlist.size()) - 1; i >= 0; --i) player.remove(i);
  return playerOk(engine);
}

HttpResponse trackCommand(Engine& engine, const Request& request) {
  Player& player = engine.player;
  const std::vector<std::string>& words = request.words;
  const Method m = request.method;
  int index = 0;
  if (!resolveTrack(engine, words[2], index)) return notFound(words[2]);
  if (words.size() == 3) {
    if (m == Method::read) return ok(trackJson(engine, index));
    if (m != Method::remove) return error(405, "GET oder DELETE");
    player.remove(index);
    return playerOk(engine);
  }
  if (words.size() > 4) return error(404, "unbekannter Pfad");
  const std::string& word = words[3];
  if (same(word, "move")) {
    const int64_t length = static_cast<int64_t>(player.playlist.size());
    int64_t target = 0;
    if (!isWrite(m) || !wholeInteger(request.body, target) || target < 1 || target > length) {
      return error(400, "Ziel 1–" + std::to_string(length));
    }
    player.move(index, static_cast<int>(target - 1));
    return playerOk(engine);
  }
  if (same(word, "crossfade")) {
    PlayerTrack& track = player.playlist[static_cast<size_t>(index)];
    if (m == Method::read) {
      return ok(track.crossfade < 0.0f ? std::string("\"default\"") : secs(track.crossfade));
    }
    float seconds = 0.0f;
    if (isWrite(m) && same(request.body, "default")) {
      track.crossfade = -1.0f;
      return playerOk(engine);
    }
    if (!isWrite(m) || !parseSeconds(request.body, kMaxCrossfadeSeconds, seconds)) {
      return error(400, "Sekunden 0–60 oder default");
    }
    track.crossfade = seconds;
    return playerOk(engine);
  }
  return error(404, "unbekanntes Element: " + word);
}

HttpResponse transport(Engine& engine, const std::string& word, const Request& request) {
  Player& player = engine.player;
  if (!isWrite(request.method)) return error(405, "nur POST");
  if (same(word, "play")) {
    if (request.body.empty()) {
      if (player.playlist.empty()) return error(400, "Playlist ist leer");
      player.play(-1);
      return playerOk(engine);
    }
    int index = 0;
    if (!resolveTrack(engine, request.body, index)) return notFound(request.body);
    player.play(index);
  } else if (same(word, "pause")) {
    if (player.paused.load()) {
      player.play(-1);
    } else {
      player.pause();
    }
  } else if (same(word, "stop")) {
    player.stop();
  } else if (same(word, "next")) {
    player.next();
  } else {
    player.prev();
  }
  return playerOk(engine);
}

HttpResponse playerElement(Api& api, const Request& request) {
  Engine& engine = api.engine;
  Player& player = engine.player;
  const std::string& word = request.words[1];
  const Method m = request.method;
  if (same(word, "play") || same(word, "pause") || same(word, "stop") || same(word, "next") ||
      same(word, "prev")) {
    return transport(engine, word, request);
  }
  if (same(word, "seek")) {
    float seconds = 0.0f;
    if (!isWrite(m) || !parseSeconds(request.body, kMaxSeekSeconds, seconds)) {
      return error(400, "Sekunden");
    }
    player.seek(seconds);
    return playerOk(engine);
  }
  if (same(word, "crossfade")) {
    if (m == Method::read) return ok(secs(player.crossfade.load()));
    float seconds = 0.0f;
    if (!isWrite(m) || !parseSeconds(request.body, kMaxCrossfadeSeconds, seconds)) {
      return error(400, "Sekunden 0–60");
    }
    player.crossfade.store(seconds);
    return playerOk(engine);
  }
  if (same(word, "trim")) return flagCommand(engine, player.trim, request);
  if (same(word, "beatsync")) return flagCommand(engine, player.beatSync, request);
  if (same(word, "repeat")) {
    if (m == Method::read) return ok(boolText(player.repeat));
    bool value = false;
    if (!isWrite(m) || !parseBool(request.body, player.repeat, value)) {
      return error(400, kMessageB);
    }
    player.repeat = value;
    return playerOk(engine);
  }
  if (same(word, "folder")) {
    if (m == Method::read) return ok(q(engine.settings.playerFolder));
    if (!isWrite(m) || request.body.rfind('/', 0) != 0) return error(400, "absoluter Pfad");
    engine.settings.playerFolder = request.body;
    return playerOk(engine);
  }
  if (same(word, "files")) {
    if (m != Method::read) return error(405, "nur GET");
    return folderListing(api, engine.settings.playerFolder);
  }
  if (same(word, "playlist")) return playlistCommand(api, request);
  return error(404, "unbekanntes Element: " + word);
}

} // namespace

bool resolveTrack(Engine& engine, const std::string& text, int& index) {
  const std::vector<PlayerTrack>& playlist = engine.player.playlist;
  const int64_t count = static_cast<int64_t>(playlist.size());
  int64_t number = 0;
  if (wholeInteger(text, number)) {
    if (number < 1 || number > count) return false;
    index = static_cast<int>(number - 1);
    return true;
  }
  for (size_t i = 0; i < playlist.size(); ++i) {
    if (sameText(playlist[i].title, text)) {
      index = static_cast<int>(i);
      return true;
    }
  }
  return false;
}

// main thread
HttpResponse playerCommand(Api& api, const Request& request) {
  Engine& engine = api.engine;
  const size_t n = request.words.size();
  if (n == 1) return request.method == Method::read ? playerOk(engine) : error(405, "nur GET");
  if (n == 2) return playerElement(api, request);
  if (!same(request.words[1], "playlist")) return error(404, "unbekannter Pfad");
  return trackCommand(engine, request);
}

} // namespace velto::detail
