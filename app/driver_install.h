// The driver's versions, its installation, update and removal: the bundle delivered among the
// program's resources is copied into the system root's plug-in folder (through pkexec and the
// helper where that folder is not the user's to write), the in-process audio host restarts so
// the engine sees the change, and the program relaunches. Threading: main thread.
#pragma once

#include <string>

namespace velto {

// The version in "<bundle>/Contents/Info.plist" under "CFBundleVersion", read from its leading
// digits (a dotted version counts by its first number); 0 for no path, no file, no key or a
// value that does not start with a digit.
int driverVersion(const std::string& bundlePath);

// The delivered bundle among the resources, "" when there is none.
std::string bundledDriverPath();
// The hooks' services.
int bundledDriverVersion();
int installedDriverVersion();
bool installDriver(bool install, std::string& error);

// Whether a file can be made in `folder` (the default writability check).
bool folderAcceptsFiles(const std::string& folder);

} // namespace velto
