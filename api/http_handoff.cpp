// The crossing from the server thread to the main thread, answers given on a later turn of the
// main queue, and the server's switch and port taken from the settings record.
#include "api/api.h"
#include "api/api_detail.h"

#include "engine/engine.h"
#include "media/audio_file.h"
#include "platform/dispatch/background_queue.h"
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
      self->handleLater(shared->method, shared->path, shared->body,
                        [response, answered](HttpResponse r) {
                          *response = std::move(r);
                          answered->signal();
                        });
    });
    // After a time-out the step may still be writing the shared response: answer a fresh one.
    if (!answered->waitFor(kAnswerTime)) return HttpResponse{503, kNoAnswer};
    return *response;
  };
}

} // namespace

// main thread
void Api::handleLater(const std::string& method, const std::string& path, const std::string& body,
                      Answer answer) {
  std::weak_ptr<const bool> alive = lifetime;
  const bool save = !detail::same(method, "GET");
  answer_ = [this, alive, save, answer = std::move(answer)](HttpResponse r) {
    if (alive.expired()) return;
    if (save) this->save();
    answer(std::move(r));
  };
  HttpResponse r = handle(method, path, body);
  if (Answer now = takeAnswer()) now(std::move(r));
}

Api::Answer Api::takeAnswer() {
  Answer taken = std::move(answer_);
  answer_ = nullptr;
  return taken;
}

namespace detail {

std::shared_ptr<OwedAnswer> OwedAnswer::owe(Api& api, Api::Answer answer,
                                            std::function<HttpResponse()> meanwhile) {
  auto owed = std::make_shared<OwedAnswer>();
  owed->api_ = &api;
  owed->alive_ = api.lifetime;
  owed->answer_ = std::move(answer);
  owed->meanwhile_ = std::move(meanwhile);
  if (!owed->meanwhile_) return owed; // the local server's own time-out answers
  std::weak_ptr<OwedAnswer> later = owed;
  platform::dispatch::mainAfter(Api::kLateAnswer, [later] {
    const std::shared_ptr<OwedAnswer> self = later.lock();
    if (!self || self->given_ || self->alive_.expired()) return;
    self->give(self->meanwhile_());
  });
  return owed;
}

void OwedAnswer::give(HttpResponse response) {
  if (alive_.expired()) return;
  if (given_) {
    api_->save();
    return;
  }
  given_ = true;
  Api::Answer answer = std::move(answer_);
  answer_ = nullptr;
  meanwhile_ = nullptr;
  answer(std::move(response));
}

HttpResponse answerOffMain(Api& api, std::function<HttpResponse()> work) {
  Api::Answer answer = api.takeAnswer();
  if (!answer) return work();
  auto owed = OwedAnswer::owe(api, std::move(answer), nullptr);
  platform::dispatch::backgroundAsync([owed, work = std::move(work)] {
    HttpResponse reply = work();
    platform::dispatch::mainAsync([owed, reply = std::move(reply)] { owed->give(reply); });
  });
  return {};
}

HttpResponse folderListing(Api& api, const std::string& folder) {
  return answerOffMain(api, [folder] { return ok(list(listAudioFiles(folder))); });
}

} // namespace detail

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
