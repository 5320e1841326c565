// The noise filter while the main thread installs profiles and changes the strength and the
// switch under a running audio thread.
#include "effects/noise_filter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace velto {
namespace {

TEST(NoiseFilterThreads, ProfilesAndSettingsChangeUnderRunningAudio) {
  auto filter = std::make_unique<NoiseFilter>();
  filter->enabled.store(true);
  std::atomic<bool> stop{false};
  std::atomic<bool> allFinite{true};
  std::atomic<uint32_t> cycles{0};

  std::thread audio([&] {
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    std::vector<float> block(2 * 128);
    while (!stop.load()) {
      for (auto& v : block) v = noise(rng);
      filter->process(block.data(), 128);
      for (float v : block) {
        if (!std::isfinite(v)) allFinite.store(false);
      }
      cycles.fetch_add(1);
    }
  });

  std::vector<float> profile(NoiseFilter::kBins);
  int installs = 0;
  while (cycles.load() < 2000 || installs < 200) {
    const float level = -90.0f + static_cast<float>(installs % 60);
    for (auto& v : profile) v = level;
    ASSERT_TRUE(filter->setProfile(profile.data()));
    ASSERT_TRUE(filter->setStrength(6.0f + static_cast<float>(installs % 35)));
    if (installs % 50 == 49) filter->enabled.store(!filter->enabled.load());
    ++installs;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  stop.store(true);
  audio.join();

  EXPECT_TRUE(allFinite.load());
  // The last profile installed is the one in use.
  const uint32_t active = filter->activeProfile.load();
  for (int k = 0; k < NoiseFilter::kBins; ++k)
    EXPECT_EQ(filter->profiles[active][k].load(), profile[k]);
}

} // namespace
} // namespace velto
