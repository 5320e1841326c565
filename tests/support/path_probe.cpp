#include "tests/support/path_probe.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace velto::test {
namespace {

constexpr int kRate = 48000;
// An output frame whose value entered longer ago than this is not traced (a value seen in an
// earlier period of the counter).
constexpr int64_t kLongestTrace = 16384;

// The counter value of a sample, 0 when it holds none.
uint32_t counterOf(float sample) {
  const long step = std::lround(double(sample) * 32768.0);
  return step >= 1 && step <= long(kCounterPeriod) ? uint32_t(step) : 0;
}

} // namespace

std::vector<float> countedTone(double hz, double amplitude, int millis) {
  const size_t frames = size_t(kRate) * size_t(millis) / 1000;
  std::vector<float> samples(2 * frames);
  for (size_t f = 0; f < frames; ++f) {
    samples[2 * f] = float(amplitude * std::sin(2.0 * M_PI * hz * double(f) / kRate));
    samples[2 * f + 1] = float(1 + f % kCounterPeriod) / 32768.0f;
  }
  return samples;
}

PathJudgement judgePath(const std::vector<float>& recorded, uint32_t channels, uint32_t in,
                        uint32_t out) {
  PathJudgement judged;
  if (channels == 0 || in >= channels || out >= channels) return judged;
  const size_t frames = recorded.size() / channels;
  std::vector<int64_t> entered(kCounterPeriod + 1, -1); // value -> the time it last entered
  std::map<int64_t, size_t> distances;
  int64_t previous = -1;
  // Frames the recorder itself lost so far: times count in the frames the path played, so a
  // recording that skipped a block does not make a path with a latency look shorter.
  int64_t lost = 0;
  uint32_t lastIn = 0;
  uint32_t lastOut = 0;
  for (size_t f = 0; f < frames; ++f) {
    const uint32_t vin = counterOf(recorded[f * channels + in]);
    const uint32_t v = counterOf(recorded[f * channels + out]);
    // Both counters leaping by the same step in the same frame: the recording lost that step.
    if (vin != 0 && v != 0 && lastIn != 0 && lastOut != 0) {
      const uint32_t stepIn = (vin + kCounterPeriod - lastIn) % kCounterPeriod;
      const uint32_t stepOut = (v + kCounterPeriod - lastOut) % kCounterPeriod;
      if (stepIn == stepOut && stepIn > 1) lost += stepIn - 1;
    }
    lastIn = vin;
    lastOut = v;
    const int64_t now = int64_t(f) + lost;
    if (vin != 0) entered[vin] = now;
    if (v == 0 || entered[v] < 0) continue;
    const int64_t distance = now - entered[v];
    if (distance > kLongestTrace) continue;
    ++judged.frames;
    ++distances[distance];
    if (previous >= 0 && distance != previous) ++judged.breaks;
    previous = distance;
  }
  judged.last = previous;
  if (distances.empty()) return judged;
  judged.shortest = distances.begin()->first;
  judged.longest = distances.rbegin()->first;
  judged.latency = std::max_element(distances.begin(), distances.end(), [](auto& a, auto& b) {
                     return a.second < b.second;
                   })->first;
  return judged;
}

} // namespace velto::test
