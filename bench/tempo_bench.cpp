// Tempo readings beside aubio's: drum tracks of five kinds across 70 to 180 BPM, straight and
// swung, 12 s and a minute long, and sounds without a beat, each as our analysis and the
// `aubio tempo` command line (aubio-tools) read them; then the analysis's cost per minute of
// audio. Two sets of signals: the instruments of the media tests, and a set of its own (other
// drum sounds, noise, chords and speech) that no threshold was chosen on.
//
// bench_tempo_bench [--short]   (--short: 12 s clips only)
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "media/beat_analysis.h"
#include "tests/media/beat_kits.h"

namespace {

using velto::kits::Kit;
using velto::kits::Still;

std::string gFolder;

bool writeWav(const std::string& path, const std::vector<float>& mono) {
  std::ofstream out(path, std::ios::binary);
  auto put = [&](uint32_t v, int bytes) { out.write(reinterpret_cast<const char*>(&v), bytes); };
  out.write("RIFF", 4);
  put(uint32_t(36 + mono.size() * 2), 4);
  out.write("WAVEfmt ", 8);
  for (uint32_t v : {16u, 1u | 1u << 16, 48000u, 96000u, 2u | 16u << 16}) put(v, 4);
  out.write("data", 4);
  put(uint32_t(mono.size() * 2), 4);
  for (float x : mono) {
    put(uint32_t(std::lround(std::fmax(-1.0, std::fmin(1.0, double(x))) * 32767.0)), 2);
  }
  return bool(out);
}

bool haveAubio() {
  return std::system("command -v aubio >/dev/null 2>&1") == 0;
}

// `aubio tempo`'s reading in BPM; 0 when it gives none.
double aubioTempo(const std::string& path) {
  std::string command = "aubio tempo '" + path + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return 0.0;
  double bpm = 0.0;
  if (std::fscanf(pipe, "%lf", &bpm) != 1) bpm = 0.0;
  pclose(pipe);
  return bpm;
}

struct SignalSet {
  const char* name;
  velto::kits::Timbre timbre;
  velto::kits::StillVoicing still;
  std::string speechVoice, speechText;
};

SignalSet testSet() {
  SignalSet set{"test set", {}, {}, "de", ""};
  set.speechText = "Sehr geehrte Fahrgaeste, wegen einer Stoerung am Stellwerk verzoegert sich "
                   "die Weiterfahrt um etwa zehn Minuten. Bitte achten Sie auf die Ansagen am "
                   "Bahnsteig. Wir bitten um Ihr Verstaendnis und wuenschen Ihnen trotzdem eine "
                   "angenehme Reise.";
  return set;
}

// Other drums (a faster sweep with a click, a snare with a tone body, hats of square waves, a
// longer ride), levels, noise, chords, voice and text: signals for judging, not for choosing.
SignalSet judgingSet() {
  SignalSet set{"judging set", {}, {}, "de+m3", ""};
  velto::kits::Timbre& t = set.timbre;
  t.seed = 77;
  t.kickHigh = 220, t.kickLow = 55, t.kickSweep = 0.018, t.kickDecay = 0.09, t.kickLevel = 0.8;
  t.kickClick = 0.3;
  t.snareCentre = 2600, t.snareQ = 0.5, t.snareDecay = 0.14, t.snareLevel = 0.35;
  t.snareTone = 0.5, t.snareToneHz = 210;
  t.ridePartials = {2731, 3877, 4912, 5580, 7305, 8460, 10120};
  t.rideDecay = 0.7, t.rideLevel = 0.07;
  t.hatSquares = true, t.hatCutoff = 8000, t.hatClosedDecay = 0.035, t.hatOpenDecay = 0.22;
  t.hatLevel = 0.25;
  t.bassHarmonics = 3, t.bassLevel = 0.45, t.bassDecay = 0.6, t.noiseFloor = 0.004;
  velto::kits::StillVoicing& v = set.still;
  v.seed = 9, v.vibratoHz = 6.0, v.vibratoDepth = 0.004, v.tremoloHz = 4.0;
  v.tremoloDepth = 0.5, v.roots = {98.0, 123.5, 146.8, 87.3}, v.harmonics = 20;
  v.chordSeconds = 5.5, v.rolloff = 0.8;
  set.speechText = "Am Wochenende bleibt es im Westen wechselhaft, mit Schauern und einzelnen "
                   "Gewittern. Im Osten scheint zeitweise die Sonne, und die Temperaturen "
                   "steigen auf zweiundzwanzig Grad. In der neuen Woche wird es wieder kuehler.";
  return set;
}

struct Tally {
  int count = 0, ours = 0, aubio = 0;
};

std::string folderFile(const std::string& name) {
  return gFolder + "/" + name;
}

void runKits(const SignalSet& set, double seconds, bool aubio, Tally& tally) {
  const double tempos[] = {70, 75, 85, 90, 100, 110, 120, 128, 136, 140, 150, 160, 170, 174, 180};
  std::printf("\n%s, %.0f s clips: tempo, kit, feel | ours (confidence) | aubio tempo\n", set.name,
              seconds);
  for (Kit kit : {Kit::ride, Kit::rideKick, Kit::eighthHat, Kit::floor, Kit::bass}) {
    for (double offbeat : {0.5, 2.0 / 3.0}) {
      for (double bpm : tempos) {
        const std::string path = folderFile("kit.wav");
        if (!writeWav(path, velto::kits::drumTrack(kit, bpm, offbeat, seconds, set.timbre))) {
          std::printf("cannot write %s\n", path.c_str());
          return;
        }
        velto::BeatInfo info = velto::analyzeBeats(path, 0, 0);
        const bool oursRight = info.valid && std::fabs(info.bpm - bpm) <= 0.5;
        const double theirs = aubio ? aubioTempo(path) : 0.0;
        const bool aubioRight = std::fabs(theirs - bpm) <= 0.5;
        ++tally.count;
        tally.ours += oursRight;
        tally.aubio += aubioRight;
        std::printf("%5.0f %-10s %-8s | %7.2f (%.2f)%s %s | ", bpm, velto::kits::kitName(kit),
                    offbeat > 0.5 ? "swung" : "straight", info.bpm, info.confidence,
                    info.valid ? "" : " not valid", oursRight ? "ok" : "WRONG");
        if (aubio) {
          std::printf("%7.2f %s\n", theirs, aubioRight ? "ok" : "wrong");
        } else {
          std::printf("-\n");
        }
      }
    }
  }
}

void runStill(const SignalSet& set, bool aubio) {
  std::printf("\n%s, no steady beat: sound | ours (confidence) | aubio tempo\n", set.name);
  velto::kits::StillVoicing held = set.still;
  held.chordSeconds = 1000.0;
  struct Case {
    std::string name;
    Still kind;
    velto::kits::StillVoicing voicing;
    double seconds;
  } cases[] = {{"changing chords", Still::chords, set.still, 30.0},
               {"held chord", Still::chords, held, 30.0},
               {"held chord, vibrato", Still::vibrato, held, 30.0},
               {"changing chords, vibrato", Still::vibrato, set.still, 30.0},
               {"held chord, tremolo", Still::tremolo, held, 30.0},
               {"changing chords, tremolo", Still::tremolo, set.still, 30.0},
               {"white noise", Still::white, set.still, 30.0},
               {"pink noise", Still::pink, set.still, 30.0}};
  std::vector<std::pair<std::string, std::string>> files;
  for (const Case& c : cases) {
    std::string path = folderFile("still" + std::to_string(files.size()) + ".wav");
    if (writeWav(path, velto::kits::stillSound(c.kind, c.seconds, c.voicing))) {
      files.push_back({c.name, path});
    }
  }
  const std::string speech22 = folderFile("speech22.wav"), speech = folderFile("speech.wav");
  const std::string command = "espeak-ng -v " + set.speechVoice + " -s 160 -w '" + speech22 +
                              "' '" + set.speechText + "' >/dev/null 2>&1 && ffmpeg -nostdin " +
                              "-loglevel error -y -i '" + speech22 + "' -ar 48000 '" + speech +
                              "' >/dev/null 2>&1";
  if (std::system(command.c_str()) == 0) {
    files.push_back({"speech (espeak-ng " + set.speechVoice + ")", speech});
  } else {
    std::printf("espeak-ng or ffmpeg missing: no speech\n");
  }
  for (const auto& [name, path] : files) {
    velto::BeatInfo info = velto::analyzeBeats(path, 0, 0);
    std::printf("%-32s | %7.2f (%.3f) %s | ", name.c_str(), info.bpm, info.confidence,
                info.valid ? "VALID" : "not valid");
    if (aubio) {
      std::printf("%7.2f\n", aubioTempo(path));
    } else {
      std::printf("-\n");
    }
  }
}

// Seconds of analysis per minute of audio, over minute-long tracks of every kit.
void runCost(const SignalSet& set) {
  double seconds = 0.0;
  int tracks = 0;
  for (Kit kit : {Kit::ride, Kit::rideKick, Kit::eighthHat, Kit::floor, Kit::bass}) {
    for (double bpm : {85.0, 128.0, 174.0}) {
      const std::string path = folderFile("cost.wav");
      if (!writeWav(path, velto::kits::drumTrack(kit, bpm, 0.5, 60.0, set.timbre))) return;
      auto start = std::chrono::steady_clock::now();
      for (int i = 0; i < 3; ++i) velto::analyzeBeats(path, 0, 0);
      seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      tracks += 3;
    }
  }
  std::printf("\n%s: analysis %.3f s per minute of audio (%d runs on minute-long tracks)\n",
              set.name, seconds / tracks, tracks);
}

} // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0); // a row as soon as it is read
  const bool shortOnly = argc > 1 && std::strcmp(argv[1], "--short") == 0;
  std::string pattern = (std::filesystem::temp_directory_path() / "velto-tempo-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    std::fprintf(stderr, "cannot make a temporary folder\n");
    return 1;
  }
  gFolder = pattern;
  setenv("HOME", gFolder.c_str(), 1);
  setenv("VELTO_SYSTEM_ROOT", gFolder.c_str(), 1);
  const bool aubio = haveAubio();
  if (!aubio) std::printf("aubio is missing (Debian package aubio-tools): only our readings\n");
  for (const SignalSet& set : {testSet(), judgingSet()}) {
    Tally tally;
    runKits(set, 12.0, aubio, tally);
    if (!shortOnly) runKits(set, 60.0, aubio, tally);
    std::printf("\n%s: within 0.5 BPM and valid: ours %d of %d", set.name, tally.ours, tally.count);
    if (aubio) std::printf(", aubio tempo %d of %d", tally.aubio, tally.count);
    std::printf("\n");
    runStill(set, aubio);
    runCost(set);
  }
  std::error_code ignored;
  std::filesystem::remove_all(gFolder, ignored);
  return 0;
}
