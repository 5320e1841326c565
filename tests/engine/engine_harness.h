// Helpers for the engine suites: device buffer lists laid out like a device's (any number of
// buffers, any channels each), and a fixture that gives every test fresh HOME and system-root
// folders and an empty main queue. Test thread only.
#pragma once

#include "engine/engine.h"
#include "platform/audio/layer/io_procs.h"
#include "tests/support/dispatch_fixture.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velto::test {

// One device direction: buffers of interleaved floats, `frames` frames each.
class DeviceBuffers {
public:
  DeviceBuffers(std::vector<uint32_t> channelsPerBuffer, uint32_t frames)
      : frames_(frames), storage_(channelsPerBuffer.size()) {
    list_.count = static_cast<uint32_t>(channelsPerBuffer.size());
    for (size_t b = 0; b < channelsPerBuffer.size(); ++b) {
      storage_[b].assign(size_t{channelsPerBuffer[b]} * frames, 0.0f);
      list_.buffers[b].channels = channelsPerBuffer[b];
      list_.buffers[b].byteSize = static_cast<uint32_t>(storage_[b].size() * sizeof(float));
      list_.buffers[b].data = storage_[b].data();
    }
  }

  platform::audio::BufferList* list() { return &list_; }
  uint32_t frames() const { return frames_; }

  // Global channel c (numbered over all buffers), frame f.
  float& at(uint32_t channel, uint32_t frame) {
    for (size_t b = 0; b < storage_.size(); ++b) {
      const uint32_t channels = list_.buffers[b].channels;
      if (channel < channels) return storage_[b][size_t{frame} * channels + channel];
      channel -= channels;
    }
    static float nowhere = 0.0f;
    return nowhere;
  }

  void setChannel(uint32_t channel, const std::vector<float>& samples) {
    for (uint32_t f = 0; f < frames_ && f < samples.size(); ++f) at(channel, f) = samples[f];
  }

  std::vector<float> channel(uint32_t channel) {
    std::vector<float> out(frames_);
    for (uint32_t f = 0; f < frames_; ++f) out[f] = at(channel, f);
    return out;
  }

  void fill(float value) {
    for (auto& buffer : storage_) buffer.assign(buffer.size(), value);
  }

private:
  uint32_t frames_;
  std::vector<std::vector<float>> storage_;
  platform::audio::BufferList list_{};
};

// An effect-free signal path: the switches a fresh input bank and bus bank have on are turned
// off before any audio runs, so a routed signal arrives sample for sample.
void makeTransparent(Engine& engine);

// The heaviest load of the real-time tests, on an engine whose inputs and outputs are bound:
// every strip routed everywhere it can go, and three pads sounding throughout (two loops across
// their seams and a one-shot that is retriggered) from a tone file written into `folder`. Fatal
// failures when a link is unbound or a pad does not load.
void routeEverywhereWithPads(Engine& engine, const std::string& folder);

// Every frame waiting in one ring, interleaved.
std::vector<float> drainRing(StereoRing& ring);

class EngineFixture : public DispatchTest {};

} // namespace velto::test
