// Commands on the effects of the hardware inputs and the limiter of the hardware outputs: the
// effect lists, each effect's switch and parameters, the looper's actions, the reset counters and
// the movable part of an input's chain.
#include "api/api_detail.h"

#include "effects/fx_chain.h"
#include "effects/fx_table.h"
#include "effects/input_fx.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace velto::detail {

namespace {

constexpr const char* kMessageB = "Wert: on | off | toggle";
constexpr const char* kMessageA = "Wert: main | record | play | overdub | stop | clear | undo";
constexpr const char* kOrderRefused =
    "Reihenfolge ungültig (feste Glieder: aec, feedback, limiter; jedes Glied einmal)";

// The looper's action words; the code of each is its position + 1.
constexpr const char* kActions[7] = {"main", "record", "play", "overdub", "stop", "clear", "undo"};

// One addressed effect: its bank and its table row.
struct Target {
  InputFx* bank = nullptr;
  const FxInfo* info = nullptr;
};

std::string rangeMessage(const FxParam& param) {
  char text[96];
  std::snprintf(text, sizeof text, "%s %g–%g %s", param.label, static_cast<double>(param.min),
                static_cast<double>(param.max), param.unit);
  std::string out = text;
  if (param.kind == FxParam::Kind::choice) {
    char step[32];
    std::snprintf(step, sizeof step, "%.1f", static_cast<double>(param.step));
    out += ", Schritt " + std::string(step);
  }
  return out;
}

// The parameter value the body names: a choice name, else a leading finite number in range.
// A switch also takes on and off, the words the configuration file stores it with.
bool paramValue(const FxParam& param, const std::string& body, float& out) {
  bool on = false;
  if (param.kind == FxParam::Kind::toggle && !same(body, "toggle") && parseBool(body, false, on)) {
    out = on ? 1.0f : 0.0f;
    return true;
  }
  if (param.kind == FxParam::Kind::choice && param.choices != nullptr) {
    for (int n = 0;; ++n) {
      const std::string name = choiceName(param, n);
      if (name.empty()) break;
      if (sameText(trim(name), body)) {
        out = param.min + static_cast<float>(n);
        return true;
      }
    }
  }
  const char* begin = body.c_str();
  char* end = nullptr;
  const float value = std::strtof(begin, &end);
  // Written so that a value that is not a number fails the range test too.
  if (end == begin || !std::isfinite(value) || !(value >= param.min && value <= param.max)) {
    return false;
  }
  out = value;
  return true;
}

HttpResponse paramCommand(const Target& t, int index, const Request& r) {
  const FxParam& param = t.info->params[index];
  const float current = t.bank->params[t.info->id][index].load();
  if (r.method == Method::read) {
    return ok(param.kind == FxParam::Kind::toggle ? boolText(current >= 0.5f) : num(current));
  }
  if (r.method != Method::write) return error(405, "nur GET oder POST");
  float value = 0.0f;
  if (!paramValue(param, r.body, value) || !t.bank->set(t.info->id, index, value)) {
    return error(400, rangeMessage(param));
  }
  return ok(fxJson(*t.bank, *t.info));
}

HttpResponse enabledCommand(const Target& t, const Request& r) {
  std::atomic<bool>& on = t.bank->enabled[t.info->id];
  if (r.method == Method::read) return ok(boolText(on.load()));
  bool value = false;
  if (r.method != Method::write || !parseBool(r.body, on.load(), value)) {
    return error(400, kMessageB);
  }
  on.exchange(value);
  return ok(fxJson(*t.bank, *t.info));
}

HttpResponse actionCommand(const Target& t, const Request& r) {
  if (r.method != Method::write) return error(405, "nur POST");
  for (uint32_t i = 0; i < 7; ++i) {
    if (same(r.body, kActions[i])) {
      t.bank->looperCommand.exchange(i + 1);
      return ok(fxJson(*t.bank, *t.info));
    }
  }
  return error(400, kMessageA);
}

HttpResponse resetCommand(const Target& t, const Request& r) {
  if (r.method != Method::write) return error(405, "nur POST");
  if (t.info->id == FxId::aec) {
    t.bank->aecReset.fetch_add(1);
  } else {
    t.bank->feedbackReset.fetch_add(1);
  }
  return ok(fxJson(*t.bank, *t.info));
}

// Everything below one addressed effect; `depth` is the index of the first word after it.
HttpResponse targetCommand(Api& api, const Target& t, const Request& r, size_t depth) {
  const std::vector<std::string>& w = r.words;
  const FxId id = t.info->id;
  if (w.size() == depth) {
    if (r.method != Method::read) return error(405, "nur GET");
    return ok(fxJson(*t.bank, *t.info));
  }
  // A looper that is addressed gets its buffers; a code stored before they arrive waits for them.
  if (id == FxId::looper) t.bank->prepareLooper();
  const std::string& word = w[depth];
  if (id == FxId::eq && same(word, "presets"))
    return eqPresetCommand(api, *t.bank, *t.info, r, depth);
  if (w.size() != depth + 1) return error(404, "unbekannter Pfad");
  if (same(word, "enabled")) return enabledCommand(t, r);
  if (id == FxId::looper && same(word, "action")) return actionCommand(t, r);
  if ((id == FxId::aec || id == FxId::feedback) && same(word, "reset")) return resetCommand(t, r);
  if (id == FxId::eq && same(word, "preset"))
    return eqPresetCommand(api, *t.bank, *t.info, r, depth);
  const int index = findParam(t.info, word.c_str());
  if (index < 0 || word.find('\0') != std::string::npos) return error(404, "unbekannt: " + word);
  return paramCommand(t, index, r);
}

HttpResponse chainCommand(FxChain& chain, const Request& r) {
  if (r.words.size() != 5) return error(404, "unbekannter Pfad");
  if (r.method == Method::read) return ok(chainJson(chain));
  if (r.method != Method::write) return error(405, "nur GET oder POST");
  std::vector<FxChain::Slot> slots;
  if (!r.body.empty()) {
    size_t start = 0;
    while (true) {
      const size_t comma = r.body.find(',', start);
      const std::string item = trim(r.body.substr(start, comma - start));
      const std::optional<FxChain::Slot> slot = FxChain::parse(item);
      if (!slot) return error(400, "unbekannt: " + item);
      slots.push_back(*slot);
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  if (!chain.setMovable(slots)) return error(400, kOrderRefused);
  return ok(chainJson(chain));
}

HttpResponse addCommand(FxChain& chain, const Request& r) {
  if (r.words.size() != 5) return error(404, "unbekannter Pfad");
  if (r.method != Method::write) return error(405, "nur POST");
  const FxInfo* row = r.body.find('\0') == std::string::npos ? findFx(r.body.c_str()) : nullptr;
  FxChain::Slot slot;
  if (row == nullptr || !chain.add(row->id, &slot)) {
    return error(400, "Art unbekannt, fest oder schon 4-mal da: " + r.body);
  }
  chain.banks[slot.bank]->enabled[slot.id].exchange(true);
  return ok(chainJson(chain));
}

bool isFixed(FxId id) {
  return id == FxId::aec || id == FxId::feedback || id == FxId::limiter;
}

// S/effects/...: the bank's list, the chain, adding, removing and the effects by slot name.
HttpResponse effectsCommand(Api& api, HwInput& input, const Request& r) {
  const std::vector<std::string>& w = r.words;
  FxChain& chain = *input.fxChain;
  if (w.size() == 4) {
    if (r.method != Method::read) return error(405, "nur GET");
    return ok(effectsJson(*input.fx));
  }
  const std::string& name = w[4];
  if (same(name, "chain")) return chainCommand(chain, r);
  if (same(name, "add")) return addCommand(chain, r);
  const std::optional<FxChain::Slot> slot = FxChain::parse(name);
  if (!slot) return error(404, "unbekannter Effekt: " + name);
  if (w.size() == 5 && r.method == Method::remove) {
    if (!chain.remove(*slot)) return error(400, "nicht in der Kette: " + name);
    return ok(chainJson(chain));
  }
  // The fixed members exist once, in the first bank.
  if ((isFixed(slot->id) && slot->bank != 0) || chain.banks[slot->bank] == nullptr) {
    return error(404, "unbekannter Effekt: " + name);
  }
  return targetCommand(api, Target{chain.banks[slot->bank].get(), &kFx[slot->id]}, r, 5);
}

} // namespace

bool effectCommand(Api& api, Ref ref, const Request& r, HttpResponse& reply) {
  Engine& engine = api.engine;
  const std::string& w = r.words[3];
  if (ref.group == hwOutputs) {
    if (!same(w, "limiter")) return false;
    Bus& bus = engine.buses[ref.index];
    reply = targetCommand(api, Target{bus.fx.get(), &kFx[FxId::limiter]}, r, 4);
    return true;
  }
  if (ref.group != hwInputs) return false;
  HwInput& input = engine.hwInputs[ref.index];
  if (same(w, "effects")) {
    reply = effectsCommand(api, input, r);
    return true;
  }
  const FxInfo* row = w.find('\0') == std::string::npos ? findFx(w.c_str()) : nullptr;
  if (row == nullptr) return false;
  // Only the tools sit directly below the input; the other effects are reached by slot name.
  reply = row->tool ? targetCommand(api, Target{input.fx, row}, r, 4)
                    : error(404, "unbekanntes Element: " + w);
  return true;
}

} // namespace velto::detail
