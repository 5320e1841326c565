// Members of the seven groups: counting, naming by number or name, and reaching each member's
// strip or bus, name, gain, mute, device link and default-device state.
#include "api/api_detail.h"

namespace velto::detail {

namespace {

bool isBus(uint32_t group) {
  return group == hwVirtualOuts || group == hwOutputs;
}

Bus& busOf(Engine& engine, Ref ref) {
  return engine.buses[ref.group == hwVirtualOuts ? 3 + ref.index : ref.index];
}

} // namespace

int memberCount(Engine& engine, uint32_t group) {
  switch (group) {
  case hwInputs:
  case hwVirtualOuts:
  case hwOutputs:
    return 3;
  case swApps:
    return engine.appCount();
  case swVirtualIns:
    return 4;
  case padsMix:
  case playerMix:
    return 1;
  default:
    return 0;
  }
}

bool resolve(Engine& engine, uint32_t group, const std::string& text, int& index) {
  const int count = memberCount(engine, group);
  int64_t number = 0;
  if (wholeInteger(text, number)) {
    if (number < 1 || number > count) return false;
    index = static_cast<int>(number - 1);
    return true;
  }
  for (int i = 0; i < count; ++i) {
    if (sameText(nameOf(engine, Ref{group, i}), text)) {
      index = i;
      return true;
    }
  }
  return false;
}

Strip* stripOf(Engine& engine, Ref ref) {
  switch (ref.group) {
  case hwInputs:
    return &engine.hwInputs[ref.index].strip;
  case swApps:
    return &engine.app(ref.index).strip;
  case swVirtualIns:
    return &engine.virtualIns[ref.index].strip;
  case padsMix:
    return &engine.padsStrip;
  case playerMix:
    return &engine.playerStrip;
  default:
    return nullptr;
  }
}

std::string& nameOf(Engine& engine, Ref ref) {
  if (isBus(ref.group)) return busOf(engine, ref).name;
  return stripOf(engine, ref)->name;
}

std::atomic<float>& gainOf(Engine& engine, Ref ref) {
  if (isBus(ref.group)) return busOf(engine, ref).gain;
  return stripOf(engine, ref)->gain;
}

std::atomic<bool>& muteOf(Engine& engine, Ref ref) {
  if (isBus(ref.group)) return busOf(engine, ref).mute;
  return stripOf(engine, ref)->mute;
}

bool setDevice(Engine& engine, Ref ref, const std::string& text, bool strict) {
  const bool none = text.empty() || same(text, "none");
  if (!none) {
    const DeviceInfo* device = engine.findDevice(text);
    const DeviceRole role = ref.group == hwInputs ? DeviceRole::Input : DeviceRole::Output;
    if (device != nullptr && !Engine::fits(*device, role)) return false;
    if (device == nullptr && strict) return false;
  }
  const std::string value = none ? std::string() : text;
  if (ref.group == hwInputs) {
    engine.setHwInputDevice(ref.index, value);
  } else {
    engine.setHwOutputDevice(ref.index, value);
  }
  return true;
}

bool isDefault(Engine& engine, Ref ref) {
  if (ref.group == hwVirtualOuts) return engine.isDefaultInput(ref.index);
  return engine.isDefaultOutput();
}

bool makeDefault(Engine& engine, Ref ref) {
  if (ref.group == hwVirtualOuts) return engine.makeDefaultInput(ref.index);
  return engine.makeDefaultOutput();
}

std::string bundleFor(const std::string& text) {
  for (const AppInfo& app : listAvailableApps()) {
    if (sameText(app.name, text) || app.bundleId == text) return app.bundleId;
  }
  if (text.find('.') != std::string::npos) return text;
  return {};
}

bool driverInstalled(const Engine& engine) {
  return engine.findDevice("VeltoClock_UID") != nullptr;
}

HttpResponse error(int status, const std::string& message) {
  return HttpResponse{status, "{\"error\":" + q(message) + "}"};
}

} // namespace velto::detail
