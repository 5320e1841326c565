// The user's defaults: a few named texts kept apart from the mixer's configuration, in
// "defaults.txt" beside the configuration file, one "key=value" line each (a backslash, a line
// break or a carriage return in a value is escaped). The file is replaced whole on every change.
// Threading: main thread.
#pragma once

#include <string>

namespace velto {

// "$HOME/Library/Application Support/Velto/defaults.txt".
std::string userDefaultsPath();

// False when the key is not stored.
bool userDefault(const std::string& key, std::string& value);
// False when the file could not be written; the stored defaults are then unchanged.
bool setUserDefault(const std::string& key, const std::string& value);
bool removeUserDefault(const std::string& key);

} // namespace velto
