// The real-time path: what the engine's device callbacks do on the audio layer's I/O threads.
// Producers run their strips into the rings, consumers read the rings with mixRoute. Nothing
// here allocates, locks, waits or calls the audio layer. Each entry point runs with denormals
// flushed to zero, so decaying filter states cost no more than live signal.
#include "engine/engine.h"

#include "core/denormals.h"
#include "effects/fx_table.h"
#include "effects/input_fx.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace velto {

namespace {

namespace audio = platform::audio;

// Frames of a device buffer list, or 0 when the list cannot be processed: absent, empty, a
// first buffer without channels, or too small for one frame.
uint32_t frameCount(const audio::BufferList* list) {
  if (list == nullptr || list->count == 0) return 0;
  const audio::Buffer& first = list->buffers[0];
  if (first.channels == 0 || first.byteSize < first.channels * sizeof(float)) return 0;
  return first.byteSize / (first.channels * static_cast<uint32_t>(sizeof(float)));
}

uint32_t bufferCount(const audio::BufferList* list) {
  return std::min(list->count, audio::BufferList::kCapacity);
}

// The buffer holding global channel `channel` (numbered over all buffers in order), for a block
// of `frames` frames. A buffer without data, or too short for the block, counts as absent, so a
// caller never reads or writes past what the device handed over.
bool locateChannel(const audio::BufferList* list, uint32_t channel, uint32_t frames,
                   ChannelRef& out) {
  uint32_t index = channel;
  for (uint32_t b = 0; b < bufferCount(list); ++b) {
    const audio::Buffer& buffer = list->buffers[b];
    if (buffer.channels > index) {
      const uint64_t needed = uint64_t{frames} * buffer.channels * sizeof(float);
      if (buffer.data == nullptr || buffer.byteSize < needed) return false;
      out.data = static_cast<const float*>(buffer.data) + index;
      out.stride = buffer.channels;
      return true;
    }
    index -= buffer.channels;
  }
  return false;
}

// Left is channel `first`, right the next one; a mono source feeds its one channel to both.
bool pickStereo(const audio::BufferList* list, uint32_t first, uint32_t frames, ChannelRef& left,
                ChannelRef& right) {
  if (!locateChannel(list, first, frames, left)) return false;
  if (!locateChannel(list, first + 1, frames, right)) right = left;
  return true;
}

void clearOutput(audio::BufferList* list) {
  if (list == nullptr) return;
  for (uint32_t b = 0; b < bufferCount(list); ++b) {
    audio::Buffer& buffer = list->buffers[b];
    if (buffer.data != nullptr) std::memset(buffer.data, 0, buffer.byteSize);
  }
}

// Multiplies an interleaved block by the ramp from `from` to `to` (the last frame gets `to`
// exactly), or by the constant gain when the two are equal.
void applyBusGain(float* samples, uint32_t count, float from, float to) {
  if (from != to) {
    const float step = (to - from) / static_cast<float>(count);
    for (uint32_t f = 0; f + 1 < count; ++f) {
      const float g = from + step * static_cast<float>(f + 1);
      samples[2 * f] *= g;
      samples[2 * f + 1] *= g;
    }
    samples[2 * (count - 1)] *= to;
    samples[2 * (count - 1) + 1] *= to;
  } else {
    for (uint32_t s = 0; s < 2 * count; ++s) samples[s] *= to;
  }
}

// True in the first cycle of a link's callback after it started (audio thread).
bool firstCycle(DeviceLink& link) {
  const uint32_t starts = std::atomic_ref<uint32_t>(link.starts).load(std::memory_order_acquire);
  if (starts == link.seenStarts) return false;
  link.seenStarts = starts;
  return true;
}

} // namespace

void Engine::processHwInput(int input, const audio::BufferList* list) {
  const DenormalScope flush;
  const uint32_t frames = frameCount(list);
  if (frames == 0) return;
  ChannelRef left;
  ChannelRef right;
  if (!pickStereo(list, 0, frames, left, right)) return;
  hwInputs[input].strip.produce(left, right, frames);
}

void Engine::processSystem(const audio::BufferList* list) {
  const DenormalScope flush;
  const uint32_t frames = frameCount(list);
  if (frames == 0) return;
  ChannelRef left;
  ChannelRef right;
  if (!pickStereo(list, 0, frames, left, right)) return;
  systemStrip.produce(left, right, frames);
}

void Engine::processApp(int slot, const audio::BufferList* list) {
  const DenormalScope flush;
  AppSource& app = apps[slot];
  const uint32_t n = app.callbacks.fetch_add(1);
  const uint32_t frames = frameCount(list);
  if (frames == 0) return;
  const uint32_t offset = app.tap.channelOffset;

  ChannelRef left;
  ChannelRef right;
  if (!pickStereo(list, offset, frames, left, right)) return;
  for (uint32_t f = 0; f < frames; ++f) {
    if (left.data[size_t{f} * left.stride] != 0.0f) { // a NaN is not 0 either
      app.lastAudible.store(n + 1);
      break;
    }
  }
  app.strip.produce(left, right, frames);
}

uint32_t Engine::mixRoute(Strip& strip, int destination, uint32_t frames, float* mix,
                          float* scratch, std::atomic<uint32_t>& underruns) {
  StereoRing& ring = *strip.rings[destination];
  RingWatch& watch = strip.watches[destination];
  if ((strip.effectiveRoute() & (1u << destination)) == 0) {
    ring.drain();
    watch = RingWatch{ring.writeIndex.load(std::memory_order_acquire)};
    return 0;
  }
  // A reader that starts (again) takes its sources from their newest block: what they wrote while
  // it was stopped would leave the way longer for good.
  if (watch.fresh) {
    watch.fresh = false;
    for (uint32_t fill = ring.fill(); fill > frames;) {
      const uint32_t dropped = ring.read(scratch, std::min(fill - frames, frames));
      if (dropped == 0) break;
      fill -= dropped;
    }
  }
  // Every block read short or empty while the source runs, and every backlog dropped, is one
  // break heard on this output.
  uint32_t breaks = ring.skipBacklog(frames, ioBufferFrames.load(std::memory_order_relaxed)) > 0;
  const uint64_t written = ring.writeIndex.load(std::memory_order_acquire);
  if (written != watch.written) {
    watch.written = written;
    if (watch.quietFrames < kBreakFrames) breaks += watch.emptyBlocks; // it ran on: a gap
    watch.quietFrames = 0;
    watch.emptyBlocks = 0;
  }
  const uint32_t count = ring.read(scratch, frames);
  if (count > 0 && count < frames) ++breaks;
  if (count == 0 && watch.quietFrames < kBreakFrames) {
    ++watch.emptyBlocks;
    watch.quietFrames = std::min(kBreakFrames, watch.quietFrames + frames);
  }
  if (breaks > 0) underruns.fetch_add(breaks);
  for (uint32_t s = 0; s < 2 * count; ++s) mix[s] += scratch[s];
  return count;
}

void Engine::processClock(audio::BufferList* list) {
  const DenormalScope flush;
  clearOutput(list);
  if (firstCycle(clockLink)) {
    for (AppSource& app : apps) {
      for (int k = 0; k < 4; ++k) app.strip.watches[k].fresh = true;
    }
    systemStrip.watches[3].fresh = true;
  }
  const uint32_t frames = frameCount(list);
  for (uint32_t offset = 0; offset < frames; offset += kChunkFrames) {
    const uint32_t count = std::min(frames - offset, kChunkFrames);
    const size_t floats = size_t{count} * 2;

    std::fill_n(padsBuffer.data(), floats, 0.0f);
    pads.render(padsBuffer.data(), count);
    padsStrip.produce({padsBuffer.data(), 2}, {padsBuffer.data() + 1, 2}, count);

    std::fill_n(playerBuffer.data(), floats, 0.0f);
    player.render(playerBuffer.data(), count);
    playerStrip.produce({playerBuffer.data(), 2}, {playerBuffer.data() + 1, 2}, count);

    for (int k = 0; k < 4; ++k) {
      VirtualIn& v = virtualIns[k];
      std::fill_n(v.mix.data(), floats, 0.0f);
      for (AppSource& app : apps) {
        mixRoute(app.strip, k, count, v.mix.data(), v.scratch.data(), v.underruns);
      }
      if (k == 3) mixRoute(systemStrip, 3, count, v.mix.data(), v.scratch.data(), v.underruns);
      v.strip.produce({v.mix.data(), 2}, {v.mix.data() + 1, 2}, count);
    }
  }
}

void Engine::countSkippedBlocks(int index, const audio::TimeStamp* now,
                                const audio::BufferList* list) {
  Bus& bus = buses[index];
  const uint32_t starts =
      std::atomic_ref<uint32_t>(bus.link.starts).load(std::memory_order_acquire);
  if (starts != bus.timedStarts) {
    bus.timedStarts = starts;
    bus.lastCycleSample = std::numeric_limits<double>::quiet_NaN();
  }
  const uint32_t frames = frameCount(list);
  if (now == nullptr || (now->flags & kAspTimeStampSampleTimeValid) == 0 || frames == 0) return;
  // Each cycle's time lies its own frames after the one before; a gap of at least half a block
  // is that many blocks the device played without us (a frame of rounding is none). A gap
  // longer than a stopped source's silence is a new time line, as a restart is, not breaks.
  const double gap = now->sampleTime - bus.lastCycleSample - frames;
  if (gap >= frames / 2.0 && gap <= kBreakFrames)
    bus.underruns.fetch_add(uint32_t(gap / frames + 0.5));
  bus.lastCycleSample = now->sampleTime;
}

void Engine::processOutput(int index, audio::BufferList* list) {
  const DenormalScope flush;
  clearOutput(list);
  const uint32_t frames = frameCount(list);
  if (frames == 0) return;
  Bus& bus = buses[index];
  if (firstCycle(bus.link)) {
    for (HwInput& in : hwInputs) in.strip.watches[index].fresh = true;
    for (VirtualIn& v : virtualIns) v.strip.watches[index].fresh = true;
    padsStrip.watches[index].fresh = true;
    playerStrip.watches[index].fresh = true;
  }
  float target = bus.mute.load() ? 0.0f : bus.gain.load();
  // A level that is not a finite number never reaches the audio: keep the last good one.
  if (!std::isfinite(target)) target = bus.lastGain;

  ChannelRef left;
  ChannelRef right;
  const bool hasLeft = locateChannel(list, 0, frames, left);
  const bool hasRight = locateChannel(list, 1, frames, right);
  const bool hardware = index < 3;

  for (uint32_t offset = 0; offset < frames; offset += kChunkFrames) {
    const uint32_t count = std::min(frames - offset, kChunkFrames);
    const size_t floats = size_t{count} * 2;
    float* mix = bus.mix.data();
    float* scratch = bus.scratch.data();
    std::fill_n(mix, floats, 0.0f);

    const bool speaker = hardware && bus.speaker.load();
    for (int j = 0; j < 3; ++j) {
      const uint32_t got = mixRoute(hwInputs[j].strip, index, count, mix, scratch, bus.underruns);
      if (speaker) {
        float* share = bus.inputShares[j].data();
        std::copy_n(scratch, size_t{got} * 2, share);
        std::fill(share + size_t{got} * 2, share + floats, 0.0f);
      }
    }
    for (VirtualIn& v : virtualIns) mixRoute(v.strip, index, count, mix, scratch, bus.underruns);
    mixRoute(padsStrip, index, count, mix, scratch, bus.underruns);
    mixRoute(playerStrip, index, count, mix, scratch, bus.underruns);

    if (speaker) {
      for (int j = 0; j < 3; ++j) {
        const InputFx* fx = hwInputs[j].fx;
        if (fx == nullptr || !fx->enabled[FxId::aec].load(std::memory_order_relaxed)) continue;
        float* echo = bus.echoWork.data();
        const float* share = bus.inputShares[j].data();
        for (size_t s = 0; s < floats; ++s) echo[s] = mix[s] - share[s];
        applyBusGain(echo, count, bus.lastGain, target);
        echoRefs[index][j]->write(echo, count);
      }
    }

    applyBusGain(mix, count, bus.lastGain, target);
    bus.lastGain = target;

    if (bus.fx) bus.fx->process(mix, count);

    float leftPeak = 0.0f;
    float rightPeak = 0.0f;
    if (hasLeft) {
      float* out = const_cast<float*>(left.data) + size_t{offset} * left.stride;
      for (uint32_t f = 0; f < count; ++f) {
        out[size_t{f} * left.stride] = mix[2 * f];
        leftPeak = std::max(leftPeak, std::fabs(mix[2 * f]));
      }
    }
    if (hasRight) {
      float* out = const_cast<float*>(right.data) + size_t{offset} * right.stride;
      for (uint32_t f = 0; f < count; ++f) {
        out[size_t{f} * right.stride] = mix[2 * f + 1];
        rightPeak = std::max(rightPeak, std::fabs(mix[2 * f + 1]));
      }
    }
    bus.meter.raise(leftPeak, rightPeak);
  }
}

} // namespace velto
