// The audio-server plug-in: nine fixed virtual devices at 48000 Hz stereo float, paired through
// five rings. Loaded by the audio server through its one exported factory; everything else is
// file-local. Threading: property calls may come on any server thread; start/stop serialise on
// the ring's mutex; the I/O operations run on the server's real-time threads and never lock.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "core/denormals.h"
#include "platform/plugin/asp.h"

namespace {

// ---- device table and object ids ----------------------------------------------------------

struct DeviceDef {
  const char* name;
  const char* uid;
  uint8_t hasInput;
  uint8_t hasOutput;
  uint8_t hidden;
  int32_t ring;
  uint32_t controlScope; // 0 = no controls
};

constexpr int kDeviceCount = 9;
constexpr int kRingCount = 5;

constexpr DeviceDef kDefs[kDeviceCount] = {
    {"Velto Input", "VeltoDefaultOutput_UID", 0, 1, 0, 0, kAspScopeOutput},
    {"Velto Input Return", "VeltoDefaultOutputReturn_UID", 1, 0, 1, 0, 0},
    {"Velto Out 1", "VeltoOut1_UID", 1, 0, 0, 1, kAspScopeInput},
    {"Velto Out 1 Feed", "VeltoOut1Feed_UID", 0, 1, 1, 1, 0},
    {"Velto Out 2", "VeltoOut2_UID", 1, 0, 0, 2, kAspScopeInput},
    {"Velto Out 2 Feed", "VeltoOut2Feed_UID", 0, 1, 1, 2, 0},
    {"Velto Out 3", "VeltoOut3_UID", 1, 0, 0, 3, kAspScopeInput},
    {"Velto Out 3 Feed", "VeltoOut3Feed_UID", 0, 1, 1, 3, 0},
    {"Velto Clock", "VeltoClock_UID", 0, 1, 1, 4, 0},
};

constexpr const char* kManufacturer = "Velto";
constexpr const char* kModelUid = "Velto_ModelUID";
constexpr double kSampleRate = 48000.0;
constexpr uint32_t kRingFrames = 16384; // also the zero time stamp period
constexpr uint32_t kRingMask = kRingFrames - 1;
constexpr AspObjectId kLastObjectId = 46;
constexpr float kMinDb = -96.0f;
constexpr float kMaxDb = 0.0f;
// The gain of -96 dB, the floor that a volume above zero never goes below.
constexpr float kFloorGain = 1.5848926e-5f;
constexpr uint32_t kTrialSize = 512;

AspObjectId deviceId(int row) {
  return AspObjectId(2 + 5 * row);
}
AspObjectId inputStreamId(int row) {
  return AspObjectId(3 + 5 * row);
}
AspObjectId outputStreamId(int row) {
  return AspObjectId(4 + 5 * row);
}
AspObjectId volumeId(int row) {
  return AspObjectId(5 + 5 * row);
}
AspObjectId muteId(int row) {
  return AspObjectId(6 + 5 * row);
}

enum class Kind { Unknown, PlugIn, Device, InputStream, OutputStream, Volume, Mute };

struct ObjectRef {
  Kind kind;
  int row;
};

ObjectRef decodeObject(AspObjectId id) {
  if (id == kAspPlugInObject) return {Kind::PlugIn, -1};
  if (id < 2 || id > kLastObjectId) return {Kind::Unknown, -1};
  uint32_t k = id - 2;
  int row = int(k / 5);
  const DeviceDef& def = kDefs[row];
  switch (k % 5) {
  case 0:
    return {Kind::Device, row};
  case 1:
    return def.hasInput ? ObjectRef{Kind::InputStream, row} : ObjectRef{Kind::Unknown, -1};
  case 2:
    return def.hasOutput ? ObjectRef{Kind::OutputStream, row} : ObjectRef{Kind::Unknown, -1};
  case 3:
    return def.controlScope ? ObjectRef{Kind::Volume, row} : ObjectRef{Kind::Unknown, -1};
  default:
    return def.controlScope ? ObjectRef{Kind::Mute, row} : ObjectRef{Kind::Unknown, -1};
  }
}

// ---- globals --------------------------------------------------------------------------------

struct Control {
  std::atomic<float> volume{1.0f};
  std::atomic<int32_t> mute{0};
  float lastGain = 1.0f; // touched by the reading device's I/O thread only
};

struct Ring {
  std::atomic<int32_t> ioCount{0};
  std::atomic<uint64_t> anchor{0};
  // Bumped after every write and read so the two I/O threads of a pair see each other's data.
  std::atomic<uint64_t> sequence{0};
  float data[kRingFrames * 2] = {};
  std::mutex mutex;
};

// Ring samples are touched by two I/O threads without a lock; relaxed atomic access keeps that
// defined even when a misbehaving client makes the two sides overlap.
static_assert(std::atomic_ref<float>::is_always_lock_free);

extern AspDriverInterface gInterface; // the table, defined after the functions it names
AspDriverInterface* gInterfacePtr = &gInterface;
std::atomic<uint32_t> gRefCount{1};
const AspHostInterface* gHost = nullptr;
double gTicksPerFrame = 1e9 / kSampleRate;
Control gControls[kDeviceCount];
Ring gRings[kRingCount];

uint64_t currentTime() {
  if (gHost && gHost->AbsoluteTime) return gHost->AbsoluteTime(gHost);
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

// ---- volume law -----------------------------------------------------------------------------

float scalarToDb(float scalar) {
  float db = 60.0f * std::log10(std::max(scalar, 1e-5f));
  return std::clamp(db, kMinDb, kMaxDb);
}

float dbToScalar(float db) {
  if (db <= kMinDb) return 0.0f;
  return std::pow(10.0f, std::min(db, kMaxDb) / 60.0f);
}

// The gain a visible input applies for its volume and mute: the cube of the scalar, -96 dB floor.
float targetGain(const Control& control) {
  float volume = control.volume.load(std::memory_order_relaxed);
  if (control.mute.load(std::memory_order_relaxed) != 0 || !(volume > 0.0f)) return 0.0f;
  float db = 60.0f * std::log10(std::max(volume, 1e-5f));
  if (db < kMinDb) return kFloorGain;
  return std::pow(10.0f, std::min(db, kMaxDb) / 20.0f);
}

// ---- storage and notices --------------------------------------------------------------------

void storageKey(int row, const char* word, char* key, size_t size) {
  snprintf(key, size, "%s.%s", kDefs[row].uid, word);
}

void saveControls(int row) {
  if (!gHost || !gHost->WriteToStorage) return;
  char key[128];
  AspStoredValue value{};
  storageKey(row, "volume", key, sizeof key);
  value.kind = kAspValueFloat32;
  value.number = gControls[row].volume.load();
  gHost->WriteToStorage(gHost, key, &value);
  storageKey(row, "mute", key, sizeof key);
  value.kind = kAspValueInt32;
  value.number = gControls[row].mute.load();
  gHost->WriteToStorage(gHost, key, &value);
}

bool isNumber(const AspStoredValue& value) {
  return value.kind == kAspValueFloat32 || value.kind == kAspValueInt32;
}

void loadControls() {
  if (!gHost || !gHost->CopyFromStorage) return;
  for (int row = 0; row < kDeviceCount; ++row) {
    if (!kDefs[row].controlScope) continue;
    char key[128];
    AspStoredValue value{};
    storageKey(row, "volume", key, sizeof key);
    // A stored value that is not a finite number (a damaged file) keeps the default.
    if (gHost->CopyFromStorage(gHost, key, &value) == kAspNoError && isNumber(value) &&
        std::isfinite(value.number)) {
      gControls[row].volume.store(std::clamp(float(value.number), 0.0f, 1.0f));
    }
    value = AspStoredValue{};
    storageKey(row, "mute", key, sizeof key);
    if (gHost->CopyFromStorage(gHost, key, &value) == kAspNoError && isNumber(value) &&
        std::isfinite(value.number)) {
      double clamped = std::clamp(value.number, double(INT32_MIN), double(INT32_MAX));
      gControls[row].mute.store(int32_t(clamped) != 0 ? 1 : 0);
    }
  }
}

void notifyChanged(AspObjectId object, uint32_t count, const AspPropertyAddress* addresses) {
  if (!gHost || !gHost->PropertiesChanged) return;
  gHost->PropertiesChanged(gHost, object, count, addresses);
}

// ---- property answers -----------------------------------------------------------------------

bool plugInHas(uint32_t selector) {
  switch (selector) {
  case kAspPropBaseClass:
  case kAspPropClass:
  case kAspPropDeviceList:
  case kAspPropOwnedObjects:
  case kAspPropManufacturer:
  case kAspPropResourceBundle:
  case kAspPropOwner:
  case kAspPropTranslateUidToDevice:
    return true;
  default:
    return false;
  }
}

bool deviceHas(uint32_t selector) {
  switch (selector) {
  case kAspPropRelatedDevices:
  case kAspPropBaseClass:
  case kAspPropClass:
  case kAspPropClockDomain:
  case kAspPropLatency:
  case kAspPropSafetyOffset:
  case kAspPropClockIsStable:
  case kAspPropIsAlive:
  case kAspPropOwner:
  case kAspPropControlList:
  case kAspPropPreferredChannelsForStereo:
  case kAspPropCanBeDefaultDevice:
  case kAspPropCanBeDefaultSystemDevice:
  case kAspPropIsHidden:
  case kAspPropIsRunning:
  case kAspPropName:
  case kAspPropDeviceUid:
  case kAspPropManufacturer:
  case kAspPropModelUid:
  case kAspPropAvailableNominalSampleRates:
  case kAspPropNominalSampleRate:
  case kAspPropOwnedObjects:
  case kAspPropStreams:
  case kAspPropZeroTimeStampPeriod:
  case kAspPropTransportType:
    return true;
  default:
    return false;
  }
}

bool streamHas(uint32_t selector) {
  switch (selector) {
  case kAspPropBaseClass:
  case kAspPropClass:
  case kAspPropLatency:
  case kAspPropOwnedObjects:
  case kAspPropPhysicalFormat:
  case kAspPropVirtualFormat:
  case kAspPropAvailablePhysicalFormats:
  case kAspPropAvailableVirtualFormats:
  case kAspPropStreamIsActive:
  case kAspPropStartingChannel:
  case kAspPropDirection:
  case kAspPropOwner:
  case kAspPropTerminalType:
    return true;
  default:
    return false;
  }
}

bool volumeHas(uint32_t selector) {
  switch (selector) {
  case kAspPropBaseClass:
  case kAspPropClass:
  case kAspPropControlScope:
  case kAspPropControlElement:
  case kAspPropScalarValue:
  case kAspPropDecibelValue:
  case kAspPropDecibelRange:
  case kAspPropScalarToDecibels:
  case kAspPropDecibelsToScalar:
  case kAspPropOwnedObjects:
  case kAspPropOwner:
    return true;
  default:
    return false;
  }
}

bool muteHas(uint32_t selector) {
  switch (selector) {
  case kAspPropBaseClass:
  case kAspPropClass:
  case kAspPropControlScope:
  case kAspPropControlElement:
  case kAspPropBooleanValue:
  case kAspPropOwnedObjects:
  case kAspPropOwner:
    return true;
  default:
    return false;
  }
}

bool hasProperty(ObjectRef object, uint32_t selector) {
  switch (object.kind) {
  case Kind::PlugIn:
    return plugInHas(selector);
  case Kind::Device:
    return deviceHas(selector);
  case Kind::InputStream:
  case Kind::OutputStream:
    return streamHas(selector);
  case Kind::Volume:
    return volumeHas(selector);
  case Kind::Mute:
    return muteHas(selector);
  default:
    return false;
  }
}

bool isTextProperty(ObjectRef object, uint32_t selector) {
  if (object.kind == Kind::PlugIn)
    return selector == kAspPropManufacturer || selector == kAspPropResourceBundle;
  if (object.kind == Kind::Device) {
    return selector == kAspPropName || selector == kAspPropDeviceUid ||
           selector == kAspPropManufacturer || selector == kAspPropModelUid;
  }
  return false;
}

// Where one answer goes: the offered room and the size actually written.
struct Answer {
  uint32_t size;
  uint32_t* outSize;
  void* data;
};

AspStatus putBytes(const Answer& answer, const void* value, uint32_t size) {
  if (answer.size < size || (size > 0 && !answer.data)) return kAspBadPropertySize;
  if (size > 0) memcpy(answer.data, value, size);
  *answer.outSize = size;
  return kAspNoError;
}

AspStatus putU32(const Answer& answer, uint32_t value) {
  return putBytes(answer, &value, sizeof value);
}

AspStatus putF32(const Answer& answer, float value) {
  return putBytes(answer, &value, sizeof value);
}

AspStatus putF64(const Answer& answer, double value) {
  return putBytes(answer, &value, sizeof value);
}

AspStatus putText(const Answer& answer, const char* text) {
  if (answer.size < sizeof(AspText*) || !answer.data) return kAspBadPropertySize;
  AspText* value = aspTextCreate(text);
  if (!value) return kAspUnsupportedOperation;
  return putBytes(answer, &value, sizeof value);
}

// A whole id list: it fits or the call fails.
AspStatus putIds(const Answer& answer, const AspObjectId* ids, uint32_t count) {
  return putBytes(answer, ids, count * uint32_t(sizeof(AspObjectId)));
}

AspStatus putFormat(const Answer& answer, bool ranged) {
  AspRangedStreamFormat ranged_format{};
  AspStreamFormat& format = ranged_format.format;
  format.sampleRate = kSampleRate;
  format.formatId = kAspFormatLinearPcm;
  format.formatFlags = kAspFormatFlagIsFloat | kAspFormatFlagIsPacked;
  format.bytesPerPacket = 8;
  format.framesPerPacket = 1;
  format.bytesPerFrame = 8;
  format.channelsPerFrame = 2;
  format.bitsPerChannel = 32;
  ranged_format.sampleRateRange = {kSampleRate, kSampleRate};
  if (ranged) return putBytes(answer, &ranged_format, sizeof ranged_format);
  return putBytes(answer, &format, sizeof format);
}

AspStatus plugInProperty(const AspPropertyAddress& address, uint32_t qualifierSize,
                         const void* qualifier, const Answer& answer) {
  switch (address.selector) {
  case kAspPropBaseClass:
    return putU32(answer, kAspClassObject);
  case kAspPropClass:
    return putU32(answer, kAspClassPlugIn);
  case kAspPropDeviceList:
  case kAspPropOwnedObjects: {
    AspObjectId ids[kDeviceCount];
    for (int row = 0; row < kDeviceCount; ++row) ids[row] = deviceId(row);
    uint32_t count = answer.data ? std::min<uint32_t>(kDeviceCount, answer.size / 4) : 0;
    return putIds(answer, ids, count);
  }
  case kAspPropManufacturer:
    return putText(answer, kManufacturer);
  case kAspPropResourceBundle:
    return putText(answer, "");
  case kAspPropOwner:
    return putU32(answer, kAspUnknownObject);
  case kAspPropTranslateUidToDevice: {
    if (answer.size < 4 || qualifierSize < sizeof(AspText*) || !qualifier)
      return kAspBadPropertySize;
    const AspText* uid = nullptr;
    memcpy(&uid, qualifier, sizeof uid);
    if (!uid) return kAspBadPropertySize;
    AspObjectId found = kAspUnknownObject;
    for (int row = 0; row < kDeviceCount; ++row) {
      if (strcmp(uid->bytes, kDefs[row].uid) == 0) found = deviceId(row);
    }
    return putU32(answer, found);
  }
  default:
    return kAspUnknownProperty;
  }
}

// Streams of the asked scope, then (for 'ownd') the controls that belong to it.
uint32_t deviceChildren(int row, uint32_t scope, bool withControls, AspObjectId* ids) {
  const DeviceDef& def = kDefs[row];
  bool global = scope == kAspScopeGlobal;
  uint32_t count = 0;
  if (def.hasInput && (global || scope == kAspScopeInput)) ids[count++] = inputStreamId(row);
  if (def.hasOutput && (global || scope == kAspScopeOutput)) ids[count++] = outputStreamId(row);
  if (withControls && def.controlScope && (global || scope == def.controlScope)) {
    ids[count++] = volumeId(row);
    ids[count++] = muteId(row);
  }
  return count;
}

AspStatus deviceProperty(int row, const AspPropertyAddress& address, const Answer& answer) {
  const DeviceDef& def = kDefs[row];
  switch (address.selector) {
  case kAspPropRelatedDevices: {
    AspObjectId self = deviceId(row);
    return putIds(answer, &self, 1);
  }
  case kAspPropBaseClass:
    return putU32(answer, kAspClassObject);
  case kAspPropClass:
    return putU32(answer, kAspClassDevice);
  case kAspPropClockDomain:
  case kAspPropLatency:
  case kAspPropSafetyOffset:
    return putU32(answer, 0);
  case kAspPropClockIsStable:
  case kAspPropIsAlive:
    return putU32(answer, 1);
  case kAspPropOwner:
    return putU32(answer, kAspPlugInObject);
  case kAspPropControlList: {
    AspObjectId ids[2] = {volumeId(row), muteId(row)};
    return putIds(answer, ids, def.controlScope ? 2 : 0);
  }
  case kAspPropPreferredChannelsForStereo: {
    uint32_t channels[2] = {1, 2};
    return putBytes(answer, channels, sizeof channels);
  }
  case kAspPropCanBeDefaultDevice:
  case kAspPropCanBeDefaultSystemDevice:
    return putU32(answer, def.hidden ? 0 : 1);
  case kAspPropIsHidden:
    return putU32(answer, def.hidden);
  case kAspPropIsRunning:
    return putU32(answer, gRings[def.ring].ioCount.load(std::memory_order_acquire) != 0);
  case kAspPropName:
    return putText(answer, def.name);
  case kAspPropDeviceUid:
    return putText(answer, def.uid);
  case kAspPropManufacturer:
    return putText(answer, kManufacturer);
  case kAspPropModelUid:
    return putText(answer, kModelUid);
  case kAspPropAvailableNominalSampleRates: {
    AspValueRange range{kSampleRate, kSampleRate};
    return putBytes(answer, &range, sizeof range);
  }
  case kAspPropNominalSampleRate:
    return putF64(answer, kSampleRate);
  case kAspPropOwnedObjects:
  case kAspPropStreams: {
    AspObjectId ids[4];
    bool withControls = address.selector == kAspPropOwnedObjects;
    return putIds(answer, ids, deviceChildren(row, address.scope, withControls, ids));
  }
  case kAspPropZeroTimeStampPeriod:
    return putU32(answer, kRingFrames);
  case kAspPropTransportType:
    return putU32(answer, kAspTransportVirtual);
  default:
    return kAspUnknownProperty;
  }
}

AspStatus streamProperty(int row, bool input, const AspPropertyAddress& address,
                         const Answer& answer) {
  switch (address.selector) {
  case kAspPropBaseClass:
    return putU32(answer, kAspClassObject);
  case kAspPropClass:
    return putU32(answer, kAspClassStream);
  case kAspPropLatency:
    return putU32(answer, 0);
  case kAspPropOwnedObjects:
    return putIds(answer, nullptr, 0);
  case kAspPropPhysicalFormat:
  case kAspPropVirtualFormat:
    return putFormat(answer, false);
  case kAspPropAvailablePhysicalFormats:
  case kAspPropAvailableVirtualFormats:
    return putFormat(answer, true);
  case kAspPropStreamIsActive:
  case kAspPropStartingChannel:
    return putU32(answer, 1);
  case kAspPropDirection:
    return putU32(answer, input ? 1 : 0);
  case kAspPropOwner:
    return putU32(answer, deviceId(row));
  case kAspPropTerminalType:
    return putU32(answer, input ? kAspTerminalMicrophone : kAspTerminalSpeaker);
  default:
    return kAspUnknownProperty;
  }
}

// 'lcsd' and 'lcds' convert the float the caller put into the data buffer, in place.
AspStatus convertInPlace(const Answer& answer, bool toDb) {
  if (answer.size < sizeof(float) || !answer.data) return kAspBadPropertySize;
  float value = 0.0f;
  memcpy(&value, answer.data, sizeof value);
  return putF32(answer, toDb ? scalarToDb(value) : dbToScalar(value));
}

AspStatus volumeProperty(int row, const AspPropertyAddress& address, const Answer& answer) {
  const DeviceDef& def = kDefs[row];
  float volume = gControls[row].volume.load(std::memory_order_relaxed);
  switch (address.selector) {
  case kAspPropBaseClass:
    return putU32(answer, kAspClassLevelControl);
  case kAspPropClass:
    return putU32(answer, kAspClassVolumeControl);
  case kAspPropControlScope:
    return putU32(answer, def.controlScope);
  case kAspPropControlElement:
    return putU32(answer, kAspElementMain);
  case kAspPropScalarValue:
    return putF32(answer, volume);
  case kAspPropDecibelValue:
    return putF32(answer, scalarToDb(volume));
  case kAspPropDecibelRange: {
    AspValueRange range{kMinDb, kMaxDb};
    return putBytes(answer, &range, sizeof range);
  }
  case kAspPropScalarToDecibels:
    return convertInPlace(answer, true);
  case kAspPropDecibelsToScalar:
    return convertInPlace(answer, false);
  case kAspPropOwnedObjects:
    return putIds(answer, nullptr, 0);
  case kAspPropOwner:
    return putU32(answer, deviceId(row));
  default:
    return kAspUnknownProperty;
  }
}

AspStatus muteProperty(int row, const AspPropertyAddress& address, const Answer& answer) {
  switch (address.selector) {
  case kAspPropBaseClass:
    return putU32(answer, kAspClassBooleanControl);
  case kAspPropClass:
    return putU32(answer, kAspClassMuteControl);
  case kAspPropControlScope:
    return putU32(answer, kDefs[row].controlScope);
  case kAspPropControlElement:
    return putU32(answer, kAspElementMain);
  case kAspPropBooleanValue:
    return putU32(answer, uint32_t(gControls[row].mute.load(std::memory_order_relaxed)));
  case kAspPropOwnedObjects:
    return putIds(answer, nullptr, 0);
  case kAspPropOwner:
    return putU32(answer, deviceId(row));
  default:
    return kAspUnknownProperty;
  }
}

AspStatus getProperty(ObjectRef object, const AspPropertyAddress& address, uint32_t qualifierSize,
                      const void* qualifier, const Answer& answer) {
  switch (object.kind) {
  case Kind::PlugIn:
    return plugInProperty(address, qualifierSize, qualifier, answer);
  case Kind::Device:
    return deviceProperty(object.row, address, answer);
  case Kind::InputStream:
    return streamProperty(object.row, true, address, answer);
  case Kind::OutputStream:
    return streamProperty(object.row, false, address, answer);
  case Kind::Volume:
    return volumeProperty(object.row, address, answer);
  case Kind::Mute:
    return muteProperty(object.row, address, answer);
  default:
    return kAspBadObject;
  }
}

// ---- settable properties --------------------------------------------------------------------

bool isSettable(ObjectRef object, uint32_t selector) {
  switch (object.kind) {
  case Kind::Device:
    return selector == kAspPropNominalSampleRate;
  case Kind::InputStream:
  case Kind::OutputStream:
    return selector == kAspPropPhysicalFormat || selector == kAspPropVirtualFormat ||
           selector == kAspPropStreamIsActive;
  case Kind::Volume:
    return selector == kAspPropScalarValue || selector == kAspPropDecibelValue;
  case Kind::Mute:
    return selector == kAspPropBooleanValue;
  default:
    return false;
  }
}

AspStatus setDeviceProperty(uint32_t selector, uint32_t size, const void* data) {
  if (selector != kAspPropNominalSampleRate) return kAspUnknownProperty;
  if (size < sizeof(double)) return kAspBadPropertySize;
  double rate = 0.0;
  memcpy(&rate, data, sizeof rate);
  return rate == kSampleRate ? kAspNoError : kAspUnsupportedFormat;
}

AspStatus setStreamProperty(uint32_t selector, uint32_t size, const void* data) {
  if (selector == kAspPropStreamIsActive) return kAspNoError;
  if (selector != kAspPropPhysicalFormat && selector != kAspPropVirtualFormat)
    return kAspUnknownProperty;
  if (size < sizeof(AspStreamFormat)) return kAspBadPropertySize;
  AspStreamFormat format{};
  memcpy(&format, data, sizeof format);
  bool ours = format.sampleRate == kSampleRate && format.channelsPerFrame == 2 &&
              format.formatId == kAspFormatLinearPcm && format.bitsPerChannel == 32;
  return ours ? kAspNoError : kAspUnsupportedFormat;
}

AspStatus setVolume(int row, uint32_t selector, uint32_t size, const void* data) {
  if (selector != kAspPropScalarValue && selector != kAspPropDecibelValue)
    return kAspUnknownProperty;
  if (size < sizeof(float)) return kAspBadPropertySize;
  float value = 0.0f;
  memcpy(&value, data, sizeof value);
  // NaN would slip through the clamp and reach the audio as a NaN gain.
  if (!std::isfinite(value)) return kAspUnsupportedFormat;
  float scalar =
      selector == kAspPropScalarValue ? std::clamp(value, 0.0f, 1.0f) : dbToScalar(value);
  gControls[row].volume.store(scalar);
  const AspPropertyAddress changed[2] = {{kAspPropScalarValue, kAspScopeGlobal, kAspElementMain},
                                         {kAspPropDecibelValue, kAspScopeGlobal, kAspElementMain}};
  notifyChanged(volumeId(row), 2, changed);
  saveControls(row);
  return kAspNoError;
}

AspStatus setMute(int row, uint32_t selector, uint32_t size, const void* data) {
  if (selector != kAspPropBooleanValue) return kAspUnknownProperty;
  if (size < sizeof(uint32_t)) return kAspBadPropertySize;
  uint32_t value = 0;
  memcpy(&value, data, sizeof value);
  gControls[row].mute.store(value != 0 ? 1 : 0);
  const AspPropertyAddress changed{kAspPropBooleanValue, kAspScopeGlobal, kAspElementMain};
  notifyChanged(muteId(row), 1, &changed);
  saveControls(row);
  return kAspNoError;
}

// ---- rings ----------------------------------------------------------------------------------

// Position of a sample time in the ring: the whole frame number modulo the ring size, also for
// negative and huge times.
uint32_t ringPosition(double sampleTime) {
  if (!std::isfinite(sampleTime)) return 0;
  double frame = std::fmod(std::trunc(sampleTime), double(kRingFrames));
  if (frame < 0) frame += kRingFrames;
  return uint32_t(frame) & kRingMask;
}

void clearRing(Ring& ring) {
  for (float& sample : ring.data)
    std::atomic_ref<float>(sample).store(0.0f, std::memory_order_relaxed);
}

// audio thread
void copyIntoRing(Ring& ring, uint32_t pos, const float* source, uint32_t frames) {
  float* target = ring.data + size_t(pos) * 2;
  for (uint32_t i = 0; i < frames * 2; ++i)
    std::atomic_ref<float>(target[i]).store(source[i], std::memory_order_relaxed);
}

// audio thread
void takeFromRing(Ring& ring, uint32_t pos, float* target, uint32_t frames) {
  float* source = ring.data + size_t(pos) * 2;
  for (uint32_t i = 0; i < frames * 2; ++i) {
    std::atomic_ref<float> sample(source[i]);
    target[i] = sample.load(std::memory_order_relaxed);
    sample.store(0.0f, std::memory_order_relaxed);
  }
}

// audio thread. Copy, not mix. Of a write longer than the ring only its last ring's worth
// survives, so only that part is copied.
void writeRing(Ring& ring, double sampleTime, const float* buffer, uint32_t frames) {
  ring.sequence.fetch_add(1, std::memory_order_acquire);
  uint32_t pos = ringPosition(sampleTime);
  if (frames > kRingFrames) {
    uint32_t skip = frames - kRingFrames;
    buffer += size_t(skip) * 2;
    pos = (pos + skip) & kRingMask;
    frames = kRingFrames;
  }
  uint32_t first = std::min(kRingFrames - pos, frames);
  copyIntoRing(ring, pos, buffer, first);
  copyIntoRing(ring, 0, buffer + size_t(first) * 2, frames - first);
  ring.sequence.fetch_add(1, std::memory_order_release);
}

// audio thread. Reads and clears; past the first wrap the ring is already cleared.
void readRing(Ring& ring, double sampleTime, float* buffer, uint32_t frames) {
  ring.sequence.fetch_add(1, std::memory_order_acquire);
  uint32_t pos = ringPosition(sampleTime);
  uint32_t first = std::min(kRingFrames - pos, frames);
  takeFromRing(ring, pos, buffer, first);
  for (uint32_t done = first; done < frames;) {
    uint32_t piece = std::min(kRingFrames, frames - done);
    takeFromRing(ring, 0, buffer + size_t(done) * 2, piece);
    done += piece;
  }
  ring.sequence.fetch_add(1, std::memory_order_release);
}

// audio thread. Volume and mute of a visible input, ramped from the previous cycle's gain.
void applyInputGain(Control& control, float* buffer, uint32_t frames) {
  float target = targetGain(control);
  float last = control.lastGain;
  if (last == 1.0f && target == 1.0f) return;
  for (uint32_t i = 0; i < frames; ++i) {
    float gain = last + (target - last) * float(i + 1) / float(frames);
    buffer[2 * i] *= gain;
    buffer[2 * i + 1] *= gain;
  }
  control.lastGain = target;
}

// ---- the interface table --------------------------------------------------------------------

AspStatus queryInterface(void*, AspUuid interfaceId, void** outInterface) {
  bool known = aspUuidEqual(interfaceId, kAspUnknownInterfaceUuid) ||
               aspUuidEqual(interfaceId, kAspDriverInterfaceUuid);
  if (!known || !outInterface) return kAspNoInterface;
  gRefCount.fetch_add(1);
  *outInterface = &gInterfacePtr;
  return kAspNoError;
}

uint32_t addRef(void*) {
  return gRefCount.fetch_add(1) + 1;
}

uint32_t release(void*) {
  uint32_t count = gRefCount.load();
  while (count != 0) {
    if (gRefCount.compare_exchange_weak(count, count - 1)) return count - 1;
  }
  return 0;
}

AspStatus initialize(AspDriverRef, const AspHostInterface* host) {
  gHost = host;
  uint32_t numer = 1;
  uint32_t denom = 1;
  if (host && host->Timebase) host->Timebase(host, &numer, &denom);
  if (numer == 0 || denom == 0) numer = denom = 1;
  gTicksPerFrame = 1e9 * double(denom) / double(numer) / kSampleRate;
  loadControls();
  return kAspNoError;
}

AspStatus createDevice(AspDriverRef, const void*, const AspClientInfo*, AspObjectId*) {
  return kAspUnsupportedOperation;
}

AspStatus destroyDevice(AspDriverRef, AspObjectId) {
  return kAspUnsupportedOperation;
}

AspStatus deviceClient(AspDriverRef, AspObjectId, const AspClientInfo*) {
  return kAspNoError;
}

AspStatus configChange(AspDriverRef, AspObjectId, uint64_t, void*) {
  return kAspNoError;
}

bool hasPropertyCall(AspDriverRef, AspObjectId object, pid_t, const AspPropertyAddress* address) {
  return address && hasProperty(decodeObject(object), address->selector);
}

AspStatus isPropertySettableCall(AspDriverRef, AspObjectId object, pid_t,
                                 const AspPropertyAddress* address, bool* outSettable) {
  ObjectRef ref = decodeObject(object);
  if (!address || !hasProperty(ref, address->selector)) return kAspUnknownProperty;
  if (outSettable) *outSettable = isSettable(ref, address->selector);
  return kAspNoError;
}

AspStatus getPropertyDataSizeCall(AspDriverRef, AspObjectId object, pid_t,
                                  const AspPropertyAddress* address, uint32_t qualifierSize,
                                  const void* qualifier, uint32_t* outSize) {
  ObjectRef ref = decodeObject(object);
  if (!address || !hasProperty(ref, address->selector)) return kAspUnknownProperty;
  if (!outSize) return kAspBadPropertySize;
  if (ref.kind == Kind::PlugIn && address->selector == kAspPropTranslateUidToDevice) {
    *outSize = sizeof(AspObjectId);
    return kAspNoError;
  }
  alignas(8) unsigned char trial[kTrialSize] = {};
  uint32_t size = 0;
  AspStatus status =
      getProperty(ref, *address, qualifierSize, qualifier, Answer{kTrialSize, &size, trial});
  if (status != kAspNoError) return status;
  if (isTextProperty(ref, address->selector)) {
    AspText* text = nullptr;
    memcpy(&text, trial, sizeof text);
    aspTextRelease(text);
  }
  *outSize = size;
  return kAspNoError;
}

AspStatus getPropertyDataCall(AspDriverRef, AspObjectId object, pid_t,
                              const AspPropertyAddress* address, uint32_t qualifierSize,
                              const void* qualifier, uint32_t size, uint32_t* outSize,
                              void* outData) {
  ObjectRef ref = decodeObject(object);
  if (!address || !hasProperty(ref, address->selector)) return kAspUnknownProperty;
  uint32_t written = 0;
  AspStatus status =
      getProperty(ref, *address, qualifierSize, qualifier, Answer{size, &written, outData});
  if (status == kAspNoError && outSize) *outSize = written;
  return status;
}

AspStatus setPropertyDataCall(AspDriverRef, AspObjectId object, pid_t,
                              const AspPropertyAddress* address, uint32_t, const void*,
                              uint32_t size, const void* data) {
  ObjectRef ref = decodeObject(object);
  if (!address || ref.kind == Kind::PlugIn || !hasProperty(ref, address->selector))
    return kAspUnknownProperty;
  if (!data) size = 0;
  switch (ref.kind) {
  case Kind::Device:
    return setDeviceProperty(address->selector, size, data);
  case Kind::InputStream:
  case Kind::OutputStream:
    return setStreamProperty(address->selector, size, data);
  case Kind::Volume:
    return setVolume(ref.row, address->selector, size, data);
  case Kind::Mute:
    return setMute(ref.row, address->selector, size, data);
  default:
    return kAspUnknownProperty;
  }
}

AspStatus startIO(AspDriverRef, AspObjectId device, uint32_t) {
  ObjectRef ref = decodeObject(device);
  if (ref.kind != Kind::Device) return kAspBadObject;
  Ring& ring = gRings[kDefs[ref.row].ring];
  std::lock_guard<std::mutex> lock(ring.mutex);
  int32_t count = ring.ioCount.load();
  if (count == 0) {
    clearRing(ring);
    ring.anchor.store(currentTime());
  }
  ring.ioCount.store(count + 1, std::memory_order_release);
  return kAspNoError;
}

AspStatus stopIO(AspDriverRef, AspObjectId device, uint32_t) {
  ObjectRef ref = decodeObject(device);
  if (ref.kind != Kind::Device) return kAspBadObject;
  Ring& ring = gRings[kDefs[ref.row].ring];
  std::lock_guard<std::mutex> lock(ring.mutex);
  int32_t count = ring.ioCount.load();
  if (count != 0) ring.ioCount.store(count - 1, std::memory_order_release);
  return kAspNoError;
}

// audio thread
AspStatus getZeroTimeStamp(AspDriverRef, AspObjectId device, uint32_t, double* outSampleTime,
                           uint64_t* outHostTime, uint64_t* outSeed) {
  ObjectRef ref = decodeObject(device);
  if (ref.kind != Kind::Device) return kAspBadObject;
  const Ring& ring = gRings[kDefs[ref.row].ring];
  double ticks = gTicksPerFrame * kRingFrames;
  uint64_t now = currentTime();
  uint64_t anchor = ring.anchor.load(std::memory_order_acquire);
  double periods = now > anchor ? std::floor(double(now - anchor) / ticks) : 0.0;
  if (outSampleTime) *outSampleTime = periods * kRingFrames;
  if (outHostTime) *outHostTime = anchor + uint64_t(ticks * periods);
  if (outSeed) *outSeed = 1;
  return kAspNoError;
}

AspStatus willDoIOOperation(AspDriverRef, AspObjectId, uint32_t, uint32_t operation,
                            bool* outWillDo, bool* outWillDoInPlace) {
  if (outWillDo) *outWillDo = operation == kAspIoReadInput || operation == kAspIoWriteMix;
  if (outWillDoInPlace) *outWillDoInPlace = true;
  return kAspNoError;
}

AspStatus ioStep(AspDriverRef, AspObjectId, uint32_t, uint32_t, uint32_t, const AspIoCycleInfo*) {
  return kAspNoError;
}

// audio thread; denormals flush to zero for the operation (the input gain ramp multiplies)
AspStatus doIOOperation(AspDriverRef, AspObjectId device, AspObjectId, uint32_t, uint32_t operation,
                        uint32_t frames, const AspIoCycleInfo* cycle, void* mainBuffer, void*) {
  const velto::DenormalScope flush;
  ObjectRef ref = decodeObject(device);
  if (ref.kind != Kind::Device || !mainBuffer || !cycle) return kAspNoError;
  const DeviceDef& def = kDefs[ref.row];
  Ring& ring = gRings[def.ring];
  float* buffer = static_cast<float*>(mainBuffer);
  if (operation == kAspIoWriteMix && def.hasOutput) {
    writeRing(ring, cycle->outputTime.sampleTime, buffer, frames);
  } else if (operation == kAspIoReadInput && def.hasInput) {
    readRing(ring, cycle->inputTime.sampleTime, buffer, frames);
    if (def.controlScope == kAspScopeInput) applyInputGain(gControls[ref.row], buffer, frames);
  }
  return kAspNoError;
}

// Constant-initialised in slot order, so the table is complete before the factory can be asked.
AspDriverInterface gInterface = {
    .reserved = nullptr,
    .QueryInterface = queryInterface,
    .AddRef = addRef,
    .Release = release,
    .Initialize = initialize,
    .CreateDevice = createDevice,
    .DestroyDevice = destroyDevice,
    .AddDeviceClient = deviceClient,
    .RemoveDeviceClient = deviceClient,
    .PerformConfigChange = configChange,
    .AbortConfigChange = configChange,
    .HasProperty = hasPropertyCall,
    .IsPropertySettable = isPropertySettableCall,
    .GetPropertyDataSize = getPropertyDataSizeCall,
    .GetPropertyData = getPropertyDataCall,
    .SetPropertyData = setPropertyDataCall,
    .StartIO = startIO,
    .StopIO = stopIO,
    .GetZeroTimeStamp = getZeroTimeStamp,
    .WillDoIOOperation = willDoIOOperation,
    .BeginIOOperation = ioStep,
    .DoIOOperation = doIOOperation,
    .EndIOOperation = ioStep,
};

} // namespace

extern "C" __attribute__((visibility("default"))) void*
VeltoDriver_Create(const void*, const AspUuid* requestedType) {
  if (!requestedType || !aspUuidEqual(*requestedType, kAspPlugInTypeUuid)) return nullptr;
  return &gInterfacePtr;
}
