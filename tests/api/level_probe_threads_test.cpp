// The level probe of a device on running I/O threads: GET devices/<device>/level listens to the
// device's input for half a second and answers its peak in dB.
#include "api_fixture.h"

#include "platform/audio/simulated/sim_signal.h"

#include <vector>

namespace velto::test {
namespace {

namespace audio = platform::audio;

class ApiLevelProbeThreads : public ApiFixture {
protected:
  void SetUp() override {
    appHooks() = AppHooks{};
    start(true, audio::ClockMode::RealTime);
  }
};

TEST_F(ApiLevelProbeThreads, PeakOfASteadyHalfLevelIsMinusSixDb) {
  const std::vector<float> steady(2 * 256, 0.5f);
  ASSERT_NE(addMicrophone("steady-uid", "Signal", audio::SignalSource::samples(steady, 2, true)),
            0u);
  settle();
  const HttpResponse r = call("GET", "/devices/Signal/level");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "{\"device\":\"Signal\",\"peak\":-6.0}");

  // A silent microphone reads as the floor.
  const HttpResponse quiet = call("GET", "/DEVICES/mic-uid/LEVEL");
  EXPECT_EQ(quiet.status, 200);
  EXPECT_EQ(quiet.body, "{\"device\":\"mic-uid\",\"peak\":-60.0}");
}

} // namespace
} // namespace velto::test
