#include "tests/driver/driver_harness.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>

#include "platform/audio/layer/host_time.h"

namespace velto::test {

namespace fs = std::filesystem;
using platform::audio::PluginHost;

uint64_t frameTime(uint64_t anchor, int64_t frame) {
  return uint64_t(int64_t(anchor) + std::llround(double(frame) * kNsPerFrame));
}

float signalLeft(int64_t sampleTime) {
  return float(0.5 * std::sin(2.0 * std::numbers::pi * 997.0 * double(sampleTime) / 48000.0));
}

float signalRight(int64_t sampleTime) {
  return float(0.25 * std::sin(2.0 * std::numbers::pi * 441.0 * double(sampleTime) / 48000.0));
}

std::vector<float> signalFrames(int64_t firstSampleTime, uint32_t frames) {
  std::vector<float> out(size_t(frames) * 2);
  for (uint32_t i = 0; i < frames; ++i) {
    out[2 * i] = signalLeft(firstSampleTime + i);
    out[2 * i + 1] = signalRight(firstSampleTime + i);
  }
  return out;
}

AspPropertyAddress address(uint32_t selector, uint32_t scope) {
  return AspPropertyAddress{selector, scope, kAspElementMain};
}

namespace {

template <typename T>
T getValue(const PluginHost& host, AspObjectId object, uint32_t selector, uint32_t scope) {
  T value{};
  uint32_t written = 0;
  AspPropertyAddress where = address(selector, scope);
  AspStatus status =
      host.getPropertyData(object, where, 0, nullptr, sizeof value, &written, &value);
  EXPECT_EQ(status, kAspNoError) << "object " << object << " selector " << std::hex << selector;
  EXPECT_EQ(written, sizeof value) << "object " << object << " selector " << std::hex << selector;
  return value;
}

void recordTimes(void* context, const platform::audio::CycleTimes& times) {
  auto* cycle = static_cast<Cycle*>(context);
  cycle->times = times;
  cycle->processed = true;
}

} // namespace

uint32_t getU32(const PluginHost& host, AspObjectId object, uint32_t selector, uint32_t scope) {
  return getValue<uint32_t>(host, object, selector, scope);
}

float getF32(const PluginHost& host, AspObjectId object, uint32_t selector) {
  return getValue<float>(host, object, selector, kAspScopeGlobal);
}

double getF64(const PluginHost& host, AspObjectId object, uint32_t selector) {
  return getValue<double>(host, object, selector, kAspScopeGlobal);
}

std::string getText(const PluginHost& host, AspObjectId object, uint32_t selector) {
  AspText* text = getValue<AspText*>(host, object, selector, kAspScopeGlobal);
  if (!text) return "<null>";
  std::string out(text->bytes, text->length);
  aspTextRelease(text);
  return out;
}

std::vector<AspObjectId> getIds(const PluginHost& host, AspObjectId object, uint32_t selector,
                                uint32_t scope) {
  AspPropertyAddress where = address(selector, scope);
  uint32_t size = 0;
  EXPECT_EQ(host.getPropertyDataSize(object, where, 0, nullptr, &size), kAspNoError);
  std::vector<AspObjectId> ids(size / sizeof(AspObjectId) + 1, 0xDEADu);
  uint32_t written = 0;
  EXPECT_EQ(host.getPropertyData(object, where, 0, nullptr, size, &written, ids.data()),
            kAspNoError);
  EXPECT_EQ(written, size);
  EXPECT_EQ(ids.back(), 0xDEADu) << "wrote past the offered size";
  ids.resize(written / sizeof(AspObjectId));
  return ids;
}

AspStatus setF32(PluginHost& host, AspObjectId object, uint32_t selector, float value) {
  return host.setPropertyData(object, address(selector), 0, nullptr, sizeof value, &value);
}

AspStatus setU32(PluginHost& host, AspObjectId object, uint32_t selector, uint32_t value) {
  return host.setPropertyData(object, address(selector), 0, nullptr, sizeof value, &value);
}

Cycle runCycle(PluginHost& host, AspObjectId device, uint32_t frames, uint64_t now,
               const std::vector<float>* output) {
  Cycle cycle;
  std::vector<float> played = output ? *output : std::vector<float>(size_t(frames) * 2, 0.0f);
  if (host.deviceHasInput(device)) cycle.input.assign(size_t(frames) * 2, -7.0f);
  host.runCycle(device, frames, now, cycle.input.empty() ? nullptr : cycle.input.data(),
                host.deviceHasOutput(device) ? played.data() : nullptr, recordTimes, &cycle);
  return cycle;
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

namespace {

std::string makeTempDir(const char* prefix) {
  std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
  char* made = mkdtemp(pattern.data());
  EXPECT_NE(made, nullptr);
  return pattern;
}

} // namespace

void DriverTest::SetUp() {
  root_ = makeTempDir("velto-root-");
  home_ = makeTempDir("velto-home-");
  setenv("VELTO_SYSTEM_ROOT", root_.c_str(), 1);
  setenv("HOME", home_.c_str(), 1);
  fs::create_directories(hal());
  fs::copy(VELTO_TEST_DRIVER_BUNDLE, bundle(), fs::copy_options::recursive);
  platform::audio::setManualHostTime(true, kStartTime);
  restartServer();
  ASSERT_NE(host_, nullptr) << "the driver bundle did not load from " << bundle();
}

void DriverTest::TearDown() {
  host_.reset();
  platform::audio::setManualHostTime(false);
  std::error_code error;
  fs::remove_all(root_, error);
  fs::remove_all(home_, error);
}

void DriverTest::restartServer() {
  host_.reset();
  auto hosts = PluginHost::loadAll(root_);
  ASSERT_EQ(hosts.size(), 1u);
  host_ = std::move(hosts.front());
}

std::string DriverTest::hal() const {
  return root_ + "/Library/Audio/Plug-Ins/HAL";
}

std::string DriverTest::bundle() const {
  return hal() + "/Velto.driver";
}

std::string DriverTest::storagePath() const {
  return root_ + "/Library/Audio/Storage/Velto.driver.values";
}

} // namespace velto::test
