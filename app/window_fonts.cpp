#include "app/window_fonts.h"

#include "platform/desktop/fonts.h"

namespace velto {
namespace {

namespace desktop = platform::desktop;

// Latin-1 and Latin Extended-A, general punctuation (dashes, quotes, "…", "·"), the euro sign,
// arrows, mathematical and technical symbols, geometric shapes, symbols and dingbats.
constexpr ImWchar kRanges[] = {0x0020, 0x00FF, 0x0100, 0x017F, 0x2000, 0x206F, 0x20AC,
                               0x20AC, 0x2190, 0x21FF, 0x2200, 0x23FF, 0x25A0, 0x25FF,
                               0x2600, 0x26FF, 0x2700, 0x27BF, 0};
// The title shows capital letters only.
constexpr ImWchar kTitleRanges[] = {0x0041, 0x005A, 0};

constexpr float kTextPixels = 14.0f;
constexpr float kTitlePixels = 260.0f;

} // namespace

FontFiles systemFontFiles() {
  return {desktop::findFontFile("Liberation Sans"), desktop::findFontFile("DejaVu Sans")};
}

WindowFonts loadWindowFonts(const FontFiles& files, float scale) {
  ImGuiIO& io = ImGui::GetIO();
  ImFontAtlas& atlas = *io.Fonts;
  WindowFonts fonts;
  ImFontConfig text;
  text.OversampleH = 2;
  fonts.text = desktop::addFontChecked(atlas, files.text, kTextPixels * scale, text, kRanges);
  if (fonts.text != nullptr) {
    ImFontConfig merge = text;
    merge.MergeMode = true;
    desktop::addFontChecked(atlas, files.symbols, kTextPixels * scale, merge, kRanges);
    ImFontConfig title;
    title.OversampleH = 1;
    fonts.title =
        desktop::addFontChecked(atlas, files.text, kTitlePixels * scale, title, kTitleRanges);
    fonts.fromFiles = true;
  } else {
    fonts.text = atlas.AddFontDefault();
  }
  // A face that passed the checks may still fail to build: then the library's font alone.
  if (!atlas.Build()) {
    atlas.Clear();
    fonts = WindowFonts{atlas.AddFontDefault(), nullptr, false};
    atlas.Build();
  }
  io.FontDefault = fonts.text;
  io.FontGlobalScale = 1.0f / scale;
  return fonts;
}

} // namespace velto
