// Objects, ids and the system object's device list and UID translation, through the client API
// with the real driver bundle loaded by the plug-in host.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "platform/audio/layer/properties.h"
#include "tests/support/audio_test_system.h"

namespace {

namespace audio = platform::audio;
using velto::test::AudioTestSystem;
using velto::test::deviceForUid;
using velto::test::deviceList;
using velto::test::idListProperty;
using velto::test::textProperty;
using velto::test::wordProperty;

AspPropertyAddress global(uint32_t selector) {
  return AspPropertyAddress{selector, kAspScopeGlobal, kAspElementMain};
}

std::vector<std::string> namesOf(const std::vector<audio::ObjectId>& ids) {
  std::vector<std::string> names;
  for (audio::ObjectId id : ids) names.push_back(textProperty(id, kAspPropName));
  return names;
}

TEST(AudioObjectsThreads, DeviceListHoldsOnlyTheVisibleDriverDevices) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const std::vector<audio::ObjectId> devices = deviceList();
  EXPECT_EQ(namesOf(devices),
            (std::vector<std::string>{"Velto Input", "Velto Out 1", "Velto Out 2", "Velto Out 3"}));
  std::vector<std::string> uids;
  for (audio::ObjectId id : devices) uids.push_back(textProperty(id, kAspPropDeviceUid));
  EXPECT_EQ(uids, (std::vector<std::string>{"VeltoDefaultOutput_UID", "VeltoOut1_UID",
                                            "VeltoOut2_UID", "VeltoOut3_UID"}));
  for (audio::ObjectId id : devices) {
    EXPECT_EQ(wordProperty(id, kAspPropIsHidden), 0u);
    EXPECT_EQ(wordProperty(id, kAspPropTransportType), kAspTransportVirtual);
  }
}

TEST(AudioObjectsThreads, DeviceListIsCutToTheRoomOffered) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const AspPropertyAddress address = global(audio::kPropDevices);
  uint32_t size = 0;
  ASSERT_EQ(audio::getPropertyDataSize(audio::kSystemObject, &address, 0, nullptr, &size),
            kAspNoError);
  EXPECT_EQ(size, 4 * sizeof(audio::ObjectId));
  audio::ObjectId two[2] = {0, 0};
  size = sizeof two;
  ASSERT_EQ(audio::getPropertyData(audio::kSystemObject, &address, 0, nullptr, &size, two),
            kAspNoError);
  EXPECT_EQ(size, sizeof two);
  const std::vector<audio::ObjectId> all = deviceList();
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(two[0], all[0]);
  EXPECT_EQ(two[1], all[1]);
}

struct UidCase {
  const char* uid;
  const char* name;
  bool hidden;
};

TEST(AudioObjectsThreads, UidTranslationFindsHiddenAndVisibleDevices) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const UidCase cases[] = {
      {"VeltoClock_UID", "Velto Clock", true},
      {"VeltoOut1Feed_UID", "Velto Out 1 Feed", true},
      {"VeltoOut3Feed_UID", "Velto Out 3 Feed", true},
      {"VeltoDefaultOutputReturn_UID", "Velto Input Return", true},
      {"VeltoOut2_UID", "Velto Out 2", false},
      {"VeltoDefaultOutput_UID", "Velto Input", false},
  };
  const std::vector<audio::ObjectId> visible = deviceList();
  std::set<audio::ObjectId> seen;
  for (const UidCase& c : cases) {
    SCOPED_TRACE(c.uid);
    const audio::ObjectId device = deviceForUid(c.uid);
    ASSERT_NE(device, 0u);
    EXPECT_TRUE(seen.insert(device).second);
    EXPECT_EQ(textProperty(device, kAspPropName), c.name);
    EXPECT_EQ(textProperty(device, kAspPropDeviceUid), c.uid);
    EXPECT_EQ(wordProperty(device, kAspPropIsHidden), c.hidden ? 1u : 0u);
    const bool listed = std::find(visible.begin(), visible.end(), device) != visible.end();
    EXPECT_EQ(listed, !c.hidden);
  }
}

TEST(AudioObjectsThreads, UnknownUidTranslatesToNoDeviceAndAMissingQualifierIsRefused) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  EXPECT_EQ(deviceForUid("NoSuchDevice_UID"), 0u);
  EXPECT_EQ(deviceForUid(""), 0u);
  const AspPropertyAddress address = global(audio::kPropTranslateUidToDevice);
  audio::ObjectId device = 7;
  uint32_t size = sizeof device;
  EXPECT_EQ(audio::getPropertyData(audio::kSystemObject, &address, 0, nullptr, &size, &device),
            kAspBadPropertySize);
  AspText* text = aspTextCreate("VeltoClock_UID");
  size = 2;
  EXPECT_EQ(
      audio::getPropertyData(audio::kSystemObject, &address, sizeof text, &text, &size, &device),
      kAspBadPropertySize);
  aspTextRelease(text);
}

TEST(AudioObjectsThreads, IdListsCarryGlobalIdsBothWays) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const audio::ObjectId out1 = deviceForUid("VeltoOut1_UID");
  ASSERT_NE(out1, 0u);

  EXPECT_EQ(idListProperty(out1, kAspPropRelatedDevices), std::vector<audio::ObjectId>{out1});

  const std::vector<audio::ObjectId> inputStreams =
      idListProperty(out1, kAspPropStreams, kAspScopeInput);
  ASSERT_EQ(inputStreams.size(), 1u);
  EXPECT_TRUE(idListProperty(out1, kAspPropStreams, kAspScopeOutput).empty());
  EXPECT_EQ(wordProperty(inputStreams[0], kAspPropOwner), out1);
  EXPECT_EQ(wordProperty(inputStreams[0], kAspPropDirection), 1u);
  EXPECT_EQ(wordProperty(inputStreams[0], kAspPropClass), kAspClassStream);

  const std::vector<audio::ObjectId> controls = idListProperty(out1, kAspPropControlList);
  ASSERT_EQ(controls.size(), 2u);
  std::set<uint32_t> classes;
  for (audio::ObjectId control : controls) {
    EXPECT_EQ(wordProperty(control, kAspPropOwner), out1);
    classes.insert(wordProperty(control, kAspPropClass));
  }
  EXPECT_EQ(classes, (std::set<uint32_t>{kAspClassVolumeControl, kAspClassMuteControl}));

  const std::vector<audio::ObjectId> owned = idListProperty(out1, kAspPropOwnedObjects);
  EXPECT_EQ(owned.size(), 3u); // the input stream and the two controls

  // The device's owner is the plug-in object, whose own lists hold all nine devices.
  const audio::ObjectId plugIn = wordProperty(out1, kAspPropOwner);
  ASSERT_NE(plugIn, 0u);
  EXPECT_NE(plugIn, audio::kSystemObject);
  EXPECT_EQ(wordProperty(plugIn, kAspPropClass), kAspClassPlugIn);
  const std::vector<audio::ObjectId> all = idListProperty(plugIn, kAspPropDeviceList);
  ASSERT_EQ(all.size(), 9u);
  std::set<std::string> uids;
  for (audio::ObjectId device : all) uids.insert(textProperty(device, kAspPropDeviceUid));
  EXPECT_EQ(uids.size(), 9u);
  EXPECT_TRUE(uids.count("VeltoClock_UID"));
  for (audio::ObjectId device : deviceList()) {
    EXPECT_NE(std::find(all.begin(), all.end(), device), all.end());
  }

  // The plug-in's own UID translation answers with the same global id as the system's.
  const AspPropertyAddress uidd = global(kAspPropTranslateUidToDevice);
  AspText* text = aspTextCreate("VeltoClock_UID");
  audio::ObjectId clock = 0;
  uint32_t size = sizeof clock;
  EXPECT_EQ(audio::getPropertyData(plugIn, &uidd, sizeof text, &text, &size, &clock), kAspNoError);
  aspTextRelease(text);
  EXPECT_EQ(clock, deviceForUid("VeltoClock_UID"));
}

TEST(AudioObjectsThreads, UnknownObjectsAnswerBadObject) {
  AudioTestSystem system;
  ASSERT_TRUE(system.started());
  const AspPropertyAddress name = global(kAspPropName);
  const audio::ObjectId bogus = 100000;
  AspText* text = nullptr;
  uint32_t size = sizeof text;
  EXPECT_FALSE(audio::hasProperty(bogus, &name));
  EXPECT_EQ(audio::getPropertyData(bogus, &name, 0, nullptr, &size, &text), kAspBadObject);
  EXPECT_EQ(audio::getPropertyDataSize(bogus, &name, 0, nullptr, &size), kAspBadObject);
  bool settable = false;
  EXPECT_EQ(audio::isPropertySettable(bogus, &name, &settable), kAspBadObject);
  EXPECT_EQ(audio::setPropertyData(bogus, &name, 0, nullptr, sizeof text, &text), kAspBadObject);
}

TEST(AudioObjectsThreads, WithoutTheDriverNothingIsListed) {
  AudioTestSystem system({audio::ClockMode::Manual, false});
  ASSERT_TRUE(system.started());
  EXPECT_TRUE(deviceList().empty());
  EXPECT_EQ(deviceForUid("VeltoClock_UID"), 0u);
}

TEST(AudioStoppedLayer, EveryCallAnswersNotRunning) {
  ASSERT_FALSE(audio::systemRunning());
  const AspPropertyAddress devices = global(audio::kPropDevices);
  uint32_t size = 0;
  audio::ObjectId id = 0;
  EXPECT_FALSE(audio::hasProperty(audio::kSystemObject, &devices));
  EXPECT_EQ(audio::getPropertyDataSize(audio::kSystemObject, &devices, 0, nullptr, &size),
            audio::kStatusNotRunning);
  size = sizeof id;
  EXPECT_EQ(audio::getPropertyData(audio::kSystemObject, &devices, 0, nullptr, &size, &id),
            audio::kStatusNotRunning);
  EXPECT_FALSE(audio::restartServer());
}

} // namespace
