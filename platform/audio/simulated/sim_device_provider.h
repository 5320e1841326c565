// The provider behind one simulated device: a plugged-in test device (sim_devices.h) or an
// aggregate device (sim_taps.h). It answers the device's and its streams' properties, fills the
// input buffers of each cycle from its input parts (a signal source, a tap's mixdown, or
// silence) and captures what the output plays. Owned by the layer's state, one per device.
// Threading: control calls under the layer's control lock; cycle() runs on the device's I/O
// thread and neither allocates nor locks.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/layer/device_io.h"
#include "platform/audio/layer/device_provider.h"
#include "platform/audio/simulated/sim_devices.h"
#include "platform/audio/simulated/sim_objects.h"

namespace platform::audio {

// A run of input buffers that one source fills.
struct SimInputPart {
  std::vector<uint32_t> layout;      // channels of each of its buffers
  std::shared_ptr<SourceCell> cell;  // a device's input signal, or
  std::shared_ptr<SimTap> tap;       // a tap's stereo mixdown, or neither: silence
  std::vector<SourceCursor> cursors; // audio side: one per source (tap: per process)
};

// Frames kept for the test: filled by the I/O thread, taken by the control side.
class CaptureRing {
public:
  CaptureRing(uint32_t frames, uint32_t channels);
  void write(const float* interleaved, uint32_t frames); // audio thread
  void take(std::vector<float>& out, uint64_t* dropped); // control side
  uint32_t channels() const { return channels_; }

private:
  std::vector<float> data_;
  uint32_t channels_;
  uint64_t capacity_; // frames
  std::atomic<uint64_t> written_{0};
  std::atomic<uint64_t> read_{0};
  std::atomic<uint64_t> dropped_{0};
};

class SimDeviceProvider final : public DeviceProvider {
public:
  static constexpr AspObjectId kDevice = 1;

  // `config` gives everything but the input source (the parts do); `aggregate` answers as an
  // aggregate device; `hidden` keeps it out of the device list.
  SimDeviceProvider(const SimDeviceConfig& config, std::vector<SimInputPart> parts, bool aggregate,
                    bool hidden);

  std::vector<ProvidedObject> objects() const override;
  std::vector<ProvidedDevice> devices() const override;
  bool isPlugIn() const override { return false; }

  bool hasProperty(AspObjectId local, const AspPropertyAddress& address) const override;
  AspStatus isPropertySettable(AspObjectId local, const AspPropertyAddress& address,
                               bool* outSettable) const override;
  AspStatus getPropertyDataSize(AspObjectId local, const AspPropertyAddress& address,
                                uint32_t qualifierSize, const void* qualifier,
                                uint32_t* outSize) const override;
  AspStatus getPropertyData(AspObjectId local, const AspPropertyAddress& address,
                            uint32_t qualifierSize, const void* qualifier, uint32_t size,
                            uint32_t* outSize, void* outData) const override;
  AspStatus setPropertyData(AspObjectId local, const AspPropertyAddress& address,
                            uint32_t qualifierSize, const void* qualifier, uint32_t size,
                            const void* data) override;

  void setChangeSink(ChangeSink sink) override { sink_ = std::move(sink); }

  AspStatus startDevice(AspObjectId local) override;
  AspStatus stopDevice(AspObjectId) override { return kAspNoError; }

  CycleFunction cycleFunction() const override { return &SimDeviceProvider::cycle; }
  void* cycleContext() override { return this; }

  bool aggregate() const { return aggregate_; }
  // The device's own input signal (null for an aggregate); aggregates share it.
  const std::shared_ptr<SourceCell>& inputCell() const { return inputCell_; }
  const std::vector<uint32_t>& inputLayout() const { return config_.inputBuffers; }
  CapturedAudio takeOutput();

private:
  struct Stream {
    AspObjectId local;
    bool input;
    uint32_t channels;
    uint32_t firstChannel; // 1-based, over the direction's buffers
  };
  static void cycle(void* context, DeviceIo& io, uint32_t frames, uint64_t now); // audio thread
  void fillInputs(DeviceIo& io, uint32_t frames);                                // audio thread
  void capture(DeviceIo& io, uint32_t frames);                                   // audio thread
  bool hasScope(uint32_t scope) const;
  std::vector<ObjectId> streams(uint32_t scope) const;
  const Stream* stream(AspObjectId local) const;
  void tell(AspObjectId local, uint32_t selector, uint32_t scope);

  SimDeviceConfig config_;
  bool aggregate_;
  bool hidden_;
  std::vector<Stream> streams_;
  std::shared_ptr<SourceCell> inputCell_;
  float inputVolume_ = 1.0f;
  float outputVolume_ = 1.0f;
  uint32_t inputMute_ = 0;
  uint32_t outputMute_ = 0;
  ChangeSink sink_;
  // Audio side.
  std::vector<SimInputPart> parts_;
  std::vector<float> scratch_; // interleaved frames of the widest part (and of the capture)
  std::vector<float> mixdown_; // a tap's stereo sum
  std::unique_ptr<CaptureRing> capture_;
  double sampleTime_ = 0.0;
};

// The simulated provider behind a device, null for any other device. Control lock held.
SimDeviceProvider* simProviderOf(DeviceEntry& device);

} // namespace platform::audio
