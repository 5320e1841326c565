// The player's life: construction with its two threads, destruction, the analyzer thread and
// the main-thread tick that ties analysis, reader and renderer together.
#include "media/player.h"

#include "core/levels.h"

namespace velto {

Player::Player() {
  for (Deck& deck : decks) deck.ring = std::make_unique<StereoRing>(Deck::kRingFrames);
  scratch.assign(size_t{kScratchFrames} * kChannels, 0.0f);
  readBuffer.assign(kReadFloats, 0.0f);
  stereoBuffer.assign(size_t{kReadFrames} * kChannels, 0.0f);
  readerThread = std::thread([this] { readerLoop(); });
  analyzerThread = std::thread([this] { analyzerLoop(); });
}

Player::~Player() {
  {
    std::lock_guard<std::mutex> lock(readerMutex);
    readerStop = true;
  }
  readerWake.notify_all();
  readerThread.join();
  {
    std::lock_guard<std::mutex> lock(analyzerMutex);
    analysisQueue.clear();
    analyzerStop = true;
  }
  analyzerWake.notify_all();
  analyzerThread.join();
}

void Player::analyzerLoop() {
  std::unique_lock<std::mutex> lock(analyzerMutex);
  while (!analyzerStop) {
    analyzerWake.wait(lock, [this] { return analyzerStop || !analysisQueue.empty(); });
    if (analyzerStop) break;
    auto [id, path] = std::move(analysisQueue.front());
    analysisQueue.pop_front();
    lock.unlock();
    BeatInfo info = analyzeBeats(path, 0.0, 0.0);
    lock.lock();
    results.emplace_back(id, info);
  }
}

void Player::tick() {
  {
    std::lock_guard<std::mutex> lock(analyzerMutex);
    for (const auto& [id, info] : results) {
      const int index = indexOf(id);
      if (index < 0) continue; // removed meanwhile
      PlayerTrack& track = playlist[size_t(index)];
      track.beats = info;
      track.analyzed = true;
      for (uint32_t d = 0; d < 2; ++d) {
        if (decks[d].trackId.load() == id) setBeats(d, track);
      }
    }
    results.clear();
  }

  const uint32_t active = activeDeck.load();
  Deck& current = decks[active];
  if (current.state.load() != kIdle) lastTrackId = current.trackId.load();

  if (requestedTrackId != 0 && current.trackId.load() == requestedTrackId && current.ready.load() &&
      handledGeneration[active].load() == commandGeneration[active]) {
    requestedTrackId = 0;
    startRequest.store(true);
  }
  if (!playing.load() && !startRequest.load()) return;

  // A track asked for while playing goes next even when the playing one has left the list.
  const uint32_t currentId = current.trackId.load();
  uint32_t nextId = queuedNextId;
  if (nextId == 0) {
    // A skip the renderer has not taken yet goes to the deck armed for it; the track that
    // follows in the list must not replace it meanwhile.
    if (skipRequest.load()) return;
    if (indexOf(currentId) < 0) return;
    nextId = following(currentId);
  }
  if (nextId == 0) return;
  const int nextIndex = indexOf(nextId);
  if (nextIndex < 0) return;

  const uint32_t other = 1 - active;
  Deck& incoming = decks[other];
  if (incoming.state.load() != kIdle) return; // still fading out

  if (incoming.trackId.load() == nextId && incoming.cued.load()) {
    if (incoming.ready.load() && handledGeneration[other].load() == commandGeneration[other]) {
      incoming.armed.store(true);
      if (queuedNextId != 0) {
        queuedNextId = 0;
        skipRequest.store(true); // crossfade at once instead of at the end
      }
    }
    return;
  }
  const PlayerTrack& track = playlist[size_t(nextIndex)];
  load(other, track, startOf(track));
}

} // namespace velto
