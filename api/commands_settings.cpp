// Commands on the settings record: board, previous output, window switches, login item, driver,
// buffer size, volume-key target, and the API switch and port.
#include "api/api_detail.h"

#include "api/hooks.h"
#include "platform/dispatch/main_queue.h"

#include <memory>

namespace velto::detail {

namespace {

constexpr const char* kMessageB = "Wert: on | off | toggle";
constexpr const char* kMessageI = "Wert: install | uninstall";
constexpr const char* kBufferSizes = "Puffer: 32, 64, 128, 256 oder 512";
constexpr const char* kVolumeKeysTarget = "Ziel: default oder Hardware Output (Nummer oder Name)";

HttpResponse settings(Api& api) {
  return ok(settingsJson(api.engine));
}

// The items of the board text: a letter and a member number each, "" after a final ",".
bool validBoard(const std::string& board, std::string& bad) {
  struct Kind {
    char letter;
    int64_t last;
  };
  constexpr Kind kKinds[] = {{'i', 3}, {'o', 3}, {'m', 3}, {'v', 4}, {'p', 1}, {'y', 1}};
  size_t start = 0;
  while (start < board.size()) {
    size_t end = board.find(',', start);
    if (end == std::string::npos) end = board.size();
    const std::string item = board.substr(start, end - start);
    start = end + 1;
    bool valid = false;
    int64_t number = 0;
    if (item.size() >= 2 && parseInteger(item.substr(1), number)) {
      for (const Kind& k : kKinds) {
        if (item[0] == k.letter && number >= 1 && number <= k.last) valid = true;
      }
    }
    if (!valid) {
      bad = item;
      return false;
    }
  }
  return true;
}

HttpResponse flagCommand(Api& api, const Request& r, bool& flag) {
  if (r.method == Method::read) return ok(boolText(flag));
  bool value = false;
  if (r.method != Method::write || !parseBool(r.body, flag, value)) return error(400, kMessageB);
  flag = value;
  return settings(api);
}

HttpResponse autostartCommand(Api& api, const Request& r) {
  const AppHooks& hooks = appHooks();
  const bool current = hooks.autostartEnabled != nullptr && hooks.autostartEnabled();
  if (r.method == Method::read) return ok(boolText(current));
  bool on = false;
  if (r.method != Method::write || !parseBool(r.body, current, on)) return error(400, kMessageB);
  if (hooks.setAutostart == nullptr) return error(400, "nicht verfügbar");
  std::string message;
  if (!hooks.setAutostart(on, message)) return error(400, message);
  return settings(api);
}

std::string driverJson(Api& api) {
  const AppHooks& hooks = appHooks();
  const int installed = hooks.installedDriverVersion != nullptr ? hooks.installedDriverVersion()
                        : driverInstalled(api.engine)           ? -1
                                                                : 0;
  const int bundled = hooks.bundledDriverVersion != nullptr ? hooks.bundledDriverVersion() : 0;
  return "{\"installed\":" + std::to_string(installed) + ",\"bundled\":" + std::to_string(bundled) +
         "}";
}

HttpResponse driverCommand(Api& api, const Request& r) {
  if (r.method == Method::read) return ok(driverJson(api));
  if (r.method != Method::write) return error(405, "GET oder POST");
  const AppHooks& hooks = appHooks();
  if (hooks.installDriver == nullptr) return error(400, "nicht verfügbar");
  const bool install = same(r.body, "install");
  if (!install && !same(r.body, "uninstall")) return error(400, kMessageI);
  std::string message;
  if (!hooks.installDriver(install, message)) return error(400, message);
  return ok(driverJson(api));
}

HttpResponse bufferCommand(Api& api, const Request& r) {
  if (r.method == Method::read) return ok(std::to_string(api.engine.settings.bufferFrames));
  int64_t frames = 0;
  // A count beyond 32 bits is refused here, before it could wrap into a valid size.
  if (r.method != Method::write || !parseInteger(r.body, frames) || frames <= 0 ||
      frames > UINT32_MAX || !api.engine.setBufferFrames(static_cast<uint32_t>(frames))) {
    return error(400, kBufferSizes);
  }
  return settings(api);
}

HttpResponse volumeKeysCommand(Api& api, const Request& r) {
  Engine& engine = api.engine;
  const int32_t target = engine.settings.volumeKeys;
  if (r.method == Method::read) {
    return ok(target < 0 || target > 2 ? std::string("\"default\"") : q(engine.buses[target].name));
  }
  if (r.method != Method::write) return error(400, kVolumeKeysTarget);
  if (same(r.body, "default")) {
    engine.setVolumeKeys(-1);
    return settings(api);
  }
  int index = 0;
  if (!resolve(engine, hwOutputs, r.body, index)) return error(400, kVolumeKeysTarget);
  engine.setVolumeKeys(index);
  return settings(api);
}

HttpResponse apiEnabledCommand(Api& api, const Request& r) {
  bool& enabled = api.engine.settings.apiEnabled;
  if (r.method == Method::read) return ok(boolText(enabled));
  bool value = false;
  if (r.method != Method::write || !parseBool(r.body, enabled, value)) {
    return error(400, kMessageB);
  }
  enabled = value;
  api.applySettingsLater();
  return settings(api);
}

HttpResponse apiPortCommand(Api& api, const Request& r) {
  uint32_t& port = api.engine.settings.apiPort;
  if (r.method == Method::read) return ok(std::to_string(port));
  int64_t value = 0;
  if (r.method != Method::write || !parseInteger(r.body, value) || value < 1024 || value > 65535) {
    return error(400, "Port 1024–65535");
  }
  // A running server that is to move takes hold of the new port now, so a port in use is
  // refused while the old one still serves instead of leaving the server nowhere. A stored port
  // replayed at start-up is kept whatever its state; the start reports it then.
  HttpServer& server = api.server;
  const bool moves = api.engine.settings.apiEnabled && !api.loading && server.listenFd >= 0 &&
                     server.port != static_cast<int>(value);
  if (moves && !server.reserve(static_cast<int>(value))) {
    return error(400, "Port " + std::to_string(value) + " belegt");
  }
  port = static_cast<uint32_t>(value);
  api.applySettingsLater();
  return settings(api);
}

} // namespace

HttpResponse settingsCommand(Api& api, const Request& r) {
  Settings& s = api.engine.settings;
  const std::vector<std::string>& w = r.words;
  if (w.size() == 3) {
    if (same(w[1], "audio")) {
      if (same(w[2], "samplerate")) {
        return r.method == Method::read ? ok("48000") : error(400, "fest 48000");
      }
      if (same(w[2], "buffer")) return bufferCommand(api, r);
      if (same(w[2], "volumekeys")) return volumeKeysCommand(api, r);
      return error(404, "unbekannte Einstellung");
    }
    if (same(w[1], "api")) {
      if (same(w[2], "enabled")) return apiEnabledCommand(api, r);
      if (same(w[2], "port")) return apiPortCommand(api, r);
      return error(404, "unbekannte Einstellung");
    }
    return error(404, "unbekannter Pfad");
  }

  const std::string& word = w[1];
  if (same(word, "board")) {
    if (r.method == Method::read) return ok(q(s.board));
    if (r.method != Method::write) return error(405, "nur GET oder POST");
    std::string bad;
    if (!validBoard(r.body, bad)) return error(400, "Eintrag ungültig: " + bad);
    s.board = r.body;
    return settings(api);
  }
  if (same(word, "previousoutput")) {
    if (r.method == Method::read) return ok(q(s.previousOutput));
    if (r.method != Method::write) return error(405, "GET oder POST");
    s.previousOutput = r.body;
    return settings(api);
  }
  if (same(word, "restoreoutput")) return flagCommand(api, r, s.restoreOutput);
  if (same(word, "fullscreen")) return flagCommand(api, r, s.fullscreen);
  if (same(word, "intro")) return flagCommand(api, r, s.intro);
  if (same(word, "autostart")) return autostartCommand(api, r);
  if (same(word, "driver")) return driverCommand(api, r);
  return error(404, "unbekannter Pfad");
}

} // namespace velto::detail

namespace velto {

// The server restart waits for a later turn of the main queue: it joins the server thread,
// which may be serving the very request that asked for it.
void Api::applySettingsLater() {
  std::weak_ptr<const bool> alive = lifetime;
  Api* self = this;
  platform::dispatch::mainAsync([self, alive] {
    if (!alive.expired()) self->applySettings();
  });
}

} // namespace velto
