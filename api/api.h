// The command interpreter of the control interface: one path-addressed command (method, path,
// body) in, a status and one JSON text out. One instance, owned by the shell, holding a
// reference to the engine. Main thread only: HTTP requests and configuration lines reach it there.
#pragma once

#include <string>

namespace velto {

class Engine;

// A request as the HTTP layer hands it over: method, path (cut at "?") and body, undecoded.
struct HttpRequest {
  std::string method;
  std::string path;
  std::string body;
};

// A reply: the HTTP-style status and the JSON body.
struct HttpResponse {
  int status = 200;
  std::string body;
};

class Api {
public:
  explicit Api(Engine& engine);
  Api(const Api&) = delete;
  Api& operator=(const Api&) = delete;

  // main thread: runs one command against the engine and answers it.
  HttpResponse handle(const std::string& method, const std::string& path, const std::string& body);

  Engine& engine;
  // Why the local server could not start; empty while all is well.
  std::string apiError;
  // Set while the configuration file is replayed: devices that are not connected now are kept.
  bool replaying = false;
};

} // namespace velto
