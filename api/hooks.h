// The application hook table: services only the application shell can provide (login item,
// driver versions, driver installation), reached through plain function pointers. One record
// for the process; the shell fills it once at launch; callers and the shell are on the main thread.
#pragma once

#include <string>

namespace velto {

struct AppHooks {
  bool (*autostartEnabled)() = nullptr;
  bool (*setAutostart)(bool on, std::string& error) = nullptr;
  int (*installedDriverVersion)() = nullptr;
  int (*bundledDriverVersion)() = nullptr;
  bool (*installDriver)(bool install, std::string& error) = nullptr;
};

// main thread: the one record, every slot empty until the shell fills it.
AppHooks& appHooks();

} // namespace velto
