// Mode "Stimme" on real voiced signals: spoken German (when espeak-ng and sox are installed) must
// come out on the shifted pitch frame by frame, and steady tones on the exact interval.
#include "effects/pitch_shifter.h"

#include "tests/effects/pitch_signals.h"
#include "tests/effects/pitch_track.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace velto {
namespace {

using Mode = PitchShifter::Mode;
const float kFifth = static_cast<float>(std::exp2(7.0 / 12.0));

std::vector<float> shiftInCycles(const std::vector<float>& in, float ratio, Mode mode) {
  auto shifter = std::make_unique<PitchShifter>();
  std::vector<float> out(in.size(), 0.0f);
  for (size_t pos = 0; pos + 128 <= in.size(); pos += 128) {
    float* voice[1] = {out.data() + pos};
    shifter->process(in.data() + pos, voice, &ratio, 1, 128, mode);
  }
  return out;
}

// Share of the voiced frames below `hz`, by the same tracker that judges the output.
double shareBelow(const std::vector<float>& in, double hz) {
  size_t voiced = 0, below = 0;
  const size_t span = test::track::kWindow + test::track::kMaxLag + 2;
  for (size_t from = 4800; from + span <= in.size(); from += test::track::kHop) {
    const auto e = test::track::yin(in, from, test::track::kMinLag, test::track::kMaxLag);
    if (e.aperiodic >= 0.1) continue;
    ++voiced;
    if (e.hz < hz) ++below;
  }
  return voiced ? static_cast<double>(below) / static_cast<double>(voiced) : 0.0;
}

// Steady tones from 55 Hz up shift by the exact interval, both ways.
TEST(PitchVoice, SteadyTonesLandOnTheInterval) {
  struct Case {
    double hz;
    float ratio;
  };
  const Case cases[] = {{55.0, kFifth},  {65.0, kFifth},  {75.0, kFifth}, {147.0, kFifth},
                        {220.0, kFifth}, {392.0, kFifth}, {60.0, 0.5f},   {75.0, 0.75f}};
  for (const auto& c : cases) {
    const auto out =
        shiftInCycles(test::shift::sawtooth(48000 * 3, c.hz, 0.4f), c.ratio, Mode::voice);
    const double target = c.hz * c.ratio;
    const double found = test::shift::peakHz(out, 48000, 96000, target * 0.8, target * 1.2);
    EXPECT_NEAR(test::shift::cents(found, target), 0.0, 2.0) << c.hz << " Hz x" << c.ratio;
  }
}

// A low vowel gliding through and below 80 Hz stays on the interval, up and down.
TEST(PitchVoice, LowGlidingVowelKeepsTheShiftedPitch) {
  struct Case {
    double loHz, hiHz;
    float ratio;
    double minimum;
  };
  const Case cases[] = {
      {60.0, 100.0, kFifth, 0.95},
      {52.0, 80.0, kFifth, 0.9},
      {52.0, 80.0, 1.26f, 0.9},
      {60.0, 100.0, 0.75f, 0.9},
  };
  for (const auto& c : cases) {
    const auto in = test::shift::glottalVowel(48000 * 6, c.loHz, c.hiHz);
    const auto out = shiftInCycles(in, c.ratio, Mode::voice);
    const auto score = test::track::onTargetShare(in, out, PitchShifter::kVoiceLatency, c.ratio);
    EXPECT_GT(score.voiced, 500u) << c.loHz;
    EXPECT_GE(score.share(), c.minimum) << c.loHz << "-" << c.hiHz << " Hz x" << c.ratio << ": "
                                        << score.onTarget << " of " << score.voiced;
  }
}

// German sentences in an ordinary and in low male voices: the low ones spend a third or more of
// their voiced frames below 80 Hz.
TEST(PitchVoice, SpokenSentencesKeepTheShiftedPitch) {
  struct Case {
    const char* voice;
    int pitch;
    double minimumBelow80; // of the voiced input frames
    double minimum;        // on-target share
  };
  const Case cases[] = {
      {"de", 50, 0.0, 0.9},
      {"de+m3", 25, 0.3, 0.85},
      {"de+m7", 0, 0.5, 0.78},
  };
  const auto dir =
      std::filesystem::temp_directory_path() / ("velto-voice-" + std::to_string(::getpid()));
  for (const auto& c : cases) {
    const auto speech = test::track::germanSpeech(dir, test::track::kSentences, c.pitch, c.voice);
    ASSERT_FALSE(speech.empty()) << "espeak-ng and sox render the sentences";
    EXPECT_GE(shareBelow(speech, 80.0), c.minimumBelow80) << c.voice << " -p " << c.pitch;
    const auto out = shiftInCycles(speech, kFifth, Mode::voice);
    const auto score = test::track::onTargetShare(speech, out, PitchShifter::kVoiceLatency, kFifth);
    EXPECT_GT(score.voiced, 150u) << c.voice << " -p " << c.pitch;
    EXPECT_GE(score.share(), c.minimum)
        << c.voice << " -p " << c.pitch << ": " << score.onTarget << " of " << score.voiced
        << ", below 80 Hz " << shareBelow(speech, 80.0);
  }
  std::filesystem::remove_all(dir);
}

} // namespace
} // namespace velto
