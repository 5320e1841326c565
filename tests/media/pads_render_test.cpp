// The pad bank's rendering, driven block by block as the clock device's cycle drives it: fades
// shaped by the smoothstep and lasting their stated frames, one-shot ends, loop passes with the
// equal-power seam, gain ramps, and a new sample silencing a pad at once.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "media/pad_bank.h"
#include "tests/media/pads_fixture.h"

namespace velto {
namespace {

using test::constantPadSample;
using test::numberedPadSample;
using test::padLeft;
using test::padRight;
using test::renderPads;
using test::smoothstep;

constexpr double kHalfPi = 1.5707963267948966;

TEST(PadRender, FadeInIsShapedBySmoothstepAndReachesFullLevelOnItsLastFrame) {
  struct Case {
    float fadeIn;
    uint64_t reach; // 1-based frame on which the level reaches 1
  } cases[] = {{0.0f, 1}, {2.0f, 96000}, {0.5f, 24000}, {0.01f, 480}};
  for (const Case& c : cases) {
    SCOPED_TRACE("fade-in " + std::to_string(c.fadeIn));
    PadBank bank;
    bank.install(0, constantPadSample(200000, 0.5f, -0.25f), "/x/ton.wav");
    bank.pads[0].fadeIn.store(c.fadeIn);
    bank.play(0, true);
    std::vector<float> out = renderPads(bank, c.reach - 1);
    if (c.reach > 1) {
      EXPECT_LT(bank.pads[0].level, 1.0) << "not yet full one frame before";
    }
    const std::vector<float> rest = renderPads(bank, 1001);
    EXPECT_EQ(bank.pads[0].level, 1.0);
    out.insert(out.end(), rest.begin(), rest.end());
    int wrong = 0;
    for (uint64_t k = 0; k < c.reach + 1000; ++k) {
      const double level = std::min(double(k + 1) / double(c.reach), 1.0);
      wrong += std::fabs(out[2 * k] - 0.5 * smoothstep(level)) > 1e-6;
      wrong += std::fabs(out[2 * k + 1] + 0.25 * smoothstep(level)) > 1e-6;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(out[2 * (c.reach - 1)], 0.5f) << "full level on the stated frame";
    if (c.reach > 1) {
      EXPECT_NEAR(out[2 * (c.reach / 2 - 1)], 0.25f, 1e-6) << "half level is half gain";
    }
  }
}

TEST(PadRender, StopFadesOverTheFadeOutAndNeverInLessThan240Frames) {
  struct Case {
    float fadeOut;
    uint64_t frames;
  } cases[] = {{0.0f, 240}, {0.001f, 240}, {0.005f, 240}, {0.1f, 4800}, {1.0f, 48000}};
  for (const Case& c : cases) {
    SCOPED_TRACE("fade-out " + std::to_string(c.fadeOut));
    PadBank bank;
    bank.install(0, constantPadSample(60000, 0.5f, 0.5f), "/x/ton.wav");
    PadBank::Pad& pad = bank.pads[0];
    pad.loop.store(true);
    pad.crossfade.store(0.0f); // a seam would lift the constant sound
    pad.fadeOut.store(c.fadeOut);
    bank.play(0, true);
    renderPads(bank, 64, 64);
    bank.play(0, false);
    const std::vector<float> first = renderPads(bank, 64, 64);
    EXPECT_TRUE(pad.stopping.load());
    EXPECT_TRUE(pad.playing.load());
    std::vector<float> after = renderPads(bank, c.frames + 256, 64);
    after.insert(after.begin(), first.begin(), first.end());
    // Frame i after the stop (1-based) sounds at smoothstep(1 - i / frames); the last is silent.
    for (uint64_t i = 1; i < c.frames; i += 7) {
      ASSERT_NEAR(after[2 * (i - 1)], 0.5 * smoothstep(1.0 - double(i) / double(c.frames)), 1e-6)
          << i;
    }
    EXPECT_GT(after[2 * (c.frames - 2)], 0.0f);
    for (uint64_t i = c.frames; i < c.frames + 320; ++i) ASSERT_EQ(after[2 * (i - 1)], 0.0f) << i;
    EXPECT_FALSE(pad.playing.load());
    EXPECT_FALSE(pad.stopping.load());
    EXPECT_EQ(pad.progress.load(), 0.0f);
  }
}

TEST(PadRender, OneShotPlaysItsSampleOnceAndStopsByItself) {
  PadBank bank;
  bank.install(0, numberedPadSample(1000), "/x/ton.wav");
  bank.play(0, true);
  std::vector<float> out = renderPads(bank, 256, 256);
  EXPECT_TRUE(bank.pads[0].playing.load());
  EXPECT_FLOAT_EQ(bank.pads[0].progress.load(), 256.0f / 1000.0f);
  const std::vector<float> rest = renderPads(bank, 4 * 256, 256);
  out.insert(out.end(), rest.begin(), rest.end());
  for (uint64_t n = 0; n < 1000; ++n) {
    ASSERT_EQ(out[2 * n], padLeft(n)) << n;
    ASSERT_EQ(out[2 * n + 1], padRight(n)) << n;
  }
  for (uint64_t n = 1000; n < out.size() / 2; ++n) ASSERT_EQ(out[2 * n], 0.0f) << n;
  EXPECT_FALSE(bank.pads[0].playing.load());
  EXPECT_EQ(bank.pads[0].progress.load(), 0.0f);
}

// Every pass, the first included, lasts the sample less the seam; from the second pass on the
// seam mixes the sample's end under its beginning with equal power.
TEST(PadRender, LoopRepeatsEverySampleLengthLessTheSeam) {
  struct Case {
    uint64_t frames;
    float crossfade;
    uint64_t pass;
    uint64_t seam;
  } cases[] = {
      {480000, 0.5f, 456000, 24000}, // 10 s with 0.5 s: every 9.5 s
      {1000, 1.0f, 500, 500},        // a seam longer than half the sample is cut to half
      {1001, 10.0f, 501, 500},       {1000, 0.0f, 1000, 0}, {960, 0.01f, 480, 480},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.frames) + " frames, crossfade " + std::to_string(c.crossfade));
    PadBank bank;
    bank.install(0, numberedPadSample(c.frames), "/x/loop.wav");
    bank.pads[0].loop.store(true);
    bank.pads[0].crossfade.store(c.crossfade);
    bank.play(0, true);
    const std::vector<float> out = renderPads(bank, 3 * c.pass + 100);
    for (uint64_t n = 0; n < c.pass; ++n) {
      ASSERT_EQ(out[2 * n], padLeft(n)) << "first pass, frame " << n;
    }
    for (uint64_t p = 0; p < c.pass; ++p) {
      const uint64_t n = c.pass + p;
      double left = padLeft(p);
      double right = padRight(p);
      if (p < c.seam) {
        const double t = double(p) / double(c.seam);
        left = left * std::sin(t * kHalfPi) + padLeft(p + c.pass) * std::cos(t * kHalfPi);
        right = right * std::sin(t * kHalfPi) + padRight(p + c.pass) * std::cos(t * kHalfPi);
      }
      ASSERT_NEAR(out[2 * n], left, 2e-6) << "second pass, frame " << p;
      ASSERT_NEAR(out[2 * n + 1], right, 2e-6) << "second pass, frame " << p;
      ASSERT_EQ(out[2 * (n + c.pass)], out[2 * n]) << "third pass repeats the second, " << p;
    }
    EXPECT_TRUE(bank.pads[0].playing.load());
    EXPECT_FLOAT_EQ(bank.pads[0].progress.load(), 100.0f / float(c.pass));
  }
}

TEST(PadRender, GainChangeRampsAcrossTheNextBlockAndPadsAddUp) {
  PadBank bank;
  bank.install(0, constantPadSample(10000, 0.5f, 0.5f), "/x/ton.wav");
  bank.install(15, constantPadSample(10000, -0.125f, 0.25f), "/x/dc.wav");
  PadBank::Pad& pad = bank.pads[0];
  pad.gain.store(0.5f);
  bank.play(0, true);
  bank.play(15, true);
  const std::vector<float> start = renderPads(bank, 100, 100);
  for (uint64_t n = 0; n < 100; ++n) {
    ASSERT_EQ(start[2 * n], 0.25f - 0.125f) << "no ramp on start, " << n;
    ASSERT_EQ(start[2 * n + 1], 0.25f + 0.25f) << n;
  }
  pad.gain.store(0.125f);
  const std::vector<float> ramp = renderPads(bank, 100, 100);
  for (uint64_t j = 1; j <= 100; ++j) {
    const double gain = 0.5 + double(j) * (0.125 - 0.5) / 100.0;
    ASSERT_NEAR(ramp[2 * (j - 1) + 1], 0.5 * gain + 0.25, 1e-7) << j;
  }
  EXPECT_EQ(ramp[2 * 99 + 1], 0.0625f + 0.25f) << "the last frame gets the new gain";
  const std::vector<float> steady = renderPads(bank, 100, 100);
  for (uint64_t n = 0; n < 100; ++n) ASSERT_EQ(steady[2 * n + 1], 0.0625f + 0.25f) << n;
}

// A sample whose memory comes back at the same address is still a new sample: the pad must not
// go on at the old position (beyond the new, shorter sample's end).
TEST(PadRender, SampleAtAReusedAddressIsStillANewSample) {
  PadBank bank;
  bank.install(0, numberedPadSample(20000), "/x/lang.wav");
  PadBank::Pad& pad = bank.pads[0];
  pad.loop.store(true);
  pad.crossfade.store(0.0f);
  bank.play(0, true);
  renderPads(bank, 15000);
  PadSample* address = pad.sample.load();
  bank.clear(0);
  ASSERT_EQ(bank.retired.size(), 1u);
  // The same object, now holding a short sound, goes back on the pad.
  std::unique_ptr<PadSample> reused = std::move(bank.retired[0].sample);
  bank.retired.clear();
  reused->samples.assign(2 * 100, 0.0f);
  reused->samples.shrink_to_fit();
  for (int n = 0; n < 100; ++n) reused->samples[2 * n] = reused->samples[2 * n + 1] = 0.001f * n;
  reused->frames = 100;
  bank.install(0, std::move(reused), "/x/kurz.wav");
  ASSERT_EQ(pad.sample.load(), address);

  const std::vector<float> silent = renderPads(bank, 128);
  for (float x : silent) ASSERT_EQ(x, 0.0f);
  EXPECT_FALSE(pad.playing.load());
  bank.play(0, true);
  const std::vector<float> out = renderPads(bank, 300);
  for (int n = 0; n < 300; ++n) ASSERT_FLOAT_EQ(out[2 * n], 0.001f * (n % 100)) << n;
}

TEST(PadControl, CommandsFollowThePadsState) {
  PadBank bank;
  PadBank::Pad& empty = bank.pads[0];
  bank.play(0, true);
  bank.toggle(0);
  EXPECT_EQ(empty.command.load(), PadBank::kCommandNone) << "a start on an empty pad is ignored";

  bank.install(1, constantPadSample(100000, 0.5f, 0.5f), "/x/a.wav");
  PadBank::Pad& pad = bank.pads[1];
  pad.fadeIn.store(0.01f); // 480 frames
  pad.loop.store(true);
  bank.play(1, false);
  EXPECT_EQ(pad.command.load(), PadBank::kCommandStop);
  renderPads(bank, 128);
  EXPECT_FALSE(pad.playing.load()) << "a stop on a pad that does not play does nothing";
  EXPECT_FALSE(pad.stopping.load());

  bank.toggle(1);
  EXPECT_EQ(pad.command.load(), PadBank::kCommandStart);
  renderPads(bank, 128);
  EXPECT_TRUE(pad.playing.load());
  EXPECT_EQ(pad.command.load(), PadBank::kCommandNone) << "taken by the audio thread";

  bank.toggle(1);
  EXPECT_EQ(pad.command.load(), PadBank::kCommandStop);
  renderPads(bank, 128);
  EXPECT_TRUE(pad.stopping.load());
  EXPECT_TRUE(pad.playing.load());

  // A start while stopping restarts from the beginning with a fresh fade-in.
  bank.toggle(1);
  EXPECT_EQ(pad.command.load(), PadBank::kCommandStart);
  const std::vector<float> restart = renderPads(bank, 128);
  EXPECT_FALSE(pad.stopping.load());
  EXPECT_EQ(pad.position, 128u);
  EXPECT_NEAR(restart[0], 0.5 * smoothstep(1.0 / 480.0), 1e-9);

  bank.install(2, constantPadSample(100, 0.5f, 0.5f), "/x/b.wav");
  bank.stopAll();
  EXPECT_EQ(pad.command.load(), PadBank::kCommandStop);
  EXPECT_EQ(bank.pads[2].command.load(), PadBank::kCommandNone) << "only playing pads stop";
}

TEST(PadControl, InstallNamesThePadAfterItsFileUnlessItHasAName) {
  struct Case {
    const char* name;
    const char* file;
    const char* expected;
  } cases[] = {
      {"", "/x/My Loop.wav", "My Loop"}, {"", "/x/.hidden", ".hidden"},
      {"Kick", "/x/snare.wav", "Kick"},  {"", "plain.flac", "plain"},
      {"", "/x/a.b.c", "a.b"},           {"", "/x/ohne", "ohne"},
  };
  for (const Case& c : cases) {
    PadBank bank;
    bank.pads[3].name = c.name;
    bank.pads[3].error = "Datei nicht lesbar";
    bank.install(3, constantPadSample(10, 0.1f, 0.1f), c.file);
    EXPECT_EQ(bank.pads[3].name, c.expected) << c.file;
    EXPECT_EQ(bank.pads[3].file, c.file);
    EXPECT_EQ(bank.pads[3].error, "") << "an install clears the last error";
  }
}

TEST(PadControl, ClearEmptiesThePadAndStrayIndicesAreIgnored) {
  PadBank bank;
  bank.install(4, constantPadSample(10, 0.1f, 0.1f), "/x/Snare.wav");
  bank.clear(4);
  EXPECT_EQ(bank.pads[4].sample.load(), nullptr);
  EXPECT_EQ(bank.pads[4].name, "");
  EXPECT_EQ(bank.pads[4].file, "");
  EXPECT_EQ(bank.pads[4].loadToken, 1u) << "a load in flight is dropped";
  EXPECT_EQ(bank.retired.size(), 1u);
  std::string error;
  for (int index : {-1, 16, 1000}) {
    bank.install(index, constantPadSample(10, 0.1f, 0.1f), "/x/a.wav");
    EXPECT_FALSE(bank.load(index, "/x/a.wav", error));
    bank.play(index, true);
  }
  for (const PadBank::Pad& pad : bank.pads) EXPECT_EQ(pad.sample.load(), nullptr);
}

TEST(PadControl, RetiredSamplesAreFreedOnlyWhenTwoSecondsOldInTheirOrder) {
  PadBank bank;
  std::vector<PadSample*> samples;
  for (int k = 0; k < 3; ++k) {
    bank.install(0, numberedPadSample(100 + k), "/x/s.wav");
    samples.push_back(bank.pads[0].sample.load());
  }
  bank.clear(0);
  ASSERT_EQ(bank.retired.size(), 3u);
  bank.collect();
  ASSERT_EQ(bank.retired.size(), 3u) << "fresh retirees stay";

  bank.retired[0].time -= 2.0;  // exactly old enough
  bank.retired[1].time -= 1.5;  // not yet
  bank.retired[2].time -= 30.0; // long enough
  bank.collect();
  ASSERT_EQ(bank.retired.size(), 1u);
  EXPECT_EQ(bank.retired[0].sample.get(), samples[1]);

  // Every install collects as well.
  bank.install(5, numberedPadSample(10), "/x/t.wav");
  bank.install(5, numberedPadSample(10), "/x/u.wav");
  ASSERT_EQ(bank.retired.size(), 2u);
  bank.retired[0].time -= 1.0;
  bank.install(6, numberedPadSample(10), "/x/v.wav");
  EXPECT_EQ(bank.retired.size(), 1u);
}

} // namespace
} // namespace velto
