// Volume and mute controls: the cube-law dB mapping, clamping, refusals, change notices to the
// host, and their storage across an audio-server restart.
#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "tests/driver/driver_harness.h"

namespace velto::test {
namespace {

constexpr AspObjectId kInputVolume = 5;
constexpr AspObjectId kInputMute = 6;
constexpr AspObjectId kOut1Volume = 15;
constexpr AspObjectId kOut2Volume = 25;
constexpr AspObjectId kOut2Mute = 26;
constexpr AspObjectId kOut3Volume = 35;
constexpr AspObjectId kOut3Mute = 36;

struct Notice {
  AspObjectId object;
  std::vector<AspPropertyAddress> addresses;
};

class Controls : public DriverTest {
protected:
  void SetUp() override {
    DriverTest::SetUp();
    if (HasFatalFailure()) return;
    host().setChangeHandler([this](AspObjectId object, const std::vector<AspPropertyAddress>& a) {
      notices_.push_back({object, a});
    });
  }
  std::vector<Notice> notices_;
};

TEST_F(Controls, DecibelLawAndClamping) {
  struct Case {
    uint32_t selector; // what is set
    float value;
    float scalar; // 'lcsv' read back
    float db;     // 'lcdv' read back
  };
  const Case cases[] = {
      {kAspPropDecibelValue, -120.0f, 0.0f, -96.0f},
      {kAspPropScalarValue, 0.5f, 0.5f, -18.0618f},
      {kAspPropDecibelValue, -30.0f, 0.316228f, -30.0f},
      {kAspPropScalarValue, 1.7f, 1.0f, 0.0f},
      {kAspPropScalarValue, -0.2f, 0.0f, -96.0f},
      {kAspPropDecibelValue, 6.0f, 1.0f, 0.0f},
      {kAspPropDecibelValue, -96.0f, 0.0f, -96.0f},
      {kAspPropDecibelValue, -95.0f, 0.0261016f, -95.0f},
      {kAspPropScalarValue, 1e-7f, 1e-7f, -96.0f},
      {kAspPropDecibelValue, 0.0f, 1.0f, 0.0f},
  };
  for (AspObjectId volume : {kInputVolume, kOut1Volume, kOut2Volume, kOut3Volume}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << volume << " " << c.value);
      ASSERT_EQ(setF32(host(), volume, c.selector, c.value), kAspNoError);
      EXPECT_NEAR(getF32(host(), volume, kAspPropScalarValue), c.scalar, 2e-6f);
      EXPECT_NEAR(getF32(host(), volume, kAspPropDecibelValue), c.db, 1e-3f);
    }
  }
  AspValueRange range{};
  uint32_t written = 0;
  ASSERT_EQ(host().getPropertyData(kOut1Volume, address(kAspPropDecibelRange), 0, nullptr,
                                   sizeof range, &written, &range),
            kAspNoError);
  EXPECT_EQ(range.minimum, -96.0);
  EXPECT_EQ(range.maximum, 0.0);
}

TEST_F(Controls, ConvertsBetweenScalarAndDecibelsInPlace) {
  struct Case {
    uint32_t selector;
    float in;
    float out;
  };
  for (Case c :
       {Case{kAspPropScalarToDecibels, 0.5f, -18.0618f},
        Case{kAspPropScalarToDecibels, 0.0f, -96.0f}, Case{kAspPropScalarToDecibels, 1.0f, 0.0f},
        Case{kAspPropScalarToDecibels, 3.0f, 0.0f},
        Case{kAspPropDecibelsToScalar, -30.0f, 0.316228f},
        Case{kAspPropDecibelsToScalar, -100.0f, 0.0f}, Case{kAspPropDecibelsToScalar, 12.0f, 1.0f},
        Case{kAspPropDecibelsToScalar, -18.0618f, 0.5f}}) {
    SCOPED_TRACE(c.in);
    float value = c.in;
    uint32_t written = 0;
    ASSERT_EQ(host().getPropertyData(kOut2Volume, address(c.selector), 0, nullptr, sizeof value,
                                     &written, &value),
              kAspNoError);
    EXPECT_EQ(written, 4u);
    EXPECT_NEAR(value, c.out, 1e-4f);
  }
  // The conversions leave the control alone.
  EXPECT_EQ(getF32(host(), kOut2Volume, kAspPropScalarValue), 1.0f);
  EXPECT_TRUE(notices_.empty());
}

TEST_F(Controls, VolumeChangeIsAnnouncedAndStored) {
  ASSERT_EQ(setF32(host(), kOut1Volume, kAspPropScalarValue, 0.5f), kAspNoError);
  ASSERT_EQ(notices_.size(), 1u);
  EXPECT_EQ(notices_[0].object, kOut1Volume);
  ASSERT_EQ(notices_[0].addresses.size(), 2u);
  EXPECT_EQ(notices_[0].addresses[0].selector, kAspPropScalarValue);
  EXPECT_EQ(notices_[0].addresses[1].selector, kAspPropDecibelValue);
  for (const AspPropertyAddress& a : notices_[0].addresses) {
    EXPECT_EQ(a.scope, kAspScopeGlobal);
    EXPECT_EQ(a.element, kAspElementMain);
  }
  std::string stored = readFile(storagePath());
  EXPECT_NE(stored.find("VeltoOut1_UID.volume\tfloat32\t0.5\n"), std::string::npos) << stored;
  EXPECT_NE(stored.find("VeltoOut1_UID.mute\tint32\t0\n"), std::string::npos) << stored;
  EXPECT_EQ(stored.find("VeltoOut2_UID"), std::string::npos) << "only the changed row is saved";
}

TEST_F(Controls, MuteChangeIsAnnouncedAndStored) {
  ASSERT_EQ(setU32(host(), kOut2Mute, kAspPropBooleanValue, 5), kAspNoError);
  EXPECT_EQ(getU32(host(), kOut2Mute, kAspPropBooleanValue), 1u);
  ASSERT_EQ(notices_.size(), 1u);
  EXPECT_EQ(notices_[0].object, kOut2Mute);
  ASSERT_EQ(notices_[0].addresses.size(), 1u);
  EXPECT_EQ(notices_[0].addresses[0].selector, kAspPropBooleanValue);
  EXPECT_EQ(notices_[0].addresses[0].scope, kAspScopeGlobal);
  std::string stored = readFile(storagePath());
  EXPECT_NE(stored.find("VeltoOut2_UID.mute\tint32\t1\n"), std::string::npos) << stored;
  EXPECT_NE(stored.find("VeltoOut2_UID.volume\tfloat32\t1\n"), std::string::npos) << stored;
  ASSERT_EQ(setU32(host(), kOut2Mute, kAspPropBooleanValue, 0), kAspNoError);
  EXPECT_EQ(getU32(host(), kOut2Mute, kAspPropBooleanValue), 0u);
  EXPECT_NE(readFile(storagePath()).find("VeltoOut2_UID.mute\tint32\t0\n"), std::string::npos);
}

TEST_F(Controls, ValuesSurviveAnAudioServerRestart) {
  ASSERT_EQ(setU32(host(), kOut2Mute, kAspPropBooleanValue, 1), kAspNoError);
  ASSERT_EQ(setF32(host(), kOut3Volume, kAspPropDecibelValue, -30.0f), kAspNoError);
  ASSERT_EQ(setF32(host(), kInputVolume, kAspPropScalarValue, 0.25f), kAspNoError);
  ASSERT_EQ(setU32(host(), kInputMute, kAspPropBooleanValue, 1), kAspNoError);
  restartServer();
  EXPECT_EQ(getU32(host(), kOut2Mute, kAspPropBooleanValue), 1u);
  EXPECT_NEAR(getF32(host(), kOut3Volume, kAspPropScalarValue), 0.316228f, 1e-6f);
  EXPECT_EQ(getF32(host(), kInputVolume, kAspPropScalarValue), 0.25f);
  EXPECT_EQ(getU32(host(), kInputMute, kAspPropBooleanValue), 1u);
  EXPECT_EQ(getU32(host(), kOut3Mute, kAspPropBooleanValue), 0u);
  EXPECT_EQ(getF32(host(), kOut1Volume, kAspPropScalarValue), 1.0f);
}

TEST_F(Controls, RestartReadsTheStorageNotLeftoverMemory) {
  ASSERT_EQ(setF32(host(), kOut1Volume, kAspPropScalarValue, 0.5f), kAspNoError);
  stopServer();
  std::filesystem::remove(storagePath());
  restartServer();
  EXPECT_EQ(getF32(host(), kOut1Volume, kAspPropScalarValue), 1.0f);
}

TEST_F(Controls, NonFiniteValuesAreRefusedAndNeverStored) {
  ASSERT_EQ(setF32(host(), kOut1Volume, kAspPropScalarValue, 0.5f), kAspNoError);
  std::string before = readFile(storagePath());
  notices_.clear();
  const float kNan = std::numeric_limits<float>::quiet_NaN();
  const float kInf = std::numeric_limits<float>::infinity();
  for (uint32_t selector : {kAspPropScalarValue, kAspPropDecibelValue}) {
    for (float bad : {kNan, kInf, -kInf}) {
      SCOPED_TRACE(testing::Message() << std::hex << selector << " " << bad);
      EXPECT_EQ(setF32(host(), kOut1Volume, selector, bad), kAspUnsupportedFormat);
      EXPECT_EQ(getF32(host(), kOut1Volume, kAspPropScalarValue), 0.5f);
    }
  }
  EXPECT_TRUE(notices_.empty());
  EXPECT_EQ(readFile(storagePath()), before);
}

TEST_F(Controls, ShortOrMisdirectedSetsChangeNothing) {
  struct Case {
    AspObjectId object;
    uint32_t selector;
    uint32_t size;
    AspStatus status;
  };
  unsigned char data[64] = {};
  for (Case c : {Case{kOut1Volume, kAspPropScalarValue, 3, kAspBadPropertySize},
                 Case{kOut1Volume, kAspPropDecibelValue, 0, kAspBadPropertySize},
                 Case{kOut2Mute, kAspPropBooleanValue, 3, kAspBadPropertySize},
                 Case{kOut1Volume, kAspPropDecibelRange, 16, kAspUnknownProperty},
                 Case{kOut1Volume, kAspPropBooleanValue, 4, kAspUnknownProperty},
                 Case{kOut2Mute, kAspPropScalarValue, 4, kAspUnknownProperty},
                 Case{kAspPlugInObject, kAspPropDeviceList, 36, kAspUnknownProperty},
                 Case{kVeltoOut1, kAspPropName, 8, kAspUnknownProperty},
                 Case{kVeltoOut1, kAspPropNominalSampleRate, 4, kAspBadPropertySize},
                 Case{13, kAspPropPhysicalFormat, 39, kAspBadPropertySize},
                 Case{13, kAspPropDirection, 4, kAspUnknownProperty}}) {
    SCOPED_TRACE(c.object);
    EXPECT_EQ(host().setPropertyData(c.object, address(c.selector), 0, nullptr, c.size, data),
              c.status)
        << std::hex << c.selector;
  }
  EXPECT_TRUE(notices_.empty());
  EXPECT_FALSE(std::filesystem::exists(storagePath()));
  EXPECT_EQ(getF32(host(), kOut1Volume, kAspPropScalarValue), 1.0f);
  EXPECT_EQ(getU32(host(), kOut2Mute, kAspPropBooleanValue), 0u);
}

TEST_F(Controls, OnlyTheOneRateAndFormatAreAccepted) {
  for (AspObjectId device : {2u, 7u, 12u, 17u, 42u}) {
    SCOPED_TRACE(device);
    double rate = 44100.0;
    AspPropertyAddress nsrt = address(kAspPropNominalSampleRate);
    EXPECT_EQ(host().setPropertyData(device, nsrt, 0, nullptr, sizeof rate, &rate),
              kAspUnsupportedFormat);
    rate = 48000.0;
    EXPECT_EQ(host().setPropertyData(device, nsrt, 0, nullptr, sizeof rate, &rate), kAspNoError);
    EXPECT_EQ(getF64(host(), device, kAspPropNominalSampleRate), 48000.0);
  }
  AspStreamFormat good{48000.0, kAspFormatLinearPcm, 9, 8, 1, 8, 2, 32, 0};
  struct Case {
    AspStreamFormat format;
    AspStatus status;
  };
  AspStreamFormat rate = good, channels = good, id = good, bits = good, flags = good;
  rate.sampleRate = 44100.0;
  channels.channelsPerFrame = 1;
  id.formatId = aspFourCC("aac ");
  bits.bitsPerChannel = 16;
  flags.formatFlags = 0; // not looked at
  for (AspObjectId stream : {8u, 13u, 4u, 44u}) {
    for (Case c : {Case{good, kAspNoError}, Case{rate, kAspUnsupportedFormat},
                   Case{channels, kAspUnsupportedFormat}, Case{id, kAspUnsupportedFormat},
                   Case{bits, kAspUnsupportedFormat}, Case{flags, kAspNoError}}) {
      for (uint32_t selector : {kAspPropPhysicalFormat, kAspPropVirtualFormat}) {
        EXPECT_EQ(host().setPropertyData(stream, address(selector), 0, nullptr, sizeof c.format,
                                         &c.format),
                  c.status);
      }
    }
    uint32_t active = 0;
    EXPECT_EQ(setU32(host(), stream, kAspPropStreamIsActive, active), kAspNoError);
    EXPECT_EQ(getU32(host(), stream, kAspPropStreamIsActive), 1u) << "accepted and ignored";
  }
}

TEST_F(Controls, DamagedStoredValuesKeepOrClampTheDefaults) {
  stopServer();
  writeFile(storagePath(), "# plug-in storage\n"
                           "VeltoDefaultOutput_UID.volume\tfloat32\tnan\n"
                           "VeltoDefaultOutput_UID.mute\tint32\t1e300\n"
                           "VeltoOut1_UID.volume\tfloat32\t2.5\n"
                           "VeltoOut1_UID.mute\tint32\tinf\n"
                           "VeltoOut2_UID.volume\tint32\t-3\n"
                           "VeltoOut2_UID.mute\ttext\t1\n"
                           "VeltoOut3_UID.volume\ttext\t0.5\n"
                           "VeltoOut3_UID.mute\tint32\t0.5\n"
                           "garbage line without tabs\n");
  restartServer();
  EXPECT_EQ(getF32(host(), kInputVolume, kAspPropScalarValue), 1.0f);
  EXPECT_EQ(getU32(host(), kInputMute, kAspPropBooleanValue), 1u);
  EXPECT_EQ(getF32(host(), kOut1Volume, kAspPropScalarValue), 1.0f);
  EXPECT_EQ(getU32(host(), 16, kAspPropBooleanValue), 0u);
  EXPECT_EQ(getF32(host(), kOut2Volume, kAspPropScalarValue), 0.0f);
  EXPECT_EQ(getU32(host(), kOut2Mute, kAspPropBooleanValue), 0u);
  EXPECT_EQ(getF32(host(), kOut3Volume, kAspPropScalarValue), 1.0f);
  EXPECT_EQ(getU32(host(), kOut3Mute, kAspPropBooleanValue), 0u) << "0.5 reads as integer 0";
}

} // namespace
} // namespace velto::test
