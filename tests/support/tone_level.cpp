#include "tests/support/tone_level.h"

#include <algorithm>
#include <cmath>

namespace velto::test {

ToneLevel steadyToneLevel(const std::vector<float>& stereo, int channel, double hz, int rate) {
  const size_t frames = stereo.size() / 2;
  auto at = [&](size_t f) { return double(stereo[f * 2 + size_t(channel)]); };
  size_t first = 0, last = frames;
  while (first < frames && at(first) == 0.0) ++first;
  while (last > first && at(last - 1) == 0.0) --last;
  const size_t margin = size_t(rate) / 50;
  ToneLevel level;
  if (last < first + 2 * margin + 2) return level;
  const size_t from = first + margin, to = last - margin;
  // A steady sine obeys s[n+1] + s[n-1] = 2 cos(w) s[n]; the tone itself is exactly 0 at lone
  // samples only.
  const double k = 2.0 * std::cos(2.0 * M_PI * hz / rate);
  std::vector<bool> skip(frames, false);
  constexpr size_t kAround = 128;
  bool inBreak = false;
  for (size_t f = from; f < to; ++f) {
    const bool broken =
        (at(f) == 0.0 && at(f + 1) == 0.0) || std::fabs(at(f + 1) + at(f - 1) - k * at(f)) > 0.01;
    if (broken) {
      if (!inBreak) ++level.breaks;
      for (size_t g = f > kAround ? f - kAround : 0; g < std::min(frames, f + kAround); ++g) {
        skip[g] = true;
      }
    }
    inBreak = broken;
  }
  double sum = 0.0;
  for (size_t f = from; f < to; ++f) {
    if (skip[f]) continue;
    sum += at(f) * at(f);
    ++level.clean;
  }
  if (level.clean > 0) level.db = 10.0 * std::log10(sum / double(level.clean));
  return level;
}

std::vector<float> stereoTone(double hz, double amplitude, int rate, int millis) {
  std::vector<float> tone(size_t(rate) * size_t(millis) / 1000 * 2);
  for (size_t f = 0; f < tone.size() / 2; ++f) {
    const float s = float(amplitude * std::sin(2.0 * M_PI * hz * double(f) / rate));
    tone[f * 2] = s;
    tone[f * 2 + 1] = s;
  }
  return tone;
}

double medianBlockLevel(const std::vector<float>& stereo, size_t block, size_t minSounding) {
  std::vector<double> levels;
  for (size_t start = 0; (start + block) * 2 <= stereo.size(); start += block) {
    double sum = 0.0;
    bool gap = false;
    for (size_t f = start; f < start + block; ++f) {
      const double s = stereo[f * 2];
      gap |= s == 0.0 && f + 1 < start + block && stereo[(f + 1) * 2] == 0.0;
      sum += s * s;
    }
    if (minSounding > 0 && gap) continue;
    levels.push_back(sum > 0.0 ? 10.0 * std::log10(sum / double(block)) : -200.0);
  }
  if (levels.empty() || levels.size() < minSounding) return -200.0;
  std::nth_element(levels.begin(), levels.begin() + levels.size() / 2, levels.end());
  return levels[levels.size() / 2];
}

} // namespace velto::test
