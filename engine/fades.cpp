// Fades: one gain moved from its level to a target in equal dB steps over time, driven by a
// 10 ms main-queue timer that exists only while fades run. Main thread only; the gains are
// written by atomic exchange because the audio callbacks read them.
#include "engine/engine.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace velto {

namespace {

constexpr auto kFadeTick = std::chrono::milliseconds(10);
constexpr auto kFadeLeeway = std::chrono::milliseconds(2);

} // namespace

// main thread
void Engine::fadeTo(std::atomic<float>& gain, float toDb, float speed) {
  // A level or speed that is not a number would end up in the gain the audio thread reads.
  if (!std::isfinite(toDb) || !std::isfinite(speed)) return;

  std::erase_if(fades, [&gain](const Fade& f) { return f.gain == &gain; });
  const float to = std::clamp(toDb, kMinDb, kMaxDb);
  const double duration = fadeSeconds(speed);
  if (duration <= 0.0) {
    gain.exchange(dbToGain(to));
    return;
  }

  float fromDb = gainToDb(gain.load());
  // A gain that is not a finite number fades in from silence.
  if (!std::isfinite(fromDb)) fromDb = kMinDb;
  fades.push_back(Fade{&gain, fromDb, to, clock(), duration});

  if (!fadeTimer) {
    fadeTimer = std::make_unique<platform::dispatch::Timer>([this] { tickFades(clock()); });
    fadeTimer->start(kFadeTick, kFadeLeeway, platform::dispatch::Duration::zero());
  }
}

// main thread
void Engine::tickFades(double now) {
  // A time that is not a number would turn every faded gain into one.
  if (!fades.empty() && !std::isnan(now)) {
    std::erase_if(fades, [now](const Fade& f) {
      const float t = static_cast<float>(std::clamp((now - f.start) / f.duration, 0.0, 1.0));
      // The last step lands on the target itself, not on a sum that may round past it.
      const float level = t >= 1.0f ? f.toDb : f.fromDb + (f.toDb - f.fromDb) * t;
      f.gain->exchange(dbToGain(level));
      return t >= 1.0f;
    });
  }
  if (fades.empty() && fadeTimer) {
    fadeTimer->cancel();
    fadeTimer.reset();
  }
}

// main thread
void Engine::cancelFade(std::atomic<float>& gain) {
  std::erase_if(fades, [&gain](const Fade& f) { return f.gain == &gain; });
}

// main thread
bool Engine::fadeTarget(const std::atomic<float>& gain, float& toDb) const {
  const auto it =
      std::find_if(fades.begin(), fades.end(), [&gain](const Fade& f) { return f.gain == &gain; });
  if (it == fades.end()) return false;
  toDb = it->toDb;
  return true;
}

double Engine::clock() {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<double>(ns.count()) / 1e9;
}

} // namespace velto
