// Commands on the noise filter of a hardware input: its switch and strength, measuring a noise
// profile and reading or writing the profile's 257 values.
#include "api/api_detail.h"

#include "effects/noise_filter.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace velto::detail {

namespace {

constexpr const char* kMessageB = "Wert: on | off | toggle";
constexpr const char* kMessageM = "Wert: start | stop | discard";
constexpr const char* kStrength = "Stärke 6–40 dB";

// A leading decimal number that is finite; false for anything else.
bool finiteNumber(const std::string& text, float& out) {
  const char* begin = text.c_str();
  char* end = nullptr;
  const float value = std::strtof(begin, &end);
  if (end == begin || !std::isfinite(value)) return false;
  out = value;
  return true;
}

HttpResponse strengthCommand(Api& api, Ref ref, NoiseFilter& filter, const Request& r) {
  if (r.method == Method::read) return ok(num(filter.strength.load()));
  float db = 0.0f;
  if (r.method != Method::write || !finiteNumber(r.body, db)) return error(400, kStrength);
  db = std::fabs(db);
  if (db < 6.0f || db > 40.0f || !filter.setStrength(db)) return error(400, kStrength);
  return ok(objectJson(api.engine, ref));
}

HttpResponse profileCommand(Api& api, Ref ref, const Request& r) {
  const InputAnalysis& analysis = api.engine.analysis[ref.index];
  if (r.method == Method::read) {
    std::string out;
    for (const float value : analysis.profile) {
      if (!out.empty()) out += ',';
      out += num(value);
    }
    return ok(q(out));
  }
  const std::string refused = std::to_string(NoiseFilter::kBins) + " Werte in dB, kommagetrennt";
  if (r.method != Method::write) return error(400, refused);
  float values[NoiseFilter::kBins];
  size_t count = 0;
  size_t start = 0;
  while (true) {
    const size_t comma = r.body.find(',', start);
    const std::string item = trim(r.body.substr(start, comma - start));
    float value = 0.0f;
    if (count == NoiseFilter::kBins || !finiteNumber(item, value)) return error(400, refused);
    values[count++] = value;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (count != NoiseFilter::kBins) return error(400, refused);
  api.engine.setProfile(ref.index, values);
  return ok(objectJson(api.engine, ref));
}

} // namespace

HttpResponse noiseCommand(Api& api, Ref ref, const Request& r) {
  Engine& engine = api.engine;
  NoiseFilter& filter = *engine.hwInputs[ref.index].noiseFilter;
  const std::vector<std::string>& w = r.words;
  if (w.size() == 4) {
    if (r.method != Method::read) return error(405, "nur GET");
    return ok(objectJson(engine, ref));
  }
  if (w.size() != 5) return error(404, "unbekannter Pfad");
  const std::string& word = w[4];
  if (same(word, "enabled")) {
    if (r.method == Method::read) return ok(boolText(filter.enabled.load()));
    bool on = false;
    if (r.method != Method::write || !parseBool(r.body, filter.enabled.load(), on)) {
      return error(400, kMessageB);
    }
    if (on && !engine.analysis[ref.index].hasProfile) return error(400, "erst Rauschprofil messen");
    filter.enabled.exchange(on);
    return ok(objectJson(engine, ref));
  }
  if (same(word, "strength")) return strengthCommand(api, ref, filter, r);
  if (same(word, "profile")) return profileCommand(api, ref, r);
  if (same(word, "measure")) {
    if (r.method != Method::write) return error(405, "nur POST");
    if (same(r.body, "start")) {
      engine.startMeasure(ref.index);
    } else if (same(r.body, "stop")) {
      engine.stopMeasure(ref.index);
    } else if (same(r.body, "discard")) {
      engine.discardProfile(ref.index);
    } else {
      return error(400, kMessageM);
    }
    return ok(objectJson(engine, ref));
  }
  return error(404, "unbekannt: " + word);
}

} // namespace velto::detail
