// Commands change the running engine: under the manual clock a constant signal on the
// microphone reaches the speakers only once a route is written, at the level a gain write set.
#include "api_fixture.h"

#include "core/levels.h"
#include "platform/audio/layer/manual_clock.h"
#include "platform/audio/simulated/sim_devices.h"
#include "platform/audio/simulated/sim_signal.h"

#include <vector>

namespace velto::test {
namespace {

namespace audio = platform::audio;

constexpr float kLevel = 0.5f;

class ApiSignalThreads : public ApiFixture {
protected:
  void SetUp() override {
    ApiFixture::SetUp();
    // A second microphone that plays a steady level in both channels.
    const std::vector<float> steady(2 * 256, kLevel);
    ASSERT_NE(addMicrophone("steady-uid", "Signal", audio::SignalSource::samples(steady, 2, true)),
              0u);
    settle();
    ASSERT_EQ(call("POST", "/hardware/inputs/1/device", "steady-uid").status, 200);
    ASSERT_EQ(call("POST", "/hardware/outputs/1/device", "Lautsprecher").status, 200);
  }

  // What the speakers played during `cycles` cycles, left channel.
  std::vector<float> play(uint32_t cycles) {
    takeOutput("spk-uid");
    EXPECT_TRUE(audio::runCycles(cycles));
    return takeOutput("spk-uid").channel(0);
  }
};

TEST_F(ApiSignalThreads, RouteWrittenByCommandCarriesTheSignal) {
  std::vector<float> heard = play(20);
  ASSERT_FALSE(heard.empty());
  for (float v : heard) ASSERT_EQ(v, 0.0f) << "an unrouted input stays silent";

  ASSERT_EQ(call("POST", "/hardware/inputs/1/to/outputs/1", "on").status, 200);
  heard = play(20);
  ASSERT_GE(heard.size(), 256u);
  // The last cycles carry the input unchanged (unity gain, no effects).
  for (size_t i = heard.size() - 256; i < heard.size(); ++i) ASSERT_EQ(heard[i], kLevel) << i;

  ASSERT_EQ(call("POST", "/hardware/inputs/1/to/1", "off").status, 200);
  heard = play(20);
  for (size_t i = heard.size() - 256; i < heard.size(); ++i) ASSERT_EQ(heard[i], 0.0f) << i;
}

TEST_F(ApiSignalThreads, GainWrittenByCommandIsHeardAtTheOutput) {
  ASSERT_EQ(call("POST", "/hardware/inputs/1/to/1", "on").status, 200);
  play(20);

  struct Step {
    const char* path;
    const char* body;
    float gain; // expected overall gain after the ramp
  };
  const Step steps[] = {
      {"/hardware/inputs/1/gain", "-6", dbToGain(-6.0f)},
      {"/hardware/outputs/1/gain", "-6", dbToGain(-6.0f) * dbToGain(-6.0f)},
      {"/hardware/inputs/Input%201/gain", "reset", dbToGain(-6.0f)},
      {"/hardware/outputs/1/mute", "on", 0.0f},
      {"/hardware/outputs/1/mute", "toggle", dbToGain(-6.0f)},
      {"/hardware/outputs/1/gain", "-80", 0.0f}, // clamped to -60 dB: silence
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(std::string(s.path) + " " + s.body);
    ASSERT_EQ(call("POST", s.path, s.body).status, 200);
    const std::vector<float> heard = play(20);
    ASSERT_GE(heard.size(), 256u);
    for (size_t i = heard.size() - 256; i < heard.size(); ++i) {
      ASSERT_NEAR(heard[i], kLevel * s.gain, 1e-6f) << i;
    }
  }
}

} // namespace
} // namespace velto::test
