// Commands on the groups and their members: names, levels, mutes, fades, the speaker switch,
// device links, default devices, routes, sources and users, and the captured applications.
#include "api/api_detail.h"

#include "core/levels.h"

#include <cmath>
#include <sstream>

namespace velto::detail {

namespace {

constexpr const char* kMessageB = "Wert: on | off | toggle";
constexpr const char* kMessageL = "Wert: on (Lautsprecher) | off (Kopfhörer)";
constexpr const char* kMessageDb = "Wert in dB, z. B. -6 oder reset";
constexpr const char* kFadeUsage = "Wert: <Ziel-dB> [Tempo 0.01–1.00], z. B. \"-12 0.25\"";
constexpr const char* kTempoRange = "Tempo 0.01 (10 s) bis 1.00 (sofort)";
constexpr int kMaxApps = 16;

HttpResponse member(Api& api, Ref ref) {
  return ok(objectJson(api.engine, ref));
}

// A read of an on/off value, or a write of one through parseBool against its current state.
template <typename Read, typename Write>
HttpResponse switchCommand(Api& api, Ref ref, const Request& r, const char* message, Read read,
                           Write write) {
  if (r.method == Method::read) return ok(boolText(read()));
  bool value = false;
  if (r.method != Method::write || !parseBool(r.body, read(), value)) return error(400, message);
  write(value);
  return member(api, ref);
}

HttpResponse nameCommand(Api& api, Ref ref, const Request& r) {
  if (r.method == Method::read) return ok(q(nameOf(api.engine, ref)));
  if (r.method != Method::write || r.body.empty()) return error(400, "Name fehlt");
  nameOf(api.engine, ref) = r.body;
  return member(api, ref);
}

HttpResponse gainCommand(Api& api, Ref ref, const Request& r) {
  std::atomic<float>& gain = gainOf(api.engine, ref);
  if (r.method == Method::read) return ok(num(gainToDb(gain.load())));
  float db = 0.0f;
  if (r.method != Method::write || !parseDb(r.body, db)) return error(400, kMessageDb);
  gain.exchange(dbToGain(db));
  return member(api, ref);
}

HttpResponse fadeCommand(Api& api, Ref ref, const Request& r) {
  Engine& engine = api.engine;
  std::atomic<float>& gain = gainOf(engine, ref);
  if (r.method == Method::read) {
    float target = 0.0f;
    const bool active = engine.fadeTarget(gain, target);
    return ok("{\"active\":" + boolText(active) +
              ",\"target\":" + (active ? num(target) : std::string("null")) + "}");
  }
  if (r.method != Method::write) return error(405, "nur GET oder POST");
  if (same(r.body, "stop")) {
    engine.cancelFade(gain);
    return member(api, ref);
  }
  std::istringstream words(r.body);
  std::string levelWord;
  std::string tempoWord;
  words >> levelWord >> tempoWord;
  float db = 0.0f;
  if (!parseDb(levelWord, db)) return error(400, kFadeUsage);
  float tempo = 1.0f;
  if (!tempoWord.empty()) {
    const char* begin = tempoWord.c_str();
    char* end = nullptr;
    tempo = std::strtof(begin, &end);
    // Written so that a value that is not a number fails the range test too.
    if (end == begin || !(tempo >= 0.01f && tempo <= 1.0f)) return error(400, kTempoRange);
  }
  engine.fadeTo(gain, db, tempo);
  return member(api, ref);
}

HttpResponse deviceCommand(Api& api, Ref ref, const Request& r) {
  if (r.method == Method::read) return member(api, ref);
  if (ref.group == hwVirtualOuts) return error(400, "festes Gerät, nicht änderbar");
  if (r.method != Method::write || !setDevice(api.engine, ref, r.body, !api.loading)) {
    return error(400, "Gerät passt nicht: " + r.body + " (siehe GET /devices)");
  }
  return member(api, ref);
}

HttpResponse defaultCommand(Api& api, Ref ref, const Request& r) {
  const bool current = isDefault(api.engine, ref);
  if (r.method == Method::read) return ok(boolText(current));
  bool on = false;
  if (r.method != Method::write || !parseBool(r.body, current, on) || !on) {
    return error(400, "Wert: on");
  }
  if (!makeDefault(api.engine, ref)) return error(400, "Velto-Treiber nicht installiert");
  return member(api, ref);
}

HttpResponse listCommand(const Request& r, const std::vector<std::string>& items) {
  if (r.method != Method::read) return error(405, "nur GET");
  return ok(list(items));
}

// The route bit named by the words after "to", or -1.
int routeTarget(Engine& engine, Ref ref, const std::vector<std::string>& w) {
  const size_t n = w.size();
  if (n < 5) return -1;
  int index = 0;
  if (ref.group == swApps) {
    const bool spelled = same(w[4], "virtual");
    if (n != (spelled ? 6u : 5u)) return -1;
    return resolve(engine, swVirtualIns, w[spelled ? 5 : 4], index) ? index : -1;
  }
  if (n == 6 && same(w[4], "outputs")) {
    return resolve(engine, hwOutputs, w[5], index) ? index : -1;
  }
  if (n == 6 && same(w[4], "virtual")) {
    return resolve(engine, hwVirtualOuts, w[5], index) ? index + 3 : -1;
  }
  if (n != 5) return -1;
  if (resolve(engine, hwOutputs, w[4], index)) return index;
  if (resolve(engine, hwVirtualOuts, w[4], index)) return index + 3;
  return -1;
}

HttpResponse routeCommand(Api& api, Ref ref, const Request& r, Strip& strip) {
  if (r.words.size() == 4) {
    if (r.method == Method::read) return member(api, ref);
    return error(405, "Ziel fehlt: .../to/<ziel>");
  }
  const int bit = routeTarget(api.engine, ref, r.words);
  if (bit < 0) {
    return error(404, ref.group == swApps ? "Ziel: virtual/1–4 oder Name"
                                          : "Ziel: outputs/<n>, virtual/<n> oder Name");
  }
  const uint32_t mask = 1u << bit;
  const bool current = (strip.routeMask.load() & mask) != 0;
  if (r.method == Method::read) return ok(boolText(current));
  bool on = false;
  if (r.method != Method::write || !parseBool(r.body, current, on)) return error(400, kMessageB);
  if (on) {
    strip.routeMask.fetch_or(mask);
  } else {
    strip.routeMask.fetch_and(~mask);
  }
  return member(api, ref);
}

} // namespace

HttpResponse groupCommand(Api& api, Ref ref, const Request& r) {
  if (r.method == Method::read) return ok(groupJson(api.engine, ref.group));
  if (r.method != Method::write || ref.group != swApps) return error(405, "nicht erlaubt");
  const std::string bundle = bundleFor(r.body);
  if (bundle.empty()) return error(404, "App nicht gefunden: " + r.body);
  const int index = api.engine.addApp(bundle);
  if (index < 0) return error(400, "maximal " + std::to_string(kMaxApps) + " Apps");
  return member(api, Ref{swApps, index});
}

HttpResponse memberCommand(Api& api, Ref ref, const Request& r) {
  if (r.method == Method::read) return member(api, ref);
  if (r.method == Method::remove && ref.group == swApps) {
    api.engine.removeApp(ref.index);
    return ok(groupJson(api.engine, swApps));
  }
  return error(405, "nicht erlaubt");
}

HttpResponse elementCommand(Api& api, Ref ref, const Request& r) {
  Engine& engine = api.engine;
  const std::string& w = r.words[3];
  const uint32_t g = ref.group;
  if (same(w, "noise") && g == hwInputs) return noiseCommand(api, ref, r);
  HttpResponse effectReply;
  if (effectCommand(api, ref, r, effectReply)) return effectReply;
  Strip* strip = stripOf(engine, ref);
  if (same(w, "to") && strip != nullptr) return routeCommand(api, ref, r, *strip);
  if (r.words.size() != 4) return error(404, "unbekannter Pfad");

  if (same(w, "name")) return nameCommand(api, ref, r);
  if (same(w, "gain")) return gainCommand(api, ref, r);
  if (same(w, "fade")) return fadeCommand(api, ref, r);
  if (same(w, "mute")) {
    std::atomic<bool>& mute = muteOf(engine, ref);
    return switchCommand(
        api, ref, r, kMessageB, [&] { return mute.load(); }, [&](bool v) { mute.exchange(v); });
  }
  if (same(w, "speaker") && g == hwOutputs) {
    std::atomic<bool>& speaker = engine.buses[ref.index].speaker;
    return switchCommand(
        api, ref, r, kMessageL, [&] { return speaker.load(); },
        [&](bool v) { speaker.exchange(v); });
  }
  if (same(w, "device") && (g == hwInputs || g == hwVirtualOuts || g == hwOutputs)) {
    return deviceCommand(api, ref, r);
  }
  if (same(w, "default") && (g == hwVirtualOuts || (g == swVirtualIns && ref.index == 3))) {
    return defaultCommand(api, ref, r);
  }
  if (same(w, "passthrough") && g == swApps) {
    AppSource& app = engine.app(ref.index);
    return switchCommand(
        api, ref, r, kMessageB, [&] { return app.passthrough; },
        [&](bool v) { engine.setAppPassthrough(ref.index, v); });
  }
  if (same(w, "sources") && (g == hwVirtualOuts || g == hwOutputs)) {
    return listCommand(r, engine.sourcesOf(g == hwVirtualOuts ? ref.index + 3 : ref.index));
  }
  if (same(w, "users") && g == hwVirtualOuts) {
    if (r.method != Method::read) return error(405, "nur GET");
    engine.refreshUsers();
    return ok(list(engine.users[ref.index]));
  }
  if (same(w, "apps") && g == swVirtualIns) return listCommand(r, engine.appsOf(ref.index));
  return error(404, "unbekanntes Element: " + w);
}

HttpResponse levelProbe(Api& api, const std::string& device) {
  const float peak = api.engine.measureInputDb(device, 0.5);
  // A device that delivers no number at all is as unreadable as one that delivers nothing.
  if (!std::isfinite(peak)) return error(404, "Gerät ohne Eingang oder nicht lesbar: " + device);
  return ok("{\"device\":" + q(device) + ",\"peak\":" + num(peak) + "}");
}

} // namespace velto::detail
