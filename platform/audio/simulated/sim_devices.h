// Simulated hardware devices of the audio layer, for tests: input and output devices with any
// buffer layout that can be plugged in and out while the layer runs (the device list's
// listeners are told). An input delivers a signal source; what an output plays (the sum of its
// callbacks and of the simulated processes playing to it) is captured for the test to take.
// Simplification: every device runs on the layer's clock at 48000 frames per second whatever
// its nominal rate says; the rate is only a property (settable to any of its available rates).
// Threading: the functions below are control calls (any thread but an I/O callback); the
// capture is filled on the device's I/O thread without locks and taken here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/audio/layer/properties.h"
#include "platform/audio/simulated/sim_signal.h"

namespace platform::audio {

// Faults a test can inject into one device.
struct SimFaults {
  bool failPropertyWrites = false; // every property write answers kStatusIllegalOperation
  bool refuseIoProcs = false;      // createIoProcId answers kStatusIllegalOperation
};

struct SimDeviceConfig {
  std::string name;
  std::string uid;
  // Channels of each buffer: {2} one interleaved stereo buffer, {1, 1} one buffer per channel,
  // {1} mono, {4} four interleaved channels. Empty: the device lacks that direction.
  std::vector<uint32_t> inputBuffers;
  std::vector<uint32_t> outputBuffers;
  double nominalRate = 48000.0;
  std::vector<double> availableRates = {44100.0, 48000.0}; // the nominal rate is added
  uint32_t bufferFrames = kDefaultBufferFrames;
  uint32_t inputLatency = 0; // frames, answered in the input scope
  uint32_t outputLatency = 0;
  uint32_t inputSafetyOffset = 0;
  uint32_t outputSafetyOffset = 0;
  uint32_t transport = kTransportBuiltIn;
  bool canBeDefault = true;
  SignalSource input;              // what the input delivers, from its first cycle on
  uint32_t captureFrames = 480000; // room of the output capture; what does not fit is dropped
  SimFaults faults;
};

// What an output device played since the last take, frames kept with their channel layout.
struct CapturedAudio {
  std::vector<uint32_t> layout; // channels of each output buffer
  uint32_t channels = 0;        // all channels, numbered over the buffers in order
  std::vector<float> samples;   // interleaved over all channels
  uint64_t dropped = 0;         // frames lost because the capture was full

  size_t frames() const { return channels == 0 ? 0 : samples.size() / channels; }
  float at(size_t frame, uint32_t channel) const { return samples[frame * channels + channel]; }
  std::vector<float> channel(uint32_t c) const;
};

// Plugs a device in. Returns its object id, or 0 when no system runs, the UID is empty or taken,
// it has no direction, a buffer has no channel or there are more than 32 buffers or 64 channels
// per direction, the buffer size is outside 16..4096, or a rate is not positive.
ObjectId addSimDevice(const SimDeviceConfig& config);
// Unplugs it: its callbacks stop, its id is gone. Adding the same configuration again plugs it
// back in under a new id. False when no simulated device has that UID.
bool removeSimDevice(const std::string& uid);
// The input's new signal, played from its first frame at the next cycle.
bool setSimInput(const std::string& uid, SignalSource source);
bool setSimFaults(const std::string& uid, SimFaults faults);
// Takes what the output played since the last take (empty for an unknown UID or an input-only
// device).
CapturedAudio takeSimOutput(const std::string& uid);

} // namespace platform::audio
