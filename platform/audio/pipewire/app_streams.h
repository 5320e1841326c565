// Applications on a PipeWire server as the audio layer's processes, and process taps of them.
// Every client with audio streams (nodes of media class Stream/Output/Audio or
// Stream/Input/Audio that are not Velto's own) is one process of the layer: its pid, its bundle
// id (application.id, else the binary's name), running output or input while one of its streams
// runs, and the devices its streams are linked to; they also count as running applications with
// their application.name. A tap of such processes is a capture stream of ours
// ("velto.tap.<uuid>", which the session manager leaves alone) that their output streams reach:
// a muting tap moves the streams onto itself (their "target.object" metadata, given back when the
// tap goes), an unmuted one joins them with links of its own beside the links they have.
// Threading: made and dropped on a control thread without the layer's control lock; the server's
// events on the loop thread; the taps' capture on the data thread, without locks or allocation.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

struct pw_metadata;

namespace platform::audio {

struct PipewireConnection;

// The server's "default" metadata as the device monitor binds it, shared: a second binding from
// the same connection can leave the server's new clients waiting.
struct SharedMetadata {
  pw_metadata* proxy = nullptr; // loop lock; null while there is none
  // Every property told so far, per subject (loop lock), such as a stream's target chosen
  // before Velto started.
  std::map<uint32_t, std::map<std::string, std::string>> properties;
  void remember(uint32_t subject, const char* key, const char* value);
  // The subject's property, none when it has none.
  std::optional<std::string> find(uint32_t subject, const char* key) const;
};

class AppStreams {
public:
  AppStreams(std::shared_ptr<PipewireConnection> connection, SharedMetadata& metadata);
  ~AppStreams();
  AppStreams(const AppStreams&) = delete;
  AppStreams& operator=(const AppStreams&) = delete;

  struct State;

private:
  std::unique_ptr<State> state_;
};

} // namespace platform::audio
