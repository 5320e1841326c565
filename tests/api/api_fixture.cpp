#include "api_fixture.h"

#include "effects/fx_chain.h"
#include "effects/input_fx.h"
#include "platform/audio/layer/listeners.h"
#include "platform/audio/simulated/sim_signal.h"
#include "platform/dispatch/main_queue.h"

#include <chrono>
#include <memory>
#include <optional>

namespace velto::test {

namespace audio = platform::audio;

void ApiFixture::SetUp() {
  appHooks() = AppHooks{};
  start(true);
}

void ApiFixture::TearDown() {
  stop();
  appHooks() = AppHooks{};
}

void ApiFixture::start(bool withDriver, audio::ClockMode clock) {
  platform::dispatch::resetMainQueue();
  AudioTestOptions options;
  options.withDriver = withDriver;
  options.clock = clock;
  system = std::make_unique<AudioTestSystem>(options);
  ASSERT_TRUE(system->started());
  ASSERT_NE(addMicrophone("mic-uid", "Mikrofon", audio::SignalSource::silence()), 0u);
  ASSERT_NE(addSpeaker("spk-uid", "Lautsprecher"), 0u);
  ASSERT_NE(addSpeaker("phones-uid", "Kopfhörer"), 0u);
  engine = std::make_unique<Engine>(true);
  for (HwInput& in : engine->hwInputs) {
    for (auto& bank : in.fxChain->banks) {
      if (!bank) continue;
      for (auto& on : bank->enabled) on.store(false);
    }
  }
  for (Bus& bus : engine->buses) {
    if (!bus.fx) continue;
    for (auto& on : bus.fx->enabled) on.store(false);
  }
  api = std::make_unique<Api>(*engine);
}

void ApiFixture::stop() {
  api.reset();
  engine.reset();
  platform::dispatch::resetMainQueue();
  system.reset();
}

HttpResponse ApiFixture::call(const std::string& method, const std::string& path,
                              const std::string& body) {
  return api->handle(method, path, body);
}

HttpResponse ApiFixture::callLater(const std::string& method, const std::string& path,
                                   const std::string& body) {
  auto answer = std::make_shared<std::optional<HttpResponse>>();
  api->handleLater(method, path, body, [answer](HttpResponse a) { *answer = std::move(a); });
  EXPECT_TRUE(platform::dispatch::runMainQueueUntil([answer] { return answer->has_value(); },
                                                    std::chrono::seconds(10)))
      << method << " " << path;
  return answer->value_or(HttpResponse{0, ""});
}

void ApiFixture::settle() {
  for (int round = 0; round < 3; ++round) {
    audio::flushNotifications();
    platform::dispatch::runMainQueueUntilIdle();
  }
}

std::string errorJson(const std::string& message) {
  return "{\"error\":\"" + message + "\"}";
}

} // namespace velto::test
