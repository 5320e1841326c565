// The crossing from the server thread to the main thread, and the server's switch and port
// taken from the settings record.
#include "api/api.h"
#include "api/api_detail.h"

#include "engine/engine.h"
#include "platform/dispatch/main_queue.h"
#include "platform/dispatch/semaphore.h"

#include <chrono>
#include <memory>

namespace velto {

namespace {

constexpr std::chrono::seconds kAnswerTime{2};
constexpr const char* kNoAnswer = "{\"error\":\"Velto antwortet nicht\"}";

// The handler the server calls for every checked request: it runs on the server thread and
// queues the work for the main thread. Made on the main thread.
HttpHandler handOff(Api& api) {
  Api* self = &api;
  std::weak_ptr<const bool> alive = api.lifetime;
  return [self, alive](const HttpRequest& request) {
    auto response = std::make_shared<HttpResponse>(HttpResponse{503, kNoAnswer});
    auto shared = std::make_shared<const HttpRequest>(request);
    auto answered = std::make_shared<platform::dispatch::Semaphore>(0);
    // The step owns what it touches, so it may run long after this handler gave up; it runs
    // at all only while the API object lives.
    platform::dispatch::mainAsync([self, alive, response, shared, answered] {
      if (alive.expired()) return;
      *response = self->handle(shared->method, shared->path, shared->body);
      if (!detail::same(shared->method, "GET")) self->save();
      answered->signal();
    });
    // After a time-out the step may still be writing the shared response: answer a fresh one.
    if (!answered->waitFor(kAnswerTime)) return HttpResponse{503, kNoAnswer};
    return *response;
  };
}

} // namespace

// main thread
void Api::applySettings() {
  const Settings& settings = engine.settings;
  if (!settings.apiEnabled) {
    server.stop();
    apiError.clear();
    return;
  }
  const int port = static_cast<int>(settings.apiPort);
  if (server.listenFd >= 0 && server.port == port) {
    server.release(); // a port tried on the way and given up again
    return;
  }
  if (server.start(port, handOff(*this))) {
    apiError.clear();
  } else {
    apiError = "Port " + std::to_string(settings.apiPort) + " belegt";
  }
}

} // namespace velto
