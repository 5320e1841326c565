// The provider behind one PipeWire node: answers the device's and its streams' properties from
// what the server told about the node, and while the device runs keeps a stream on the node
// (capture from a source, playback to a sink, both for a duplex node) at 48000 Hz, 32-bit float
// interleaved, whose process callback runs the device's cycles. One per device, owned by the
// layer's state. All streams share Velto's node group, so one driver runs them; in every graph
// cycle the output-only devices' cycles run first, before any input's, so that what an input
// captures in one cycle plays in the next whatever order the server runs the streams in.
// Threading: control calls under the layer's control lock (they take the connection's loop lock
// to open and close streams, never the other way round); the process callbacks run on the
// server connection's data thread and neither allocate nor lock.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "platform/audio/layer/device_io.h"
#include "platform/audio/layer/device_provider.h"
#include "platform/audio/layer/frame_ring.h"
#include "platform/audio/pipewire/mixer_node.h"
#include "platform/audio/pipewire/pipewire_node.h"

struct pw_stream;
struct spa_io_position;

namespace platform::audio {

class PipewireProvider final : public DeviceProvider {
public:
  static constexpr AspObjectId kDevice = 1;

  PipewireProvider(const PipewireNode& node, std::shared_ptr<PipewireConnection> connection);
  ~PipewireProvider() override;

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
  AspStatus stopDevice(AspObjectId local) override;

  CycleFunction cycleFunction() const override { return &PipewireProvider::cycle; }
  void* cycleContext() override { return this; }
  bool drivesClock() const override { return true; }
  void attachIo(AspObjectId, DeviceIo* io) override { io_ = io; }
  void bufferFramesChanged(AspObjectId local, uint32_t frames) override;

  const PipewireNode& node() const { return node_; }
  // Control lock held: the server told another latency for the input (or output) side.
  void setLatency(bool input, const PipewireLatency& latency);
  // A latency in frames at `rate` when a graph cycle is `quantum` frames, rounded.
  static uint32_t latencyFrames(const PipewireLatency& latency, double rate, uint32_t quantum);

  // Data thread: one cycle of the device run by the mixer's node, `input` and `output`
  // interleaved (null: the direction is not there). False when the device does not run (the
  // output is left as it is).
  bool runMixerCycle(const float* input, float* output, uint32_t frames, uint64_t now);
  // Data thread: graph cycles of `frames` in all that the mixer's node missed (DeviceIo::skip).
  void skipMixerFrames(uint32_t frames);

  // One direction's stream with its listener; the process callbacks find their way back here.
  struct Stream;

private:
  static void cycle(void* context, DeviceIo& io, uint32_t frames, uint64_t now); // audio thread
  static void onCapture(void* data);                                             // audio thread
  static void onPlayback(void* data);                                            // audio thread
  static void onIoChanged(void* data, uint32_t id, void* area, uint32_t size);
  // Audio thread: the first of the streams to run in a graph cycle runs the cycles of every
  // output-only device, each into its own block.
  static void startGraphCycle(const Stream& s);
  void runOutputCycle(const spa_io_position& cycle);
  void enlistOutput();  // control side, before the streams open
  void dismissOutput(); // control side; no callback uses this provider afterwards
  bool openStream(Stream& stream, bool capture, uint32_t frames);
  void closeStreams(); // loop lock held
  std::vector<ObjectId> streams(uint32_t scope) const;
  void tell(uint32_t selector, uint32_t scope);

  PipewireNode node_;
  double nominalRate_;
  std::shared_ptr<PipewireConnection> connection_;
  ChangeSink sink_;
  DeviceIo* io_ = nullptr;
  std::unique_ptr<Stream> capture_;
  std::unique_ptr<Stream> playback_;
  // Audio side.
  const float* pendingInput_ = nullptr;  // the capture buffer of the cycle that runs
  float* pendingOutput_ = nullptr;       // the playback buffer of the cycle that runs
  FrameRing duplexRing_;                 // a duplex node: its capture cycle's mix to its playback
  std::atomic<bool> duplexFresh_{false}; // its playback stream has not run since the start
  uint64_t playbackNext_ = 0;            // the graph position its playback runs at next
  double sampleTime_ = 0.0;
  std::vector<float> block_; // an output-only device's cycle of this graph cycle
  uint32_t blockFrames_ = 0;
  uint64_t blockPosition_ = UINT64_MAX; // the graph cycle the block belongs to
  bool enlisted_ = false;               // control side
  MixerNode::Member* member_ = nullptr; // control side: the device runs through the mixer's node
};

} // namespace platform::audio
