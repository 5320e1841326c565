// Decoding speed per container (times real time) and beat-analysis cost per minute of audio.
// The audio is made at start-up: a 44.1 kHz stereo drum-and-tones mix, encoded with the ffmpeg
// command line into every accepted format in a temporary folder.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "media/audio_file.h"
#include "media/beat_analysis.h"
#include "media/player.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kRate = 44100;
constexpr double kDecodeSeconds = 30.0;

struct Format {
  const char* extension;
  const char* args;
};
constexpr Format kFormats[] = {{".wav", "-c:a pcm_s16le"},
                               {".aif", "-c:a pcm_s16be -f aiff"},
                               {".aiff", "-c:a pcm_s24be -f aiff"},
                               {".mp3", "-c:a libmp3lame -b:a 256k"},
                               {".m4a", "-c:a aac -b:a 256k"},
                               {".aac", "-c:a aac -b:a 256k -f adts"},
                               {".flac", "-c:a flac"},
                               {".caf", "-c:a alac -f caf"},
                               {".mp4", "-c:a aac -b:a 256k -f mp4"}};

std::string gFolder;

// Kick and snare on alternate beats at 124 BPM, a hi-hat on every eighth, two sustained tones.
std::vector<float> music(double seconds) {
  size_t frames = size_t(seconds * kRate);
  std::vector<float> out(frames * 2);
  std::mt19937 random(3);
  std::normal_distribution<double> noise(0.0, 1.0);
  const double beat = 60.0 / 124.0;
  for (size_t i = 0; i < frames; ++i) {
    double t = double(i) / kRate;
    double inBeat = std::fmod(t, beat);
    double inEighth = std::fmod(t, beat / 2);
    int beatIndex = int(t / beat);
    double drum = beatIndex % 2 == 0
                      ? 0.7 * std::exp(-inBeat / 0.08) * std::sin(2 * kPi * 55.0 * inBeat)
                      : 0.4 * std::exp(-inBeat / 0.06) * noise(random);
    double hat = 0.08 * std::exp(-inEighth / 0.015) * noise(random);
    double pad = 0.1 * std::sin(2 * kPi * 220.0 * t) + 0.07 * std::sin(2 * kPi * 330.0 * t);
    out[2 * i] = float(drum + hat + pad);
    out[2 * i + 1] = float(drum - hat + pad);
  }
  return out;
}

bool writeWav(const std::string& path, const std::vector<float>& stereo) {
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  std::vector<int16_t> pcm(stereo.size());
  for (size_t i = 0; i < stereo.size(); ++i) {
    pcm[i] = int16_t(std::lround(std::fmax(-1.0, std::fmin(1.0, stereo[i])) * 32767.0));
  }
  out.write("RIFF", 4);
  u32(uint32_t(36 + pcm.size() * 2));
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(2);
  u32(kRate);
  u32(kRate * 4);
  u16(4);
  u16(16);
  out.write("data", 4);
  u32(uint32_t(pcm.size() * 2));
  out.write(reinterpret_cast<const char*>(pcm.data()), std::streamsize(pcm.size() * 2));
  return bool(out);
}

bool encode(const std::string& source, const std::string& target, const std::string& args) {
  std::string command = "ffmpeg -nostdin -loglevel error -y -i '" + source + "' " + args + " '" +
                        target + "' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

std::string path(const std::string& name) {
  return gFolder + "/" + name;
}

void decode(benchmark::State& state, const Format& format) {
  const std::string file = path(std::string("decode") + format.extension);
  std::vector<float> buffer;
  double seconds = 0.0;
  for (auto _ : state) {
    velto::AudioFileReader reader;
    std::string error;
    if (!reader.open(file, error)) {
      state.SkipWithError("cannot open the encoded file");
      return;
    }
    buffer.resize(size_t(reader.channels) * 8192);
    uint64_t frames = 0;
    while (uint32_t got = reader.read(buffer.data(), 8192)) frames += got;
    seconds += double(frames) / 48000.0;
    benchmark::DoNotOptimize(buffer.data());
  }
  // Seconds of audio per second of work: times real time.
  state.counters["x_realtime"] = benchmark::Counter(seconds, benchmark::Counter::kIsRate);
}

void analyze(benchmark::State& state, const std::string& name, double minutes) {
  const std::string file = path(name);
  for (auto _ : state) {
    velto::BeatInfo info = velto::analyzeBeats(file, 0.0, 0.0);
    if (!info.valid) state.SkipWithError("no beat found");
    benchmark::DoNotOptimize(info);
  }
  state.counters["audio_minutes"] = minutes;
  state.counters["s_per_audio_minute"] =
      benchmark::Counter(double(state.iterations()) * minutes,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Waits (untimed) until every deck that plays holds one more block, as in real time, where
// the reader thread keeps seconds ahead of the clock. False after ten seconds.
bool waitForBlock(velto::Player& player, uint32_t frames) {
  for (int i = 0; i < 10000; ++i) {
    bool behind = false;
    for (const velto::Deck& deck : player.decks) {
      if (deck.state.load() != velto::Player::kIdle && !deck.ended.load() &&
          deck.ring->fill() < frames) {
        behind = true;
      }
    }
    if (!behind) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// Drives the player as the engine does (tick on the control side, render per clock cycle)
// until `done`; false when that takes longer than ten seconds.
template <typename Done>
bool driveUntil(velto::Player& player, std::vector<float>& block, Done done) {
  for (int i = 0; i < 10000; ++i) {
    player.tick();
    if (done()) return true;
    if (!waitForBlock(player, 128)) return false;
    std::fill(block.begin(), block.end(), 0.0f);
    player.render(block.data(), 128);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// The player's cost per 128-frame clock cycle while both decks crossfade (60 s long, so the
// whole run stays inside it): two rings read, two fades and the pause ramp applied.
void playerCrossfade(benchmark::State& state) {
  velto::Player player;
  player.crossfade.store(60.0f);
  player.trim.store(false);
  std::string error;
  if (player.add(path("four-minutes.wav"), error) == 0 ||
      player.add(path("four-minutes.wav"), error) == 0) {
    state.SkipWithError("cannot add the tracks");
    return;
  }
  std::vector<float> block(256, 0.0f);
  player.play(0);
  bool started = driveUntil(player, block, [&] { return player.playing.load(); }) &&
                 driveUntil(player, block, [&] { return player.decks[1].armed.load(); });
  player.next();
  started = started && driveUntil(player, block, [&] { return player.transitioning(); });
  if (!started) {
    state.SkipWithError("the crossfade did not start");
    return;
  }
  for (auto _ : state) {
    if (player.decks[0].ring->fill() < 128 || player.decks[1].ring->fill() < 128) {
      state.PauseTiming();
      const bool fed = waitForBlock(player, 128);
      state.ResumeTiming();
      if (!fed) {
        state.SkipWithError("the reader fell behind");
        break;
      }
    }
    player.render(block.data(), 128);
    benchmark::DoNotOptimize(block.data());
  }
  if (!player.transitioning()) state.SkipWithError("the crossfade ended during the run");
}

bool prepare() {
  std::string pattern = (std::filesystem::temp_directory_path() / "velto-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return false;
  gFolder = pattern;
  // Benchmarks, like tests, keep away from the real user's and system's folders.
  setenv("HOME", gFolder.c_str(), 1);
  setenv("VELTO_SYSTEM_ROOT", gFolder.c_str(), 1);
  std::string source = path("decode-source.wav");
  if (!writeWav(source, music(kDecodeSeconds))) return false;
  for (const Format& format : kFormats) {
    if (!encode(source, path(std::string("decode") + format.extension), format.args)) return false;
  }
  if (!writeWav(path("minute.wav"), music(60.0))) return false;
  if (!encode(path("minute.wav"), path("minute.mp3"), "-c:a libmp3lame -b:a 256k")) return false;
  if (!writeWav(path("four-minutes.wav"), music(240.0))) return false;
  return encode(path("four-minutes.wav"), path("four-minutes.mp3"), "-c:a libmp3lame -b:a 256k");
}

} // namespace

int main(int argc, char** argv) {
  if (!prepare()) {
    std::fprintf(stderr, "could not make the test audio (is ffmpeg installed?)\n");
    return 1;
  }
  for (const Format& format : kFormats) {
    benchmark::RegisterBenchmark((std::string("Decode") + format.extension).c_str(),
                                 [&format](benchmark::State& s) { decode(s, format); })
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("BeatAnalysis/minute.wav", [](benchmark::State& s) {
    analyze(s, "minute.wav", 1.0);
  })->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BeatAnalysis/minute.mp3", [](benchmark::State& s) {
    analyze(s, "minute.mp3", 1.0);
  })->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BeatAnalysis/four-minutes.mp3", [](benchmark::State& s) {
    analyze(s, "four-minutes.mp3", 4.0);
  })->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("PlayerRender128/crossfade", playerCrossfade)
      ->Iterations(20000)
      ->Unit(benchmark::kMicrosecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(gFolder, ignored);
  return 0;
}
