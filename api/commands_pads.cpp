// Commands on the sixteen sample pads: the overview, the folder and its files, stopping all, and
// each pad's file, playback, mode, gain, name and fade times.
#include "api/api_detail.h"

#include "core/levels.h"
#include "media/audio_file.h"

namespace velto::detail {

namespace {

constexpr const char* kMessageP = "Wert: start | stop | toggle";
constexpr const char* kMessageO = "Wert: once | loop";
constexpr const char* kMessageDb = "Wert in dB, z. B. -6 oder reset";
constexpr float kFadeLimit = 60.0f;
constexpr float kLoopCrossfadeLimit = 10.0f;
// A request opens and decodes on the main thread for no longer than this (processor time); a
// longer file finishes in the background while the pad shows that it is loading.
constexpr double kRequestDecodeSeconds = 0.06;

bool isWrite(Method m) {
  return m == Method::write;
}

std::string joined(const std::string& folder, const std::string& name) {
  return name.rfind('/', 0) == 0 ? name : folder + "/" + name;
}

HttpResponse padOk(Engine& engine, int index) {
  return ok(padJson(engine, index));
}

HttpResponse overview(Engine& engine) {
  std::string out = "{\"folder\":" + q(engine.settings.padsFolder) +
                    ",\"mix\":" + objectJson(engine, Ref{padsMix, 0}) + ",\"pads\":[";
  for (int i = 0; i < PadBank::kPads; ++i) {
    if (i > 0) out += ",";
    out += padJson(engine, i);
  }
  return ok(out + "]}");
}

HttpResponse fileCommand(Api& api, int index, const Request& request) {
  Engine& engine = api.engine;
  PadBank::Pad& pad = engine.pads.pads[static_cast<size_t>(index)];
  if (request.method == Method::read) return ok(pad.file.empty() ? "null" : q(pad.file));
  if (!isWrite(request.method)) return error(405, "nur GET oder POST");
  if (same(request.body, "none")) {
    engine.pads.clear(index);
    return padOk(engine, index);
  }
  const std::string path = joined(engine.settings.padsFolder, request.body);
  if (api.loading) {
    // The start-up does not wait for the file.
    engine.pads.loadAsync(index, path);
    return padOk(engine, index);
  }
  if (Api::Answer answer = api.takeAnswer()) {
    auto owed =
        OwedAnswer::owe(api, std::move(answer), [&engine, index] { return padOk(engine, index); });
    engine.pads.loadAsync(
        index, path, false, [owed, &engine, index, body = request.body](const std::string& reason) {
          owed->give(reason.empty() ? padOk(engine, index) : error(400, body + ": " + reason));
        });
    return {};
  }
  std::string reason;
  if (!engine.pads.load(index, path, reason, kRequestDecodeSeconds)) {
    return error(400, request.body + ": " + reason);
  }
  return padOk(engine, index);
}

HttpResponse playCommand(Engine& engine, int index, const Request& request) {
  if (!isWrite(request.method)) return error(405, "nur POST");
  const std::string& v = request.body;
  const bool start = same(v, "start") || same(v, "on");
  const bool stop = same(v, "stop") || same(v, "off");
  const bool flip = same(v, "toggle");
  if (!start && !stop && !flip) return error(400, kMessageP);
  PadBank::Pad& pad = engine.pads.pads[static_cast<size_t>(index)];
  if (!stop && pad.sample.load() == nullptr) return error(400, "Pad ohne Datei");
  if (flip) {
    engine.pads.toggle(index);
  } else {
    engine.pads.play(index, start);
  }
  return padOk(engine, index);
}

HttpResponse secondsCommand(Engine& engine, int index, std::atomic<float>& value, float limit,
                            const Request& request) {
  if (request.method == Method::read) return ok(secs(value.load()));
  float seconds = 0.0f;
  if (!isWrite(request.method) || !parseSeconds(request.body, limit, seconds)) {
    return error(400, "Sekunden 0–" + std::to_string(static_cast<int>(limit)));
  }
  value.exchange(seconds);
  return padOk(engine, index);
}

HttpResponse elementOfPad(Api& api, int index, const Request& request) {
  Engine& engine = api.engine;
  PadBank::Pad& pad = engine.pads.pads[static_cast<size_t>(index)];
  const std::string& word = request.words[2];
  const Method m = request.method;
  if (same(word, "file")) return fileCommand(api, index, request);
  if (same(word, "play")) return playCommand(engine, index, request);
  if (same(word, "mode")) {
    if (m == Method::read) return ok(pad.loop.load() ? "\"loop\"" : "\"once\"");
    const bool once = same(request.body, "once");
    if (!isWrite(m) || (!once && !same(request.body, "loop"))) return error(400, kMessageO);
    pad.loop.exchange(!once);
    return padOk(engine, index);
  }
  if (same(word, "gain")) {
    if (m == Method::read) return ok(num(gainToDb(pad.gain.load())));
    float db = 0.0f;
    if (!isWrite(m) || !parseDb(request.body, db)) return error(400, kMessageDb);
    pad.gain.store(dbToGain(db));
    return padOk(engine, index);
  }
  if (same(word, "name")) {
    if (m == Method::read) return ok(q(pad.name));
    if (!isWrite(m) || request.body.empty()) return error(400, "Name fehlt");
    pad.name = request.body;
    return padOk(engine, index);
  }
  if (same(word, "fadein")) return secondsCommand(engine, index, pad.fadeIn, kFadeLimit, request);
  if (same(word, "fadeout")) {
    return secondsCommand(engine, index, pad.fadeOut, kFadeLimit, request);
  }
  if (same(word, "crossfade")) {
    return secondsCommand(engine, index, pad.crossfade, kLoopCrossfadeLimit, request);
  }
  return error(404, "unbekanntes Element: " + word);
}

} // namespace

bool resolvePad(Engine& engine, const std::string& text, int& index) {
  int64_t number = 0;
  if (wholeInteger(text, number)) {
    if (number < 1 || number > PadBank::kPads) return false;
    index = static_cast<int>(number - 1);
    return true;
  }
  for (int i = 0; i < PadBank::kPads; ++i) {
    const std::string& name = engine.pads.pads[static_cast<size_t>(i)].name;
    if (!name.empty() && sameText(name, text)) {
      index = i;
      return true;
    }
  }
  return false;
}

// main thread
HttpResponse padsCommand(Api& api, const Request& request) {
  Engine& engine = api.engine;
  const std::vector<std::string>& words = request.words;
  const Method m = request.method;
  const size_t n = words.size();
  if (n == 1) return m == Method::read ? overview(engine) : error(405, "nur GET");
  const std::string& word = words[1];
  if (n == 2 && same(word, "folder")) {
    if (m == Method::read) return ok(q(engine.settings.padsFolder));
    if (!isWrite(m) || request.body.rfind('/', 0) != 0) return error(400, "absoluter Pfad");
    engine.settings.padsFolder = request.body;
    return ok(q(engine.settings.padsFolder));
  }
  if (n == 2 && same(word, "files")) {
    if (m != Method::read) return error(405, "nur GET");
    return folderListing(api, engine.settings.padsFolder);
  }
  if (n == 2 && same(word, "stop")) {
    if (!isWrite(m)) return error(405, "nur POST");
    engine.pads.stopAll();
    return ok("true");
  }
  int index = 0;
  if (!resolvePad(engine, word, index)) {
    return error(404, "Pad 1–" + std::to_string(PadBank::kPads) + " oder Name: " + word);
  }
  if (n == 2) {
    if (m == Method::read) return padOk(engine, index);
    if (m != Method::remove) return error(405, "GET oder DELETE");
    engine.pads.clear(index);
    return padOk(engine, index);
  }
  if (n > 3) return error(404, "unbekannter Pfad");
  return elementOfPad(api, index, request);
}

} // namespace velto::detail
