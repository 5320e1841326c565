#include "ui/visual_tab.h"

#include "core/peak_meter.h"
#include "engine/engine.h"
#include "ui/cards.h"
#include "ui/fader.h"
#include "ui/help.h"
#include "ui/style.h"
#include "ui/window.h"

#include <imgui_internal.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace velto {

namespace {

namespace audio = platform::audio;

constexpr int kSources = 9;
constexpr int kTargets = 6;
constexpr int kWireSteps = 32;
constexpr float kWireReach = 6.0f; // a pointer closer than this to a wire is on it
constexpr float kRowGap = 8.0f;
constexpr float kGroupGap = 6.0f;

const ImVec4 kWireNoDevice{0.26f, 0.27f, 0.33f, 0.9f};
const ImVec4 kDragOpen{0.88f, 0.89f, 0.93f, 0.8f};

struct Node {
  ImVec2 min;
  ImVec2 max;
};

// One titled group of nodes in a column.
struct Group {
  const char* title;
  const ImVec4* colour;
  int count;
};

const Group kSourceGroups[] = {
    {"HARDWARE INPUTS", &kAccentIn, 3},
    {"VIRTUAL INPUTS", &kAccentVi, 4},
    {"PLAYER UND PADS", &kAccentPlayer, 2},
};
const Group kTargetGroups[] = {
    {"HARDWARE OUTPUTS", &kAccentOut, 3},
    {"VIRTUAL OUTPUTS", &kAccentMic, 3},
};

ImVec4 withAlpha(ImVec4 c, float alpha) {
  c.w = alpha;
  return c;
}

ImU32 colour(const ImVec4& c) {
  return ImGui::GetColorU32(c);
}

const ImVec4& sourceAccent(int s) {
  if (s < 3) return kAccentIn;
  if (s < 7) return kAccentVi;
  return s == 7 ? kAccentPlayer : kAccentPad;
}

const ImVec4& targetAccent(int t) {
  return t < 3 ? kAccentOut : kAccentMic;
}

// The strip behind source node s; null for anything that is not a node, so a stray index never
// reaches the engine's arrays.
Strip* sourceStrip(Engine& engine, int s) {
  if (s < 0 || s >= kSources) return nullptr;
  if (s < 3) return &engine.hwInputs[size_t(s)].strip;
  if (s < 7) return &engine.virtualIns[size_t(s - 3)].strip;
  return s == 7 ? &engine.playerStrip : &engine.padsStrip;
}

Bus* targetBus(Engine& engine, int t) {
  return t >= 0 && t < kTargets ? &engine.buses[size_t(t)] : nullptr;
}

bool busRunning(const Bus& bus) {
  return bus.link.ioProc != audio::kNoIoProc;
}

// Every change is one atomic read-modify-write of one bit, so concurrent changes of the other
// bits by the audio side or the control interface are never lost.
void toggleRoute(Engine& engine, int s, int t) {
  Strip* strip = sourceStrip(engine, s);
  if (strip && targetBus(engine, t)) strip->routeMask.fetch_xor(1u << t);
}

void cutRoute(Engine& engine, int s, int t) {
  Strip* strip = sourceStrip(engine, s);
  if (strip && targetBus(engine, t)) strip->routeMask.fetch_and(~(1u << t));
}

// Lays out one column from y down: each group's title, then its nodes in row steps.
void placeColumn(const Group* groups, int groupCount, float x, float y, float colW, float nodeH,
                 float hdr, Node* nodes, ImVec2* titles) {
  int n = 0;
  for (int g = 0; g < groupCount; ++g) {
    if (g > 0) y += kGroupGap;
    titles[g] = ImVec2(x, y);
    y += hdr;
    for (int k = 0; k < groups[g].count; ++k, ++n) {
      nodes[n] = {ImVec2(x, y), ImVec2(x + colW, y + nodeH)};
      y += nodeH + kRowGap;
    }
  }
}

ImVec2 centre(const Node& r) {
  return ImVec2((r.min.x + r.max.x) * 0.5f, (r.min.y + r.max.y) * 0.5f);
}

ImVec2 sourceAnchor(const Node& r) {
  return ImVec2(r.max.x, (r.min.y + r.max.y) * 0.5f);
}

ImVec2 targetAnchor(const Node& r) {
  return ImVec2(r.min.x, (r.min.y + r.max.y) * 0.5f);
}

bool contains(const Node& r, ImVec2 m) {
  return m.x >= r.min.x && m.x <= r.max.x && m.y >= r.min.y && m.y <= r.max.y;
}

int nodeUnder(const Node* nodes, int count, ImVec2 m) {
  for (int n = 0; n < count; ++n)
    if (contains(nodes[n], m)) return n;
  return -1;
}

// Control points of the wire a..b: it leaves and enters horizontally.
std::pair<ImVec2, ImVec2> wireControls(ImVec2 a, ImVec2 b) {
  const float d = std::max(60.0f, (b.x - a.x) * 0.5f);
  return {ImVec2(a.x + d, a.y), ImVec2(b.x - d, b.y)};
}

void drawWire(ImDrawList* list, ImVec2 a, ImVec2 b, const ImVec4& c, float thickness) {
  const auto [c1, c2] = wireControls(a, b);
  list->AddBezierCubic(a, c1, c2, b, colour(c), thickness);
}

bool nearWire(ImVec2 a, ImVec2 b, ImVec2 m) {
  const auto [c1, c2] = wireControls(a, b);
  ImVec2 prev = a;
  for (int k = 1; k <= kWireSteps; ++k) {
    const ImVec2 p = ImBezierCubicCalc(a, c1, c2, b, float(k) / kWireSteps);
    const ImVec2 q = ImLineClosestPoint(prev, p, m);
    const float dx = q.x - m.x, dy = q.y - m.y;
    if (dx * dx + dy * dy < kWireReach * kWireReach) return true;
    prev = p;
  }
  return false;
}

std::string deviceName(const Engine& engine, const DeviceLink& link) {
  const DeviceInfo* d = engine.findDevice(link.uid);
  return d ? d->name : "kein Gerät";
}

std::string sourceSubtitle(Engine& engine, int s) {
  if (s < 3) return deviceName(engine, engine.hwInputs[size_t(s)].link);
  if (s < 6) return join(engine.appsOf(s - 3), "keine App");
  if (s == 6) return "Andere Anwendungen";
  if (s == 7) {
    const Player& player = engine.player;
    const int i = player.currentIndex();
    if (player.playing.load() && i >= 0 && size_t(i) < player.playlist.size())
      return player.playlist[size_t(i)].title;
    return "still";
  }
  std::vector<std::string> playing;
  for (const PadBank::Pad& pad : engine.pads.pads)
    if (pad.playing.load()) playing.push_back(pad.name);
  return join(playing, "still");
}

std::string targetSubtitle(Engine& engine, int t) {
  if (t < 3) return deviceName(engine, engine.buses[size_t(t)].link);
  std::string text = virtualOutDevice(t - 3);
  const std::vector<std::string>& users = engine.users[size_t(t - 3)];
  if (!users.empty()) text += " · " + join(users, "");
  return text;
}

// Paints one node: card, outline, name and subtitle cut at the right, level bar, port.
void vizNode(const Node& r, const ImVec4& accent, const std::string& name,
             const std::string& subtitle, PeakMeter& meter, bool highlighted, bool isSource) {
  ImDrawList* list = ImGui::GetWindowDrawList();
  list->AddRectFilled(r.min, r.max, colour(kCardBg), 6.0f);
  list->AddRect(r.min, r.max, colour(withAlpha(accent, highlighted ? 1.0f : 0.5f)), 6.0f, 0,
                highlighted ? 2.5f : 1.0f);
  list->PushClipRect(r.min, ImVec2(r.max.x - 8, r.max.y), true);
  list->AddText(ImVec2(r.min.x + 10, r.min.y + 5), colour(accent), name.c_str());
  list->AddText(ImVec2(r.min.x + 10, r.min.y + 5 + ImGui::GetTextLineHeight()),
                ImGui::GetColorU32(ImGuiCol_TextDisabled), subtitle.c_str());
  list->PopClipRect();
  const auto [l, rr] = pullMeter(meter);
  meterBarH(list, ImVec2(r.min.x + 10, r.max.y - 6), ImVec2(r.max.x - r.min.x - 20, 3),
            std::max(l, rr));
  const ImVec2 port = isSource ? sourceAnchor(r) : targetAnchor(r);
  list->AddCircleFilled(port, 6.0f, colour(accent));
  list->AddCircle(port, 6.0f, colour(kBg), 0, 2.0f);
}

} // namespace

void drawVisualization(Engine& engine) {
  static int dragSrc = -1;
  static int dragDst = -1;

  const ImVec2 P = ImGui::GetCursorScreenPos();
  const ImVec2 avail = ImGui::GetContentRegionAvail();
  const float W = avail.x, H = avail.y;
  // A squeezed window leaves no room; the canvas still needs a size to exist at all.
  ImGui::InvisibleButton("canvas", ImVec2(std::max(W, 1.0f), std::max(H, 1.0f)));
  const bool hovered = gHelpMode
                           ? ImGui::IsItemHovered(ImGuiHoveredFlags_AllowWhenDisabled |
                                                  ImGuiHoveredFlags_AllowWhenBlockedByActiveItem)
                           : ImGui::IsItemHovered();
  const bool active = ImGui::IsItemActive();
  const bool activated = ImGui::IsItemActivated();
  const bool released = ImGui::IsItemDeactivated();

  const float hdr = ImGui::GetTextLineHeightWithSpacing() + 6;
  const float colW = std::clamp(0.26f * W, 200.0f, 340.0f);
  const float nodeH = std::clamp((H - 3 * hdr - 16 - 64) / 9, 34.0f, 64.0f);
  const float top = std::max(4.0f, (H - (9 * nodeH + 3 * hdr + 12 + 64)) / 2);
  const float x0 = P.x + 10;
  const float x1 = P.x + W - colW - 10;

  Node src[kSources];
  Node dst[kTargets];
  ImVec2 srcTitles[3];
  ImVec2 dstTitles[2];
  placeColumn(kSourceGroups, 3, x0, P.y + top, colW, nodeH, hdr, src, srcTitles);
  placeColumn(kTargetGroups, 2, x1, P.y + top, colW, nodeH, hdr, dst, dstTitles);
  for (int s = 0; s < kSources; ++s) gVizSource[s] = centre(src[s]);
  for (int t = 0; t < kTargets; ++t) gVizTarget[t] = centre(dst[t]);

  ImDrawList* list = ImGui::GetWindowDrawList();
  for (int g = 0; g < 3; ++g)
    list->AddText(srcTitles[g], colour(*kSourceGroups[g].colour), kSourceGroups[g].title);
  for (int g = 0; g < 2; ++g)
    list->AddText(dstTitles[g], colour(*kTargetGroups[g].colour), kTargetGroups[g].title);

  const ImVec2 M = ImGui::GetIO().MousePos;
  int hoveredSource = -1, hoveredTarget = -1;
  if (hovered || active) {
    hoveredSource = nodeUnder(src, kSources, M);
    hoveredTarget = nodeUnder(dst, kTargets, M);
  }

  if (activated) {
    dragSrc = hoveredSource;
    dragDst = hoveredSource < 0 ? hoveredTarget : -1;
  }
  const bool dragging = active && (dragSrc >= 0 || dragDst >= 0);

  uint32_t masks[kSources];
  for (int s = 0; s < kSources; ++s) masks[s] = sourceStrip(engine, s)->routeMask.load();
  auto routed = [&masks](int s, int t) { return (masks[s] & (1u << t)) != 0; };

  int wireSrc = -1, wireDst = -1;
  if (hovered && hoveredSource < 0 && hoveredTarget < 0 && !dragging) {
    for (int s = 0; s < kSources; ++s)
      for (int t = 0; t < kTargets; ++t)
        if (routed(s, t) && nearWire(sourceAnchor(src[s]), targetAnchor(dst[t]), M)) {
          wireSrc = s;
          wireDst = t;
        }
  }

  for (int s = 0; s < kSources; ++s) {
    for (int t = 0; t < kTargets; ++t) {
      if (!routed(s, t)) continue;
      const bool lit = s == hoveredSource || t == hoveredTarget || (s == wireSrc && t == wireDst);
      const ImVec4 c = busRunning(engine.buses[size_t(t)])
                           ? withAlpha(sourceAccent(s), lit ? 1.0f : 0.7f)
                           : kWireNoDevice;
      drawWire(list, sourceAnchor(src[s]), targetAnchor(dst[t]), c, lit ? 4.0f : 2.5f);
    }
  }

  // In help mode the click only asks for help; the route stays.
  if (wireSrc >= 0 && !gHelpMode) {
    ImGui::SetTooltip("%s > %s\nKlick: trennen", sourceStrip(engine, wireSrc)->name.c_str(),
                      engine.buses[size_t(wireDst)].name.c_str());
    if (ImGui::IsMouseClicked(ImGuiMouseButton_Left)) cutRoute(engine, wireSrc, wireDst);
  }

  if (dragging) {
    const int s = dragSrc >= 0 ? dragSrc : hoveredSource;
    const int t = dragSrc >= 0 ? hoveredTarget : dragDst;
    const ImVec2 a = dragSrc >= 0 ? sourceAnchor(src[dragSrc]) : M;
    const ImVec2 b = dragSrc >= 0 ? M : targetAnchor(dst[dragDst]);
    ImVec4 c = kDragOpen;
    if (s >= 0 && t >= 0) {
      const bool set = routed(s, t);
      c = set ? kRed : targetAccent(t);
      ImGui::SetTooltip("%s > %s: %s", sourceStrip(engine, s)->name.c_str(),
                        engine.buses[size_t(t)].name.c_str(), set ? "trennen" : "verbinden");
    }
    drawWire(list, a, b, c, 3.0f);
  }

  if (released) {
    if (dragSrc >= 0) toggleRoute(engine, dragSrc, hoveredTarget);
    if (dragDst >= 0) toggleRoute(engine, hoveredSource, dragDst);
    dragSrc = dragDst = -1;
  }

  if (gHelpMode && hovered) {
    if (hoveredSource >= 0 || hoveredTarget >= 0)
      gHelpKey = "visualisierung#Knoten";
    else if (wireSrc >= 0)
      gHelpKey = "visualisierung#Leitungen";
    else
      gHelpKey = "visualisierung";
  }

  for (int s = 0; s < kSources; ++s) {
    Strip& strip = *sourceStrip(engine, s);
    vizNode(src[s], sourceAccent(s), strip.name, sourceSubtitle(engine, s), strip.meter,
            s == dragSrc || s == hoveredSource, true);
  }
  for (int t = 0; t < kTargets; ++t) {
    Bus& bus = engine.buses[size_t(t)];
    vizNode(dst[t], targetAccent(t), bus.name, targetSubtitle(engine, t), bus.meter,
            t == dragDst || t == hoveredTarget, false);
  }
}

} // namespace velto
