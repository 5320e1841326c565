#include "services_fixture.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>

#include "api/hooks.h"
#include "app/intro_sound.h"
#include "app/quit_signals.h"
#include "app/services.h"
#include "platform/audio/layer/listeners.h"
#include "platform/dispatch/main_queue.h"
#include "tests/support/test_files.h"
#include "ui/window.h"

namespace velto::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSavedVariables[] = {"HOME", "VELTO_SYSTEM_ROOT", "XDG_CONFIG_HOME", "PATH"};

void clearWindowHooks() {
  setFolderPicker(nullptr);
  setFilePicker(nullptr);
  setSavePicker(nullptr);
  setRevealHandler(nullptr);
}

} // namespace

void ServicesTest::SetUp() {
  for (const char* name : kSavedVariables) {
    const char* value = std::getenv(name);
    savedEnv_.emplace_back(name, value != nullptr ? value : "");
  }
  std::string pattern = (fs::temp_directory_path() / "velto-services-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  base = pattern;
  bin = base + "/bin";
  resources = base + "/resources";
  for (const std::string& folder : {bin, base + "/config", resources, base + "/program"})
    fs::create_directories(folder);
  fs::copy(VELTO_TEST_DRIVER_BUNDLE, resources + "/Velto.driver", fs::copy_options::recursive);
  program = base + "/program/velto";
  writeStandIn(program, "");

  platform::dispatch::resetMainQueue();
  AudioTestOptions options;
  options.withDriver = false;
  system = std::make_unique<AudioTestSystem>(options);
  ASSERT_TRUE(system->started());
  setenv("XDG_CONFIG_HOME", (base + "/config").c_str(), 1);
  setenv("PATH", bin.c_str(), 1);

  appHooks() = AppHooks{};
  clearWindowHooks();
  clearQuitSignal();
  ServiceSetup& setup = serviceSetup();
  setup = ServiceSetup{};
  setup.programPath = program;
  setup.resourceFolder = resources;
  setup.helperPath = VELTO_DRIVER_HELPER;
  setup.relaunchSeconds = 0;

  engine = std::make_unique<Engine>(true);
  api = std::make_unique<Api>(*engine);
}

void ServicesTest::TearDown() {
  stopIntroSound();
  setIntroSoundFile("");
  api.reset();
  engine.reset();
  platform::dispatch::resetMainQueue();
  system.reset();
  appHooks() = AppHooks{};
  clearWindowHooks();
  clearQuitSignal();
  serviceSetup() = defaultServiceSetup();
  for (const auto& [name, value] : savedEnv_) {
    if (value.empty()) {
      unsetenv(name.c_str());
    } else {
      setenv(name.c_str(), value.c_str(), 1);
    }
  }
  std::error_code ignored;
  fs::remove_all(base, ignored);
}

void ServicesTest::writeStandIn(const std::string& path, const std::string& body) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  // Recorded through a temporary file, so a reader never sees half of it.
  file << "#!/bin/sh\nPATH=/usr/bin:/bin\n"
       << "printf '%s\\0' \"$0\" \"$@\" > \"$0.args.tmp\" && mv \"$0.args.tmp\" \"$0.args\"\n"
       << body << "\n";
  file.close();
  ::chmod(path.c_str(), 0755);
}

void ServicesTest::clearBin() {
  fs::remove_all(bin);
  fs::create_directories(bin);
}

std::vector<std::string> ServicesTest::recorded(const std::string& path, int waitMs) const {
  const std::string file = path + ".args";
  for (int waited = 0; !fs::exists(file) && waited < waitMs; waited += 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::ifstream in(file, std::ios::binary);
  std::vector<std::string> args;
  std::string arg;
  while (std::getline(in, arg, '\0')) args.push_back(arg);
  return args;
}

HttpResponse ServicesTest::call(const std::string& method, const std::string& path,
                                const std::string& body) {
  return api->handle(method, path, body);
}

void ServicesTest::settle() {
  for (int round = 0; round < 3; ++round) {
    platform::audio::flushNotifications();
    platform::dispatch::runMainQueueUntilIdle();
  }
}

bool ServicesTest::engineSeesDriver() const {
  return engine->findDevice("VeltoClock_UID") != nullptr;
}

std::string ServicesTest::installedDriver() const {
  return system->systemRoot() + "/Library/Audio/Plug-Ins/HAL/Velto.driver";
}

void setBundleVersion(const std::string& bundle, const std::string& version) {
  const std::string path = bundle + "/Contents/Info.plist";
  std::string plist = fileText(path);
  const std::string key = "<key>CFBundleVersion</key>";
  const size_t start = plist.find("<string>", plist.find(key)) + 8;
  const size_t end = plist.find("</string>", start);
  plist.replace(start, end - start, version);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << plist;
}

} // namespace velto::test
