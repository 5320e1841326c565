// Test harness of the driver suite: a fresh system root and home per test with the freshly built
// driver bundle installed, the manual host clock, a plug-in host on it, and helpers that speak
// to the driver's objects through the host and run its devices' I/O cycles.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/host/plugin_host.h"

namespace velto::test {

// Device ids of the driver's nine devices.
inline constexpr AspObjectId kVeltoInput = 2;
inline constexpr AspObjectId kVeltoInputReturn = 7;
inline constexpr AspObjectId kVeltoOut1 = 12;
inline constexpr AspObjectId kVeltoOut1Feed = 17;
inline constexpr AspObjectId kVeltoOut2 = 22;
inline constexpr AspObjectId kVeltoOut2Feed = 27;
inline constexpr AspObjectId kVeltoOut3 = 32;
inline constexpr AspObjectId kVeltoOut3Feed = 37;
inline constexpr AspObjectId kVeltoClock = 42;

inline constexpr uint32_t kRingFrames = 16384;
inline constexpr double kNsPerFrame = 1e9 / 48000.0;
// Manual host time at the start of every test: far enough from 0 for cycles before a start.
inline constexpr uint64_t kStartTime = 1'000'000'000;

// The host time of frame `frame` on a clock anchored at `anchor` (rounded to whole ns).
uint64_t frameTime(uint64_t anchor, int64_t frame);

// Interleaved stereo test signal as a function of the absolute sample time: a different tone on
// each channel, so swapped, shifted or repeated frames show.
float signalLeft(int64_t sampleTime);
float signalRight(int64_t sampleTime);
std::vector<float> signalFrames(int64_t firstSampleTime, uint32_t frames);

// Property helpers; every one fails the test when the driver refuses.
AspPropertyAddress address(uint32_t selector, uint32_t scope = kAspScopeGlobal);
uint32_t getU32(const platform::audio::PluginHost& host, AspObjectId object, uint32_t selector,
                uint32_t scope = kAspScopeGlobal);
float getF32(const platform::audio::PluginHost& host, AspObjectId object, uint32_t selector);
double getF64(const platform::audio::PluginHost& host, AspObjectId object, uint32_t selector);
std::string getText(const platform::audio::PluginHost& host, AspObjectId object, uint32_t selector);
std::vector<AspObjectId> getIds(const platform::audio::PluginHost& host, AspObjectId object,
                                uint32_t selector, uint32_t scope = kAspScopeGlobal);
AspStatus setF32(platform::audio::PluginHost& host, AspObjectId object, uint32_t selector,
                 float value);
AspStatus setU32(platform::audio::PluginHost& host, AspObjectId object, uint32_t selector,
                 uint32_t value);

// One I/O cycle and what it produced.
struct Cycle {
  std::vector<float> input; // what the device's read delivered (empty without input)
  platform::audio::CycleTimes times{};
  bool processed = false;
};

// Runs one cycle of `device` at `now`; `output` (interleaved, `frames` frames) is what the
// client callback "plays" (silence when null).
Cycle runCycle(platform::audio::PluginHost& host, AspObjectId device, uint32_t frames, uint64_t now,
               const std::vector<float>* output = nullptr);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);

class DriverTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // An audio-server restart: every plug-in is unloaded, then all are loaded again.
  void restartServer();
  // Unloads the plug-in without loading it again.
  void stopServer() { host_.reset(); }

  platform::audio::PluginHost& host() { return *host_; }
  std::string hal() const;         // <root>/Library/Audio/Plug-Ins/HAL
  std::string storagePath() const; // the installed bundle's storage file
  std::string bundle() const;      // the installed bundle

  std::string root_;
  std::string home_;
  std::unique_ptr<platform::audio::PluginHost> host_;
};

} // namespace velto::test
