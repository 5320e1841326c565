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

// Every face, weight and size the renderer asks for: text, headings, bold runs in each heading
// and code in each (one point below its block).
constexpr TextFont kDocumentRoles[] = {
    {Face::System, Weight::Regular, 13.5f},  {Face::System, Weight::Semibold, 13.5f},
    {Face::System, Weight::Semibold, 14.5f}, {Face::System, Weight::Semibold, 18.0f},
    {Face::System, Weight::Semibold, 26.0f}, {Face::System, Weight::Bold, 26.0f},
    {Face::Mono, Weight::Regular, 12.5f},    {Face::Mono, Weight::Regular, 13.5f},
    {Face::Mono, Weight::Regular, 17.0f},    {Face::Mono, Weight::Regular, 25.0f},
};

} // namespace

DocumentFontFiles documentFontFiles() {
  return {desktop::findFontFile("Liberation Sans"), desktop::findFontFile("Liberation Sans:bold"),
          desktop::findFontFile("DejaVu Sans Mono"), desktop::findFontFile("DejaVu Sans")};
}

std::vector<RoleFont> loadDocumentFonts(const DocumentFontFiles& files, float scale) {
  ImGuiIO& io = ImGui::GetIO();
  ImFontAtlas& atlas = *io.Fonts;
  std::vector<RoleFont> fonts;
  for (const TextFont& role : kDocumentRoles) {
    const std::string& file = role.face == Face::Mono          ? files.mono
                              : role.weight == Weight::Regular ? files.regular
                                                               : files.bold;
    const float pixels = role.size * scale;
    ImFontConfig config;
    config.OversampleH = 2;
    ImFont* font = desktop::addFontChecked(atlas, file, pixels, config, kRanges);
    if (font == nullptr) continue;
    ImFontConfig merge = config;
    merge.MergeMode = true;
    desktop::addFontChecked(atlas, files.symbols, pixels, merge, kRanges);
    fonts.push_back({role, font});
  }
  // ImGui's own font is not made for the screen scale: it stays at its size.
  float globalScale = 1.0f / scale;
  if (fonts.empty() || !atlas.Build()) {
    atlas.Clear();
    fonts.assign(1, RoleFont{kDocumentRoles[0], atlas.AddFontDefault()});
    atlas.Build();
    globalScale = 1.0f;
  }
  io.FontDefault = fonts.front().font;
  io.FontGlobalScale = globalScale;
  return fonts;
}

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
