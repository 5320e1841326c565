// Captured applications end to end under the manual clock: a simulated process plays, the
// engine taps it into its slot's strip, the "Default" virtual input carries it to hardware
// output 1, and the tap's mute behaviour decides whether its own device still hears it.
#include "apps_fixture.h"

namespace velto::apps_test {
namespace {

constexpr char kRadioId[] = "com.example.radio";

class AppsCaptureThreads : public AppsAudioFixture {};

TEST_F(AppsCaptureThreads, PlayingProcessReachesOutputOneThroughDefaultSampleForSample) {
  const std::vector<float> source = noiseSignal(48000, 7);
  addProcess(process(4101, kRadioId, true, audio::SignalSource::samples(source, 2, false)));
  auto engine = makeEngine();
  ASSERT_NE(engine->buses[0].link.device, 0u);

  ASSERT_EQ(engine->addApp(kRadioId), 0);
  const AppSource& slot = engine->app(0);
  ASSERT_NE(slot.tap.tap, 0u);
  ASSERT_NE(slot.tap.aggregate, 0u);
  ASSERT_NE(slot.ioProc, audio::kNoIoProc);
  EXPECT_TRUE(slot.playing);
  EXPECT_EQ(slot.processes.size(), 1u);
  EXPECT_EQ(slot.tap.channelOffset, 0u); // the speakers have no input channels

  takeStereo(kPhonesUid);
  takeStereo(kSpeakerUid);
  ASSERT_TRUE(audio::runCycles(100)); // 12800 frames at 128
  const std::vector<float> heard = takeStereo(kPhonesUid);
  ASSERT_EQ(heard.size(), size_t{2 * 12800});
  const size_t latency = firstSoundFrame(heard);
  EXPECT_LE(latency, size_t{4 * 128}) << "tap, clock and bus each add at most a buffer";
  EXPECT_TRUE(playsSourceExactly(heard, source, 12800 - 4 * 128));

  // Passthrough is off: the process's own device hears nothing of it.
  EXPECT_EQ(peakOf(takeStereo(kSpeakerUid)), 0.0f);
  EXPECT_GE(engine->app(0).callbacks.load(), 99u);
  EXPECT_GT(engine->app(0).lastAudible.load(), 0u);
  EXPECT_EQ(engine->virtualIns[3].underruns.load(), 0u);
  EXPECT_EQ(engine->buses[0].underruns.load(), 0u);
}

TEST_F(AppsCaptureThreads, PassthroughDecidesWhetherTheOwnDeviceStillHearsTheApplication) {
  addProcess(process(4102, kRadioId, true, audio::SignalSource::sine(1000.0, 0.5f)));
  auto engine = makeEngine();
  ASSERT_EQ(engine->addApp(kRadioId), 0);
  const AudioObjectID mutedTap = engine->app(0).tap.tap;
  ASSERT_NE(mutedTap, 0u);

  struct Step {
    bool passthrough;
    float speakerPeak; // the process on its own device
  };
  const Step steps[] = {{false, 0.0f}, {true, 0.5f}, {false, 0.0f}, {true, 0.5f}};
  AudioObjectID previousTap = 0;
  for (const Step& step : steps) {
    engine->setAppPassthrough(0, step.passthrough);
    const AppSource& slot = engine->app(0);
    ASSERT_NE(slot.tap.tap, 0u);
    ASSERT_NE(slot.ioProc, audio::kNoIoProc);
    // Every switch makes the tap again, with the new mute behaviour.
    if (previousTap != 0) {
      EXPECT_NE(slot.tap.tap, previousTap);
    }
    previousTap = slot.tap.tap;

    takeStereo(kSpeakerUid);
    takeStereo(kPhonesUid);
    ASSERT_TRUE(audio::runCycles(20));
    const std::vector<float> speaker = takeStereo(kSpeakerUid);
    const std::vector<float> phones = takeStereo(kPhonesUid);
    EXPECT_NEAR(peakOf(speaker), step.speakerPeak, 1e-3f) << "passthrough " << step.passthrough;
    // The mixer hears the application either way.
    EXPECT_NEAR(peakOf(phones), 0.5f, 1e-3f) << "passthrough " << step.passthrough;
  }

  // Asking for the state it already has rebuilds nothing.
  const AudioObjectID tap = engine->app(0).tap.tap;
  const uint32_t callbacks = engine->app(0).callbacks.load();
  engine->setAppPassthrough(0, true);
  EXPECT_EQ(engine->app(0).tap.tap, tap);
  EXPECT_GE(engine->app(0).callbacks.load(), callbacks);
}

struct OffsetCase {
  std::vector<uint32_t> interfaceInputs; // buffers of the default output's input side
  uint32_t channelOffset;
};

TEST_F(AppsCaptureThreads, DefaultOutputInputChannelsComeBeforeTheTapChannels) {
  const OffsetCase cases[] = {{{4}, 4}, {{1, 1, 1}, 3}, {{2}, 2}, {{1}, 1}, {{}, 0}};
  const std::vector<float> source = noiseSignal(24000, 11);
  for (const OffsetCase& c : cases) {
    SCOPED_TRACE("interface inputs " + std::to_string(c.channelOffset));
    audio::SimDeviceConfig interface = outputDevice("Interface", "sim-interface");
    interface.inputBuffers = c.interfaceInputs;
    // The interface's own input must not be taken for the application.
    interface.input = audio::SignalSource::samples({0.25f}, 1, true);
    ASSERT_NE(audio::addSimDevice(interface), 0u);
    ASSERT_TRUE(setDefaultOutput("sim-interface"));
    audio::SimProcessConfig config =
        process(4103, kRadioId, true, audio::SignalSource::samples(source, 2, false));
    config.outputDevices = {"sim-interface"};
    const audio::ObjectId proc = addProcess(config);

    {
      auto engine = makeEngine();
      ASSERT_EQ(engine->addApp(kRadioId), 0);
      EXPECT_EQ(engine->app(0).tap.channelOffset, c.channelOffset);
      takeStereo(kPhonesUid);
      ASSERT_TRUE(audio::runCycles(60));
      EXPECT_TRUE(playsSourceExactly(takeStereo(kPhonesUid), source, 60 * 128 - 4 * 128));
    }
    audio::removeSimProcess(proc);
    ASSERT_TRUE(setDefaultOutput(kSpeakerUid));
    ASSERT_TRUE(audio::removeSimDevice("sim-interface"));
    settle();
  }
}

TEST_F(AppsCaptureThreads, WithoutADefaultOutputTheAggregateHoldsOnlyTheTap) {
  // The speakers go: no default output is left, so there is no clock master to read.
  ASSERT_TRUE(audio::removeSimDevice(kSpeakerUid));
  ASSERT_EQ(test::wordProperty(audio::kSystemObject, audio::kPropDefaultOutputDevice), 0u);
  audio::SimProcessConfig config = process(4104, kRadioId, true);
  config.outputDevices = {kPhonesUid};
  const std::vector<float> source = noiseSignal(24000, 13);
  config.audio = audio::SignalSource::samples(source, 2, false);
  addProcess(config);
  auto engine = makeEngine();

  ASSERT_EQ(engine->addApp(kRadioId), 0);
  ASSERT_NE(engine->app(0).ioProc, audio::kNoIoProc);
  EXPECT_EQ(engine->app(0).tap.channelOffset, 0u);
  takeStereo(kPhonesUid);
  ASSERT_TRUE(audio::runCycles(60));
  EXPECT_TRUE(playsSourceExactly(takeStereo(kPhonesUid), source, 60 * 128 - 4 * 128));
}

TEST_F(AppsCaptureThreads, AggregateRunsAtTheConfiguredBufferSize) {
  const std::vector<float> source = noiseSignal(48000, 17);
  addProcess(process(4107, kRadioId, true, audio::SignalSource::samples(source, 2, false)));
  auto engine = makeEngine();
  ASSERT_TRUE(engine->setBufferFrames(256));
  ASSERT_EQ(engine->addApp(kRadioId), 0);
  const AudioObjectID aggregate = engine->app(0).tap.aggregate;
  ASSERT_NE(aggregate, 0u);
  EXPECT_EQ(test::wordProperty(aggregate, audio::kPropBufferFrameSize), 256u);

  // A later change reaches the running aggregate too, and the capture goes on unbroken.
  ASSERT_TRUE(engine->setBufferFrames(64));
  EXPECT_EQ(engine->app(0).tap.aggregate, aggregate);
  EXPECT_EQ(test::wordProperty(aggregate, audio::kPropBufferFrameSize), 64u);
  takeStereo(kPhonesUid);
  ASSERT_TRUE(audio::runCycles(200)); // 12800 frames at 64
  EXPECT_TRUE(playsSourceExactly(takeStereo(kPhonesUid), source, 12800 - 4 * 64));
}

TEST_F(AppsCaptureThreads, SixteenApplicationsAreCapturedAtOnce) {
  for (int i = 0; i < 16; ++i) {
    audio::addSimProcess(process(5000 + i, "com.example.app" + std::to_string(i), true,
                                 audio::SignalSource::sine(200.0 + 50.0 * i, 0.01f)));
  }
  settle();
  auto engine = makeEngine();
  for (int i = 0; i < 16; ++i) {
    ASSERT_EQ(engine->addApp("com.example.app" + std::to_string(i)), i);
  }
  // A seventeenth application, even one that plays, finds no slot.
  addProcess(process(5016, "com.example.app16", true, audio::SignalSource::sine(900.0, 0.01f)));
  EXPECT_EQ(engine->addApp("com.example.app16"), -1);

  ASSERT_TRUE(audio::runCycles(20));
  std::set<AudioObjectID> aggregates;
  for (int i = 0; i < 16; ++i) {
    const AppSource& slot = engine->app(i);
    EXPECT_NE(slot.ioProc, audio::kNoIoProc) << i;
    EXPECT_GE(slot.callbacks.load(), 19u) << i;
    EXPECT_GT(slot.lastAudible.load(), 0u) << i;
    aggregates.insert(slot.tap.aggregate);
  }
  EXPECT_EQ(aggregates.size(), 16u);
  // The private aggregate devices never show up in the engine's device list.
  for (const DeviceInfo& d : engine->devices) EXPECT_EQ(aggregates.count(d.id), 0u) << d.name;
  // All sixteen feed "Default": their sum reaches output 1 (each at most 0.01).
  takeStereo(kPhonesUid);
  ASSERT_TRUE(audio::runCycles(20));
  const float peak = peakOf(takeStereo(kPhonesUid));
  EXPECT_GT(peak, 0.01f);
  EXPECT_LE(peak, 0.16f + 1e-4f);
}

TEST_F(AppsCaptureThreads, RemovingTheApplicationStopsItsCaptureAndSilencesIt) {
  addProcess(process(4105, kRadioId, true, audio::SignalSource::sine(500.0, 0.5f)));
  addProcess(process(4106, "com.example.tv", true, audio::SignalSource::sine(700.0, 0.25f)));
  auto engine = makeEngine();
  ASSERT_EQ(engine->addApp(kRadioId), 0);
  ASSERT_EQ(engine->addApp("com.example.tv"), 1);
  const AudioObjectID radioAggregate = engine->app(0).tap.aggregate;
  const AspPropertyAddress bufferSize{audio::kPropBufferFrameSize, kAspScopeGlobal,
                                      kAspElementMain};
  ASSERT_TRUE(audio::hasProperty(radioAggregate, &bufferSize));
  EXPECT_EQ(test::wordProperty(radioAggregate, audio::kPropBufferFrameSize), 128u);
  engine->app(1).strip.routeMask.store(0); // only the radio reaches "Default"
  ASSERT_TRUE(audio::runCycles(10));
  EXPECT_NEAR(peakOf(takeStereo(kPhonesUid)), 0.5f, 1e-3f);
  EXPECT_EQ(peakOf(takeStereo(kSpeakerUid)), 0.0f);

  engine->removeApp(0);
  EXPECT_EQ(engine->apps[0].tap.tap, 0u);
  EXPECT_EQ(engine->apps[0].tap.aggregate, 0u);
  EXPECT_EQ(engine->apps[0].ioProc, audio::kNoIoProc);
  EXPECT_TRUE(engine->apps[0].processes.empty());
  EXPECT_EQ(engine->apps[0].callbacks.load(), 0u);
  EXPECT_FALSE(audio::hasProperty(radioAggregate, &bufferSize)) << "the aggregate is gone";

  // The tv is now position 0 and keeps its capture; the radio plays on its own device again.
  EXPECT_EQ(engine->app(0).bundleId, "com.example.tv");
  EXPECT_NE(engine->app(0).ioProc, audio::kNoIoProc);
  ASSERT_TRUE(audio::runCycles(10));
  takeStereo(kPhonesUid);
  takeStereo(kSpeakerUid);
  ASSERT_TRUE(audio::runCycles(10));
  EXPECT_EQ(peakOf(takeStereo(kPhonesUid)), 0.0f);
  // Speakers: the radio at 0.5 unmuted, the tv still muted by its tap.
  EXPECT_NEAR(peakOf(takeStereo(kSpeakerUid)), 0.5f, 1e-3f);
}

} // namespace
} // namespace velto::apps_test
