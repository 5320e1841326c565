// The driver bundle's files in a system root's plug-in folder: installing (or updating) copies
// the new bundle beside the installed one and swaps the two by rename, removing renames the
// installed one out of the folder before deleting it. Either way the folder never holds a
// half-copied driver, and a failed copy leaves the previous driver in place.
// Shared by the program and its administrator helper. Stateless; one caller at a time.
#pragma once

#include <string>

namespace velto {

// "<systemRoot>/Library/Audio/Plug-Ins/HAL".
std::string driverFolderOf(const std::string& systemRoot);
// "<systemRoot>/Library/Audio/Plug-Ins/HAL/Velto.driver".
std::string installedDriverPathOf(const std::string& systemRoot);

// Copies the bundle folder `source` to the installed path; false when anything failed.
bool installDriverFiles(const std::string& source, const std::string& systemRoot);
// Removes the installed bundle; true when none is left (also when there was none).
bool removeDriverFiles(const std::string& systemRoot);

} // namespace velto
