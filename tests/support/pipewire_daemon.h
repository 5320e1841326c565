// Test helper: a private sound server for one test. A session bus, the server and its session
// manager run as child processes with their runtime and configuration folders in a fresh
// temporary folder (nothing of the user's own sound setup is touched or seen); null sinks and
// null sources stand in for the hardware. Everything is killed and removed at the end.
// Use on the test's main thread.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace velto::test {

struct NullNode {
  std::string name;        // node.name
  std::string description; // node.description
  bool source = false;     // false: a sink
  uint32_t channels = 2;
  uint32_t rate = 0;                             // 0: the server's own clock rate
  std::vector<std::string> extraProperties = {}; // "key=value", passed as they stand
  const char* mediaClass = nullptr;              // instead of the one `source` gives
};

// A node's volume as `wpctl get-volume` prints it ("Volume: 0.63 [MUTED]").
struct NodeVolume {
  bool read = false; // false: nothing printed that reads as a volume
  float volume = 0.0f;
  bool muted = false;
};

class PipewireDaemon {
public:
  PipewireDaemon();
  ~PipewireDaemon();
  PipewireDaemon(const PipewireDaemon&) = delete;
  PipewireDaemon& operator=(const PipewireDaemon&) = delete;

  // False when a program is missing (see `missing()`) or the server did not answer in time.
  bool running() const { return running_; }
  // The programs that are not installed; empty when all are there.
  const std::string& missing() const { return missing_; }
  // The absolute path of the server's socket, for a client to connect to.
  const std::string& socket() const { return socket_; }

  // Creates a node that lives until removed or the server ends; false on failure.
  bool addNode(const NullNode& node);
  bool removeNode(const std::string& name);
  // What the sink plays during `millis`, recorded from its monitor at 48000 Hz as interleaved
  // floats (whatever played before the recorder was linked is missing). Empty on failure.
  std::vector<float> recordSink(const std::string& name, uint32_t channels, int millis);
  // The same for what a source hands on.
  std::vector<float> recordSource(const std::string& name, uint32_t channels, int millis);
  // Starts playing a WAV file into the node (an empty name: wherever the server's default sink
  // is, as system sound plays); the player's process, -1 when it did not start. `properties`
  // (a "{ key=value ... }" text) are added to the player's stream.
  pid_t play(const std::string& name, const std::string& file, const std::string& properties = {});
  // Ends a player started by play and waits for it.
  void endPlay(pid_t player);
  // Links an output port to an input port, each named "node:port", as pw-link does; false when
  // it failed.
  bool link(const std::string& output, const std::string& input);
  // Starts the server's own loopback from `source` to `sink` at `frames` of latency (the peer a
  // path is judged beside); its process, -1 when it did not start. End it with endPlay.
  pid_t loopback(const std::string& source, const std::string& sink, uint32_t frames);
  // What `pw-cli ls Node` lists; empty on failure.
  std::string nodes();
  // The server's global id of the first node whose property `key` is `value` (from that
  // listing); empty when there is none.
  std::string nodeId(const std::string& key, const std::string& value);
  // Runs `pw-metadata` with these arguments (the "default" metadata unless they name another);
  // what it prints, empty on failure.
  std::string metadata(const std::vector<std::string>& args);
  // Runs `wpctl` with these arguments, as the desktop's volume controls do; what it prints,
  // empty on failure.
  std::string wpctl(const std::vector<std::string>& args);
  // The volume of a node (its id, or a name wpctl takes such as "@DEFAULT_AUDIO_SINK@").
  NodeVolume volumeOf(const std::string& node);
  // Ends the server (and the rest) now, as a crash or a log-out would; the folder stays until
  // the end.
  void stop();
  // Ends the server and starts it anew in the same folder, on the same socket, with none of the
  // nodes added before; false when it did not answer again.
  bool restart();

private:
  bool launch(); // starts the bus, the server and its session manager
  int control(const std::vector<std::string>& args);
  std::vector<float> record(const std::string& name, uint32_t channels, int millis, bool monitor);
  bool answers();
  bool managerReady();
  std::string listing(const std::string& kind); // pw-cli ls's output; empty on failure
  std::string output(const std::vector<std::string>& command); // empty on failure

  std::string folder_;
  std::string socket_;
  std::string missing_;
  std::vector<std::string> environment_;
  std::vector<pid_t> children_; // started in order, ended in reverse
  bool running_ = false;
};

// True when every program the daemon needs is installed.
bool pipewireInstalled();

} // namespace velto::test
