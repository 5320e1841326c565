// The echo canceller on German speech from espeak-ng through a desk room: the filter stays in
// the pauses between words and sentences, a talker at the microphone keeps his voice, and a
// changed room is learned anew quickly.
#include "core/stereo_ring.h"
#include "effects/input_fx.h"

#include "tests/effects/aec_room.h"
#include "tests/effects/aec_speech.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace velto {
namespace {

using namespace test::aec;

enum class Scene { steady, doubleTalk, roomChange };

struct SpeechCase {
  const char* name;
  Scene scene;
};

TEST(AecSpeech, FilterHoldsThroughPausesAndFollowsARoomChange) {
  constexpr size_t kFrames = kRate * 12;
  constexpr size_t kEvent = kRate * 6; // the talker joins or the room changes
  constexpr float kMic = 0.000316f;    // -70 dBFS microphone noise
  const auto far = spokenGerman(kFarText, "de", kFrames, 0.1f);
  const auto talker = spokenGerman(kNearText, "de+f3", kFrames, 0.05f);
  if (far.empty() || talker.empty()) GTEST_SKIP() << "espeak-ng or sox is missing";
  const auto noise = whiteFarEnd(kFrames, kMic, 41);
  const auto echo = convolve(far, roomResponse(240, 0.5f, 0.15, 0.02f, 6000, 2));
  const auto movedEcho = convolve(far, roomResponse(432, 0.4f, 0.25, 0.025f, 7000, 5));

  for (const SpeechCase c :
       {SpeechCase{"steady room", Scene::steady}, SpeechCase{"double talk", Scene::doubleTalk},
        SpeechCase{"room change", Scene::roomChange}}) {
    std::vector<float> roomEcho = echo, voice(kFrames, 0.0f);
    if (c.scene == Scene::roomChange) {
      std::copy(movedEcho.begin() + kEvent, movedEcho.end(), roomEcho.begin() + kEvent);
    }
    if (c.scene == Scene::doubleTalk) {
      std::copy(talker.begin() + kEvent, talker.end(), voice.begin() + kEvent);
    }
    const auto near = mixed(mixed(roomEcho, noise), voice);

    auto bank = std::make_unique<InputFx>();
    for (auto& flag : bank->enabled) flag.store(false);
    bank->enabled[FxId::aec].store(true);
    StereoRing ring(kRingFrames);
    bank->farEnd[0] = &ring;
    const auto out = runStage(*bank, ring, far, near, 128);

    switch (c.scene) {
    case Scene::steady:
      // Dozens of pauses went by: none may cost the filter.
      EXPECT_EQ(bank->aecLeft->divergences, 0u) << c.name;
      EXPECT_GE(erleDb(near, out, kFrames * 2 / 3, kFrames), 20.0) << c.name; // 25+ after 30 s
      break;
    case Scene::doubleTalk:
      EXPECT_LE(voiceLossDb(voice, out, kEvent + kRate, kFrames), 3.0) << c.name;
      break;
    case Scene::roomChange:
      EXPECT_LE(recoverySeconds(near, roomEcho, out, kEvent, kMic, 15.0), 2.0) << c.name;
      break;
    }
  }
}

} // namespace
} // namespace velto
