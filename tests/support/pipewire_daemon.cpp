#include "tests/support/pipewire_daemon.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "tests/support/test_files.h"

namespace velto::test {
namespace {

constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kStopTimeout = std::chrono::seconds(3);
// How long a recorder may take to start and be linked before its window begins.
constexpr auto kRecordStartTimeout = std::chrono::seconds(10);

constexpr auto kPoll = std::chrono::milliseconds(10);

const char* const kPrograms[] = {"dbus-daemon", "pipewire", "wireplumber", "pw-cli", "pw-metadata"};

std::string findProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    const size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// Starts `args[0]` (found through PATH) with its own environment; its output goes to `outputFd`
// (its error output too) or to the log file. -1 when it did not start.
pid_t spawnChild(std::vector<std::string> args, std::vector<std::string> environment, int outputFd,
                 const std::string& log) {
  const std::string program = findProgram(args[0]);
  if (program.empty()) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (outputFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
  }
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> argv = pointers(args);
  std::vector<char*> envp = pointers(environment);
  pid_t pid = -1;
  const int status =
      ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return status == 0 ? pid : -1;
}

// Waits for the child's end; -1 when it did not end in time (then it is killed and reaped).
int waitChild(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void write(const std::string& path, const std::string& text) {
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
  std::ofstream(path) << text;
}

} // namespace

bool pipewireInstalled() {
  for (const char* program : kPrograms) {
    if (findProgram(program).empty()) return false;
  }
  return true;
}

PipewireDaemon::PipewireDaemon() {
  for (const char* program : kPrograms) {
    if (findProgram(program).empty())
      missing_ += std::string(missing_.empty() ? "" : " ") + program;
  }
  if (!missing_.empty()) return;
  std::string pattern = std::filesystem::temp_directory_path() / "velto-pipewire-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return;
  folder_ = pattern;
  const std::string runtime = folder_ + "/run";
  const std::string config = folder_ + "/config";
  std::error_code error;
  std::filesystem::create_directories(runtime, error);
  ::chmod(runtime.c_str(), 0700);
  // The session manager finds no hardware of the machine: its monitors stay off.
  write(config + "/wireplumber/main.lua.d/90-velto-test.lua",
        "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\n"
        "libcamera_monitor.enabled = false\n");
  write(config + "/wireplumber/bluetooth.lua.d/90-velto-test.lua",
        "bluez_monitor.enabled = false\n");
  socket_ = runtime + "/pipewire-0";
  const char* path = std::getenv("PATH");
  environment_ = {
      "PATH=" + std::string(path != nullptr ? path : "/usr/bin:/bin"),
      "HOME=" + folder_,
      "XDG_RUNTIME_DIR=" + runtime,
      "XDG_CONFIG_HOME=" + config,
      "XDG_STATE_HOME=" + folder_ + "/state",
      "XDG_DATA_HOME=" + folder_ + "/data",
      "DBUS_SESSION_BUS_ADDRESS=unix:path=" + folder_ + "/bus",
      "PIPEWIRE_REMOTE=" + socket_,
      "DISPLAY=",
  };
  launch();
}

bool PipewireDaemon::restart() {
  stop();
  return !folder_.empty() && launch();
}

bool PipewireDaemon::launch() {
  const std::string log = folder_ + "/log.txt";
  // A bus that ended may leave its socket behind; readiness is told by a fresh one.
  std::error_code error;
  std::filesystem::remove(folder_ + "/bus", error);
  const std::vector<std::vector<std::string>> commands = {
      {"dbus-daemon", "--session", "--nofork", "--nopidfile",
       "--address=unix:path=" + folder_ + "/bus"},
      {"pipewire"},
      {"wireplumber"},
  };
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  for (const std::vector<std::string>& command : commands) {
    const pid_t pid = spawnChild(command, environment_, -1, log);
    if (pid < 0) return false;
    children_.push_back(pid);
    // Each waits for the one before: the server needs the bus, the manager the server.
    bool ready = false;
    while (!ready && std::chrono::steady_clock::now() < deadline) {
      if (command[0] == "dbus-daemon") {
        ready = std::filesystem::exists(folder_ + "/bus");
      } else if (command[0] == "pipewire") {
        ready = answers();
      } else {
        ready = managerReady();
      }
      if (!ready) std::this_thread::sleep_for(kPoll);
    }
    if (!ready) return false;
  }
  running_ = true;
  return true;
}

void PipewireDaemon::stop() {
  for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
    ::kill(*it, SIGTERM);
    waitChild(*it, std::chrono::duration_cast<std::chrono::milliseconds>(kStopTimeout));
  }
  children_.clear();
  running_ = false;
}

PipewireDaemon::~PipewireDaemon() {
  stop();
  std::error_code error;
  if (!folder_.empty()) std::filesystem::remove_all(folder_, error);
}

int PipewireDaemon::control(const std::vector<std::string>& args) {
  std::vector<std::string> command = {"pw-cli", "-r", socket_};
  command.insert(command.end(), args.begin(), args.end());
  const pid_t pid = spawnChild(command, environment_, -1, folder_ + "/log.txt");
  if (pid < 0) return -1;
  return waitChild(pid, std::chrono::duration_cast<std::chrono::milliseconds>(kStopTimeout));
}

bool PipewireDaemon::answers() {
  return control({"info", "0"}) == 0;
}

bool PipewireDaemon::managerReady() {
  return listing("Client").find("WirePlumber") != std::string::npos;
}

std::string PipewireDaemon::listing(const std::string& kind) {
  return output({"pw-cli", "-r", socket_, "ls", kind});
}

std::string PipewireDaemon::metadata(const std::vector<std::string>& args) {
  std::vector<std::string> command = {"pw-metadata", "-r", socket_};
  command.insert(command.end(), args.begin(), args.end());
  return output(command);
}

std::string PipewireDaemon::wpctl(const std::vector<std::string>& args) {
  std::vector<std::string> command = {"wpctl"};
  command.insert(command.end(), args.begin(), args.end());
  return running_ ? output(command) : std::string();
}

NodeVolume PipewireDaemon::volumeOf(const std::string& node) {
  const std::string text = wpctl({"get-volume", node});
  NodeVolume volume;
  const size_t at = text.find("Volume:");
  if (at == std::string::npos) return volume;
  char* end = nullptr;
  const char* start = text.c_str() + at + 7;
  volume.volume = std::strtof(start, &end);
  volume.read = end != start;
  volume.muted = text.find("[MUTED]") != std::string::npos;
  return volume;
}

std::string PipewireDaemon::output(const std::vector<std::string>& command) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  const pid_t pid = spawnChild(command, environment_, fds[1], "/dev/null");
  ::close(fds[1]);
  std::string output;
  char chunk[4096];
  // A program that hangs (a server that no longer answers) is given up on, not waited for.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{fds[0], POLLIN, 0};
    const int polled = left.count() > 0 ? ::poll(&ready, 1, int(left.count())) : 0;
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) break;
    const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    output.append(chunk, size_t(n));
  }
  ::close(fds[0]);
  if (pid < 0 || waitChild(pid, std::chrono::seconds(3)) != 0) return {};
  return output;
}

bool PipewireDaemon::addNode(const NullNode& node) {
  if (!running_) return false;
  std::string positions;
  static const char* const kPositions[] = {"FL", "FR", "FC", "LFE", "RL", "RR", "SL", "SR"};
  for (uint32_t c = 0; c < node.channels; ++c) {
    if (c > 0) positions += " ";
    positions += c < 8 ? std::string(kPositions[c]) : "AUX" + std::to_string(c - 8);
  }
  // A null node is only a source when the server's adapter treats it as a virtual one.
  std::string properties = "{ factory.name=support.null-audio-sink media.class=" +
                           std::string(node.mediaClass != nullptr ? node.mediaClass
                                       : node.source              ? "Audio/Source/Virtual"
                                                                  : "Audio/Sink") +
                           " node.name=\"" + node.name + "\" node.description=\"" +
                           node.description + "\" audio.channels=" + std::to_string(node.channels) +
                           " audio.position=[" + positions + "] object.linger=true";
  if (node.rate != 0) properties += " audio.rate=" + std::to_string(node.rate);
  for (const std::string& extra : node.extraProperties) properties += " " + extra;
  properties += " }";
  return control({"create-node", "adapter", properties}) == 0;
}

std::vector<float> PipewireDaemon::recordSink(const std::string& name, uint32_t channels,
                                              int millis) {
  return record(name, channels, millis, true);
}

std::vector<float> PipewireDaemon::recordSource(const std::string& name, uint32_t channels,
                                                int millis) {
  return record(name, channels, millis, false);
}

pid_t PipewireDaemon::play(const std::string& name, const std::string& file,
                           const std::string& properties) {
  if (!running_) return -1;
  std::vector<std::string> command = {"pw-cat", "--playback", "--remote", socket_};
  if (!name.empty()) command.insert(command.end(), {"--target", name});
  if (!properties.empty()) command.insert(command.end(), {"-P", properties});
  command.push_back(file);
  return spawnChild(command, environment_, -1, folder_ + "/log.txt");
}

void PipewireDaemon::endPlay(pid_t player) {
  if (player <= 0) return;
  ::kill(player, SIGINT);
  waitChild(player, std::chrono::duration_cast<std::chrono::milliseconds>(kStopTimeout));
}

bool PipewireDaemon::link(const std::string& output, const std::string& input) {
  if (!running_) return false;
  const pid_t pid =
      spawnChild({"pw-link", "-r", socket_, output, input}, environment_, -1, folder_ + "/log.txt");
  return pid > 0 && waitChild(pid, std::chrono::seconds(3)) == 0;
}

pid_t PipewireDaemon::loopback(const std::string& source, const std::string& sink,
                               uint32_t frames) {
  if (!running_) return -1;
  const std::string latency = "node.latency=" + std::to_string(frames) + "/48000";
  // A duplex source is reached like a sink's monitor.
  return spawnChild({"pw-loopback", "-r", socket_, "-C", source, "-P", sink,
                     "--capture-props={ " + latency + " stream.capture.sink=true }",
                     "--playback-props={ " + latency + " }"},
                    environment_, -1, folder_ + "/log.txt");
}

std::string PipewireDaemon::nodes() {
  return running_ ? listing("Node") : std::string();
}

std::string PipewireDaemon::nodeId(const std::string& key, const std::string& value) {
  const std::string listing = nodes();
  const size_t at = listing.find(key + " = \"" + value + "\"");
  const size_t id = at == std::string::npos ? std::string::npos : listing.rfind("\tid ", at);
  if (id == std::string::npos) return {};
  return listing.substr(id + 4, listing.find(',', id) - id - 4);
}

namespace {

// Bytes of frames a WAV being written holds so far: what follows its "data" chunk's header.
uintmax_t wavDataBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string head(1024, '\0');
  in.read(head.data(), std::streamsize(head.size()));
  head.resize(size_t(in.gcount()));
  const size_t data = head.find("data");
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(path, error);
  if (data == std::string::npos || error || size <= data + 8) return 0;
  return size - (data + 8);
}

} // namespace

std::vector<float> PipewireDaemon::record(const std::string& name, uint32_t channels, int millis,
                                          bool monitor) {
  std::vector<float> samples;
  if (!running_) return samples;
  const std::string file = folder_ + "/recording.wav";
  std::vector<std::string> command = {"pw-cat", "--record", "--remote", socket_, "--target", name};
  // An application of its own, never taken for a player (they share the binary).
  command.insert(command.end(),
                 {"-P", monitor ? "{ application.id=velto.test.recorder stream.capture.sink=true }"
                                : "{ application.id=velto.test.recorder }"});
  command.insert(command.end(), {"--rate", "48000", "--channels", std::to_string(channels)});
  // More than two channels in the order addNode gives them, so none is mixed into another.
  if (channels > 2 && channels <= 8) {
    static const char* const kPositions[] = {"FL", "FR", "FC", "LFE", "RL", "RR", "SL", "SR"};
    std::string map;
    for (uint32_t c = 0; c < channels; ++c) map += std::string(c > 0 ? "," : "") + kPositions[c];
    command.insert(command.end(), {"--channel-map", map});
  }
  command.insert(command.end(), {"--format", "f32", file});
  std::filesystem::remove(file);
  const pid_t pid = spawnChild(command, environment_, -1, folder_ + "/log.txt");
  if (pid < 0) return samples;
  // The window counts from the first frames written, as a recorder on a loaded machine can
  // take longer to start and be linked than the window lasts; one that never gets frames is
  // stopped after a while all the same.
  const auto start = std::chrono::steady_clock::now();
  const auto giveUp = start + std::chrono::milliseconds(millis) + kRecordStartTimeout;
  const uintmax_t windowBytes = uintmax_t(millis) * 48 * channels * sizeof(float);
  auto firstFrames = start;
  bool framesCame = false;
  for (auto now = start; now < giveUp; now = std::chrono::steady_clock::now()) {
    const uintmax_t frameBytes = wavDataBytes(file);
    if (frameBytes > 0 && !framesCame) {
      framesCame = true;
      firstFrames = now;
    }
    if (framesCame &&
        (frameBytes >= windowBytes || now >= firstFrames + std::chrono::milliseconds(millis)))
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::kill(pid, SIGINT); // it closes the file and ends
  const int status =
      waitChild(pid, std::chrono::duration_cast<std::chrono::milliseconds>(kStopTimeout));
  if (status < 0) return samples; // it answers an interrupt with 1, the file complete
  const std::string bytes = fileText(file);
  // RIFF chunks after the 12-byte header; the samples are the "data" chunk.
  for (size_t at = 12; at + 8 <= bytes.size();) {
    uint32_t size = 0;
    std::memcpy(&size, bytes.data() + at + 4, sizeof size);
    const size_t body = at + 8;
    if (bytes.compare(at, 4, "data") == 0) {
      const size_t length = std::min<size_t>(size, bytes.size() - body);
      samples.resize(length / sizeof(float));
      std::memcpy(samples.data(), bytes.data() + body, samples.size() * sizeof(float));
      break;
    }
    at = body + size + (size & 1);
  }
  return samples;
}

bool PipewireDaemon::removeNode(const std::string& name) {
  return running_ && control({"destroy", name}) == 0;
}

} // namespace velto::test
