// A minimal reader of a bundle's property list (XML form): the text of one top-level key's
// <string> or <integer> value. Used by the plug-in host to find a bundle's executable and
// factory. Stateless; any thread may call.
#pragma once

#include <string>

namespace platform::audio {

// The value of `key` in the property list file at `path`; false when the file or the key is
// missing or the value is neither a string nor an integer.
bool readPlistValue(const std::string& path, const std::string& key, std::string* outValue);

// The same over property-list text already in memory.
bool plistValue(const std::string& text, const std::string& key, std::string* outValue);

} // namespace platform::audio
