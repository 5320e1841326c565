// The login item: an autostart entry of the desktop ("velto.desktop" in the user's autostart
// folder) that starts this program when the user logs in, and the user default
// "loginItemPath" that remembers the program path it was registered with.
// Threading: main thread.
#pragma once

#include <string>

namespace velto {

inline constexpr const char* kLoginItemDefault = "loginItemPath";

// "${XDG_CONFIG_HOME:-$HOME/.config}/autostart/velto.desktop" (an XDG_CONFIG_HOME that is not
// absolute counts as unset).
std::string autostartEntryPath();

// One argument of an entry's Exec line: in double quotes with '"', '`', '$' and '\' escaped,
// then the value-level escapes ("\\" for a backslash, "\n", "\t", "\r") and "%%" for a '%'.
std::string desktopExecArgument(const std::string& argument);

// Whether the entry exists and is not hidden.
bool loginItemEnabled();
// Writes (on) or removes (off) the entry for `programPath` and the user default with it. On
// failure: false, the reason in `error`, the user default untouched.
bool setLoginItem(bool on, const std::string& programPath, std::string& error);
// At launch: an entry registered from another program path is registered anew from this one.
void repairLoginItem(const std::string& programPath);

} // namespace velto
