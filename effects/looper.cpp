// The looper of the effect bank: records up to 60 s of the input, plays it back in a loop under
// the live signal and records layers over it, driven by one command word that the control side
// posts. Audio thread only; its buffers are made by ensureLooper on the control side, and the
// state, length, position and layer are published through the bank's atomics after every block.
#include "effects/input_fx.h"

#include <algorithm>
#include <cmath>

namespace velto {

namespace {

constexpr uint32_t kMinLoop = 480; // 10 ms
constexpr uint32_t kEdge = 240;    // frames of fade at each end of a loop, and of playback ramp
constexpr float kRampStep = 1.0f / kEdge;

struct LoopBuffers {
  float* base;  // stereo frames
  float* layer; // stereo frames
  uint16_t* tags;
};

uint16_t nextTag(uint16_t tag) {
  return tag == 65535 ? 1 : static_cast<uint16_t>(tag + 1);
}

uint32_t code(LooperState state) {
  return static_cast<uint32_t>(state);
}

void closeRecording(InputFx& fx, const LoopBuffers& buf) {
  const uint32_t length = std::max(fx.loopPosition, kMinLoop);
  // A take shorter than the minimum is padded with silence, never with an earlier loop's frames.
  for (uint32_t p = fx.loopPosition; p < length; ++p) {
    buf.base[2 * p] = buf.base[2 * p + 1] = 0.0f;
    buf.layer[2 * p] = buf.layer[2 * p + 1] = 0.0f;
    buf.tags[p] = 0;
  }
  for (uint32_t i = 0; i < kEdge; ++i) {
    const float f = static_cast<float>(i) / kEdge;
    const uint32_t end = length - 1 - i;
    buf.base[2 * i] *= f;
    buf.base[2 * i + 1] *= f;
    buf.base[2 * end] *= f;
    buf.base[2 * end + 1] *= f;
  }
  fx.loopLength = length;
  fx.loopPosition = 0;
  fx.loopState = code(LooperState::playing);
}

void startLayer(InputFx& fx) {
  fx.loopPrevTag = fx.loopTag;
  fx.loopPrevAudible = fx.loopAudible;
  fx.loopTag = nextTag(fx.loopTag);
  fx.loopState = code(LooperState::overdubbing);
}

void clearLoop(InputFx& fx) {
  fx.loopState = code(LooperState::empty);
  fx.loopLength = 0;
  fx.loopPosition = 0;
  // Back to "no layer yet": the next loop reports no layer until its first overdub. Frames of
  // older layers cannot be heard again, since a recording writes tag 0 over the whole new loop.
  fx.loopTag = 0;
  fx.loopAudible = false;
  fx.loopPrevTag = 0;
  fx.loopPrevAudible = false;
}

void takeAction(InputFx& fx, LooperAction action, const LoopBuffers& buf) {
  if (action == LooperAction::clear) {
    clearLoop(fx);
    return;
  }
  switch (static_cast<LooperState>(fx.loopState)) {
  case LooperState::empty:
    if (action == LooperAction::main || action == LooperAction::record) {
      fx.loopPosition = 0;
      fx.loopState = code(LooperState::recording);
    }
    break;
  case LooperState::recording:
    if (action == LooperAction::main || action == LooperAction::play) {
      closeRecording(fx, buf);
    } else if (action == LooperAction::overdub) {
      closeRecording(fx, buf);
      startLayer(fx);
    } else if (action == LooperAction::stop) {
      closeRecording(fx, buf);
      fx.loopState = code(LooperState::stopped);
    }
    break;
  case LooperState::playing:
    if (action == LooperAction::main || action == LooperAction::record ||
        action == LooperAction::overdub) {
      startLayer(fx);
    } else if (action == LooperAction::stop) {
      fx.loopState = code(LooperState::stopped);
    } else if (action == LooperAction::undo) {
      fx.loopAudible = !fx.loopAudible;
    }
    break;
  case LooperState::overdubbing:
    if (action == LooperAction::main || action == LooperAction::play) {
      fx.loopState = code(LooperState::playing);
      fx.loopAudible = true;
    } else if (action == LooperAction::stop) {
      fx.loopState = code(LooperState::stopped);
      fx.loopAudible = true;
    }
    break;
  case LooperState::stopped:
    if (action == LooperAction::main || action == LooperAction::play) {
      fx.loopPosition = 0;
      fx.loopState = code(LooperState::playing);
    } else if (action == LooperAction::record) {
      fx.loopPosition = 0;
      startLayer(fx);
    } else if (action == LooperAction::undo) {
      fx.loopAudible = !fx.loopAudible;
    }
    break;
  }
}

bool layerAudible(const InputFx& fx, uint16_t tag) {
  if (tag == 0) return false;
  if (tag == fx.loopTag) return fx.loopAudible;
  if (tag == fx.loopPrevTag) return fx.loopPrevAudible;
  return true;
}

} // namespace

void InputFx::looper(float* left, float* right, uint32_t frames) {
  // Acquire pairs with ensureLooper's release of the base loop, stored after the other two.
  float* base = looperBase.load(std::memory_order_acquire);
  if (base == nullptr) return; // a posted command waits until the buffers exist
  const LoopBuffers buf{base, looperLayerBuffer.load(std::memory_order_acquire),
                        looperTags.load(std::memory_order_acquire)};

  const uint32_t command = looperCommand.exchange(0, std::memory_order_acq_rel);
  if (command >= 1 && command <= 7) takeAction(*this, static_cast<LooperAction>(command), buf);

  const float gain =
      std::pow(10.0f, params[FxId::looper][0].load(std::memory_order_relaxed) / 20.0f);
  const float keep = params[FxId::looper][1].load(std::memory_order_relaxed) / 100.0f;
  const bool rolling =
      loopState == code(LooperState::playing) || loopState == code(LooperState::overdubbing);
  const float rampTarget = rolling ? 1.0f : 0.0f;
  const bool overdubbing = loopState == code(LooperState::overdubbing);

  for (uint32_t i = 0; i < frames; ++i) {
    if (loopState == code(LooperState::recording)) {
      const uint32_t p = loopPosition;
      buf.base[2 * p] = left[i];
      buf.base[2 * p + 1] = right[i];
      buf.tags[p] = 0;
      if (++loopPosition == kLoopFrames) {
        closeRecording(*this, buf);
        break; // the rest of this block passes unchanged; playback starts with the next one
      }
      continue;
    }
    if (loopLength == 0) break;

    const uint32_t p = loopPosition;
    const float aL = buf.base[2 * p], aR = buf.base[2 * p + 1];
    const uint16_t tag = buf.tags[p];
    const bool heard = layerAudible(*this, tag);
    const float bL = heard ? buf.layer[2 * p] : 0.0f;
    const float bR = heard ? buf.layer[2 * p + 1] : 0.0f;
    if (overdubbing) {
      if (tag != loopTag) {
        // The older layer joins the base loop as the loop passes; the new pass starts afresh.
        buf.base[2 * p] = (aL + bL) * keep;
        buf.base[2 * p + 1] = (aR + bR) * keep;
        buf.layer[2 * p] = left[i];
        buf.layer[2 * p + 1] = right[i];
        buf.tags[p] = loopTag;
      } else {
        buf.layer[2 * p] += left[i];
        buf.layer[2 * p + 1] += right[i];
      }
    }
    if (loopRamp < rampTarget) {
      loopRamp = std::min(loopRamp + kRampStep, rampTarget);
    } else if (loopRamp > rampTarget) {
      loopRamp = std::max(loopRamp - kRampStep, rampTarget);
    }
    left[i] += loopRamp * gain * (aL + bL);
    right[i] += loopRamp * gain * (aR + bR);
    if (rolling) loopPosition = loopPosition + 1 == loopLength ? 0 : loopPosition + 1;
  }
  if (loopState == code(LooperState::overdubbing)) loopAudible = true;

  looperState.store(loopState, std::memory_order_relaxed);
  looperPosition.store(loopPosition, std::memory_order_relaxed);
  looperLength.store(loopLength, std::memory_order_relaxed);
  looperLayer.store(loopTag == 0 || loopLength == 0 ? 0 : (loopAudible ? 2 : 1),
                    std::memory_order_relaxed);
}

} // namespace velto
