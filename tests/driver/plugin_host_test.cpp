// The plug-in host as an audio server: finding and loading bundles, refusing broken ones,
// counting a device's clients, and the storage file it keeps for a plug-in.
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/audio/host/plist.h"
#include "platform/audio/host/storage_file.h"
#include "tests/driver/driver_harness.h"

namespace velto::test {
namespace {

namespace fs = std::filesystem;
using platform::audio::PluginHost;
using platform::audio::StorageFile;

using PlugInHost = DriverTest;

TEST_F(PlugInHost, LoadsEveryDriverBundleSortedByName) {
  stopServer();
  fs::copy(bundle(), hal() + "/B.driver", fs::copy_options::recursive);
  fs::copy(bundle(), hal() + "/A.driver", fs::copy_options::recursive);
  fs::create_directories(hal() + "/Broken.driver/Contents"); // no property list
  fs::copy(bundle(), hal() + "/Other.bundle", fs::copy_options::recursive);
  writeFile(hal() + "/File.driver", "not a folder");
  auto hosts = PluginHost::loadAll(root_);
  ASSERT_EQ(hosts.size(), 3u);
  EXPECT_EQ(hosts[0]->bundlePath(), hal() + "/A.driver");
  EXPECT_EQ(hosts[1]->bundlePath(), hal() + "/B.driver");
  EXPECT_EQ(hosts[2]->bundlePath(), hal() + "/Velto.driver");
  // Each bundle keeps its own values in its own file.
  ASSERT_EQ(setF32(*hosts[0], 15, kAspPropScalarValue, 0.5f), kAspNoError);
  EXPECT_TRUE(fs::exists(root_ + "/Library/Audio/Storage/A.driver.values"));
  EXPECT_FALSE(fs::exists(root_ + "/Library/Audio/Storage/B.driver.values"));
  EXPECT_EQ(getF32(*hosts[1], 15, kAspPropScalarValue), 1.0f);
}

TEST_F(PlugInHost, EmptyOrMissingPlugInFolderLoadsNothing) {
  stopServer();
  fs::remove_all(bundle());
  EXPECT_TRUE(PluginHost::loadAll(root_).empty());
  EXPECT_TRUE(PluginHost::loadAll(root_ + "/nowhere").empty());
}

TEST_F(PlugInHost, BrokenBundlesAreRefusedSilently) {
  stopServer();
  struct Case {
    const char* what;
    void (*damage)(const std::string& bundle);
  };
  const Case cases[] = {
      {"no property list", [](const std::string& b) { fs::remove(b + "/Contents/Info.plist"); }},
      {"no factory key",
       [](const std::string& b) {
         writeFile(b + "/Contents/Info.plist",
                   "<plist><dict><key>CFBundleExecutable</key><string>Velto</string></dict>"
                   "</plist>");
       }},
      {"factory not exported",
       [](const std::string& b) {
         writeFile(b + "/Contents/Info.plist",
                   "<plist><dict><key>CFBundleExecutable</key><string>Velto</string>"
                   "<key>PlugInFactory</key><string>NoSuchFactory</string></dict></plist>");
       }},
      {"executable outside the bundle",
       [](const std::string& b) {
         writeFile(b + "/Contents/Info.plist",
                   "<plist><dict><key>CFBundleExecutable</key><string>../../Velto</string>"
                   "<key>PlugInFactory</key><string>VeltoDriver_Create</string></dict></plist>");
       }},
      {"no library", [](const std::string& b) { fs::remove(b + "/Contents/Linux/Velto.so"); }},
      {"library is not one",
       [](const std::string& b) { writeFile(b + "/Contents/Linux/Velto.so", "garbage"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string copy = root_ + "/work/Copy.driver";
    fs::remove_all(copy);
    fs::create_directories(root_ + "/work");
    fs::copy(bundle(), copy, fs::copy_options::recursive);
    c.damage(copy);
    EXPECT_EQ(PluginHost::load(copy, root_ + "/work/Copy.values"), nullptr);
  }
  // The intact bundle still loads after all that.
  EXPECT_NE(PluginHost::load(bundle(), root_ + "/work/Velto.values"), nullptr);
}

TEST_F(PlugInHost, OneHostPerLoadedPlugIn) {
  // A second server on the same library would share the driver's state and host table.
  EXPECT_EQ(PluginHost::load(bundle(), root_ + "/second.values"), nullptr);
  EXPECT_TRUE(PluginHost::loadAll(root_).empty());
  EXPECT_EQ(getText(host(), kVeltoOut1, kAspPropName), "Velto Out 1") << "the first is intact";
  ASSERT_EQ(setF32(host(), 15, kAspPropScalarValue, 0.5f), kAspNoError);
  restartServer();
  EXPECT_EQ(getF32(host(), 15, kAspPropScalarValue), 0.5f);
}

TEST_F(PlugInHost, StartsOnTheFirstClientAndStopsOnTheLast) {
  ASSERT_EQ(host().startDevice(kVeltoOut1), kAspNoError);
  ASSERT_EQ(host().startDevice(kVeltoOut1), kAspNoError);
  ASSERT_EQ(host().stopDevice(kVeltoOut1), kAspNoError);
  EXPECT_EQ(getU32(host(), kVeltoOut1, kAspPropIsRunning), 1u) << "one client is left";
  // A stop from a device that never started must not stop its partner's ring.
  ASSERT_EQ(host().stopDevice(kVeltoOut1Feed), kAspNoError);
  EXPECT_EQ(getU32(host(), kVeltoOut1, kAspPropIsRunning), 1u);
  ASSERT_EQ(host().stopDevice(kVeltoOut1), kAspNoError);
  EXPECT_EQ(getU32(host(), kVeltoOut1, kAspPropIsRunning), 0u);
  ASSERT_EQ(host().stopDevice(kVeltoOut1), kAspNoError);
  EXPECT_EQ(getU32(host(), kVeltoOut1, kAspPropIsRunning), 0u);
}

TEST_F(PlugInHost, ChangeHandlerCanBeReplacedAndRemoved) {
  int first = 0;
  int second = 0;
  host().setChangeHandler([&](AspObjectId, const std::vector<AspPropertyAddress>&) { ++first; });
  ASSERT_EQ(setU32(host(), 16, kAspPropBooleanValue, 1), kAspNoError);
  host().setChangeHandler([&](AspObjectId, const std::vector<AspPropertyAddress>&) { ++second; });
  ASSERT_EQ(setU32(host(), 16, kAspPropBooleanValue, 0), kAspNoError);
  host().setChangeHandler(nullptr);
  ASSERT_EQ(setU32(host(), 16, kAspPropBooleanValue, 1), kAspNoError);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1);
}

TEST(PlistReader, ReadsStringAndIntegerValues) {
  const std::string text = "<?xml version=\"1.0\"?>\n<plist version=\"1.0\">\n<dict>\n"
                           "\t<key>CFBundleExecutable</key>\n\t<string>Velto</string>\n"
                           "\t<key>CFBundleVersion</key>\n  <integer>42</integer>\n"
                           "\t<key>Escaped</key><string>a &amp; b &lt;c&gt;</string>\n"
                           "\t<key>Flag</key><true/>\n"
                           "\t<key>Unclosed</key><string>oops\n"
                           "</dict>\n</plist>\n";
  struct Case {
    const char* key;
    bool found;
    const char* value;
  };
  for (Case c :
       {Case{"CFBundleExecutable", true, "Velto"}, Case{"CFBundleVersion", true, "42"},
        Case{"Escaped", true, "a & b <c>"}, Case{"Flag", false, ""}, Case{"Unclosed", false, ""},
        Case{"Missing", false, ""}, Case{"Velto", false, ""}}) {
    SCOPED_TRACE(c.key);
    std::string value = "unchanged";
    EXPECT_EQ(platform::audio::plistValue(text, c.key, &value), c.found);
    if (c.found) {
      EXPECT_EQ(value, c.value);
    }
  }
}

class StorageFileTest : public DriverTest {
protected:
  std::string path() const { return root_ + "/store/Test.values"; }
};

AspStoredValue number(uint32_t kind, double value) {
  AspStoredValue stored{};
  stored.kind = kind;
  stored.number = value;
  return stored;
}

TEST_F(StorageFileTest, ValuesRoundTripThroughTheFile) {
  AspStoredValue text{};
  text.kind = kAspValueText;
  snprintf(text.text, sizeof text.text, "%s", "tab\there\nnew line \\ backslash");
  {
    StorageFile store(path());
    ASSERT_EQ(store.write("a.volume", number(kAspValueFloat32, 0.1f)), kAspNoError);
    ASSERT_EQ(store.write("a.mute", number(kAspValueInt32, -7)), kAspNoError);
    ASSERT_EQ(store.write("a.name", text), kAspNoError);
    ASSERT_EQ(store.write("gone", number(kAspValueInt32, 1)), kAspNoError);
    ASSERT_EQ(store.remove("gone"), kAspNoError);
    EXPECT_EQ(store.remove("gone"), kAspUnknownProperty);
  }
  EXPECT_FALSE(fs::exists(path() + ".tmp"));
  StorageFile again(path());
  AspStoredValue out{};
  ASSERT_EQ(again.copy("a.volume", &out), kAspNoError);
  EXPECT_EQ(out.kind, kAspValueFloat32);
  EXPECT_EQ(float(out.number), 0.1f);
  ASSERT_EQ(again.copy("a.mute", &out), kAspNoError);
  EXPECT_EQ(out.kind, kAspValueInt32);
  EXPECT_EQ(out.number, -7.0);
  ASSERT_EQ(again.copy("a.name", &out), kAspNoError);
  EXPECT_EQ(out.kind, kAspValueText);
  EXPECT_STREQ(out.text, text.text);
  EXPECT_EQ(again.copy("gone", &out), kAspUnknownProperty);
  EXPECT_EQ(out.kind, kAspValueNone);
}

TEST_F(StorageFileTest, RefusedWritesChangeNothing) {
  StorageFile store(path());
  ASSERT_EQ(store.write("kept", number(kAspValueInt32, 1)), kAspNoError);
  std::string before = readFile(path());
  EXPECT_EQ(store.write("bad\tkey", number(kAspValueInt32, 2)), kAspUnsupportedFormat);
  EXPECT_EQ(store.write("bad\nkey", number(kAspValueInt32, 2)), kAspUnsupportedFormat);
  EXPECT_EQ(store.write("", number(kAspValueInt32, 2)), kAspUnsupportedFormat);
  EXPECT_EQ(store.write(nullptr, number(kAspValueInt32, 2)), kAspUnsupportedFormat);
  EXPECT_EQ(store.write("kind", number(kAspValueNone, 2)), kAspUnsupportedFormat);
  EXPECT_EQ(readFile(path()), before);
  // A text that fills its whole field without an end is cut, not over-read.
  AspStoredValue full{};
  full.kind = kAspValueText;
  memset(full.text, 'x', sizeof full.text);
  ASSERT_EQ(store.write("full", full), kAspNoError);
  AspStoredValue out{};
  ASSERT_EQ(store.copy("full", &out), kAspNoError);
  EXPECT_EQ(strlen(out.text), sizeof out.text - 1);
}

TEST_F(StorageFileTest, UnwritableFileFailsAndKeepsTheOldValue) {
  writeFile(root_ + "/store/blocker", "a file where a folder should be");
  StorageFile store(root_ + "/store/blocker/Test.values");
  EXPECT_EQ(store.write("k", number(kAspValueInt32, 1)), kAspUnsupportedOperation);
  AspStoredValue out{};
  EXPECT_EQ(store.copy("k", &out), kAspUnknownProperty);
}

} // namespace
} // namespace velto::test
