// Interleaved frames handed from one audio thread to another (a duplex node's capture cycle to
// its playback, a sound server's tap capture to the aggregate device around it). One writer, one
// reader, no locks; the reader alone may skip ahead.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace platform::audio {

class FrameRing {
public:
  FrameRing(uint32_t frames, uint32_t channels);
  void write(const float* interleaved, uint32_t frames); // what does not fit is dropped
  uint32_t read(float* interleaved, uint32_t frames);    // frames read; the rest stays unset
  uint64_t available() const;                            // reader: frames waiting
  void skip(uint64_t frames);                            // reader: drops that many of them
  uint64_t capacity() const { return capacity_; }
  void clear(); // only while neither side runs

private:
  std::vector<float> data_;
  uint32_t channels_;
  uint64_t capacity_;
  std::atomic<uint64_t> written_{0};
  std::atomic<uint64_t> read_{0};
};

} // namespace platform::audio
