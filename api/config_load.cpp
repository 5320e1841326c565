// The configuration loader: every command line of the file replayed as a POST through the
// interpreter (lines of the older layout converted first), then the two repairs and the API
// settings. Runs once at start-up on the main thread; it writes nothing.
#include "api/api_detail.h"
#include "api/config.h"

#include <fstream>

namespace velto {

using namespace detail;

namespace {

constexpr uint32_t kDefaultVirtualInBit = 1u << 3;

// Files from before the fourth virtual input was routable gave every application that route;
// only an application with no other route keeps it.
void repairAppRoutes(Engine& engine) {
  for (int i = 0; i < engine.appCount(); ++i) {
    std::atomic<uint32_t>& mask = engine.app(i).strip.routeMask;
    const uint32_t without = mask.load() & ~kDefaultVirtualInBit;
    if (without != 0) mask.exchange(without);
  }
}

// Virtual outputs once carried the driver's former device names.
void repairVirtualOutNames(Engine& engine) {
  for (int i = 0; i < 3; ++i) {
    std::string& name = engine.buses[static_cast<size_t>(3 + i)].name;
    if (name == "Velto Mic " + std::to_string(i + 1)) name = virtualOutDevice(i);
  }
}

} // namespace

// main thread
void Api::load() {
  std::ifstream file(configPath(), std::ios::binary);
  bool versioned = false;
  bool appRouteSeen = false;
  loading = true;
  std::string line;
  while (file && std::getline(file, line)) {
    if (line == kConfigMarker) versioned = true;
    if (line.empty() || line[0] == '#') continue;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string path = line.substr(0, equals);
    const std::string body = line.substr(equals + 1);
    if (path.rfind("software/apps/", 0) == 0 && path.find("/to/virtual/4") != std::string::npos) {
      appRouteSeen = true;
    }
    if (versioned) {
      handle("POST", path, body);
      continue;
    }
    for (const ConfigPair& pair : migrate(path, body)) handle("POST", pair.first, pair.second);
  }
  loading = false;
  if (!appRouteSeen) repairAppRoutes(engine);
  repairVirtualOutNames(engine);
  applySettings();
}

} // namespace velto
