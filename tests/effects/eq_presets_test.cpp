// The EQ preset store in a fresh HOME: factory presets, saving, listing, applying, removing,
// importing and exporting ".veltoeq" files, and the refusals with their German messages.
#include "effects/eq_presets.h"
#include "effects/input_fx.h"
#include "tests/support/dispatch_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>

namespace velto {
namespace {

namespace fs = std::filesystem;

constexpr float kNeutral[10] = {100, 0, 400, 0, 1, 3000, 0, 1, 8000, 0};

class EqPresetStore : public test::DispatchTest {
protected:
  std::string folder() const { return home_ + "/Library/Application Support/Velto/eq"; }
  static void write(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
  static std::string read(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
  }
  static std::vector<std::string> userNames() {
    std::vector<std::string> out;
    for (const EqPreset& p : EqPresets::all()) {
      if (!p.factory) out.push_back(p.name);
    }
    return out;
  }
  static EqPreset preset(const std::string& name, const float* values = kNeutral) {
    EqPreset p;
    p.name = name;
    std::copy(values, values + 10, p.values);
    return p;
  }
  std::string error;
};

TEST_F(EqPresetStore, FactoryPresetsComeFirstAndNeutralIsTheTableDefault) {
  EXPECT_EQ(EqPresets::folder(), folder());
  const auto all = EqPresets::all(); // no folder yet: only the factory presets
  ASSERT_EQ(all.size(), 5u);
  const char* expected[] = {"Neutral", "Stimme warm", "Podcast", "ASMR nah", "Akustikgitarre"};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(all[i].name, expected[i]);
    EXPECT_TRUE(all[i].factory);
  }
  for (int i = 0; i < 10; ++i) EXPECT_EQ(all[0].values[i], kFx[FxId::eq].params[i].defaultValue);
  EXPECT_EQ(all[2].values[4], 1.4f); // "Podcast" mid1-q
  EXPECT_FALSE(fs::exists(folder()));
}

TEST_F(EqPresetStore, SavingWritesTheFileFormatCreatingTheFolders) {
  const float warm[10] = {120, 3, 350, -2, 1.2f, 3000, 1, 1, 10000, -1.5f};
  ASSERT_TRUE(EqPresets::save(preset("Warm", warm), error)) << error;
  EXPECT_EQ(read(folder() + "/Warm.veltoeq"),
            "# velto-eq 1\nname=Warm\nlow-frequency=120\nlow-gain=3\nmid1-frequency=350\n"
            "mid1-gain=-2\nmid1-q=1.2\nmid2-frequency=3000\nmid2-gain=1\nmid2-q=1\n"
            "high-frequency=10000\nhigh-gain=-1.5\n");
  EqPreset found;
  ASSERT_TRUE(EqPresets::find("Warm", found));
  EXPECT_FALSE(found.factory);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(found.values[i], warm[i]);

  EXPECT_FALSE(EqPresets::save(preset("Neutral"), error));
  EXPECT_EQ(error, "Name einer Werksvorlage");
  EXPECT_TRUE(EqPresets::save(preset("neutral"), error)); // the comparison is exact
}

TEST_F(EqPresetStore, NameRules) {
  const struct {
    std::string name;
    bool valid;
  } cases[] = {
      {"a", true},
      {std::string(60, 'x'), true},
      {std::string(61, 'x'), false},
      {"", false},
      {".versteckt", false},
      {"a.b", true},
      {"Sprache/Musik", false},
      {"Teil:1", false},
      {"Größe über alles", true},
      {"Tab\there", false},
      {"Zeile\nzwei", false},
      {std::string("null\0x", 6), false},
      {"del\x7f", false},
      {"\x1b[31mrot", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EqPresets::validName(c.name), c.valid) << "'" << c.name << "'";
    error.clear();
    EXPECT_EQ(EqPresets::save(preset(c.name), error), c.valid) << "'" << c.name << "'";
    EXPECT_EQ(error, c.valid ? "" : "Name ungültig");
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(folder()), fs::directory_iterator()), 4);
}

TEST_F(EqPresetStore, ListingReadsNameLinesOfStemmedFilesInByteOrder) {
  for (const char* name : {"b", "B", "a"}) ASSERT_TRUE(EqPresets::save(preset(name), error));
  write(folder() + "/datei.veltoeq", "# velto-eq 1\nname=Innen\n"); // named by its line
  write(folder() + "/x.veltoeq", "# velto-eq 1\nname=Ein Buchstabe\n");
  write(folder() + "/.veltoeq", "# velto-eq 1\nname=Nur Endung\n");
  write(folder() + "/y.txt", "# velto-eq 1\nname=Andere Endung\n");
  fs::create_directories(folder() + "/ordner.veltoeq");
  EXPECT_EQ(userNames(), (std::vector<std::string>{"B", "Ein Buchstabe", "Innen", "a", "b"}));
}

TEST_F(EqPresetStore, ReadingIsTolerantOfOrderCaseAndMissingLines) {
  EqPreset p;
  ASSERT_TRUE(EqPresets::parse("# velto-eq 1\n"
                               "mid1-q=50\n"    // clamped to 10
                               "LOW-GAIN=4.5\n" // key without regard to case
                               "ohne Gleichheitszeichen\n"
                               "farbe=blau\n"    // unknown key
                               "mid2-gain=abc\n" // no number reads as 0
                               "high-gain=-40\n" // clamped to -18
                               "name=Lose  \n",  // the whole rest, spaces too
                               p));
  EXPECT_EQ(p.name, "Lose  ");
  const float want[10] = {100, 4.5f, 400, 0, 10, 3000, 0, 1, 8000, -18};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(p.values[i], want[i]) << i;
}

TEST_F(EqPresetStore, ForeignAndDamagedFilesAreRefusedAndSkipped) {
  const char* bad[] = {
      "# velto-eq 2\nname=Version\n",
      "# velto-eq 1 \nname=Leerzeichen\n",
      "# velto-eq 1\r\nname=Windows\r\n",
      "name=Ohne Kopf\n",
      "# velto-eq 1\nlow-gain=3\n",
      "# velto-eq 1\nname=.versteckt\n",
      "# velto-eq 1\nname=Zeile\x1b\n",
      "# velto-eq 1\nname=NaN\nmid1-gain=nan\n",
      "# velto-eq 1\nname=Inf\nlow-frequency=inf\n",
      "# velto-eq 1\nname=Riesig\nhigh-gain=1e40\n",
      "",
  };
  int n = 0;
  for (const char* text : bad) {
    const std::string path = folder() + "/" + std::to_string(n++) + ".veltoeq";
    write(path, text);
    std::string name = "unverändert";
    EXPECT_FALSE(EqPresets::importFrom(path, name, error)) << text;
    EXPECT_EQ(error, "keine EQ-Vorlage") << text;
    EXPECT_EQ(name, "unverändert");
  }
  EXPECT_TRUE(userNames().empty());
  std::string name;
  EXPECT_FALSE(EqPresets::importFrom(home_ + "/fehlt.veltoeq", name, error));
  EXPECT_EQ(error, "Datei nicht lesbar");
  EXPECT_FALSE(EqPresets::importFrom(folder(), name, error)); // a folder
  EXPECT_EQ(error, "Datei nicht lesbar");
}

TEST_F(EqPresetStore, ImportExportAndRemove) {
  const std::string source = home_ + "/Downloads/p.veltoeq";
  write(source, "# velto-eq 1\nname=Podcast\nlow-gain=5\n");
  std::string name;
  ASSERT_TRUE(EqPresets::importFrom(source, name, error)) << error;
  EXPECT_EQ(name, "Podcast (Import)");
  EqPreset p;
  ASSERT_TRUE(EqPresets::find("Podcast (Import)", p));
  EXPECT_EQ(p.values[1], 5.0f);

  const std::string target = home_ + "/export.veltoeq";
  ASSERT_TRUE(EqPresets::exportTo("Akustikgitarre", target, error)) << error;
  ASSERT_TRUE(EqPresets::parse(read(target), p));
  EXPECT_EQ(p.name, "Akustikgitarre");
  EXPECT_EQ(p.values[4], 1.5f);
  EXPECT_FALSE(EqPresets::exportTo("Unbekannt", target, error));
  EXPECT_EQ(error, "nicht gefunden");
  EXPECT_FALSE(EqPresets::exportTo("Neutral", home_ + "/fehlt/x.veltoeq", error));
  EXPECT_EQ(error, "nicht geschrieben");

  ASSERT_TRUE(EqPresets::remove("Podcast (Import)", error)) << error;
  EXPECT_TRUE(userNames().empty());
  EXPECT_FALSE(EqPresets::remove("Stimme warm", error));
  EXPECT_EQ(error, "Werksvorlage");
  EXPECT_FALSE(EqPresets::remove("podcast (import)", error)); // case matters
  EXPECT_EQ(error, "nicht gefunden");
}

TEST_F(EqPresetStore, SaveFailsWhenTheFolderCannotBeMade) {
  write(home_ + "/Library", "eine Datei, kein Ordner");
  EXPECT_FALSE(EqPresets::save(preset("Irgendwas"), error));
  EXPECT_EQ(error, "nicht gespeichert");
}

TEST_F(EqPresetStore, PresetsMoveBetweenBanksThroughTheirValues) {
  auto from = std::make_unique<InputFx>();
  const float values[10] = {150, -4, 500, -1, 1, 5000, 2, 0.8f, 12000, 4};
  for (int i = 0; i < 10; ++i) from->set(FxId::eq, i, values[i]);
  ASSERT_TRUE(EqPresets::save(EqPresets::fromFx("Kopie", *from), error)) << error;
  auto to = std::make_unique<InputFx>();
  EqPreset p;
  ASSERT_TRUE(EqPresets::find("Kopie", p));
  EqPresets::apply(p, *to);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(to->params[FxId::eq][i].load(), values[i]) << i;
  EXPECT_FALSE(to->enabled[FxId::eq].load()); // the switch is left alone

  // Out of range is clamped on the way in; a value that is no number is refused everywhere.
  p.values[0] = 5.0f;
  p.values[3] = std::numeric_limits<float>::quiet_NaN();
  EqPresets::apply(p, *to);
  EXPECT_EQ(to->params[FxId::eq][0].load(), 20.0f);
  EXPECT_EQ(to->params[FxId::eq][3].load(), -1.0f);
  EXPECT_FALSE(EqPresets::save(p, error));
  EXPECT_EQ(error, "nicht gespeichert");
}

} // namespace
} // namespace velto
