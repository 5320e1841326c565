#include "media/beat_analysis.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "tests/media/beat_kits.h"
#include "tests/platform/audiofile_fixtures.h"

namespace {

using namespace velto::fixtures;
using velto::analyzeBeats;
using velto::BeatInfo;
using velto::kOnsetFrameRate;

constexpr double kHop = 512.0 / 48000.0; // one value of the onset curve
constexpr double kLatency = 0.010666666666666666 + 0.004;
constexpr double kFirstBeat = 0.25;

// Distance from `t` to the nearest beat kFirstBeat + k * 60 / bpm.
double offGrid(double t, double bpm) {
  double period = 60.0 / bpm;
  double phase = std::fmod(std::fmod(t - kFirstBeat, period) + period, period);
  return std::min(phase, period - phase);
}

class BeatAnalysis : public AudioFolderTest {
protected:
  BeatInfo analyze(const std::vector<float>& mono, double start = 0, double end = 0) {
    EXPECT_TRUE(writeWav(file("track.wav"), 48000, 1, mono));
    return analyzeBeats(file("track.wav"), start, end);
  }
};

void expectSteadyBeat(const BeatInfo& info, double bpm, double found) {
  EXPECT_TRUE(info.valid);
  EXPECT_NEAR(info.bpm, found, 0.5);
  EXPECT_GT(info.confidence, 0.5);
  EXPECT_LE(info.confidence, 1.0);
  // Both beats sit on the track's grid within one onset-curve frame; the first in the opening
  // window's first beat, the other in the closing window (the last 40 s of a minute).
  EXPECT_LT(offGrid(info.firstBeat, bpm), kHop);
  EXPECT_LT(offGrid(info.lastBeat, bpm), kHop);
  EXPECT_LT(info.firstBeat, 60.0 / found + kHop);
  EXPECT_GE(info.lastBeat, 20.0);
}

// One-minute tracks.
TEST_F(BeatAnalysis, ClickAndDrumTracksAcrossTheTempoRange) {
  for (bool drums : {false, true}) {
    for (double bpm : {70.0, 84.0, 96.0, 110.0, 120.0, 128.0, 140.0, 160.0, 180.0}) {
      SCOPED_TRACE((drums ? "drums " : "clicks ") + std::to_string(bpm));
      expectSteadyBeat(analyze(beatTrack(drums, bpm, 60.0, 48000, kFirstBeat)), bpm, bpm);
    }
  }
}

TEST_F(BeatAnalysis, ClickTrackAt128InAnMp3) {
  ASSERT_TRUE(
      writeWav(file("clicks.wav"), 44100, 1, beatTrack(false, 128, 60.0, 44100, kFirstBeat)));
  ASSERT_TRUE(encode(file("clicks.wav"), file("clicks.mp3"), "-c:a libmp3lame -b:a 192k"));
  expectSteadyBeat(analyzeBeats(file("clicks.mp3"), 0, 0), 128, 128);
}

TEST_F(BeatAnalysis, StretchBetweenStartAndEnd) {
  BeatInfo info = analyze(beatTrack(true, 120.0, 60.0, 48000, kFirstBeat), 5.0, 55.0);
  EXPECT_TRUE(info.valid);
  EXPECT_NEAR(info.bpm, 120.0, 0.5);
  // Opening window from 5 s, closing window from 15 s: each finds its first beat.
  EXPECT_LT(offGrid(info.firstBeat, 120.0), kHop);
  EXPECT_NEAR(info.firstBeat, 5.25, kHop);
  EXPECT_LT(offGrid(info.lastBeat, 120.0), kHop);
  EXPECT_NEAR(info.lastBeat, 15.25, kHop);
}

TEST_F(BeatAnalysis, ExactlyEightSecondsAreAnalysedInOneWindow) {
  BeatInfo info = analyze(beatTrack(false, 120.0, 8.0, 48000, kFirstBeat));
  EXPECT_TRUE(info.valid);
  EXPECT_NEAR(info.bpm, 120.0, 0.5);
  EXPECT_LT(offGrid(info.firstBeat, 120.0), kHop);
  EXPECT_EQ(info.lastBeat, info.firstBeat) << "both windows cover the whole file";
}

TEST_F(BeatAnalysis, NoTempoWithoutEightSecondsOfSteadySound) {
  ASSERT_TRUE(writeText(file("text.wav"), "kein Klang"));
  std::vector<BeatInfo> results = {
      analyze(beatTrack(false, 120.0, 7.9, 48000, kFirstBeat)),
      analyze(beatTrack(false, 120.0, 60.0, 48000, kFirstBeat), 10.0, 17.9),
      analyze(std::vector<float>(20 * 48000, 0.0f)), // digital silence
      analyzeBeats(file("text.wav"), 0, 0), analyzeBeats(file("missing.wav"), 0, 0)};
  for (size_t i = 0; i < results.size(); ++i) {
    EXPECT_FALSE(results[i].valid) << i;
    EXPECT_EQ(results[i].bpm, 0.0) << i;
    EXPECT_EQ(results[i].confidence, 0.0) << i;
    EXPECT_EQ(results[i].firstBeat, 0.0) << i;
  }
}

// The refinement needs two beats at least 16 apart. A 44 s track has its closing window only
// 4 s (8 beats) after its opening one, so its tempo stays on the 0.01 BPM grid of the fine
// search; a 60 s track is refined from beats 20 s apart.
TEST_F(BeatAnalysis, RefinementOnlyFromBeatsFarApart) {
  auto onFineGrid = [](double bpm) { return std::fabs(bpm * 100 - std::round(bpm * 100)) < 1e-6; };
  BeatInfo near = analyze(beatTrack(false, 121.37, 44.0, 48000, kFirstBeat));
  EXPECT_NEAR(near.bpm, 121.37, 0.5);
  EXPECT_TRUE(onFineGrid(near.bpm)) << near.bpm;
  BeatInfo far = analyze(beatTrack(false, 121.37, 60.0, 48000, kFirstBeat));
  EXPECT_NEAR(far.bpm, 121.37, 0.1);
  EXPECT_FALSE(onFineGrid(far.bpm)) << far.bpm;
  // The beats are found again with the refined tempo: within one curve frame of whole beats.
  double beats = (far.lastBeat - far.firstBeat) * far.bpm / 60.0;
  EXPECT_NEAR(beats, std::round(beats), kHop * far.bpm / 60.0);
  EXPECT_GE(beats, 16.0);
}

// Kick on every beat (a falling tone behind a short beater click), a hi-hat of high-passed
// noise on every eighth (the off-beat one at `offbeat` of the beat: 0.5 straight, 2/3 swung),
// a faint noise floor.
std::vector<float> drums(double bpm, double offbeat, double seconds) {
  std::vector<float> mono(size_t(seconds * 48000));
  std::mt19937 random(11);
  std::normal_distribution<double> noise(0.0, 1.0);
  for (float& x : mono) x = float(0.003 * noise(random));
  double previous = 0.0;
  auto highPassed = [&](double) {
    double x = noise(random), y = x - previous;
    previous = x;
    return 0.5 * y;
  };
  for (double t = kFirstBeat; t < seconds; t += 60.0 / bpm) {
    addHit(mono, 48000, t, 0.003, 0.07, 0.7,
           [](double s) { return std::sin(2 * kPi * (50 * s + 2.4 * (1 - std::exp(-s / 0.04)))); });
    addHit(mono, 48000, t, 0.0005, 0.004, 0.3, [&](double) { return noise(random); });
    for (double hat : {t, t + offbeat * 60.0 / bpm}) {
      addHit(mono, 48000, hat, 0.001, 0.02, 0.2, highPassed);
    }
  }
  return mono;
}

// Held chords of four harmonic tones, each entering softly at an uneven time.
std::vector<float> chords(double seconds) {
  std::vector<float> mono(size_t(seconds * 48000));
  const double roots[] = {130.8, 174.6, 146.8, 196.0, 110.0, 164.8};
  const double lengths[] = {2.7, 3.4, 2.2, 3.9, 2.9, 3.1};
  double start = 0.0;
  for (int c = 0; start < seconds; start += lengths[c % 6], ++c) {
    const double root = roots[c % 6], length = lengths[c % 6];
    for (double ratio : {1.0, 1.25, 1.5, 2.0}) {
      addHit(mono, 48000, start, 0.4, length / 3, 0.06, [&](double s) {
        double x = 0;
        for (int h = 1; h <= 4; ++h) x += std::sin(2 * kPi * h * root * ratio * s) / h;
        return x;
      });
    }
  }
  return mono;
}

std::vector<float> whiteNoise(double seconds) {
  std::vector<float> mono(size_t(seconds * 48000));
  std::mt19937 random(13);
  std::normal_distribution<double> noise(0.0, 0.1);
  for (float& x : mono) x = float(noise(random));
  return mono;
}

// Drum tracks across the range, straight and swung, read at their own tempo, not half or
// twice it; held chords, noise and speech hold no steady beat.
TEST_F(BeatAnalysis, SteadyDrumsReadAtTheirTempoAndBeatlessSoundAsNoBeat) {
  constexpr double kSeconds = 12.0;
  for (double offbeat : {0.5, 2.0 / 3.0}) {
    for (double bpm : {70.0, 85.0, 100.0, 120.0, 128.0, 140.0, 160.0, 174.0, 180.0}) {
      SCOPED_TRACE(std::to_string(bpm) + (offbeat > 0.5 ? " swung" : " straight"));
      BeatInfo info = analyze(drums(bpm, offbeat, kSeconds));
      EXPECT_TRUE(info.valid);
      EXPECT_NEAR(info.bpm, bpm, 0.5);
      EXPECT_LT(offGrid(info.firstBeat, bpm), 3 * kHop);
    }
  }
  std::vector<std::pair<std::string, std::string>> beatless;
  ASSERT_TRUE(writeWav(file("chords.wav"), 48000, 1, chords(kSeconds)));
  ASSERT_TRUE(writeWav(file("noise.wav"), 48000, 1, whiteNoise(kSeconds)));
  beatless = {{"chords", file("chords.wav")}, {"noise", file("noise.wav")}};
  const std::string speech = "espeak-ng -v de -s 150 -w '" + file("speech22.wav") +
                             "' 'Guten Abend, meine Damen und Herren. Hier sind die Nachrichten. "
                             "Der Wetterdienst erwartet fuer morgen Regen im Norden und Sonne im "
                             "Sueden. Die Bahn meldet Verspaetungen auf mehreren Strecken, weil "
                             "ein Stellwerk ausgefallen ist. Am Abend wird es kuehler.' "
                             ">/dev/null 2>&1";
  const bool hasSpeech = std::system(speech.c_str()) == 0 &&
                         encode(file("speech22.wav"), file("speech.wav"), "-ar 48000");
  if (hasSpeech) beatless.push_back({"speech", file("speech.wav")});
  for (const auto& [name, path] : beatless) {
    SCOPED_TRACE(name);
    BeatInfo info = analyzeBeats(path, 0, 0);
    EXPECT_FALSE(info.valid);
    EXPECT_LE(info.confidence, 0.1);
  }
  if (!hasSpeech) GTEST_SKIP() << "espeak-ng is missing: no speech";
}

// Kits of several kinds (drum sounds of their own: a pitch-swept sine kick, a band-passed noise
// snare, a ride of inharmonic partials) over the whole range, straight and swung: each reads at
// its beat, neither half nor twice it, with the beats found on its grid. 12 s clips for the whole
// grid, a minute for a few.
TEST_F(BeatAnalysis, KitsReadAtTheirBeatAcrossTheRange) {
  using velto::kits::Kit;
  struct Case {
    Kit kit;
    double bpm, offbeat, seconds;
  };
  std::vector<Case> cases;
  for (Kit kit : {Kit::ride, Kit::rideKick, Kit::eighthHat, Kit::floor, Kit::bass}) {
    for (double bpm : {70.0, 75.0, 85.0, 90.0, 100.0, 110.0, 120.0, 128.0, 136.0, 140.0, 150.0,
                       160.0, 170.0, 174.0, 180.0}) {
      for (double offbeat : {0.5, 2.0 / 3.0}) cases.push_back({kit, bpm, offbeat, 12.0});
    }
  }
  cases.insert(cases.end(), {{Kit::ride, 150.0, 0.5, 60.0},
                             {Kit::rideKick, 174.0, 2.0 / 3.0, 60.0},
                             {Kit::eighthHat, 85.0, 2.0 / 3.0, 60.0},
                             {Kit::floor, 70.0, 0.5, 60.0},
                             {Kit::bass, 128.0, 2.0 / 3.0, 60.0},
                             {Kit::bass, 75.0, 0.5, 60.0}});
  const velto::kits::Timbre timbre;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(velto::kits::kitName(c.kit)) + " " + std::to_string(c.bpm) +
                 (c.offbeat > 0.5 ? " swung " : " straight ") + std::to_string(c.seconds) + " s");
    BeatInfo info =
        analyze(velto::kits::drumTrack(c.kit, c.bpm, c.offbeat, c.seconds, timbre, kFirstBeat));
    EXPECT_TRUE(info.valid);
    EXPECT_GT(info.confidence, 0.3);
    EXPECT_NEAR(info.bpm, c.bpm, 0.5);
    EXPECT_LT(offGrid(info.firstBeat, c.bpm), 3 * kHop);
    if (c.seconds > 40) {
      EXPECT_LT(offGrid(info.lastBeat, c.bpm), 3 * kHop);
    }
  }
}

// Sounds without a steady beat: held chords that change, one chord held throughout (plain, with a
// slow vibrato of 0.2 % or 1 %, with a tremolo), white and pink noise, German speech. None is
// taken for a beat, and the confidence stays below 0.05.
TEST_F(BeatAnalysis, HeldChordsNoiseAndSpeechHoldNoSteadyBeat) {
  using velto::kits::Still;
  using velto::kits::StillVoicing;
  StillVoicing changing;
  StillVoicing held;
  held.chordSeconds = 100.0;
  StillVoicing wide = held;
  wide.vibratoHz = 6.5;
  wide.vibratoDepth = 0.01;
  wide.harmonics = 30;
  struct Case {
    std::string name;
    Still kind;
    StillVoicing voicing;
    double seconds;
  } cases[] = {{"changing chords", Still::chords, changing, 12.0},
               {"changing chords, 40 s", Still::chords, changing, 40.0},
               {"held chord", Still::chords, held, 12.0},
               {"held chord, 5 Hz vibrato 0.2 %", Still::vibrato, held, 12.0},
               {"held chord, 6.5 Hz vibrato 1 %, 30 partials", Still::vibrato, wide, 12.0},
               {"held chord, 5 Hz tremolo 30 %", Still::tremolo, held, 12.0},
               {"changing chords, 5 Hz tremolo 30 %", Still::tremolo, changing, 12.0},
               {"white noise", Still::white, held, 12.0},
               {"pink noise", Still::pink, held, 12.0}};
  std::vector<std::pair<std::string, std::string>> files;
  for (const Case& c : cases) {
    const std::string path = file("still" + std::to_string(files.size()) + ".wav");
    ASSERT_TRUE(writeWav(path, 48000, 1, velto::kits::stillSound(c.kind, c.seconds, c.voicing)));
    files.push_back({c.name, path});
  }
  const std::string speech = "espeak-ng -v de -s 160 -w '" + file("speech22.wav") +
                             "' 'Sehr geehrte Fahrgaeste, wegen einer Stoerung am Stellwerk "
                             "verzoegert sich die Weiterfahrt um etwa zehn Minuten. Bitte "
                             "achten Sie auf die Ansagen am Bahnsteig. Wir bitten um Ihr "
                             "Verstaendnis und wuenschen Ihnen trotzdem eine angenehme Reise.' "
                             ">/dev/null 2>&1";
  ASSERT_EQ(std::system(speech.c_str()), 0) << "espeak-ng makes the speech";
  ASSERT_TRUE(encode(file("speech22.wav"), file("speech.wav"), "-ar 48000"));
  files.push_back({"speech", file("speech.wav")});
  for (const auto& [name, path] : files) {
    SCOPED_TRACE(name);
    BeatInfo info = analyzeBeats(path, 0, 0);
    EXPECT_FALSE(info.valid);
    EXPECT_GE(info.confidence, 0.0);
    EXPECT_LT(info.confidence, 0.05);
  }
}

// ---- tempo and phase of a given onset curve ----

// Unit pulses every `period` frames from `offset`, shared linearly between neighbouring frames.
std::vector<float> pulses(double period, double offset, size_t count = 3000) {
  std::vector<float> curve(count, 0.0f);
  for (double p = offset; p + 1.0 < double(count); p += period) {
    curve[size_t(p)] += float(1.0 - (p - std::floor(p)));
    curve[size_t(p) + 1] += float(p - std::floor(p));
  }
  return curve;
}

double periodOf(double bpm) {
  return kOnsetFrameRate * 60.0 / bpm;
}

double bpmOf(const std::vector<float>& curve, double* confidence, size_t count = 0) {
  return velto::estimateBpm(curve.data(), count ? count : curve.size(), kOnsetFrameRate,
                            confidence);
}

TEST(EstimateBpm, WholeFramePeriodsNeedFourSecondsAndAreFoundExactly) {
  double confidence = -1.0;
  EXPECT_EQ(bpmOf(pulses(45.0, 3.0), &confidence, 374), 0.0) << "under 4 s of curve";
  EXPECT_EQ(confidence, -1.0) << "no tempo, no confidence";
  EXPECT_EQ(bpmOf(std::vector<float>(2000, 0.0f), &confidence), 0.0) << "flat curve";
  EXPECT_EQ(confidence, -1.0);
  // 45 frames at 93.75 per second is 125 BPM, 75 frames is 75 BPM.
  for (auto [period, count] : {std::pair{45.0, 375}, {45.0, 3000}, {75.0, 3000}}) {
    EXPECT_NEAR(bpmOf(pulses(period, 7.0), &confidence, count), kOnsetFrameRate * 60 / period,
                0.005);
    EXPECT_GT(confidence, 0.95);
    EXPECT_LE(confidence, 1.0);
  }
}

TEST(EstimateBpm, TempoStaysBetween69And181WhateverTheCurve) {
  std::vector<std::vector<float>> curves;
  for (double bpm : {50.0, 60.0, 65.0, 190.0, 250.0, 300.0, 400.0}) {
    curves.push_back(pulses(periodOf(bpm), 2.0));
  }
  std::mt19937 random(5);
  std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
  for (float density : {1.0f, 0.03f}) { // dense noise, and rare random peaks
    curves.emplace_back(3000);
    for (float& x : curves.back()) x = uniform(random) < density ? uniform(random) : 0.0f;
  }
  for (size_t k = 0; k < curves.size(); ++k) {
    double confidence = -1.0, bpm = bpmOf(curves[k], &confidence);
    EXPECT_TRUE(bpm >= 69.5 && bpm <= 180.5) << k << ": " << bpm;
    EXPECT_TRUE(confidence >= 0.0 && confidence <= 1.0) << k << ": " << confidence;
  }
  // 50 BPM pulses line up at twice the lag of 100 BPM, which the search rewards, but nothing lies
  // one 100 BPM beat apart: a tempo without confidence. At 30 BPM even twice the slowest lag
  // searched falls short of a beat: no tempo.
  double confidence = -1.0;
  EXPECT_NEAR(bpmOf(curves[0], &confidence), 100.0, 0.5);
  EXPECT_EQ(confidence, 0.0);
  EXPECT_EQ(bpmOf(pulses(periodOf(30.0), 2.0), &confidence), 0.0);
}

TEST(EstimatePhase, FindsThePulseGridAfterTheLatency) {
  struct Case {
    double offset, period, gridOffset; // curve frames
  } cases[] = {{10, 45, 10}, {50, 45, 5}, {0, 45, 0}, {12, 40, 12}, {100, 64, 36}};
  for (Case c : cases) {
    std::vector<float> curve = pulses(c.period, c.offset, 1500);
    double bpm = kOnsetFrameRate * 60.0 / c.period;
    EXPECT_NEAR(velto::estimatePhase(curve.data(), curve.size(), kOnsetFrameRate, bpm),
                c.gridOffset / kOnsetFrameRate + kLatency, 1e-9)
        << c.offset;
  }
  std::vector<float> curve = pulses(45, 10, 500);
  for (double bpm : {0.0, -120.0}) {
    EXPECT_EQ(velto::estimatePhase(curve.data(), curve.size(), kOnsetFrameRate, bpm), kLatency);
  }
  // An absurdly slow tempo is answered at once, not by trying every quarter frame of its beat.
  EXPECT_NEAR(velto::estimatePhase(curve.data(), curve.size(), kOnsetFrameRate, 1e-9),
              10.0 / kOnsetFrameRate + kLatency, 1e-9);
}

} // namespace
