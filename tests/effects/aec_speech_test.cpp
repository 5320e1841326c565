// The echo canceller on German speech from espeak-ng: low and high far-end voices through a desk
// room, a reverberant room and a room with a long pre-delay, at two microphone noise levels; a
// talker at the microphone in double talk; and a changed room learned anew.
#include "core/stereo_ring.h"
#include "effects/input_fx.h"

#include "tests/effects/aec_room.h"
#include "tests/effects/aec_speech.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace velto {
namespace {

using namespace test::aec;

constexpr uint32_t kCall = 480;        // 10 ms callbacks
constexpr float kQuietMic = 0.000316f; // -70 dBFS
constexpr float kNoisyMic = 0.00316f;  // -50 dBFS

// A bank with only the echo canceller on (default strength), fed by one far-end ring.
struct Rig {
  std::unique_ptr<InputFx> bank = std::make_unique<InputFx>();
  StereoRing ring{kRingFrames};
  Rig() {
    for (auto& flag : bank->enabled) flag.store(false);
    bank->enabled[FxId::aec].store(true);
    bank->farEnd[0] = &ring;
  }
  std::vector<float> run(const std::vector<float>& far, const std::vector<float>& near) {
    return runStage(*bank, ring, far, near, kCall);
  }
};

const char* const kVoices[] = {"de", "de+m3", "de+f4"};

TEST(AecSpeech, EveryVoiceIsCancelledInEveryRoomAndStaysCancelled) {
  constexpr size_t kFrames = kRate * 10;
  struct Mic {
    float rms;
    double leastErleDb;   // over the last third
    double leastSecondDb; // any second after the first 5 s
  };
  for (const char* voice : kVoices) {
    const auto far = spokenGerman(kFarText, voice, kFrames, 0.1f);
    ASSERT_FALSE(far.empty()) << "espeak-ng and sox are part of the build's tools";
    for (const Room& room : kRooms) {
      const auto echo = convolve(far, roomOf(room));
      for (const Mic mic : {Mic{kQuietMic, 25.0, 31.0}, Mic{kNoisyMic, 20.0, 15.0}}) {
        const std::string name = std::string(voice) + " in " + room.name + " at " +
                                 (mic.rms == kQuietMic ? "-70" : "-50") + " dBFS";
        const auto near = mixed(echo, whiteFarEnd(kFrames, mic.rms, 41));
        Rig rig;
        const auto out = rig.run(far, near);
        EXPECT_GE(erleDb(near, out, kFrames * 2 / 3, kFrames), mic.leastErleDb) << name;
        // Settled after 5 s: no second falls back (with the noisy microphone, none lies more
        // than 6 dB from the others' median).
        const auto seconds = erlePerSecond(near, echo, out, kRate * 5, mic.rms);
        ASSERT_GE(seconds.size(), 4u) << name;
        EXPECT_GE(*std::min_element(seconds.begin(), seconds.end()), mic.leastSecondDb) << name;
        if (mic.rms == kNoisyMic) {
          EXPECT_LE(swingDb(seconds), 6.0) << name;
        }
        EXPECT_EQ(rig.bank->aecLeft->divergences, 0u) << name;
      }
    }
  }
}

TEST(AecSpeech, DoubleTalkKeepsTheEchoDownAndTheTalker) {
  constexpr size_t kFrames = kRate * 16;
  constexpr size_t kJoin = kRate * 8;
  const auto talkerSpeech = spokenGerman(kNearText, "de+f3", kFrames, 0.1f);
  ASSERT_FALSE(talkerSpeech.empty());
  struct Case {
    const char* voice;
    double talkerDb; // against the echo
  };
  for (const Case c :
       {Case{"de", 0.0}, Case{"de", -6.0}, Case{"de+f4", 0.0}, Case{"de+f4", -6.0}}) {
    const std::string name = std::string(c.voice) + " with the talker at " +
                             std::to_string(static_cast<int>(c.talkerDb)) + " dB";
    const auto far = spokenGerman(kFarText, c.voice, kFrames, 0.1f);
    ASSERT_FALSE(far.empty());
    const auto echo = convolve(far, roomOf(kRooms[1]));
    double echoPower = 0.0, talkerPower = 0.0;
    for (size_t i = kJoin; i < kFrames; ++i) {
      echoPower += static_cast<double>(echo[i]) * echo[i];
      talkerPower += static_cast<double>(talkerSpeech[i]) * talkerSpeech[i];
    }
    const double scale = std::sqrt(echoPower / talkerPower) * std::pow(10.0, c.talkerDb / 20.0);
    std::vector<float> talker(kFrames, 0.0f);
    for (size_t i = kJoin; i < kFrames; ++i)
      talker[i] = static_cast<float>(scale * talkerSpeech[i]);
    const auto near = mixed(mixed(echo, whiteFarEnd(kFrames, kQuietMic, 43)), talker);
    Rig rig;
    const auto out = rig.run(far, near);
    const size_t from = kJoin + kRate * 3;
    EXPECT_GE(farResidualBelowEchoDb(echo, talker, out, from, kFrames), 20.0) << name;
    EXPECT_LE(voiceLossDb(talker, out, from, kFrames), 3.0) << name;
  }
}

TEST(AecSpeech, AChangedRoomIsLearnedAnewWithinASecondAndAHalf) {
  constexpr size_t kFrames = kRate * 14;
  constexpr size_t kChange = kRate * 7;
  for (const char* voice : {"de", "de+f4"}) {
    const auto far = spokenGerman(kFarText, voice, kFrames, 0.1f);
    ASSERT_FALSE(far.empty());
    // Another delay (9 ms) and a longer tail (250 ms).
    const auto before = convolve(far, roomOf(kRooms[1]));
    const auto after = convolve(far, roomResponse(432, 0.4f, 0.25, 0.025f, 7000, 5));
    std::vector<float> echo(before.begin(), before.begin() + kChange);
    echo.insert(echo.end(), after.begin() + kChange, after.end());
    const auto near = mixed(echo, whiteFarEnd(kFrames, kQuietMic, 47));
    Rig rig;
    const auto out = rig.run(far, near);
    EXPECT_LE(recoverySeconds(near, echo, out, kChange, kQuietMic, 15.0), 1.5) << voice;
  }
}

} // namespace
} // namespace velto
