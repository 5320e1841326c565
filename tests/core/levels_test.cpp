#include "core/levels.h"

#include <gtest/gtest.h>

namespace velto {
namespace {

struct LevelCase {
  float in;
  float expected;
  float tolerance;
};

TEST(Levels, DbToGainFollowsTwentyLogLawAndSilencesBelowMinus60) {
  const LevelCase cases[] = {
      {-60.0f, 0.0f, 0.0f},      {-100.0f, 0.0f, 0.0f},     {-59.9f, 0.0010116f, 1e-6f},
      {0.0f, 1.0f, 0.0f},        {-6.0f, 0.501187f, 1e-6f}, {-20.0f, 0.1f, 1e-7f},
      {12.0f, 3.981072f, 1e-5f}, {6.0f, 1.995262f, 1e-5f},
  };
  for (const auto& c : cases) {
    EXPECT_NEAR(dbToGain(c.in), c.expected, c.tolerance) << "dB " << c.in;
  }
  EXPECT_EQ(dbToGain(-60.0f), 0.0f);
}

TEST(Levels, GainToDbReadsMinus60AtOrBelowOneThousandth) {
  const LevelCase cases[] = {
      {0.001f, -60.0f, 0.0f},    {0.0f, -60.0f, 0.0f},    {-1.0f, -60.0f, 0.0f},
      {1.0f, 0.0f, 0.0f},        {0.5f, -6.0206f, 1e-4f}, {0.0011f, -59.172f, 1e-3f},
      {3.981072f, 12.0f, 1e-4f}, {10.0f, 20.0f, 1e-5f},
  };
  for (const auto& c : cases) {
    EXPECT_NEAR(gainToDb(c.in), c.expected, c.tolerance) << "gain " << c.in;
  }
}

TEST(Levels, DbAndGainRoundTripOverTheFaderRange) {
  for (float db = -59.0f; db <= 12.0f; db += 0.5f) {
    EXPECT_NEAR(gainToDb(dbToGain(db)), db, 1e-4f) << "dB " << db;
  }
}

TEST(Levels, FadeSecondsMapsSpeedLinearlyFromTenSecondsToZero) {
  struct Case {
    float speed;
    double seconds;
    double tolerance;
  };
  const Case cases[] = {
      {0.0f, 10.0, 0.0},       {0.005f, 10.0, 0.0}, {0.01f, 10.0, 0.0}, {0.5f, 5.050505, 1e-6},
      {0.75f, 2.525253, 1e-6}, {1.0f, 0.0, 0.0},    {2.0f, 0.0, 0.0},   {-1.0f, 10.0, 0.0},
  };
  for (const auto& c : cases) {
    EXPECT_NEAR(fadeSeconds(c.speed), c.seconds, c.tolerance) << "speed " << c.speed;
  }
  // The slowest speed lands on exactly ten seconds, not a rounding away from it.
  EXPECT_EQ(fadeSeconds(0.01f), 10.0);
  EXPECT_EQ(fadeSeconds(1.0f), 0.0);
}

} // namespace
} // namespace velto
