#include "ui/fader.h"

#include "core/levels.h"
#include "core/peak_meter.h"
#include "engine/engine.h"
#include "ui/help.h"
#include "ui/style.h"
#include "ui/window.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace velto {

float gFaderH = 200.0f;
float gFaderMarkDb = std::numeric_limits<float>::quiet_NaN();
std::string gFaderMarkTip;
std::map<const void*, std::pair<float, float>> gMeters;

namespace {

constexpr float kGrabDistance = 12.0f; // a press this close to the handle centre grabs it
constexpr float kSpan = kMaxDb - kMinDb;
constexpr int kSegments = 24;

// Drawn through ImGui::GetColorU32, which applies the style's alpha (faded cards, the intro).
const ImU32 kZeroLine = IM_COL32(255, 255, 255, 60);
const ImU32 kZeroTick = IM_COL32(255, 255, 255, 90);
const ImU32 kFadeLine = IM_COL32(245, 180, 70, 255);
const ImU32 kPointerLine = IM_COL32(120, 200, 255, 220);
const ImU32 kHandle = IM_COL32(215, 220, 232, 255);
const ImU32 kHandleHot = IM_COL32(255, 255, 255, 255);
const ImU32 kGrip = IM_COL32(40, 42, 50, 255);

// Also maps NaN to the bottom, so nothing that is not a number reaches a gain.
float clampDb(float db) {
  return std::fmin(std::fmax(db, kMinDb), kMaxDb);
}

float roundTo(float value, float step) {
  return std::round(value / step) * step;
}

// Every user change of a gain ends its running fade first.
void setGainDb(std::atomic<float>& gain, float db) {
  if (gEngine != nullptr) gEngine->cancelFade(gain);
  gain.exchange(dbToGain(clampDb(db)));
}

bool fadeTargetOf(const std::atomic<float>& gain, float& toDb) {
  return gEngine != nullptr && gEngine->fadeTarget(gain, toDb);
}

// Parses the leading number of a popup field; false when the text does not start with one.
bool parseDb(const char* text, float& out) {
  char* end = nullptr;
  const float v = std::strtof(text, &end);
  if (end == text) return false;
  out = clampDb(v);
  return true;
}

void dbPopup(std::atomic<float>& gain, char* editBuf, size_t size) {
  if (!ImGui::BeginPopup("db")) return;
  ImGui::TextUnformatted("Pegel in dB");
  if (ImGui::IsWindowAppearing()) ImGui::SetKeyboardFocusHere();
  ImGui::SetNextItemWidth(110);
  if (ImGui::InputText("##db", editBuf, size,
                       ImGuiInputTextFlags_CharsScientific |
                           ImGuiInputTextFlags_EnterReturnsTrue)) {
    float db = 0.0f;
    if (parseDb(editBuf, db)) setGainDb(gain, db);
    ImGui::CloseCurrentPopup();
  }
  ImGui::TextDisabled("%.0f bis %+.0f, Enter", double(kMinDb), double(kMaxDb));
  ImGui::EndPopup();
}

void fadePopup(std::atomic<float>& gain, char* editBuf, size_t size, float& targetDb,
               float& speed) {
  if (!ImGui::BeginPopup("fade")) return;
  ImGui::TextUnformatted("Fade");
  ImGui::SetNextItemWidth(90);
  if (ImGui::InputText("Ziel dB", editBuf, size, ImGuiInputTextFlags_CharsScientific)) {
    float db = 0.0f;
    if (parseDb(editBuf, db)) targetDb = db;
  }
  ImGui::SetNextItemWidth(160);
  ImGui::SliderFloat("Tempo", &speed, kMinFadeSpeed, 1.0f, "%.2f", ImGuiSliderFlags_AlwaysClamp);
  const double seconds = fadeSeconds(speed);
  if (seconds <= 0.0) {
    ImGui::TextDisabled("sofort");
  } else {
    ImGui::TextDisabled("Dauer %.1f s", seconds);
  }
  const bool start = ImGui::Button("Fade starten") ||
                     ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_Enter)) ||
                     ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_KeyPadEnter));
  if (start) {
    if (gEngine != nullptr) gEngine->fadeTo(gain, targetDb, speed);
    ImGui::CloseCurrentPopup();
  }
  ImGui::SameLine();
  if (ImGui::Button("Abbrechen")) ImGui::CloseCurrentPopup();
  ImGui::EndPopup();
}

void gripLines(ImDrawList* list, bool vertical, float centre, float a, float b) {
  for (int k = -1; k <= 1; ++k) {
    if (vertical) {
      const float y = centre + 6.0f * k;
      list->AddLine(ImVec2(a, y), ImVec2(b, y), ImGui::GetColorU32(kGrip), 1.5f);
    } else {
      const float x = centre + 5.0f * k;
      list->AddLine(ImVec2(x, a), ImVec2(x, b), ImGui::GetColorU32(kGrip), 1.5f);
    }
  }
}

} // namespace

float faderFraction(float db) {
  return std::clamp((db - kMinDb) / kSpan, 0.0f, 1.0f);
}

std::string levelText(float db) {
  if (!(db > kMinDb)) return "-inf dB";
  char text[32];
  std::snprintf(text, sizeof text, "%+.1f dB", double(db));
  return text;
}

ImVec4 meterColour(float db) {
  const float u = std::clamp((db + 40.0f) / 40.0f, 0.0f, 1.0f);
  const float hue = (1.0f - u * u) * 0.33f;
  ImVec4 c(0, 0, 0, 1);
  ImGui::ColorConvertHSVtoRGB(hue, 0.7f, 0.88f, c.x, c.y, c.z);
  return c;
}

void fader(std::atomic<float>& gain, PeakMeter& meter, bool vertical, float length) {
  static float grabOffset = 0.0f;
  static const std::atomic<float>* ignoreUntilRelease = nullptr;
  static char editBuf[16] = "";
  static float fadeTargetDb = 0.0f;
  static float fadeSpeed = 0.1f;

  const float L = length > 0.0f ? length : gFaderH;
  ImGui::PushID(&gain);
  const ImVec2 P = ImGui::GetCursorScreenPos();
  const ImGuiIO& io = ImGui::GetIO();
  const float S = vertical ? P.y : P.x;
  const float M = vertical ? io.MousePos.y : io.MousePos.x;

  ImGui::InvisibleButton("##fader", vertical ? ImVec2(34, L) : ImVec2(L, 18),
                         ImGuiButtonFlags_MouseButtonLeft | ImGuiButtonFlags_MouseButtonRight);
  helpItem("uebersicht#Fader");
  const bool hovered = ImGui::IsItemHovered();
  const bool dragging = ImGui::IsItemActive() && ImGui::IsMouseDown(ImGuiMouseButton_Left);

  const float d0 = gainToDb(gain.load());
  const float H = vertical ? S + L * (1.0f - faderFraction(d0)) : S + L * faderFraction(d0);
  float m = std::clamp((M - S) / L, 0.0f, 1.0f);
  if (vertical) m = 1.0f - m;
  const float mouseDb = kMinDb + kSpan * m;
  const float dist = std::fabs(M - H);

  if (ImGui::IsItemActivated() && ImGui::IsMouseDown(ImGuiMouseButton_Left)) {
    grabOffset = dist <= kGrabDistance ? H - M : 0.0f;
  }
  if (hovered && ImGui::IsMouseDoubleClicked(ImGuiMouseButton_Left)) {
    setGainDb(gain, 0.0f);
    ignoreUntilRelease = &gain;
  }
  if (ignoreUntilRelease == &gain && !ImGui::IsMouseDown(ImGuiMouseButton_Left)) {
    ignoreUntilRelease = nullptr;
  }
  if (dragging && ignoreUntilRelease != &gain) {
    float db;
    if (io.KeyShift) {
      const float delta = vertical ? -io.MouseDelta.y : io.MouseDelta.x;
      db = d0 + (delta * kSpan / L) * 0.1f;
    } else {
      float t = std::clamp((grabOffset + M - S) / L, 0.0f, 1.0f);
      if (vertical) t = 1.0f - t;
      db = kMinDb + kSpan * t;
    }
    setGainDb(gain, db);
  }
  if (hovered && io.MouseWheel != 0.0f) {
    setGainDb(gain, roundTo(d0 + 0.5f * io.MouseWheel, 0.5f));
  }
  if (hovered && ImGui::IsMouseClicked(ImGuiMouseButton_Right)) {
    if (dist <= kGrabDistance) {
      std::snprintf(editBuf, sizeof editBuf, "%.1f", double(d0));
      ImGui::OpenPopup("db");
    } else {
      fadeTargetDb = roundTo(mouseDb, 0.1f);
      std::snprintf(editBuf, sizeof editBuf, "%.1f", double(fadeTargetDb));
      ImGui::OpenPopup("fade");
    }
  }
  dbPopup(gain, editBuf, sizeof editBuf);
  fadePopup(gain, editBuf, sizeof editBuf, fadeTargetDb, fadeSpeed);

  const bool popupOpen = ImGui::IsPopupOpen("db") || ImGui::IsPopupOpen("fade");
  if (!popupOpen) {
    if (dragging) {
      ImGui::SetTooltip("%s", levelText(gainToDb(gain.load())).c_str());
    } else if (hovered && dist <= kGrabDistance) {
      ImGui::SetTooltip("%s\nRechtsklick: Zahl eingeben", levelText(d0).c_str());
    } else if (hovered) {
      ImGui::SetTooltip("%s\nRechtsklick: Fade hierher", levelText(mouseDb).c_str());
    }
  }

  float targetDb = 0.0f;
  const bool fading = fadeTargetOf(gain, targetDb);
  const bool pointer = hovered && !dragging && dist > kGrabDistance;
  const float pointerAt = std::clamp(M, S, S + L);
  const bool hot = (hovered && dist <= kGrabDistance) || dragging;
  const float now = faderFraction(gainToDb(gain.load()));
  ImDrawList* list = ImGui::GetWindowDrawList();
  const ImU32 track = ImGui::GetColorU32(kTrack);

  if (vertical) {
    const float mid = P.x + 17.0f;
    const float y0 = P.y + L / 6.0f;
    list->AddRectFilled(ImVec2(mid - 3, P.y), ImVec2(mid + 3, P.y + L), track, 3.0f);
    list->AddLine(ImVec2(P.x, y0), ImVec2(P.x + 34, y0), ImGui::GetColorU32(kZeroLine), 1.0f);
    if (fading) {
      const float y = P.y + L * (1.0f - faderFraction(targetDb));
      list->AddLine(ImVec2(P.x, y), ImVec2(P.x + 34, y), ImGui::GetColorU32(kFadeLine), 2.0f);
    }
    if (pointer)
      list->AddLine(ImVec2(P.x, pointerAt), ImVec2(P.x + 34, pointerAt),
                    ImGui::GetColorU32(kPointerLine), 2);
    const float hy = P.y + L * (1.0f - now);
    list->AddRectFilled(ImVec2(P.x, hy - 12), ImVec2(P.x + 34, hy + 12),
                        ImGui::GetColorU32(hot ? kHandleHot : kHandle), 4.0f);
    gripLines(list, true, hy, P.x + 7, P.x + 27);

    const std::pair<float, float> shown = pullMeter(meter);
    ImGui::SameLine(0, 6);
    const ImVec2 Q = ImGui::GetCursorScreenPos();
    meterBar(list, Q, ImVec2(8, L), shown.first);
    meterBar(list, ImVec2(Q.x + 11, Q.y), ImVec2(8, L), shown.second);
    helpRect(Q, ImVec2(Q.x + 19, Q.y + L), "uebersicht#Pegelanzeige");
    list->AddLine(ImVec2(Q.x - 1, y0), ImVec2(Q.x + 20, y0), ImGui::GetColorU32(kZeroTick), 1.0f);
    if (!std::isnan(gFaderMarkDb)) {
      const float y = P.y + L * (1.0f - faderFraction(gFaderMarkDb));
      list->AddLine(ImVec2(Q.x - 3, y), ImVec2(Q.x + 22, y), ImGui::GetColorU32(kRed), 2.0f);
      const ImVec2 a(Q.x - 4, y - 5), b(Q.x + 23, y + 5);
      if (!popupOpen && ImGui::IsWindowHovered() && ImGui::IsMouseHoveringRect(a, b, false)) {
        ImGui::SetTooltip("%s", gFaderMarkTip.c_str());
      }
      helpRect(a, b, "werkzeuge#Gate#roter Strich");
    }
    ImGui::Dummy(ImVec2(19, L));
  } else {
    const float mid = P.y + 9.0f;
    const float x0 = P.x + L * 5.0f / 6.0f;
    list->AddRectFilled(ImVec2(P.x, mid - 3), ImVec2(P.x + L, mid + 3), track, 3.0f);
    list->AddLine(ImVec2(x0, P.y), ImVec2(x0, P.y + 18), ImGui::GetColorU32(kZeroLine), 1.0f);
    if (fading) {
      const float x = P.x + L * faderFraction(targetDb);
      list->AddLine(ImVec2(x, P.y), ImVec2(x, P.y + 18), ImGui::GetColorU32(kFadeLine), 2.0f);
    }
    if (pointer)
      list->AddLine(ImVec2(pointerAt, P.y), ImVec2(pointerAt, P.y + 18),
                    ImGui::GetColorU32(kPointerLine), 2);
    const float hx = P.x + L * now;
    list->AddRectFilled(ImVec2(hx - 10, P.y - 1), ImVec2(hx + 10, P.y + 19),
                        ImGui::GetColorU32(hot ? kHandleHot : kHandle), 4.0f);
    gripLines(list, false, hx, P.y + 4, P.y + 14);

    const std::pair<float, float> shown = pullMeter(meter);
    meterBarH(list, ImVec2(P.x, P.y + 19), ImVec2(L, 3), shown.first);
    meterBarH(list, ImVec2(P.x, P.y + 23), ImVec2(L, 3), shown.second);
    ImGui::Dummy(ImVec2(L, 8));
  }

  gFaderMarkDb = std::numeric_limits<float>::quiet_NaN();
  ImGui::PopID();
}

void faderBlock(std::atomic<float>& gain, PeakMeter& meter) {
  ImGui::Dummy(ImVec2(0, 8));
  ImGui::SetCursorPosX(ImGui::GetCursorPosX() +
                       std::max(0.0f, (ImGui::GetContentRegionAvail().x - 59.0f) * 0.5f));
  fader(gain, meter, true, 0.0f);

  std::string label = levelText(gainToDb(gain.load()));
  float targetDb = 0.0f;
  if (fadeTargetOf(gain, targetDb)) label += " > " + levelText(targetDb);
  const float width = ImGui::CalcTextSize(label.c_str()).x;
  ImGui::SetCursorPosX(ImGui::GetCursorPosX() +
                       std::max(0.0f, (ImGui::GetContentRegionAvail().x - width) * 0.5f));
  ImGui::TextDisabled("%s", label.c_str());
  helpItem("uebersicht#Fader");
}

std::pair<float, float> pullMeter(PeakMeter& meter) {
  std::pair<float, float>& shown = gMeters[&meter];
  const float k = std::pow(10.0f, -ImGui::GetIO().DeltaTime);
  shown.first = std::max(shown.first * k, meter.left.exchange(0.0f));
  shown.second = std::max(shown.second * k, meter.right.exchange(0.0f));
  return shown;
}

// A fill edge closer than this to a segment border ends the bar there, so rounding in the
// dB conversion never adds a sliver segment.
constexpr float kEdgeSlack = 0.01f;

void meterBar(ImDrawList* list, ImVec2 pos, ImVec2 size, float level) {
  list->AddRectFilled(pos, ImVec2(pos.x + size.x, pos.y + size.y), ImGui::GetColorU32(kTrack),
                      2.0f);
  if (!(level > 0.0f)) return;
  const float h = size.y;
  const float top = pos.y + h * (1.0f - faderFraction(gainToDb(level)));
  auto colourAt = [&](float y) {
    return ImGui::GetColorU32(meterColour(kMinDb + kSpan * (1.0f - (y - pos.y) / h)));
  };
  for (int i = 1; i <= kSegments; ++i) {
    const float bottom = pos.y + h * (1.0f - float(i - 1) / kSegments);
    if (bottom <= top + kEdgeSlack) break;
    const float upper = std::max(top, pos.y + h * (1.0f - float(i) / kSegments));
    const ImU32 a = colourAt(upper), b = colourAt(bottom);
    list->AddRectFilledMultiColor(ImVec2(pos.x, upper), ImVec2(pos.x + size.x, bottom), a, a, b, b);
  }
}

void meterBarH(ImDrawList* list, ImVec2 pos, ImVec2 size, float level) {
  list->AddRectFilled(pos, ImVec2(pos.x + size.x, pos.y + size.y), ImGui::GetColorU32(kTrack),
                      1.0f);
  if (!(level > 0.0f)) return;
  const float w = size.x;
  const float right = pos.x + w * faderFraction(gainToDb(level));
  auto colourAt = [&](float x) {
    return ImGui::GetColorU32(meterColour(kMinDb + kSpan * (x - pos.x) / w));
  };
  for (int i = 1; i <= kSegments; ++i) {
    const float left = pos.x + float(i - 1) * w / kSegments;
    if (left + kEdgeSlack >= right) break;
    const float end = std::min(right, pos.x + float(i) * w / kSegments);
    const ImU32 a = colourAt(left), b = colourAt(end);
    list->AddRectFilledMultiColor(ImVec2(left, pos.y), ImVec2(end, pos.y + size.y), a, b, b, a);
  }
}

} // namespace velto
