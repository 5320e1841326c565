// Mode "Stimme" on real voiced signals: spoken German (when espeak-ng and sox are installed) must
// come out on the shifted pitch frame by frame, and steady tones on the exact interval.
#include "effects/pitch_shifter.h"

#include "tests/effects/pitch_signals.h"
#include "tests/effects/pitch_track.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
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

TEST(PitchVoice, SteadyTonesLandOnTheFifth) {
  for (const double hz : {147.0, 220.0, 392.0}) {
    const auto out = shiftInCycles(test::shift::sawtooth(48000 * 3, hz, 0.4f), kFifth, Mode::voice);
    const double target = hz * kFifth;
    const double found = test::shift::peakHz(out, 48000, 96000, target * 0.8, target * 1.2);
    EXPECT_NEAR(test::shift::cents(found, target), 0.0, 2.0) << hz;
  }
}

TEST(PitchVoice, SpokenSentencesKeepTheShiftedPitch) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("velto-voice-" + std::to_string(::getpid()));
  const auto speech = test::track::germanSpeech(dir, test::track::kSentences);
  std::filesystem::remove_all(dir);
  if (speech.empty()) GTEST_SKIP() << "espeak-ng or sox not installed";
  const auto out = shiftInCycles(speech, kFifth, Mode::voice);
  const auto score = test::track::onTargetShare(speech, out, PitchShifter::kVoiceLatency, kFifth);
  ASSERT_GT(score.voiced, 150u);
  EXPECT_GE(score.share(), 0.85) << score.onTarget << " of " << score.voiced;
}

} // namespace
} // namespace velto
