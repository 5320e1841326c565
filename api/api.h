// The command interpreter of the control interface: one path-addressed command (method, path,
// body) in, a status and one JSON text out. One instance, owned by the shell, holding a
// reference to the engine. Main thread only: HTTP requests and configuration lines reach it there.
#pragma once

#include <memory>
#include <string>

#include "api/http_server.h"

namespace velto {

class Engine;

class Api {
public:
  explicit Api(Engine& engine);
  // Stops the local server first; steps it queued on the main queue then find the API gone.
  ~Api();
  Api(const Api&) = delete;
  Api& operator=(const Api&) = delete;

  // main thread: runs one command against the engine and answers it.
  HttpResponse handle(const std::string& method, const std::string& path, const std::string& body);

  // The configuration file, "$HOME/Library/Application Support/Velto/config.txt"; creates its
  // folder (and the missing ones above it) on the way.
  static std::string configPath();
  // main thread: rewrites the configuration file from the engine's current state.
  void save();
  // main thread, once at start-up: replays the configuration file, repairs, applies settings.
  void load();
  // main thread: starts, restarts or stops the local server from the settings record.
  void applySettings();

  Engine& engine;
  HttpServer server;
  // Why the local server could not start; empty while all is well.
  std::string apiError;
  // Set while the configuration file is replayed: devices that are not connected now are kept,
  // missing playlist files are skipped, pad files load in the background.
  bool loading = false;
  // Expires with the API object; work queued for the main thread checks it before touching us.
  std::shared_ptr<const bool> lifetime = std::make_shared<const bool>(true);
};

} // namespace velto
