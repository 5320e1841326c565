// The I/O side of one device: its callback slots, its preallocated buffers and the part of a
// cycle that calls the started callbacks and sums their outputs. Owned by the layer's device
// entry; allocated on the control side before any I/O thread can see it.
// Threading: slots cross to the I/O thread through atomics only; stop waits on the slot's
// in-flight counter. Everything marked audio thread neither allocates, locks nor waits.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/audio/host/plugin_host.h"
#include "platform/audio/layer/device_provider.h"
#include "platform/audio/layer/io_procs.h"

namespace platform::audio {

// Host-clock nanoseconds of a frame count at 48000 Hz, exact to the nanosecond below.
uint64_t framesToNanoseconds(uint64_t frames);

struct IoSlot {
  std::atomic<IoProc> proc{nullptr};
  std::atomic<void*> clientData{nullptr};
  std::atomic<bool> started{false};
  std::atomic<uint32_t> inFlight{0};
  IoProcId id = kNoIoProc; // control side only
};

class DeviceIo {
public:
  DeviceIo(ObjectId device, AspObjectId local, const std::vector<uint32_t>& inputBuffers,
           const std::vector<uint32_t>& outputBuffers, CycleFunction cycle, void* cycleContext);
  DeviceIo(const DeviceIo&) = delete;
  DeviceIo& operator=(const DeviceIo&) = delete;

  ObjectId device() const { return device_; }
  AspObjectId local() const { return local_; }
  bool hasInput() const { return !inputChannels_.empty(); }
  bool hasOutput() const { return !outputChannels_.empty(); }
  // Channels of each buffer, per direction.
  const std::vector<uint32_t>& inputLayout() const { return inputChannels_; }
  const std::vector<uint32_t>& outputLayout() const { return outputChannels_; }

  // Buffer storage, kMaxBufferFrames frames each; null past the last buffer.
  float* inputData(uint32_t buffer);
  float* outputData(uint32_t buffer);

  // One whole cycle through the provider. audio thread
  void runCycle(uint32_t frames, uint64_t now);
  // The callbacks' part of the cycle, called by the provider's cycle function. audio thread
  void deliver(uint32_t frames, const CycleTimes& times);
  // Graph cycles the device was not run for (its thread woke too late): the times its callbacks
  // see from now on lie that many frames further on, so a client can count the blocks it never
  // got to play. audio thread
  void skip(uint32_t frames) { skipped_ += frames; }

  // Control side: clears the slot's started flag and waits until no call of it is in flight.
  void stopSlot(IoSlot& slot);
  // Control side: waits until no manual-clock cycle of this device is in flight.
  void waitCyclesIdle();

  std::array<IoSlot, kMaxIoProcsPerDevice> slots;
  std::atomic<uint32_t> bufferFrames{kDefaultBufferFrames};
  std::atomic<bool> running{false};
  std::atomic<uint32_t> cyclesInFlight{0};
  uint32_t cycleFrames = 0;  // the current cycle's frames, for the provider's trampoline
  uint64_t nextDueFrame = 0; // manual clock only, guarded by its lock: when the next cycle
  uint32_t nextFrames = 0;   // runs and how many frames it covers (the size it was due with)

private:
  static void prepareList(BufferList& list, const std::vector<uint32_t>& channels,
                          std::vector<std::vector<float>>& storage, uint32_t frames);

  ObjectId device_;
  AspObjectId local_;
  CycleFunction cycle_;
  void* cycleContext_;
  std::vector<uint32_t> inputChannels_;
  std::vector<uint32_t> outputChannels_;
  double skipped_ = 0.0; // audio thread
  std::vector<std::vector<float>> input_;
  std::vector<std::vector<float>> mix_;
  std::vector<std::vector<float>> scratch_;
  BufferList inputList_{};
  BufferList outputList_{};
};

} // namespace platform::audio
