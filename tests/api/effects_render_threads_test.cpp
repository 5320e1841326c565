// The effect renderers through Api::handle and directly: every parameter listed with its stored
// value, the extras of the echo canceller, the looper and the feedback stage, toggles at their
// threshold, and the chain's user order beside the full processing order.
#include "api_fixture.h"

#include "api/api_detail.h"
#include "effects/fx_chain.h"
#include "effects/input_fx.h"

#include <string>

namespace velto::test {
namespace {

const std::string kDefaultOrder =
    "\"lowcut\",\"gate\",\"eq\",\"compressor\",\"deesser\",\"pitch\",\"octaver\",\"harmonizer\","
    "\"chorus\",\"echo\",\"reverb\",\"looper\"";
const std::string kDefaultRun =
    "\"lowcut\",\"gate\",\"eq\",\"compressor\",\"deesser\",\"feedback\",\"pitch\",\"octaver\","
    "\"harmonizer\",\"chorus\",\"echo\",\"reverb\",\"looper\",\"limiter\"";

// Every non-tool effect of a fresh bank with all switches off, in table order.
const std::string kEffectsOff =
    "{\"lowcut\":{\"enabled\":false,\"frequency\":80.0,\"slope\":12.0},"
    "\"eq\":{\"enabled\":false,\"low-frequency\":100.0,\"low-gain\":0.0,\"mid1-frequency\":400.0,"
    "\"mid1-gain\":0.0,\"mid1-q\":1.0,\"mid2-frequency\":3000.0,\"mid2-gain\":0.0,\"mid2-q\":1.0,"
    "\"high-frequency\":8000.0,\"high-gain\":0.0},"
    "\"compressor\":{\"enabled\":false,\"threshold\":-18.0,\"ratio\":3.0,\"knee\":6.0,"
    "\"attack\":10.0,\"release\":100.0,\"makeup\":0.0},"
    "\"deesser\":{\"enabled\":false,\"frequency\":6500.0,\"threshold\":-30.0,\"range\":10.0},"
    "\"pitch\":{\"enabled\":false,\"mode\":0.0,\"semitones\":0.0,\"mix\":100.0},"
    "\"octaver\":{\"enabled\":false,\"mode\":0.0,\"octave1\":70.0,\"octave2\":0.0,"
    "\"warmth\":1200.0},"
    "\"harmonizer\":{\"enabled\":false,\"mode\":0.0,\"key\":0.0,\"scale\":0.0,\"voice1\":2.0,"
    "\"voice2\":4.0,\"voice3\":0.0,\"mix\":60.0,\"width\":70.0},";

class ApiEffectsRenderThreads : public ApiFixture {
protected:
  InputFx& bank() { return *engine->hwInputs[0].fx; }
};

TEST_F(ApiEffectsRenderThreads, BankWithNothingEnabledListsEveryParameter) {
  const auto r = call("GET", "/hardware/inputs/1/effects");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body.substr(0, kEffectsOff.size()), kEffectsOff);
  // The tools are not in the list; the limiter is, last.
  EXPECT_EQ(r.body.find("\"gate\""), std::string::npos);
  EXPECT_EQ(r.body.find("\"aec\""), std::string::npos);
  const std::string tail =
      ",\"limiter\":{\"enabled\":false,\"ceiling\":-1.0,\"release\":50.0,\"lookahead\":false}}";
  EXPECT_EQ(r.body.substr(r.body.size() - tail.size()), tail);
  EXPECT_EQ(call("POST", "/hardware/inputs/1/effects", "x").body, errorJson("nur GET"));
}

TEST_F(ApiEffectsRenderThreads, ToolExtras) {
  bank().aecSuppressionDb.store(-23.46f);
  EXPECT_EQ(call("GET", "/hardware/inputs/1/aec").body,
            "{\"enabled\":false,\"strength\":50.0,\"suppressionDb\":-23.5}");

  // A feedback stage without an active notch.
  EXPECT_EQ(call("GET", "/hardware/inputs/1/feedback").body,
            "{\"enabled\":false,\"sensitivity\":5.0,\"range\":24.0,\"notches\":[],\"duck\":0.0,"
            "\"events\":0,\"lastHz\":0.0}");
  // Active slots only, in slot order.
  bank().notchHz[1].store(1234.56f);
  bank().notchDepthDb[1].store(9.0f);
  bank().notchHz[4].store(2500.0f);
  bank().notchDepthDb[4].store(12.25f);
  bank().feedbackDuckDb.store(-3.0f);
  bank().feedbackEvents.store(4000000000u);
  bank().feedbackLastHz.store(2500.0f);
  EXPECT_EQ(call("GET", "/hardware/inputs/1/feedback").body,
            "{\"enabled\":false,\"sensitivity\":5.0,\"range\":24.0,\"notches\":["
            "{\"hz\":1234.6,\"depth\":9.0},{\"hz\":2500.0,\"depth\":12.2}],\"duck\":-3.0,"
            "\"events\":4000000000,\"lastHz\":2500.0}");
}

TEST_F(ApiEffectsRenderThreads, LooperStates) {
  EXPECT_EQ(call("GET", "/hardware/inputs/1/effects/looper").body,
            "{\"enabled\":false,\"level\":0.0,\"keep\":100.0,\"state\":\"empty\",\"length\":0.0,"
            "\"position\":0.0,\"layer\":null}");
  struct Case {
    uint32_t state;
    uint32_t length;
    uint32_t position;
    int32_t layer;
    const char* tail;
  };
  const Case cases[] = {
      {1, 24000, 12000, 0,
       "\"state\":\"recording\",\"length\":0.5,\"position\":0.2,\"layer\":null}"},
      {2, 96000, 72000, 1,
       "\"state\":\"playing\",\"length\":2.0,\"position\":1.5,\"layer\":\"off\"}"},
      {3, 2880000, 0, 2,
       "\"state\":\"overdubbing\",\"length\":60.0,\"position\":0.0,"
       "\"layer\":\"on\"}"},
      {4, 48000, 47999, -1,
       "\"state\":\"stopped\",\"length\":1.0,\"position\":1.0,"
       "\"layer\":null}"},
  };
  for (const Case& c : cases) {
    bank().looperState.store(c.state);
    bank().looperLength.store(c.length);
    bank().looperPosition.store(c.position);
    bank().looperLayer.store(c.layer);
    EXPECT_EQ(call("GET", "/hardware/inputs/1/effects/looper").body,
              "{\"enabled\":false,\"level\":0.0,\"keep\":100.0," + std::string(c.tail));
  }
}

TEST_F(ApiEffectsRenderThreads, ToggleRendersFromHalfUp) {
  InputFx& out = *engine->buses[0].fx;
  const struct {
    float stored;
    const char* json;
    const char* read;
  } cases[] = {{0.49f, "false", "false"}, {0.5f, "true", "true"}, {1.0f, "true", "true"}};
  for (const auto& c : cases) {
    out.params[FxId::limiter][2].store(c.stored);
    EXPECT_EQ(call("GET", "/hardware/outputs/1/limiter").body,
              "{\"enabled\":false,\"ceiling\":-1.0,\"release\":50.0,\"lookahead\":" +
                  std::string(c.json) + "}");
    EXPECT_EQ(call("GET", "/hardware/outputs/1/limiter/lookahead").body, c.read);
  }
}

TEST_F(ApiEffectsRenderThreads, ChainOrderAndRun) {
  EXPECT_EQ(call("GET", "/hardware/inputs/1/effects/chain").body,
            "{\"order\":[" + kDefaultOrder + "],\"run\":[" + kDefaultRun + "]}");
  FxChain& chain = *engine->hwInputs[0].fxChain;
  ASSERT_TRUE(chain.setMovable({}));
  EXPECT_EQ(detail::chainJson(chain), "{\"order\":[],\"run\":[\"feedback\",\"limiter\"]}");
  ASSERT_TRUE(chain.setMovable({{1, FxId::echo}, {0, FxId::eq}}));
  EXPECT_EQ(detail::chainJson(chain),
            "{\"order\":[\"echo-2\",\"eq\"],\"run\":[\"feedback\",\"echo-2\",\"eq\",\"limiter\"]}");
}

} // namespace
} // namespace velto::test
