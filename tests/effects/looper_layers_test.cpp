// The looper's layers: overdubs heard on the following passes, undo and redo of the newest
// layer, merging older layers into the base loop scaled by "keep", and the published layer flag.
#include "looper_rig.h"

#include <gtest/gtest.h>

namespace velto::test::loop {
namespace {

using A = LooperAction;
using S = LooperState;

constexpr uint32_t kLoop = 4800;

// A loop of take A, playing at frame 0 past its ramp; returns A as the loop sounds.
Stereo playingLoop(Looper& looper) {
  const Stereo take = noise(kLoop, 31);
  looper.record(take);
  looper.runSilence(kLoop);
  return closedLoop(take, kLoop);
}

// One whole pass of overdub with `layer`, back to playing at frame 0.
void overdubPass(Looper& looper, const Stereo& layer) {
  looper.post(A::overdub);
  looper.run(layer);
  looper.post(A::main);
}

TEST(LooperLayers, OverdubIsHeardAndUndoMutesAndRestoresIt) {
  Looper looper;
  const Stereo a = playingLoop(looper);
  EXPECT_EQ(looper.layer(), 0); // before the first overdub
  const Stereo b = noise(kLoop, 32, 0.3f);
  looper.post(A::overdub);
  const Stereo during = looper.run(b);
  EXPECT_LT(maxDiff(during, 0, mix(a, 1.0f, b, 1.0f)), 1e-6f); // live layer over the loop
  EXPECT_EQ(looper.state(), S::overdubbing);
  EXPECT_EQ(looper.layer(), 2);
  looper.post(A::main);

  EXPECT_LT(maxDiff(looper.runSilence(kLoop), 0, mix(a, 1.0f, b, 1.0f)), 1e-6f);
  EXPECT_EQ(looper.layer(), 2);
  looper.post(A::undo);
  EXPECT_LT(maxDiff(looper.runSilence(kLoop), 0, a), 1e-6f);
  EXPECT_EQ(looper.layer(), 1);
  looper.post(A::undo);
  EXPECT_LT(maxDiff(looper.runSilence(kLoop), 0, mix(a, 1.0f, b, 1.0f)), 1e-6f);
  EXPECT_EQ(looper.layer(), 2);
}

TEST(LooperLayers, UndoWhileRecordingOrOverdubbingDoesNothing) {
  Looper looper;
  looper.post(A::record);
  looper.run(noise(kLoop, 33));
  looper.post(A::undo);
  looper.runSilence(64);
  EXPECT_EQ(looper.state(), S::recording);
  EXPECT_EQ(looper.layer(), 0);
  looper.post(A::play);
  looper.runSilence(kLoop - 64);
  looper.post(A::overdub);
  looper.run(noise(1000, 34));
  looper.post(A::undo);
  looper.runSilence(64);
  EXPECT_EQ(looper.state(), S::overdubbing);
  EXPECT_EQ(looper.layer(), 2);
}

struct KeepCase {
  float keep;       // percent
  bool muteFirst;   // the first layer muted by undo before the second overdub
  float baseShare;  // share of take A after the merge
  float layerShare; // share of the first layer after the merge
};

class LooperMerge : public ::testing::TestWithParam<KeepCase> {};

// A second overdub merges the first layer into the base loop frame by frame as the loop
// passes, the merge scaled by "keep"; a muted first layer is dropped.
TEST_P(LooperMerge, SecondOverdubMergesTheFirstLayerScaledByKeep) {
  const KeepCase c = GetParam();
  Looper looper;
  looper.setKeep(100.0f);
  const Stereo a = playingLoop(looper);
  const Stereo b1 = noise(kLoop, 35, 0.3f);
  overdubPass(looper, b1);
  looper.runSilence(64); // back to playing
  if (c.muteFirst) looper.post(A::undo);
  looper.runSilence(kLoop - 64);
  looper.setKeep(c.keep);
  const Stereo b2 = noise(kLoop, 36, 0.2f);
  overdubPass(looper, b2);
  const Stereo merged = mix(a, c.baseShare, b1, c.layerShare);
  EXPECT_LT(maxDiff(looper.runSilence(kLoop), 0, mix(merged, 1.0f, b2, 1.0f)), 1e-6f);
  // Undo now only takes the newest layer away.
  looper.post(A::undo);
  EXPECT_LT(maxDiff(looper.runSilence(kLoop), 0, merged), 1e-6f);
}

INSTANTIATE_TEST_SUITE_P(Keep, LooperMerge,
                         ::testing::Values(KeepCase{100.0f, false, 1.0f, 1.0f},
                                           KeepCase{50.0f, false, 0.5f, 0.5f},
                                           KeepCase{0.0f, false, 0.0f, 0.0f},
                                           KeepCase{50.0f, true, 0.5f, 0.0f}));

TEST(LooperLayers, FirstOverdubScalesTheBaseByKeep) {
  Looper looper;
  looper.setKeep(25.0f);
  const Stereo a = playingLoop(looper);
  const Stereo b = noise(kLoop, 37, 0.3f);
  overdubPass(looper, b);
  EXPECT_LT(maxDiff(looper.runSilence(kLoop), 0, mix(a, 0.25f, b, 1.0f)), 1e-6f);
}

TEST(LooperLayers, StopDuringOverdubKeepsTheLayerAudibleAndPlayRestartsAtTheTop) {
  Looper looper;
  const Stereo a = playingLoop(looper);
  const Stereo b = noise(kLoop, 38, 0.3f);
  overdubPass(looper, b);
  looper.runSilence(kLoop);
  looper.post(A::undo); // the first layer muted ...
  looper.runSilence(64);
  ASSERT_EQ(looper.layer(), 1);
  looper.post(A::overdub); // ... a second one started over it and stopped half way
  looper.run(noise(kLoop / 2 - 64, 39, 0.2f));
  looper.post(A::stop);
  looper.runSilence(64);
  EXPECT_EQ(looper.state(), S::stopped);
  EXPECT_EQ(looper.position(), kLoop / 2);
  EXPECT_EQ(looper.layer(), 2);
  looper.post(A::play);
  looper.runSilence(64);
  EXPECT_EQ(looper.state(), S::playing);
  EXPECT_EQ(looper.position(), 64u);
}

TEST(LooperLayers, LayerFlagIsClearedWithTheLoopAndStaysClearUntilTheNextOverdub) {
  Looper looper;
  playingLoop(looper);
  overdubPass(looper, noise(kLoop, 40, 0.3f));
  looper.runSilence(64);
  ASSERT_EQ(looper.layer(), 2);
  looper.post(A::clear);
  looper.runSilence(64);
  EXPECT_EQ(looper.layer(), 0);
  EXPECT_EQ(looper.state(), S::empty);

  // A fresh loop after a clear has no layer to report, muted or not.
  const Stereo take = noise(kLoop, 41);
  looper.record(take);
  looper.runSilence(kLoop);
  EXPECT_EQ(looper.layer(), 0);
  looper.post(A::undo); // nothing to mute yet
  const Stereo out = looper.runSilence(kLoop);
  EXPECT_EQ(looper.layer(), 0);
  EXPECT_LT(maxDiff(out, 0, closedLoop(take, kLoop)), 1e-6f);
  // The first overdub of the new loop is a layer like any other.
  overdubPass(looper, noise(kLoop, 42, 0.3f));
  looper.runSilence(64);
  EXPECT_EQ(looper.layer(), 2);
}

} // namespace
} // namespace velto::test::loop
