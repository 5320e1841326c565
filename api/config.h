// The configuration file's shared pieces: its version marker and the conversion of a line of the
// older path layout. Used by the writer and the loader of the api library, and by their tests.
// Main thread only, like the rest of the interpreter.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace velto::detail {

// The first line of every file written in the current layout.
inline constexpr const char* kConfigMarker = "# velto-config 2";

using ConfigPair = std::pair<std::string, std::string>; // path, body

// One line of the older layout as the pairs to replay: none when the line is dropped, else one.
std::vector<ConfigPair> migrate(const std::string& path, const std::string& body);

} // namespace velto::detail
