// The player's audio-thread side: flushes decks after a command, starts and stops playback,
// holds the pause ramp, starts crossfades (at the end of a track, on a skip, or on whole bars
// of the beat grid) and mixes the decks with equal power. Never locks, waits or allocates.
#include "media/player.h"

#include <algorithm>
#include <cmath>

#include "core/levels.h"

namespace velto {
namespace {

constexpr double kHalfPi = 1.57079632679489661923;
// Pause, resume and the shortest crossfade ramp over 10 ms.
constexpr double kRampFrames = 480.0;
// `stop` fades out over 0.3 s.
constexpr double kStopFadeFrames = 14400.0;
constexpr double kBeatsPerBar = 4.0;

// Moves `value` one step toward `target` without overshooting. What is left after the last
// step of a ramp is rounding, so the ramp ends on its last frame exactly.
double approach(double value, double target, double step) {
  if (std::fabs(target - value) <= step * 1.001) return target;
  return value < target ? value + step : value - step;
}

} // namespace

void Player::render(float* interleaved, uint32_t frames) {
  // The engine hands at most one chunk; anything longer is taken in chunks all the same.
  while (frames > 0) {
    const uint32_t count = std::min(frames, kChunkFrames);
    renderChunk(interleaved, count);
    interleaved += size_t{count} * kChannels;
    frames -= count;
  }
}

void Player::renderChunk(float* out, uint32_t frames) {
  for (Deck& deck : decks) {
    const uint32_t generation = deck.flushGeneration.load(std::memory_order_acquire);
    if (generation != deck.flushAck.load(std::memory_order_relaxed)) {
      deck.ring->drain();
      deck.position.store(deck.startFrame.load());
      deck.flushAck.store(generation, std::memory_order_release);
    }
  }

  if (startRequest.exchange(false)) {
    Deck& deck = decks[activeDeck.load()];
    deck.state.store(kPlaying);
    deck.level = 1.0;
    deck.target = 1.0;
    deck.cued.store(false);
    playing.store(true);
    masterLevel = 1.0; // playback from rest starts at full level
  }
  if (stopRequest.exchange(false)) {
    for (Deck& deck : decks) {
      if (deck.state.load() == kIdle) continue;
      deck.state.store(kFadingOut);
      deck.target = 0.0;
      deck.step = 1.0 / kStopFadeFrames;
    }
  }

  const bool isPaused = paused.load();
  if (isPaused && masterLevel <= 0.0) return; // held: nothing moves

  startCrossfade(frames);
  for (Deck& deck : decks) mixDeck(deck, out, frames, isPaused);

  masterLevel = approach(masterLevel, isPaused ? 0.0 : 1.0, frames / kRampFrames);
  if (playing.load() && decks[0].state.load() == kIdle && decks[1].state.load() == kIdle) {
    playing.store(false);
  }
}

void Player::startCrossfade(uint32_t frames) {
  const uint32_t active = activeDeck.load();
  Deck& outgoing = decks[active];
  Deck& incoming = decks[1 - active];
  if (outgoing.state.load() != kPlaying || incoming.state.load() != kIdle ||
      !incoming.armed.load() || !incoming.ready.load()) {
    return;
  }

  const double n = frames;
  const double p = double(outgoing.position.load());
  double e = double(outgoing.endFrame.load());
  // Once the file has run out, its real end is known: what the ring still holds. A file that
  // states no length, or states too much, thus still hands over to the next track.
  if (outgoing.ended.load()) e = std::min(e, p + outgoing.ring->fill());
  double x = outgoing.crossfadeFrames.load();
  const bool skip = skipRequest.load();
  const double period = outgoing.beatPeriod.load();

  bool start = false;
  if (!beatSync.load() || period <= 0 || incoming.beatPeriod.load() <= 0) {
    start = skip || p + x >= e;
  } else {
    const double bar = kBeatsPerBar * period;
    x = std::max(std::round(x / bar), 1.0) * bar;
    const double first = outgoing.firstBeat.load();
    const double last = outgoing.lastBeat.load();
    const double anchor = std::fabs(first - p) < std::fabs(last - p) ? first : last;
    const double q = skip ? std::ceil((p - anchor) / period) * period + anchor
                          : std::floor((std::max(e - x, 0.0) - anchor) / period) * period + anchor;
    start = (q < p + n && (q >= 0 || skip)) || (!skip && q + n < p);
  }
  // The start is tested once per block: when the outgoing track ends inside this block (a
  // crossfade shorter than the block), the next track must start now or never.
  if (p + n >= e) start = true;
  if (!start) return;

  skipRequest.store(false);
  if (!skip) x = p > e ? 0.0 : std::min(x, e - p);
  const double fade = std::max(kRampFrames, x);
  incoming.level = 0.0;
  incoming.target = 1.0;
  incoming.step = 1.0 / fade;
  incoming.cued.store(false);
  incoming.armed.store(false);
  incoming.state.store(kPlaying);
  outgoing.target = 0.0;
  outgoing.step = 1.0 / fade;
  outgoing.state.store(kFadingOut);
  activeDeck.store(1 - active);
}

void Player::mixDeck(Deck& deck, float* out, uint32_t frames, bool isPaused) {
  const int32_t state = deck.state.load();
  if (state == kIdle || !deck.ready.load()) return; // a deck that is not ready stays silent

  const bool ended = deck.ended.load(); // before the ring: then the ring holds all there is
  const uint64_t position = deck.position.load(std::memory_order_relaxed);
  const uint64_t end = deck.endFrame.load();
  const uint32_t wanted = position < end ? uint32_t(std::min<uint64_t>(frames, end - position)) : 0;
  const uint32_t got = wanted > 0 ? deck.ring->read(scratch.data(), wanted) : 0;
  if (got < wanted && !ended) deck.underruns.fetch_add(1);

  const double masterTarget = isPaused ? 0.0 : 1.0;
  const double masterStep = 1.0 / kRampFrames;
  double master = masterLevel;
  const float* in = scratch.data();
  if (deck.level == deck.target && master == masterTarget) {
    const float gain = float(std::sin(deck.level * kHalfPi) * master);
    for (uint32_t s = 0; s < 2 * got; ++s) out[s] += in[s] * gain;
  } else {
    for (uint32_t i = 0; i < got; ++i) {
      deck.level = approach(deck.level, deck.target, deck.step);
      master = approach(master, masterTarget, masterStep);
      // sin rising against the other deck's cos falling: an equal-power crossfade.
      const float gain = float(std::sin(deck.level * kHalfPi) * master);
      out[2 * i] += in[2 * i] * gain;
      out[2 * i + 1] += in[2 * i + 1] * gain;
    }
  }

  const uint64_t reached = position + got;
  deck.position.store(reached, std::memory_order_relaxed);
  const bool runDry = got < wanted && ended && deck.ring->fill() == 0;
  const bool fadedOut = state == kFadingOut && deck.level <= 0.0;
  if (reached >= end || runDry || fadedOut) deck.state.store(kIdle);
}

} // namespace velto
