// The player's reader thread: applies load and seek commands to the decks (opening files and
// trimming silence) and keeps both deck rings topped up with 48000 Hz stereo frames.
#include "media/player.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "core/levels.h"

namespace velto {
namespace {

constexpr uint32_t kReadFrames = Player::kReadFrames;
// A deck may start once this much (0.25 s) is buffered.
constexpr uint32_t kReadyFrames = 12000;
constexpr auto kTopUpInterval = std::chrono::milliseconds(10);

// Silence trimming: a frame is loud above about -50 dBFS on any channel; the ends are looked
// for within 20 s of either side.
constexpr float kLoudLevel = 0.00316f;
constexpr double kTrimWindowSeconds = 20.0;
constexpr double kLeadSeconds = 0.01;
constexpr double kTailSeconds = 0.05;
// What a codec may add beyond the stated length; the tail scan reads no further than that, so
// a file whose header understates its length is not decoded to its real end here.
constexpr double kCodecSlackSeconds = 1.0;

uint32_t chunkFrames(uint32_t channels) {
  return std::min<uint32_t>(kReadFrames, uint32_t(Player::kReadFloats / std::max(channels, 1u)));
}

bool isLoud(const float* frame, uint32_t channels) {
  for (uint32_t c = 0; c < channels; ++c) {
    if (std::fabs(frame[c]) > kLoudLevel) return true;
  }
  return false;
}

// The stated length in seconds; 0 when the file does not state it.
double statedSeconds(const AudioFileReader& reader) {
  if (reader.fileRate <= 0 || reader.fileFrames <= 0) return 0.0;
  return double(reader.fileFrames) / reader.fileRate;
}

// Where the track's trailing silence begins, plus a short tail; `length` when the last 20 s
// hold nothing loud.
double trimmedEnd(AudioFileReader& reader, double length, float* buffer) {
  const double from = std::max(length - kTrimWindowSeconds, 0.0);
  if (!reader.seekSeconds(from)) return length;
  // The read starts at the file frame the seek truncated to.
  const double base = std::trunc(from * reader.fileRate) / reader.fileRate;
  const uint64_t limit = uint64_t((length - base + kCodecSlackSeconds) * kSampleRate);
  const uint32_t channels = reader.channels;
  const uint32_t chunk = chunkFrames(channels);
  uint64_t index = 0;
  int64_t lastLoud = -1;
  while (index < limit) {
    const uint32_t got = reader.read(buffer, chunk);
    if (got == 0) break;
    for (uint32_t i = 0; i < got; ++i) {
      if (isLoud(buffer + size_t(i) * channels, channels)) lastLoud = int64_t(index + i);
    }
    index += got;
  }
  if (lastLoud < 0) return length;
  return std::min(base + double(lastLoud) / kSampleRate + kTailSeconds, length);
}

// Just before the first loud frame within the first 20 s; 0 when there is none.
double trimmedStart(AudioFileReader& reader, float* buffer) {
  if (!reader.seekSeconds(0.0)) return 0.0;
  const uint32_t channels = reader.channels;
  const uint32_t chunk = chunkFrames(channels);
  const uint64_t limit = uint64_t(kTrimWindowSeconds * kSampleRate);
  uint64_t index = 0;
  while (index < limit) {
    const uint32_t got = reader.read(buffer, chunk);
    if (got == 0) break;
    for (uint32_t i = 0; i < got; ++i) {
      if (isLoud(buffer + size_t(i) * channels, channels)) {
        return std::max(double(index + i) / kSampleRate - kLeadSeconds, 0.0);
      }
    }
    index += got;
  }
  return 0.0;
}

// Once per command: a deck that lost `ready` to a newer load or seek is not made ready again by
// audio of the older one.
void giveReady(Deck& deck) {
  if (deck.readyGiven) return;
  deck.readyGiven = true;
  deck.ready.store(true);
}

// Seconds to frames, truncated; a time that came from a whole frame count and lost a trace to
// rounding on the way still gives that frame.
uint64_t toFrames(double seconds) {
  if (!(seconds > 0)) return 0;
  const double frames = seconds * kSampleRate;
  const double nearest = std::round(frames);
  return uint64_t(std::fabs(frames - nearest) < 1e-6 ? nearest : frames);
}

} // namespace

void Player::readerLoop() {
  std::unique_lock<std::mutex> lock(readerMutex);
  for (;;) {
    if (readerStop) return;
    if (commands.empty()) {
      lock.unlock();
      fill(0);
      fill(1);
      lock.lock();
      if (readerStop) return;
      readerWake.wait_for(lock, kTopUpInterval, [this] { return readerStop || !commands.empty(); });
      continue;
    }
    Command command = std::move(commands.front());
    commands.pop_front();
    lock.unlock();
    handle(command);
    lock.lock();
  }
}

void Player::handle(const Command& command) {
  Deck& deck = decks[command.deck];
  deck.ready.store(false);
  deck.ended.store(false);

  double start = command.startSec;
  uint64_t end = 0;
  if (command.seek && deck.readerOpen) {
    end = deck.endFrame.load(); // trimming is not recomputed
  } else {
    std::string error;
    deck.readerOpen = deck.reader.open(command.path, error);
    if (!deck.readerOpen) {
      deck.ended.store(true);
      end = command.seek ? deck.endFrame.load() : 0;
    } else {
      const double length = statedSeconds(deck.reader);
      double endSeconds = length;
      if (command.trim) {
        // Without a stated length there is no end to search back from: the file plays out.
        if (length > 0) endSeconds = trimmedEnd(deck.reader, length, readBuffer.data());
        if (command.startSec <= 0) start = trimmedStart(deck.reader, readBuffer.data());
      }
      end = length > 0 ? toFrames(std::max(endSeconds, start)) : Deck::kUnknownEnd;
    }
  }

  if (deck.readerOpen) deck.reader.seekSeconds(start);
  const uint64_t startFrame = toFrames(start);
  deck.startFrame.store(startFrame);
  deck.endFrame.store(std::max(end, startFrame));
  deck.lengthFrames.store(deck.readerOpen ? toFrames(statedSeconds(deck.reader)) : 0);
  deck.crossfadeFrames.store(uint32_t(toFrames(command.crossfadeSec)));

  deck.pendingGeneration = command.generation;
  deck.readyGiven = false;
  deck.flushPending = true;
  deck.flushGeneration.fetch_add(1, std::memory_order_acq_rel);
}

void Player::fill(uint32_t index) {
  Deck& deck = decks[index];
  if (deck.flushPending) {
    if (deck.flushAck.load(std::memory_order_acquire) != deck.flushGeneration.load()) return;
    deck.flushPending = false;
    handledGeneration[index].store(deck.pendingGeneration);
  }
  if (!deck.readerOpen || deck.ended.load()) {
    // An unopenable or fully buffered file is ready with what it has.
    if (handledGeneration[index].load() == deck.pendingGeneration) giveReady(deck);
    return;
  }

  StereoRing& ring = *deck.ring;
  const uint32_t channels = deck.reader.channels;
  const uint32_t chunk = chunkFrames(channels);
  while (ring.capacity() - ring.fill() >= kReadFrames) {
    const uint32_t got = deck.reader.read(readBuffer.data(), chunk);
    if (got == 0) {
      deck.ended.store(true);
      break;
    }
    const float* in = readBuffer.data();
    float* out = stereoBuffer.data();
    for (uint32_t i = 0; i < got; ++i, in += channels) {
      out[2 * i] = in[0];
      out[2 * i + 1] = channels >= 2 ? in[1] : in[0];
    }
    ring.write(stereoBuffer.data(), got);
    if (ring.fill() >= kReadyFrames) giveReady(deck);
  }
  if (ring.fill() >= kReadyFrames || deck.ended.load()) giveReady(deck);
}

} // namespace velto
