// What several fuzz programs share: a private folder of the run's own, the simulated system the
// API programs drive, the text as the API may come to read it, and the shape every HTTP reply
// must have.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "api/http_parse.h"
#include "engine/engine.h"
#include "tests/support/audio_test_system.h"

namespace velto::fuzz {

// The name lives in a plain array: the removal at exit runs after static strings are gone.
inline char gPrivateFolderName[] = "/tmp/velto-fuzz-XXXXXX";

// Made once and removed at exit; empty when it could not be made.
inline const std::string& privateFolder() {
  static const std::string folder = [] {
    if (mkdtemp(gPrivateFolderName) == nullptr) return std::string();
    std::atexit([] { std::filesystem::remove_all(gPrivateFolderName); });
    return std::string(gPrivateFolderName);
  }();
  return folder;
}

// A microphone, a speaker and the engine on them; false (nothing made) when the simulated
// system could not start.
inline bool startSimulatedEngine(std::unique_ptr<test::AudioTestSystem>& system,
                                 std::unique_ptr<Engine>& engine) {
  system = std::make_unique<test::AudioTestSystem>();
  if (!system->started()) return false;
  test::addMicrophone("mic-uid", "Mikrofon", platform::audio::SignalSource::silence());
  test::addSpeaker("spk-uid", "Lautsprecher");
  engine = std::make_unique<Engine>(true);
  return true;
}

inline int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Escapes decoded (the older layout's conversion can decode twice), lower case, without the
// slashes that empty segments leave.
inline std::string normalised(std::string text) {
  for (int round = 0; round < 4; ++round) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
          hexValue(text[i + 2]) >= 0) {
        out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
        i += 2;
      } else {
        out += text[i] == '+' ? ' ' : text[i];
      }
    }
    if (out == text) break;
    text = out;
  }
  std::string flat;
  for (const char c : text) {
    if (c != '/') flat += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
  }
  return flat;
}

// A reply is a status line, a head and exactly as many body bytes as its length says.
inline void checkReply(const std::string& answer) {
  if (answer.empty()) return;
  if (answer.rfind("HTTP/1.1 ", 0) != 0) abort();
  const size_t headEnd = answer.find("\r\n\r\n");
  if (headEnd == std::string::npos) abort();
  const std::string head = answer.substr(0, headEnd);
  if (http::contentLength(http::header(head, "Content-Length")) != answer.size() - headEnd - 4)
    abort();
}

} // namespace velto::fuzz
