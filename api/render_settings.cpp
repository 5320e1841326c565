// JSON of the persisted settings record.
#include "api/api_detail.h"

#include "api/hooks.h"

namespace velto::detail {

std::string settingsJson(Engine& engine) {
  const Settings& s = engine.settings;
  const std::string volumeKeys = s.volumeKeys < 0 || s.volumeKeys > 2
                                     ? std::string("\"default\"")
                                     : q(engine.buses[s.volumeKeys].name);
  const AppHooks& hooks = appHooks();
  const bool autostart = hooks.autostartEnabled != nullptr && hooks.autostartEnabled();
  return "{\"api\":{\"enabled\":" + boolText(s.apiEnabled) +
         ",\"port\":" + std::to_string(static_cast<int64_t>(s.apiPort)) +
         "},\"audio\":{\"samplerate\":48000,\"buffer\":" + std::to_string(s.bufferFrames) +
         ",\"volumekeys\":" + volumeKeys + "},\"board\":" + q(s.board) +
         ",\"intro\":" + boolText(s.intro) + ",\"fullscreen\":" + boolText(s.fullscreen) +
         ",\"restoreoutput\":" + boolText(s.restoreOutput) +
         ",\"autostart\":" + boolText(autostart) + "}";
}

} // namespace velto::detail
