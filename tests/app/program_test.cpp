// The built program under a virtual X server: the window, documentation and help snapshots
// (size and colours in solid regions), a snapshot path that cannot be written, and a normal run
// with the API on that answers HTTP while it draws, then saves and frees its port on SIGTERM.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <spawn.h>
#include <sstream>
#include <stb_image.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/support/free_port.h"
#include "ui/style.h"

#include "program_run.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using velto::test::freePort;

bool haveXvfbRun() {
  return ::access("/usr/bin/xvfb-run", X_OK) == 0;
}

// A fresh HOME and system root for one run of the program.
struct ProgramRun {
  ProgramRun() {
    base = fs::temp_directory_path() /
           ("velto-program-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fs::create_directories(base / "home");
    fs::create_directories(base / "root");
  }
  ~ProgramRun() {
    std::error_code ignored;
    fs::remove_all(base, ignored);
  }
  std::string home() const { return (base / "home").string(); }
  std::string config() const { return home() + "/Library/Application Support/Velto/config.txt"; }

  // Starts `velto` under xvfb-run with the extra variables; returns the xvfb-run pid.
  pid_t start(const std::vector<std::string>& extra) {
    std::vector<std::string> env = {
        "HOME=" + home(), "VELTO_SYSTEM_ROOT=" + (base / "root").string(), "PATH=/usr/bin:/bin",
        // Leaks in the GL and X libraries are not ours to report.
        "ASAN_OPTIONS=detect_leaks=0"};
    env.insert(env.end(), extra.begin(), extra.end());
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    // Suites run side by side: each run starts its search for a free display elsewhere, as
    // two xvfb-run picking the same number at once makes one of them fail.
    const std::string display = std::to_string(100 + (::getpid() * 7 + starts++ * 13) % 800);
    const std::string status = (base / ("status-" + std::to_string(starts))).string();
    std::vector<std::string> args = velto::test::xvfbArguments(display, VELTO_PROGRAM, status);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, "/usr/bin/xvfb-run", nullptr, nullptr, argv.data(), envp.data()) != 0)
      return -1;
    statusFiles[pid] = status;
    return pid;
  }

  // The program's exit status, or -1 when it did not end within `timeout` (then it is killed).
  int waitExit(pid_t pid, std::chrono::seconds timeout) {
    const int status = velto::test::waitForChild(pid, timeout);
    return status < 0 ? status : velto::test::programStatus(status, statusFiles[pid]);
  }

  fs::path base;
  std::map<pid_t, std::string> statusFiles;
  static inline int counter = 0;
  static inline int starts = 0;
};

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// As a server would bind it: connections the old one closed may linger in TIME_WAIT.
bool canBind(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

struct Image {
  int width = 0, height = 0;
  std::vector<uint8_t> rgba;
  const uint8_t* at(int x, int y) const { return rgba.data() + (size_t(y) * width + x) * 4; }
};

Image decode(const std::string& path) {
  Image image;
  int channels = 0;
  stbi_uc* data = stbi_load(path.c_str(), &image.width, &image.height, &channels, 4);
  if (data != nullptr) {
    image.rgba.assign(data, data + size_t(image.width) * image.height * 4);
    stbi_image_free(data);
  }
  return image;
}

// Whether some 12 x 12 block of the image is the colour throughout (within 2 of 255 per channel).
bool hasSolidBlock(const Image& image, const ImVec4& colour) {
  const int want[3] = {int(std::lround(colour.x * 255)), int(std::lround(colour.y * 255)),
                       int(std::lround(colour.z * 255))};
  auto near = [&](int x, int y) {
    const uint8_t* p = image.at(x, y);
    for (int c = 0; c < 3; ++c)
      if (std::abs(int(p[c]) - want[c]) > 2) return false;
    return true;
  };
  constexpr int kBlock = 12;
  for (int y = 0; y + kBlock <= image.height; y += kBlock / 2) {
    for (int x = 0; x + kBlock <= image.width; x += kBlock / 2) {
      bool solid = true;
      for (int dy = 0; dy < kBlock && solid; ++dy)
        for (int dx = 0; dx < kBlock && solid; ++dx) solid = near(x + dx, y + dy);
      if (solid) return true;
    }
  }
  return false;
}

TEST(Program, SnapshotIsTheWindowsSizeInTheStylesColoursOrFailsLoudly) {
  if (!haveXvfbRun()) GTEST_SKIP() << "xvfb-run is not installed";
  struct Case {
    const char* size; // VELTO_SIZE, null for unset
    int width, height;
    bool writable;
  };
  const Case cases[] = {
      {nullptr, 1460, 800, true},
      {"1200x700", 1200, 700, true},
      {"0x700", 1460, 800, true}, // not a size: ignored
      {nullptr, 0, 0, false},
  };
  for (const Case& c : cases) {
    ProgramRun run;
    const std::string path = c.writable ? (run.base / "shot.png").string()
                                        : (run.base / "missing" / "shot.png").string();
    std::vector<std::string> env = {"VELTO_SNAPSHOT=" + path};
    if (c.size) env.push_back(std::string("VELTO_SIZE=") + c.size);
    const pid_t pid = run.start(env);
    ASSERT_GT(pid, 0);
    const int status = run.waitExit(pid, 60s);
    const std::string label = c.size ? c.size : "default";
    if (!c.writable) {
      EXPECT_NE(status, 0) << "unwritable path";
      EXPECT_NE(status, -1) << "unwritable path: the program must end";
      EXPECT_FALSE(fs::exists(path));
      continue;
    }
    EXPECT_EQ(status, 0) << label;
    const Image image = decode(path);
    EXPECT_EQ(image.width, c.width) << label;
    EXPECT_EQ(image.height, c.height) << label;
    EXPECT_TRUE(hasSolidBlock(image, velto::kBg)) << label << ": window colour";
    EXPECT_TRUE(hasSolidBlock(image, velto::kCardBg)) << label << ": card colour";
    // Snapshots save nothing.
    EXPECT_FALSE(fs::exists(run.config())) << label;
  }
}

// The longest horizontal run of pixels in `colour` (within 2 per channel) in any row.
int longestRow(const Image& image, const ImVec4& colour) {
  const int want[3] = {int(std::lround(colour.x * 255)), int(std::lround(colour.y * 255)),
                       int(std::lround(colour.z * 255))};
  int best = 0;
  for (int y = 0; y < image.height; ++y) {
    int run = 0;
    for (int x = 0; x < image.width; ++x) {
      const uint8_t* p = image.at(x, y);
      bool near = true;
      for (int c = 0; c < 3; ++c) near = near && std::abs(int(p[c]) - want[c]) <= 2;
      run = near ? run + 1 : 0;
      best = std::max(best, run);
    }
  }
  return best;
}

TEST(Program, DocsSnapshotIsTheDocumentationWindowOrFailsLoudly) {
  if (!haveXvfbRun()) GTEST_SKIP() << "xvfb-run is not installed";
  for (const bool writable : {true, false}) {
    ProgramRun run;
    const std::string path =
        writable ? (run.base / "docs.png").string() : (run.base / "missing" / "docs.png").string();
    const pid_t pid = run.start({"VELTO_DOCS_SNAPSHOT=" + path});
    ASSERT_GT(pid, 0);
    const int status = run.waitExit(pid, 60s);
    EXPECT_FALSE(fs::exists(run.config())) << "snapshots save nothing";
    if (!writable) {
      EXPECT_GT(status, 0) << "a picture that was not written is no success";
      EXPECT_FALSE(fs::exists(path));
      continue;
    }
    EXPECT_EQ(status, 0);
    const Image image = decode(path);
    EXPECT_EQ(image.width, 920);
    EXPECT_EQ(image.height, 760);
    EXPECT_TRUE(hasSolidBlock(image, ImVec4(0.11f, 0.12f, 0.15f, 1))) << "window background";
    // The documentation has second-level headings: their rule runs across the text's width
    // (the window less the scroll bar and the insets of 36 on either side).
    EXPECT_GT(longestRow(image, ImVec4(0.26f, 0.27f, 0.33f, 1)), 920 - 72 - 30);
  }
}

TEST(Program, HelpSnapshotIsTheHelpWindowAtTheKeyOrFailsLoudly) {
  if (!haveXvfbRun()) GTEST_SKIP() << "xvfb-run is not installed";
  struct Case {
    const char* key; // VELTO_HELP_KEY, null for unset
    bool writable;
  };
  const Case cases[] = {
      {nullptr, true}, {"board#Karte#FX", true}, {"nonexistent", true}, {nullptr, false}};
  for (const Case& c : cases) {
    ProgramRun run;
    const std::string path = c.writable ? (run.base / "help.png").string()
                                        : (run.base / "missing" / "help.png").string();
    std::vector<std::string> env = {"VELTO_HELP_SNAPSHOT=" + path};
    if (c.key) env.push_back(std::string("VELTO_HELP_KEY=") + c.key);
    const pid_t pid = run.start(env);
    ASSERT_GT(pid, 0);
    const int status = run.waitExit(pid, 60s);
    const std::string label = c.key ? c.key : "default";
    EXPECT_FALSE(fs::exists(run.config())) << label << ": snapshots save nothing";
    if (!c.writable) {
      EXPECT_GT(status, 0) << "a picture that was not written is no success";
      EXPECT_FALSE(fs::exists(path));
      continue;
    }
    EXPECT_EQ(status, 0) << label;
    const Image image = decode(path);
    ASSERT_EQ(image.width, 1040) << label;
    ASSERT_EQ(image.height, 780) << label;
    // The sidebar down the left 220 points, the page's background beside it (below the titles
    // and the page's text).
    const ImVec4 sidebar(0.15f, 0.16f, 0.2f, 1), page(0.11f, 0.12f, 0.15f, 1);
    for (const auto& [x, colour] : {std::pair{10, sidebar}, std::pair{210, sidebar},
                                    std::pair{230, page}, std::pair{1000, page}}) {
      const uint8_t* p = image.at(x, 770);
      EXPECT_NEAR(p[0], colour.x * 255, 2) << label << " at x " << x;
      EXPECT_NEAR(p[1], colour.y * 255, 2) << label << " at x " << x;
      EXPECT_NEAR(p[2], colour.z * 255, 2) << label << " at x " << x;
    }
  }
}

// Bounds generous enough for a machine with twice as many busy threads as cores: the program's
// start under xvfb-run, its hand-over and its shut-down take many times longer there.
constexpr std::chrono::seconds kStartTime{90};
constexpr std::chrono::seconds kExitTime{90};

// The reply of the first GET that gets a 200 within kStartTime; else the last reply (empty when
// nothing answered). A 503 is the program saying it is too busy to answer in time: asked again.
std::string firstAnswer(int port, const std::string& path) {
  const auto end = std::chrono::steady_clock::now() + kStartTime;
  std::string reply;
  while (std::chrono::steady_clock::now() < end) {
    reply = velto::test::httpGet(port, path);
    if (reply.find(" 200 ") != std::string::npos) break;
    std::this_thread::sleep_for(50ms);
  }
  return reply;
}

TEST(Program, AnswersHttpWhileDrawingHandsOverToASecondCopyAndSavesOnSigterm) {
  if (!haveXvfbRun()) GTEST_SKIP() << "xvfb-run is not installed";
  ProgramRun run;
  const int port = freePort();
  ASSERT_GT(port, 0);
  fs::create_directories(fs::path(run.config()).parent_path());
  std::ofstream(run.config()) << "# velto-config 2\nsettings/api/port=" << port
                              << "\nsettings/api/enabled=on\nhardware/inputs/1/gain=-6\n";
  const std::string lock = fs::path(run.config()).parent_path() / "velto.lock";
  auto lockPid = [&] { return pid_t(std::atol(readFile(lock).c_str())); };

  const pid_t first = run.start({});
  ASSERT_GT(first, 0);
  const std::string reply = firstAnswer(port, "/hardware/inputs/1/gain");
  EXPECT_NE(reply.find(" 200 "), std::string::npos) << reply;
  EXPECT_NE(reply.find("-6"), std::string::npos) << reply;
  // Every request is answered while the window draws (a busy machine may need a second ask).
  for (int i = 0; i < 20; ++i) EXPECT_NE(firstAnswer(port, "/").find(" 200 "), std::string::npos);
  const pid_t firstVelto = lockPid();
  ASSERT_GT(firstVelto, 0);

  // A second copy ends the first (which saves and frees the port) and takes over.
  const pid_t second = run.start({});
  ASSERT_GT(second, 0);
  EXPECT_EQ(run.waitExit(first, kExitTime), 0);
  EXPECT_NE(firstAnswer(port, "/hardware/inputs/1/gain").find(" 200 "), std::string::npos);
  const pid_t secondVelto = lockPid();
  EXPECT_GT(secondVelto, 0);
  EXPECT_NE(secondVelto, firstVelto);

  ASSERT_EQ(::kill(secondVelto, SIGTERM), 0);
  EXPECT_EQ(run.waitExit(second, kExitTime), 0);
  const std::string saved = readFile(run.config());
  EXPECT_NE(saved.find("# velto-config 2\n# "), std::string::npos) << "rewritten in full";
  EXPECT_NE(saved.find("settings/api/enabled=on"), std::string::npos);
  EXPECT_NE(saved.find("settings/api/port=" + std::to_string(port)), std::string::npos);
  EXPECT_TRUE(canBind(port));
}

TEST(Program, WithoutADisplaySaysSoInOneLineAndFails) {
  ProgramRun run;
  const std::string command = "env -i HOME='" + run.home() + "' VELTO_SYSTEM_ROOT='" +
                              (run.base / "root").string() +
                              "' ASAN_OPTIONS=detect_leaks=0 '" VELTO_PROGRAM "' 2>&1";
  FILE* out = ::popen(command.c_str(), "r");
  ASSERT_NE(out, nullptr);
  std::string text;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, out) != nullptr) text += buffer;
  const int status = ::pclose(out);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << status;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_EQ(text.rfind("velto: ", 0), 0u) << text;
  EXPECT_FALSE(fs::exists(run.config())) << "nothing was started or saved";
}

} // namespace
