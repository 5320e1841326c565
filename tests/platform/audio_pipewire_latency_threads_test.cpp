// The latency of the machine's sound devices as a private PipeWire server tells it on the
// nodes' ports. The null nodes tell none; the test's own stream nodes tell what a device with
// hardware behind it would.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/latency-utils.h>

#include "platform/audio/layer/listeners.h"
#include "platform/audio/layer/notifications.h"
#include "platform/audio/pipewire/stereo_format.h"
#include "tests/support/pipewire/pipewire_test.h"

namespace {

namespace audio = platform::audio;
using velto::test::deviceForUid;
using velto::test::wordProperty;

// The layer's lists are looked at every 5 ms: each look takes the layer's locks.
bool waitUntil(const std::function<bool()>& done) {
  return velto::test::waitUntil(done, std::chrono::seconds(3), std::chrono::milliseconds(5));
}

// A stream of the test's own published as a source or a sink whose ports tell `latency`.
class LatencyNode {
public:
  LatencyNode(const std::string& socket, const std::string& name, bool source, uint32_t rate,
              const spa_latency_info& latency)
      : source_(source) {
    // The library is initialised already: the devices started first.
    loop_ = pw_thread_loop_new("test-latency-node", nullptr);
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    if (context_ == nullptr || pw_thread_loop_start(loop_) != 0) return;
    pw_thread_loop_lock(loop_);
    core_ = pw_context_connect(context_,
                               pw_properties_new(PW_KEY_REMOTE_NAME, socket.c_str(), nullptr), 0);
    const std::string rateText = std::to_string(rate);
    if (core_ != nullptr) {
      stream_ = pw_stream_new(
          core_, name.c_str(),
          pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CLASS,
                            source ? "Audio/Source" : "Audio/Sink", PW_KEY_NODE_NAME, name.c_str(),
                            PW_KEY_NODE_DESCRIPTION, name.c_str(), PW_KEY_AUDIO_RATE,
                            rateText.c_str(), PW_KEY_AUDIO_CHANNELS, "2", SPA_KEY_AUDIO_POSITION,
                            "FL,FR", nullptr));
    }
    if (stream_ != nullptr) {
      uint8_t buffer[1024];
      spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
      const spa_pod* params[] = {platform::audio::stereoFloatFormat(builder, rate),
                                 latencyParam(builder, latency)};
      connected_ = pw_stream_connect(stream_, source ? PW_DIRECTION_OUTPUT : PW_DIRECTION_INPUT,
                                     PW_ID_ANY, PW_STREAM_FLAG_MAP_BUFFERS, params, 1) == 0 &&
                   pw_stream_update_params(stream_, &params[1], 1) >= 0;
    }
    pw_thread_loop_unlock(loop_);
  }

  ~LatencyNode() {
    if (loop_ != nullptr) {
      pw_thread_loop_lock(loop_);
      if (stream_ != nullptr) pw_stream_destroy(stream_);
      if (core_ != nullptr) pw_core_disconnect(core_);
      pw_thread_loop_unlock(loop_);
      pw_thread_loop_stop(loop_);
    }
    if (context_ != nullptr) pw_context_destroy(context_);
    if (loop_ != nullptr) pw_thread_loop_destroy(loop_);
  }

  bool connected() const { return connected_; }

  // Tells another latency while it is listed.
  bool tell(const spa_latency_info& latency) {
    uint8_t buffer[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* param = latencyParam(builder, latency);
    pw_thread_loop_lock(loop_);
    const bool told = pw_stream_update_params(stream_, &param, 1) >= 0;
    pw_thread_loop_unlock(loop_);
    return told;
  }

private:
  const spa_pod* latencyParam(spa_pod_builder& builder, spa_latency_info latency) const {
    latency.direction = source_ ? SPA_DIRECTION_OUTPUT : SPA_DIRECTION_INPUT;
    return spa_latency_build(&builder, SPA_PARAM_Latency, &latency);
  }

  bool source_;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
  bool connected_ = false;
};

spa_latency_info latencyOf(float quanta, uint32_t frames, uint64_t nanoseconds) {
  spa_latency_info info{};
  info.min_quantum = info.max_quantum = quanta;
  info.min_rate = info.max_rate = frames;
  info.min_ns = info.max_ns = nanoseconds;
  return info;
}

class PipewireLatencyThreads : public velto::test::PipewireTest {
protected:
  PipewireLatencyThreads() : PipewireTest({}) {}
};

TEST_F(PipewireLatencyThreads, DeviceLatencyIsWhatItsPortsTellInFramesAtItsRate) {
  struct Case {
    const char* name;
    bool source;
    uint32_t rate; // the node's own
    spa_latency_info told;
    uint32_t bufferFrames;
    uint32_t frames; // the device's latency in its scope
  };
  const std::vector<Case> cases = {
      {"test.lat.frames", true, 48000, latencyOf(0.0f, 480, 0), 512, 480},
      {"test.lat.time", true, 48000, latencyOf(0.0f, 0, 2500000), 512, 120}, // 2.5 ms
      // One graph cycle of buffering at the buffer size asked, and 64 frames besides.
      {"test.lat.cycle", false, 48000, latencyOf(1.0f, 64, 0), 256, 320},
      // 480 frames of the 48 kHz graph and 1 ms at the node's 44.1 kHz: 441 + 44.1.
      {"test.lat.44k", false, 44100, latencyOf(0.0f, 480, 1000000), 512, 485},
  };
  std::vector<std::unique_ptr<LatencyNode>> nodes;
  for (const Case& c : cases) {
    nodes.push_back(
        std::make_unique<LatencyNode>(daemon_->socket(), c.name, c.source, c.rate, c.told));
    ASSERT_TRUE(nodes.back()->connected()) << c.name;
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(waitUntil([&] { return deviceForUid(c.name) != 0; })) << daemon_->nodes();
    const audio::ObjectId device = deviceForUid(c.name);
    ASSERT_EQ(velto::test::setWordProperty(device, audio::kPropBufferFrameSize, c.bufferFrames),
              kAspNoError);
    const uint32_t scope = c.source ? kAspScopeInput : kAspScopeOutput;
    EXPECT_TRUE(waitUntil([&] { return wordProperty(device, audio::kPropLatency, scope) != 0; }));
    EXPECT_EQ(wordProperty(device, audio::kPropLatency, scope), c.frames);
    EXPECT_EQ(wordProperty(device, audio::kPropSafetyOffset, scope), 0u);
  }
  // Null nodes tell none.
  ASSERT_TRUE(daemon_->addNode({"test.null.out", "Null Out", false, 2}));
  ASSERT_TRUE(daemon_->addNode({"test.null.in", "Null In", true, 2}));
  for (const auto& [name, scope] :
       {std::pair<const char*, uint32_t>{"test.null.out", kAspScopeOutput},
        {"test.null.in", kAspScopeInput}}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(waitUntil([&] { return deviceForUid(name) != 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // its ports have told
    EXPECT_EQ(wordProperty(deviceForUid(name), audio::kPropLatency, scope), 0u);
  }
}

TEST_F(PipewireLatencyThreads, LatencyToldAgainReachesTheDeviceAndItsListeners) {
  LatencyNode node(daemon_->socket(), "test.lat.change", true, 48000, latencyOf(0.0f, 256, 0));
  ASSERT_TRUE(node.connected());
  ASSERT_TRUE(waitUntil([] { return deviceForUid("test.lat.change") != 0; }));
  const audio::ObjectId device = deviceForUid("test.lat.change");
  ASSERT_TRUE(
      waitUntil([&] { return wordProperty(device, audio::kPropLatency, kAspScopeInput) == 256; }));
  velto::test::NoticeCounter notices(device, audio::kPropLatency);
  ASSERT_TRUE(node.tell(latencyOf(0.0f, 1024, 0)));
  EXPECT_TRUE(
      waitUntil([&] { return wordProperty(device, audio::kPropLatency, kAspScopeInput) == 1024; }));
  audio::flushNotifications();
  EXPECT_GE(notices.count(), 1);
  for (const AspPropertyAddress& address : notices.addresses()) {
    EXPECT_EQ(address.scope, kAspScopeInput) << "only the side that changed";
  }
  EXPECT_EQ(deviceForUid("test.lat.change"), device) << "still the same device";
}

} // namespace
