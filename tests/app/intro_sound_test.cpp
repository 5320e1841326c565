#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

uint32_t le32(const std::vector<char>& b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
  return v;
}

// RMS in dBFS of both channels over frames [from, to).
double rmsDb(const std::vector<int16_t>& pcm, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from * 2; i < to * 2; ++i) sum += double(pcm[i]) * pcm[i];
  const double rms = std::sqrt(sum / double((to - from) * 2)) / 32768.0;
  return 20.0 * std::log10(std::max(rms, 1e-9));
}

TEST(IntroSound, TheBuildSynthesisesFiveAndAHalfSecondsOfStereoThatFadesOut) {
  std::ifstream in(std::string(VELTO_TEST_RESOURCES) + "/intro.wav", std::ios::binary);
  ASSERT_TRUE(in) << "intro.wav not built";
  const std::vector<char> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GE(b.size(), 44u);
  EXPECT_EQ(std::memcmp(b.data(), "RIFF", 4), 0);
  EXPECT_EQ(std::memcmp(b.data() + 8, "WAVEfmt ", 8), 0);
  EXPECT_EQ(le32(b, 22) & 0xffff, 2u); // channels
  EXPECT_EQ(le32(b, 24), 48000u);      // rate
  EXPECT_EQ(le32(b, 32) >> 16, 16u);   // bits
  const uint32_t bytes = le32(b, 40);
  ASSERT_EQ(b.size(), 44u + bytes);
  std::vector<int16_t> pcm(bytes / 2);
  std::memcpy(pcm.data(), b.data() + 44, bytes);
  const size_t frames = pcm.size() / 2;
  EXPECT_EQ(frames, 268800u);                          // 5.6 s
  EXPECT_GT(rmsDb(pcm, 48000, 4 * 48000), -30.0);      // heard while the picture builds up
  EXPECT_LT(rmsDb(pcm, frames - 2400, frames), -60.0); // the last 50 ms are silent
  int16_t peak = 0;
  for (int16_t s : pcm) peak = std::max<int16_t>(peak, static_cast<int16_t>(std::abs(s)));
  EXPECT_LT(peak, 32767); // no clipping
}

} // namespace
