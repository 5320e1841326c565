// The system's default output and input devices, and device volume and mute: forwarded to the
// driver's controls for its devices (both ways, with listeners), kept by simulated devices.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/audio/layer/audio_system.h"
#include "platform/audio/layer/listeners.h"
#include "platform/audio/simulated/sim_devices.h"
#include "tests/support/audio_test_system.h"

namespace {

namespace audio = platform::audio;
using velto::test::addMicrophone;
using velto::test::addSpeaker;
using velto::test::AudioTestSystem;
using velto::test::controlOf;
using velto::test::deviceForUid;
using velto::test::floatProperty;
using velto::test::NoticeCounter;
using velto::test::setFloatProperty;
using velto::test::setWordProperty;
using velto::test::speakerConfig;
using velto::test::wordProperty;

audio::ObjectId defaultDevice(uint32_t selector) {
  return wordProperty(audio::kSystemObject, selector);
}

AspStatus makeDefault(uint32_t selector, audio::ObjectId device) {
  return setWordProperty(audio::kSystemObject, selector, device);
}

struct DefaultCase {
  const char* uid;
  uint32_t selector;
  AspStatus expected;
};

TEST(AudioDefaultDevicesThreads, OnlyAListedDeviceOfTheRightDirectionCanBeDefault) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  ASSERT_NE(addSpeaker("spk", "Speaker"), 0u);
  ASSERT_NE(addMicrophone("mic", "Mic", audio::SignalSource::silence()), 0u);
  audio::SimDeviceConfig never = speakerConfig("hdmi", "Monitor");
  never.canBeDefault = false;
  ASSERT_NE(audio::addSimDevice(never), 0u);
  const DefaultCase cases[] = {
      {"spk", audio::kPropDefaultOutputDevice, kAspNoError},
      {"VeltoDefaultOutput_UID", audio::kPropDefaultOutputDevice, kAspNoError},
      {"mic", audio::kPropDefaultOutputDevice, audio::kStatusIllegalOperation},
      {"VeltoOut1_UID", audio::kPropDefaultOutputDevice, audio::kStatusIllegalOperation},
      {"VeltoClock_UID", audio::kPropDefaultOutputDevice, audio::kStatusIllegalOperation},
      {"VeltoOut1Feed_UID", audio::kPropDefaultOutputDevice, audio::kStatusIllegalOperation},
      {"hdmi", audio::kPropDefaultOutputDevice, audio::kStatusIllegalOperation},
      {"mic", audio::kPropDefaultInputDevice, kAspNoError},
      {"VeltoOut2_UID", audio::kPropDefaultInputDevice, kAspNoError},
      {"spk", audio::kPropDefaultInputDevice, audio::kStatusIllegalOperation},
      {"VeltoDefaultOutputReturn_UID", audio::kPropDefaultInputDevice,
       audio::kStatusIllegalOperation},
  };
  for (const DefaultCase& c : cases) {
    const audio::ObjectId device = deviceForUid(c.uid);
    ASSERT_NE(device, 0u) << c.uid;
    const audio::ObjectId before = defaultDevice(c.selector);
    EXPECT_EQ(makeDefault(c.selector, device), c.expected) << c.uid;
    EXPECT_EQ(defaultDevice(c.selector), c.expected == kAspNoError ? device : before) << c.uid;
  }
  EXPECT_EQ(makeDefault(audio::kPropDefaultOutputDevice, 9999), audio::kStatusBadDevice);
  const AspPropertyAddress address{audio::kPropDefaultOutputDevice, kAspScopeGlobal,
                                   kAspElementMain};
  uint16_t tooSmall = 0;
  EXPECT_EQ(audio::setPropertyData(audio::kSystemObject, &address, 0, nullptr, sizeof tooSmall,
                                   &tooSmall),
            kAspBadPropertySize);
  bool settable = false;
  ASSERT_EQ(audio::isPropertySettable(audio::kSystemObject, &address, &settable), kAspNoError);
  EXPECT_TRUE(settable);
}

TEST(AudioDefaultDevicesThreads, NoDefaultUntilOneIsChosen) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  EXPECT_EQ(defaultDevice(audio::kPropDefaultOutputDevice), 0u);
  EXPECT_EQ(defaultDevice(audio::kPropDefaultInputDevice), 0u);
}

TEST(AudioDefaultDevicesThreads, ListenersHearChangesOnlyAndAnUnpluggedDefaultComesBack) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  NoticeCounter output(audio::kSystemObject, audio::kPropDefaultOutputDevice);
  NoticeCounter input(audio::kSystemObject, audio::kPropDefaultInputDevice);
  const audio::ObjectId speaker = addSpeaker("spk", "Speaker");
  const audio::ObjectId velto = deviceForUid("VeltoDefaultOutput_UID");
  ASSERT_EQ(makeDefault(audio::kPropDefaultOutputDevice, speaker), kAspNoError);
  ASSERT_EQ(makeDefault(audio::kPropDefaultOutputDevice, speaker), kAspNoError);
  audio::flushNotifications();
  EXPECT_EQ(output.count(), 1);
  ASSERT_EQ(makeDefault(audio::kPropDefaultOutputDevice, velto), kAspNoError);
  ASSERT_EQ(makeDefault(audio::kPropDefaultOutputDevice, speaker), kAspNoError);
  audio::flushNotifications();
  EXPECT_EQ(output.count(), 3);
  EXPECT_EQ(input.count(), 0);

  // Unplugged, the default is gone (and told); plugged in again, it is the default again.
  ASSERT_TRUE(audio::removeSimDevice("spk"));
  EXPECT_EQ(defaultDevice(audio::kPropDefaultOutputDevice), 0u);
  audio::flushNotifications();
  EXPECT_EQ(output.count(), 4);
  const audio::ObjectId replugged = addSpeaker("spk", "Speaker");
  EXPECT_EQ(defaultDevice(audio::kPropDefaultOutputDevice), replugged);
  audio::flushNotifications();
  EXPECT_EQ(output.count(), 5);
}

TEST(AudioDefaultDevicesThreads, DriverDefaultSurvivesAServerRestartUnderItsNewId) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const audio::ObjectId before = deviceForUid("VeltoOut3_UID");
  ASSERT_EQ(makeDefault(audio::kPropDefaultInputDevice, before), kAspNoError);
  audio::flushNotifications();
  NoticeCounter input(audio::kSystemObject, audio::kPropDefaultInputDevice);
  ASSERT_TRUE(audio::restartServer());
  const audio::ObjectId after = deviceForUid("VeltoOut3_UID");
  EXPECT_NE(after, before);
  EXPECT_EQ(defaultDevice(audio::kPropDefaultInputDevice), after);
  audio::flushNotifications();
  EXPECT_EQ(input.count(), 1);
}

// The driver's "Velto Input" has its controls in the output scope, the visible virtual outputs
// in the input scope.
struct VolumeCase {
  const char* uid;
  uint32_t scope;
};

class AudioDeviceVolumeThreads : public ::testing::TestWithParam<VolumeCase> {};

TEST_P(AudioDeviceVolumeThreads, DeviceVolumeAndMuteAreTheDriversControls) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const VolumeCase c = GetParam();
  const audio::ObjectId device = deviceForUid(c.uid);
  const audio::ObjectId volume = controlOf(device, kAspClassVolumeControl);
  const audio::ObjectId mute = controlOf(device, kAspClassMuteControl);
  ASSERT_NE(volume, 0u);
  ASSERT_NE(mute, 0u);
  const uint32_t otherScope = c.scope == kAspScopeOutput ? kAspScopeInput : kAspScopeOutput;
  const AspPropertyAddress wrong{audio::kPropVolumeScalar, otherScope, kAspElementMain};
  EXPECT_FALSE(audio::hasProperty(device, &wrong));

  NoticeCounter deviceVolume(device, audio::kPropVolumeScalar, c.scope);
  NoticeCounter deviceMute(device, audio::kPropMute, c.scope);
  EXPECT_FLOAT_EQ(floatProperty(device, audio::kPropVolumeScalar, c.scope), 1.0f);

  // Through the device: the control holds the value.
  ASSERT_EQ(setFloatProperty(device, audio::kPropVolumeScalar, 0.5f, c.scope), kAspNoError);
  EXPECT_FLOAT_EQ(floatProperty(volume, kAspPropScalarValue), 0.5f);
  EXPECT_NEAR(floatProperty(volume, kAspPropDecibelValue), -18.06f, 0.01f);
  ASSERT_EQ(setWordProperty(device, audio::kPropMute, 1, c.scope), kAspNoError);
  EXPECT_EQ(wordProperty(mute, kAspPropBooleanValue), 1u);
  // Through the control: the device reports it, and its listeners hear it.
  ASSERT_EQ(setFloatProperty(volume, kAspPropDecibelValue, -30.0f), kAspNoError);
  EXPECT_NEAR(floatProperty(device, audio::kPropVolumeScalar, c.scope), 0.316f, 0.001f);
  ASSERT_EQ(setWordProperty(mute, kAspPropBooleanValue, 0), kAspNoError);
  EXPECT_EQ(wordProperty(device, audio::kPropMute, c.scope), 0u);

  audio::flushNotifications();
  EXPECT_EQ(deviceVolume.count(), 2);
  EXPECT_EQ(deviceMute.count(), 2);
  for (const AspPropertyAddress& a : deviceVolume.addresses()) {
    EXPECT_EQ(a.selector, audio::kPropVolumeScalar);
    EXPECT_EQ(a.scope, c.scope);
  }
}

INSTANTIATE_TEST_SUITE_P(Driver, AudioDeviceVolumeThreads,
                         ::testing::Values(VolumeCase{"VeltoDefaultOutput_UID", kAspScopeOutput},
                                           VolumeCase{"VeltoOut2_UID", kAspScopeInput}),
                         [](const ::testing::TestParamInfo<VolumeCase>& info) {
                           return info.param.scope == kAspScopeOutput ? std::string("VeltoInput")
                                                                      : std::string("VeltoOut2");
                         });

TEST(AudioDeviceVolumeThreads, DevicesWithoutControlsHaveNoVolume) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const audio::ObjectId feed = deviceForUid("VeltoOut1Feed_UID");
  const AspPropertyAddress volume{audio::kPropVolumeScalar, kAspScopeOutput, kAspElementMain};
  EXPECT_FALSE(audio::hasProperty(feed, &volume));
  float value = 0.3f;
  EXPECT_EQ(audio::setPropertyData(feed, &volume, 0, nullptr, sizeof value, &value),
            kAspUnknownProperty);
}

TEST(AudioDeviceVolumeThreads, DriverVolumeSetOnTheDeviceIsStoredAcrossARestart) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  ASSERT_EQ(setFloatProperty(deviceForUid("VeltoDefaultOutput_UID"), audio::kPropVolumeScalar,
                             0.25f, kAspScopeOutput),
            kAspNoError);
  ASSERT_TRUE(audio::restartServer());
  EXPECT_FLOAT_EQ(floatProperty(deviceForUid("VeltoDefaultOutput_UID"), audio::kPropVolumeScalar,
                                kAspScopeOutput),
                  0.25f);
}

TEST(AudioDeviceVolumeThreads, SimulatedDeviceKeepsVolumeAndMutePerScope) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  audio::SimDeviceConfig config = speakerConfig("iface", "Interface");
  config.inputBuffers = {2};
  const audio::ObjectId device = audio::addSimDevice(config);
  NoticeCounter out(device, audio::kPropVolumeScalar, kAspScopeOutput);
  NoticeCounter in(device, audio::kPropVolumeScalar, kAspScopeInput);
  NoticeCounter mute(device, audio::kPropMute);
  ASSERT_EQ(setFloatProperty(device, audio::kPropVolumeScalar, 0.7f, kAspScopeOutput), kAspNoError);
  ASSERT_EQ(setFloatProperty(device, audio::kPropVolumeScalar, 0.7f, kAspScopeOutput), kAspNoError);
  ASSERT_EQ(setFloatProperty(device, audio::kPropVolumeScalar, 3.0f, kAspScopeInput), kAspNoError);
  EXPECT_EQ(setFloatProperty(device, audio::kPropVolumeScalar, std::nanf(""), kAspScopeInput),
            kAspUnsupportedFormat);
  ASSERT_EQ(setWordProperty(device, audio::kPropMute, 5, kAspScopeOutput), kAspNoError);
  EXPECT_FLOAT_EQ(floatProperty(device, audio::kPropVolumeScalar, kAspScopeOutput), 0.7f);
  EXPECT_FLOAT_EQ(floatProperty(device, audio::kPropVolumeScalar, kAspScopeInput), 1.0f);
  EXPECT_EQ(wordProperty(device, audio::kPropMute, kAspScopeOutput), 1u);
  EXPECT_EQ(wordProperty(device, audio::kPropMute, kAspScopeInput), 0u);
  audio::flushNotifications();
  EXPECT_EQ(out.count(), 1); // a repeated value is not told again
  EXPECT_EQ(in.count(), 0);  // 3.0 is clamped to the 1.0 it already had
  EXPECT_EQ(mute.count(), 1);
}

} // namespace
