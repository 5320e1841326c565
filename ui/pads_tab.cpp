#include "ui/pads_tab.h"

#include "core/levels.h"
#include "engine/engine.h"
#include "media/audio_file.h"
#include "media/pad_bank.h"
#include "ui/board.h"
#include "ui/cards.h"
#include "ui/driver_notice.h"
#include "ui/fader.h"
#include "ui/help.h"
#include "ui/icons.h"
#include "ui/player_tab.h"
#include "ui/style.h"
#include "ui/window.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace velto {

namespace {

constexpr float kGap = 28.0f;
constexpr float kCellGap = 8.0f;
constexpr float kRounding = 8.0f;
constexpr float kValueColumn = 130.0f;
constexpr size_t kNameBytes = 63;
const ImVec4 kFaceHot{0.23f, 0.24f, 0.30f, 1.0f};
const ImVec4 kIdleBorder{0.26f, 0.27f, 0.33f, 1.0f};
const ImVec4 kNumber{0.50f, 0.52f, 0.58f, 1.0f};
const ImVec4 kLoopIdle{0.55f, 0.57f, 0.63f, 1.0f};
const ImVec4 kPlus{0.45f, 0.47f, 0.53f, 1.0f};
const ImVec4 kLabel{0.66f, 0.68f, 0.75f, 1.0f};

int gPadSel = 0; // only a tile click in edit mode changes it, always to 0..15

ImU32 colourU32(const ImVec4& c) {
  return ImGui::GetColorU32(c);
}

bool hasSound(const PadBank::Pad& pad) {
  return pad.sample.load(std::memory_order_acquire) != nullptr;
}

// The circular arrow in a tile's bottom-right corner of a looping pad.
void loopMark(ImDrawList* list, ImVec2 m, const ImVec4& colour) {
  const ImU32 c = colourU32(colour);
  list->PathArcTo(m, 5.5f, 0.3f, 5.783185f, 14);
  list->PathStroke(c, false, 1.6f);
  const ImVec2 q(m.x + 5.254351f, m.y + 1.625361f); // the arc's start
  list->AddTriangleFilled(ImVec2(q.x - 3.5f, q.y - 1), ImVec2(q.x + 3.5f, q.y - 1),
                          ImVec2(q.x, q.y + 3.5f), c);
}

void padTile(PadBank& bank, int i, ImVec2 p0, float c) {
  PadBank::Pad& pad = bank.pads[static_cast<size_t>(i)];
  const ImVec2 p1(p0.x + c, p0.y + c);
  ImGui::SetCursorScreenPos(p0);
  gPadPoint[i] = ImVec2((p0.x + p1.x) * 0.5f, (p0.y + p1.y) * 0.5f);
  ImGui::PushID(i);
  const bool clicked = ImGui::InvisibleButton("pad", ImVec2(c, c));
  const bool hovered = ImGui::IsItemHovered();
  helpItem(gPadEdit ? "pads#Bearbeiten" : "pads#Im Betrieb");
  ImGui::PopID();

  const bool sound = hasSound(pad);
  if (clicked) {
    if (gPadEdit)
      gPadSel = i;
    else if (sound)
      bank.toggle(i);
  }

  ImDrawList* list = ImGui::GetWindowDrawList();
  const bool selected = gPadEdit && i == gPadSel;
  list->AddRectFilled(p0, p1, colourU32(hovered && (sound || gPadEdit) ? kFaceHot : kCardBg),
                      kRounding);
  const bool playing = pad.playing.load(std::memory_order_acquire);
  if (playing) {
    const float done = std::clamp(pad.progress.load(std::memory_order_relaxed), 0.0f, 1.0f);
    const float a = pad.stopping.load(std::memory_order_acquire) ? 0.12f : 0.26f;
    list->AddRectFilled(p0, ImVec2(p0.x + done * c, p1.y),
                        colourU32(ImVec4(kAccentPad.x, kAccentPad.y, kAccentPad.z, a)), kRounding);
    list->AddRect(p0, p1, colourU32(selected ? kTextLight : kAccentPad), kRounding, 0,
                  selected ? 2.5f : 2.0f);
  } else {
    list->AddRect(p0, p1, colourU32(selected ? kTextLight : kIdleBorder), kRounding, 0,
                  selected ? 2.5f : 1.0f);
  }

  char number[4];
  std::snprintf(number, sizeof number, "%d", i + 1);
  list->AddText(ImVec2(p0.x + 9, p0.y + 7), colourU32(kNumber), number);

  ImFont* font = ImGui::GetFont();
  const float size = ImGui::GetFontSize();
  const ImVec2 at(p0.x + 9, p0.y + 9 + ImGui::GetTextLineHeight());
  const ImVec4 clip(p0.x + 8, p0.y + 6, p1.x - 8, p1.y - 6);
  const float wrap = c - 18;
  if (pad.loading) {
    list->AddText(font, size, at, colourU32(kTextLight), "lädt …", nullptr, 0.0f, &clip);
  } else if (!pad.error.empty()) {
    list->AddText(font, size, at, colourU32(kRed), pad.error.c_str(), nullptr, wrap, &clip);
  } else if (sound) {
    list->AddText(font, size, at, colourU32(playing ? kAccentPad : kTextLight), pad.name.c_str(),
                  nullptr, wrap, &clip);
    if (pad.loop.load(std::memory_order_relaxed))
      loopMark(list, ImVec2(p1.x - 14, p1.y - 14), playing ? kAccentPad : kLoopIdle);
  } else if (gPadEdit) {
    const ImVec2 m = gPadPoint[i];
    list->AddLine(ImVec2(m.x - 9, m.y), ImVec2(m.x + 9, m.y), colourU32(kPlus), 2.0f);
    list->AddLine(ImVec2(m.x, m.y - 9), ImVec2(m.x, m.y + 9), colourU32(kPlus), 2.0f);
  }

  // A failed load names the file it failed on, not the sound the pad kept.
  const std::string& shown = pad.error.empty() || pad.errorFile.empty() ? pad.file : pad.errorFile;
  if (hovered && !shown.empty()) ImGui::SetTooltip("%s", shortPath(shown).c_str());
}

// Label of an editor row; its value starts at the value column.
void row(const char* label) {
  helpRow(label);
  ImGui::AlignTextToFramePadding();
  ImGui::TextColored(kLabel, "%s", label);
  ImGui::SameLine(kValueColumn, -1);
}

bool choice(const char* label, bool on, float width) {
  return coloredButton(label, on ? kAccentPad : kGray, on ? kTextDark : kTextLight, width,
                       ImGui::GetFrameHeight());
}

// The value column less 8, where the button rows start.
void buttonColumn(float gap) {
  ImGui::SetCursorPosY(ImGui::GetCursorPosY() + gap);
  ImGui::SetCursorPosX(ImGui::GetStyle().WindowPadding.x + kValueColumn - 8);
}

void filePanel(Engine& engine, int k) {
  static std::vector<std::string> files;
  PadBank& bank = engine.pads;
  PadBank::Pad& pad = bank.pads[static_cast<size_t>(k)];
  const std::string& folder = engine.settings.padsFolder;
  const float h = ImGui::GetFrameHeight();
  panelTitle("Datei", kAccentPad);

  row("Klang");
  const size_t slash = pad.file.rfind('/');
  const char* preview = pad.file.empty()             ? "keiner"
                        : slash == std::string::npos ? pad.file.c_str()
                                                     : pad.file.c_str() + slash + 1;
  ImGui::SetNextItemWidth(-1);
  if (ImGui::BeginCombo("##file", preview, 0)) {
    if (ImGui::IsWindowAppearing()) {
      makePlayerFolder(folder); // failures show as an empty list
      files = listAudioFiles(folder);
    }
    if (files.empty()) ImGui::TextDisabled("Ordner enthält keine Audiodateien");
    for (size_t n = 0; n < files.size(); ++n) {
      const std::string path = folder + "/" + files[n];
      ImGui::PushID(static_cast<int>(n));
      // The name stays until the new sound is installed, so a failed load keeps it.
      if (ImGui::Selectable(files[n].c_str(), path == pad.file)) bank.loadAsync(k, path, true);
      ImGui::PopID();
    }
    ImGui::EndCombo();
  }

  row("Ordner");
  ImGui::TextColored(kTextLight, "%s", shortPath(folder).c_str());

  buttonColumn(2);
  static std::string missing; // the helper program a click found missing
  folderButtons(engine.settings.padsFolder, "Ordner mit Audiodateien für die Pads", missing);
  if (!pad.file.empty()) {
    ImGui::SameLine(0, -1);
    if (coloredButton("Leeren", kGray, kTextLight, 80, h)) bank.clear(k);
  }
  if (!missing.empty()) {
    buttonColumn(2);
    ImGui::TextColored(kRed, "%s", missing.c_str());
  }

  if (const PadSample* sample = pad.sample.load(std::memory_order_acquire)) {
    row("Länge");
    char length[32];
    formatPadLength(length, static_cast<double>(sample->frames) / kSampleRate);
    ImGui::TextColored(kTextLight, "%s", length);
  }
  if (!pad.error.empty()) {
    row("Fehler");
    ImGui::TextColored(kRed, "%s", pad.error.c_str());
  }
}

// A logarithmic seconds slider over one of the pad's atomics.
void secondsRow(const char* label, const char* id, std::atomic<float>& value, float max) {
  row(label);
  ImGui::SetNextItemWidth(-1);
  float v = value.load();
  if (ImGui::SliderFloat(id, &v, 0.0f, max, "%.1f s", ImGuiSliderFlags_Logarithmic))
    value.exchange(v);
}

void playPanel(PadBank& bank, int k) {
  static char name[64];
  PadBank::Pad& pad = bank.pads[static_cast<size_t>(k)];
  panelTitle("Wiedergabe", kAccentPad);

  row("Name");
  // Cut at a character boundary, so an edit never stores half a character.
  const size_t n =
      pad.name.size() <= kNameBytes ? pad.name.size() : cutUtf8(pad.name, kNameBytes).size();
  std::memcpy(name, pad.name.data(), n);
  name[n] = '\0';
  ImGui::SetNextItemWidth(-1);
  if (ImGui::InputText("##name", name, sizeof name, 0)) pad.name = name;

  row("Art");
  const bool loop = pad.loop.load();
  if (choice("Einmal", !loop, 100)) pad.loop.exchange(false);
  ImGui::SameLine(0, -1);
  if (choice("Schleife", loop, 100)) pad.loop.exchange(true);

  row("Pegel");
  ImGui::SetNextItemWidth(-1);
  float db = gainToDb(pad.gain.load());
  if (ImGui::SliderFloat("##gain", &db, kMinDb, kMaxDb, "%+.1f dB", 0))
    pad.gain.exchange(dbToGain(db));
  if (ImGui::IsItemHovered() && ImGui::IsMouseDoubleClicked(ImGuiMouseButton_Left))
    pad.gain.exchange(1.0f);

  secondsRow("Einblenden", "##fin", pad.fadeIn, 60.0f);
  secondsRow("Ausblenden", "##fout", pad.fadeOut, 60.0f);
  if (loop) {
    secondsRow("Übergang", "##xf", pad.crossfade, 10.0f);
    if (ImGui::IsItemHovered())
      ImGui::SetTooltip("Überblendung vom Ende in den Anfang der Schleife");
  }

  buttonColumn(4);
  const bool sound = hasSound(pad);
  const bool stoppable = pad.playing.load() && !pad.stopping.load();
  ImGui::BeginDisabled(!sound);
  if (coloredButton(stoppable ? "Stopp" : "Abspielen", stoppable ? kAccentPad : kGray,
                    stoppable ? kTextDark : kTextLight, 140, ImGui::GetFrameHeight()))
    bank.toggle(k);
  ImGui::EndDisabled();
}

void editor(Engine& engine, float width) {
  constexpr ImGuiWindowFlags kPanelFlags =
      ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoScrollWithMouse;
  const ImVec2 size(width, (gCardH - ImGui::GetStyle().ItemSpacing.y) * 0.5f);
  const int k = gPadSel;
  ImGui::SameLine(0, kGap);
  ImGui::BeginGroup();
  ImGui::PushStyleColor(ImGuiCol_ChildBg, kCardBg);
  ImGui::BeginChild("padfile", size, true, kPanelFlags);
  filePanel(engine, k);
  ImGui::EndChild();
  ImGui::PushStyleColor(ImGuiCol_SliderGrab, kAccentPad);
  ImGui::PushStyleColor(ImGuiCol_SliderGrabActive, kAccentPad);
  ImGui::BeginChild("padplay", size, true, kPanelFlags);
  playPanel(engine.pads, k);
  ImGui::EndChild();
  ImGui::PopStyleColor(3);
  ImGui::EndGroup();
}

} // namespace

void formatPadLength(char (&out)[32], double seconds) {
  // Whole tenths first: splitting 59.96 s would otherwise print "0:60.0".
  const double s = std::isnan(seconds) ? 0.0 : std::clamp(seconds, 0.0, 1e12);
  const long long tenths = std::llround(s * 10.0);
  std::snprintf(out, sizeof out, "%lld:%02lld.%lld", tenths / 600, tenths % 600 / 10, tenths % 10);
}

void drawPads(Engine& engine) {
  static bool envRead = false;
  static bool envEdit = false;
  if (!envRead) {
    envRead = true;
    envEdit = std::getenv("VELTO_PADS_EDIT") != nullptr;
  }
  if (envEdit) gPadEdit = true;
  drawDriverNotice(engine, "Ohne den Velto-Treiber spielen die Pads nicht.");

  const ImVec2 o = ImGui::GetCursorScreenPos();
  if (gearButton(gPadEdit, gPadsGear)) gPadEdit = !gPadEdit || envEdit;
  helpItem("pads#Bearbeiten#Zahnrad");
  ImGui::SetCursorScreenPos(o);

  const ImVec2 avail = ImGui::GetContentRegionAvail();
  const bool edit = gPadEdit;
  const float e = edit ? std::clamp(avail.x * 0.4f, 420.0f, 760.0f) : 0.0f;
  gCardW = std::clamp(avail.x - (e + 116), 96.0f, 180.0f);
  fitCardHeight(avail.y);
  const float x = edit ? e + kGap : 0.0f;
  const float side = std::max(std::min(avail.x - 116 - gCardW - kGap - x, gCardH), 200.0f);
  const float total = gCardW + kGap + side + x;
  if (avail.x > total) ImGui::SetCursorPosX(ImGui::GetCursorPosX() + (avail.x - total) * 0.5f);
  if (avail.y > gCardH) ImGui::SetCursorPosY(ImGui::GetCursorPosY() + (avail.y - gCardH) * 0.5f);

  padsCard(engine);
  ImGui::SameLine(0, kGap);
  ImGui::BeginGroup();
  const ImVec2 g = ImGui::GetCursorScreenPos();
  const float c = (side - 24) / 4;
  const float pitch = c + kCellGap;
  const float top = g.y + (gCardH - side) * 0.5f;
  for (int i = 0; i < PadBank::kPads; ++i)
    padTile(engine.pads, i, ImVec2(g.x + (i % 4) * pitch, top + (i / 4) * pitch), c);
  ImGui::SetCursorScreenPos(g);
  ImGui::Dummy(ImVec2(side, gCardH));
  ImGui::EndGroup();

  if (edit) editor(engine, e);
  engine.pads.collect();
}

} // namespace velto
