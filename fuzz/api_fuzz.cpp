// Fuzz target for the command interpreter and the configuration loader: the input is a
// configuration file, loaded by a fresh interpreter over one long-lived engine; its lines are
// also sent as requests; then the file is saved and the saved file loaded again. Preset files
// named for import or export are moved into a private folder of the run.
// Runs on the process's main thread, which drains the main queue itself.
#include "api/api.h"
#include "api/api_detail.h"
#include "effects/fx_chain.h"
#include "engine/engine.h"
#include "fuzz/fuzz_support.h"
#include "media/audio_file.h"
#include "platform/dispatch/main_queue.h"
#include "tests/support/audio_test_system.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

namespace {

using velto::Api;
using velto::Engine;

struct Harness {
  Harness() {
    if (!velto::fuzz::startSimulatedEngine(system, engine)) return;
    acknowledger = std::thread([this] { acknowledge(); });
  }
  ~Harness() {
    if (acknowledger.joinable()) {
      stopping.store(true);
      acknowledger.join();
    }
    engine.reset();
    platform::dispatch::resetMainQueue();
    system.reset();
  }
  // Stands in for the inputs' audio threads, which never run under the manual clock: it takes
  // note of every chain order published, so that publishing does not wait out its time-out.
  // It reads no list, so the main thread may rewrite them at any time.
  void acknowledge() {
    while (!stopping.load()) {
      for (velto::HwInput& input : engine->hwInputs) {
        velto::FxChain& chain = *input.fxChain;
        chain.acknowledged.store(chain.generation.load(std::memory_order_acquire),
                                 std::memory_order_release);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }

  std::unique_ptr<velto::test::AudioTestSystem> system;
  std::unique_ptr<Engine> engine;
  std::thread acknowledger;
  std::atomic<bool> stopping{false};
};

// Inputs that could reach outside the private HOME: device files that block or never end (as a
// pad or playlist file), the API's listening socket.
bool outOfBounds(const std::string& text) {
  for (const char* part : {"/dev", "dev/", "/proc", "proc/", "/sys", "sys/", "/run", "run/"}) {
    if (text.find(part) != std::string::npos) return true;
  }
  const std::string flat = velto::fuzz::normalised(text);
  for (const char* word : {"apienabled", "/dev", "/proc", "/sys"}) {
    if (flat.find(word) != std::string::npos) return true;
  }
  return false;
}

// The run's folder of sounds, the player's and the pads' folder whenever an input names none:
// two short tones at the engine's rate, so that playlist and pad requests find real files.
char gSoundFolderName[] = "/tmp/velto-api-sounds-XXXXXX";

void writeTone(const std::string& path, uint32_t frames, float step) {
  std::string out = "RIFF";
  const auto put = [&out](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
  };
  put(36 + frames * 4, 4);
  out += "WAVEfmt ";
  put(16, 4);
  put(1, 2);
  put(2, 2);
  put(48000, 4);
  put(48000 * 4, 4);
  put(4, 2);
  put(16, 2);
  out += "data";
  put(frames * 4, 4);
  for (uint32_t i = 0; i < frames; ++i) {
    const auto sample = static_cast<int16_t>(8000.0f * std::sin(float(i) * step));
    put(static_cast<uint16_t>(sample), 2);
    put(static_cast<uint16_t>(sample), 2);
  }
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(out.data(), static_cast<std::streamsize>(out.size()));
}

const std::string& soundFolder() {
  static const std::string folder = [] {
    if (mkdtemp(gSoundFolderName) == nullptr) return std::string();
    std::atexit([] { std::filesystem::remove_all(gSoundFolderName); });
    const std::string name(gSoundFolderName);
    writeTone(name + "/kick.wav", 4800, 0.01f);
    writeTone(name + "/tone.wav", 9600, 0.06f);
    return name;
  }();
  return folder;
}

// Every line that names an import or export gets, for its file, a plain name inside the private
// folder made from the characters it gave; other lines stay as they are.
std::string confinePresetFiles(const std::string& text) {
  std::string out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const size_t equals = line.find('=');
    const std::string flat = velto::fuzz::normalised(line.substr(0, equals));
    if (flat.find("import") == std::string::npos && flat.find("export") == std::string::npos) {
      out += line;
    } else {
      std::string file;
      const size_t from = equals == std::string::npos ? line.size() : equals + 1;
      for (size_t i = from; i < line.size() && file.size() < 40; ++i) {
        const char c = line[i];
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == ' ' || c == '-' || c == '_' ||
                           (c == '.' && !file.empty());
        if (plain) file += c;
      }
      if (file.empty()) file = "p";
      out += line.substr(0, equals == std::string::npos ? line.size() : equals);
      out += '=';
      out += velto::fuzz::privateFolder();
      out += '/';
      out += file;
    }
    if (end == text.size()) break;
    out += '\n';
    start = end + 1;
  }
  return out;
}

// The state that grows with every replayed line goes back to empty.
void clearGrowth(Api& api, Engine& engine) {
  api.handle("DELETE", "player/playlist", "");
  while (engine.appCount() > 0) api.handle("DELETE", "software/apps/1", "");
  for (int pad = 1; pad <= 16; ++pad) api.handle("DELETE", "pads/" + std::to_string(pad), "");
}

// The file's lines as requests of every method; the level probe waits on purpose and is left out.
void sendLines(Api& api, const std::string& text) {
  static const char* const kMethods[] = {"GET", "POST", "DELETE", "PUT"};
  size_t start = 0;
  for (int n = 0; n < 32 && start < text.size(); ++n) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const size_t equals = line.find('=');
    const std::string path = line.substr(0, equals);
    const std::string body = equals == std::string::npos ? "" : line.substr(equals + 1);
    const std::string method = kMethods[n % 4];
    const auto words = velto::detail::splitPath(path);
    if (method == "GET" && words.size() == 3 && velto::detail::same(words[0], "devices")) continue;
    api.handle(method, path, body);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A file opened before the engine exists makes the decoders' static tables outlive the
  // engine's threads at exit, which may still be analysing a track.
  static const bool primed = [] {
    velto::AudioFileReader reader;
    std::string error;
    return !soundFolder().empty() && reader.open(soundFolder() + "/kick.wav", error);
  }();
  static Harness harness;
  if (!primed) return 0;
  if (!harness.engine) return 0;
  if (velto::fuzz::privateFolder().empty()) return 0;
  const std::string text =
      confinePresetFiles(std::string(reinterpret_cast<const char*>(data), size));
  std::string unfolded = text;
  for (size_t at; (at = unfolded.find(velto::fuzz::privateFolder())) != std::string::npos;) {
    unfolded.erase(at, velto::fuzz::privateFolder().size());
  }
  if (outOfBounds(unfolded)) return 0;
  Engine& engine = *harness.engine;
  engine.settings.playerFolder = soundFolder();
  engine.settings.padsFolder = soundFolder();
  {
    Api api(engine);
    clearGrowth(api, engine);
    std::ofstream(Api::configPath(), std::ios::binary | std::ios::trunc) << text;
    api.load();
    platform::dispatch::runMainQueueUntilIdle();
    sendLines(api, text);
    api.save();
  }
  {
    Api api(engine);
    api.load();
    platform::dispatch::runMainQueueUntilIdle();
  }
  return 0;
}
