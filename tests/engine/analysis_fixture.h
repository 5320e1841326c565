// Shared pieces of the input-analysis suites: a non-live engine on a fresh HOME and main queue,
// signals written straight into an input's analysis ring, and the level a Hann-windowed sine
// shows in a band of the display.
#pragma once

#include "engine/engine.h"
#include "tests/engine/strip_signals.h"
#include "tests/support/dispatch_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

namespace velto::test {

// Width of one display band: 48000 / 4096.
inline constexpr double kDisplayBandHz = 11.71875;
// Width of one noise-profile band: 48000 / 512.
inline constexpr double kProfileBandHz = 93.75;

class AnalysisTest : public DispatchTest {
protected:
  void SetUp() override {
    DispatchTest::SetUp();
    engine = std::make_unique<Engine>(false);
  }
  void TearDown() override {
    engine.reset();
    DispatchTest::TearDown();
  }

  // Writes the two channels as stereo frames into input i's analysis ring, as its strip would.
  void feed(int i, const std::vector<float>& left, const std::vector<float>& right) {
    const std::vector<float> frames = stereo(left, right);
    const uint32_t count = static_cast<uint32_t>(left.size());
    ASSERT_EQ(engine->hwInputs[i].analysisRing->write(frames.data(), count), count);
  }
  void feedMono(int i, const std::vector<float>& samples) { feed(i, samples, samples); }

  // A continuous sine fed in pieces; `phase` carries on between calls.
  void feedSine(int i, uint32_t frames, double hz, float amplitude) {
    feedMono(i, sine(frames, hz, amplitude, phase_));
    phase_ += 2.0 * M_PI * hz * frames / kSampleRate;
  }

  std::unique_ptr<Engine> engine;

private:
  double phase_ = 0.0;
};

// The level in dB that a steady sine of `amplitude` at `hz` shows in display band `band` after
// a periodic Hann window over 4096 samples, scaled so that a full-scale sine on a band reads
// 0 dB: the Hann kernel sinc(d) / (1 - d^2) at the band distance d.
inline double hannBandDb(double hz, float amplitude, int band) {
  const double d = hz / kDisplayBandHz - band;
  double kernel;
  if (std::fabs(d) < 1e-9) {
    kernel = 1.0;
  } else if (std::fabs(std::fabs(d) - 1.0) < 1e-9) {
    kernel = 0.5;
  } else {
    kernel = std::sin(M_PI * d) / (M_PI * d) / (1.0 - d * d);
  }
  return 20.0 * std::log10(amplitude * std::fabs(kernel));
}

} // namespace velto::test
