// The texts on screen in the last rendered frame, read back from the glyph quads of its draw
// data, so texts in popups, tooltips and those drawn straight into a draw list count too (the
// widget library's own log stops at the end of the first top-level window). Glyphs on one line
// join; a gap wider than one advance becomes a blank, a new line a line break; every draw
// list ends with a line break. Test thread only.
#pragma once

#include <imgui.h>
#include <imgui_internal.h>

#include <cmath>
#include <map>
#include <string>
#include <utility>

namespace velto::test {

inline std::string screenText() {
  const ImDrawData* data = ImGui::GetDrawData();
  if (data == nullptr || !data->Valid) return "";
  std::map<std::pair<float, float>, const ImFontGlyph*> byUv;
  for (const ImFont* font : ImGui::GetIO().Fonts->Fonts) {
    for (const ImFontGlyph& g : font->Glyphs) {
      if (g.Visible && g.Y1 > g.Y0) byUv[{g.U0, g.V0}] = &g;
    }
  }
  std::string out;
  for (int l = 0; l < data->CmdListsCount; ++l) {
    const ImVector<ImDrawVert>& v = data->CmdLists[l]->VtxBuffer;
    float lineY = -1e9f, nextX = 0.0f;
    for (int i = 0; i + 3 < v.Size; ++i) {
      const auto it = byUv.find({v[i].uv.x, v[i].uv.y});
      if (it == byUv.end()) continue;
      const ImFontGlyph& g = *it->second;
      if (v[i + 2].uv.x != g.U1 || v[i + 2].uv.y != g.V1) continue;
      const float scale = (v[i + 2].pos.y - v[i].pos.y) / (g.Y1 - g.Y0);
      const float x = v[i].pos.x - g.X0 * scale, y = v[i].pos.y - g.Y0 * scale;
      if (std::fabs(y - lineY) > 1.0f) {
        out += '\n';
      } else if (x > nextX + 1.0f) {
        out += ' ';
      }
      char utf8[5] = {};
      ImTextCharToUtf8(utf8, g.Codepoint);
      out += utf8;
      lineY = y;
      nextX = x + g.AdvanceX * scale;
      i += 3;
    }
    out += '\n';
  }
  return out;
}

inline bool onScreen(const std::string& part) {
  return screenText().find(part) != std::string::npos;
}

} // namespace velto::test
