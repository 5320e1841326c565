// The two-deck playlist player: a playlist of tracks, transport commands, two decks streamed by
// a reader thread, beat analysis on an analyzer thread, equal-power and beat-synchronised
// crossfades. Owned by the engine; rendered into the "Player" strip on the clock device's cycle.
// Threading: playlist, queries, transport and tick run on the main thread; render on the audio
// thread (never locks or allocates); readerLoop/handle/fill on the reader thread; the analysis
// on the analyzer thread. The sides meet through atomics, the deck rings and two locked queues.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/stereo_ring.h"
#include "media/audio_file.h"
#include "media/beat_analysis.h"

namespace velto {

// One playlist entry. main thread only.
struct PlayerTrack {
  uint32_t id = 0; // unique, never 0
  std::string path;
  std::string title;       // file name without folder and extension
  double seconds = 0.0;    // the file's stated length; 0 when unknown
  float crossfade = -1.0f; // own crossfade in seconds; negative: the player's applies
  BeatInfo beats;
  bool analyzed = false; // the analysis has finished, whatever its result
};

// One of the player's two streaming slots. The ring is written by the reader thread only and
// read by the audio thread only; the other fields say who writes them.
struct Deck {
  // Capacity of the ring: about 5.5 s.
  static constexpr uint32_t kRingFrames = 262144;
  // An end frame for a file that does not state its length: it plays until it runs out.
  static constexpr uint64_t kUnknownEnd = UINT64_MAX;

  std::unique_ptr<StereoRing> ring;
  std::atomic<uint32_t> trackId{0}; // main thread; 0 = none
  std::atomic<bool> armed{false};   // main thread sets, audio thread clears
  std::atomic<bool> cued{false};    // main thread sets, audio thread clears
  std::atomic<bool> ready{false};   // reader thread sets, main and reader threads clear
  std::atomic<bool> ended{false};   // reader thread
  // Frames at 48000 Hz counted from the file's start. reader thread
  std::atomic<uint64_t> startFrame{0};
  std::atomic<uint64_t> endFrame{0};
  std::atomic<uint64_t> lengthFrames{0};
  std::atomic<uint32_t> crossfadeFrames{0};
  // Beat grid in frames; 0 = none. main thread
  std::atomic<double> beatPeriod{0.0};
  std::atomic<double> firstBeat{0.0};
  std::atomic<double> lastBeat{0.0};
  // The reader raises the generation to have the renderer discard the ring; the renderer
  // answers by copying it into flushAck.
  std::atomic<uint32_t> flushGeneration{0};
  std::atomic<uint32_t> flushAck{0};
  std::atomic<uint64_t> position{0}; // playback frame; written by the audio thread only
  std::atomic<int32_t> state{0};     // 0 idle, 1 playing, 2 fading out; audio thread
  std::atomic<uint32_t> underruns{0};

  // audio thread only
  double level = 0.0;
  double target = 0.0;
  double step = 0.0;

  // reader thread only
  AudioFileReader reader;
  uint32_t pendingGeneration = 0;
  bool flushPending = false;
  bool readerOpen = false;
  // `ready` was given for the pending command. A deck cleared by a new load or seek stays
  // silent until that command is applied, even while a top-up of the old one still runs.
  bool readyGiven = false;
};

class Player {
public:
  // A load or seek for one deck, handed to the reader thread.
  struct Command {
    uint32_t deck = 0;
    uint32_t generation = 0;
    std::string path;
    double startSec = 0.0;
    bool trim = true;
    float crossfadeSec = 0.0f;
    bool seek = false; // within the track already open on the deck
  };

  // The reader's chunk: 4096 frames of up to 8 channels (fewer frames for wider files).
  static constexpr uint32_t kReadFrames = 4096;
  static constexpr size_t kReadFloats = 32768;
  // The renderer's copy buffer: one block of a deck, with room to spare.
  static constexpr uint32_t kScratchFrames = 8192;

  // Deck states.
  static constexpr int32_t kIdle = 0;
  static constexpr int32_t kPlaying = 1;
  static constexpr int32_t kFadingOut = 2;

  // Starts the reader and analyzer threads. main thread
  Player();
  // Stops and joins both threads; the audio thread must no longer render. main thread
  ~Player();
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;

  // Playlist. main thread
  // Appends the file; its id, or 0 with the reader's German message in `error`.
  uint32_t add(const std::string& path, std::string& error);
  // Like add, but opens the file (with `wholeFolder`: lists the folder `path` and opens each of
  // its audio files) on the background queue, so that no file holds the main thread. Each
  // readable file is appended as soon as it is known; calls are served in the order made.
  // `done` gets the first failure's German message (empty when every file was added) on the
  // main thread once the call's last file is known.
  using AddDone = std::function<void(const std::string& error)>;
  void addLater(const std::string& path, bool wholeFolder, AddDone done);
  void remove(int index);
  void move(int from, int to);
  int indexOf(uint32_t id) const;
  uint32_t following(uint32_t id) const;
  double startOf(const PlayerTrack& track) const;
  void setBeats(uint32_t deck, const PlayerTrack& track);

  // Queries. main thread
  int currentIndex() const;
  int nextIndex() const;
  double position() const;
  double duration() const;
  bool transitioning() const;

  // Transport. main thread
  void play(int index);
  void pause();
  void stop();
  void next();
  void prev();
  void seek(double seconds);
  void load(uint32_t deck, const PlayerTrack& track, double startSec);
  void send(Command command);

  // Takes analysis results, starts a requested track, preloads and arms the next one.
  // main thread, every 50 ms
  void tick();

  // audio thread: adds the player's output into `interleaved` (stereo, `frames` frames, the
  // caller clears it first).
  void render(float* interleaved, uint32_t frames);

  // Control fields.
  std::atomic<float> crossfade{8.0f}; // seconds
  std::atomic<bool> trim{true};
  std::atomic<bool> beatSync{false};
  bool repeat = false; // main thread
  std::vector<PlayerTrack> playlist;
  uint32_t nextTrackId = 1;
  uint32_t lastTrackId = 0;
  uint32_t requestedTrackId = 0;
  uint32_t queuedNextId = 0;

  std::array<Deck, 2> decks;
  std::atomic<uint32_t> activeDeck{0};
  std::atomic<bool> playing{false};
  std::atomic<bool> paused{false};
  std::atomic<bool> startRequest{false};
  std::atomic<bool> skipRequest{false};
  std::atomic<bool> stopRequest{false};
  std::array<uint32_t, 2> commandGeneration{}; // main thread
  std::array<std::atomic<uint32_t>, 2> handledGeneration{};

private:
  struct PendingAdd {
    std::string path;
    bool wholeFolder = false;
    AddDone done;
    std::string failure;
  };

  float crossfadeOf(const PlayerTrack& track) const;
  uint32_t append(const std::string& path, double seconds);
  // Opens the files of the first pending addLater call on the background queue. main thread
  void startAdd();

  // Reader thread.
  void readerLoop();
  void handle(const Command& command);
  void fill(uint32_t deck);
  // Analyzer thread.
  void analyzerLoop();
  // Audio thread.
  void renderChunk(float* out, uint32_t frames);
  void startCrossfade(uint32_t frames);
  void mixDeck(Deck& deck, float* out, uint32_t frames, bool isPaused);

  std::mutex readerMutex;
  std::condition_variable readerWake;
  std::deque<Command> commands;    // guarded by readerMutex
  bool readerStop = false;         // guarded by readerMutex
  std::vector<float> readBuffer;   // reader thread: one chunk in the file's own channels
  std::vector<float> stereoBuffer; // reader thread: the chunk as stereo frames

  std::mutex analyzerMutex;
  std::condition_variable analyzerWake;
  std::deque<std::pair<uint32_t, std::string>> analysisQueue; // guarded by analyzerMutex
  std::vector<std::pair<uint32_t, BeatInfo>> results;         // guarded by analyzerMutex
  bool analyzerStop = false;                                  // guarded by analyzerMutex

  double masterLevel = 1.0;   // pause ramp; audio thread
  std::vector<float> scratch; // the renderer's copy of one block; audio thread

  std::deque<PendingAdd> pendingAdds; // main thread
  // Background results reach the player only through this; it dies with the player.
  std::shared_ptr<Player*> self_ = std::make_shared<Player*>(this);

  std::thread readerThread;
  std::thread analyzerThread;
};

} // namespace velto
