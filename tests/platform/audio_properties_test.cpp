// The buffer-size property the layer keeps itself, driver controls set through the client side,
// values across an audio-server restart, and the asynchronous delivery of property listeners.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/audio/layer/listeners.h"
#include "platform/audio/layer/properties.h"
#include "tests/support/audio_test_system.h"

namespace {

namespace audio = platform::audio;
using velto::test::AudioTestSystem;
using velto::test::controlOf;
using velto::test::deviceForUid;
using velto::test::deviceList;
using velto::test::floatProperty;
using velto::test::wordProperty;

AspPropertyAddress global(uint32_t selector) {
  return AspPropertyAddress{selector, kAspScopeGlobal, kAspElementMain};
}

// Records every call: the thread it came on, the addresses, and (when asked) the value of a
// 32-bit property of the object read back through the layer from inside the listener, which
// a listener called from inside the setter could not do.
struct Recorder {
  uint32_t probe = 0; // selector to read back, 0 = none
  std::atomic<int> calls{0};
  std::mutex mutex;
  std::vector<AspPropertyAddress> addresses;
  std::vector<audio::ObjectId> objects;
  std::vector<uint32_t> probed; // raw 32 bits
  std::thread::id thread;
};

AspStatus record(audio::ObjectId object, uint32_t count, const AspPropertyAddress* addresses,
                 void* clientData) {
  auto& r = *static_cast<Recorder*>(clientData);
  uint32_t value = 0;
  if (r.probe != 0) {
    const AspPropertyAddress address = global(r.probe);
    uint32_t size = sizeof value;
    if (audio::getPropertyData(object, &address, 0, nullptr, &size, &value) != kAspNoError) {
      value = 0xFFFFFFFFu;
    }
  }
  std::lock_guard<std::mutex> lock(r.mutex);
  r.probed.push_back(value);
  r.objects.push_back(object);
  r.addresses.insert(r.addresses.end(), addresses, addresses + count);
  r.thread = std::this_thread::get_id();
  r.calls.fetch_add(1);
  return kAspNoError;
}

AspStatus setWord(audio::ObjectId object, uint32_t selector, uint32_t value) {
  const AspPropertyAddress address = global(selector);
  return audio::setPropertyData(object, &address, 0, nullptr, sizeof value, &value);
}

AspStatus setFloat(audio::ObjectId object, uint32_t selector, float value) {
  const AspPropertyAddress address = global(selector);
  return audio::setPropertyData(object, &address, 0, nullptr, sizeof value, &value);
}

TEST(AudioPropertiesThreads, BufferFrameSizeDefaultsTo512InEveryScope) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const audio::ObjectId device = deviceForUid("VeltoClock_UID");
  ASSERT_NE(device, 0u);
  for (uint32_t scope : {kAspScopeGlobal, kAspScopeInput, kAspScopeOutput}) {
    EXPECT_EQ(wordProperty(device, audio::kPropBufferFrameSize, scope), 512u);
  }
  const AspPropertyAddress range = global(audio::kPropBufferFrameSizeRange);
  AspValueRange value{0, 0};
  uint32_t size = sizeof value;
  ASSERT_EQ(audio::getPropertyData(device, &range, 0, nullptr, &size, &value), kAspNoError);
  EXPECT_EQ(value.minimum, 16.0);
  EXPECT_EQ(value.maximum, 4096.0);
  bool settable = false;
  const AspPropertyAddress frames = global(audio::kPropBufferFrameSize);
  EXPECT_EQ(audio::isPropertySettable(device, &frames, &settable), kAspNoError);
  EXPECT_TRUE(settable);
  EXPECT_EQ(audio::isPropertySettable(device, &range, &settable), kAspNoError);
  EXPECT_FALSE(settable);
  // Streams and controls are no devices: the layer does not answer for them.
  const audio::ObjectId volume = controlOf(deviceForUid("VeltoOut1_UID"), kAspClassVolumeControl);
  ASSERT_NE(volume, 0u);
  EXPECT_FALSE(audio::hasProperty(volume, &frames));
}

struct FrameSizeCase {
  uint32_t value;
  uint32_t size;
  AspStatus status;
  uint32_t after;
};

TEST(AudioPropertiesThreads, BufferFrameSizeAcceptsOnlyTheRange) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const audio::ObjectId device = deviceForUid("VeltoOut2Feed_UID");
  ASSERT_NE(device, 0u);
  const FrameSizeCase cases[] = {
      {128, 4, kAspNoError, 128},
      {16, 4, kAspNoError, 16},
      {4096, 4, kAspNoError, 4096},
      {15, 4, kAspUnsupportedFormat, 4096},
      {4097, 4, kAspUnsupportedFormat, 4096},
      {256, 2, kAspBadPropertySize, 4096},
      {32, 4, kAspNoError, 32},
  };
  const AspPropertyAddress address = global(audio::kPropBufferFrameSize);
  for (const FrameSizeCase& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(audio::setPropertyData(device, &address, 0, nullptr, c.size, &c.value), c.status);
    EXPECT_EQ(wordProperty(device, audio::kPropBufferFrameSize), c.after);
  }
  // Each device keeps its own size.
  EXPECT_EQ(wordProperty(deviceForUid("VeltoOut2_UID"), audio::kPropBufferFrameSize), 512u);
}

TEST(AudioPropertiesThreads, BufferFrameSizeListenerIsToldLaterOnTheNotificationThread) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const audio::ObjectId device = deviceForUid("VeltoClock_UID");
  const audio::ObjectId other = deviceForUid("VeltoOut1Feed_UID");
  const AspPropertyAddress frames = global(audio::kPropBufferFrameSize);
  const AspPropertyAddress anything{audio::kWildcardSelector, audio::kWildcardScope,
                                    audio::kWildcardElement};
  Recorder exact, wildcard, elsewhere;
  exact.probe = audio::kPropBufferFrameSize;
  ASSERT_EQ(audio::addPropertyListener(device, &frames, record, &exact), kAspNoError);
  ASSERT_EQ(audio::addPropertyListener(device, &anything, record, &wildcard), kAspNoError);
  ASSERT_EQ(audio::addPropertyListener(other, &frames, record, &elsewhere), kAspNoError);

  ASSERT_EQ(setWord(device, audio::kPropBufferFrameSize, 128), kAspNoError);
  audio::flushNotifications();

  EXPECT_EQ(exact.calls.load(), 1);
  EXPECT_NE(exact.thread, std::this_thread::get_id());
  EXPECT_EQ(exact.probed, std::vector<uint32_t>{128});
  ASSERT_EQ(exact.addresses.size(), 1u);
  EXPECT_EQ(exact.addresses[0].selector, audio::kPropBufferFrameSize);
  EXPECT_EQ(exact.objects[0], device);
  EXPECT_EQ(wildcard.calls.load(), 1);
  EXPECT_EQ(elsewhere.calls.load(), 0);

  // The same value again changes nothing and tells nobody.
  ASSERT_EQ(setWord(device, audio::kPropBufferFrameSize, 128), kAspNoError);
  audio::flushNotifications();
  EXPECT_EQ(exact.calls.load(), 1);

  // A removed listener hears nothing more.
  EXPECT_EQ(audio::removePropertyListener(device, &frames, record, &exact), kAspNoError);
  EXPECT_EQ(audio::removePropertyListener(device, &frames, record, &exact),
            audio::kStatusIllegalOperation);
  ASSERT_EQ(setWord(device, audio::kPropBufferFrameSize, 256), kAspNoError);
  audio::flushNotifications();
  EXPECT_EQ(exact.calls.load(), 1);
  EXPECT_EQ(wildcard.calls.load(), 2);
}

TEST(AudioPropertiesThreads, VolumeSetThroughTheClientSideReachesTheDriverAndItsListeners) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const audio::ObjectId out2 = deviceForUid("VeltoOut2_UID");
  const audio::ObjectId volume = controlOf(out2, kAspClassVolumeControl);
  ASSERT_NE(volume, 0u);
  EXPECT_FLOAT_EQ(floatProperty(volume, kAspPropScalarValue), 1.0f);

  const AspPropertyAddress scalar = global(kAspPropScalarValue);
  Recorder recorder;
  recorder.probe = kAspPropScalarValue;
  ASSERT_EQ(audio::addPropertyListener(volume, &scalar, record, &recorder), kAspNoError);
  ASSERT_EQ(setFloat(volume, kAspPropScalarValue, 0.5f), kAspNoError);
  audio::flushNotifications();
  EXPECT_EQ(recorder.calls.load(), 1);
  EXPECT_NE(recorder.thread, std::this_thread::get_id());
  ASSERT_EQ(recorder.probed.size(), 1u);
  float seen = 0.0f;
  std::memcpy(&seen, &recorder.probed[0], sizeof seen);
  EXPECT_EQ(seen, 0.5f);
  ASSERT_EQ(recorder.addresses.size(), 1u); // 'lcdv' changed too, but does not match
  EXPECT_EQ(recorder.addresses[0].selector, kAspPropScalarValue);
  EXPECT_EQ(recorder.objects[0], volume); // the driver's local id came back as the global one
  EXPECT_NEAR(floatProperty(volume, kAspPropDecibelValue), 60.0 * std::log10(0.5), 0.01);

  ASSERT_EQ(setFloat(volume, kAspPropDecibelValue, -30.0f), kAspNoError);
  EXPECT_NEAR(floatProperty(volume, kAspPropScalarValue), std::pow(10.0, -0.5), 0.001);
  audio::flushNotifications();
  EXPECT_EQ(recorder.calls.load(), 2);
}

TEST(AudioPropertiesThreads, ControlValuesSurviveAServerRestartUnderNewIds) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const audio::ObjectId input = deviceForUid("VeltoDefaultOutput_UID");
  const audio::ObjectId out2 = deviceForUid("VeltoOut2_UID");
  ASSERT_EQ(setFloat(controlOf(input, kAspClassVolumeControl), kAspPropScalarValue, 0.25f),
            kAspNoError);
  ASSERT_EQ(setWord(controlOf(out2, kAspClassMuteControl), kAspPropBooleanValue, 1), kAspNoError);
  const std::vector<audio::ObjectId> before = deviceList();

  const AspPropertyAddress devices = global(audio::kPropDevices);
  Recorder recorder;
  ASSERT_EQ(audio::addPropertyListener(audio::kSystemObject, &devices, record, &recorder),
            kAspNoError);
  ASSERT_TRUE(audio::restartServer());
  audio::flushNotifications();
  EXPECT_EQ(recorder.calls.load(), 1);

  const std::vector<audio::ObjectId> after = deviceList();
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) EXPECT_NE(after[i], before[i]);
  EXPECT_EQ(velto::test::textProperty(input, kAspPropName), ""); // the old id is gone

  const audio::ObjectId newInput = deviceForUid("VeltoDefaultOutput_UID");
  const audio::ObjectId newOut2 = deviceForUid("VeltoOut2_UID");
  EXPECT_FLOAT_EQ(floatProperty(controlOf(newInput, kAspClassVolumeControl), kAspPropScalarValue),
                  0.25f);
  EXPECT_EQ(wordProperty(controlOf(newOut2, kAspClassMuteControl), kAspPropBooleanValue), 1u);
  EXPECT_EQ(wordProperty(controlOf(deviceForUid("VeltoOut3_UID"), kAspClassMuteControl),
                         kAspPropBooleanValue),
            0u);
}

TEST(AudioListenersThreads, AddingChecksTheObjectAndKeepsOneEntryPerListener) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const AspPropertyAddress frames = global(audio::kPropBufferFrameSize);
  Recorder recorder;
  EXPECT_EQ(audio::addPropertyListener(100000, &frames, record, &recorder), kAspBadObject);
  const audio::ObjectId device = deviceForUid("VeltoClock_UID");
  EXPECT_EQ(audio::addPropertyListener(device, &frames, record, &recorder), kAspNoError);
  EXPECT_EQ(audio::addPropertyListener(device, &frames, record, &recorder), kAspNoError);
  ASSERT_EQ(setWord(device, audio::kPropBufferFrameSize, 64), kAspNoError);
  audio::flushNotifications();
  EXPECT_EQ(recorder.calls.load(), 1);
}

// A listener that removes itself while it is being called.
struct SelfRemover {
  audio::ObjectId device = 0;
  std::atomic<int> calls{0};
  std::atomic<AspStatus> removal{-1};
};

AspStatus removeSelf(audio::ObjectId object, uint32_t, const AspPropertyAddress*, void* data) {
  auto& self = *static_cast<SelfRemover*>(data);
  self.calls.fetch_add(1);
  const AspPropertyAddress frames = global(audio::kPropBufferFrameSize);
  self.removal = audio::removePropertyListener(object, &frames, removeSelf, data);
  return kAspNoError;
}

TEST(AudioListenersThreads, AListenerMayRemoveItselfWhileCalled) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  SelfRemover self;
  self.device = deviceForUid("VeltoClock_UID");
  const AspPropertyAddress frames = global(audio::kPropBufferFrameSize);
  ASSERT_EQ(audio::addPropertyListener(self.device, &frames, removeSelf, &self), kAspNoError);
  ASSERT_EQ(setWord(self.device, audio::kPropBufferFrameSize, 64), kAspNoError);
  audio::flushNotifications();
  EXPECT_EQ(self.calls.load(), 1);
  EXPECT_EQ(self.removal.load(), kAspNoError);
  ASSERT_EQ(setWord(self.device, audio::kPropBufferFrameSize, 128), kAspNoError);
  audio::flushNotifications();
  EXPECT_EQ(self.calls.load(), 1);
}

// A slow listener, to catch removal while a call is in flight.
struct SlowListener {
  std::atomic<bool> inside{false};
  std::atomic<int> finished{0};
};

AspStatus slowCall(audio::ObjectId, uint32_t, const AspPropertyAddress*, void* data) {
  auto& slow = *static_cast<SlowListener*>(data);
  slow.inside = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  slow.finished.fetch_add(1);
  slow.inside = false;
  return kAspNoError;
}

TEST(AudioListenersThreads, RemovalReturnsOnlyAfterTheCallInFlight) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const audio::ObjectId device = deviceForUid("VeltoClock_UID");
  const AspPropertyAddress frames = global(audio::kPropBufferFrameSize);
  SlowListener slow;
  ASSERT_EQ(audio::addPropertyListener(device, &frames, slowCall, &slow), kAspNoError);
  ASSERT_EQ(setWord(device, audio::kPropBufferFrameSize, 64), kAspNoError);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!slow.inside.load() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  ASSERT_TRUE(slow.inside.load());
  EXPECT_EQ(audio::removePropertyListener(device, &frames, slowCall, &slow), kAspNoError);
  EXPECT_FALSE(slow.inside.load());
  EXPECT_EQ(slow.finished.load(), 1);
}

} // namespace
