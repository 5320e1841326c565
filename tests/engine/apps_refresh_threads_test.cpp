// Matching the system's processes to the application slots as the process list changes: a tap
// is made again exactly when the sorted set of an application's process objects changes (or a
// set has no running capture), never for a change of running states alone.
#include "apps_fixture.h"

namespace velto::apps_test {
namespace {

constexpr char kRadioId[] = "com.example.radio";
constexpr char kTvId[] = "com.example.tv";

class AppsRefreshThreads : public AppsAudioFixture {};

TEST_F(AppsRefreshThreads, ApplicationWithoutProcessGetsItsTapAtTheFirstProcessListChange) {
  auto engine = makeEngine();
  ASSERT_EQ(engine->addApp(kRadioId), 0);
  EXPECT_EQ(engine->app(0).tap.tap, 0u);
  EXPECT_EQ(engine->app(0).ioProc, audio::kNoIoProc);
  EXPECT_FALSE(engine->app(0).playing);

  // An unrelated process changes the list but not the radio's set.
  addProcess(process(4201, kTvId, true));
  EXPECT_EQ(engine->app(0).tap.tap, 0u);

  const audio::ObjectId radio =
      addProcess(process(4202, kRadioId, true, audio::SignalSource::sine(440.0, 0.5f)));
  const AppSource& slot = engine->app(0);
  EXPECT_EQ(slot.processes, std::vector<AudioObjectID>{radio});
  EXPECT_NE(slot.tap.tap, 0u);
  EXPECT_NE(slot.ioProc, audio::kNoIoProc);
  EXPECT_TRUE(slot.playing);
  ASSERT_TRUE(audio::runCycles(10));
  EXPECT_NEAR(peakOf(takeStereo(kPhonesUid)), 0.5f, 1e-3f);
}

// One change of the process list and what it must do to the radio's tap.
struct ListChange {
  const char* what;
  int action;          // see apply()
  bool rebuilds;       // the radio gets a new tap
  bool playing;        // the radio's `playing` afterwards
  size_t processCount; // processes in the radio's tap
};

enum Action {
  kAddUnrelated,
  kAddPrefixOnly,
  kRadioStops,
  kRadioPlays,
  kAddHelper,
  kHelperPlays,
  kRemoveHelper,
  kAddSecondRadioProcess,
};

TEST_F(AppsRefreshThreads, TapIsRebuiltExactlyWhenTheProcessSetChanges) {
  const audio::ObjectId radio = addProcess(process(4301, kRadioId, true));
  const audio::ObjectId tvProcess = addProcess(process(4302, kTvId, true));
  auto engine = makeEngine();
  ASSERT_EQ(engine->addApp(kRadioId), 0);
  ASSERT_EQ(engine->addApp(kTvId), 1);
  TapWatch radioTaps;
  TapWatch tvTaps;
  radioTaps.look(engine->app(0));
  tvTaps.look(engine->app(1));
  ASSERT_EQ(radioTaps.made(), 1u);
  const AudioObjectID tvTap = engine->app(1).tap.tap;

  audio::ObjectId helper = 0;
  const ListChange changes[] = {
      {"unrelated process appears", kAddUnrelated, false, true, 1},
      {"id that only begins with the radio's", kAddPrefixOnly, false, true, 1},
      {"radio stops playing", kRadioStops, false, false, 1},
      {"radio plays again", kRadioPlays, false, true, 1},
      {"helper with a dotted id appears", kAddHelper, true, true, 2},
      {"helper starts playing", kHelperPlays, false, true, 2},
      {"helper goes", kRemoveHelper, true, true, 1},
      {"second radio process", kAddSecondRadioProcess, true, true, 2},
  };
  size_t expectedTaps = 1;
  for (const ListChange& change : changes) {
    SCOPED_TRACE(change.what);
    const AudioObjectID before = engine->app(0).tap.tap;
    const uint32_t callbacksBefore = engine->app(0).callbacks.load();
    switch (change.action) {
    case kAddUnrelated:
      addProcess(process(4310, "org.example.mail", true));
      break;
    case kAddPrefixOnly:
      addProcess(process(4311, "com.example.radiox", true));
      break;
    case kRadioStops:
      audio::updateSimProcess(radio, process(4301, kRadioId, false));
      settle();
      break;
    case kRadioPlays:
      audio::updateSimProcess(radio, process(4301, kRadioId, true));
      settle();
      break;
    case kAddHelper:
      helper = addProcess(process(4312, "com.example.radio.helper", false));
      break;
    case kHelperPlays:
      audio::updateSimProcess(helper, process(4312, "com.example.radio.helper", true));
      settle();
      break;
    case kRemoveHelper:
      audio::removeSimProcess(helper);
      settle();
      break;
    case kAddSecondRadioProcess:
      addProcess(process(4313, kRadioId, false));
      break;
    }
    const AppSource& slot = engine->app(0);
    radioTaps.look(slot);
    if (change.rebuilds) ++expectedTaps;
    EXPECT_EQ(radioTaps.made(), expectedTaps);
    EXPECT_EQ(slot.tap.tap != before, change.rebuilds);
    EXPECT_EQ(slot.playing, change.playing);
    EXPECT_EQ(slot.processes.size(), change.processCount);
    EXPECT_TRUE(std::is_sorted(slot.processes.begin(), slot.processes.end()));
    EXPECT_NE(slot.ioProc, audio::kNoIoProc);
    // A kept tap keeps counting; a new one starts from 0.
    if (!change.rebuilds) {
      EXPECT_GE(slot.callbacks.load(), callbacksBefore);
    }
    ASSERT_TRUE(audio::runCycles(2));
  }
  // The tv's set never changed, so its tap is the first one still.
  tvTaps.look(engine->app(1));
  EXPECT_EQ(tvTaps.made(), 1u);
  EXPECT_EQ(engine->app(1).tap.tap, tvTap);
  EXPECT_EQ(engine->app(1).processes, std::vector<AudioObjectID>{tvProcess});

  // The last radio process goes: the capture is torn down, the slot stays.
  audio::removeSimProcess(radio);
  settle();
  audio::removeSimProcess(engine->app(0).processes.back());
  settle();
  EXPECT_TRUE(engine->app(0).used);
  EXPECT_TRUE(engine->app(0).processes.empty());
  EXPECT_EQ(engine->app(0).tap.tap, 0u);
  EXPECT_EQ(engine->app(0).ioProc, audio::kNoIoProc);
  EXPECT_FALSE(engine->app(0).playing);
}

TEST_F(AppsRefreshThreads, RebuildResetsTheCallbackCounters) {
  addProcess(process(4401, kRadioId, true, audio::SignalSource::sine(440.0, 0.5f)));
  auto engine = makeEngine();
  ASSERT_EQ(engine->addApp(kRadioId), 0);
  ASSERT_TRUE(audio::runCycles(10));
  EXPECT_GE(engine->app(0).callbacks.load(), 9u);
  EXPECT_GT(engine->app(0).lastAudible.load(), 0u);

  engine->setAppPassthrough(0, true);
  EXPECT_EQ(engine->app(0).callbacks.load(), 0u);
  EXPECT_EQ(engine->app(0).lastAudible.load(), 0u);
  ASSERT_TRUE(audio::runCycles(3));
  EXPECT_GE(engine->app(0).callbacks.load(), 2u);
  EXPECT_LE(engine->app(0).callbacks.load(), 3u);
}

TEST_F(AppsRefreshThreads, FailedTapCreationIsRetriedAtTheNextProcessListChange) {
  const audio::ObjectId radio =
      addProcess(process(4501, kRadioId, true, audio::SignalSource::sine(440.0, 0.5f)));
  auto engine = makeEngine();
  ASSERT_EQ(engine->addApp(kRadioId), 0);
  ASSERT_NE(engine->app(0).ioProc, audio::kNoIoProc);

  // A process that has just gone makes the system refuse the tap.
  const audio::ObjectId gone = addProcess(process(4502, "org.example.gone", false));
  ASSERT_TRUE(audio::removeSimProcess(gone));
  engine->rebuildTap(0, {radio, gone});
  EXPECT_EQ(engine->app(0).tap.tap, 0u);
  EXPECT_EQ(engine->app(0).tap.aggregate, 0u);
  EXPECT_EQ(engine->app(0).ioProc, audio::kNoIoProc);
  EXPECT_TRUE(engine->app(0).used);
  settle(); // the removal's notice finds the set changed and tries again

  EXPECT_EQ(engine->app(0).processes, std::vector<AudioObjectID>{radio});
  EXPECT_NE(engine->app(0).ioProc, audio::kNoIoProc);
  takeStereo(kPhonesUid);
  ASSERT_TRUE(audio::runCycles(10));
  EXPECT_NEAR(peakOf(takeStereo(kPhonesUid)), 0.5f, 1e-3f);
}

TEST_F(AppsRefreshThreads, UnchangedSetWithoutRunningCaptureIsTriedAgain) {
  const audio::ObjectId radio = addProcess(process(4601, kRadioId, true));
  auto engine = makeEngine();
  ASSERT_EQ(engine->addApp(kRadioId), 0);
  AppSource& slot = engine->app(0);
  ASSERT_NE(slot.ioProc, audio::kNoIoProc);
  const AudioObjectID firstTap = slot.tap.tap;

  // Same set, but its capture was lost (as after a failed creation).
  engine->rebuildTap(0, {});
  slot.processes = {radio};
  ASSERT_EQ(slot.ioProc, audio::kNoIoProc);
  engine->refreshApps();
  EXPECT_NE(slot.ioProc, audio::kNoIoProc);
  EXPECT_NE(slot.tap.tap, 0u);
  EXPECT_NE(slot.tap.tap, firstTap);

  // Same set with its capture running: nothing happens.
  const AudioObjectID tap = slot.tap.tap;
  engine->refreshApps();
  EXPECT_EQ(slot.tap.tap, tap);
}

TEST_F(AppsRefreshThreads, OwnProcessIsNeverListedNorCaptured) {
  audio::setOwnApplication("com.example.velto", 4700);
  addProcess(process(4700, "com.example.velto", true, audio::SignalSource::sine(440.0, 0.5f)));
  const audio::ObjectId other = addProcess(process(4701, kRadioId, true));

  const std::vector<AudioProcess> listed = listAudioProcesses();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].object, other);
  EXPECT_EQ(listed[0].pid, 4701);
  EXPECT_EQ(listed[0].bundleId, kRadioId);
  EXPECT_TRUE(listed[0].runningOutput);
  EXPECT_FALSE(listed[0].runningInput);

  auto engine = makeEngine();
  ASSERT_EQ(engine->addApp("com.example.velto"), 0);
  EXPECT_TRUE(engine->app(0).processes.empty());
  EXPECT_EQ(engine->app(0).tap.tap, 0u);
}

TEST_F(AppsRefreshThreads, ProcessesAreListedWithTheirStatesAndInputDevices) {
  audio::SimDeviceConfig mic;
  mic.name = "Mikrofon";
  mic.uid = "sim-mic";
  mic.inputBuffers = {1};
  const audio::ObjectId micId = audio::addSimDevice(mic);
  ASSERT_NE(micId, 0u);
  audio::SimProcessConfig recorder = process(4801, "com.example.recorder", false);
  recorder.runningInput = true;
  recorder.inputDevices = {"sim-mic"};
  const audio::ObjectId recorderId = addProcess(recorder);
  audio::SimProcessConfig daemon = process(4802, "", true);
  const audio::ObjectId daemonId = addProcess(daemon);

  const std::vector<AudioProcess> listed = listAudioProcesses();
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].object, recorderId);
  EXPECT_EQ(listed[0].pid, 4801);
  EXPECT_EQ(listed[0].bundleId, "com.example.recorder");
  EXPECT_FALSE(listed[0].runningOutput);
  EXPECT_TRUE(listed[0].runningInput);
  EXPECT_EQ(listed[0].inputDevices, std::vector<AudioObjectID>{micId});
  EXPECT_EQ(listed[1].object, daemonId);
  EXPECT_EQ(listed[1].bundleId, "");
  EXPECT_TRUE(listed[1].runningOutput);
  EXPECT_TRUE(listed[1].inputDevices.empty());
}

} // namespace
} // namespace velto::apps_test
