#include "app/services.h"

#include <climits>
#include <cstdlib>
#include <unistd.h>

#include "api/hooks.h"
#include "app/choosers.h"
#include "app/driver_install.h"
#include "app/intro_sound.h"
#include "app/login_item.h"
#include "app/resource_dir.h"
#include "app/reveal.h"
#include "ui/window.h"

namespace velto {
namespace {

std::string resolved(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

std::string ownProgram() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, size_t(n)) : std::string();
}

bool loginItemState() {
  return loginItemEnabled();
}

bool switchLoginItem(bool on, std::string& error) {
  return setLoginItem(on, serviceSetup().programPath, error);
}

} // namespace

ServiceSetup defaultServiceSetup() {
  ServiceSetup setup;
  setup.programPath = ownProgram();
  const std::string folder = setup.programPath.substr(0, setup.programPath.rfind('/'));
  setup.resourceFolder = resolved(folder + "/../share/velto");
#ifdef VELTO_BUILD_RESOURCES
  if (setup.resourceFolder.empty()) setup.resourceFolder = VELTO_BUILD_RESOURCES;
#endif
  if (!setup.programPath.empty()) setup.helperPath = folder + "/velto-driver-helper";
  return setup;
}

ServiceSetup& serviceSetup() {
  static ServiceSetup setup = defaultServiceSetup();
  return setup;
}

void installServices(bool snapshot) {
  AppHooks& hooks = appHooks();
  hooks.autostartEnabled = loginItemState;
  hooks.setAutostart = switchLoginItem;
  if (!snapshot) repairLoginItem(serviceSetup().programPath);
  installChoosers();
  hooks.bundledDriverVersion = bundledDriverVersion;
  hooks.installedDriverVersion = installedDriverVersion;
  hooks.installDriver = installDriver;
  installReveal();
  // Without the sound file the hook stays installed and plays nothing.
  setIntroSoundFile(resourceFile("intro.wav"));
  setIntroSound(playIntroSound);
}

void stopServices() {
  stopIntroSound();
}

} // namespace velto
