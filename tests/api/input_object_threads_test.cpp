// The whole object of a hardware input: device, routes, noise filter, tools, effects and the
// latency of its chain, with the effect table's defaults.
#include "api_fixture.h"

#include "effects/noise_filter.h"

#include <string>

namespace velto::test {
namespace {

const std::string kUnrouted =
    "[{\"target\":\"outputs/1\",\"name\":\"Output 1\",\"on\":false,\"available\":false},"
    "{\"target\":\"outputs/2\",\"name\":\"Output 2\",\"on\":false,\"available\":false},"
    "{\"target\":\"outputs/3\",\"name\":\"Output 3\",\"on\":false,\"available\":false},"
    "{\"target\":\"virtual/1\",\"name\":\"Velto Out 1\",\"on\":false,\"available\":true},"
    "{\"target\":\"virtual/2\",\"name\":\"Velto Out 2\",\"on\":false,\"available\":true},"
    "{\"target\":\"virtual/3\",\"name\":\"Velto Out 3\",\"on\":false,\"available\":true}]";

const std::string kTools =
    "\"aec\":{\"enabled\":false,\"strength\":50.0,\"suppressionDb\":0.0},"
    "\"gate\":{\"enabled\":false,\"threshold\":-50.0,\"range\":20.0,\"attack\":1.0,\"hold\":50.0,"
    "\"release\":150.0},"
    "\"feedback\":{\"enabled\":false,\"sensitivity\":5.0,\"range\":24.0,\"notches\":[],"
    "\"duck\":0.0,\"events\":0,\"lastHz\":0.0}";

const std::string kEffects =
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
    "\"voice2\":4.0,\"voice3\":0.0,\"mix\":60.0,\"width\":70.0},"
    "\"chorus\":{\"enabled\":false,\"voices\":2.0,\"delay\":15.0,\"depth\":3.0,\"rate\":0.4,"
    "\"width\":80.0,\"mix\":50.0},"
    "\"echo\":{\"enabled\":false,\"time\":350.0,\"feedback\":35.0,\"mix\":25.0,\"tone\":6000.0,"
    "\"pingpong\":false,\"width\":100.0},"
    "\"reverb\":{\"enabled\":false,\"mix\":20.0,\"size\":50.0,\"decay\":2.0,\"damping\":8000.0,"
    "\"predelay\":20.0,\"width\":100.0},"
    "\"looper\":{\"enabled\":false,\"level\":0.0,\"keep\":100.0,\"state\":\"empty\","
    "\"length\":0.0,\"position\":0.0,\"layer\":null},"
    "\"limiter\":{\"enabled\":false,\"ceiling\":-1.0,\"release\":50.0,\"lookahead\":false}}";

std::string input1(const std::string& device, bool connected, bool noiseOn,
                   const std::string& latency) {
  return "{\"index\":1,\"name\":\"Input 1\",\"device\":" + device +
         ",\"connected\":" + (connected ? "true" : "false") +
         ",\"gain\":0.0,\"mute\":false,\"fade\":null,\"to\":" + kUnrouted +
         ",\"noise\":{\"enabled\":" + (noiseOn ? "true" : "false") +
         ",\"strength\":18.0,\"profile\":false,\"measuring\":false,\"latencyMs\":10.7}," + kTools +
         ",\"effects\":" + kEffects + ",\"latencyMs\":" + latency + "}";
}

class ApiInputObjectThreads : public ApiFixture {};

TEST_F(ApiInputObjectThreads, FreshInputWithEveryEffectOff) {
  EXPECT_EQ(call("GET", "/hardware/inputs/1").body, input1("null", false, false, "0.0"));
}

TEST_F(ApiInputObjectThreads, DeviceShowsItsNameOrTheStoredUid) {
  EXPECT_EQ(call("POST", "/hardware/inputs/1/device", "Mikrofon").body,
            input1("\"Mikrofon\"", true, false, "0.0"));
  EXPECT_EQ(call("GET", "/hardware/inputs/1/device").body,
            input1("\"Mikrofon\"", true, false, "0.0"));
  api->loading = true;
  EXPECT_EQ(call("POST", "/hardware/inputs/1/device", "usb-mic").body,
            input1("\"usb-mic\"", false, false, "0.0"));
}

TEST_F(ApiInputObjectThreads, NoiseFilterAddsItsDelayToTheInputLatency) {
  engine->hwInputs[0].noiseFilter->enabled.store(true);
  EXPECT_EQ(call("GET", "/hardware/inputs/1").body, input1("null", false, true, "10.7"));
  std::string all = "[";
  all += input1("null", false, true, "10.7");
  all += ',';
  all += call("GET", "/hardware/inputs/2").body;
  all += ',';
  all += call("GET", "/hardware/inputs/3").body;
  all += ']';
  EXPECT_EQ(call("GET", "/hardware/inputs").body, all);
}

TEST_F(ApiInputObjectThreads, NearSilentGainReadsAsTheFloor) {
  engine->padsStrip.gain.store(0.001f);
  EXPECT_EQ(call("GET", "/pads/mix/1/gain").body, "-60.0");
  engine->padsStrip.gain.store(0.0011f);
  EXPECT_EQ(call("GET", "/pads/mix/1/gain").body, "-59.2");
}

} // namespace
} // namespace velto::test
