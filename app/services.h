// The shell's platform services behind the window's hooks and the application hook table:
// login item, choosers, reveal, the driver's versions, install and removal, the intro sound's
// player. The setup says where the program, its resources and its helper are; the tests point
// it elsewhere. Filled once at launch. Threading: main thread.
#pragma once

#include <string>

namespace velto {

struct ServiceSetup {
  std::string programPath;    // this program, absolute (what the login item and relaunch start)
  std::string resourceFolder; // help pages, API documentation, driver bundle, intro sound
  std::string helperPath;     // the driver's administrator helper
  int relaunchSeconds = 3;    // after a driver change
  // Whether the plug-in folder can be written without administrator rights; null: the real
  // check (a file can be made in it).
  bool (*folderWritable)(const std::string& folder) = nullptr;
};

// This program's own setup: /proc/self/exe, the resources in "../share/velto" from its folder
// (else the build tree's), the helper beside the program.
ServiceSetup defaultServiceSetup();
// The setup the services use; defaultServiceSetup() until changed.
ServiceSetup& serviceSetup();

// At launch, after the configuration was loaded: the login item's hooks, its repair (outside the
// snapshot modes), then the choosers, the driver's hooks, the reveal hook and the intro sound.
// The documentation, help and privacy hooks are left as they are.
void installServices(bool snapshot);
// At quit: nothing the services started plays on.
void stopServices();

} // namespace velto
