// The audio-server plug-in interface: what an audio server and a driver plug-in say to each
// other. The server (platform/audio's plug-in host) loads a bundle, calls its factory, and talks
// to the driver only through the function table below; the driver talks back only through the
// host table it is given in Initialize. Plain C types and function pointers, no shared globals.
//
// Threading: the server may call any slot from any of its threads; the driver's I/O slots run on
// the server's real-time I/O threads.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

extern "C" {

typedef int32_t AspStatus;
typedef uint32_t AspObjectId;

// Four-character codes, packed big-endian as the on-disk and on-wire form of every selector,
// class, scope and status code.
constexpr uint32_t aspFourCC(const char (&code)[5]) {
  return (uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) |
         (uint32_t(uint8_t(code[2])) << 8) | uint32_t(uint8_t(code[3]));
}

// ---- status codes ---------------------------------------------------------------------------
constexpr AspStatus kAspNoError = 0;
constexpr AspStatus kAspUnknownProperty = AspStatus(aspFourCC("who?"));
constexpr AspStatus kAspBadObject = AspStatus(aspFourCC("!obj"));
constexpr AspStatus kAspBadPropertySize = AspStatus(aspFourCC("!siz"));
constexpr AspStatus kAspUnsupportedFormat = AspStatus(aspFourCC("!dat"));
constexpr AspStatus kAspUnsupportedOperation = AspStatus(aspFourCC("unop"));
constexpr AspStatus kAspNoInterface = AspStatus(0x80000004u);

// ---- objects, addresses ---------------------------------------------------------------------
constexpr AspObjectId kAspUnknownObject = 0;
constexpr AspObjectId kAspPlugInObject = 1;

struct AspPropertyAddress {
  uint32_t selector;
  uint32_t scope;
  uint32_t element;
};

constexpr uint32_t kAspScopeGlobal = aspFourCC("glob");
constexpr uint32_t kAspScopeInput = aspFourCC("inpt");
constexpr uint32_t kAspScopeOutput = aspFourCC("outp");
constexpr uint32_t kAspElementMain = 0;

// Classes.
constexpr uint32_t kAspClassObject = aspFourCC("aobj");
constexpr uint32_t kAspClassPlugIn = aspFourCC("aplg");
constexpr uint32_t kAspClassDevice = aspFourCC("adev");
constexpr uint32_t kAspClassStream = aspFourCC("astr");
constexpr uint32_t kAspClassLevelControl = aspFourCC("levl");
constexpr uint32_t kAspClassVolumeControl = aspFourCC("vlme");
constexpr uint32_t kAspClassBooleanControl = aspFourCC("togl");
constexpr uint32_t kAspClassMuteControl = aspFourCC("mute");

// Selectors every object answers.
constexpr uint32_t kAspPropBaseClass = aspFourCC("bcls");
constexpr uint32_t kAspPropClass = aspFourCC("clas");
constexpr uint32_t kAspPropOwner = aspFourCC("stdv");
constexpr uint32_t kAspPropOwnedObjects = aspFourCC("ownd");
constexpr uint32_t kAspPropManufacturer = aspFourCC("lmak");
constexpr uint32_t kAspPropName = aspFourCC("lnam");

// Plug-in selectors.
constexpr uint32_t kAspPropResourceBundle = aspFourCC("rsrc");
constexpr uint32_t kAspPropDeviceList = aspFourCC("dev#");
constexpr uint32_t kAspPropTranslateUidToDevice = aspFourCC("uidd");

// Device selectors.
constexpr uint32_t kAspPropRelatedDevices = aspFourCC("akin");
constexpr uint32_t kAspPropClockDomain = aspFourCC("clkd");
constexpr uint32_t kAspPropLatency = aspFourCC("ltnc");
constexpr uint32_t kAspPropSafetyOffset = aspFourCC("saft");
constexpr uint32_t kAspPropClockIsStable = aspFourCC("cstb");
constexpr uint32_t kAspPropIsAlive = aspFourCC("livn");
constexpr uint32_t kAspPropIsRunning = aspFourCC("goin");
constexpr uint32_t kAspPropControlList = aspFourCC("ctrl");
constexpr uint32_t kAspPropPreferredChannelsForStereo = aspFourCC("dch2");
constexpr uint32_t kAspPropCanBeDefaultDevice = aspFourCC("dflt");
constexpr uint32_t kAspPropCanBeDefaultSystemDevice = aspFourCC("sflt");
constexpr uint32_t kAspPropIsHidden = aspFourCC("hidn");
constexpr uint32_t kAspPropDeviceUid = aspFourCC("uid ");
constexpr uint32_t kAspPropModelUid = aspFourCC("muid");
constexpr uint32_t kAspPropAvailableNominalSampleRates = aspFourCC("nsr#");
constexpr uint32_t kAspPropNominalSampleRate = aspFourCC("nsrt");
constexpr uint32_t kAspPropStreams = aspFourCC("stm#");
constexpr uint32_t kAspPropZeroTimeStampPeriod = aspFourCC("ring");
constexpr uint32_t kAspPropTransportType = aspFourCC("tran");

// Stream selectors.
constexpr uint32_t kAspPropPhysicalFormat = aspFourCC("pft ");
constexpr uint32_t kAspPropVirtualFormat = aspFourCC("sfmt");
constexpr uint32_t kAspPropAvailablePhysicalFormats = aspFourCC("pfta");
constexpr uint32_t kAspPropAvailableVirtualFormats = aspFourCC("sfma");
constexpr uint32_t kAspPropStreamIsActive = aspFourCC("sact");
constexpr uint32_t kAspPropStartingChannel = aspFourCC("schn");
constexpr uint32_t kAspPropDirection = aspFourCC("sdir");
constexpr uint32_t kAspPropTerminalType = aspFourCC("term");

// Control selectors.
constexpr uint32_t kAspPropControlScope = aspFourCC("cscp");
constexpr uint32_t kAspPropControlElement = aspFourCC("celm");
constexpr uint32_t kAspPropScalarValue = aspFourCC("lcsv");
constexpr uint32_t kAspPropDecibelValue = aspFourCC("lcdv");
constexpr uint32_t kAspPropDecibelRange = aspFourCC("lcdr");
constexpr uint32_t kAspPropScalarToDecibels = aspFourCC("lcsd");
constexpr uint32_t kAspPropDecibelsToScalar = aspFourCC("lcds");
constexpr uint32_t kAspPropBooleanValue = aspFourCC("bcvl");

// Values of some selectors.
constexpr uint32_t kAspTransportVirtual = aspFourCC("virt");
constexpr uint32_t kAspTerminalMicrophone = aspFourCC("micr");
constexpr uint32_t kAspTerminalSpeaker = aspFourCC("spkr");
constexpr uint32_t kAspFormatLinearPcm = aspFourCC("lpcm");
constexpr uint32_t kAspFormatFlagIsFloat = 1u;
constexpr uint32_t kAspFormatFlagIsPacked = 8u;

struct AspValueRange {
  double minimum;
  double maximum;
};

// 40 bytes.
struct AspStreamFormat {
  double sampleRate;
  uint32_t formatId;
  uint32_t formatFlags;
  uint32_t bytesPerPacket;
  uint32_t framesPerPacket;
  uint32_t bytesPerFrame;
  uint32_t channelsPerFrame;
  uint32_t bitsPerChannel;
  uint32_t reserved;
};

// 56 bytes.
struct AspRangedStreamFormat {
  AspStreamFormat format;
  AspValueRange sampleRateRange;
};

static_assert(sizeof(AspStreamFormat) == 40, "stream format is 40 bytes");
static_assert(sizeof(AspRangedStreamFormat) == 56, "ranged stream format is 56 bytes");

// ---- text -----------------------------------------------------------------------------------
// A text value handed across the table by pointer (8 bytes). Whoever receives one from a
// property call owns it and frees it with aspTextRelease. Both sides use the same C heap.
struct AspText {
  size_t length;
  char bytes[1];  // NUL-terminated, `length` bytes before the NUL
};

inline AspText* aspTextCreate(const char* utf8) {
  size_t length = strlen(utf8);
  AspText* text = static_cast<AspText*>(malloc(sizeof(AspText) + length));
  if (!text) return nullptr;
  text->length = length;
  memcpy(text->bytes, utf8, length + 1);
  return text;
}

inline void aspTextRelease(AspText* text) { free(text); }

// ---- stored values --------------------------------------------------------------------------
// What the host keeps for the driver across loads (its storage outlives the plug-in).
constexpr uint32_t kAspValueNone = 0;
constexpr uint32_t kAspValueFloat32 = 1;
constexpr uint32_t kAspValueInt32 = 2;
constexpr uint32_t kAspValueText = 3;

struct AspStoredValue {
  uint32_t kind;   // kAspValue...
  double number;   // for the two number kinds
  char text[256];  // for kAspValueText, NUL-terminated
};

// ---- time -----------------------------------------------------------------------------------
struct AspTimeStamp {
  double sampleTime;
  uint64_t hostTime;
  double rateScalar;
  uint32_t flags;
  uint32_t reserved;
};

constexpr uint32_t kAspTimeStampSampleTimeValid = 1u;
constexpr uint32_t kAspTimeStampHostTimeValid = 2u;

// What the server tells the driver about one I/O cycle of a device.
struct AspIoCycleInfo {
  uint64_t cycleCounter;
  uint32_t nominalBufferFrames;
  AspTimeStamp currentTime;
  AspTimeStamp inputTime;   // sample time of the first frame of this cycle's input buffer
  AspTimeStamp outputTime;  // sample time of the first frame of this cycle's output buffer
};

// I/O operations of a cycle.
constexpr uint32_t kAspIoReadInput = aspFourCC("read");
constexpr uint32_t kAspIoWriteMix = aspFourCC("rite");

// ---- identifiers ----------------------------------------------------------------------------
struct AspUuid {
  uint8_t bytes[16];
};

inline bool aspUuidEqual(const AspUuid& a, const AspUuid& b) {
  return memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
}

// The type a factory is asked for, and the two interfaces QueryInterface knows.
constexpr AspUuid kAspPlugInTypeUuid = {{0x5A, 0x1F, 0x3C, 0x92, 0x0B, 0x7E, 0x4D, 0x61, 0x9A,
                                         0x35, 0xC4, 0x28, 0xE0, 0x17, 0x6B, 0xD3}};
constexpr AspUuid kAspUnknownInterfaceUuid = {{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                               0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr AspUuid kAspDriverInterfaceUuid = {{0xE8, 0x44, 0x70, 0x2D, 0x63, 0xB9, 0x48, 0x0E,
                                              0xA1, 0x5C, 0x37, 0x9F, 0x02, 0xD6, 0x8B, 0x14}};

// ---- the host interface (server side, handed to Initialize) ---------------------------------
struct AspHostInterface;

struct AspHostInterface {
  // Tells the server that properties of an object changed; it informs its listeners later,
  // never from inside this call.
  AspStatus (*PropertiesChanged)(const AspHostInterface* host, AspObjectId object,
                                 uint32_t count, const AspPropertyAddress* addresses);
  // Storage: copies a stored value out (kAspUnknownProperty and kind kAspValueNone when absent),
  // writes one, deletes one.
  AspStatus (*CopyFromStorage)(const AspHostInterface* host, const char* key,
                               AspStoredValue* outValue);
  AspStatus (*WriteToStorage)(const AspHostInterface* host, const char* key,
                              const AspStoredValue* value);
  AspStatus (*DeleteFromStorage)(const AspHostInterface* host, const char* key);
  // The system's absolute clock and its timebase (ticks x numer / denom = nanoseconds). The
  // server owns time: under a manual clock "now" is whatever the server has advanced to.
  uint64_t (*AbsoluteTime)(const AspHostInterface* host);
  void (*Timebase)(const AspHostInterface* host, uint32_t* numer, uint32_t* denom);
};

// ---- the driver interface (plug-in side) ----------------------------------------------------
struct AspDriverInterface;
typedef AspDriverInterface** AspDriverRef;

struct AspClientInfo {
  uint32_t clientId;
  pid_t processId;
  const char* bundleId;
};

// Slot order is part of the binary contract.
struct AspDriverInterface {
  void* reserved;
  AspStatus (*QueryInterface)(void* driver, AspUuid interfaceId, void** outInterface);
  uint32_t (*AddRef)(void* driver);
  uint32_t (*Release)(void* driver);
  AspStatus (*Initialize)(AspDriverRef driver, const AspHostInterface* host);
  AspStatus (*CreateDevice)(AspDriverRef driver, const void* description,
                            const AspClientInfo* client, AspObjectId* outDevice);
  AspStatus (*DestroyDevice)(AspDriverRef driver, AspObjectId device);
  AspStatus (*AddDeviceClient)(AspDriverRef driver, AspObjectId device,
                               const AspClientInfo* client);
  AspStatus (*RemoveDeviceClient)(AspDriverRef driver, AspObjectId device,
                                  const AspClientInfo* client);
  AspStatus (*PerformConfigChange)(AspDriverRef driver, AspObjectId device, uint64_t action,
                                   void* changeInfo);
  AspStatus (*AbortConfigChange)(AspDriverRef driver, AspObjectId device, uint64_t action,
                                 void* changeInfo);
  bool (*HasProperty)(AspDriverRef driver, AspObjectId object, pid_t client,
                      const AspPropertyAddress* address);
  AspStatus (*IsPropertySettable)(AspDriverRef driver, AspObjectId object, pid_t client,
                                  const AspPropertyAddress* address, bool* outSettable);
  AspStatus (*GetPropertyDataSize)(AspDriverRef driver, AspObjectId object, pid_t client,
                                   const AspPropertyAddress* address, uint32_t qualifierSize,
                                   const void* qualifier, uint32_t* outSize);
  AspStatus (*GetPropertyData)(AspDriverRef driver, AspObjectId object, pid_t client,
                               const AspPropertyAddress* address, uint32_t qualifierSize,
                               const void* qualifier, uint32_t size, uint32_t* outSize,
                               void* outData);
  AspStatus (*SetPropertyData)(AspDriverRef driver, AspObjectId object, pid_t client,
                               const AspPropertyAddress* address, uint32_t qualifierSize,
                               const void* qualifier, uint32_t size, const void* data);
  AspStatus (*StartIO)(AspDriverRef driver, AspObjectId device, uint32_t clientId);
  AspStatus (*StopIO)(AspDriverRef driver, AspObjectId device, uint32_t clientId);
  AspStatus (*GetZeroTimeStamp)(AspDriverRef driver, AspObjectId device, uint32_t clientId,
                                double* outSampleTime, uint64_t* outHostTime, uint64_t* outSeed);
  AspStatus (*WillDoIOOperation)(AspDriverRef driver, AspObjectId device, uint32_t clientId,
                                 uint32_t operation, bool* outWillDo, bool* outWillDoInPlace);
  AspStatus (*BeginIOOperation)(AspDriverRef driver, AspObjectId device, uint32_t clientId,
                                uint32_t operation, uint32_t frames,
                                const AspIoCycleInfo* cycle);
  AspStatus (*DoIOOperation)(AspDriverRef driver, AspObjectId device, AspObjectId stream,
                             uint32_t clientId, uint32_t operation, uint32_t frames,
                             const AspIoCycleInfo* cycle, void* mainBuffer,
                             void* secondaryBuffer);
  AspStatus (*EndIOOperation)(AspDriverRef driver, AspObjectId device, uint32_t clientId,
                              uint32_t operation, uint32_t frames, const AspIoCycleInfo* cycle);
};

// The one symbol a bundle exports; its name is given by the bundle's Info.plist ("PlugInFactory").
// Returns the driver for kAspPlugInTypeUuid, null for any other type.
typedef void* (*AspFactoryFunction)(const void* allocator, const AspUuid* requestedType);

}  // extern "C"
