// Font files that are missing, unreadable or broken never reach ImGui: the window falls back
// to ImGui's own font and its atlas still builds.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <vector>

#include <imgui.h>

#include "app/text_layout.h"
#include "app/window_fonts.h"
#include "platform/desktop/fonts.h"

namespace {

namespace fs = std::filesystem;

class WindowFontsTest : public ::testing::Test {
protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("velto-fonts-" + std::to_string(::getpid()));
    fs::create_directories(folder_);
    context_ = ImGui::CreateContext();
  }
  void TearDown() override {
    ImGui::DestroyContext(context_);
    fs::remove_all(folder_);
  }
  std::string write(const char* name, const std::vector<char>& bytes) {
    const fs::path p = folder_ / name;
    std::ofstream(p, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    return p.string();
  }
  fs::path folder_;
  ImGuiContext* context_ = nullptr;
};

std::vector<char> fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

TEST_F(WindowFontsTest, OnlyAPlausibleFaceIsUsedAndTheAtlasAlwaysBuilds) {
  const velto::FontFiles system = velto::systemFontFiles();
  std::vector<unsigned char> checked;
  ASSERT_TRUE(platform::desktop::readFontFile(system.text, checked))
      << "fonts-liberation2 is installed by the setup script: " << system.text;
  std::vector<char> real = fileBytes(system.text);
  std::vector<char> truncated(real.begin(), real.begin() + 4096);
  std::vector<char> garbage(20000, 'x');
  std::vector<char> header = {0, 1, 0, 0};
  header.resize(4096, '\xff'); // a TrueType tag over nonsense tables
  struct Case {
    const char* what;
    std::string path;
    bool fromFiles;
  };
  const Case cases[] = {
      {"the system face", system.text, true},
      {"missing file", (folder_ / "none.ttf").string(), false},
      {"empty path", "", false},
      {"a folder", folder_.string(), false},
      {"garbage", write("garbage.ttf", garbage), false},
      {"truncated face", write("truncated.ttf", truncated), false},
      {"tag over nonsense", write("header.ttf", header), false},
      {"too small", write("small.ttf", {0, 1, 0, 0}), false},
  };
  for (const Case& c : cases) {
    ImGui::DestroyContext(context_);
    context_ = ImGui::CreateContext();
    const velto::WindowFonts fonts = velto::loadWindowFonts({c.path, system.symbols}, 1.0f);
    EXPECT_EQ(fonts.fromFiles, c.fromFiles) << c.what;
    EXPECT_EQ(fonts.title != nullptr, c.fromFiles) << c.what;
    ASSERT_NE(fonts.text, nullptr) << c.what;
    ImFontAtlas& atlas = *ImGui::GetIO().Fonts;
    EXPECT_TRUE(atlas.IsBuilt()) << c.what;
    // The text face carries the umlauts, the ellipsis and the arrows the texts use.
    if (!c.fromFiles) continue;
    for (ImWchar ch : {ImWchar(0x00FC), ImWchar(0x2026), ImWchar(0x2192), ImWchar(0x25B6)}) {
      EXPECT_NE(fonts.text->FindGlyphNoFallback(ch), nullptr) << c.what << " " << int(ch);
    }
  }
}

TEST_F(WindowFontsTest, DocumentRolesUseTheirFacesAndSizesOrFallBack) {
  const velto::DocumentFontFiles system = velto::documentFontFiles();
  const std::string missing = (folder_ / "none.ttf").string();
  using velto::Face;
  using velto::Weight;
  struct Case {
    const char* what;
    velto::DocumentFontFiles files;
    size_t roles;
    Face monoFace; // the face that stands in for the monospaced role
  };
  const Case cases[] = {
      {"all faces", system, 10, Face::Mono},
      {"no monospaced face",
       {system.regular, system.bold, missing, system.symbols},
       6,
       Face::System},
      {"nothing usable", {missing, missing, missing, missing}, 1, Face::System},
  };
  for (const Case& c : cases) {
    ImGui::DestroyContext(context_);
    context_ = ImGui::CreateContext();
    const std::vector<velto::RoleFont> fonts = velto::loadDocumentFonts(c.files, 2.0f);
    ASSERT_EQ(fonts.size(), c.roles) << c.what;
    EXPECT_TRUE(ImGui::GetIO().Fonts->IsBuilt()) << c.what;
    // ImGui's own font is not drawn at half its size.
    EXPECT_FLOAT_EQ(ImGui::GetIO().FontGlobalScale, c.roles > 1 ? 0.5f : 1.0f) << c.what;
    const ImFont* mono = velto::fontForRole(fonts, {Face::Mono, Weight::Regular, 12.5f});
    ASSERT_NE(mono, nullptr) << c.what;
    bool matched = false;
    for (const velto::RoleFont& f : fonts) {
      if (f.font != mono) continue;
      matched = true;
      EXPECT_EQ(f.role.face, c.monoFace) << c.what;
      if (c.roles > 1) {
        // Loaded at the screen scale: crisp at the role's size on a doubled screen.
        EXPECT_FLOAT_EQ(f.font->FontSize, f.role.size * 2.0f) << c.what;
      }
    }
    EXPECT_TRUE(matched) << c.what;
  }
}

} // namespace
