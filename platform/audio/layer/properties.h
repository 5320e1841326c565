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

// System object, besides the two above:
// - default output and input device (AspObjectId, settable to a listed device of that direction
//   that can be default; 0 while none is set or the chosen device is absent),
// - the process objects (AspObjectId array, in the order the processes came).
constexpr uint32_t kPropDefaultOutputDevice = aspFourCC("dOut");
constexpr uint32_t kPropDefaultInputDevice = aspFourCC("dIn ");
constexpr uint32_t kPropProcessList = aspFourCC("prs#");

// Devices (besides what a plug-in answers by itself):
// - the stream configuration per scope ('inpt' or 'outp'): a BufferList (io_procs.h) cut to its
//   buffers, offsetof(BufferList, buffers) + count x sizeof(Buffer) bytes, each buffer giving its
//   channel count (byte size 0, data null); a direction the device lacks gives count 0;
// - volume (Float32 scalar 0..1) and mute (UInt32 0/1) per scope: a plug-in device forwards
//   them to its volume and mute control of that scope, a simulated device keeps them.
constexpr uint32_t kPropStreamConfiguration = aspFourCC("slay");
constexpr uint32_t kPropVolumeScalar = aspFourCC("volm");
constexpr uint32_t kPropMute = aspFourCC("mute");
// Plain names for the device selectors of the plug-in interface that clients read.
constexpr uint32_t kPropDeviceUid = kAspPropDeviceUid;                              // AspText*
constexpr uint32_t kPropName = kAspPropName;                                        // AspText*
constexpr uint32_t kPropNominalSampleRate = kAspPropNominalSampleRate;              // Float64
constexpr uint32_t kPropAvailableSampleRates = kAspPropAvailableNominalSampleRates; // ranges
constexpr uint32_t kPropTransportType = kAspPropTransportType;     // UInt32, kTransport...
constexpr uint32_t kPropLatency = kAspPropLatency;                 // UInt32 frames, per scope
constexpr uint32_t kPropSafetyOffset = kAspPropSafetyOffset;       // UInt32 frames, per scope
constexpr uint32_t kPropStreams = kAspPropStreams;                 // AspObjectId array
constexpr uint32_t kPropCanBeDefault = kAspPropCanBeDefaultDevice; // UInt32
constexpr uint32_t kPropIsHidden = kAspPropIsHidden;               // UInt32

// Transport types.
constexpr uint32_t kTransportBuiltIn = aspFourCC("bltn");
constexpr uint32_t kTransportUsb = aspFourCC("usb ");
constexpr uint32_t kTransportBluetooth = aspFourCC("blue");
constexpr uint32_t kTransportHdmi = aspFourCC("hdmi");
constexpr uint32_t kTransportAggregate = aspFourCC("grup");
constexpr uint32_t kTransportVirtual = kAspTransportVirtual;

// Process objects (sim_processes.h): pid (Int32), bundle id (AspText*, "" when it has none),
// running output and running input (UInt32 0/1), and the devices it uses (AspObjectId array;
// input scope: the devices it records from, output scope: those it plays to).
constexpr uint32_t kPropProcessPid = aspFourCC("ppid");
constexpr uint32_t kPropProcessBundleId = aspFourCC("pbid");
constexpr uint32_t kPropProcessRunningOutput = aspFourCC("piro");
constexpr uint32_t kPropProcessRunningInput = aspFourCC("piri");
constexpr uint32_t kPropProcessDevices = aspFourCC("pdv#");

// Process taps (sim_taps.h): the tap's UUID (AspText*).
constexpr uint32_t kPropTapUid = aspFourCC("tuid");

// Classes of the objects the layer itself makes.
constexpr uint32_t kClassProcess = aspFourCC("clnt");
constexpr uint32_t kClassTap = aspFourCC("tcls");
constexpr uint32_t kClassAggregateDevice = aspFourCC("aagg");

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
