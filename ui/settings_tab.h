// The Settings tab: audio buffer and latency, the volume keys' target, the start options, the
// virtual device driver and the local HTTP API, in one centred column. Every stored setting is
// saved the moment it changes. Part of the mixer window; main thread only, once per frame.
#pragma once

namespace velto {

class Engine;
class Api;

void drawSettings(Engine& engine, Api& api);

} // namespace velto
