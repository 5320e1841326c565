// Steps the window suites share on top of the harness.
#pragma once

#include "tests/support/ui/ui_harness.h"

#include <string>

namespace velto::test {

// Clicks `offset` from the first glyph of the last shown `text`; a failure when it is not shown.
inline void clickText(UiHarness& ui, const std::string& text, ImVec2 offset = ImVec2(0, 0)) {
  const ImVec2 p = ui.textPos(text);
  EXPECT_GE(p.x, 0.0f) << text << " not shown";
  ui.click(ImVec2(p.x + offset.x, p.y + offset.y));
}

} // namespace velto::test
