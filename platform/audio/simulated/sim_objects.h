// The layer's simulated objects as the layer keeps them (not for clients): the cell through which
// a signal source reaches the audio side, simulated processes with the callbacks that play them
// to their devices, and process taps. Owned by the layer's state (AudioSystem) and, for what
// the audio side reads, shared with the devices that use them.
// Threading: control side under the layer's control lock; the audio side reads only atomics and
// what stays fixed while it can see it.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/layer/frame_ring.h"
#include "platform/audio/layer/io_procs.h"
#include "platform/audio/layer/system_state.h"
#include "platform/audio/simulated/sim_processes.h"
#include "platform/audio/simulated/sim_signal.h"
#include "platform/audio/simulated/sim_taps.h"

namespace platform::audio {

// One signal source at a time for the audio side. A replaced source stays alive until the cell
// goes, so an I/O thread that still renders it is never left with freed memory.
class SourceCell {
public:
  explicit SourceCell(SignalSource initial);
  void set(SignalSource next); // control side
  const SignalSource* current() const { return current_.load(std::memory_order_acquire); }

private:
  std::vector<std::unique_ptr<SignalSource>> all_;
  std::atomic<const SignalSource*> current_{nullptr};
};

// A listener's place in a source: starts at 0 whenever the source changes. audio thread
struct SourceCursor {
  const SignalSource* source = nullptr;
  uint64_t position = 0;
  const SignalSource* follow(const SourceCell& cell) {
    const SignalSource* now = cell.current();
    if (now != source) {
      source = now;
      position = 0;
    }
    return now;
  }
};

struct SimProcess;

// One callback of a process on a device it plays to.
struct SimPlayback {
  SimProcess* process = nullptr; // outlives the callback
  SourceCursor cursor;           // audio side only
  std::vector<float> stereo;     // kMaxBufferFrames frames, audio side only
  std::string uid;
  ObjectId device = 0;
  IoProcId proc = kNoIoProc;
};

struct SimProcess {
  explicit SimProcess(const SimProcessConfig& config) : config(config), audio(config.audio) {}
  ObjectId object = 0;
  SimProcessConfig config; // control side
  bool external = false;   // plays through a sound server by itself: the layer plays nothing
  SourceCell audio;
  std::atomic<int> mutingTaps{0};   // muting taps that exist: its devices do not hear it
  std::atomic<bool> playing{false}; // running output, as taps hear it
  std::vector<std::unique_ptr<SimPlayback>> playbacks; // control side
};

// What a sound server captured for a tap, handed from its thread to the aggregate device around
// the tap: stereo frames, one writer, one reader, no locks. The reader waits until a writer's
// block and its own are there (the two threads tick at different sizes), and drops a backlog
// beyond twice that, so the delay stays small after a stall. Between the two clocks' drift it
// moves by single frames: when the least backlog of two windows in a row has grown (or shrunk)
// past a slack from where the margin set it, one frame per read is dropped (or repeated) until
// it is back.
class TapFeed {
public:
  static constexpr uint64_t kDriftWindow = 24000; // frames read per window
  static constexpr uint64_t kDriftSlack = 16;

  explicit TapFeed(uint32_t frames);
  void write(const float* stereo, uint32_t frames); // the server's thread; drops what does not fit
  void read(float* stereo, uint32_t frames);        // the aggregate's thread; silence when short

private:
  void watchDrift(uint64_t waiting, uint32_t frames);
  void setMargin();              // the reference is taken anew from the next window
  void startWindow(int windows); // `windows` of them since the margin or the last move

  FrameRing ring_;
  std::atomic<uint32_t> lastBlock_{0};
  // reader only
  bool primed_ = false;
  bool referenced_ = false;
  uint64_t reference_ = 0;      // the least backlog of the first window after priming
  uint64_t lowest_ = 0;         // of the window that runs
  uint64_t previousLowest_ = 0; // of the window before
  uint64_t windowRead_ = 0;
  int windows_ = 0;    // windows since priming
  int64_t slip_ = 0;   // frames still to drop (> 0) or repeat (< 0), one per read
  float last_[2] = {}; // the frame read last, repeated by a slip
};

struct SimTap {
  ObjectId object = 0;
  TapDescription description;
  std::vector<std::shared_ptr<SimProcess>> processes; // fixed once made
  std::atomic<bool> destroyed{false};                 // an aggregate then hears silence
  std::shared_ptr<TapFeed> feed; // a server's capture of external processes; set before use
};

// Lets every process play to the devices of its configuration that exist now, and stops the
// callbacks on devices that went or that it no longer plays to. Control lock held.
void syncProcessPlayback(AudioSystem& system);

// Processes that a sound server reports, with the process list's listeners told. Control lock
// held. add gives the new object id.
ObjectId addExternalProcess(AudioSystem& system, const SimProcessConfig& config);
void updateExternalProcess(AudioSystem& system, ObjectId process, const SimProcessConfig& config);
void removeExternalProcess(AudioSystem& system, ObjectId process);

} // namespace platform::audio
