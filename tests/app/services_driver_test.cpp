// The driver's install, update and removal through the hooks and the API: the engine sees the
// driver's devices come and go, the versions read back, a failed copy leaves the previous
// driver whole, a folder that is not the user's goes through pkexec and the helper, and the
// helper refuses everything but its two requests.
#include "services_fixture.h"

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "api/hooks.h"
#include "app/child_process.h"
#include "app/driver_install.h"
#include "app/quit_signals.h"
#include "app/services.h"
#include "tests/support/test_files.h"

namespace velto::test {
namespace {

namespace fs = std::filesystem;

using Args = std::vector<std::string>;

Args entriesOf(const std::string& folder) {
  Args names;
  std::error_code error;
  for (const auto& e : fs::directory_iterator(folder, error)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

bool neverWritable(const std::string&) {
  return false;
}

class DriverServices : public ServicesTest {
protected:
  void SetUp() override {
    ServicesTest::SetUp();
    installServices(true);
  }
  // The relaunch's stand-in ran, without arguments, and this copy was asked to quit.
  bool relaunched() { return recorded(program, 5000) == Args{program} && quitRequested(); }
  void forgetRelaunch() {
    fs::remove(program + ".args");
    clearQuitSignal();
  }
};

TEST_F(DriverServices, InstallUpdateAndRemoveChangeTheEngineAndTheVersions) {
  struct Step {
    const char* bundled; // the delivered bundle's version before the step ("" unchanged)
    const char* body;
    const char* answer;
    bool devices;
  };
  const Step steps[] = {
      {"", "install", "{\"installed\":1,\"bundled\":1}", true},
      {"2", "install", "{\"installed\":2,\"bundled\":2}", true},
      {"", "uninstall", "{\"installed\":0,\"bundled\":2}", false},
      {"", "uninstall", "{\"installed\":0,\"bundled\":2}", false},
      {"3.1.4", "install", "{\"installed\":3,\"bundled\":3}", true},
  };
  EXPECT_EQ(call("GET", "/settings/driver").body, "{\"installed\":0,\"bundled\":1}");
  EXPECT_FALSE(engineSeesDriver());
  for (const Step& s : steps) {
    if (s.bundled[0] != '\0') setBundleVersion(resources + "/Velto.driver", s.bundled);
    const HttpResponse r = call("POST", "/settings/driver", s.body);
    EXPECT_EQ(r.status, 200) << s.body << " " << r.body;
    EXPECT_EQ(r.body, s.answer);
    settle();
    EXPECT_EQ(engineSeesDriver(), s.devices) << s.body;
    EXPECT_TRUE(relaunched()) << s.body;
    forgetRelaunch();
    // Nothing but the driver itself is ever left in the plug-in folder.
    EXPECT_EQ(entriesOf(fs::path(installedDriver()).parent_path()),
              s.devices ? Args{"Velto.driver"} : Args{});
  }
}

TEST_F(DriverServices, AFailedCopyLeavesThePreviousDriverInPlace) {
  std::string error;
  ASSERT_TRUE(appHooks().installDriver(true, error));
  settle();
  ASSERT_TRUE(engineSeesDriver());
  ASSERT_TRUE(relaunched());
  forgetRelaunch();
  const std::string plist = fileText(installedDriver() + "/Contents/Info.plist");
  const std::string library = fileText(installedDriver() + "/Contents/Linux/Velto.so");
  ASSERT_FALSE(library.empty());

  struct Case {
    const char* name;
    void (*spoil)(const std::string& bundle);
    const char* error;
  };
  const Case cases[] = {
      {"a file that cannot be read",
       [](const std::string& b) {
         fs::create_symlink(b + "/nowhere", b + "/Contents/Linux/Zzz.so");
       },
       "fehlgeschlagen"},
      {"a file that cannot be copied",
       [](const std::string& b) { ::mkfifo((b + "/Contents/Pipe").c_str(), 0644); },
       "fehlgeschlagen"},
      {"no bundle delivered", [](const std::string& b) { fs::remove_all(b); },
       "Treiber fehlt in der App"},
  };
  for (const Case& c : cases) {
    const std::string bundle = resources + "/Velto.driver";
    fs::remove_all(bundle);
    fs::copy(VELTO_TEST_DRIVER_BUNDLE, bundle, fs::copy_options::recursive);
    setBundleVersion(bundle, "5");
    c.spoil(bundle);
    const HttpResponse r = call("POST", "/settings/driver", "install");
    EXPECT_EQ(r.status, 400) << c.name;
    EXPECT_EQ(r.body, "{\"error\":\"" + std::string(c.error) + "\"}") << c.name;
    settle();
    EXPECT_EQ(appHooks().installedDriverVersion(), 1) << c.name;
    EXPECT_EQ(fileText(installedDriver() + "/Contents/Info.plist"), plist) << c.name;
    EXPECT_EQ(fileText(installedDriver() + "/Contents/Linux/Velto.so"), library) << c.name;
    EXPECT_EQ(entriesOf(fs::path(installedDriver()).parent_path()), Args{"Velto.driver"});
    EXPECT_TRUE(engineSeesDriver()) << c.name;
    EXPECT_FALSE(quitRequested()) << c.name;
    EXPECT_TRUE(recorded(program).empty()) << c.name;
  }
  // Removing needs no delivered bundle.
  ASSERT_TRUE(appHooks().installDriver(false, error));
  settle();
  EXPECT_FALSE(engineSeesDriver());
  EXPECT_EQ(appHooks().installedDriverVersion(), 0);
}

TEST_F(DriverServices, AFolderThatIsNotOursGoesThroughPkexecAndTheHelper) {
  serviceSetup().folderWritable = neverWritable;
  const std::string root = fs::canonical(system->systemRoot()).string();
  struct Case {
    const char* pkexec; // the stand-in's behaviour; nullptr: none installed
    const char* body;
    int status;
    const char* answer;
    bool devices;
  };
  const Case cases[] = {
      {"exit 126", "install", 400, "{\"error\":\"abgebrochen\"}", false},
      {"exit 127", "install", 400, "{\"error\":\"fehlgeschlagen\"}", false},
      {nullptr, "install", 400, "{\"error\":\"fehlgeschlagen\"}", false},
      {"exec \"$@\"", "install", 200, "{\"installed\":1,\"bundled\":1}", true},
      {"exit 126", "uninstall", 400, "{\"error\":\"abgebrochen\"}", true},
      {"exec \"$@\"", "uninstall", 200, "{\"installed\":0,\"bundled\":1}", false},
  };
  for (const Case& c : cases) {
    clearBin();
    if (c.pkexec != nullptr) standIn("pkexec", c.pkexec);
    const HttpResponse r = call("POST", "/settings/driver", c.body);
    EXPECT_EQ(r.status, c.status) << c.pkexec << " " << c.body;
    EXPECT_EQ(r.body, c.answer) << c.pkexec << " " << c.body;
    settle();
    EXPECT_EQ(engineSeesDriver(), c.devices) << c.pkexec << " " << c.body;
    if (c.pkexec != nullptr) {
      const std::string op = std::string(c.body) == "install" ? "install" : "remove";
      EXPECT_EQ(recordedTool("pkexec"), (Args{bin + "/pkexec", VELTO_DRIVER_HELPER, op, root}));
    }
    // Only a change that happened relaunches.
    if (c.status == 200) {
      EXPECT_TRUE(relaunched()) << c.body;
    } else {
      EXPECT_FALSE(quitRequested()) << c.pkexec << " " << c.body; // asked at once by a relaunch
    }
    forgetRelaunch();
  }
}

TEST_F(DriverServices, TheHelperAcceptsOnlyItsTwoRequestsOnAResolvedRoot) {
  const std::string root = fs::canonical(system->systemRoot()).string();
  const std::string helper = VELTO_DRIVER_HELPER;
  const std::string link = base + "/root-link";
  fs::create_symlink(root, link);
  struct Case {
    Args args;
    int status;
    bool installed;
  };
  const Case cases[] = {
      {{}, 2, false},
      {{"install"}, 2, false},
      {{"format", root}, 2, false},
      {{"install", "relative/root"}, 2, false},
      {{"install", root + "/../" + fs::path(root).filename().string()}, 2, false},
      {{"install", link}, 2, false},
      {{"install", root + "/missing"}, 2, false},
      {{"install", root, "/elsewhere"}, 2, false},
      {{"remove", root}, 0, false},
      {{"install", root}, 0, true},
      {{"install", root}, 0, true},
      {{"remove", root}, 0, false},
  };
  for (const Case& c : cases) {
    Args args = {"velto-driver-helper"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(runProcess(helper, args), c.status) << testing::PrintToString(c.args);
    EXPECT_EQ(fs::exists(installedDriver()), c.installed) << testing::PrintToString(c.args);
    EXPECT_FALSE(fs::exists(root + "/missing"));
  }
}

TEST(DriverVersion, ReadsTheLeadingNumberOfTheBundleVersion) {
  struct Case {
    const char* entry; // after the key; nullptr: no key; "-": no file
    int version;
  };
  const Case cases[] = {{"<string>1</string>", 1},
                        {"<string>12.3.4</string>", 12},
                        {"<integer>7</integer>", 7},
                        {"<string>beta3</string>", 0},
                        {"<string></string>", 0},
                        {"<string>99999999999</string>", INT32_MAX},
                        {nullptr, 0},
                        {"-", 0}};
  const fixtures::TempFolder folder;
  ASSERT_FALSE(folder.path.empty());
  const std::string bundle = folder.path + "/Velto.driver";
  for (const Case& c : cases) {
    fs::remove_all(bundle);
    if (c.entry == nullptr || std::string(c.entry) != "-") {
      fs::create_directories(bundle + "/Contents");
      std::ofstream(bundle + "/Contents/Info.plist")
          << "<plist version=\"1.0\">\n<dict>\n<key>CFBundleName</key><string>Velto</string>\n"
          << (c.entry ? std::string("<key>CFBundleVersion</key>") + c.entry : "")
          << "\n</dict>\n</plist>\n";
    }
    EXPECT_EQ(driverVersion(bundle), c.version) << (c.entry ? c.entry : "(no key)");
  }
  EXPECT_EQ(driverVersion(""), 0);
}

} // namespace
} // namespace velto::test
