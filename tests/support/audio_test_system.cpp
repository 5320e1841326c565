#include "tests/support/audio_test_system.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/plugin/asp.h"

namespace velto::test {
namespace {

namespace audio = platform::audio;

std::string makeTempFolder(const char* tag) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / (std::string("velto-") + tag + "-XXXXXX"));
  return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

AspPropertyAddress globalAddress(uint32_t selector, uint32_t scope = kAspScopeGlobal) {
  return AspPropertyAddress{selector, scope, kAspElementMain};
}

} // namespace

std::string plugInFolder(const std::string& systemRoot) {
  return systemRoot + "/Library/Audio/Plug-Ins/HAL";
}

AudioTestSystem::AudioTestSystem(AudioTestOptions options) {
  home_ = makeTempFolder("home");
  systemRoot_ = makeTempFolder("root");
  if (home_.empty() || systemRoot_.empty()) return;
  setenv("HOME", home_.c_str(), 1);
  setenv("VELTO_SYSTEM_ROOT", systemRoot_.c_str(), 1);
  std::error_code error;
  std::filesystem::create_directories(plugInFolder(systemRoot_), error);
  if (error) return;
  if (options.withDriver) {
    std::filesystem::copy(VELTO_TEST_DRIVER_BUNDLE, plugInFolder(systemRoot_) + "/Velto.driver",
                          std::filesystem::copy_options::recursive, error);
    if (error) return;
  }
  audio::SystemOptions system;
  system.systemRoot = systemRoot_;
  system.clock = options.clock;
  started_ = audio::startSystem(system);
}

AudioTestSystem::~AudioTestSystem() {
  if (started_) audio::stopSystem();
  std::error_code error;
  if (!home_.empty()) std::filesystem::remove_all(home_, error);
  if (!systemRoot_.empty()) std::filesystem::remove_all(systemRoot_, error);
}

audio::ObjectId deviceForUid(const std::string& uid) {
  AspText* text = aspTextCreate(uid.c_str());
  const AspPropertyAddress address = globalAddress(audio::kPropTranslateUidToDevice);
  audio::ObjectId device = 0;
  uint32_t size = sizeof device;
  const AspStatus status =
      audio::getPropertyData(audio::kSystemObject, &address, sizeof text, &text, &size, &device);
  aspTextRelease(text);
  return status == kAspNoError ? device : 0;
}

std::vector<audio::ObjectId> deviceList() {
  return idListProperty(audio::kSystemObject, audio::kPropDevices);
}

std::vector<audio::ObjectId> idListProperty(audio::ObjectId object, uint32_t selector,
                                            uint32_t scope) {
  const AspPropertyAddress address = globalAddress(selector, scope);
  uint32_t size = 0;
  if (audio::getPropertyDataSize(object, &address, 0, nullptr, &size) != kAspNoError) return {};
  std::vector<audio::ObjectId> ids(size / sizeof(audio::ObjectId));
  if (ids.empty()) return ids;
  if (audio::getPropertyData(object, &address, 0, nullptr, &size, ids.data()) != kAspNoError) {
    return {};
  }
  ids.resize(size / sizeof(audio::ObjectId));
  return ids;
}

std::string textProperty(audio::ObjectId object, uint32_t selector) {
  const AspPropertyAddress address = globalAddress(selector);
  AspText* text = nullptr;
  uint32_t size = sizeof text;
  if (audio::getPropertyData(object, &address, 0, nullptr, &size, &text) != kAspNoError ||
      text == nullptr) {
    return {};
  }
  std::string result(text->bytes, text->length);
  aspTextRelease(text);
  return result;
}

uint32_t wordProperty(audio::ObjectId object, uint32_t selector, uint32_t scope) {
  const AspPropertyAddress address = globalAddress(selector, scope);
  uint32_t value = 0;
  uint32_t size = sizeof value;
  return audio::getPropertyData(object, &address, 0, nullptr, &size, &value) == kAspNoError ? value
                                                                                            : 0;
}

float floatProperty(audio::ObjectId object, uint32_t selector) {
  const AspPropertyAddress address = globalAddress(selector);
  float value = 0.0f;
  uint32_t size = sizeof value;
  return audio::getPropertyData(object, &address, 0, nullptr, &size, &value) == kAspNoError ? value
                                                                                            : 0.0f;
}

audio::ObjectId controlOf(audio::ObjectId device, uint32_t controlClass) {
  for (audio::ObjectId control : idListProperty(device, kAspPropControlList)) {
    if (wordProperty(control, kAspPropClass) == controlClass) return control;
  }
  return 0;
}

} // namespace velto::test
