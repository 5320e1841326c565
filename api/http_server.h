// The local HTTP/1.1 server of the control interface: 127.0.0.1 only, one connection at a
// time, one request per connection. Its thread never touches the engine: every checked request
// goes to the handler, which hands it to the main thread and waits for the answer.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace velto {

// A request as the server hands it over: method, path (cut at "?") and body, undecoded.
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

using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

class HttpServer {
public:
  HttpServer() = default;
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // main thread: stops whatever runs, then listens on 127.0.0.1:port and serves with `handler`.
  // False when the socket cannot be created, bound or listened on; the server is stopped then.
  // A listener reserved on that port is taken up.
  bool start(int port, HttpHandler handler);
  // main thread: stops the listener and joins its thread; safe when nothing runs. Drops a
  // reservation too.
  void stop();
  // main thread: binds and listens on 127.0.0.1:port for a later start, while the running
  // listener goes on serving; so a port in use is known before the server leaves its own.
  // False when it cannot be bound. One reservation at a time: a new one drops the last.
  bool reserve(int port);
  // main thread: drops a reservation that no start took up.
  void release();

  HttpHandler handler;
  std::thread thread;
  std::atomic<bool> stopRequested{false};
  // The listening socket; -1 while no server runs.
  int listenFd = -1;
  int port = 0;

private:
  void halt();
  void loop();
  void serve(int fd);

  int reservedFd = -1;
  int reservedPort = 0;
};

} // namespace velto
