// The driver's objects as the audio server sees them: the nine devices, their streams and
// controls, the plug-in object, unknown objects and properties, and the interface table.
#include <dlfcn.h>

#include <string>
#include <vector>

#include "platform/audio/host/plist.h"
#include "tests/driver/driver_harness.h"

namespace velto::test {
namespace {

using platform::audio::PluginHost;

struct DeviceRow {
  AspObjectId id;
  const char* name;
  const char* uid;
  bool input;
  bool output;
  bool hidden;
  uint32_t controlScope;
};

constexpr DeviceRow kDevices[] = {
    {2, "Velto Input", "VeltoDefaultOutput_UID", false, true, false, kAspScopeOutput},
    {7, "Velto Input Return", "VeltoDefaultOutputReturn_UID", true, false, true, 0},
    {12, "Velto Out 1", "VeltoOut1_UID", true, false, false, kAspScopeInput},
    {17, "Velto Out 1 Feed", "VeltoOut1Feed_UID", false, true, true, 0},
    {22, "Velto Out 2", "VeltoOut2_UID", true, false, false, kAspScopeInput},
    {27, "Velto Out 2 Feed", "VeltoOut2Feed_UID", false, true, true, 0},
    {32, "Velto Out 3", "VeltoOut3_UID", true, false, false, kAspScopeInput},
    {37, "Velto Out 3 Feed", "VeltoOut3Feed_UID", false, true, true, 0},
    {42, "Velto Clock", "VeltoClock_UID", false, true, true, 0},
};

using ObjectModel = DriverTest;

TEST_F(ObjectModel, PlugInListsTheNineDevicesInTableOrder) {
  std::vector<AspObjectId> expected = {2, 7, 12, 17, 22, 27, 32, 37, 42};
  EXPECT_EQ(getIds(host(), kAspPlugInObject, kAspPropDeviceList), expected);
  EXPECT_EQ(getIds(host(), kAspPlugInObject, kAspPropOwnedObjects), expected);
  EXPECT_EQ(getU32(host(), kAspPlugInObject, kAspPropBaseClass), kAspClassObject);
  EXPECT_EQ(getU32(host(), kAspPlugInObject, kAspPropClass), kAspClassPlugIn);
  EXPECT_EQ(getU32(host(), kAspPlugInObject, kAspPropOwner), kAspUnknownObject);
  EXPECT_EQ(getText(host(), kAspPlugInObject, kAspPropManufacturer), "Velto");
  EXPECT_EQ(getText(host(), kAspPlugInObject, kAspPropResourceBundle), "");
}

TEST_F(ObjectModel, DeviceListIsCutToTheOfferedRoom) {
  for (uint32_t room : {0u, 4u, 16u, 18u, 36u, 64u}) {
    std::vector<AspObjectId> ids(16, 0);
    uint32_t written = 99;
    for (uint32_t selector : {kAspPropDeviceList, kAspPropOwnedObjects}) {
      ASSERT_EQ(host().getPropertyData(kAspPlugInObject, address(selector), 0, nullptr, room,
                                       &written, ids.data()),
                kAspNoError);
      uint32_t count = std::min(9u, room / 4);
      EXPECT_EQ(written, count * 4) << "room " << room;
      for (uint32_t i = 0; i < count; ++i) EXPECT_EQ(ids[i], 2 + 5 * i);
      EXPECT_EQ(ids[count], 0u) << "wrote beyond the room of " << room;
    }
  }
}

TEST_F(ObjectModel, EveryDeviceAnswersItsRowOfTheTable) {
  for (const DeviceRow& row : kDevices) {
    SCOPED_TRACE(row.name);
    AspObjectId id = row.id;
    EXPECT_EQ(getText(host(), id, kAspPropName), row.name);
    EXPECT_EQ(getText(host(), id, kAspPropDeviceUid), row.uid);
    EXPECT_EQ(getText(host(), id, kAspPropManufacturer), "Velto");
    EXPECT_EQ(getText(host(), id, kAspPropModelUid), "Velto_ModelUID");
    EXPECT_EQ(getU32(host(), id, kAspPropBaseClass), kAspClassObject);
    EXPECT_EQ(getU32(host(), id, kAspPropClass), kAspClassDevice);
    EXPECT_EQ(getU32(host(), id, kAspPropOwner), kAspPlugInObject);
    EXPECT_EQ(getU32(host(), id, kAspPropIsHidden), row.hidden ? 1u : 0u);
    EXPECT_EQ(getU32(host(), id, kAspPropCanBeDefaultDevice), row.hidden ? 0u : 1u);
    EXPECT_EQ(getU32(host(), id, kAspPropCanBeDefaultSystemDevice), row.hidden ? 0u : 1u);
    EXPECT_EQ(getU32(host(), id, kAspPropTransportType), kAspTransportVirtual);
    EXPECT_EQ(getU32(host(), id, kAspPropZeroTimeStampPeriod), kRingFrames);
    EXPECT_EQ(getU32(host(), id, kAspPropIsAlive), 1u);
    EXPECT_EQ(getU32(host(), id, kAspPropClockIsStable), 1u);
    EXPECT_EQ(getU32(host(), id, kAspPropClockDomain), 0u);
    EXPECT_EQ(getU32(host(), id, kAspPropLatency), 0u);
    EXPECT_EQ(getU32(host(), id, kAspPropSafetyOffset), 0u);
    EXPECT_EQ(getU32(host(), id, kAspPropIsRunning), 0u);
    EXPECT_EQ(getF64(host(), id, kAspPropNominalSampleRate), 48000.0);
    EXPECT_EQ(getIds(host(), id, kAspPropRelatedDevices), std::vector<AspObjectId>{id});

    std::vector<AspObjectId> inputs, outputs, controls;
    if (row.input) inputs = {id + 1};
    if (row.output) outputs = {id + 2};
    if (row.controlScope) controls = {id + 3, id + 4};
    EXPECT_EQ(getIds(host(), id, kAspPropStreams, kAspScopeInput), inputs);
    EXPECT_EQ(getIds(host(), id, kAspPropStreams, kAspScopeOutput), outputs);
    EXPECT_EQ(host().deviceHasInput(id), row.input);
    EXPECT_EQ(host().deviceHasOutput(id), row.output);
    EXPECT_EQ(getIds(host(), id, kAspPropControlList), controls);

    // 'ownd': the scope's streams, then the controls in 'glob' and in the controls' own scope.
    std::vector<AspObjectId> global = inputs;
    global.insert(global.end(), outputs.begin(), outputs.end());
    EXPECT_EQ(getIds(host(), id, kAspPropStreams, kAspScopeGlobal), global);
    global.insert(global.end(), controls.begin(), controls.end());
    EXPECT_EQ(getIds(host(), id, kAspPropOwnedObjects, kAspScopeGlobal), global);
    std::vector<AspObjectId> inScope = inputs, outScope = outputs;
    if (row.controlScope == kAspScopeInput)
      inScope.insert(inScope.end(), controls.begin(), controls.end());
    if (row.controlScope == kAspScopeOutput)
      outScope.insert(outScope.end(), controls.begin(), controls.end());
    EXPECT_EQ(getIds(host(), id, kAspPropOwnedObjects, kAspScopeInput), inScope);
    EXPECT_EQ(getIds(host(), id, kAspPropOwnedObjects, kAspScopeOutput), outScope);
  }
}

TEST_F(ObjectModel, DeviceFixedValues) {
  uint32_t channels[2] = {};
  uint32_t written = 0;
  ASSERT_EQ(host().getPropertyData(kVeltoOut1, address(kAspPropPreferredChannelsForStereo), 0,
                                   nullptr, sizeof channels, &written, channels),
            kAspNoError);
  EXPECT_EQ(written, 8u);
  EXPECT_EQ(channels[0], 1u);
  EXPECT_EQ(channels[1], 2u);
  AspValueRange rates{};
  ASSERT_EQ(host().getPropertyData(kVeltoClock, address(kAspPropAvailableNominalSampleRates), 0,
                                   nullptr, sizeof rates, &written, &rates),
            kAspNoError);
  EXPECT_EQ(written, 16u);
  EXPECT_EQ(rates.minimum, 48000.0);
  EXPECT_EQ(rates.maximum, 48000.0);
}

TEST_F(ObjectModel, StreamsCarryTheOneFormatAndTheirDirection) {
  struct StreamCase {
    AspObjectId stream;
    AspObjectId device;
    bool input;
  };
  for (StreamCase c : {StreamCase{13, 12, true}, StreamCase{8, 7, true}, StreamCase{4, 2, false},
                       StreamCase{19, 17, false}, StreamCase{44, 42, false}}) {
    SCOPED_TRACE(c.stream);
    EXPECT_EQ(getU32(host(), c.stream, kAspPropBaseClass), kAspClassObject);
    EXPECT_EQ(getU32(host(), c.stream, kAspPropClass), kAspClassStream);
    EXPECT_EQ(getU32(host(), c.stream, kAspPropOwner), c.device);
    EXPECT_EQ(getU32(host(), c.stream, kAspPropDirection), c.input ? 1u : 0u);
    EXPECT_EQ(getU32(host(), c.stream, kAspPropTerminalType),
              c.input ? kAspTerminalMicrophone : kAspTerminalSpeaker);
    EXPECT_EQ(getU32(host(), c.stream, kAspPropStreamIsActive), 1u);
    EXPECT_EQ(getU32(host(), c.stream, kAspPropStartingChannel), 1u);
    EXPECT_EQ(getU32(host(), c.stream, kAspPropLatency), 0u);
    EXPECT_TRUE(getIds(host(), c.stream, kAspPropOwnedObjects).empty());
    for (uint32_t selector : {kAspPropPhysicalFormat, kAspPropVirtualFormat}) {
      AspStreamFormat format{};
      uint32_t written = 0;
      ASSERT_EQ(host().getPropertyData(c.stream, address(selector), 0, nullptr, sizeof format,
                                       &written, &format),
                kAspNoError);
      EXPECT_EQ(written, 40u);
      EXPECT_EQ(format.sampleRate, 48000.0);
      EXPECT_EQ(format.formatId, kAspFormatLinearPcm);
      EXPECT_EQ(format.formatFlags, 9u);
      EXPECT_EQ(format.bytesPerPacket, 8u);
      EXPECT_EQ(format.framesPerPacket, 1u);
      EXPECT_EQ(format.bytesPerFrame, 8u);
      EXPECT_EQ(format.channelsPerFrame, 2u);
      EXPECT_EQ(format.bitsPerChannel, 32u);
    }
    for (uint32_t selector : {kAspPropAvailablePhysicalFormats, kAspPropAvailableVirtualFormats}) {
      AspRangedStreamFormat ranged{};
      uint32_t written = 0;
      ASSERT_EQ(host().getPropertyData(c.stream, address(selector), 0, nullptr, sizeof ranged,
                                       &written, &ranged),
                kAspNoError);
      EXPECT_EQ(written, 56u);
      EXPECT_EQ(ranged.format.channelsPerFrame, 2u);
      EXPECT_EQ(ranged.sampleRateRange.minimum, 48000.0);
      EXPECT_EQ(ranged.sampleRateRange.maximum, 48000.0);
    }
  }
}

TEST_F(ObjectModel, ControlsAnswerTheirKindScopeAndOwner) {
  struct ControlCase {
    AspObjectId device;
    uint32_t scope;
  };
  for (ControlCase c : {ControlCase{2, kAspScopeOutput}, ControlCase{12, kAspScopeInput},
                        ControlCase{22, kAspScopeInput}, ControlCase{32, kAspScopeInput}}) {
    SCOPED_TRACE(c.device);
    AspObjectId volume = c.device + 3;
    AspObjectId mute = c.device + 4;
    EXPECT_EQ(getU32(host(), volume, kAspPropBaseClass), kAspClassLevelControl);
    EXPECT_EQ(getU32(host(), volume, kAspPropClass), kAspClassVolumeControl);
    EXPECT_EQ(getU32(host(), volume, kAspPropControlScope), c.scope);
    EXPECT_EQ(getU32(host(), volume, kAspPropControlElement), 0u);
    EXPECT_EQ(getU32(host(), volume, kAspPropOwner), c.device);
    EXPECT_EQ(getF32(host(), volume, kAspPropScalarValue), 1.0f);
    EXPECT_EQ(getF32(host(), volume, kAspPropDecibelValue), 0.0f);
    EXPECT_TRUE(getIds(host(), volume, kAspPropOwnedObjects).empty());
    EXPECT_EQ(getU32(host(), mute, kAspPropBaseClass), kAspClassBooleanControl);
    EXPECT_EQ(getU32(host(), mute, kAspPropClass), kAspClassMuteControl);
    EXPECT_EQ(getU32(host(), mute, kAspPropControlScope), c.scope);
    EXPECT_EQ(getU32(host(), mute, kAspPropControlElement), 0u);
    EXPECT_EQ(getU32(host(), mute, kAspPropOwner), c.device);
    EXPECT_EQ(getU32(host(), mute, kAspPropBooleanValue), 0u);
    EXPECT_TRUE(getIds(host(), mute, kAspPropOwnedObjects).empty());
  }
}

TEST_F(ObjectModel, AbsentObjectsAndSelectorsAreUnknown) {
  // Id 14 would be the output stream of "Velto Out 1", which has none; 10 and 11 the controls
  // of the hidden "Velto Input Return"; 0 and 47 are outside the id range.
  for (AspObjectId id : {0u, 9u, 10u, 11u, 14u, 18u, 20u, 21u, 43u, 45u, 46u, 47u, 1000u}) {
    SCOPED_TRACE(id);
    AspPropertyAddress name = address(kAspPropBaseClass);
    EXPECT_FALSE(host().hasProperty(id, name));
    bool settable = true;
    EXPECT_EQ(host().isPropertySettable(id, name, &settable), kAspUnknownProperty);
    uint32_t size = 0;
    EXPECT_EQ(host().getPropertyDataSize(id, name, 0, nullptr, &size), kAspUnknownProperty);
    uint32_t value = 0;
    EXPECT_EQ(host().getPropertyData(id, name, 0, nullptr, 4, &size, &value), kAspUnknownProperty);
    EXPECT_EQ(host().setPropertyData(id, name, 0, nullptr, 4, &value), kAspUnknownProperty);
  }
  // Start, stop and the clock answer "bad object" for anything that is not a device.
  for (AspObjectId id : {0u, 1u, 13u, 14u, 15u, 16u, 47u}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(host().startDevice(id), kAspBadObject);
    EXPECT_EQ(host().stopDevice(id), kAspBadObject);
    AspDriverRef driver = host().driverInterface();
    double sampleTime = 0;
    uint64_t hostTime = 0, seed = 0;
    EXPECT_EQ((*driver)->GetZeroTimeStamp(driver, id, 0, &sampleTime, &hostTime, &seed),
              kAspBadObject);
  }
  // Selectors that an object kind does not answer.
  struct Case {
    AspObjectId object;
    uint32_t selector;
  };
  for (Case c :
       {Case{1, kAspPropName}, Case{1, kAspPropNominalSampleRate}, Case{12, kAspPropScalarValue},
        Case{12, kAspPropDirection}, Case{13, kAspPropName}, Case{15, kAspPropBooleanValue},
        Case{16, kAspPropScalarValue}, Case{42, aspFourCC("zzzz")}}) {
    SCOPED_TRACE(c.object);
    EXPECT_FALSE(host().hasProperty(c.object, address(c.selector)));
    uint32_t size = 0;
    uint32_t value = 0;
    EXPECT_EQ(host().getPropertyDataSize(c.object, address(c.selector), 0, nullptr, &size),
              kAspUnknownProperty);
    EXPECT_EQ(host().getPropertyData(c.object, address(c.selector), 0, nullptr, 4, &size, &value),
              kAspUnknownProperty);
  }
}

TEST_F(ObjectModel, SettableFlags) {
  struct Case {
    AspObjectId object;
    uint32_t selector;
    bool settable;
  };
  for (Case c : {Case{1, kAspPropDeviceList, false}, Case{1, kAspPropTranslateUidToDevice, false},
                 Case{12, kAspPropNominalSampleRate, true}, Case{12, kAspPropName, false},
                 Case{42, kAspPropNominalSampleRate, true}, Case{13, kAspPropPhysicalFormat, true},
                 Case{13, kAspPropVirtualFormat, true}, Case{19, kAspPropStreamIsActive, true},
                 Case{13, kAspPropDirection, false}, Case{15, kAspPropScalarValue, true},
                 Case{15, kAspPropDecibelValue, true}, Case{15, kAspPropDecibelRange, false},
                 Case{15, kAspPropScalarToDecibels, false}, Case{16, kAspPropBooleanValue, true},
                 Case{16, kAspPropControlScope, false}}) {
    SCOPED_TRACE(c.object);
    bool settable = !c.settable;
    EXPECT_EQ(host().isPropertySettable(c.object, address(c.selector), &settable), kAspNoError);
    EXPECT_EQ(settable, c.settable);
  }
}

TEST_F(ObjectModel, DataSizesAreWhatAGetWrites) {
  struct Case {
    AspObjectId object;
    uint32_t selector;
    uint32_t scope;
    uint32_t size;
  };
  for (Case c : {Case{1, kAspPropDeviceList, kAspScopeGlobal, 36},
                 Case{1, kAspPropTranslateUidToDevice, kAspScopeGlobal, 4},
                 Case{1, kAspPropManufacturer, kAspScopeGlobal, 8},
                 Case{12, kAspPropName, kAspScopeGlobal, 8},
                 Case{12, kAspPropControlList, kAspScopeGlobal, 8},
                 Case{17, kAspPropControlList, kAspScopeGlobal, 0},
                 Case{12, kAspPropOwnedObjects, kAspScopeGlobal, 12},
                 Case{12, kAspPropOwnedObjects, kAspScopeOutput, 0},
                 Case{2, kAspPropOwnedObjects, kAspScopeOutput, 12},
                 Case{12, kAspPropStreams, kAspScopeInput, 4},
                 Case{12, kAspPropNominalSampleRate, kAspScopeGlobal, 8},
                 Case{12, kAspPropAvailableNominalSampleRates, kAspScopeGlobal, 16},
                 Case{12, kAspPropPreferredChannelsForStereo, kAspScopeGlobal, 8},
                 Case{13, kAspPropPhysicalFormat, kAspScopeGlobal, 40},
                 Case{13, kAspPropAvailableVirtualFormats, kAspScopeGlobal, 56},
                 Case{13, kAspPropOwnedObjects, kAspScopeGlobal, 0},
                 Case{15, kAspPropDecibelRange, kAspScopeGlobal, 16},
                 Case{15, kAspPropScalarToDecibels, kAspScopeGlobal, 4},
                 Case{15, kAspPropScalarValue, kAspScopeGlobal, 4},
                 Case{16, kAspPropBooleanValue, kAspScopeGlobal, 4}}) {
    SCOPED_TRACE(c.object);
    uint32_t size = 1234;
    EXPECT_EQ(host().getPropertyDataSize(c.object, address(c.selector, c.scope), 0, nullptr, &size),
              kAspNoError);
    EXPECT_EQ(size, c.size) << std::hex << c.selector;
  }
}

TEST_F(ObjectModel, ValuesThatDoNotFitAreRefused) {
  struct Case {
    AspObjectId object;
    uint32_t selector;
    uint32_t room;
  };
  unsigned char buffer[64] = {};
  for (Case c :
       {Case{12, kAspPropName, 7}, Case{12, kAspPropDeviceUid, 0}, Case{12, kAspPropControlList, 4},
        Case{12, kAspPropNominalSampleRate, 4}, Case{12, kAspPropOwnedObjects, 8},
        Case{13, kAspPropPhysicalFormat, 39}, Case{13, kAspPropAvailablePhysicalFormats, 40},
        Case{15, kAspPropDecibelRange, 8}, Case{15, kAspPropScalarValue, 3},
        Case{16, kAspPropBooleanValue, 2}, Case{1, kAspPropClass, 3}}) {
    SCOPED_TRACE(c.object);
    uint32_t written = 77;
    EXPECT_EQ(
        host().getPropertyData(c.object, address(c.selector), 0, nullptr, c.room, &written, buffer),
        kAspBadPropertySize)
        << std::hex << c.selector;
  }
}

TEST_F(ObjectModel, TranslatesUidsToDevices) {
  struct Case {
    const char* uid;
    AspObjectId device;
  };
  for (Case c : {Case{"VeltoClock_UID", 42}, Case{"VeltoDefaultOutput_UID", 2},
                 Case{"VeltoOut3Feed_UID", 37}, Case{"VeltoClock_UI", 0}, Case{"", 0},
                 Case{"NoSuchDevice_UID", 0}}) {
    SCOPED_TRACE(c.uid);
    AspText* uid = aspTextCreate(c.uid);
    AspObjectId found = 999;
    uint32_t written = 0;
    EXPECT_EQ(host().getPropertyData(kAspPlugInObject, address(kAspPropTranslateUidToDevice),
                                     sizeof uid, &uid, sizeof found, &written, &found),
              kAspNoError);
    EXPECT_EQ(found, c.device);
    EXPECT_EQ(written, 4u);
    aspTextRelease(uid);
  }
  AspText* uid = aspTextCreate("VeltoClock_UID");
  AspObjectId found = 0;
  uint32_t written = 0;
  AspPropertyAddress translate = address(kAspPropTranslateUidToDevice);
  EXPECT_EQ(host().getPropertyData(1, translate, sizeof uid, &uid, 3, &written, &found),
            kAspBadPropertySize);
  EXPECT_EQ(host().getPropertyData(1, translate, 0, nullptr, 4, &written, &found),
            kAspBadPropertySize);
  EXPECT_EQ(host().getPropertyData(1, translate, 4, &uid, 4, &written, &found),
            kAspBadPropertySize);
  aspTextRelease(uid);
}

// ---- the interface table and the factory --------------------------------------------------

// Opens the installed bundle's library and factory as a server does, independently of the host.
struct BundleFactory {
  explicit BundleFactory(const std::string& bundle) {
    std::string name;
    EXPECT_TRUE(
        platform::audio::readPlistValue(bundle + "/Contents/Info.plist", "PlugInFactory", &name));
    library = dlopen((bundle + "/Contents/Linux/Velto.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(library, nullptr) << dlerror();
    if (library) factory = reinterpret_cast<AspFactoryFunction>(dlsym(library, name.c_str()));
    EXPECT_NE(factory, nullptr);
  }
  ~BundleFactory() {
    if (library) dlclose(library);
  }
  void* library = nullptr;
  AspFactoryFunction factory = nullptr;
};

TEST_F(ObjectModel, FactoryAnswersOnlyThePlugInType) {
  BundleFactory bundle(this->bundle());
  ASSERT_NE(bundle.factory, nullptr);
  void* driver = bundle.factory(nullptr, &kAspPlugInTypeUuid);
  EXPECT_EQ(driver, static_cast<void*>(host().driverInterface()));
  EXPECT_EQ(bundle.factory(nullptr, &kAspDriverInterfaceUuid), nullptr);
  EXPECT_EQ(bundle.factory(nullptr, &kAspUnknownInterfaceUuid), nullptr);
  AspUuid almost = kAspPlugInTypeUuid;
  almost.bytes[15] ^= 1;
  EXPECT_EQ(bundle.factory(nullptr, &almost), nullptr);
  EXPECT_EQ(bundle.factory(nullptr, nullptr), nullptr);
  // The library exports the factory and nothing else of the driver.
  EXPECT_EQ(dlsym(bundle.library, "gInterface"), nullptr);
  EXPECT_EQ(dlsym(bundle.library, "DoIOOperation"), nullptr);
}

TEST_F(ObjectModel, BundleCarriesAnIntegerVersion) {
  std::string version;
  ASSERT_TRUE(platform::audio::readPlistValue(bundle() + "/Contents/Info.plist", "CFBundleVersion",
                                              &version));
  ASSERT_FALSE(version.empty());
  EXPECT_EQ(version.find_first_not_of("0123456789"), std::string::npos) << version;
  EXPECT_GE(std::stoi(version), 1);
}

TEST_F(ObjectModel, ReferenceCountingThroughTheTable) {
  AspDriverRef driver = host().driverInterface();
  // Count 1 at load plus the host's QueryInterface.
  EXPECT_EQ((*driver)->AddRef(driver), 3u);
  EXPECT_EQ((*driver)->Release(driver), 2u);
  void* out = nullptr;
  EXPECT_EQ((*driver)->QueryInterface(driver, kAspUnknownInterfaceUuid, &out), kAspNoError);
  EXPECT_EQ(out, static_cast<void*>(driver));
  EXPECT_EQ((*driver)->Release(driver), 2u);
  void* untouched = &out;
  EXPECT_EQ((*driver)->QueryInterface(driver, kAspPlugInTypeUuid, &untouched), kAspNoInterface);
  EXPECT_EQ(untouched, static_cast<void*>(&out));
  EXPECT_EQ((*driver)->AddRef(driver), 3u) << "a refused query must not take a reference";
  EXPECT_EQ((*driver)->Release(driver), 2u);
  EXPECT_EQ((*driver)->Release(driver), 1u);
  EXPECT_EQ((*driver)->Release(driver), 0u);
  EXPECT_EQ((*driver)->Release(driver), 0u) << "the count stays at 0";
  EXPECT_EQ((*driver)->AddRef(driver), 1u);
}

TEST_F(ObjectModel, DevicesAreFixed) {
  AspDriverRef driver = host().driverInterface();
  AspObjectId made = 0;
  EXPECT_EQ((*driver)->CreateDevice(driver, nullptr, nullptr, &made), kAspUnsupportedOperation);
  EXPECT_EQ((*driver)->DestroyDevice(driver, kVeltoOut1), kAspUnsupportedOperation);
  AspClientInfo client{7, 1234, "com.example.recorder"};
  EXPECT_EQ((*driver)->AddDeviceClient(driver, kVeltoOut1, &client), kAspNoError);
  EXPECT_EQ((*driver)->RemoveDeviceClient(driver, kVeltoOut1, &client), kAspNoError);
  EXPECT_EQ((*driver)->PerformConfigChange(driver, kVeltoOut1, 0, nullptr), kAspNoError);
  EXPECT_EQ((*driver)->AbortConfigChange(driver, kVeltoOut1, 0, nullptr), kAspNoError);
  EXPECT_EQ(getIds(host(), kAspPlugInObject, kAspPropDeviceList).size(), 9u);
}

} // namespace
} // namespace velto::test
