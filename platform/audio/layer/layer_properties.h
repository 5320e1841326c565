// Properties the audio layer answers itself rather than a provider: the system object, what
// every device has (buffer size, stream configuration, volume and mute through controls), and
// the layer's own process and tap objects. Not for clients: properties.cpp dispatches to them.
// Threading: every function runs with the layer's control lock held.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/audio/layer/system_state.h"

namespace platform::audio {

struct LayerProperties {
  bool (*has)(AudioSystem& system, ObjectId object, const AspPropertyAddress& address);
  bool (*settable)(AudioSystem& system, ObjectId object, const AspPropertyAddress& address);
  // Writes at most *ioSize bytes and sets *ioSize to what was written; a single value that does
  // not fit gives kAspBadPropertySize, a list is cut to the room.
  AspStatus (*get)(AudioSystem& system, ObjectId object, const AspPropertyAddress& address,
                   uint32_t qualifierSize, const void* qualifier, uint32_t* ioSize, void* outData);
  AspStatus (*set)(AudioSystem& system, ObjectId object, const AspPropertyAddress& address,
                   uint32_t size, const void* data);
};

const LayerProperties& systemProperties();
const LayerProperties& deviceProperties(); // `has` is false for what the provider answers
const LayerProperties& processProperties();
const LayerProperties& tapProperties();

// Helpers for the handlers.
template <typename T>
AspStatus writeValue(const T& value, uint32_t* ioSize, void* outData) {
  if (*ioSize < sizeof value) return kAspBadPropertySize;
  std::memcpy(outData, &value, sizeof value);
  *ioSize = sizeof value;
  return kAspNoError;
}
// An id list cut to the room offered.
AspStatus writeIds(const std::vector<ObjectId>& ids, uint32_t* ioSize, void* outData);
// A new AspText owned by the caller.
AspStatus writeText(const std::string& text, uint32_t* ioSize, void* outData);
// Reads one value of exactly the type's size (or more).
template <typename T>
bool readValue(uint32_t size, const void* data, T* out) {
  if (data == nullptr || size < sizeof(T)) return false;
  std::memcpy(out, data, sizeof(T));
  return true;
}
// Whether a selector's value is an AspText* (a trial read for the size must release it).
bool isTextSelector(uint32_t selector);
// A value's size found by reading it into scratch room; `read` is (size, outSize, outData) ->
// AspStatus. A text read this way is released again.
template <typename Read>
AspStatus sizeByReading(uint32_t selector, uint32_t* outSize, Read read) {
  unsigned char room[4096];
  uint32_t written = 0;
  const AspStatus status = read(uint32_t(sizeof room), &written, room);
  if (status != kAspNoError) return status;
  if (isTextSelector(selector)) {
    AspText* text = nullptr;
    std::memcpy(&text, room, sizeof text);
    aspTextRelease(text);
  }
  *outSize = written;
  return kAspNoError;
}

} // namespace platform::audio
