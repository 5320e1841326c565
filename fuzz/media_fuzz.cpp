// Raw bytes as a hostile sound for the pads and the player: the first byte picks the extension,
// the next eight set the pad's and the player's controls, the rest is the file. It is loaded
// onto pads (at once, in slices with the rest in the background, and in the background), played
// once and looped with fades, stopped and cleared; added to the player's playlist twice, played
// across a crossfade with seeks, skips and a pause, each block rendered as the audio thread
// would; its beats analysed, and (when the first control byte asks) those of a longer track grown
// from the bytes. The same bytes also
// go through the tempo estimate as a curve. Runs on the process's main thread, which drains the
// main queue itself.
#include "fuzz/fuzz_support.h"
#include "media/audio_file.h"
#include "media/beat_analysis.h"
#include "media/pad_bank.h"
#include "media/player.h"
#include "platform/dispatch/background_queue.h"
#include "platform/dispatch/main_queue.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace velto;

constexpr const char* kExtensions[] = {".wav", ".aif",  ".aiff", ".mp3", ".m4a",
                                       ".aac", ".flac", ".caf",  ".mp4"};
constexpr size_t kControls = 9; // extension and eight control bytes
constexpr uint32_t kBlock = 512;
constexpr int kPadBlocks = 96;    // about 1 s of pad output
constexpr int kPlayerBlocks = 48; // per transport step

void renderPads(PadBank& bank, std::vector<float>& block, int blocks) {
  for (int i = 0; i < blocks; ++i) {
    std::fill(block.begin(), block.end(), 0.0f);
    bank.render(block.data(), kBlock);
  }
}

void playPads(const std::string& path, const uint8_t* controls) {
  PadBank bank;
  std::string error;
  std::vector<float> block(size_t{kBlock} * 2);
  const bool loaded = bank.load(0, path, error);
  if (!loaded && error.empty()) abort();
  // A slice of no time at all hands everything after the opening to the background.
  bank.load(1, path, error, controls[0] & 1 ? 0.0 : 0.001);
  bank.loadAsync(2, path, true);
  platform::dispatch::runMainQueueUntil(
      [&bank] { return !bank.pads[1].loading && !bank.pads[2].loading; }, std::chrono::seconds(20));
  for (int pad = 0; pad < 3; ++pad) {
    PadBank::Pad& p = bank.pads[static_cast<size_t>(pad)];
    if (p.loading) continue; // still decoding at the limit: it is dropped with the bank
    const PadSample* sample = p.sample.load();
    if (sample != nullptr && sample->samples.size() != 2 * sample->frames) abort();
    p.loop.store((controls[1] >> pad) & 1);
    p.fadeIn.store(float(controls[2] % 8) * 0.01f);
    p.fadeOut.store(float(controls[3] % 8) * 0.01f);
    p.crossfade.store(float(controls[4] % 16) * 0.005f);
    p.gain.store(float(controls[5]) / 64.0f);
    bank.play(pad, true);
  }
  renderPads(bank, block, kPadBlocks / 2);
  bank.toggle(0);
  bank.play(1, false);
  renderPads(bank, block, kPadBlocks / 4);
  bank.toggle(0);
  bank.stopAll();
  renderPads(bank, block, kPadBlocks / 4);
  bank.clear(0);
  bank.collect();
  renderPads(bank, block, 2);
}

// The tick as the engine's timer runs it, and the render as the audio thread, with a short
// pause so that the reader thread keeps up.
void runPlayer(Player& player, std::vector<float>& block, int blocks) {
  for (int i = 0; i < blocks; ++i) {
    if (i % 4 == 0) player.tick();
    std::fill(block.begin(), block.end(), 0.0f);
    player.render(block.data(), kBlock);
    if (i % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
  }
}

void playPlayer(Player& player, const std::string& path, const uint8_t* controls) {
  std::string error;
  player.stop();
  for (int i = static_cast<int>(player.playlist.size()) - 1; i >= 0; --i) player.remove(i);
  const uint32_t first = player.add(path, error);
  if (first == 0) {
    if (error.empty()) abort();
    return;
  }
  player.add(path, error);
  player.crossfade.store(float(controls[6] % 4) * 0.02f);
  player.trim.store(controls[6] & 4);
  player.beatSync.store(controls[6] & 8);
  player.repeat = controls[6] & 16;
  if (controls[7] & 1) player.playlist[0].crossfade = float(controls[7] >> 4) * 0.01f;
  player.move(0, 1);
  player.move(1, 0);
  std::vector<float> block(size_t{kBlock} * 2);
  player.play(0);
  // The reader thread opens the track first: give it a bounded while, as the engine's timer
  // would, so that the blocks after it are rendered from the file.
  for (int i = 0; i < 200 && !player.playing.load(); ++i) {
    runPlayer(player, block, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  runPlayer(player, block, kPlayerBlocks);
  player.seek(double(controls[8]) * 0.05);
  runPlayer(player, block, kPlayerBlocks);
  player.next();
  runPlayer(player, block, kPlayerBlocks);
  player.pause();
  runPlayer(player, block, kPlayerBlocks / 4);
  player.pause();
  player.prev();
  runPlayer(player, block, kPlayerBlocks);
  // What the window and the API show must hold together whatever the file.
  if (player.currentIndex() >= int(player.playlist.size())) abort();
  if (!(player.position() >= 0.0) || !(player.duration() >= 0.0)) abort();
  player.stop();
  runPlayer(player, block, 4);
}

void checkBeats(const BeatInfo& beats) {
  if (beats.valid && !(beats.bpm > 0.0)) abort();
  if (!(beats.confidence >= 0.0 && beats.confidence <= 1.0)) abort();
}

void put16(std::string& out, uint32_t value) {
  out += static_cast<char>(value & 0xff);
  out += static_cast<char>((value >> 8) & 0xff);
}

void put32(std::string& out, uint32_t value) {
  put16(out, value & 0xffff);
  put16(out, value >> 16);
}

// The fuzzed files are far shorter than the analysis needs, so a track of some seconds at the
// analysis rate (no resampling) is grown from the bytes: a pulse whose period and strike come
// from the first bytes, the rest repeated as its body.
std::string grownTrack(const uint8_t* data, size_t size) {
  constexpr uint32_t kRate = 48000;
  const double seconds = 4.2 + double(data[0] % 4) * 0.1;
  const uint32_t frames = uint32_t(seconds * kRate);
  const uint32_t period = 12000 + uint32_t(data[1]) * 96; // 240 down to about 83 BPM
  const uint32_t strike = 64 + uint32_t(data[2]) * 8;
  std::string out = "RIFF";
  put32(out, 36 + frames * 2);
  out += "WAVEfmt ";
  put32(out, 16);
  put16(out, 1);
  put16(out, 1);
  put32(out, kRate);
  put32(out, kRate * 2);
  put16(out, 2);
  put16(out, 16);
  out += "data";
  put32(out, frames * 2);
  for (uint32_t i = 0; i < frames; ++i) {
    const uint32_t beat = i % period;
    const float body = (float(data[3 + i % (size - 3)]) - 128.0f) * 8.0f;
    float value = body;
    if (beat < strike)
      value += float(beat % 32 < 16 ? 20000 : -20000) * (1.0f - float(beat) / float(strike));
    if ((i / period) % 2 == 1 && beat < strike / 2) value *= 0.5f;
    const int16_t sample = int16_t(std::max(-32767.0f, std::min(32767.0f, value)));
    put16(out, uint16_t(sample));
  }
  return out;
}

void analyse(const std::string& path, bool grow, const uint8_t* data, size_t size) {
  checkBeats(analyzeBeats(path, 0.0, 0.0));
  if (grow && size > 3) {
    const std::string grown = velto::fuzz::privateFolder() + "/grown.wav";
    const std::string track = grownTrack(data, size);
    std::ofstream(grown, std::ios::binary | std::ios::trunc)
        .write(track.data(), static_cast<std::streamsize>(track.size()));
    // An end past the file's: the stretch is long enough to be looked at, the reads stop early.
    checkBeats(analyzeBeats(grown, 0.0, 8.0));
  }
  // The bytes as an onset curve, long enough to be looked at when repeated.
  std::vector<float> curve;
  for (size_t i = 0; curve.size() < 1200 && size > 0; ++i) curve.push_back(float(data[i % size]));
  double confidence = 0.0;
  const double bpm = estimateBpm(curve.data(), curve.size(), kOnsetFrameRate, &confidence);
  if (bpm < 0.0 || !std::isfinite(bpm)) abort();
  if (bpm > 0.0) {
    const double phase = estimatePhase(curve.data(), curve.size(), kOnsetFrameRate, bpm);
    if (!std::isfinite(phase) || phase < 0.0) abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size <= kControls || velto::fuzz::privateFolder().empty()) return 0;
  // A file opened before the player exists makes the decoders' static tables outlive its
  // analyser thread at exit.
  static const bool primed = [] {
    const std::string tone = velto::fuzz::privateFolder() + "/tone.wav";
    const std::string track = grownTrack(reinterpret_cast<const uint8_t*>("\x01\x02\x03\x04"), 4);
    std::ofstream(tone, std::ios::binary | std::ios::trunc)
        .write(track.data(), static_cast<std::streamsize>(track.size()));
    AudioFileReader reader;
    std::string error;
    return reader.open(tone, error);
  }();
  if (!primed) return 0;
  static Player player; // its threads live as long as the run
  const std::string path =
      velto::fuzz::privateFolder() + "/input" + kExtensions[data[0] % std::size(kExtensions)];
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data + kControls),
             static_cast<std::streamsize>(size - kControls));
  // The grown track costs as much as the rest of a run: one input in sixteen asks for it and
  // then leaves the pads and the player out.
  const bool grow = (data[1] & 0xf0) == 0xa0;
  if (!grow) {
    playPads(path, data + 1);
    playPlayer(player, path, data + 1);
  }
  analyse(path, grow, data + kControls, size - kControls);
  platform::dispatch::waitBackgroundIdle(std::chrono::seconds(20));
  platform::dispatch::runMainQueueUntilIdle();
  return 0;
}
