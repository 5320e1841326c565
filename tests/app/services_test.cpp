// The shell's services behind their hooks: the login item and its entry's Exec line, the
// choosers and the reveal with recording stand-ins on PATH, the intro sound's player, and paths
// that reach a child byte for byte as one argument.
#include "services_fixture.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "api/hooks.h"
#include "app/choosers.h"
#include "app/intro_sound.h"
#include "app/login_item.h"
#include "app/reveal.h"
#include "app/services.h"
#include "app/user_defaults.h"
#include "ui/window.h"

namespace velto::test {
namespace {

namespace fs = std::filesystem;

using Args = std::vector<std::string>;

// A launcher's reading of an Exec value: the value escapes first, then the quoting rules of
// the arguments (a backslash in double quotes takes the next character), then "%%".
Args execArguments(const std::string& value) {
  std::string text;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      text += value[i];
      continue;
    }
    const char c = value[++i];
    text += c == 's' ? ' ' : c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
  }
  Args args;
  std::string arg;
  bool quoted = false, any = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted && c == '\\' && i + 1 < text.size()) {
      arg += text[++i];
    } else if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (c == ' ' && !quoted) {
      if (any) args.push_back(arg);
      arg.clear();
      any = false;
    } else if (c == '%' && i + 1 < text.size() && text[i + 1] == '%') {
      arg += text[++i];
      any = true;
    } else {
      arg += c;
      any = true;
    }
  }
  if (any) args.push_back(arg);
  return args;
}

std::string execValue(const std::string& entryPath) {
  std::ifstream in(entryPath, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Exec=", 0) == 0) return line.substr(5);
  }
  return {};
}

// Program paths a user may really have, and ones that would run code if spliced into a
// command text.
const char* const kAwkwardFolders[] = {
    "plain",          "Mein Ordner mit Leerzeichen",     "quote\"s and 'single' quotes",
    "$(touch PWNED)", "`touch PWNED` and \\back\\slash", "100% $HOME ${PATH} ; | & < > * ? # ~",
};

class ShellServices : public ServicesTest {};

TEST_F(ShellServices, LoginItemFollowsTheSwitchAndStartsTheProgramByItsExactPath) {
  installServices(true);
  const AppHooks& hooks = appHooks();
  ASSERT_NE(hooks.autostartEnabled, nullptr);
  ASSERT_NE(hooks.setAutostart, nullptr);
  const std::string entry = base + "/config/autostart/velto.desktop";
  EXPECT_EQ(autostartEntryPath(), entry);
  for (const char* folder : kAwkwardFolders) {
    const std::string dir = base + "/" + folder;
    fs::create_directories(dir);
    serviceSetup().programPath = dir + "/velto";
    writeStandIn(serviceSetup().programPath, "");

    std::string error = "unberührt";
    ASSERT_TRUE(hooks.setAutostart(true, error)) << folder;
    EXPECT_EQ(error, "unberührt");
    EXPECT_TRUE(hooks.autostartEnabled()) << folder;
    std::string registered;
    EXPECT_TRUE(userDefault(kLoginItemDefault, registered));
    EXPECT_EQ(registered, serviceSetup().programPath);
    // Read as a launcher reads it, the entry names exactly the program, as one argument...
    const Args exec = execArguments(execValue(entry));
    ASSERT_EQ(exec, Args{serviceSetup().programPath}) << execValue(entry);
    // ...and starting it that way reaches the program itself.
    const pid_t pid = [&] {
      std::vector<char*> argv = {const_cast<char*>(exec[0].c_str()), nullptr};
      const pid_t child = ::fork();
      if (child == 0) {
        ::execv(argv[0], argv.data());
        ::_exit(127);
      }
      return child;
    }();
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(recorded(serviceSetup().programPath), Args{serviceSetup().programPath}) << folder;

    ASSERT_TRUE(hooks.setAutostart(false, error));
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_FALSE(hooks.autostartEnabled());
    EXPECT_FALSE(userDefault(kLoginItemDefault, registered));
  }
  EXPECT_FALSE(fs::exists(base + "/PWNED"));
  EXPECT_FALSE(fs::exists("PWNED"));
  // Only the entry itself was ever left behind in the folder, never a temporary file.
  EXPECT_TRUE(fs::is_empty(base + "/config/autostart"));
}

TEST_F(ShellServices, LoginItemOverTheApiAndItsRepairAtLaunch) {
  installServices(true);
  EXPECT_EQ(call("GET", "/settings/autostart").body, "false");
  EXPECT_EQ(call("POST", "/settings/autostart", "on").status, 200);
  EXPECT_EQ(call("GET", "/settings/autostart").body, "true");
  EXPECT_EQ(execValue(autostartEntryPath()), "\"" + program + "\"");

  // Moved: the entry still starts the old path until the next launch registers the new one.
  const std::string moved = base + "/program/velto-moved";
  writeStandIn(moved, "");
  serviceSetup().programPath = moved;
  EXPECT_EQ(execValue(autostartEntryPath()), "\"" + program + "\"");
  installServices(false);
  EXPECT_EQ(execValue(autostartEntryPath()), "\"" + moved + "\"");
  std::string registered;
  ASSERT_TRUE(userDefault(kLoginItemDefault, registered));
  EXPECT_EQ(registered, moved);

  // A hidden entry counts as off, and the repair leaves it alone.
  std::ofstream(autostartEntryPath(), std::ios::app) << "Hidden=true\n";
  EXPECT_EQ(call("GET", "/settings/autostart").body, "false");
  serviceSetup().programPath = program;
  installServices(false);
  EXPECT_EQ(execValue(autostartEntryPath()), "\"" + moved + "\"");

  EXPECT_EQ(call("POST", "/settings/autostart", "off").status, 200);
  EXPECT_FALSE(fs::exists(autostartEntryPath()));
  EXPECT_FALSE(userDefault(kLoginItemDefault, registered));
  // A folder for the entry that cannot be made: refused with the system's reason.
  setenv("XDG_CONFIG_HOME", (program + "/not-a-folder").c_str(), 1);
  const HttpResponse refused = call("POST", "/settings/autostart", "on");
  EXPECT_EQ(refused.status, 400);
  EXPECT_NE(refused.body.find("\"error\":"), std::string::npos);
  EXPECT_FALSE(userDefault(kLoginItemDefault, registered));
}

enum class Pick { Folder, File, Save };

TEST_F(ShellServices, ChoosersRunTheToolAndReturnWhatWasChosen) {
  struct Case {
    const char* tool;
    Pick pick;
    const char* reply; // what the tool prints
    int status;        // its exit status (1: cancelled)
    Args expected;     // its arguments after its own name
    const char* result;
  };
  const std::string start = base + "/Meine Pads";
  const Case cases[] = {
      {"zenity",
       Pick::Folder,
       "/x/Pads mit $(x)\n",
       0,
       {"--file-selection", "--directory", "--title=Ordner mit Audiodateien für die Pads",
        "--filename=" + start + "/"},
       "/x/Pads mit $(x)"},
      {"zenity",
       Pick::Folder,
       "",
       1,
       {"--file-selection", "--directory", "--title=Ordner mit Audiodateien für die Pads",
        "--filename=" + start + "/"},
       ""},
      {"zenity",
       Pick::File,
       "/a b/c.veltoeq\n",
       0,
       {"--file-selection", "--title=Laden", "--file-filter=*.veltoeq"},
       "/a b/c.veltoeq"},
      {"zenity",
       Pick::Save,
       "/a/EQ 2.veltoeq\n",
       0,
       {"--file-selection", "--save", "--confirm-overwrite", "--title=Exportieren",
        "--filename=Mein EQ.veltoeq", "--file-filter=*.veltoeq"},
       "/a/EQ 2.veltoeq"},
      {"zenity",
       Pick::Save,
       "/ignored\n",
       1,
       {"--file-selection", "--save", "--confirm-overwrite", "--title=Exportieren",
        "--filename=Mein EQ.veltoeq", "--file-filter=*.veltoeq"},
       ""},
      {"kdialog",
       Pick::Folder,
       "/k/Pads\n",
       0,
       {"--title", "Ordner mit Audiodateien für die Pads", "--getexistingdirectory", start},
       "/k/Pads"},
      {"kdialog",
       Pick::File,
       "/k/x.veltoeq\n",
       0,
       {"--title", "Laden", "--getopenfilename", ".", "*.veltoeq"},
       "/k/x.veltoeq"},
      {"kdialog",
       Pick::Save,
       "",
       1,
       {"--title", "Exportieren", "--getsavefilename", "Mein EQ.veltoeq", "*.veltoeq"},
       ""},
  };
  for (const Case& c : cases) {
    fs::remove_all(bin);
    fs::create_directories(bin);
    standIn(c.tool, "printf '%s' '" + std::string(c.reply) + "'\nexit " + std::to_string(c.status));
    installChoosers();
    ASSERT_NE(gFolderPicker, nullptr);
    ASSERT_NE(gFilePicker, nullptr);
    ASSERT_NE(gSavePicker, nullptr);
    const std::string got = c.pick == Pick::Folder ? gFolderPicker(start)
                            : c.pick == Pick::File ? gFilePicker("veltoeq")
                                                   : gSavePicker("veltoeq", "Mein EQ");
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
  };
  const Case cases[] = {
      {{}, ChooserTool::None, false},
      {{"zenity"}, ChooserTool::Zenity, false},
      {{"kdialog", "xdg-open"}, ChooserTool::KDialog, true},
      {{"zenity", "kdialog", "xdg-open"}, ChooserTool::Zenity, true},
  };
  for (const Case& c : cases) {
    fs::remove_all(bin);
    fs::create_directories(bin);
    for (const std::string& tool : c.tools) standIn(tool, "");
    installServices(true);
    EXPECT_EQ(findChooserTool(), c.chooser);
    const bool choosers = c.chooser != ChooserTool::None;
    EXPECT_EQ(gFolderPicker != nullptr, choosers);
    EXPECT_EQ(gFilePicker != nullptr, choosers);
    EXPECT_EQ(gSavePicker != nullptr, choosers);
    EXPECT_EQ(gRevealHandler != nullptr, c.reveal);
    // The services of the other platform have nothing behind them here.
    EXPECT_EQ(gPrivacyHandler, nullptr);
    EXPECT_EQ(gIntroSound, nullptr);
    EXPECT_NE(appHooks().installDriver, nullptr);
  }
}

TEST_F(ShellServices, RevealHandsThePathOverAsOneArgument) {
  standIn("xdg-open", "");
  installReveal();
  ASSERT_NE(gRevealHandler, nullptr);
  for (const char* folder : kAwkwardFolders) {
    const std::string path = base + "/" + folder;
    fs::remove(bin + "/xdg-open.args");
    gRevealHandler(path);
    EXPECT_EQ(recordedTool("xdg-open", 5000), (Args{bin + "/xdg-open", path})) << folder;
  }
  EXPECT_FALSE(fs::exists(base + "/PWNED"));
  EXPECT_FALSE(fs::exists("PWNED"));
}

TEST_F(ShellServices, IntroSoundPlayerStartsAnewAndIsStoppedByItsPid) {
  struct Case {
    const char* player;
    Args options;
  };
  const Case cases[] = {
      {"pw-play", {}},   {"paplay", {}},
      {"aplay", {"-q"}}, {"ffplay", {"-nodisp", "-autoexit", "-loglevel", "quiet"}},
      {nullptr, {}},
  };
  const std::string sound = base + "/Intro mit $(x).wav";
  for (const Case& c : cases) {
    fs::remove_all(bin);
    fs::create_directories(bin);
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
    expected.push_back("--");
    expected.push_back(sound);
    EXPECT_EQ(recordedTool(c.player, 5000), expected);
    // A second start ends the first player; a stop ends the second. Both are reaped, so their
    // pids no longer name a process of ours.
    playIntroSound(true);
    const pid_t second = introSoundPid();
    ASSERT_GT(second, 0);
    EXPECT_NE(second, first);
    EXPECT_NE(::kill(first, 0), 0);
    playIntroSound(false);
    EXPECT_EQ(introSoundPid(), 0);
    EXPECT_NE(::kill(second, 0), 0);
    // Quitting stops a player that still plays.
    playIntroSound(true);
    const pid_t third = introSoundPid();
    ASSERT_GT(third, 0);
    stopServices();
    EXPECT_NE(::kill(third, 0), 0);
  }
}

} // namespace
} // namespace velto::test
