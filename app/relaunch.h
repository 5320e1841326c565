// Starting the program again after a driver change: a forked process of its own session waits
// the given seconds and then executes the program anew, while this copy quits the orderly way
// (its configuration is saved by the normal shut-down). Threading: main thread.
#pragma once

#include <string>

namespace velto {

// Starts the waiting process for `programPath` (absolute) and asks this copy to quit. The path
// goes straight to exec, never through a command text. False when the process did not start
// (this copy then keeps running).
bool relaunch(const std::string& programPath, int seconds);

} // namespace velto
