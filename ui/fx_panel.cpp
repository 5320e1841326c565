#include "ui/fx_panel.h"

#include "effects/eq_presets.h"
#include "effects/input_fx.h"
#include "engine/engine.h"
#include "ui/help.h"
#include "ui/style.h"
#include "ui/window.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <utility>

namespace velto {
namespace {

constexpr float kValueColumn = 124.0f;
constexpr float kPresetColumn = 96.0f;
const ImVec4 kGrab{0.35f, 0.75f, 0.95f, 0.85f};

// Displayed reduction per (meter key, effect): deeper readings show at once, recovery is slow.
std::map<std::pair<int, int>, float> gReduction;

float param(const InputFx& fx, FxId id, int i) {
  return fx.params[id][i].load(std::memory_order_relaxed);
}

// Slider format: number format, separator and unit ("%" doubled), at most 31 bytes.
void sliderFormat(const FxParam& p, char* out, size_t size) {
  const char* number = p.step >= 1.0f           ? "%.0f"
                       : p.unit[0] == '\0'      ? "%.2f"
                       : p.max - p.min <= 40.0f ? "%.1f"
                                                : "%.0f";
  const char* sep = (p.unit[0] == '\0' || p.unit[0] == ':') ? "" : " ";
  const char* unit = std::strcmp(p.unit, "%") == 0 ? "%%" : p.unit;
  std::snprintf(out, size, "%s%s%s", number, sep, unit);
}

void alignedText(const ImVec4& colour, const char* text) {
  ImGui::AlignTextToFramePadding();
  ImGui::TextColored(colour, "%s", text);
}

void valueColumn() {
  ImGui::SameLine(ImGui::GetStyle().WindowPadding.x + kValueColumn);
}

void latencyLabel(const InputFx& fx, FxId id) {
  const bool mode = param(fx, id, 0) >= 0.5f;
  const char* text = "0 ms";
  if (id == FxId::limiter && param(fx, id, 2) >= 0.5f)
    text = "+1,0 ms";
  else if (id == FxId::aec)
    text = "+5,3 ms";
  else if (id == FxId::pitch)
    text = mode ? "+44 ms" : "+25 ms";
  else if (id == FxId::octaver || id == FxId::harmonizer)
    text = mode ? "Stimmen +44 ms" : "Stimmen +25 ms";
  ImGui::SameLine();
  ImGui::AlignTextToFramePadding();
  ImGui::TextDisabled("%s", text);
}

void parameterList(InputFx& fx, const FxInfo& info, float availX) {
  for (int i = 0; i < info.paramCount; ++i) {
    const FxParam& p = info.params[i];
    const std::string key = helpRef(info.label, p.label);
    helpRow(p.label);
    alignedText(kTextLight, p.label);
    valueColumn();
    fxParam(fx, info, i, availX - kValueColumn);
    helpItem(key);
    if (info.id == FxId::limiter && p.kind == FxParam::Kind::toggle &&
        param(fx, info.id, i) >= 0.5f) {
      ImGui::SameLine();
      alignedText(kTextLight, "+1,0 ms Latenz");
    }
  }
}

void looperExtras(InputFx& fx, float availX, float h) {
  static const char* const kStates[5] = {"leer", "Aufnahme", "Abspielen", "Overdub", "gestoppt"};
  fx.prepareLooper();
  const uint32_t state = std::min<uint32_t>(fx.looperState.load(), 4);
  const uint32_t len = fx.looperLength.load();
  const uint32_t pos = fx.looperPosition.load();
  const int32_t layer = fx.looperLayer.load();
  const bool recording = state == 1 || state == 3;

  ImGui::Dummy(ImVec2(0, 4));
  helpRow("Zustand");
  alignedText(kTextLight, "Zustand");
  valueColumn();
  alignedText(recording ? kRed : kTextLight, kStates[state]);
  if (state == 1 || len > 0) {
    ImGui::SameLine();
    ImGui::TextDisabled("%.1f s / %.1f s", pos / 48000.0, (state == 1 ? pos : len) / 48000.0);
  }
  const ImVec2 p0 = ImGui::GetCursorScreenPos();
  ImGui::Dummy(ImVec2(availX, 6));
  helpItem(helpRef("Looper", "Zustand"));
  ImDrawList* dl = ImGui::GetWindowDrawList();
  dl->AddRectFilled(p0, ImVec2(p0.x + availX, p0.y + 6), ImGui::GetColorU32(kTrack), 3.0f);
  if (len > 0) {
    const float frac = std::min(1.0f, static_cast<float>(pos) / static_cast<float>(len));
    dl->AddRectFilled(p0, ImVec2(p0.x + frac * availX, p0.y + 6),
                      ImGui::GetColorU32(recording ? kRed : kAccentIn), 3.0f);
  }

  ImGui::Dummy(ImVec2(0, 4));
  ImGui::PushID("looper");
  const char* mainLabel = state == 0 ? "Aufnahme" : state == 2 ? "Overdub" : "Abspielen";
  if (coloredButton(mainLabel, recording ? kRed : kAccentIn, kTextDark, 140, h + 8)) {
    fx.enabled[FxId::looper].exchange(true);
    fx.looperCommand.store(static_cast<uint32_t>(LooperAction::main), std::memory_order_relaxed);
  }
  helpItem(helpRef("Looper", "Haupttaste"));
  ImGui::SameLine();
  if (coloredButton("Stopp", kGray, kTextLight, 90, h + 8))
    fx.looperCommand.store(static_cast<uint32_t>(LooperAction::stop), std::memory_order_relaxed);
  ImGui::SameLine();
  ImGui::BeginDisabled(recording || layer < 1);
  if (coloredButton(layer == 1 ? "Wiederholen" : "Rückgängig", kGray, kTextLight, 120, h + 8))
    fx.looperCommand.store(static_cast<uint32_t>(LooperAction::undo), std::memory_order_relaxed);
  ImGui::EndDisabled();
  ImGui::SameLine();
  if (coloredButton("Löschen", kGray, kTextLight, 90, h + 8))
    fx.looperCommand.store(static_cast<uint32_t>(LooperAction::clear), std::memory_order_relaxed);
  ImGui::PopID();
}

void aecExtras(Engine& engine, InputFx& fx, float h) {
  ImGui::Dummy(ImVec2(0, 4));
  helpRow("Unterdrückung");
  alignedText(kTextLight, "Unterdrückung");
  valueColumn();
  bool speaker = false;
  for (int b = 0; b < 3; ++b) speaker = speaker || engine.buses[b].speaker.load();
  ImGui::AlignTextToFramePadding();
  if (!fx.enabled[FxId::aec].load())
    ImGui::TextDisabled("aus");
  else if (!speaker)
    ImGui::TextDisabled("kein Output als Lautsprecher eingestellt");
  else
    ImGui::TextColored(kTextLight, "%.0f dB", std::max(fx.aecSuppressionDb.load(), 0.0f));
  ImGui::SetCursorPosX(ImGui::GetStyle().WindowPadding.x + kValueColumn);
  if (coloredButton("Neu lernen", kGray, kTextLight, 140, h)) fx.aecReset.fetch_add(1);
  if (ImGui::IsItemHovered()) ImGui::SetTooltip("Raum hat sich verändert: Filter beginnt von vorn");
}

void feedbackExtras(InputFx& fx, float h) {
  ImGui::Dummy(ImVec2(0, 4));
  helpRow("Kerben");
  alignedText(kTextLight, "Kerben");
  valueColumn();
  char list[InputFx::kNotches * 40 + 8] = "";
  size_t used = 0;
  for (const auto& [hz, depth] : fx.notches()) {
    if (depth <= 0.0f) continue;
    char entry[40];
    const char* sep = used ? " \u00b7 " : "";
    if (hz < 1000.0f)
      std::snprintf(entry, sizeof entry, "%s%.0f Hz \u2212%.0f", sep, hz, depth);
    else
      std::snprintf(entry, sizeof entry, "%s%.2f kHz \u2212%.0f", sep, hz / 1000.0f, depth);
    const size_t n = std::strlen(entry);
    std::memcpy(list + used, entry, n + 1);
    used += n;
  }
  ImGui::AlignTextToFramePadding();
  ImGui::TextDisabled("%s", used ? list : "keine");
  const float duck = fx.feedbackDuckDb.load();
  if (duck > 0.05f) {
    helpRow("Input leiser");
    alignedText(kTextLight, "Input leiser");
    valueColumn();
    ImGui::AlignTextToFramePadding();
    ImGui::TextColored(kRed, "\u2212%.0f dB", duck);
  }
  ImGui::SetCursorPosX(ImGui::GetStyle().WindowPadding.x + kValueColumn);
  if (coloredButton("Zurücksetzen", kGray, kTextLight, 140, h)) fx.feedbackReset.fetch_add(1);
  if (ImGui::IsItemHovered()) ImGui::SetTooltip("Alle Kerben und die Absenkung lösen");
}

// The text after the last "/", cut before its last ".".
std::string stemOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  std::string stem = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = stem.find_last_of('.');
  if (dot != std::string::npos) stem.resize(dot);
  return stem;
}

void eqPresetRow(InputFx& fx, float availX, float h) {
  static std::vector<EqPreset> list;
  static bool loaded = false;
  static std::string message;
  static char name[64] = "";
  static bool comboOpen = false;
  if (!loaded) {
    list = EqPresets::all();
    loaded = true;
  }

  const std::string previousSection = gHelpSection;
  gHelpSection = "EQ-Vorlagen";
  const float pad = ImGui::GetStyle().WindowPadding.x;

  auto currentIndex = [&fx]() -> int {
    for (size_t k = 0; k < list.size(); ++k) {
      bool same = true;
      for (int i = 0; i < kFxMaxParams && same; ++i)
        same = std::fabs(list[k].values[i] - param(fx, FxId::eq, i)) <= 0.001f;
      if (same) return static_cast<int>(k);
    }
    return -1;
  };
  int current = currentIndex();

  helpRow("Vorlage");
  alignedText(kTextLight, "Vorlage");
  ImGui::SameLine(pad + kPresetColumn);
  ImGui::SetNextItemWidth(availX - kPresetColumn);
  const char* preview = current >= 0 ? list[current].name.c_str() : "eigene Einstellung";
  if (ImGui::BeginCombo("##eqpreset", preview)) {
    if (!comboOpen) {
      list = EqPresets::all();
      current = currentIndex();
    }
    comboOpen = true;
    for (size_t k = 0; k < list.size(); ++k) {
      if (!list[k].factory && (k == 0 || list[k - 1].factory)) ImGui::Separator();
      ImGui::PushID(static_cast<int>(k));
      if (ImGui::Selectable(list[k].name.c_str(), static_cast<int>(k) == current)) {
        EqPresets::apply(list[k], fx);
        message.clear();
      }
      ImGui::PopID();
    }
    ImGui::EndCombo();
  } else {
    comboOpen = false;
  }
  helpItem(helpRef("EQ-Vorlagen", "Vorlage"));
  current = currentIndex();
  const bool userMatch = current >= 0 && !list[current].factory;
  const std::string currentName = current >= 0 ? list[current].name : std::string();

  ImGui::SetCursorPosX(pad + kPresetColumn);
  if (coloredButton("Speichern …", kGray, kTextLight, 100, h)) {
    std::snprintf(name, sizeof name, "%s", userMatch ? currentName.c_str() : "");
    ImGui::OpenPopup("eqsave");
  }
  ImGui::SameLine();
  const bool exporting = coloredButton("Exportieren …", kGray, kTextLight, 100, h);
  if (exporting && !gSavePicker) message = missingChooserLine();
  if (exporting && gSavePicker) {
    const std::string path = gSavePicker("veltoeq", current >= 0 ? currentName.c_str() : "EQ");
    if (!path.empty()) {
      // A file named so that it could never be imported gets a name that can.
      std::string stem = stemOf(path);
      if (!EqPresets::validName(stem)) stem = "EQ";
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out << EqPresets::serialize(EqPresets::fromFx(stem, fx));
      out.close();
      message = out ? "exportiert" : "nicht geschrieben";
    }
  }
  ImGui::SameLine();
  const bool importing = coloredButton("Importieren …", kGray, kTextLight, 100, h);
  if (importing && !gFilePicker) message = missingChooserLine();
  if (importing && gFilePicker) {
    const std::string path = gFilePicker("veltoeq");
    if (!path.empty()) {
      std::string imported, error;
      bool renamed = false;
      if (!EqPresets::importFrom(path, imported, error, &renamed)) {
        message = error;
      } else {
        EqPreset preset;
        if (EqPresets::find(imported, preset)) EqPresets::apply(preset, fx);
        message = "importiert: " + imported;
        if (renamed) message += " (Name war vergeben, beide behalten)";
      }
      list = EqPresets::all();
    }
  }
  ImGui::SameLine();
  ImGui::BeginDisabled(!userMatch);
  if (coloredButton("Löschen", kGray, kTextLight, 80, h)) {
    std::string error;
    message = EqPresets::remove(currentName, error) ? "gelöscht: " + currentName : error;
    list = EqPresets::all();
  }
  ImGui::EndDisabled();

  if (ImGui::BeginPopup("eqsave")) {
    ImGui::TextUnformatted("Name der Vorlage");
    if (ImGui::IsWindowAppearing()) ImGui::SetKeyboardFocusHere();
    ImGui::SetNextItemWidth(220);
    if (ImGui::InputText("##eqname", name, sizeof name, ImGuiInputTextFlags_EnterReturnsTrue) &&
        name[0] != '\0') {
      std::string error;
      message = EqPresets::save(EqPresets::fromFx(name, fx), error)
                    ? std::string("gespeichert: ") + name
                    : error;
      list = EqPresets::all();
      ImGui::CloseCurrentPopup();
    }
    ImGui::TextDisabled("Enter");
    ImGui::EndPopup();
  }
  if (!message.empty()) ImGui::TextDisabled("%s", message.c_str());
  gHelpSection = previousSection;
}

void eqGraph(const InputFx& fx, float availX) {
  static std::vector<ImVec2> pts;
  const float raw = ImGui::GetContentRegionAvail().y - (4 * ImGui::GetTextLineHeightWithSpacing() +
                                                        3 * ImGui::GetFrameHeightWithSpacing() + 8);
  const float height = raw < 50.0f ? 50.0f : std::min(raw, 160.0f);
  const ImVec2 p0 = ImGui::GetCursorScreenPos();
  const ImVec2 p1(p0.x + availX, p0.y + height);
  ImGui::Dummy(ImVec2(availX, height));
  helpItem("effekte#EQ#Kurve");

  ImDrawList* dl = ImGui::GetWindowDrawList();
  dl->AddRectFilled(p0, p1, ImGui::GetColorU32(kTrack), 6.0f);
  static const float kLines[3] = {100.0f, 1000.0f, 10000.0f};
  for (float f : kLines) {
    const float x = p0.x + availX * std::log10(f / 20.0f) / 3.0f;
    dl->AddLine(ImVec2(x, p0.y), ImVec2(x, p1.y), IM_COL32(255, 255, 255, 18), 1.0f);
    char label[16];
    if (f < 1000.0f)
      std::snprintf(label, sizeof label, "%.0f", f);
    else
      std::snprintf(label, sizeof label, "%.0fk", f / 1000.0f);
    dl->AddText(ImVec2(x + 3, p1.y - 16), IM_COL32(255, 255, 255, 90), label);
  }
  const float mid = p0.y + height * 0.5f;
  dl->AddLine(ImVec2(p0.x, mid), ImVec2(p1.x, mid), IM_COL32(255, 255, 255, 50), 1.0f);

  eqCurvePoints(fx, p0, ImVec2(availX, height), pts);
  dl->PushClipRect(p0, p1, true);
  dl->AddPolyline(pts.data(), static_cast<int>(pts.size()), ImGui::GetColorU32(kAccentIn), 0, 1.8f);
  dl->PopClipRect();
  ImGui::Dummy(ImVec2(0, 2));
}

void bandColumns(InputFx& fx, const FxInfo& info, float availX) {
  int groups = 0;
  for (int i = 0; i < info.paramCount; ++i)
    if (i == 0 || std::strcmp(info.params[i].group, info.params[i - 1].group) != 0) ++groups;
  if (groups == 0) return;
  const float colW = (availX - 10.0f * (groups - 1)) / groups;
  const ImVec2 start = ImGui::GetCursorPos();
  float bottom = start.y;
  int g = -1;
  for (int i = 0; i < info.paramCount;) {
    ++g;
    const char* caption = info.params[i].group;
    ImGui::SetCursorPos(ImVec2(start.x + g * (colW + 10.0f), start.y));
    ImGui::BeginGroup();
    const std::string captionKey = helpRef(info.label, caption);
    ImGui::TextDisabled("%s", caption);
    helpItem(captionKey);
    for (; i < info.paramCount && std::strcmp(info.params[i].group, caption) == 0; ++i) {
      ImGui::TextColored(kTextLight, "%s", info.params[i].label);
      helpItem(captionKey);
      fxParam(fx, info, i, colW);
      helpItem(captionKey);
    }
    ImGui::EndGroup();
    bottom = std::max(bottom, ImGui::GetCursorPosY());
  }
  ImGui::SetCursorPos(ImVec2(start.x, bottom));
  ImGui::Dummy(ImVec2(0, 0));
}

} // namespace

void eqCurvePoints(const InputFx& fx, ImVec2 topLeft, ImVec2 size, std::vector<ImVec2>& pts) {
  const int n = std::max(2, static_cast<int>(size.x / 3.0f));
  pts.clear();
  for (int i = 0; i <= n; ++i) {
    const double f = 20.0 * std::pow(1000.0, static_cast<double>(i) / n);
    const double d = fx.eqResponseDb(f);
    const double frac = d < -18.0 ? 0.95 : std::min(d, 18.0) / -40.0 + 0.5;
    pts.emplace_back(topLeft.x + static_cast<float>(i) * size.x / static_cast<float>(n),
                     topLeft.y + static_cast<float>(frac) * size.y);
  }
}

void reductionMeter(InputFx& fx, int key, FxId id, float rangeDb, float width) {
  const float r = fx.takeReductionDb(id);
  float& shown = gReduction[{key, static_cast<int>(id)}];
  shown = std::min(0.0f, std::min(r, shown + 20.0f * ImGui::GetIO().DeltaTime));

  const float h = ImGui::GetFrameHeight();
  const ImVec2 p0 = ImGui::GetCursorScreenPos();
  ImGui::Dummy(ImVec2(width, h));
  helpItem("effekte#Absenkungsanzeige");
  const bool hovered = ImGui::IsItemHovered();

  ImDrawList* dl = ImGui::GetWindowDrawList();
  const float trackW = width - 64.0f;
  const float top = p0.y + (h - 8.0f) * 0.5f;
  dl->AddRectFilled(ImVec2(p0.x, top), ImVec2(p0.x + trackW, top + 8), ImGui::GetColorU32(kTrack),
                    2.0f);
  const float frac = std::clamp(-shown / rangeDb, 0.0f, 1.0f);
  if (frac > 0.0f)
    dl->AddRectFilled(ImVec2(p0.x + trackW * (1.0f - frac), top), ImVec2(p0.x + trackW, top + 8),
                      ImGui::GetColorU32(kTextLight), 2.0f);
  char text[24];
  std::snprintf(text, sizeof text, "%.1f dB", shown);
  dl->AddText(ImVec2(p0.x + trackW + 8, p0.y + (h - ImGui::GetTextLineHeight()) * 0.5f),
              IM_COL32(255, 255, 255, 150), text);
  if (hovered) ImGui::SetTooltip("Absenkung");
}

void fxParam(InputFx& fx, const FxInfo& info, int index, float width) {
  const FxParam& p = info.params[index];
  const float v = param(fx, info.id, index);
  const float h = ImGui::GetFrameHeight();
  ImGui::PushID(index);
  if (p.kind == FxParam::Kind::toggle) {
    const bool on = v >= 0.5f;
    if (coloredButton(on ? "an" : "aus", on ? kAccentIn : kGray, on ? kTextDark : kTextLight, 70,
                      h))
      fx.set(info.id, index, on ? 0.0f : 1.0f);
  } else if (p.kind == FxParam::Kind::choice) {
    const int n = p.step > 0.0f ? static_cast<int>(std::round((p.max - p.min) / p.step)) : -1;
    const float spacing = ImGui::GetStyle().ItemSpacing.x;
    for (int k = 0; k <= n; ++k) {
      const float value = p.min + static_cast<float>(k) * p.step;
      char label[32];
      if (p.choices)
        std::snprintf(label, sizeof label, "%s", choiceName(p, k).c_str());
      else if (p.unit[0] != '\0')
        std::snprintf(label, sizeof label, "%g %s", value, p.unit);
      else
        std::snprintf(label, sizeof label, "%g", value);
      const bool selected = std::fabs(v - value) < 0.001f;
      if (k > 0) ImGui::SameLine();
      ImGui::PushID(k);
      if (coloredButton(label, selected ? kAccentIn : kGray, selected ? kTextDark : kTextLight,
                        (width - n * spacing) / (n + 1), h))
        fx.set(info.id, index, value);
      ImGui::PopID();
    }
  } else {
    char format[32];
    sliderFormat(p, format, sizeof format);
    ImGui::PushStyleColor(ImGuiCol_SliderGrab, kGrab);
    ImGui::PushStyleColor(ImGuiCol_SliderGrabActive, kAccentIn);
    ImGui::PushStyleVar(ImGuiStyleVar_GrabMinSize, 4.0f);
    ImGui::SetNextItemWidth(width);
    float edited = v;
    // A value typed with Ctrl+click is held to the range like a dragged one.
    ImGuiSliderFlags flags = ImGuiSliderFlags_AlwaysClamp;
    if (p.kind == FxParam::Kind::log) flags |= ImGuiSliderFlags_Logarithmic;
    if (ImGui::SliderFloat("##v", &edited, p.min, p.max, format, flags) && std::isfinite(edited))
      fx.set(info.id, index, std::clamp(edited, p.min, p.max));
    if (ImGui::IsItemHovered() && !ImGui::IsItemActive())
      ImGui::SetTooltip("Strg+Klick: Zahl eingeben");
    ImGui::PopStyleVar();
    ImGui::PopStyleColor(2);
  }
  ImGui::PopID();
}

void fxSettings(Engine& engine, int input, InputFx& fx, const FxInfo& info, int instance) {
  const float h = ImGui::GetFrameHeight();
  const ImVec2 avail = ImGui::GetContentRegionAvail();
  const float pad = ImGui::GetStyle().WindowPadding.x;
  const FxId id = info.id;
  gHelpPage = info.tool ? "werkzeuge" : "effekte";

  const ImVec2 titleAt = ImGui::GetCursorPos();
  panelTitle(info.label, kAccentIn);
  if (instance > 0) {
    // The bank number right after the title, on the title's line.
    const ImVec2 after = ImGui::GetCursorPos();
    ImGui::SetCursorPos(
        ImVec2(titleAt.x + ImGui::CalcTextSize(info.label).x + ImGui::GetStyle().ItemSpacing.x,
               titleAt.y));
    ImGui::TextColored(kAccentIn, "%d", instance + 1);
    ImGui::SetCursorPos(after);
  }

  const bool on = fx.enabled[id].load();
  if (coloredButton(on ? "an" : "aus", on ? kAccentIn : kGray, on ? kTextDark : kTextLight, 70, h))
    fx.enabled[id].exchange(!on);
  helpItem(helpRef(info.label, "an / aus"));
  latencyLabel(fx, id);

  if (id == FxId::gate || id == FxId::compressor || id == FxId::deEsser || id == FxId::feedback ||
      id == FxId::limiter) {
    const float width = std::min(0.45f * avail.x, 220.0f);
    const float range = id == FxId::gate      ? std::max(param(fx, id, 1), 1.0f)
                        : id == FxId::deEsser ? 20.0f
                                              : 24.0f;
    ImGui::SameLine(avail.x - width + pad);
    reductionMeter(fx, instance + 8 * input, id, range, width);
  }
  ImGui::Dummy(ImVec2(0, 4));

  if (info.paramCount > 0 && info.params[0].group) {
    eqPresetRow(fx, avail.x, h);
    eqGraph(fx, avail.x);
    bandColumns(fx, info, avail.x);
    return;
  }
  parameterList(fx, info, avail.x);
  if (id == FxId::looper)
    looperExtras(fx, avail.x, h);
  else if (id == FxId::aec)
    aecExtras(engine, fx, h);
  else if (id == FxId::feedback)
    feedbackExtras(fx, h);
}

} // namespace velto
