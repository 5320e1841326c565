// The command interpreter of the control interface: one path-addressed command (method, path,
// body) in, a status and one JSON text out. One instance, owned by the shell, holding a
// reference to the engine. Main thread only: HTTP requests and configuration lines reach it there.
#pragma once

#include <chrono>
#include <functional>
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

  using Answer = std::function<void(HttpResponse)>;
  // main thread: runs one command like handle and gives its answer to `answer`, saving first
  // unless it was a GET. A command that names files opens them off the main thread and answers
  // on a later turn of the main queue: when they are known, or after kLateAnswer with the
  // state then, the rest following in the state. The local server answers this way.
  void handleLater(const std::string& method, const std::string& path, const std::string& body,
                   Answer answer);
  // For a command run by handleLater: takes the answer it then owes. Empty when the caller
  // waits for handle's reply (the configuration, tests); the command then answers in place.
  Answer takeAnswer();
  static constexpr std::chrono::milliseconds kLateAnswer{1000};

  // The configuration file, "$HOME/Library/Application Support/Velto/config.txt"; creates its
  // folder (and the missing ones above it) on the way.
  static std::string configPath();
  // main thread: rewrites the configuration file from the engine's current state; nothing when
  // the file could not be read at start. A failure is kept in saveError until a save succeeds.
  void save();
  // main thread, once at start-up: replays the configuration file, repairs, applies settings.
  // A file that exists but cannot be read sets configError.
  void load();
  // The line the window and the start show about the configuration file; empty while all is
  // well.
  std::string configNotice() const;
  // main thread: starts, restarts or stops the local server from the settings record.
  void applySettings();
  // main thread: the same on a later turn of the main queue. Stopping the server joins its
  // thread, which may be waiting for the main queue with a request, so a frame or a request
  // never applies the settings itself.
  void applySettingsLater();

  Engine& engine;
  HttpServer server;
  // Why the local server could not start; empty while all is well.
  std::string apiError;
  // Why the configuration file could not be read at start. While set the file is never
  // written: the user's file stays as it is, whatever this run changes.
  std::string configError;
  // Why the last save failed; emptied by a save that went through.
  std::string saveError;
  // Set while the configuration file is replayed: devices that are not connected now are kept,
  // missing playlist files are skipped, pad files load in the background.
  bool loading = false;
  // Expires with the API object; work queued for the main thread checks it before touching us.
  std::shared_ptr<const bool> lifetime = std::make_shared<const bool>(true);

private:
  Answer answer_; // the answer of the command handleLater runs
};

} // namespace velto
