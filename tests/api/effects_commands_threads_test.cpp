// Commands on effect switches, parameters, the looper's actions and the reset counters through
// Api::handle: whole replies of reads and writes, every refusal with its status and message, and
// a limiter written by command heard at the simulated output.
#include "api_fixture.h"

#include "core/levels.h"
#include "effects/input_fx.h"
#include "platform/audio/layer/manual_clock.h"
#include "platform/audio/simulated/sim_devices.h"
#include "platform/audio/simulated/sim_signal.h"
#include "platform/dispatch/background_queue.h"
#include "platform/dispatch/main_queue.h"

#include <chrono>
#include <string>
#include <vector>

namespace velto::test {
namespace {

namespace audio = platform::audio;

std::string gate(bool on, const std::string& threshold = "-50.0") {
  return std::string("{\"enabled\":") + (on ? "true" : "false") + ",\"threshold\":" + threshold +
         ",\"range\":20.0,\"attack\":1.0,\"hold\":50.0,\"release\":150.0}";
}

std::string limiter(bool on, const std::string& ceiling = "-1.0", const char* ahead = "false") {
  return std::string("{\"enabled\":") + (on ? "true" : "false") + ",\"ceiling\":" + ceiling +
         ",\"release\":50.0,\"lookahead\":" + ahead + "}";
}

class ApiEffectsThreads : public ApiFixture {
protected:
  InputFx& bank() { return *engine->hwInputs[0].fx; }
};

TEST_F(ApiEffectsThreads, ToolReachedDirectlyAndBySlotName) {
  EXPECT_EQ(call("GET", "/hardware/inputs/1/gate").body, gate(false));
  auto r = call("POST", "/hardware/inputs/1/gate/enabled", "on");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, gate(true));
  EXPECT_EQ(call("GET", "/hardware/inputs/1/effects/gate/enabled").body, "true");
  r = call("PUT", "/Hardware/Inputs/Input%201/EFFECTS/Gate/Enabled", "toggle");
  EXPECT_EQ(r.body, gate(false));
  EXPECT_FALSE(bank().enabled[FxId::gate].load());
  EXPECT_EQ(call("GET", "/hardware/inputs/1/gate/enabled").body, "false");

  struct Refusal {
    const char* method;
    const char* path;
    const char* body;
    int status;
    const char* message;
  };
  const Refusal refusals[] = {
      {"POST", "/hardware/inputs/1/gate/enabled", "vielleicht", 400, "Wert: on | off | toggle"},
      {"DELETE", "/hardware/inputs/1/gate/enabled", "", 400, "Wert: on | off | toggle"},
      {"POST", "/hardware/inputs/1/gate", "on", 405, "nur GET"},
      {"POST", "/hardware/inputs/1/echo/enabled", "on", 404, "unbekanntes Element: echo"},
      {"GET", "/hardware/inputs/1/echo", "", 404, "unbekanntes Element: echo"},
      {"GET", "/hardware/inputs/1/effects/hall", "", 404, "unbekannter Effekt: hall"},
      {"GET", "/hardware/inputs/1/effects/echo-5", "", 404, "unbekannter Effekt: echo-5"},
      {"GET", "/hardware/inputs/1/effects/echo-2", "", 404, "unbekannter Effekt: echo-2"},
      {"GET", "/hardware/inputs/1/effects/limiter-2", "", 404, "unbekannter Effekt: limiter-2"},
      {"GET", "/hardware/inputs/1/gate/volume", "", 404, "unbekannt: volume"},
      {"GET", "/hardware/inputs/1/gate/threshold/x", "", 404, "unbekannter Pfad"},
      {"GET", "/hardware/inputs/1/effects/eq/low-gain/x", "", 404, "unbekannter Pfad"},
      {"GET", "/hardware/outputs/1/effects", "", 404, "unbekanntes Element: effects"},
      {"GET", "/hardware/outputs/1/gate", "", 404, "unbekanntes Element: gate"},
      {"GET", "/hardware/virtual/1/limiter", "", 404, "unbekanntes Element: limiter"},
      {"POST", "/hardware/inputs/1/looper/action", "play", 404, "unbekanntes Element: looper"},
  };
  for (const Refusal& c : refusals) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path);
    r = call(c.method, c.path, c.body);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.body, errorJson(c.message));
  }
  EXPECT_FALSE(bank().enabled[FxId::gate].load());
}

TEST_F(ApiEffectsThreads, OutputLimiter) {
  EXPECT_EQ(call("GET", "/hardware/outputs/1/limiter").body, limiter(false));
  EXPECT_EQ(call("POST", "/hardware/outputs/1/limiter/enabled", "an").body, limiter(true));
  EXPECT_TRUE(engine->buses[0].fx->enabled[FxId::limiter].load());
  EXPECT_FALSE(engine->buses[1].fx->enabled[FxId::limiter].load());
  EXPECT_EQ(call("POST", "/hardware/outputs/1/limiter/ceiling", "-6.25").body,
            limiter(true, "-6.2"));
  EXPECT_EQ(call("POST", "/hardware/outputs/1/limiter/lookahead", "1").body,
            limiter(true, "-6.2", "true"));
  EXPECT_EQ(call("GET", "/hardware/outputs/1/limiter/ceiling").body, "-6.2");
}

TEST_F(ApiEffectsThreads, ParameterWritesAndRangeMessages) {
  EXPECT_EQ(call("GET", "/hardware/inputs/1/gate/threshold").body, "-50.0");
  EXPECT_EQ(call("POST", "/hardware/inputs/1/gate/THRESHOLD", "-40.5 dB").body,
            gate(false, "-40.5"));

  struct Refusal {
    const char* path;
    const char* body;
    const char* message;
  };
  const std::string gateRange = "Schwelle -80–0 dB";
  const Refusal refusals[] = {
      {"/hardware/inputs/1/gate/threshold", "-80.5", "Schwelle -80–0 dB"},
      {"/hardware/inputs/1/gate/threshold", "1", "Schwelle -80–0 dB"},
      {"/hardware/inputs/1/gate/threshold", "leise", "Schwelle -80–0 dB"},
      {"/hardware/inputs/1/gate/threshold", "", "Schwelle -80–0 dB"},
      {"/hardware/inputs/1/gate/threshold", "nan", "Schwelle -80–0 dB"},
      {"/hardware/inputs/1/gate/threshold", "-inf", "Schwelle -80–0 dB"},
      {"/hardware/inputs/1/gate/threshold", "-1e40", "Schwelle -80–0 dB"},
      {"/hardware/inputs/1/gate/attack", "0.05", "Attack 0.1–20 ms"},
      {"/hardware/inputs/1/effects/lowcut/slope", "36", "Steilheit 12–24 dB/Okt, Schritt 12.0"},
      {"/hardware/inputs/1/effects/harmonizer/key", "Cb", "Tonart 0–11 , Schritt 1.0"},
      {"/hardware/inputs/1/effects/eq/mid1-q", "11", "Q 0.3–10 "},
      {"/hardware/inputs/1/effects/octaver/octave1", "101", "\u22121 Oktave 0–100 %"},
      {"/hardware/outputs/1/limiter/ceiling", "inf", "Decke -12–0 dB"},
  };
  for (const Refusal& c : refusals) {
    SCOPED_TRACE(std::string(c.path) + " " + c.body);
    const auto r = call("POST", c.path, c.body);
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, errorJson(c.message));
  }
  // Nothing refused was stored.
  EXPECT_EQ(call("GET", "/hardware/inputs/1/gate/threshold").body, "-40.5");
  EXPECT_EQ(call("GET", "/hardware/inputs/1/effects/lowcut/slope").body, "12.0");

  const auto r = call("DELETE", "/hardware/inputs/1/gate/threshold");
  EXPECT_EQ(r.status, 405);
  EXPECT_EQ(r.body, errorJson("nur GET oder POST"));
}

TEST_F(ApiEffectsThreads, ChoiceParametersTakeTheirNames) {
  struct Case {
    const char* param;
    const char* body;
    float stored;
  };
  const Case cases[] = {
      {"key", "c#", 1.0f},  {"key", "H", 11.0f},     {"scale", "chromatisch", 2.0f},
      {"scale", "1", 1.0f}, {"mode", "Alles", 1.0f}, {"mode", " stimme ", 0.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.param) + " " + c.body);
    const auto r =
        call("POST", "/hardware/inputs/1/effects/harmonizer/" + std::string(c.param), c.body);
    EXPECT_EQ(r.status, 200);
    const int index = findParam(&kFx[FxId::harmonizer], c.param);
    EXPECT_EQ(bank().params[FxId::harmonizer][index].load(), c.stored);
  }
  EXPECT_EQ(call("GET", "/hardware/inputs/1/effects/harmonizer").body,
            "{\"enabled\":false,\"mode\":0.0,\"key\":11.0,\"scale\":1.0,\"voice1\":2.0,"
            "\"voice2\":4.0,\"voice3\":0.0,\"mix\":60.0,\"width\":70.0}");
}

TEST_F(ApiEffectsThreads, LooperActionsCreateTheBuffersFirst) {
  InputFx& fx = bank();
  ASSERT_EQ(fx.looperBase.load(), nullptr);
  const std::string idle =
      "{\"enabled\":false,\"level\":0.0,\"keep\":100.0,\"state\":\"empty\",\"length\":0.0,"
      "\"position\":0.0,\"layer\":null}";
  // The looper's object alone reads no buffer; a read below it makes them.
  EXPECT_EQ(call("GET", "/hardware/inputs/1/effects/looper").body, idle);
  EXPECT_EQ(fx.looperBase.load(), nullptr);
  EXPECT_EQ(call("GET", "/hardware/inputs/1/effects/looper/level").body, "0.0");
  // Made on the background queue, handed over on the main queue.
  ASSERT_TRUE(platform::dispatch::waitBackgroundIdle(std::chrono::seconds(30)));
  platform::dispatch::runMainQueueUntilIdle();
  EXPECT_NE(fx.looperBase.load(), nullptr);

  const char* words[] = {"main", "record", "play", "overdub", "stop", "clear", "undo"};
  for (uint32_t code = 1; code <= 7; ++code) {
    SCOPED_TRACE(words[code - 1]);
    const auto r = call("POST", "/hardware/inputs/1/effects/looper/action", words[code - 1]);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, idle);
    EXPECT_EQ(fx.looperCommand.load(), code);
  }
  auto r = call("POST", "/hardware/inputs/1/effects/looper/action", "rewind");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, errorJson("Wert: main | record | play | overdub | stop | clear | undo"));
  EXPECT_EQ(fx.looperCommand.load(), 7u);
  r = call("GET", "/hardware/inputs/1/effects/looper/action");
  EXPECT_EQ(r.status, 405);
  EXPECT_EQ(r.body, errorJson("nur POST"));
}

TEST_F(ApiEffectsThreads, ResetCountersCountUp) {
  const std::string aec = "{\"enabled\":false,\"strength\":50.0,\"suppressionDb\":0.0}";
  EXPECT_EQ(call("POST", "/hardware/inputs/1/aec/reset").body, aec);
  EXPECT_EQ(call("PUT", "/hardware/inputs/1/effects/aec/reset").body, aec);
  EXPECT_EQ(bank().aecReset.load(), 2u);
  EXPECT_EQ(call("POST", "/hardware/inputs/1/feedback/reset").status, 200);
  EXPECT_EQ(bank().feedbackReset.load(), 1u);
  EXPECT_EQ(engine->hwInputs[1].fx->feedbackReset.load(), 0u);

  auto r = call("GET", "/hardware/inputs/1/aec/reset");
  EXPECT_EQ(r.status, 405);
  EXPECT_EQ(r.body, errorJson("nur POST"));
  r = call("POST", "/hardware/inputs/1/gate/reset");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body, errorJson("unbekannt: reset"));
}

// The output limiter switched and set by command holds a steady signal at its ceiling.
TEST_F(ApiEffectsThreads, LimiterWrittenByCommandIsHeard) {
  constexpr float kLevel = 0.5f;
  const std::vector<float> steady(2 * 256, kLevel);
  ASSERT_NE(addMicrophone("steady-uid", "Signal", audio::SignalSource::samples(steady, 2, true)),
            0u);
  settle();
  ASSERT_EQ(call("POST", "/hardware/inputs/1/device", "steady-uid").status, 200);
  ASSERT_EQ(call("POST", "/hardware/outputs/1/device", "Lautsprecher").status, 200);
  ASSERT_EQ(call("POST", "/hardware/inputs/1/to/1", "on").status, 200);
  ASSERT_EQ(call("POST", "/hardware/outputs/1/limiter/ceiling", "-12").status, 200);
  ASSERT_EQ(call("POST", "/hardware/outputs/1/limiter/enabled", "on").status, 200);

  takeOutput("spk-uid");
  ASSERT_TRUE(audio::runCycles(400));
  const std::vector<float> heard = takeOutput("spk-uid").channel(0);
  ASSERT_GE(heard.size(), 256u);
  for (size_t i = heard.size() - 256; i < heard.size(); ++i) {
    ASSERT_NEAR(heard[i], dbToGain(-12.0f), 0.01f) << i;
  }
}

} // namespace
} // namespace velto::test
