// The player's control side on the main thread: the playlist, the queries the API and the window
// show, and the transport that turns user requests into deck commands and render requests.
#include "media/player.h"

#include <algorithm>
#include <cmath>

#include "core/levels.h"
#include "platform/dispatch/background_queue.h"
#include "platform/dispatch/main_queue.h"

namespace velto {
namespace {

// `prev` restarts the current track rather than going back when it has played longer.
constexpr double kRestartSeconds = 3.0;

std::string titleOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

// The file's stated length in seconds (0 when unknown); false with the reason when it can't be
// read.
bool probe(const std::string& path, double& seconds, std::string& error) {
  AudioFileReader reader;
  if (!reader.open(path, error)) return false;
  seconds = reader.fileRate > 0 ? double(reader.fileFrames) / reader.fileRate : 0.0;
  return true;
}

} // namespace

uint32_t Player::add(const std::string& path, std::string& error) {
  double seconds = 0.0;
  return probe(path, seconds, error) ? append(path, seconds) : 0;
}

void Player::addLater(const std::string& path, bool wholeFolder, AddDone done) {
  pendingAdds.push_back({path, wholeFolder, std::move(done), {}});
  if (pendingAdds.size() == 1) startAdd();
}

void Player::startAdd() {
  const PendingAdd& call = pendingAdds.front();
  std::weak_ptr<Player*> player = self_;
  platform::dispatch::backgroundAsync([player, path = call.path, wholeFolder = call.wholeFolder] {
    std::vector<std::string> files;
    if (wholeFolder) {
      for (const std::string& name : listAudioFiles(path)) files.push_back(path + "/" + name);
    } else {
      files.push_back(path);
    }
    for (const std::string& file : files) {
      if (player.expired()) return;
      double seconds = 0.0;
      std::string error;
      const bool readable = probe(file, seconds, error);
      platform::dispatch::mainAsync([player, file, readable, seconds, error] {
        const std::shared_ptr<Player*> alive = player.lock();
        if (!alive) return;
        Player& self = **alive;
        if (readable) {
          self.append(file, seconds);
        } else if (self.pendingAdds.front().failure.empty()) {
          self.pendingAdds.front().failure = error.empty() ? "Datei nicht lesbar" : error;
        }
      });
    }
    // Queued behind every file's step, so the call ends after its last track is in.
    platform::dispatch::mainAsync([player] {
      const std::shared_ptr<Player*> alive = player.lock();
      if (!alive) return;
      Player& self = **alive;
      PendingAdd ended = std::move(self.pendingAdds.front());
      self.pendingAdds.pop_front();
      if (!self.pendingAdds.empty()) self.startAdd();
      if (ended.done) ended.done(ended.failure);
    });
  });
}

uint32_t Player::append(const std::string& path, double seconds) {
  PlayerTrack track;
  track.seconds = seconds;
  track.id = nextTrackId++;
  track.path = path;
  track.title = titleOf(path);
  playlist.push_back(track);
  {
    std::lock_guard<std::mutex> lock(analyzerMutex);
    analysisQueue.emplace_back(track.id, path);
  }
  analyzerWake.notify_one();
  return track.id;
}

void Player::remove(int index) {
  if (index < 0 || size_t(index) >= playlist.size()) return;
  playlist.erase(playlist.begin() + index);
}

void Player::move(int from, int to) {
  const int size = int(playlist.size());
  if (from < 0 || from >= size || to < 0 || to >= size || from == to) return;
  auto first = playlist.begin();
  if (from < to) {
    std::rotate(first + from, first + from + 1, first + to + 1);
  } else {
    std::rotate(first + to, first + from, first + from + 1);
  }
}

int Player::indexOf(uint32_t id) const {
  for (size_t i = 0; i < playlist.size(); ++i) {
    if (playlist[i].id == id) return int(i);
  }
  return -1;
}

uint32_t Player::following(uint32_t id) const {
  const int index = indexOf(id);
  if (index < 0) return 0;
  if (size_t(index) + 1 < playlist.size()) return playlist[size_t(index) + 1].id;
  return repeat ? playlist.front().id : 0;
}

double Player::startOf(const PlayerTrack& track) const {
  return beatSync.load() && track.analyzed && track.beats.valid ? track.beats.firstBeat : 0.0;
}

void Player::setBeats(uint32_t deck, const PlayerTrack& track) {
  Deck& d = decks[deck];
  if (track.analyzed && track.beats.valid && track.beats.bpm > 0) {
    d.beatPeriod.store(60.0 / track.beats.bpm * kSampleRate);
    d.firstBeat.store(track.beats.firstBeat * kSampleRate);
    d.lastBeat.store(track.beats.lastBeat * kSampleRate);
  } else {
    d.beatPeriod.store(0.0);
    d.firstBeat.store(0.0);
    d.lastBeat.store(0.0);
  }
}

float Player::crossfadeOf(const PlayerTrack& track) const {
  return track.crossfade >= 0 ? track.crossfade : crossfade.load();
}

int Player::currentIndex() const {
  const Deck& deck = decks[activeDeck.load()];
  if (deck.state.load() != kIdle) return indexOf(deck.trackId.load());
  return indexOf(requestedTrackId != 0 ? requestedTrackId : lastTrackId);
}

int Player::nextIndex() const {
  if (queuedNextId != 0) return indexOf(queuedNextId);
  const int current = currentIndex();
  if (current < 0) return -1;
  if (size_t(current) + 1 < playlist.size()) return current + 1;
  return repeat ? 0 : -1;
}

double Player::position() const {
  const Deck& deck = decks[activeDeck.load()];
  if (deck.state.load() == kIdle && deck.trackId.load() == 0) return 0.0;
  return double(deck.position.load()) / kSampleRate;
}

double Player::duration() const {
  const Deck& deck = decks[activeDeck.load()];
  const uint64_t end = deck.endFrame.load();
  if (deck.trackId.load() != 0 && end != 0 && end != Deck::kUnknownEnd) {
    return double(end) / kSampleRate;
  }
  const int current = currentIndex();
  return current < 0 ? 0.0 : playlist[size_t(current)].seconds;
}

bool Player::transitioning() const {
  return decks[0].state.load() != kIdle && decks[1].state.load() != kIdle;
}

void Player::play(int index) {
  if (index >= 0) {
    paused.store(false);
  } else {
    if (paused.exchange(false)) return; // resume
    if (playing.load()) return;
    index = std::max(currentIndex(), 0);
  }
  if (size_t(index) >= playlist.size()) return;
  const PlayerTrack& track = playlist[size_t(index)];
  lastTrackId = track.id;
  if (!playing.load()) {
    queuedNextId = 0;
    requestedTrackId = track.id;
    load(activeDeck.load(), track, 0.0);
  } else {
    queuedNextId = track.id; // the tick and the renderer crossfade to it at once
  }
}

void Player::pause() {
  if (playing.load()) paused.store(true);
}

void Player::stop() {
  requestedTrackId = 0;
  queuedNextId = 0;
  paused.store(false);
  // A skip not yet taken would otherwise cut the next start short.
  skipRequest.store(false);
  if (playing.load()) stopRequest.store(true);
}

void Player::next() {
  const int index = nextIndex();
  if (index < 0) return;
  const uint32_t id = playlist[size_t(index)].id;
  if (playing.load()) {
    queuedNextId = id;
  } else {
    lastTrackId = id;
  }
}

void Player::prev() {
  const int current = currentIndex();
  if (current < 0) return;
  const Deck& deck = decks[activeDeck.load()];
  const bool holdsTrack = deck.state.load() != kIdle || deck.trackId.load() != 0;
  if (playing.load() && holdsTrack && position() > kRestartSeconds) {
    seek(0.0);
    return;
  }
  int target = current - 1;
  if (target < 0) target = repeat ? int(playlist.size()) - 1 : 0;
  if (playing.load()) {
    play(target);
  } else {
    lastTrackId = playlist[size_t(target)].id;
  }
}

void Player::seek(double seconds) {
  if (!playing.load()) return;
  const uint32_t active = activeDeck.load();
  Deck& deck = decks[active];
  const int index = indexOf(deck.trackId.load());
  if (index < 0 || transitioning()) return;
  const PlayerTrack& track = playlist[size_t(index)];
  deck.ready.store(false);
  Command command;
  command.deck = active;
  command.generation = ++commandGeneration[active];
  command.path = track.path;
  command.startSec = seconds > 0 ? seconds : 0.0; // NaN counts as the start too
  command.trim = trim.load();
  command.crossfadeSec = crossfadeOf(track);
  command.seek = true;
  send(std::move(command));
}

void Player::load(uint32_t deck, const PlayerTrack& track, double startSec) {
  Deck& d = decks[deck];
  d.trackId.store(track.id);
  d.armed.store(false);
  d.ready.store(false);
  d.cued.store(true);
  setBeats(deck, track);
  Command command;
  command.deck = deck;
  command.generation = ++commandGeneration[deck];
  command.path = track.path;
  command.startSec = startSec;
  command.trim = trim.load();
  command.crossfadeSec = crossfadeOf(track);
  command.seek = false;
  send(std::move(command));
}

void Player::send(Command command) {
  {
    std::lock_guard<std::mutex> lock(readerMutex);
    commands.push_back(std::move(command));
  }
  readerWake.notify_one();
}

} // namespace velto
