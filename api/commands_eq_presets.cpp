// Commands on the EQ presets: applying one to a bank, listing, saving the bank's values as a
// preset, removing, importing and exporting preset files. Every write goes to the store at once.
#include "api/api_detail.h"

#include "effects/eq_presets.h"
#include "effects/input_fx.h"

namespace velto::detail {

namespace {

HttpResponse listOrSave(InputFx& bank, const Request& r) {
  if (r.method == Method::read) {
    std::string out = "[";
    for (const EqPreset& preset : EqPresets::all()) {
      if (out.size() > 1) out += ',';
      out += "{\"name\":" + q(preset.name) + ",\"factory\":" + boolText(preset.factory) + "}";
    }
    return ok(out + "]");
  }
  if (r.method != Method::write || r.body.empty()) return error(400, "Name fehlt");
  std::string message;
  if (!EqPresets::save(EqPresets::fromFx(r.body, bank), message)) return error(400, message);
  return ok(q(r.body));
}

// The file's name without its folder and its last extension: the preset it is to carry.
std::string stem(const std::string& path) {
  const size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

// Touches only files, so it may run on any thread.
HttpResponse presetFile(bool import, const std::string& path) {
  std::string message;
  if (import) {
    std::string name;
    if (!EqPresets::importFrom(path, name, message)) return error(400, message);
    return ok(q(name));
  }
  if (!EqPresets::exportTo(stem(path), path, message)) return error(400, message);
  return ok(q(path));
}

HttpResponse fileCommand(Api& api, bool import, const Request& r) {
  if (r.method != Method::write) return error(405, "nur POST");
  if (r.body.empty()) return error(400, "Pfad fehlt");
  // The named file may lie on a slow mount.
  return answerOffMain(api, [import, path = r.body] { return presetFile(import, path); });
}

} // namespace

HttpResponse eqPresetCommand(Api& api, InputFx& bank, const FxInfo& info, const Request& r,
                             size_t depth) {
  const std::vector<std::string>& w = r.words;
  if (same(w[depth], "preset")) {
    if (r.method != Method::write) return error(405, "nur POST");
    EqPreset preset;
    if (!EqPresets::find(r.body, preset)) return error(404, "Vorlage nicht gefunden: " + r.body);
    EqPresets::apply(preset, bank);
    return ok(fxJson(bank, info));
  }
  if (w.size() == depth + 1) return listOrSave(bank, r);
  if (w.size() != depth + 2) return error(404, "unbekannter Pfad");
  const std::string& word = w[depth + 1];
  if (same(word, "import")) return fileCommand(api, true, r);
  if (same(word, "export")) return fileCommand(api, false, r);
  if (r.method != Method::remove) return error(405, "nur DELETE");
  std::string message;
  if (!EqPresets::remove(word, message)) return error(400, message);
  return ok(q(word));
}

} // namespace velto::detail
