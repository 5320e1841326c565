// The values an audio server keeps for a plug-in across loads: one text file per bundle, read
// once when the plug-in is loaded and rewritten whole (temporary file + rename) on every change.
// Owned by the plug-in host. Thread-safe (one mutex); control side only, never the audio thread.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "platform/plugin/asp.h"

namespace platform::audio {

class StorageFile {
public:
  // Reads `path` when it exists; a missing or damaged file gives an empty or partial store.
  explicit StorageFile(std::string path);

  // kAspUnknownProperty and kind kAspValueNone when `key` is absent.
  AspStatus copy(const char* key, AspStoredValue* outValue) const;
  // Fails ('!dat') for a key that cannot be written as one line and ('unop') when the file
  // cannot be written; a failed write changes nothing.
  AspStatus write(const char* key, const AspStoredValue& value);
  // kAspUnknownProperty when absent.
  AspStatus remove(const char* key);

  const std::string& path() const { return path_; }

private:
  bool save(const std::map<std::string, AspStoredValue>& values) const;

  std::string path_;
  mutable std::mutex mutex_;
  std::map<std::string, AspStoredValue> values_;
};

} // namespace platform::audio
