#include "ui/effects_tab.h"

#include "effects/fx_chain.h"
#include "effects/fx_table.h"
#include "effects/input_fx.h"
#include "effects/noise_filter.h"
#include "engine/engine.h"
#include "ui/fx_panel.h"
#include "ui/help.h"
#include "ui/inputs_tab.h"
#include "ui/style.h"
#include "ui/window.h"

#include <imgui_internal.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>
#include <vector>

namespace velto {

int gFxInput = 0;
int gFxItem = -1;

namespace {

// Row and movable position of the node being dragged; -1 while none is.
int gFxDragInput = -1;
int gFxDragFrom = -1;
int gLastFrame = -1; // ImGui frame of the last tab body drawn

constexpr int kRows = 3;
constexpr int kStoredNodes = 40;
constexpr float kRowPitch = 84.0f;
constexpr float kBoxH = 54.0f;
constexpr float kGap = 16.0f;
constexpr float kInputW = 150.0f;
constexpr float kOutputsW = 140.0f;
constexpr float kPlusW = 38.0f;
constexpr float kRounding = 8.0f;
constexpr float kBand = 30.0f;    // free band above the graph
constexpr float kLabelPad = 8.0f; // least room left and right of a node's label

const ImVec4 kWireColour{0.8f, 0.79f, 0.75f, 0.85f};
const ImVec4 kWireOff{0.8f, 0.79f, 0.75f, 0.5f};
const ImVec4 kMint{0.63f, 0.92f, 0.7f, 1.0f};
const ImVec4 kRose{0.96f, 0.66f, 0.8f, 1.0f};
const ImVec4 kMintGhost{0.63f, 0.92f, 0.7f, 0.8f};
const ImVec4 kRoseGhost{0.96f, 0.66f, 0.8f, 0.8f};
const ImVec4 kMintFaint{0.63f, 0.92f, 0.7f, 0.35f};
const ImVec4 kInputFaint{0.35f, 0.75f, 0.95f, 0.4f};
const ImVec4 kOutputsLine{0.55f, 0.9f, 0.55f, 0.6f};
const ImVec4 kIdleGlyph{0.55f, 0.57f, 0.63f, 1.0f};
const ImVec4 kStatusOn{0.1f, 0.1f, 0.12f, 0.7f};
const ImVec4 kStatusOff{0.6f, 0.62f, 0.68f, 1.0f};
const ImVec4 kDimWhite{1.0f, 1.0f, 1.0f, 110.0f / 255.0f};
constexpr ImU32 kHatchOn = IM_COL32(20, 20, 25, 150);
constexpr ImU32 kHatchOff = IM_COL32(160, 235, 180, 90);

struct Node {
  std::string label;
  FxChain::Slot slot;
  bool fixed = false;
  bool on = false;
  bool inputTool = false;
};

ImVec2 operator+(ImVec2 a, ImVec2 b) {
  return ImVec2(a.x + b.x, a.y + b.y);
}

ImU32 u32(const ImVec4& c) {
  return ImGui::GetColorU32(c);
}

bool fixedId(FxId id) {
  return id == FxId::aec || id == FxId::feedback || id == FxId::limiter;
}

int itemOf(const FxChain::Slot& slot) {
  return 2 + slot.id + 15 * slot.bank;
}

// A filled rectangle recoloured along from..to: colour a at from, b at to, the fill's alpha kept.
void gradientRect(ImDrawList* list, ImVec2 min, ImVec2 max, ImVec2 from, ImVec2 to, const ImVec4& a,
                  const ImVec4& b) {
  const int first = list->VtxBuffer.Size;
  list->AddRectFilled(min, max, u32(ImVec4(1, 1, 1, 1)), kRounding);
  ImGui::ShadeVertsLinearColorGradientKeepAlpha(list, first, list->VtxBuffer.Size, from, to, u32(a),
                                                u32(b));
}

// The node gradient, shifted back and forth by a quarter of the box for a slow shimmer.
void shimmerRect(ImDrawList* list, ImVec2 min, ImVec2 max, const ImVec4& a, const ImVec4& b) {
  const float s = 0.25f * std::sin(0.9f * static_cast<float>(ImGui::GetTime()));
  const ImVec2 shift((max.x - min.x) * s, (max.y - min.y) * s);
  gradientRect(list, min, max, min + shift, max + shift, a, b);
}

void clippedText(ImDrawList* list, ImVec2 min, ImVec2 max, ImVec2 at, ImU32 colour,
                 const char* text) {
  list->PushClipRect(min, max, true);
  list->AddText(at, colour, text);
  list->PopClipRect();
}

void wire(ImDrawList* list, ImVec2 a, ImVec2 b, bool on) {
  const float d = std::max((b.x - a.x) * 0.5f, 10.0f);
  list->AddBezierCubic(a, ImVec2(a.x + d, a.y), ImVec2(b.x - d, b.y), b,
                       u32(on ? kWireColour : kWireOff), on ? 3.0f : 2.3f);
}

bool dragInRow(int r) {
  return gFxDragFrom >= 0 && gFxDragInput == r;
}

void endDrag() {
  gFxDragInput = -1;
  gFxDragFrom = -1;
}

// The two input tools, then the processing list with the fixed slots in place.
void buildNodes(const HwInput& in, std::vector<Node>& nodes) {
  const FxChain& chain = *in.fxChain;
  nodes.clear();
  nodes.push_back({"AEC", {0, FxId::aec}, true, chain.banks[0]->enabled[FxId::aec].load(), true});
  nodes.push_back({"Rauschfilter", {0, FxId::aec}, true, in.noiseFilter->enabled.load(), true});
  for (const FxChain::Slot& slot : chain.run())
    nodes.push_back(
        {slotLabel(slot), slot, fixedId(slot.id), chain.banks[slot.bank]->enabled[slot.id].load()});
}

// The row's width for every node, widened where a label would not fit inside it.
float nodeWidth(const std::string& label, float w) {
  return std::max(w, std::ceil(ImGui::CalcTextSize(label.c_str()).x) + 2 * kLabelPad);
}

std::string nodeHelpKey(const Node& n, int k) {
  if (n.inputTool) return k == 0 ? "werkzeuge#AEC" : "werkzeuge#Rauschfilter";
  const FxInfo& info = kFx[n.slot.id];
  return std::string(info.tool ? "werkzeuge#" : "effekte#") + info.label;
}

void nodeBody(ImDrawList* list, const Node& n, ImVec2 p0, ImVec2 p1, bool selected) {
  const float w = p1.x - p0.x;
  if (n.on) {
    shimmerRect(list, p0, p1, kMint, kRose);
    if (selected) list->AddRect(p0, p1, u32(ImVec4(1, 1, 1, 1)), kRounding, 0, 2.0f);
  } else {
    list->AddRectFilled(p0, p1, u32(kCardBg), kRounding);
    list->AddRect(p0, p1, u32(selected ? ImVec4(1, 1, 1, 1) : kMintFaint), kRounding, 0,
                  selected ? 2.0f : 1.0f);
  }
  if (n.fixed) {
    const ImU32 hatch = ImGui::GetColorU32(n.on ? kHatchOn : kHatchOff);
    for (float x = p0.x + 8; x < p0.x + w - 8; x += 8)
      list->AddLine(ImVec2(x, p0.y + 50), ImVec2(x + 4, p0.y + 50), hatch, 1.5f);
  }
  const float tw = ImGui::CalcTextSize(n.label.c_str()).x;
  clippedText(list, p0, p1, ImVec2(p0.x + std::max((w - tw) * 0.5f, 4.0f), p0.y + 10),
              u32(n.on ? kTextDark : kTextLight), n.label.c_str());
  const char* status = n.on ? "an" : "aus";
  const float sw = ImGui::CalcTextSize(status).x;
  clippedText(list, p0, p1, ImVec2(p0.x + (w - sw) * 0.5f, p0.y + 30),
              u32(n.on ? kStatusOn : kStatusOff), status);
}

// Switch and, for movable nodes, removal; the input tools have no menu.
void nodeMenu(FxChain& chain, const Node& n, bool movable) {
  if (!ImGui::BeginPopup("nodemenu")) return;
  std::atomic<bool>& flag = chain.banks[n.slot.bank]->enabled[n.slot.id];
  const bool on = flag.load();
  if (ImGui::MenuItem(on ? "Ausschalten" : "Einschalten")) flag.exchange(!on);
  if (movable && ImGui::MenuItem("Aus der Kette nehmen")) {
    chain.remove(n.slot);
    gFxItem = -1;
  }
  ImGui::EndPopup();
}

// One node's button: selection, drag start, menu and tooltip.
void nodeControl(FxChain& chain, const Node& n, int r, int k, int position, ImVec2 p0, float w) {
  ImGui::PushID(k);
  ImGui::SetCursorScreenPos(p0);
  const bool pressed =
      ImGui::InvisibleButton("node", ImVec2(w, kBoxH),
                             ImGuiButtonFlags_MouseButtonLeft | ImGuiButtonFlags_MouseButtonRight);
  if (gHelpMode) helpItem(nodeHelpKey(n, k)); // the key is built only when it can be used
  const int item = n.inputTool ? (k == 0 ? 2 : 1) : itemOf(n.slot);
  if (!gHelpMode) {
    if (pressed && ImGui::IsMouseReleased(ImGuiMouseButton_Left)) {
      gFxInput = r;
      gFxItem = item;
    }
    if (position >= 0 && ImGui::IsItemActive() &&
        ImGui::IsMouseDragging(ImGuiMouseButton_Left, 4.0f) && gFxDragFrom < 0) {
      gFxDragInput = r;
      gFxDragFrom = position;
    }
    if (pressed && !n.inputTool && ImGui::IsMouseReleased(ImGuiMouseButton_Right)) {
      gFxInput = r;
      gFxItem = item;
      ImGui::OpenPopup("nodemenu");
    }
    if (ImGui::IsItemHovered() && !dragInRow(r))
      ImGui::SetTooltip("%s%s", n.label.c_str(),
                        n.fixed ? " \xC2\xB7 feste Stelle" : " \xC2\xB7 ziehen zum Ordnen");
  }
  if (!n.inputTool) nodeMenu(chain, n, position >= 0);
  ImGui::PopID();
}

void plusButton(int r, ImVec2 p0) {
  const ImVec2 p1 = p0 + ImVec2(kPlusW, kPlusW);
  const ImVec2 c = p0 + ImVec2(kPlusW * 0.5f, kPlusW * 0.5f);
  gFxPlus[r] = c;
  ImGui::SetCursorScreenPos(p0);
  const bool clicked = ImGui::InvisibleButton("add", ImVec2(kPlusW, kPlusW));
  helpItem("effekte#Reiter Effekte#+");
  const bool hovered = ImGui::IsItemHovered();
  if (clicked && !gHelpMode) {
    gFxInput = r;
    ImGui::OpenPopup("addfx");
  }
  ImDrawList* list = ImGui::GetWindowDrawList();
  list->AddRect(p0, p1, u32(hovered ? kTextLight : kIdleGlyph), kRounding, 0, 1.5f);
  const ImU32 ink = u32(kTextLight);
  list->AddLine(ImVec2(c.x - 8, c.y), ImVec2(c.x + 8, c.y), ink, 2.0f);
  list->AddLine(ImVec2(c.x, c.y - 8), ImVec2(c.x, c.y + 8), ink, 2.0f);
  if (hovered && !gHelpMode) ImGui::SetTooltip("Effekt hinzuf\xC3\xBCgen");
}

// Every effect that may stand in the user's order; a new one lands in its lowest free bank.
void addMenu(FxChain& chain, int r) {
  if (!ImGui::BeginPopup("addfx")) return;
  for (const FxInfo& info : kFx) {
    if (fixedId(info.id) || !ImGui::MenuItem(info.label)) continue;
    FxChain::Slot slot{0, FxId::lowCut};
    if (!chain.add(info.id, &slot)) continue;
    chain.banks[slot.bank]->enabled[slot.id].store(true);
    gFxInput = r;
    gFxItem = itemOf(slot);
  }
  ImGui::EndPopup();
}

void outputsBox(Engine& engine, const Strip& strip, int r, ImVec2 p0) {
  static std::string names;
  names.clear();
  const uint32_t mask = strip.routeMask.load();
  for (int b = 0; b < static_cast<int>(engine.buses.size()); ++b) {
    if ((mask & (1u << b)) == 0) continue;
    if (!names.empty()) names += ", ";
    names += engine.buses[static_cast<size_t>(b)].name;
  }
  if (names.empty()) names = "nicht verbunden";
  const ImVec2 p1 = p0 + ImVec2(kOutputsW, kBoxH);
  ImDrawList* list = ImGui::GetWindowDrawList();
  list->AddRectFilled(p0, p1, u32(kCardBg), kRounding);
  list->AddRect(p0, p1, u32(kOutputsLine), kRounding, 0, 1.0f);
  clippedText(list, p0, p1, p0 + ImVec2(10, 8), u32(kAccentOut), "Outputs");
  clippedText(list, p0, p1, p0 + ImVec2(10, 28), u32(kDimWhite), names.c_str());
  helpRect(p0, p1, "effekte#Reiter Effekte#Outputs");
  if (!gHelpMode && !dragInRow(r) && ImGui::IsWindowHovered() && ImGui::IsMouseHoveringRect(p0, p1))
    ImGui::SetTooltip("%s", names.c_str());
}

// The dragged node under the mouse; on release the chain takes the computed place.
void finishDrag(FxChain& chain, int drop, float y, float w) {
  const int count = static_cast<int>(chain.movable.size());
  if (gFxDragFrom >= count) {
    endDrag();
    return;
  }
  const float mx = ImGui::GetIO().MousePos.x;
  const std::string label = slotLabel(chain.movable[static_cast<size_t>(gFxDragFrom)]);
  w = nodeWidth(label, w);
  const ImVec2 p0(mx - w * 0.5f, y), p1(mx + w * 0.5f, y + kBoxH);
  ImDrawList* fg = ImGui::GetForegroundDrawList();
  shimmerRect(fg, p0, p1, kMintGhost, kRoseGhost);
  fg->AddRect(p0, p1, u32(ImVec4(1, 1, 1, 1)), kRounding, 0, 2.0f);
  const float tw = ImGui::CalcTextSize(label.c_str()).x;
  fg->AddText(ImVec2(mx - tw * 0.5f, y + 10), u32(kTextDark), label.c_str());
  if (ImGui::IsMouseDown(ImGuiMouseButton_Left)) return;
  int target = drop < 0 ? count - 1 : drop;
  if (drop > gFxDragFrom) --target;
  if (target != gFxDragFrom) chain.move(gFxDragFrom, target);
  endDrag();
}

// One input's row; returns the right edge of its Outputs box.
float drawRow(Engine& engine, int r, ImVec2 o, float w) {
  static std::vector<Node> nodes; // storage kept across rows and frames
  HwInput& in = engine.hwInputs[static_cast<size_t>(r)];
  FxChain& chain = *in.fxChain;
  ImDrawList* list = ImGui::GetWindowDrawList();
  const float y = o.y + 4 + kRowPitch * static_cast<float>(r);
  const float wireY = y + kBoxH * 0.5f;
  ImGui::PushID(r);

  const ImVec2 b0(o.x + 8, y), b1(o.x + 8 + kInputW, y + kBoxH);
  list->AddRectFilled(b0, b1, u32(kCardBg), kRounding);
  if (r == gFxInput)
    list->AddRect(b0, b1, u32(kAccentIn), kRounding, 0, 2.0f);
  else
    list->AddRect(b0, b1, u32(kInputFaint), kRounding, 0, 1.0f);
  clippedText(list, b0, b1, b0 + ImVec2(10, 8), u32(kAccentIn), in.strip.name.c_str());
  const DeviceInfo* device = engine.findDevice(in.link.uid);
  clippedText(list, b0, b1, b0 + ImVec2(10, 28), u32(kDimWhite),
              device ? device->name.c_str() : "kein Ger\xC3\xA4t");
  ImGui::SetCursorScreenPos(b0);
  if (ImGui::InvisibleButton("input", ImVec2(kInputW, kBoxH)) && !gHelpMode) {
    gFxInput = r;
    gFxItem = -1;
  }
  helpItem("hardware-inputs#Karte");

  buildNodes(in, nodes);
  const int n = static_cast<int>(nodes.size());
  int plusAfter = 1; // the noise filter node when nothing is movable
  for (int k = 0; k < n; ++k)
    if (!nodes[k].fixed && !nodes[k].inputTool) plusAfter = k;

  const float mouseX = ImGui::GetIO().MousePos.x;
  ImVec2 a(b1.x, wireY);
  float x = b1.x + kGap;
  int position = 0, drop = -1;
  for (int k = 0; k < n; ++k) {
    const Node& node = nodes[static_cast<size_t>(k)];
    const int at = node.fixed || node.inputTool ? -1 : position++;
    wire(list, a, ImVec2(x, wireY), node.on);
    const float nw = nodeWidth(node.label, w);
    const ImVec2 p0(x, y), p1(x + nw, y + kBoxH);
    const int item = node.inputTool ? (k == 0 ? 2 : 1) : itemOf(node.slot);
    if (dragInRow(r) && at == gFxDragFrom)
      list->AddRect(p0, p1, u32(kFxPink), kRounding, 0, 1.5f);
    else
      nodeBody(list, node, p0, p1, item == gFxItem && r == gFxInput);
    nodeControl(chain, node, r, k, at, p0, nw);
    const ImVec2 centre(x + nw * 0.5f, wireY);
    if (k < kStoredNodes) gFxNode[r][k] = centre;
    if (dragInRow(r) && at >= 0 && drop < 0 && centre.x > mouseX) drop = at;
    a = ImVec2(x + nw, wireY);
    x += nw + kGap;
    if (k == plusAfter) {
      plusButton(r, ImVec2(x, y + 8));
      a = ImVec2(x + kPlusW, wireY);
      x += kPlusW + kGap;
    }
  }
  for (int k = n; k < kStoredNodes; ++k) gFxNode[r][k] = ImVec2(0, 0);
  addMenu(chain, r);

  wire(list, a, ImVec2(x, wireY), true);
  outputsBox(engine, in.strip, r, ImVec2(x, y));
  if (dragInRow(r)) finishDrag(chain, drop, y, w);
  ImGui::PopID();
  return x + kOutputsW;
}

void settingsPanel(Engine& engine, float width) {
  ImGui::PushStyleColor(ImGuiCol_ChildBg, kCardBg);
  ImGui::BeginChild("fxsettings", ImVec2(width, std::max(ImGui::GetContentRegionAvail().y, 1.0f)),
                    true);
  const std::string page = gHelpPage;
  HwInput& in = engine.hwInputs[static_cast<size_t>(gFxInput)];
  if (gFxItem < 0) {
    gHelpSection = "Reiter Effekte";
    if (gHelpMode && ImGui::IsWindowHovered(ImGuiHoveredFlags_ChildWindows |
                                            ImGuiHoveredFlags_AllowWhenBlockedByActiveItem))
      gHelpKey = "effekte#Reiter Effekte";
    ImGui::TextDisabled("%s", in.strip.name.c_str());
  } else if (gFxItem == 1) {
    gHelpPage = "werkzeuge";
    panelTitle("Rauschfilter", kAccentIn);
    ImGui::TextDisabled("Reiter Hardware Inputs > Rauschfilter");
  } else {
    // Items below 2 other than the noise filter name nothing; banks are made on demand.
    const int bank = (gFxItem - 2) / 15, id = (gFxItem - 2) % 15;
    if (gFxItem >= 2 && bank < FxChain::kBanks && in.fxChain->banks[static_cast<size_t>(bank)])
      fxSettings(engine, gFxInput, *in.fxChain->banks[static_cast<size_t>(bank)], kFx[id], bank);
    else
      gFxItem = -1;
  }
  gHelpPage = page;
  gHelpSection.clear();
  ImGui::EndChild();
  ImGui::PopStyleColor();
}

} // namespace

void drawEffects(Engine& engine) {
  // Negative values come only from outside; they would index before the first input.
  gFxInput = std::clamp(gFxInput, 0, kRows - 1);
  // A drag left behind by another tab would drop wherever the mouse is on return.
  if (ImGui::GetFrameCount() != gLastFrame + 1) endDrag();
  gLastFrame = ImGui::GetFrameCount();
  const ImGuiStyle& style = ImGui::GetStyle();
  const ImVec2 avail = ImGui::GetContentRegionAvail();

  int m = 0;
  for (const HwInput& in : engine.hwInputs)
    m = std::max(m, static_cast<int>(in.fxChain->run().size()) + 2);
  const float fm = static_cast<float>(m);
  const float w = std::clamp((avail.x - kGap - kInputW - kOutputsW - kPlusW - kGap * (fm + 2)) / fm,
                             78.0f, 112.0f);
  const float panel = gFxItem < 0 ? 60.0f : std::clamp(avail.y * 0.45f, 220.0f, 440.0f);
  const float graph = std::max(avail.y - panel - style.ItemSpacing.y, kRows * kRowPitch + kBand);

  ImGui::Dummy(ImVec2(0, kBand));
  ImGui::BeginChild("fxgraph", ImVec2(avail.x, graph - kBand - style.ItemSpacing.y), false,
                    ImGuiWindowFlags_HorizontalScrollbar);
  if (gHelpMode && ImGui::IsWindowHovered(ImGuiHoveredFlags_ChildWindows |
                                          ImGuiHoveredFlags_AllowWhenBlockedByActiveItem))
    gHelpKey = "effekte#Reiter Effekte";
  const ImVec2 o = ImGui::GetCursorScreenPos();
  float right = o.x;
  for (int r = 0; r < kRows; ++r) right = std::max(right, drawRow(engine, r, o, w));
  ImGui::SetCursorScreenPos(ImVec2(o.x, o.y + kRows * kRowPitch + 4));
  ImGui::Dummy(ImVec2(right - o.x + 10, 1));
  ImGui::EndChild();

  settingsPanel(engine, avail.x);
}

} // namespace velto
