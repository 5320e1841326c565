// JSON of one effect of a bank, of all effects of a bank that are not tools, and of the order of
// an input's effect chain.
#include "api/api_detail.h"

#include "core/levels.h"
#include "effects/fx_chain.h"
#include "effects/fx_table.h"
#include "effects/input_fx.h"

namespace velto::detail {

namespace {

constexpr const char* kLooperStates[5] = {"empty", "recording", "playing", "overdubbing",
                                          "stopped"};

std::string looperExtras(const InputFx& fx) {
  const uint32_t state = fx.looperState.load();
  const std::string stateWord = state < 5 ? q(kLooperStates[state]) : std::string("null");
  const auto seconds = [](uint32_t frames) {
    return num(static_cast<float>(static_cast<double>(frames) / kSampleRate));
  };
  const int32_t layer = fx.looperLayer.load();
  const std::string layerWord = layer <= 0 ? "null" : (layer == 2 ? "\"on\"" : "\"off\"");
  return ",\"state\":" + stateWord + ",\"length\":" + seconds(fx.looperLength.load()) +
         ",\"position\":" + seconds(fx.looperPosition.load()) + ",\"layer\":" + layerWord;
}

std::string feedbackExtras(const InputFx& fx) {
  std::string out = ",\"notches\":[";
  bool first = true;
  for (const auto& [hz, depth] : fx.notches()) {
    if (!(depth > 0.0f)) continue;
    if (!first) out += ',';
    first = false;
    out += "{\"hz\":" + num(hz) + ",\"depth\":" + num(depth) + "}";
  }
  return out + "],\"duck\":" + num(fx.feedbackDuckDb.load()) +
         ",\"events\":" + std::to_string(fx.feedbackEvents.load()) +
         ",\"lastHz\":" + num(fx.feedbackLastHz.load());
}

} // namespace

std::string fxJson(const InputFx& fx, const FxInfo& info) {
  std::string out = "{\"enabled\":" + boolText(fx.enabled[info.id].load());
  for (int p = 0; p < info.paramCount; ++p) {
    const FxParam& param = info.params[p];
    const float value = fx.params[info.id][p].load();
    out += ",\"" + std::string(param.key) + "\":";
    out += param.kind == FxParam::Kind::toggle ? boolText(value >= 0.5f) : num(value);
  }
  if (info.id == FxId::aec) out += ",\"suppressionDb\":" + num(fx.aecSuppressionDb.load());
  if (info.id == FxId::looper) out += looperExtras(fx);
  if (info.id == FxId::feedback) out += feedbackExtras(fx);
  return out + "}";
}

std::string effectsJson(const InputFx& fx) {
  std::string out = "{";
  bool first = true;
  for (const FxInfo& row : kFx) {
    if (row.tool) continue;
    if (!first) out += ',';
    first = false;
    out += '"';
    out += row.key;
    out += "\":";
    out += fxJson(fx, row);
  }
  return out + "}";
}

std::string chainJson(const FxChain& chain) {
  const auto names = [](const std::vector<FxChain::Slot>& slots) {
    std::string out;
    for (const FxChain::Slot& slot : slots) {
      if (!out.empty()) out += ',';
      out += q(FxChain::name(slot));
    }
    return out;
  };
  return "{\"order\":[" + names(chain.movable) + "],\"run\":[" + names(chain.run()) + "]}";
}

} // namespace velto::detail
