// The mixing engine: the one object that holds all audio state of the application (settings,
// strips, buses, device links, captured applications, pads, player, fades, analysis, timers and
// listeners). Created once by the shell, first of the long-lived objects, destroyed last.
// Threading: every operation runs on the main thread except the process* callbacks and
// mixRoute, which run on the audio layer's I/O threads and never lock, wait or allocate.
#pragma once

#include "core/levels.h"
#include "core/peak_meter.h"
#include "core/stereo_ring.h"
#include "engine/bus.h"
#include "engine/device_link.h"
#include "engine/strip.h"
#include "media/pad_bank.h"
#include "media/player.h"
#include "platform/audio/layer/io_procs.h"
#include "platform/dispatch/timer.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velto {

class NoiseFilter;
class FxChain;
class InputFx;

// The persisted settings record at the head of the engine.
struct Settings {
  bool apiEnabled = false;
  uint32_t apiPort = 47800;
  uint32_t bufferFrames = 128; // 32, 64, 128, 256 or 512
  int32_t volumeKeys = -1;     // -1 the "Default" virtual input, 0..2 hardware output bus
  std::string board = "i1,v1,v4,o1,o2,m1";
  std::string padsFolder;   // HOME + "/Music/Velto Pads"
  std::string playerFolder; // HOME + "/Music/Velto Player"
  bool intro = true;
  bool fullscreen = true;
  bool restoreOutput = false;
  std::string previousOutput; // UID of the default output the engine replaced
};

// One audio device as the engine lists it.
struct DeviceInfo {
  AudioObjectID id = 0;
  std::string uid;
  std::string name;
  uint32_t inputs = 0;
  uint32_t outputs = 0;
  double sampleRate = 0.0;
  bool isVirtual = false;
  bool internal = false; // one of the driver's hidden devices, found by UID
};

// The objects behind one application slot's capture.
struct TapHandle {
  AudioObjectID tap = 0;
  AudioObjectID aggregate = 0;
  uint32_t channelOffset = 0; // the tap's left channel among the aggregate's input channels
};

// One audio process object of the system.
struct AudioProcess {
  AudioObjectID object = 0;
  int32_t pid = 0;
  std::string bundleId;
  bool runningOutput = false;
  bool runningInput = false;
  std::vector<AudioObjectID> inputDevices;
};

// One application that can be captured.
struct AppInfo {
  std::string bundleId;
  std::string name;
  bool playing = false;
};

struct HwInput {
  HwInput();
  ~HwInput();
  Strip strip;
  DeviceLink link;
  std::unique_ptr<StereoRing> analysisRing;
  std::unique_ptr<NoiseFilter> noiseFilter;
  std::unique_ptr<FxChain> fxChain;
  InputFx* fx = nullptr; // the chain's first bank; not owned
};

struct VirtualIn {
  Strip strip;
  std::vector<float> mix;
  std::vector<float> scratch;
  std::atomic<uint32_t> underruns{0};
};

struct AppSource {
  bool used = false;
  std::string bundleId;
  bool passthrough = false;
  Strip strip;
  std::vector<AudioObjectID> processes; // sorted ascending
  TapHandle tap;
  platform::audio::IoProcId ioProc = platform::audio::kNoIoProc;
  bool playing = false;
  std::atomic<uint32_t> callbacks{0};
  std::atomic<uint32_t> lastAudible{0};
};

struct InputAnalysis {
  std::vector<float> history = std::vector<float>(4096, 0.0f);
  std::vector<float> spectrum = std::vector<float>(2048, -120.0f);
  std::vector<float> window = std::vector<float>(512, 0.0f);
  uint32_t windowFill = 0;
  std::array<float, 257> running{};
  std::array<float, 257> profile{};
  bool measuring = false;
  bool hasProfile = false;
};

// Builds the driver's virtual output names from a 0-based n.
std::string virtualOutUid(int n);     // "VeltoOut<n+1>_UID"
std::string virtualOutFeedUid(int n); // "VeltoOut<n+1>Feed_UID"
std::string virtualOutDevice(int n);  // "Velto Out <n+1>"

std::vector<AudioProcess> listAudioProcesses();
bool belongsToApp(const std::string& processBundleId, const std::string& appBundleId);
std::string appName(const std::string& bundleId);
std::string processName(const AudioProcess& process);
std::vector<AppInfo> listAvailableApps();
bool createTap(const std::vector<AudioObjectID>& processes, bool passthrough, TapHandle& out);
void destroyTap(TapHandle& tap);

class Engine {
public:
  // Client data of every device callback.
  struct Ctx {
    Engine* engine = nullptr;
    int index = 0;
  };

  struct Fade {
    std::atomic<float>* gain = nullptr;
    float fromDb = 0.0f;
    float toDb = 0.0f;
    double start = 0.0;
    double duration = 0.0;
  };

  explicit Engine(bool live);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // ---- real-time path (audio threads) ----
  void processHwInput(int input, const platform::audio::BufferList* list);
  void processSystem(const platform::audio::BufferList* list);
  void processApp(int slot, const platform::audio::BufferList* list);
  void processClock(platform::audio::BufferList* list);
  void processOutput(int bus, platform::audio::BufferList* list);
  // Before processOutput: the blocks the bus's device went on without (a cycle the server ran
  // without it) count as underruns, read off the gap in the cycles' sample times. audio thread
  void countSkippedBlocks(int bus, const platform::audio::TimeStamp* now,
                          const platform::audio::BufferList* list);
  uint32_t mixRoute(Strip& strip, int destination, uint32_t frames, float* mix, float* scratch,
                    std::atomic<uint32_t>& underruns);

  // ---- devices and links (main thread) ----
  void refreshDevices();
  const DeviceInfo* findDevice(const std::string& key) const;
  static bool fits(const DeviceInfo& device, DeviceRole role);
  void attach(DeviceLink& link, DeviceRole role, platform::audio::IoProc callback, Ctx* ctx);
  void detach(DeviceLink& link);
  void reattachAll();
  void setHwInputDevice(int i, const std::string& key);
  void setHwOutputDevice(int i, const std::string& key);
  bool setBufferFrames(uint32_t frames);
  uint32_t deviceLatencyFrames(const std::string& key, bool input) const;
  std::vector<std::string> sourcesOf(int k) const;
  std::vector<std::string> appsOf(int k);
  void refreshUsers();

  // ---- system default devices and volume keys (main thread) ----
  bool isDefaultDevice(uint32_t selector, const std::string& key) const;
  bool makeDefaultDevice(uint32_t selector, const std::string& key);
  bool isDefaultOutput() const;
  bool makeDefaultOutput();
  void restoreDefaultOutput();
  bool isDefaultInput(int i) const;
  bool makeDefaultInput(int i);
  void watchMacVolume();
  void readMacVolume();
  void applyMacVolume(float volume, bool mute);
  void syncMacVolume();
  std::atomic<float>& volumeKeysGain();
  std::atomic<bool>& volumeKeysMute();
  void setVolumeKeys(int k);
  void setMacVolumeForTest(float volume, bool mute);

  // ---- fades (main thread) ----
  void fadeTo(std::atomic<float>& gain, float toDb, float speed);
  void tickFades(double now);
  void cancelFade(std::atomic<float>& gain);
  bool fadeTarget(const std::atomic<float>& gain, float& toDb) const;
  static double clock();

  // ---- captured applications (main thread) ----
  int addApp(const std::string& bundleId);
  void removeApp(int n);
  void setAppPassthrough(int n, bool on);
  void refreshApps();
  void rebuildTap(int slot, std::vector<AudioObjectID> processes);
  int slotOf(int n) const;
  int appCount() const;
  AppSource& app(int n);

  // ---- input analysis (main thread) ----
  void tickAnalysis(int i);
  void startMeasure(int i);
  void stopMeasure(int i);
  void discardProfile(int i);
  void setProfile(int i, const float* values); // 257 values in dB
  void updateMeasureTimer();
  float measureInputDb(const std::string& key, double seconds);
  // Starts the buffers of every looper that is on and has none; they arrive on a later turn of
  // the main queue (see InputFx::prepareLooper).
  void prepareLoopers();

  // ---- members, in declared order (construction and destruction order) ----
  Settings settings;
  std::atomic<uint32_t> ioBufferFrames{128};
  float macVolume = -1.0f;
  bool macMute = false;
  std::unique_ptr<platform::dispatch::Timer> macVolumeTimer;
  AudioObjectID macVolumeDevice = 0;
  std::array<InputAnalysis, 3> analysis;
  std::unique_ptr<platform::dispatch::Timer> measureTimer;
  std::array<HwInput, 3> hwInputs;
  std::array<std::array<std::unique_ptr<StereoRing>, 3>, 3> echoRefs; // [bus][input]
  std::array<VirtualIn, 4> virtualIns;
  std::array<Bus, 6> buses;
  std::array<AppSource, 16> apps;
  Strip padsStrip;
  PadBank pads;
  std::vector<float> padsBuffer;
  Strip playerStrip;
  Player player;
  std::vector<float> playerBuffer;
  std::unique_ptr<platform::dispatch::Timer> playerTimer;
  Strip systemStrip;
  DeviceLink systemLink;
  DeviceLink clockLink;
  std::array<std::vector<std::string>, 3> users;
  std::array<Ctx, 3> hwCtx;
  std::array<Ctx, 6> busCtx;
  std::array<Ctx, 16> appCtx;
  Ctx systemCtx;
  Ctx clockCtx;
  std::vector<DeviceInfo> devices;
  bool live = false;
  std::vector<Fade> fades;
  std::unique_ptr<platform::dispatch::Timer> fadeTimer;
};

} // namespace velto
