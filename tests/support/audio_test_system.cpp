#include "tests/support/audio_test_system.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/audio/layer/io_procs.h"
#include "platform/audio/layer/listeners.h"
#include "platform/audio/layer/running_apps.h"
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
  audio::resetRunningApplications();
  audio::SystemOptions system;
  system.systemRoot = systemRoot_;
  system.clock = options.clock;
  started_ = audio::startSystem(system);
}

AudioTestSystem::~AudioTestSystem() {
  if (started_) audio::stopSystem();
  audio::resetRunningApplications();
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

float floatProperty(audio::ObjectId object, uint32_t selector, uint32_t scope) {
  const AspPropertyAddress address = globalAddress(selector, scope);
  float value = 0.0f;
  uint32_t size = sizeof value;
  return audio::getPropertyData(object, &address, 0, nullptr, &size, &value) == kAspNoError ? value
                                                                                            : 0.0f;
}

double doubleProperty(audio::ObjectId object, uint32_t selector) {
  const AspPropertyAddress address = globalAddress(selector);
  double value = 0.0;
  uint32_t size = sizeof value;
  return audio::getPropertyData(object, &address, 0, nullptr, &size, &value) == kAspNoError ? value
                                                                                            : 0.0;
}

std::vector<uint32_t> streamLayout(audio::ObjectId device, uint32_t scope) {
  const AspPropertyAddress address = globalAddress(audio::kPropStreamConfiguration, scope);
  uint32_t size = 0;
  if (audio::getPropertyDataSize(device, &address, 0, nullptr, &size) != kAspNoError) return {};
  audio::BufferList list{};
  if (size > sizeof list) return {};
  if (audio::getPropertyData(device, &address, 0, nullptr, &size, &list) != kAspNoError) return {};
  std::vector<uint32_t> layout;
  for (uint32_t b = 0; b < list.count; ++b) layout.push_back(list.buffers[b].channels);
  return layout;
}

AspStatus setWordProperty(audio::ObjectId object, uint32_t selector, uint32_t value,
                          uint32_t scope) {
  const AspPropertyAddress address = globalAddress(selector, scope);
  return audio::setPropertyData(object, &address, 0, nullptr, sizeof value, &value);
}

AspStatus setFloatProperty(audio::ObjectId object, uint32_t selector, float value, uint32_t scope) {
  const AspPropertyAddress address = globalAddress(selector, scope);
  return audio::setPropertyData(object, &address, 0, nullptr, sizeof value, &value);
}

AspStatus setDoubleProperty(audio::ObjectId object, uint32_t selector, double value) {
  const AspPropertyAddress address = globalAddress(selector);
  return audio::setPropertyData(object, &address, 0, nullptr, sizeof value, &value);
}

audio::SimDeviceConfig microphoneConfig(const std::string& uid, const std::string& name,
                                        audio::SignalSource signal, std::vector<uint32_t> layout) {
  audio::SimDeviceConfig config;
  config.uid = uid;
  config.name = name;
  config.inputBuffers = std::move(layout);
  config.input = std::move(signal);
  return config;
}

audio::SimDeviceConfig speakerConfig(const std::string& uid, const std::string& name,
                                     std::vector<uint32_t> layout) {
  audio::SimDeviceConfig config;
  config.uid = uid;
  config.name = name;
  config.outputBuffers = std::move(layout);
  return config;
}

audio::ObjectId addMicrophone(const std::string& uid, const std::string& name,
                              audio::SignalSource signal, std::vector<uint32_t> layout) {
  return audio::addSimDevice(microphoneConfig(uid, name, std::move(signal), std::move(layout)));
}

audio::ObjectId addSpeaker(const std::string& uid, const std::string& name,
                           std::vector<uint32_t> layout) {
  return audio::addSimDevice(speakerConfig(uid, name, std::move(layout)));
}

audio::CapturedAudio takeOutput(const std::string& uid) {
  return audio::takeSimOutput(uid);
}

audio::ObjectId addPlayingProcess(int32_t pid, const std::string& bundleId,
                                  std::vector<std::string> outputUids, audio::SignalSource audio) {
  audio::SimProcessConfig config;
  config.pid = pid;
  config.bundleId = bundleId;
  config.runningOutput = !outputUids.empty();
  config.outputDevices = std::move(outputUids);
  config.audio = std::move(audio);
  return audio::addSimProcess(config);
}

std::vector<audio::ObjectId> processList() {
  return idListProperty(audio::kSystemObject, audio::kPropProcessList);
}

std::vector<float> sineFrames(double hz, float amplitude, uint64_t position, uint32_t frames,
                              uint32_t channels) {
  std::vector<float> out(size_t(frames) * channels);
  audio::SignalSource::sine(hz, amplitude).render(position, out.data(), frames, channels);
  return out;
}

audio::ObjectId controlOf(audio::ObjectId device, uint32_t controlClass) {
  for (audio::ObjectId control : idListProperty(device, kAspPropControlList)) {
    if (wordProperty(control, kAspPropClass) == controlClass) return control;
  }
  return 0;
}

NoticeCounter::NoticeCounter(audio::ObjectId object, uint32_t selector, uint32_t scope)
    : object_(object), address_{selector, scope, audio::kWildcardElement} {
  listening_ = audio::addPropertyListener(object_, &address_, heard, this) == kAspNoError;
}

NoticeCounter::~NoticeCounter() {
  if (listening_) audio::removePropertyListener(object_, &address_, heard, this);
}

int NoticeCounter::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

std::vector<AspPropertyAddress> NoticeCounter::addresses() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return addresses_;
}

AspStatus NoticeCounter::heard(audio::ObjectId, uint32_t count, const AspPropertyAddress* addresses,
                               void* self) {
  auto& counter = *static_cast<NoticeCounter*>(self);
  std::lock_guard<std::mutex> lock(counter.mutex_);
  ++counter.count_;
  counter.addresses_.insert(counter.addresses_.end(), addresses, addresses + count);
  return kAspNoError;
}

} // namespace velto::test
