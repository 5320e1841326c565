// Helpers of the looper suites: a bank with only the looper on and its buffers made, commands
// posted as the control side posts them, stereo noise takes, and the expected playback of a
// closed loop (its 240-frame edge fades).
#pragma once

#include "effects/input_fx.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

namespace velto::test::loop {

struct Stereo {
  std::vector<float> left, right;
  size_t size() const { return left.size(); }
};

inline Stereo silence(size_t n) {
  return {std::vector<float>(n, 0.0f), std::vector<float>(n, 0.0f)};
}

// Independent noise on both channels, amplitude below `peak`.
inline Stereo noise(size_t n, unsigned seed, float peak = 0.5f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-peak, peak);
  Stereo s = silence(n);
  for (size_t i = 0; i < n; ++i) s.left[i] = u(rng), s.right[i] = u(rng);
  return s;
}

// What a recording of `take` sounds like as a closed loop of `length` frames: the first and the
// last 240 frames faded (frame i and frame length-1-i by i/240), padded with silence.
inline Stereo closedLoop(const Stereo& take, size_t length) {
  Stereo loop = silence(length);
  for (size_t i = 0; i < std::min(take.size(), length); ++i) {
    loop.left[i] = take.left[i], loop.right[i] = take.right[i];
  }
  for (size_t i = 0; i < 240; ++i) {
    const float f = static_cast<float>(i) / 240.0f;
    for (auto* ch : {&loop.left, &loop.right}) {
      (*ch)[i] *= f;
      (*ch)[length - 1 - i] *= f;
    }
  }
  return loop;
}

struct Looper {
  std::unique_ptr<InputFx> bank = std::make_unique<InputFx>();

  explicit Looper(bool allocate = true) {
    for (auto& flag : bank->enabled) flag.store(false);
    bank->enabled[FxId::looper].store(true);
    if (allocate) bank->ensureLooper();
  }

  void post(LooperAction action) { bank->looperCommand.store(static_cast<uint32_t>(action)); }
  void setLevelDb(float db) { bank->set(FxId::looper, 0, db); }
  void setKeep(float percent) { bank->set(FxId::looper, 1, percent); }

  // Runs a stereo signal through the bank in callback-sized calls; returns the output.
  Stereo run(const Stereo& in, uint32_t callback = 128) {
    Stereo out = in;
    std::vector<float> buffer(2 * callback);
    for (size_t pos = 0; pos < in.size(); pos += callback) {
      const auto n = static_cast<uint32_t>(std::min<size_t>(callback, in.size() - pos));
      for (uint32_t i = 0; i < n; ++i) {
        buffer[2 * i] = in.left[pos + i];
        buffer[2 * i + 1] = in.right[pos + i];
      }
      bank->process(buffer.data(), n);
      for (uint32_t i = 0; i < n; ++i) {
        out.left[pos + i] = buffer[2 * i];
        out.right[pos + i] = buffer[2 * i + 1];
      }
    }
    return out;
  }
  Stereo runSilence(size_t n) { return run(silence(n)); }

  // Records `take` as a whole loop and closes it; playback starts at frame 0 of the next call.
  void record(const Stereo& take) {
    post(LooperAction::record);
    run(take);
    post(LooperAction::main);
  }

  LooperState state() const { return static_cast<LooperState>(bank->looperState.load()); }
  uint32_t position() const { return bank->looperPosition.load(); }
  uint32_t length() const { return bank->looperLength.load(); }
  int32_t layer() const { return bank->looperLayer.load(); }
};

// Largest difference between `out[from + i]` and `expected[i]` (both channels).
inline float maxDiff(const Stereo& out, size_t from, const Stereo& expected) {
  float worst = 0.0f;
  for (size_t i = 0; i < expected.size(); ++i) {
    worst = std::max(worst, std::fabs(out.left[from + i] - expected.left[i]));
    worst = std::max(worst, std::fabs(out.right[from + i] - expected.right[i]));
  }
  return worst;
}

// a * ca + b * cb, frame by frame.
inline Stereo mix(const Stereo& a, float ca, const Stereo& b, float cb) {
  Stereo out = silence(a.size());
  for (size_t i = 0; i < a.size(); ++i) {
    out.left[i] = a.left[i] * ca + b.left[i] * cb;
    out.right[i] = a.right[i] * ca + b.right[i] * cb;
  }
  return out;
}

} // namespace velto::test::loop
