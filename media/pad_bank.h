// The sixteen-pad sample bank: each pad holds one decoded sound and plays it once or in a loop,
// with a fade-in, a fade-out and an equal-power crossfade at the loop seam. Owned by the engine;
// rendered into the "Pads" strip on the clock device's cycle.
// Threading: every operation runs on the main thread except render (audio thread). The two
// sides meet only through each pad's atomics; replaced samples are freed on the main thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "media/audio_file.h"

namespace velto {

class PadBank {
public:
  static constexpr int kPads = 16;
  // A replaced sample lives at least this long, far longer than any render still holding it.
  static constexpr double kRetireSeconds = 2.0;
  // A stop fades over at least this long, so it never clicks.
  static constexpr float kMinFadeOutSeconds = 0.005f;

  // Values of Pad::command.
  static constexpr uint32_t kCommandNone = 0;
  static constexpr uint32_t kCommandStart = 1;
  static constexpr uint32_t kCommandStop = 2;

  struct Pad {
    // Control side: main thread only.
    std::string name;
    std::string file;      // full path of the installed file, "" when none
    std::string error;     // message of the last failed load
    std::string errorFile; // the file that load failed on, "" without an error
    bool loading = false;
    uint32_t loadToken = 0; // a background result with another token is dropped

    // Shared with the audio thread.
    std::atomic<PadSample*> sample{nullptr}; // owned by the pad; null = no sound
    std::atomic<uint32_t> installs{0};       // raised after every exchange of `sample`
    std::atomic<float> gain{1.0f};
    std::atomic<bool> loop{false};
    std::atomic<float> fadeIn{0.0f};    // seconds, 0 = start at full level
    std::atomic<float> fadeOut{1.0f};   // seconds
    std::atomic<float> crossfade{0.5f}; // loop seam, seconds
    std::atomic<uint32_t> command{kCommandNone};
    std::atomic<bool> playing{false};  // written by the audio thread
    std::atomic<bool> stopping{false}; // written by the audio thread: fading out after a stop
    std::atomic<float> progress{0.0f}; // written by the audio thread, 0 to 1

    // Audio thread only. `lastSample` is taken again only when `installs` moved, so a pointer
    // that may since have been freed is never looked at.
    PadSample* lastSample = nullptr;
    uint32_t lastInstall = 0;
    uint64_t position = 0;
    bool wrapped = false;
    // The fade: `level` moves from `fadeFrom` toward `target` by `step` per frame, counted from
    // the fade's start (not summed), so a fade lasts its stated number of frames.
    double level = 0.0;
    double target = 0.0;
    double step = 0.0;
    double fadeFrom = 0.0;
    uint64_t fadeDone = 0;
    float lastGain = 1.0f;
  };

  struct Retired {
    std::unique_ptr<PadSample> sample;
    double time = 0.0; // steady-clock seconds when it was replaced
  };

  PadBank();
  ~PadBank(); // the audio thread must no longer render
  PadBank(const PadBank&) = delete;
  PadBank& operator=(const PadBank&) = delete;

  // Puts `sample` (may be null) on the pad; the previous one is retired. main thread
  void install(int index, std::unique_ptr<PadSample> sample, const std::string& file);
  // Frees the retired samples that are old enough. main thread
  void collect();
  // Decodes now; on failure the German reason goes to `error` and the pad keeps its sound.
  // With `mainSeconds` ≥ 0 the opening and decode take at most about that much of the main
  // thread's processor time: what is not done by then finishes like loadAsync (the pad shows
  // loading, a later failure lands in its error) and the call returns true. main thread
  bool load(int index, const std::string& path, std::string& error, double mainSeconds = -1.0);
  // Decodes on the background queue and installs on the main queue, unless the pad was loaded
  // or cleared meanwhile. With `rename` the pad takes the new file's name once the sound is
  // installed; a failed load leaves its name alone. `done` runs on the main thread when the
  // load has ended: with the German reason of a failure, empty otherwise. main thread
  using Loaded = std::function<void(const std::string& error)>;
  void loadAsync(int index, const std::string& path, bool rename = false, Loaded done = {});
  void clear(int index);            // main thread
  void play(int index, bool start); // main thread
  void toggle(int index);           // main thread
  void stopAll();                   // main thread
  // seconds of steady clock, the time base of `retired`. any thread
  static double now();

  // audio thread: adds every playing pad into `interleaved` (stereo, `frames` frames).
  void render(float* interleaved, uint32_t frames);

  std::array<Pad, kPads> pads;
  std::vector<Retired> retired; // main thread only

private:
  Pad* padAt(int index);
  // Runs `decode` to its end on the background queue (opening it first unless `begun`) and
  // installs the result on the main queue, unless the pad was loaded or cleared meanwhile.
  void finishInBackground(int index, const std::string& path,
                          std::shared_ptr<AudioFileDecode> decode, bool begun, bool rename,
                          Loaded done = {});
  // Background results reach the bank only through this; it dies with the bank.
  std::shared_ptr<PadBank*> self_;
};

} // namespace velto
