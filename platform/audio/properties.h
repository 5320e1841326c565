// Client side of the system audio layer: objects and their properties. Every device, stream and
// control of every provider has a process-wide object id; the system object is 1. Plug-in
// objects keep their own local ids inside the plug-in; the layer translates both ways.
// Threading: any control thread may call; never from an I/O callback (calls take a lock).
#pragma once

#include <cstdint>

#include "platform/plugin/asp.h"

namespace platform::audio {

using ObjectId = AspObjectId;

constexpr ObjectId kSystemObject = 1;

// Status codes of the layer itself (besides the plug-in interface's).
constexpr AspStatus kStatusNotRunning = AspStatus(aspFourCC("stop"));
constexpr AspStatus kStatusBadDevice = AspStatus(aspFourCC("!dev"));
constexpr AspStatus kStatusIllegalOperation = AspStatus(aspFourCC("nope"));

// Wildcards for listener addresses.
constexpr uint32_t kWildcardSelector = aspFourCC("****");
constexpr uint32_t kWildcardScope = aspFourCC("****");
constexpr uint32_t kWildcardElement = 0xFFFFFFFFu;

// Selectors the layer answers itself.
// System object: the device list (visible devices only; AspObjectId array, cut to the room
// offered) and the translation of a UID to a device (qualifier: one AspText*, value one
// AspObjectId, 0 when no device has that UID; hidden devices are found too).
constexpr uint32_t kPropDevices = kAspPropDeviceList;
constexpr uint32_t kPropTranslateUidToDevice = kAspPropTranslateUidToDevice;
// Every device: the I/O buffer size in frames (uint32_t, settable, one value for all scopes)
// and its allowed range (AspValueRange).
constexpr uint32_t kPropBufferFrameSize = aspFourCC("fsiz");
constexpr uint32_t kPropBufferFrameSizeRange = aspFourCC("fsz#");

constexpr uint32_t kDefaultBufferFrames = 512;
constexpr uint32_t kMinBufferFrames = 16;
constexpr uint32_t kMaxBufferFrames = 4096;

// The property calls. `ioSize` of getPropertyData: the room offered in, the bytes written out.
// Every call on a stopped system answers kStatusNotRunning (hasProperty: false).
bool hasProperty(ObjectId object, const AspPropertyAddress* address);
AspStatus isPropertySettable(ObjectId object, const AspPropertyAddress* address, bool* outSettable);
AspStatus getPropertyDataSize(ObjectId object, const AspPropertyAddress* address,
                              uint32_t qualifierSize, const void* qualifier, uint32_t* outSize);
AspStatus getPropertyData(ObjectId object, const AspPropertyAddress* address,
                          uint32_t qualifierSize, const void* qualifier, uint32_t* ioSize,
                          void* outData);
AspStatus setPropertyData(ObjectId object, const AspPropertyAddress* address,
                          uint32_t qualifierSize, const void* qualifier, uint32_t size,
                          const void* data);

} // namespace platform::audio
