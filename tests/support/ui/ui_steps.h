// Steps the window suites share on top of the harness.
#pragma once

#include "tests/support/ui/ui_harness.h"

#include <algorithm>
#include <string>

namespace velto::test {

// Clicks `offset` from the first glyph of the last shown `text`; a failure when it is not shown.
inline void clickText(UiHarness& ui, const std::string& text, ImVec2 offset = ImVec2(0, 0)) {
  const ImVec2 p = ui.textPos(text);
  EXPECT_GE(p.x, 0.0f) << text << " not shown";
  ui.click(ImVec2(p.x + offset.x, p.y + offset.y));
}

// Bounding box of every vertex drawn in `colour` in the last frame; empty when none.
struct Box {
  ImVec2 min{1e9f, 1e9f}, max{-1e9f, -1e9f};
  bool empty() const { return min.x > max.x; }
  bool contains(ImVec2 p) const {
    return p.x >= min.x && p.x <= max.x && p.y >= min.y && p.y <= max.y;
  }
};

inline Box drawnIn(const ImVec4& colour) {
  const ImU32 want = ImGui::ColorConvertFloat4ToU32(colour);
  Box box;
  const ImDrawData* data = ImGui::GetDrawData();
  for (int l = 0; data != nullptr && l < data->CmdListsCount; ++l) {
    for (const ImDrawVert& v : data->CmdLists[l]->VtxBuffer) {
      if (v.col != want) continue;
      box.min = ImVec2(std::min(box.min.x, v.pos.x), std::min(box.min.y, v.pos.y));
      box.max = ImVec2(std::max(box.max.x, v.pos.x), std::max(box.max.y, v.pos.y));
    }
  }
  return box;
}

} // namespace velto::test
