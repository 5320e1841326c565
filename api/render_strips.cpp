// JSON of the mixer itself: the tabs, the groups, one member object per strip or bus, device
// links, the virtual outputs, the capturable applications and the device list.
#include "api/api_detail.h"

#include "core/levels.h"
#include "effects/fx_chain.h"
#include "effects/fx_table.h"
#include "effects/input_fx.h"
#include "effects/noise_filter.h"

#include <cstdio>

namespace velto::detail {

namespace {

constexpr double kNoiseLatencyMs = 512.0 * 1000.0 / kSampleRate;

std::string milliseconds(double ms) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f", ms);
  return text;
}

// The nominal rate with its fraction cut off; a rate no device can have reads as 0.
std::string wholeRate(double rate) {
  if (!(rate >= 0.0 && rate < 1e12)) return "0";
  return std::to_string(static_cast<int64_t>(rate));
}

std::string fadeJson(Engine& engine, Ref ref) {
  float target = 0.0f;
  if (!engine.fadeTarget(gainOf(engine, ref), target)) return "null";
  return num(target);
}

// Application strips reach the four virtual inputs; every other strip the six buses.
std::string routesJson(Engine& engine, const Strip& strip, bool app) {
  const uint32_t mask = strip.routeMask.load();
  std::string out = "[";
  const int count = app ? 4 : 6;
  for (int k = 0; k < count; ++k) {
    if (k > 0) out += ',';
    const bool on = (mask >> k) & 1u;
    if (app) {
      out += "{\"target\":\"virtual/" + std::to_string(k + 1) +
             "\",\"name\":" + q(engine.virtualIns[k].strip.name) + ",\"on\":" + boolText(on) + "}";
    } else {
      const std::string target =
          k < 3 ? "outputs/" + std::to_string(k + 1) : "virtual/" + std::to_string(k - 2);
      const bool available = engine.buses[k].link.ioProc != platform::audio::kNoIoProc;
      out += "{\"target\":" + q(target) + ",\"name\":" + q(engine.buses[k].name) +
             ",\"on\":" + boolText(on) + ",\"available\":" + boolText(available) + "}";
    }
  }
  return out + "]";
}

std::string noiseJson(Engine& engine, int i) {
  const NoiseFilter& filter = *engine.hwInputs[i].noiseFilter;
  const InputAnalysis& a = engine.analysis[i];
  return "{\"enabled\":" + boolText(filter.enabled.load()) +
         ",\"strength\":" + num(filter.strength.load()) + ",\"profile\":" + boolText(a.hasProfile) +
         ",\"measuring\":" + boolText(a.measuring) +
         ",\"latencyMs\":" + milliseconds(kNoiseLatencyMs) + "}";
}

std::string inputExtras(Engine& engine, int i) {
  const HwInput& in = engine.hwInputs[i];
  std::string out = ",\"noise\":" + noiseJson(engine, i);
  for (const FxInfo& row : kFx) {
    if (row.tool) out += ",\"" + std::string(row.key) + "\":" + fxJson(*in.fx, row);
  }
  out += ",\"effects\":" + effectsJson(*in.fx);
  const double base = in.noiseFilter->enabled.load() ? kNoiseLatencyMs : 0.0;
  const double chain = in.fxChain->latencyFrames() * 1000.0 / kSampleRate;
  return out + ",\"latencyMs\":" + milliseconds(base + chain);
}

std::string appExtras(AppSource& a) {
  const uint32_t callbacks = a.callbacks.load();
  const uint32_t lastAudible = a.lastAudible.load();
  const bool signal = lastAudible != 0 && callbacks - lastAudible < 200u;
  return ",\"bundle\":" + q(a.bundleId) + ",\"passthrough\":" + boolText(a.passthrough) +
         ",\"playing\":" + boolText(a.playing) +
         ",\"processes\":" + std::to_string(a.processes.size()) +
         ",\"tap\":{\"running\":" + boolText(a.ioProc != platform::audio::kNoIoProc) +
         ",\"callbacks\":" + std::to_string(callbacks) + ",\"signal\":" + boolText(signal) + "}";
}

} // namespace

std::string tabJson(Engine& engine, const std::string& top) {
  std::string out = "{";
  bool first = true;
  for (const GroupRow& row : kGroups) {
    if (!same(top, row.top)) continue;
    if (!first) out += ',';
    first = false;
    out += '"';
    out += row.sub;
    out += "\":";
    out += groupJson(engine, row.group);
  }
  return out + "}";
}

std::string groupJson(Engine& engine, uint32_t group) {
  std::string out = "[";
  const int count = memberCount(engine, group);
  for (int i = 0; i < count; ++i) {
    if (i > 0) out += ',';
    out += objectJson(engine, Ref{group, i});
  }
  return out + "]";
}

std::string deviceJson(Engine& engine, const DeviceLink& link, const std::string& name) {
  std::string display = name;
  if (display.empty()) {
    const DeviceInfo* device = engine.findDevice(link.uid);
    display = device ? device->name : link.uid;
  }
  return "\"device\":" + (link.uid.empty() ? std::string("null") : q(display)) +
         ",\"connected\":" + boolText(link.ioProc != platform::audio::kNoIoProc);
}

std::string objectJson(Engine& engine, Ref ref) {
  const int i = ref.index;
  std::string out = "{\"index\":" + std::to_string(i + 1) + ",\"name\":" + q(nameOf(engine, ref));
  if (ref.group == hwInputs) out += "," + deviceJson(engine, engine.hwInputs[i].link, "");
  if (ref.group == hwVirtualOuts) {
    out += "," + deviceJson(engine, engine.buses[3 + i].link, virtualOutDevice(i));
  }
  if (ref.group == hwOutputs) out += "," + deviceJson(engine, engine.buses[i].link, "");
  out += ",\"gain\":" + num(gainToDb(gainOf(engine, ref).load()));
  out += ",\"mute\":" + boolText(muteOf(engine, ref).load());
  out += ",\"fade\":" + fadeJson(engine, ref);
  if (const Strip* strip = stripOf(engine, ref)) {
    out += ",\"to\":" + routesJson(engine, *strip, ref.group == swApps);
  }
  if (ref.group == hwInputs) out += inputExtras(engine, i);
  if (ref.group == hwVirtualOuts) out += ",\"default\":" + boolText(engine.isDefaultInput(i));
  if (ref.group == swVirtualIns && i == 3) {
    out += ",\"default\":" + boolText(engine.isDefaultOutput());
  }
  if (ref.group == hwVirtualOuts || ref.group == hwOutputs) {
    const int bus = ref.group == hwVirtualOuts ? 3 + i : i;
    out += ",\"sources\":" + list(engine.sourcesOf(bus));
    out += ",\"underruns\":" + std::to_string(engine.buses[bus].underruns.load());
  }
  if (ref.group == hwVirtualOuts) out += ",\"users\":" + list(engine.users[i]);
  if (ref.group == hwOutputs) {
    out += ",\"speaker\":" + boolText(engine.buses[i].speaker.load());
    out += ",\"limiter\":" + fxJson(*engine.buses[i].fx, kFx[FxId::limiter]);
  }
  if (ref.group == swApps) out += appExtras(engine.app(i));
  return out + "}";
}

std::string virtualOutJson(Engine& engine) {
  engine.refreshUsers();
  std::string out = "[";
  for (int k = 0; k < 3; ++k) {
    if (k > 0) out += ',';
    out += "{\"index\":" + std::to_string(k + 1) + ",\"name\":" + q(engine.buses[3 + k].name) +
           ",\"device\":" + q(virtualOutDevice(k)) +
           ",\"sources\":" + list(engine.sourcesOf(3 + k)) + ",\"users\":" + list(engine.users[k]) +
           ",\"default\":" + boolText(engine.isDefaultInput(k)) + "}";
  }
  return out + "]";
}

std::string availableJson() {
  std::string out = "[";
  bool first = true;
  for (const AppInfo& app : listAvailableApps()) {
    if (!first) out += ',';
    first = false;
    out += "{\"name\":" + q(app.name) + ",\"bundle\":" + q(app.bundleId) +
           ",\"playing\":" + boolText(app.playing) + "}";
  }
  return out + "]";
}

std::string deviceListJson(Engine& engine) {
  std::string out = "[";
  bool first = true;
  for (const DeviceInfo& d : engine.devices) {
    if (d.internal) continue;
    if (!first) out += ',';
    first = false;
    out += "{\"name\":" + q(d.name) + ",\"uid\":" + q(d.uid) +
           ",\"inputs\":" + std::to_string(d.inputs) + ",\"outputs\":" + std::to_string(d.outputs) +
           ",\"sampleRate\":" + wholeRate(d.sampleRate) + ",\"virtual\":" + boolText(d.isVirtual) +
           "}";
  }
  return out + "]";
}

} // namespace velto::detail
