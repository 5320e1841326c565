// Commands on an input's effect chain through Api::handle: reading, reordering, adding further
// instances and removing slots, with every refusal leaving the chain as it was.
#include "api_fixture.h"

#include "effects/fx_chain.h"
#include "effects/input_fx.h"

#include <string>

namespace velto::test {
namespace {

std::string chain(const std::string& order, const std::string& run) {
  return "{\"order\":[" + order + "],\"run\":[" + run + "]}";
}

class ApiEffectsChainThreads : public ApiFixture {
protected:
  FxChain& fxChain() { return *engine->hwInputs[0].fxChain; }
};

TEST_F(ApiEffectsChainThreads, WriteOrderAndRefusals) {
  auto r = call("POST", "/hardware/inputs/1/effects/chain", " EQ , compressor,echo ");
  EXPECT_EQ(r.status, 200);
  const std::string written = chain("\"eq\",\"compressor\",\"echo\"",
                                    "\"eq\",\"compressor\",\"feedback\",\"echo\",\"limiter\"");
  EXPECT_EQ(r.body, written);

  struct Refusal {
    const char* body;
    const char* message;
  };
  const std::string order =
      "Reihenfolge ungültig (feste Glieder: aec, feedback, limiter; jedes Glied einmal)";
  const Refusal refusals[] = {
      {"eq,limiter", order.c_str()},       {"aec,eq", order.c_str()},
      {"feedback", order.c_str()},         {"eq,echo,EQ", order.c_str()},
      {"eq,hall,echo", "unbekannt: hall"}, {"eq,,echo", "unbekannt: "},
      {"eq,echo-5", "unbekannt: echo-5"},  {"eq,echo-1", "unbekannt: echo-1"},
  };
  for (const Refusal& c : refusals) {
    SCOPED_TRACE(c.body);
    r = call("PUT", "/hardware/inputs/1/effects/chain", c.body);
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, errorJson(c.message));
    EXPECT_EQ(call("GET", "/hardware/inputs/1/effects/chain").body, written);
  }

  // A further instance in the order makes its bank.
  ASSERT_EQ(fxChain().banks[2], nullptr);
  r = call("POST", "/hardware/inputs/1/effects/chain", "echo-3,eq");
  EXPECT_EQ(r.body, chain("\"echo-3\",\"eq\"", "\"feedback\",\"echo-3\",\"eq\",\"limiter\""));
  EXPECT_NE(fxChain().banks[2], nullptr);

  r = call("POST", "/hardware/inputs/1/effects/chain", "");
  EXPECT_EQ(r.body, chain("", "\"feedback\",\"limiter\""));
  r = call("DELETE", "/hardware/inputs/1/effects/chain");
  EXPECT_EQ(r.status, 405);
  EXPECT_EQ(r.body, errorJson("nur GET oder POST"));
}

TEST_F(ApiEffectsChainThreads, AddUpToFourInstancesThenRemove) {
  ASSERT_EQ(call("POST", "/hardware/inputs/1/effects/chain", "eq").status, 200);
  auto r = call("POST", "/hardware/inputs/1/effects/add", "Echo");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, chain("\"eq\",\"echo\"", "\"eq\",\"feedback\",\"echo\",\"limiter\""));
  EXPECT_TRUE(fxChain().banks[0]->enabled[FxId::echo].load());
  r = call("POST", "/hardware/inputs/1/effects/add", "echo");
  r = call("POST", "/hardware/inputs/1/effects/add", "echo");
  r = call("POST", "/hardware/inputs/1/effects/add", "echo");
  EXPECT_EQ(r.body, chain("\"eq\",\"echo\",\"echo-2\",\"echo-3\",\"echo-4\"",
                          "\"eq\",\"feedback\",\"echo\",\"echo-2\",\"echo-3\",\"echo-4\","
                          "\"limiter\""));
  for (int b = 1; b < 4; ++b) EXPECT_TRUE(fxChain().banks[b]->enabled[FxId::echo].load()) << b;

  // The new instance is reachable by its slot name.
  EXPECT_EQ(call("GET", "/hardware/inputs/1/effects/echo-4/pingpong").body, "false");
  EXPECT_EQ(call("POST", "/hardware/inputs/1/effects/echo-4/time", "500").body,
            "{\"enabled\":true,\"time\":500.0,\"feedback\":35.0,\"mix\":25.0,\"tone\":6000.0,"
            "\"pingpong\":false,\"width\":100.0}");
  EXPECT_EQ(fxChain().banks[0]->params[FxId::echo][0].load(), 350.0f);

  for (const char* body : {"echo", "limiter", "aec", "feedback", "hall", ""}) {
    SCOPED_TRACE(body);
    r = call("POST", "/hardware/inputs/1/effects/add", body);
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, errorJson("Art unbekannt, fest oder schon 4-mal da: " + std::string(body)));
  }
  r = call("GET", "/hardware/inputs/1/effects/add");
  EXPECT_EQ(r.status, 405);
  EXPECT_EQ(r.body, errorJson("nur POST"));

  r = call("DELETE", "/hardware/inputs/1/effects/ECHO-2");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, chain("\"eq\",\"echo\",\"echo-3\",\"echo-4\"",
                          "\"eq\",\"feedback\",\"echo\",\"echo-3\",\"echo-4\",\"limiter\""));
  // A removed instance is switched off.
  EXPECT_FALSE(fxChain().banks[1]->enabled[FxId::echo].load());
  // The next add fills the free bank.
  r = call("POST", "/hardware/inputs/1/effects/add", "echo");
  EXPECT_EQ(r.body, chain("\"eq\",\"echo\",\"echo-3\",\"echo-4\",\"echo-2\"",
                          "\"eq\",\"feedback\",\"echo\",\"echo-3\",\"echo-4\",\"echo-2\","
                          "\"limiter\""));

  for (const char* name : {"reverb", "limiter", "aec", "echo-2x"}) {
    SCOPED_TRACE(name);
    r = call("DELETE", std::string("/hardware/inputs/1/effects/") + name);
    const bool parsed = std::string(name) != "echo-2x";
    EXPECT_EQ(r.status, parsed ? 400 : 404);
    EXPECT_EQ(r.body, errorJson((parsed ? "nicht in der Kette: " : "unbekannter Effekt: ") +
                                std::string(name)));
  }
}

} // namespace
} // namespace velto::test
