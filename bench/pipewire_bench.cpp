// The engine on a PipeWire server against the engine on simulated devices, under the real-time
// clock: three stereo hardware inputs, three hardware outputs, the driver's devices, every route
// on. For each path the CPU time of the threads that run the device cycles is measured over two
// seconds and divided by the cycles run: the cost of one 128-frame cycle, the audio layer's and
// (on PipeWire) the server library's share included, as a share of the 2.67 ms budget. Then the
// round trip at 128 frames: a tone starts in a null duplex node (the microphone), goes through
// input 1 and output 1 and is caught on the null sink's monitor; the distance between the two
// in time. Then the path judged beside the server's own loopback: a counted tone played into
// the microphone and into a second duplex node, one 4-channel recorder taking the counter into
// and out of both paths, for VELTO_BENCH_PATH_SECONDS (60) at each buffer size and with the
// server's quantum forced below and above it, and for the system sound played into "Velto Input"
// on its way to output 1 and to "Velto Out 1": breaks per minute, the in-to-out distance, and
// the CPU per second of the threads that run the cycles, Velto's beside the loopback's.
// Starts its own private server (the test support's); when PipeWire is not installed the
// PipeWire figures are skipped.
#include "core/levels.h"
#include "effects/fx_chain.h"
#include "effects/input_fx.h"
#include "effects/noise_filter.h"
#include "engine/engine.h"
#include "platform/audio/layer/io_procs.h"
#include "platform/audio/pipewire/pipewire_devices.h"
#include "platform/audio/pipewire/stereo_format.h"
#include "platform/audio/simulated/sim_devices.h"
#include "platform/dispatch/main_queue.h"
#include "tests/support/audio_test_system.h"
#include "tests/support/path_probe.h"
#include "tests/support/pipewire_daemon.h"
#include "tests/support/test_files.h"

#include <pipewire/pipewire.h>
#include <spa/node/io.h>

#include <pthread.h>
#include <time.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace audio = platform::audio;
using velto::test::NullNode;
using velto::test::PipewireDaemon;

constexpr uint32_t kCycleFrames = 128;
constexpr double kBudgetSeconds = double{kCycleFrames} / velto::kSampleRate; // 2.67 ms
constexpr auto kMeasure = std::chrono::seconds(2);

// The threads that run device cycles, as the markers see them. Fixed room: no allocation there.
struct CycleThreads {
  static constexpr int kRoom = 16;
  std::array<std::atomic<pthread_t>, kRoom> ids{};
  std::atomic<int> count{0};
  std::atomic<uint64_t> cycles{0}; // of the counting device

  void note(pthread_t self) {
    const int n = count.load(std::memory_order_acquire);
    for (int i = 0; i < n; ++i) {
      if (pthread_equal(ids[i].load(std::memory_order_relaxed), self)) return;
    }
    const int slot = count.fetch_add(1, std::memory_order_acq_rel);
    if (slot < kRoom) ids[slot].store(self, std::memory_order_release);
  }

  // CPU seconds of every thread seen so far.
  double cpuSeconds() const {
    double sum = 0.0;
    const int n = std::min(count.load(std::memory_order_acquire), kRoom);
    for (int i = 0; i < n; ++i) {
      clockid_t clock;
      timespec t{};
      if (pthread_getcpuclockid(ids[i].load(), &clock) == 0 && clock_gettime(clock, &t) == 0) {
        sum += double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
      }
    }
    return sum;
  }
};

struct Marker {
  CycleThreads* threads = nullptr;
  bool counts = false;
};

AspStatus mark(audio::ObjectId, const audio::TimeStamp*, const audio::BufferList*,
               const audio::TimeStamp*, audio::BufferList*, const audio::TimeStamp*,
               void* clientData) {
  auto& m = *static_cast<Marker*>(clientData);
  m.threads->note(pthread_self());
  if (m.counts) m.threads->cycles.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

// Installs a marker on every device of `uids` (the first one counts cycles), runs the engine
// with the given inputs and outputs for the measuring time and answers seconds of CPU per cycle;
// negative when something did not bind.
double cycleCost(const std::vector<std::string>& uids, const std::vector<std::string>& inputs,
                 const std::vector<std::string>& outputs) {
  CycleThreads threads;
  std::vector<std::unique_ptr<Marker>> markers;
  std::vector<std::pair<audio::ObjectId, audio::IoProcId>> procs;
  for (const std::string& uid : uids) {
    const audio::ObjectId device = velto::test::deviceForUid(uid);
    markers.push_back(std::make_unique<Marker>(Marker{&threads, markers.empty()}));
    audio::IoProcId proc = audio::kNoIoProc;
    if (device == 0 || audio::createIoProcId(device, mark, markers.back().get(), &proc) != 0) {
      std::printf("  %s: no such device\n", uid.c_str());
      return -1.0;
    }
    audio::startDevice(device, proc);
    procs.emplace_back(device, proc);
  }
  double cost = -1.0;
  {
    auto engine = std::make_unique<velto::Engine>(true);
    bool bound = true;
    for (size_t i = 0; i < inputs.size(); ++i) {
      engine->setHwInputDevice(int(i), inputs[i]);
      engine->setHwOutputDevice(int(i), outputs[i]);
      bound = bound && engine->hwInputs[i].link.device != 0 && engine->buses[i].link.device != 0;
    }
    for (auto& in : engine->hwInputs) in.strip.routeMask.store(0x3f);
    for (auto& v : engine->virtualIns) v.strip.routeMask.store(0x3f);
    engine->padsStrip.routeMask.store(0x3f);
    engine->playerStrip.routeMask.store(0x3f);
    // Settle: streams connected, every thread seen.
    platform::dispatch::runMainQueueFor(std::chrono::milliseconds(500));
    const double cpuBefore = threads.cpuSeconds();
    const uint64_t cyclesBefore = threads.cycles.load();
    platform::dispatch::runMainQueueFor(kMeasure);
    const double cpu = threads.cpuSeconds() - cpuBefore;
    const uint64_t cycles = threads.cycles.load() - cyclesBefore;
    if (bound && cycles > 0) cost = cpu / double(cycles);
    std::printf("  %llu cycles in %.1f s on %d threads\n", static_cast<unsigned long long>(cycles),
                std::chrono::duration<double>(kMeasure).count(), threads.count.load());
    engine.reset();
  }
  for (const auto& [device, proc] : procs) {
    audio::stopDevice(device, proc);
    audio::destroyIoProcId(device, proc);
  }
  platform::dispatch::resetMainQueue();
  return cost;
}

double simulatedCost() {
  velto::test::AudioTestSystem system({audio::ClockMode::RealTime, /*withDriver=*/true});
  if (!system.started()) return -1.0;
  std::vector<std::string> uids, inputs, outputs;
  for (int i = 1; i <= 3; ++i) {
    audio::SimDeviceConfig mic;
    mic.name = "Mic " + std::to_string(i);
    mic.uid = "mic" + std::to_string(i);
    mic.inputBuffers = {2};
    mic.input = audio::SignalSource::sine(220.0 * i, 0.3f);
    audio::SimDeviceConfig spk;
    spk.name = "Out " + std::to_string(i);
    spk.uid = "spk" + std::to_string(i);
    spk.outputBuffers = {2};
    if (audio::addSimDevice(mic) == 0 || audio::addSimDevice(spk) == 0) return -1.0;
    inputs.push_back(mic.uid);
    outputs.push_back(spk.uid);
  }
  uids = {"spk1", "mic1", "mic2", "mic3", "spk2", "spk3", "VeltoClock_UID"};
  return cycleCost(uids, inputs, outputs);
}

// A client of its own on the server: plays silence and then a sine into `target`, and watches
// the monitor of `sink` for the sine's first frame; the two frames' times come from the graph
// clocks the two streams run on (both on the monotonic clock).
class RoundTrip {
public:
  RoundTrip(const std::string& remote, const std::string& target, const std::string& sink) {
    loop_ = pw_thread_loop_new("velto-bench", nullptr);
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    pw_thread_loop_start(loop_);
    pw_thread_loop_lock(loop_);
    core_ = pw_context_connect(context_,
                               pw_properties_new(PW_KEY_REMOTE_NAME, remote.c_str(), nullptr), 0);
    if (core_ != nullptr) {
      open(play_, target, false);
      open(listen_, sink, true);
    }
    pw_thread_loop_unlock(loop_);
  }
  ~RoundTrip() {
    pw_thread_loop_lock(loop_);
    for (Side* s : {&play_, &listen_}) {
      if (s->stream != nullptr) pw_stream_destroy(s->stream);
    }
    if (core_ != nullptr) pw_core_disconnect(core_);
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
  }

  // Starts the sine at the next cycle and waits for it on the monitor; nanoseconds apart, or -1.
  int64_t measure(std::chrono::milliseconds timeout) {
    sent_.store(-1);
    heard_.store(-1);
    start_.store(true);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (heard_.load() < 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    start_.store(false);
    return heard_.load() < 0 || sent_.load() < 0 ? -1 : heard_.load() - sent_.load();
  }

private:
  struct Side {
    RoundTrip* owner = nullptr;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    pw_stream_events events{};
    std::atomic<spa_io_position*> position{nullptr};
  };

  void open(Side& s, const std::string& target, bool capture) {
    s.owner = this;
    s.events.version = PW_VERSION_STREAM_EVENTS;
    s.events.process = capture ? &RoundTrip::onListen : &RoundTrip::onPlay;
    s.events.io_changed = [](void* data, uint32_t id, void* area, uint32_t size) {
      if (id == SPA_IO_Position)
        static_cast<Side*>(data)->position.store(
            size >= sizeof(spa_io_position) ? static_cast<spa_io_position*>(area) : nullptr);
    };
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, capture ? "Capture" : "Playback",
        PW_KEY_TARGET_OBJECT, target.c_str(), PW_KEY_NODE_LATENCY, "128/48000", nullptr);
    if (capture) pw_properties_set(props, PW_KEY_STREAM_CAPTURE_SINK, "true");
    s.stream = pw_stream_new(core_, capture ? "bench.listen" : "bench.play", props);
    if (s.stream == nullptr) return;
    pw_stream_add_listener(s.stream, &s.listener, &s.events, &s);
    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[1] = {audio::stereoFloatFormat(builder, 48000)};
    pw_stream_connect(s.stream, capture ? SPA_DIRECTION_INPUT : SPA_DIRECTION_OUTPUT, PW_ID_ANY,
                      pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                      PW_STREAM_FLAG_RT_PROCESS),
                      params, 1);
  }

  // When the cycle that runs began, in nanoseconds of the monotonic clock; -1 unknown.
  static int64_t cycleTime(const Side& s) {
    const spa_io_position* p = s.position.load();
    return p != nullptr ? int64_t(p->clock.nsec) : -1;
  }

  static void onPlay(void* data) {
    auto& s = *static_cast<Side*>(data);
    RoundTrip& self = *s.owner;
    pw_buffer* b = pw_stream_dequeue_buffer(s.stream);
    if (b == nullptr) return;
    spa_data& d = b->buffer->datas[0];
    if (d.data == nullptr || d.chunk == nullptr) {
      pw_stream_queue_buffer(s.stream, b);
      return;
    }
    const uint32_t frames = std::min<uint32_t>(
        b->requested != 0 ? uint32_t(b->requested) : kCycleFrames, d.maxsize / (2 * sizeof(float)));
    auto* out = static_cast<float*>(d.data);
    if (self.start_.load() && self.sent_.load() < 0) self.sent_.store(cycleTime(s));
    const bool sounding = self.start_.load() && self.sent_.load() >= 0;
    for (uint32_t f = 0; f < frames; ++f) {
      const float v = sounding ? 0.25f * std::sin(float(self.phase_++) * 0.13f + 0.5f) : 0.0f;
      out[2 * f] = out[2 * f + 1] = v;
    }
    if (!sounding) self.phase_ = 0;
    d.chunk->offset = 0;
    d.chunk->stride = 2 * sizeof(float);
    d.chunk->size = frames * 2 * sizeof(float);
    pw_stream_queue_buffer(s.stream, b);
  }

  static void onListen(void* data) {
    auto& s = *static_cast<Side*>(data);
    RoundTrip& self = *s.owner;
    pw_buffer* b = pw_stream_dequeue_buffer(s.stream);
    if (b == nullptr) return;
    const spa_data& d = b->buffer->datas[0];
    if (self.sent_.load() >= 0 && self.heard_.load() < 0 && d.data != nullptr &&
        d.chunk != nullptr) {
      const auto* in = reinterpret_cast<const float*>(static_cast<const uint8_t*>(d.data) +
                                                      std::min(d.chunk->offset, d.maxsize));
      const uint32_t frames = d.chunk->size / (2 * sizeof(float));
      for (uint32_t f = 0; f < frames; ++f) {
        if (std::fabs(in[2 * f]) > 0.01f) {
          self.heard_.store(cycleTime(s) + int64_t(f) * 1000000000 / 48000);
          break;
        }
      }
    }
    pw_stream_queue_buffer(s.stream, b);
  }

  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  Side play_;
  Side listen_;
  std::atomic<bool> start_{false};
  std::atomic<int64_t> sent_{-1};
  std::atomic<int64_t> heard_{-1};
  uint64_t phase_ = 0; // data thread only
};

// CPU seconds of a process's threads whose name starts with `prefix` (all when empty).
double processCpuSeconds(pid_t pid, const std::string& prefix) {
  double sum = 0.0;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return 0.0;
  const double tick = double(sysconf(_SC_CLK_TCK));
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream stat(tasks + "/" + entry->d_name + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t open = text.find('('), close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    if (text.compare(open + 1, prefix.size(), prefix) != 0) continue;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 0; i < 13 && fields >> field; ++i) {
      if (i == 11) utime = std::atof(field.c_str());
      if (i == 12) stime = std::atof(field.c_str());
    }
    sum += (utime + stime) / tick;
  }
  closedir(dir);
  return sum;
}

struct PathRun {
  std::string what;
  uint32_t frames;       // Velto's buffer
  const char* quantum;   // the server's forced quantum, "0" none
  bool changeDuringPlay; // 128 -> 512 -> 128 while it plays
  int system = 0; // 1: "Velto Input" -> the Default input -> "Velto Out 1"; 2: ... -> output 1
};

// One run of Velto's path (input 1 -> output 1, or the system sound's) beside the peer's; prints
// one line.
void pathRun(PipewireDaemon& daemon, velto::Engine& engine, const std::string& file,
             const PathRun& run, int seconds) {
  CycleThreads threads;
  Marker marker{&threads, true};
  const audio::ObjectId device = velto::test::deviceForUid("spk1");
  audio::IoProcId proc = audio::kNoIoProc;
  engine.setBufferFrames(run.frames);
  daemon.metadata({"-n", "settings", "0", "clock.force-quantum", run.quantum});
  if (device != 0 && audio::createIoProcId(device, mark, &marker, &proc) == 0)
    audio::startDevice(device, proc);
  const pid_t peer = daemon.loopback("peer.mic", "peer.spk", run.frames);
  const uint32_t systemRoutes =
      engine.virtualIns[3].strip.routeMask.exchange(run.system == 1   ? 8
                                                    : run.system == 2 ? 1
                                                                      : 0);
  const pid_t player = daemon.play(run.system ? "sys.mic" : "mic1", file);
  const pid_t peerPlayer = daemon.play("peer.mic", file);
  platform::dispatch::runMainQueueFor(std::chrono::milliseconds(1500));
  const uint32_t underruns = engine.buses[0].underruns.load();
  const double cpuBefore = threads.cpuSeconds();
  const double peerBefore = processCpuSeconds(peer, "");
  std::vector<float> recorded;
  std::thread recorder([&] {
    const char* recorders[] = {"bench.recorder", "bench.recorder2", "bench.recorder3"};
    recorded = daemon.recordSink(recorders[run.system], 4, seconds * 1000);
  });
  if (run.changeDuringPlay) {
    for (uint32_t frames : {512u, 128u, 512u, 128u}) {
      platform::dispatch::runMainQueueFor(std::chrono::milliseconds(seconds * 1000 / 5));
      engine.setBufferFrames(frames);
    }
  }
  platform::dispatch::runMainQueueFor(std::chrono::milliseconds(seconds * 1000 / 5 + 100));
  recorder.join();
  const double cpu = (threads.cpuSeconds() - cpuBefore) / seconds;
  const double peerCpu = (processCpuSeconds(peer, "") - peerBefore) / seconds;
  const uint32_t counted = engine.buses[0].underruns.load() - underruns;
  daemon.endPlay(peerPlayer);
  daemon.endPlay(player);
  daemon.endPlay(peer);
  engine.virtualIns[3].strip.routeMask.store(systemRoutes);
  if (proc != audio::kNoIoProc) {
    audio::stopDevice(device, proc);
    audio::destroyIoProcId(device, proc);
  }
  daemon.metadata({"-n", "settings", "0", "clock.force-quantum", "0"});
  const velto::test::PathJudgement velto = velto::test::judgePath(recorded, 4, 0, 1);
  const velto::test::PathJudgement server = velto::test::judgePath(recorded, 4, 2, 3);
  const double minutes = double(velto.frames) / 48000.0 / 60.0;
  const double peerMinutes = double(server.frames) / 48000.0 / 60.0;
  std::printf("  %-28s Velto %7.1f breaks/min, distance %4lld (%lld..%lld) frames, %u underruns, "
              "RT %5.2f %% | pw-loopback %7.1f breaks/min, distance %4lld, RT %5.2f %%  "
              "(%.0f s / %.0f s traced)\n",
              run.what.c_str(), minutes > 0 ? velto.breaks / minutes : -1.0,
              (long long)velto.latency, (long long)velto.shortest, (long long)velto.longest,
              counted, cpu * 100.0, peerMinutes > 0 ? server.breaks / peerMinutes : -1.0,
              (long long)server.latency, peerCpu * 100.0, minutes * 60.0, peerMinutes * 60.0);
  std::fflush(stdout);
}

void printCost(const char* name, double seconds) {
  if (seconds < 0) {
    std::printf("%-34s not measured\n", name);
    return;
  }
  std::printf("%-34s %8.1f us per %u-frame cycle = %6.2f %% of the %.2f ms budget\n", name,
              seconds * 1e6, kCycleFrames, seconds / kBudgetSeconds * 100.0, kBudgetSeconds * 1e3);
}

} // namespace

int main() {
  std::printf("simulated devices:\n");
  const double simulated = simulatedCost();
  double pipewire = -1.0;
  std::vector<int64_t> trips;
  if (!velto::test::pipewireInstalled()) {
    std::printf("PipeWire is not installed: its figures are skipped\n");
  } else {
    pw_init(nullptr, nullptr);
    PipewireDaemon daemon;
    velto::test::AudioTestSystem system({audio::ClockMode::RealTime, /*withDriver=*/true});
    bool ready = daemon.running() && system.started();
    for (int i = 1; ready && i <= 3; ++i) {
      NullNode mic{"mic" + std::to_string(i), "Mic " + std::to_string(i), false, 2};
      mic.mediaClass = "Audio/Duplex"; // a null source would count as virtual
      ready = daemon.addNode(mic) &&
              daemon.addNode({"spk" + std::to_string(i), "Out " + std::to_string(i), false, 2});
    }
    audio::PipewireOptions options;
    options.remote = daemon.socket();
    options.answerMillis = 3000;
    ready = ready && audio::startPipewireDevices(options);
    if (!ready) {
      std::printf("the private PipeWire server did not start: its figures are skipped\n");
    } else {
      std::printf("PipeWire (private server, null nodes):\n");
      pipewire = cycleCost({"spk1", "mic1", "mic2", "mic3", "spk2", "spk3", "VeltoClock_UID"},
                           {"mic1", "mic2", "mic3"}, {"spk1", "spk2", "spk3"});
      auto engine = std::make_unique<velto::Engine>(true);
      engine->setHwInputDevice(0, "mic1");
      engine->setHwOutputDevice(0, "spk1");
      engine->hwInputs[0].strip.routeMask.store(1);
      // The way itself, without the effects' own delays.
      for (auto& bank : engine->hwInputs[0].fxChain->banks) {
        if (!bank) continue;
        for (auto& on : bank->enabled) on.store(false);
      }
      for (auto& on : engine->buses[0].fx->enabled) on.store(false);
      engine->hwInputs[0].noiseFilter->enabled.store(false);
      for (auto& in : engine->hwInputs) {
        in.strip.gain.store(1.0f);
        in.noiseFilter->enabled.store(false);
      }
      {
        RoundTrip trip(daemon.socket(), "mic1", "spk1");
        platform::dispatch::runMainQueueFor(std::chrono::milliseconds(500));
        for (int i = 0; i < 5; ++i) {
          trips.push_back(trip.measure(std::chrono::milliseconds(1000)));
          platform::dispatch::runMainQueueFor(std::chrono::milliseconds(200));
        }
      }
      NullNode peerMic{"peer.mic", "Peer Mic", false, 2};
      peerMic.mediaClass = "Audio/Duplex";
      NullNode systemMic{"sys.mic", "System Sound", false, 2};
      systemMic.mediaClass = "Audio/Duplex";
      const bool peered =
          daemon.addNode(peerMic) && daemon.addNode({"peer.spk", "Peer Out", false, 2}) &&
          daemon.addNode({"bench.recorder", "Recorder", false, 4}) && daemon.addNode(systemMic) &&
          daemon.addNode({"bench.recorder2", "Recorder 2", false, 4}) &&
          daemon.addNode({"bench.recorder3", "Recorder 3", false, 4});
      const std::string file = system.home() + "/counted.wav";
      const char* secondsText = std::getenv("VELTO_BENCH_PATH_SECONDS");
      const int seconds = secondsText != nullptr ? std::max(2, std::atoi(secondsText)) : 60;
      platform::dispatch::runMainQueueFor(std::chrono::milliseconds(500));
      bool linked = peered && velto::fixtures::writeWav(
                                  file, 48000, 2,
                                  velto::test::countedTone(997.0, 0.25, (seconds + 4) * 1000));
      for (const auto& [from, to] :
           {std::pair<const char*, const char*>{"mic1:capture_FR", "bench.recorder:playback_FL"},
            {"spk1:monitor_FR", "bench.recorder:playback_FR"},
            {"peer.mic:capture_FR", "bench.recorder:playback_FC"},
            {"peer.spk:monitor_FR", "bench.recorder:playback_LFE"},
            // the system sound: played into "Velto Input", heard on "Velto Out 1"
            {"sys.mic:capture_FL", "velto.VeltoDefaultOutput_UID:playback_FL"},
            {"sys.mic:capture_FR", "velto.VeltoDefaultOutput_UID:playback_FR"},
            {"sys.mic:capture_FR", "bench.recorder2:playback_FL"},
            {"velto.VeltoOut1_UID:capture_FR", "bench.recorder2:playback_FR"},
            {"peer.mic:capture_FR", "bench.recorder2:playback_FC"},
            {"peer.spk:monitor_FR", "bench.recorder2:playback_LFE"},
            {"sys.mic:capture_FR", "bench.recorder3:playback_FL"},
            {"spk1:monitor_FR", "bench.recorder3:playback_FR"},
            {"peer.mic:capture_FR", "bench.recorder3:playback_FC"},
            {"peer.spk:monitor_FR", "bench.recorder3:playback_LFE"}}) {
        linked = linked && daemon.link(from, to);
      }
      if (!linked) {
        std::printf("the recorder's links were not made: the path figures are skipped\n");
      } else {
        std::printf("path beside pw-loopback, %d s each (input 1 -> output 1 unless named):\n",
                    seconds);
        const std::vector<PathRun> runs = {
            {"buffer 64", 64, "0", false},
            {"buffer 128", 128, "0", false},
            {"buffer 256", 256, "0", false},
            {"buffer 512", 512, "0", false},
            {"buffer 128, quantum 64", 128, "64", false},
            {"buffer 128, quantum 256", 128, "256", false},
            {"buffer 128, quantum 1024", 128, "1024", false},
            {"buffer 128 -> 512 -> 128", 128, "0", true},
            {"Velto Input -> Velto Out 1, 128", 128, "0", false, 1},
            {"Velto Input -> Velto Out 1, 512", 512, "0", false, 1},
            {"Velto Input -> output 1, 128", 128, "0", false, 2},
        };
        const char* only = std::getenv("VELTO_BENCH_PATH_RUNS"); // e.g. "1,3": those runs only
        for (size_t r = 0; r < runs.size(); ++r) {
          if (only != nullptr && std::string(",").append(only).append(",").find(
                                     "," + std::to_string(r) + ",") == std::string::npos)
            continue;
          pathRun(daemon, *engine, file, runs[r], seconds);
        }
      }
      engine.reset();
      platform::dispatch::resetMainQueue();
      audio::stopPipewireDevices();
    }
    pw_deinit();
  }
  printCost("simulated path", simulated);
  printCost("PipeWire path", pipewire);
  if (simulated > 0 && pipewire > 0)
    std::printf("%-34s %8.2f x the simulated path\n", "PipeWire path", pipewire / simulated);
  for (int64_t ns : trips) {
    if (ns < 0) {
      std::printf("round trip at %u frames: the tone did not come back\n", kCycleFrames);
    } else {
      std::printf("round trip at %u frames: %.2f ms = %.0f frames (null source -> engine -> null "
                  "sink monitor)\n",
                  kCycleFrames, double(ns) * 1e-6, double(ns) * 48e-6);
    }
  }
  return 0;
}
