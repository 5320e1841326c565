// Audio side of the pad bank: takes each pad's command, fades, loops with an equal-power seam
// and adds the pad into the block. Audio thread: no allocation, no lock, no wait.
#include <algorithm>
#include <cmath>

#include "core/levels.h"
#include "media/pad_bank.h"

namespace velto {
namespace {

constexpr float kHalfPi = 1.57079632679489661923f;

// A new sound (or none) silences the pad at once, without a fade. The counter, not the pointer,
// tells: a freed sample's address may come back for the next one.
void takeNewSample(PadBank::Pad& pad) {
  const uint32_t installs = pad.installs.load(std::memory_order_acquire);
  if (installs == pad.lastInstall) return;
  pad.lastInstall = installs;
  pad.lastSample = pad.sample.load(std::memory_order_acquire);
  pad.level = 0.0;
  pad.target = 0.0;
  pad.fadeFrom = 0.0;
  pad.fadeDone = 0;
  pad.playing.store(false, std::memory_order_release);
  pad.stopping.store(false, std::memory_order_release);
  pad.progress.store(0.0f, std::memory_order_relaxed);
}

// Frames of `seconds`, in single precision as the pad stores them, so 0.1 s gives 4800 frames.
double framesOf(float seconds) {
  return static_cast<double>(seconds * static_cast<float>(kSampleRate));
}

void beginFade(PadBank::Pad& pad, double target, double step) {
  pad.fadeFrom = pad.level;
  pad.fadeDone = 0;
  pad.target = target;
  pad.step = step;
}

// One frame of the fade; a level within rounding of the target lands on it exactly.
void advanceFade(PadBank::Pad& pad) {
  if (pad.level == pad.target) return;
  const double moved = static_cast<double>(++pad.fadeDone) * pad.step;
  pad.level = pad.target > pad.fadeFrom ? std::min(pad.fadeFrom + moved, pad.target)
                                        : std::max(pad.fadeFrom - moved, pad.target);
  if (std::fabs(pad.level - pad.target) < 1e-12) pad.level = pad.target;
}

void takeCommand(PadBank::Pad& pad) {
  const uint32_t command = pad.command.exchange(PadBank::kCommandNone, std::memory_order_acq_rel);
  if (command == PadBank::kCommandStart && pad.lastSample != nullptr) {
    const float fadeIn = pad.fadeIn.load(std::memory_order_relaxed);
    pad.position = 0;
    pad.wrapped = false;
    if (fadeIn > 0.0f) {
      pad.level = 0.0;
      beginFade(pad, 1.0, 1.0 / framesOf(fadeIn));
    } else {
      pad.level = 1.0;
      beginFade(pad, 1.0, 1.0);
    }
    pad.lastGain = pad.gain.load(std::memory_order_relaxed);
    pad.playing.store(true, std::memory_order_release);
    pad.stopping.store(false, std::memory_order_release);
  } else if (command == PadBank::kCommandStop && pad.playing.load(std::memory_order_relaxed)) {
    const float fadeOut = pad.fadeOut.load(std::memory_order_relaxed);
    // Written so that a NaN falls back to the shortest fade too.
    const float seconds =
        fadeOut > PadBank::kMinFadeOutSeconds ? fadeOut : PadBank::kMinFadeOutSeconds;
    beginFade(pad, 0.0, 1.0 / framesOf(seconds));
    pad.stopping.store(true, std::memory_order_release);
  }
}

// Frames of the loop seam: the crossfade time (in single precision, like the fades), at most
// half the sample.
uint64_t seamFrames(float crossfade, uint64_t length) {
  const double wanted = framesOf(crossfade);
  if (!(wanted > 0.0)) return 0;
  if (wanted >= static_cast<double>(length / 2)) return length / 2;
  return static_cast<uint64_t>(wanted);
}

void renderPad(PadBank::Pad& pad, float* out, uint32_t frames) {
  takeNewSample(pad);
  takeCommand(pad);
  const PadSample* sample = pad.lastSample;
  if (sample == nullptr || !pad.playing.load(std::memory_order_relaxed)) return;

  const float* data = sample->samples.data();
  const uint64_t length = std::min<uint64_t>(sample->frames, sample->samples.size() / 2);
  const bool loop = pad.loop.load(std::memory_order_relaxed);
  const uint64_t seam =
      loop ? seamFrames(pad.crossfade.load(std::memory_order_relaxed), length) : 0;
  const uint64_t pass = length - seam; // every loop pass, the first included, lasts this long
  const float gain = pad.gain.load(std::memory_order_relaxed);
  const float fromGain = pad.lastGain;
  const float gainSpan = gain - fromGain;

  bool finished = length == 0;
  for (uint32_t j = 0; j < frames && !finished; ++j) {
    uint64_t position = pad.position;
    if (loop) {
      if (position >= pass) {
        pad.wrapped = true;
        position -= pass;
        if (position >= pass) position %= pass; // after the loop switch went on at the very end
      }
    } else if (position >= length) {
      finished = true;
      break;
    }
    float left = data[2 * position];
    float right = data[2 * position + 1];
    if (loop && pad.wrapped && position < seam) {
      // The end of the sample fades out under its beginning with equal power.
      const float t = static_cast<float>(position) / static_cast<float>(seam);
      const float in = std::sin(t * kHalfPi);
      const float away = std::cos(t * kHalfPi);
      const float* tail = data + 2 * (position + pass);
      left = left * in + tail[0] * away;
      right = right * in + tail[1] * away;
    }
    pad.position = position + 1;

    advanceFade(pad);
    const float ramp = fromGain + static_cast<float>(j + 1) * gainSpan / static_cast<float>(frames);
    const float shaped = static_cast<float>((3.0 - 2.0 * pad.level) * pad.level * pad.level);
    out[2 * j] += left * ramp * shaped;
    out[2 * j + 1] += right * ramp * shaped;
    if (pad.target == 0.0 && pad.level <= 0.0) finished = true;
  }

  pad.lastGain = gain;
  const uint64_t span = loop ? pass : length;
  const double progress =
      span == 0 ? 0.0
                : static_cast<double>(std::min(pad.position, span)) / static_cast<double>(span);
  pad.progress.store(static_cast<float>(progress), std::memory_order_relaxed);
  if (finished) {
    pad.playing.store(false, std::memory_order_release);
    pad.stopping.store(false, std::memory_order_release);
    pad.progress.store(0.0f, std::memory_order_relaxed);
  }
}

} // namespace

void PadBank::render(float* interleaved, uint32_t frames) {
  if (interleaved == nullptr || frames == 0) return;
  for (Pad& pad : pads) renderPad(pad, interleaved, frames);
}

} // namespace velto
