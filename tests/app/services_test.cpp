// The shell's services behind their hooks: the login item's entry and its Exec line, the
// choosers, the reveal and the relaunch with recording stand-ins on PATH, and the intro sound's
// player. Awkward paths must reach a child byte for byte as one argument.
#include "services_fixture.h"

#include <csignal>
#include <filesystem>
#include <fstream>

#include "api/hooks.h"
#include "app/choosers.h"
#include "app/intro_sound.h"
#include "app/login_item.h"
#include "app/quit_signals.h"
#include "app/relaunch.h"
#include "app/reveal.h"
#include "app/services.h"
#include "app/user_defaults.h"
#include "ui/window.h"

namespace velto::test {
namespace {

namespace fs = std::filesystem;

using Args = std::vector<std::string>;

std::string execValue(const std::string& entryPath) {
  std::ifstream in(entryPath, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Exec=", 0) == 0) return line.substr(5);
  }
  return {};
}

// Folder names that would run code or split in two if a path were spliced into command text.
const char* const kAwkward[] = {"Mein Ordner", "quote\"s 'n' \\back", "$(touch PWNED)",
                                "`touch PWNED`; ls | cat & 100%"};

class ShellServices : public ServicesTest {};

TEST_F(ShellServices, LoginItemFollowsTheSwitchWithTheProgramPathQuoted) {
  struct Case {
    const char* folder;
    const char* exec; // the Exec value for "<base>/<folder>/velto", with <base> as "@"
  };
  // Inside the quotes '"', '`', '$' and '\' take a backslash, which the value escaping doubles;
  // a '%' is doubled.
  const Case cases[] = {
      {"plain", "\"@/plain/velto\""},
      {"Mein Ordner", "\"@/Mein Ordner/velto\""},
      {"quote\"s 'n' \\back", "\"@/quote\\\\\"s 'n' \\\\\\\\back/velto\""},
      {"$(touch PWNED)", "\"@/\\\\$(touch PWNED)/velto\""},
      {"`x`; 100%", "\"@/\\\\`x\\\\`; 100%%/velto\""},
  };
  installServices(true);
  const std::string entry = base + "/config/autostart/velto.desktop";
  EXPECT_EQ(autostartEntryPath(), entry);
  for (const Case& c : cases) {
    serviceSetup().programPath = base + "/" + c.folder + "/velto";
    EXPECT_EQ(call("POST", "/settings/autostart", "on").status, 200) << c.folder;
    EXPECT_EQ(call("GET", "/settings/autostart").body, "true");
    std::string exec = c.exec;
    exec.replace(exec.find('@'), 1, base);
    EXPECT_EQ(execValue(entry), exec);
    std::string registered;
    EXPECT_TRUE(userDefault(kLoginItemDefault, registered));
    EXPECT_EQ(registered, serviceSetup().programPath);
    EXPECT_EQ(call("POST", "/settings/autostart", "off").status, 200);
    EXPECT_EQ(call("GET", "/settings/autostart").body, "false");
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_FALSE(userDefault(kLoginItemDefault, registered));
  }
  // No temporary file is ever left beside the entry.
  EXPECT_TRUE(fs::is_empty(base + "/config/autostart"));

  // Registered from another path: the next launch registers this one; a hidden entry is off.
  EXPECT_EQ(call("POST", "/settings/autostart", "on").status, 200);
  serviceSetup().programPath = program;
  installServices(false);
  EXPECT_EQ(execValue(entry), "\"" + program + "\"");
  std::ofstream(entry, std::ios::app) << "Hidden=true\n";
  EXPECT_EQ(call("GET", "/settings/autostart").body, "false");
  // A folder for the entry that cannot be made: refused, the user default untouched.
  setenv("XDG_CONFIG_HOME", (program + "/no-folder").c_str(), 1);
  EXPECT_EQ(call("POST", "/settings/autostart", "on").status, 400);
  std::string registered;
  EXPECT_TRUE(userDefault(kLoginItemDefault, registered));
  EXPECT_EQ(registered, program);
}

enum class Pick { Folder, File, Save };

TEST_F(ShellServices, ChoosersRunTheToolAndReturnWhatWasChosen) {
  struct Case {
    const char* tool;
    Pick pick;
    const char* reply; // what the tool prints
    int status;        // its exit status (1: cancelled)
    Args expected;     // its arguments
    const char* result;
  };
  // The caller's title names the folder's use; the Part's button texts are the OK labels.
  const std::string start = base + "/Meine Pads", title = "Ordner mit Audiodateien für den Player";
  const Args zFolder = {"--file-selection", "--directory", "--title=" + title,
                        "--ok-label=W\xC3\xA4hlen", "--filename=" + start + "/"};
  const Args zFile = {"--file-selection", "--ok-label=Laden", "--file-filter=*.veltoeq"};
  const Args zSave = {"--file-selection",        "--save",
                      "--confirm-overwrite",     "--ok-label=Exportieren",
                      "--filename=EQ 1.veltoeq", "--file-filter=*.veltoeq"};
  const Args kFolder = {"--title", title, "--ok-label", "W\xC3\xA4hlen", "--getexistingdirectory",
                        start};
  const Args kFile = {"--ok-label", "Laden", "--getopenfilename", ".", "*.veltoeq"};
  const Args kSave = {"--ok-label", "Exportieren", "--getsavefilename", "EQ 1.veltoeq",
                      "*.veltoeq"};
  const Case cases[] = {
      {"zenity", Pick::Folder, "/x/Pads $(x)\n", 0, zFolder, "/x/Pads $(x)"},
      {"zenity", Pick::File, "/a b/c.veltoeq\n", 0, zFile, "/a b/c.veltoeq"},
      {"zenity", Pick::Save, "/a/EQ 2.veltoeq\n", 0, zSave, "/a/EQ 2.veltoeq"},
      {"zenity", Pick::Save, "/ignored\n", 1, zSave, ""}, // cancelled: what it printed is dropped
      {"kdialog", Pick::Folder, "/k/Pads\n", 0, kFolder, "/k/Pads"},
      {"kdialog", Pick::File, "/k/x.veltoeq\n", 0, kFile, "/k/x.veltoeq"},
      {"kdialog", Pick::Save, "", 1, kSave, ""},
  };
  for (const Case& c : cases) {
    clearBin();
    standIn(c.tool, "printf '%s' '" + std::string(c.reply) + "'\nexit " + std::to_string(c.status));
    installChoosers();
    ASSERT_TRUE(gFolderPicker && gFilePicker && gSavePicker);
    const std::string got = c.pick == Pick::Folder ? gFolderPicker(start, title.c_str())
                            : c.pick == Pick::File ? gFilePicker("veltoeq")
                                                   : gSavePicker("veltoeq", "EQ 1");
    EXPECT_EQ(got, c.result) << c.tool << " " << int(c.pick);
    Args expected = {bin + "/" + c.tool};
    expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    EXPECT_EQ(recordedTool(c.tool), expected) << c.tool << " " << int(c.pick);
  }
}

TEST_F(ShellServices, HooksAreFilledOnlyWithTheToolsThatExist) {
  struct Case {
    Args tools;
    ChooserTool chooser;
    bool reveal;
    const char* chooserLine; // what the window says when a chooser button is clicked
    const char* openerLine;
  };
  const char* const noChooser = "Hilfsprogramm fehlt: zenity oder kdialog";
  const char* const noOpener = "Hilfsprogramm fehlt: xdg-open";
  const Case cases[] = {
      {{}, ChooserTool::None, false, noChooser, noOpener},
      {{"zenity"}, ChooserTool::Zenity, false, "", noOpener},
      {{"kdialog", "xdg-open"}, ChooserTool::KDialog, true, "", ""},
      {{"xdg-open"}, ChooserTool::None, true, noChooser, ""},
      {{"zenity", "kdialog", "xdg-open"}, ChooserTool::Zenity, true, "", ""},
  };
  for (const Case& c : cases) {
    clearBin();
    for (const std::string& tool : c.tools) standIn(tool, "");
    installServices(true);
    EXPECT_EQ(findChooserTool(), c.chooser);
    const bool choosers = c.chooser != ChooserTool::None;
    EXPECT_EQ(gFolderPicker != nullptr, choosers);
    EXPECT_EQ(gFilePicker != nullptr, choosers);
    EXPECT_EQ(gSavePicker != nullptr, choosers);
    EXPECT_EQ(gRevealHandler != nullptr, c.reveal);
    EXPECT_EQ(missingChooserLine(), c.chooserLine);
    EXPECT_EQ(missingOpenerLine(), c.openerLine);
    EXPECT_EQ(gPrivacyHandler, nullptr); // nothing behind it on this platform
    EXPECT_TRUE(appHooks().installDriver && appHooks().setAutostart);
  }
}

TEST_F(ShellServices, RevealAndRelaunchHandThePathOverAsOneArgument) {
  standIn("xdg-open", "");
  installReveal();
  ASSERT_NE(gRevealHandler, nullptr);
  for (const char* folder : kAwkward) {
    const std::string path = base + "/" + folder;
    fs::remove(bin + "/xdg-open.args");
    gRevealHandler(path);
    EXPECT_EQ(recordedTool("xdg-open", 5000), (Args{bin + "/xdg-open", path})) << folder;

    fs::create_directories(path);
    writeStandIn(path + "/velto", "");
    clearQuitSignal();
    ASSERT_TRUE(relaunch(path + "/velto", 0));
    EXPECT_TRUE(quitRequested());
    EXPECT_EQ(recorded(path + "/velto", 5000), Args{path + "/velto"}) << folder;
  }
  EXPECT_FALSE(fs::exists(base + "/PWNED"));
  EXPECT_FALSE(fs::exists("PWNED"));
}

TEST_F(ShellServices, IntroSoundPlayerStartsAnewAndIsStoppedByItsPid) {
  struct Case {
    const char* player; // nullptr: none installed
    Args options;
  };
  const Case cases[] = {{"pw-play", {}},
                        {"paplay", {}},
                        {"aplay", {"-q"}},
                        {"ffplay", {"-nodisp", "-autoexit", "-loglevel", "quiet"}},
                        {nullptr, {}}};
  const std::string sound = base + "/Intro $(x).wav";
  for (const Case& c : cases) {
    clearBin();
    if (c.player != nullptr) standIn(c.player, "exec sleep 30");
    setIntroSoundFile(sound);
    playIntroSound(true);
    const pid_t first = introSoundPid();
    if (c.player == nullptr) {
      EXPECT_EQ(first, 0);
      continue;
    }
    ASSERT_GT(first, 0) << c.player;
    Args expected = {bin + "/" + c.player};
    expected.insert(expected.end(), c.options.begin(), c.options.end());
    expected.insert(expected.end(), {"--", sound});
    EXPECT_EQ(recordedTool(c.player, 5000), expected);
    // A new start ends the old player, and quitting ends the new one: both pids are gone.
    playIntroSound(true);
    const pid_t second = introSoundPid();
    EXPECT_TRUE(second > 0 && second != first);
    EXPECT_NE(::kill(first, 0), 0);
    stopServices();
    EXPECT_EQ(introSoundPid(), 0);
    EXPECT_NE(::kill(second, 0), 0);
  }
  // At launch the window's hook plays the resource's sound, and nothing without it.
  standIn("pw-play", "exec sleep 30");
  for (const bool present : {true, false}) {
    const std::string wav = resources + "/intro.wav";
    if (present)
      std::ofstream(wav) << "RIFF";
    else
      fs::remove(wav);
    installServices(true);
    ASSERT_NE(gIntroSound, nullptr);
    gIntroSound(true);
    EXPECT_EQ(introSoundPid() > 0, present);
    if (present) {
      EXPECT_EQ(recordedTool("pw-play", 5000), (Args{bin + "/pw-play", "--", wav}));
    }
    stopServices();
  }
  setIntroSound(nullptr);
}

} // namespace
} // namespace velto::test
