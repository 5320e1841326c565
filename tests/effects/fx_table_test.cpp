// The effect vocabulary: every row and parameter with its expected texts and numbers, and the
// lookups.
#include "effects/fx_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace velto {
namespace {

using K = FxParam::Kind;

struct ExpectedParam {
  const char* key;
  const char* label;
  const char* unit;
  float min, max, defaultValue;
  K kind;
  float step;
  const char* group;
  const char* choices;
};

struct ExpectedRow {
  FxId id;
  const char* key;
  const char* label;
  bool tool;
  bool defaultOn;
  std::vector<ExpectedParam> params;
};

const std::vector<ExpectedRow>& expectedTable() {
  static const std::vector<ExpectedRow> rows = {
      {aec,
       "aec",
       "AEC",
       true,
       false,
       {{"strength", "St\xC3\xA4rke", "%", 0, 100, 50, K::linear, 0, nullptr, nullptr}}},
      {lowCut,
       "lowcut",
       "Low-Cut",
       false,
       false,
       {{"frequency", "Frequenz", "Hz", 20, 300, 80, K::log, 0, nullptr, nullptr},
        {"slope", "Steilheit", "dB/Okt", 12, 24, 12, K::choice, 12, nullptr, nullptr}}},
      {gate,
       "gate",
       "Gate",
       true,
       false,
       {{"threshold", "Schwelle", "dB", -80, 0, -50, K::linear, 0, nullptr, nullptr},
        {"range", "Absenkung", "dB", 0, 80, 20, K::linear, 0, nullptr, nullptr},
        {"attack", "Attack", "ms", 0.1f, 20, 1, K::log, 0, nullptr, nullptr},
        {"hold", "Hold", "ms", 0, 500, 50, K::linear, 0, nullptr, nullptr},
        {"release", "Release", "ms", 10, 1000, 150, K::log, 0, nullptr, nullptr}}},
      {eq,
       "eq",
       "EQ",
       false,
       false,
       {{"low-frequency", "Frequenz", "Hz", 20, 500, 100, K::log, 0, "Low-Shelf", nullptr},
        {"low-gain", "Gain", "dB", -18, 18, 0, K::linear, 0, "Low-Shelf", nullptr},
        {"mid1-frequency", "Frequenz", "Hz", 100, 5000, 400, K::log, 0, "Glocke 1", nullptr},
        {"mid1-gain", "Gain", "dB", -18, 18, 0, K::linear, 0, "Glocke 1", nullptr},
        {"mid1-q", "Q", "", 0.3f, 10, 1, K::log, 0, "Glocke 1", nullptr},
        {"mid2-frequency", "Frequenz", "Hz", 500, 12000, 3000, K::log, 0, "Glocke 2", nullptr},
        {"mid2-gain", "Gain", "dB", -18, 18, 0, K::linear, 0, "Glocke 2", nullptr},
        {"mid2-q", "Q", "", 0.3f, 10, 1, K::log, 0, "Glocke 2", nullptr},
        {"high-frequency", "Frequenz", "Hz", 2000, 18000, 8000, K::log, 0, "High-Shelf", nullptr},
        {"high-gain", "Gain", "dB", -18, 18, 0, K::linear, 0, "High-Shelf", nullptr}}},
      {compressor,
       "compressor",
       "Kompressor",
       false,
       false,
       {{"threshold", "Schwelle", "dB", -60, 0, -18, K::linear, 0, nullptr, nullptr},
        {"ratio", "Ratio", ":1", 1, 20, 3, K::log, 0, nullptr, nullptr},
        {"knee", "Knie", "dB", 0, 24, 6, K::linear, 0, nullptr, nullptr},
        {"attack", "Attack", "ms", 0.1f, 100, 10, K::log, 0, nullptr, nullptr},
        {"release", "Release", "ms", 10, 1000, 100, K::log, 0, nullptr, nullptr},
        {"makeup", "Make-up", "dB", 0, 24, 0, K::linear, 0, nullptr, nullptr}}},
      {deEsser,
       "deesser",
       "De-Esser",
       false,
       false,
       {{"frequency", "Frequenz", "Hz", 3000, 10000, 6500, K::log, 0, nullptr, nullptr},
        {"threshold", "Schwelle", "dB", -60, 0, -30, K::linear, 0, nullptr, nullptr},
        {"range", "Absenkung", "dB", 0, 20, 10, K::linear, 0, nullptr, nullptr}}},
      {feedback,
       "feedback",
       "R\xC3\xBC"
       "ckkopplung",
       true,
       true,
       {{"sensitivity", "Empfindlichkeit", "", 1, 10, 5, K::linear, 1, nullptr, nullptr},
        {"range", "Absenkung", "dB", 6, 30, 24, K::linear, 0, nullptr, nullptr}}},
      {pitch,
       "pitch",
       "Tonh\xC3\xB6he",
       false,
       false,
       {{"mode", "Modus", "", 0, 1, 0, K::choice, 1, nullptr, "Stimme|Alles"},
        {"semitones", "Halbt\xC3\xB6ne", "", -12, 12, 0, K::linear, 0, nullptr, nullptr},
        {"mix", "Anteil", "%", 0, 100, 100, K::linear, 0, nullptr, nullptr}}},
      {octaver,
       "octaver",
       "Oktaver",
       false,
       false,
       {{"mode", "Modus", "", 0, 1, 0, K::choice, 1, nullptr, "Stimme|Alles"},
        {"octave1",
         "\xE2\x88\x92"
         "1 Oktave",
         "%", 0, 100, 70, K::linear, 0, nullptr, nullptr},
        {"octave2",
         "\xE2\x88\x92"
         "2 Oktaven",
         "%", 0, 100, 0, K::linear, 0, nullptr, nullptr},
        {"warmth", "W\xC3\xA4rme", "Hz", 200, 5000, 1200, K::log, 0, nullptr, nullptr}}},
      {harmonizer,
       "harmonizer",
       "Harmonizer",
       false,
       false,
       {{"mode", "Modus", "", 0, 1, 0, K::choice, 1, nullptr, "Stimme|Alles"},
        {"key", "Tonart", "", 0, 11, 0, K::choice, 1, nullptr, "C|C#|D|D#|E|F|F#|G|G#|A|A#|H"},
        {"scale", "Tonleiter", "", 0, 2, 0, K::choice, 1, nullptr, "Dur|Moll|Chromatisch"},
        {"voice1", "Stimme 1", "Stufen", -7, 7, 2, K::linear, 1, nullptr, nullptr},
        {"voice2", "Stimme 2", "Stufen", -7, 7, 4, K::linear, 1, nullptr, nullptr},
        {"voice3", "Stimme 3", "Stufen", -7, 7, 0, K::linear, 1, nullptr, nullptr},
        {"mix", "Anteil", "%", 0, 100, 60, K::linear, 0, nullptr, nullptr},
        {"width", "Breite", "%", 0, 100, 70, K::linear, 0, nullptr, nullptr}}},
      {chorus,
       "chorus",
       "Chorus",
       false,
       false,
       {{"voices", "Stimmen", "", 1, 4, 2, K::choice, 1, nullptr, nullptr},
        {"delay", "Verz\xC3\xB6gerung", "ms", 5, 40, 15, K::linear, 0, nullptr, nullptr},
        {"depth", "Tiefe", "ms", 0, 10, 3, K::linear, 0, nullptr, nullptr},
        {"rate", "Tempo", "Hz", 0.05f, 5, 0.4f, K::log, 0, nullptr, nullptr},
        {"width", "Breite", "%", 0, 100, 80, K::linear, 0, nullptr, nullptr},
        {"mix", "Anteil", "%", 0, 100, 50, K::linear, 0, nullptr, nullptr}}},
      {echo,
       "echo",
       "Echo",
       false,
       false,
       {{"time", "Zeit", "ms", 1, 2000, 350, K::log, 0, nullptr, nullptr},
        {"feedback",
         "R\xC3\xBC"
         "ckf\xC3\xBChrung",
         "%", 0, 95, 35, K::linear, 0, nullptr, nullptr},
        {"mix", "Anteil", "%", 0, 100, 25, K::linear, 0, nullptr, nullptr},
        {"tone", "H\xC3\xB6hen", "Hz", 1000, 20000, 6000, K::log, 0, nullptr, nullptr},
        {"pingpong", "Ping-Pong", "", 0, 1, 0, K::toggle, 0, nullptr, nullptr},
        {"width", "Breite", "%", 0, 100, 100, K::linear, 0, nullptr, nullptr}}},
      {reverb,
       "reverb",
       "Hall",
       false,
       false,
       {{"mix", "Anteil", "%", 0, 100, 20, K::linear, 0, nullptr, nullptr},
        {"size",
         "Raumgr\xC3\xB6\xC3\x9F"
         "e",
         "%", 0, 100, 50, K::linear, 0, nullptr, nullptr},
        {"decay", "Nachhall", "s", 0.2f, 10, 2, K::log, 0, nullptr, nullptr},
        {"damping", "H\xC3\xB6hen", "Hz", 1000, 20000, 8000, K::log, 0, nullptr, nullptr},
        {"predelay", "Vordelay", "ms", 0, 200, 20, K::linear, 0, nullptr, nullptr},
        {"width", "Breite", "%", 0, 100, 100, K::linear, 0, nullptr, nullptr}}},
      {looper,
       "looper",
       "Looper",
       false,
       false,
       {{"level", "Pegel", "dB", -60, 6, 0, K::linear, 0, nullptr, nullptr},
        {"keep", "Behalten", "%", 0, 100, 100, K::linear, 0, nullptr, nullptr}}},
      {limiter,
       "limiter",
       "Limiter",
       false,
       false,
       {{"ceiling", "Decke", "dB", -12, 0, -1, K::linear, 0, nullptr, nullptr},
        {"release", "Release", "ms", 1, 500, 50, K::log, 0, nullptr, nullptr},
        {"lookahead", "Vorausschau", "", 0, 1, 0, K::toggle, 0, nullptr, nullptr}}},
  };
  return rows;
}

// Null and text must agree exactly; texts compared byte for byte.
void expectText(const char* actual, const char* expected, const std::string& what) {
  if (!expected) {
    EXPECT_EQ(actual, nullptr) << what;
    return;
  }
  ASSERT_NE(actual, nullptr) << what;
  EXPECT_STREQ(actual, expected) << what;
}

TEST(FxTable, EveryRowAndParameterHasItsExpectedTextsAndNumbers) {
  const auto& rows = expectedTable();
  ASSERT_EQ(rows.size(), static_cast<size_t>(kFxCount));
  for (int r = 0; r < kFxCount; ++r) {
    const ExpectedRow& want = rows[r];
    const FxInfo& row = kFx[r];
    SCOPED_TRACE(want.key);
    EXPECT_EQ(static_cast<int>(want.id), r);
    EXPECT_EQ(row.id, want.id);
    expectText(row.key, want.key, "key");
    expectText(row.label, want.label, "label");
    EXPECT_EQ(row.tool, want.tool);
    EXPECT_EQ(row.defaultOn, want.defaultOn);
    ASSERT_EQ(row.paramCount, static_cast<int>(want.params.size()));
    for (int i = 0; i < row.paramCount; ++i) {
      const ExpectedParam& wp = want.params[i];
      const FxParam& p = row.params[i];
      SCOPED_TRACE(wp.key);
      expectText(p.key, wp.key, "param key");
      expectText(p.label, wp.label, "param label");
      expectText(p.unit, wp.unit, "unit");
      EXPECT_EQ(p.min, wp.min);
      EXPECT_EQ(p.max, wp.max);
      EXPECT_EQ(p.defaultValue, wp.defaultValue);
      EXPECT_EQ(p.kind, wp.kind);
      EXPECT_EQ(p.step, wp.step);
      expectText(p.group, wp.group, "group");
      expectText(p.choices, wp.choices, "choices");
      EXPECT_LE(p.min, p.defaultValue);
      EXPECT_LE(p.defaultValue, p.max);
    }
    for (int i = row.paramCount; i < kFxMaxParams; ++i) {
      const FxParam& p = row.params[i];
      EXPECT_EQ(p.key, nullptr);
      EXPECT_EQ(p.label, nullptr);
      EXPECT_EQ(p.unit, nullptr);
      EXPECT_EQ(p.min, 0.0f);
      EXPECT_EQ(p.max, 0.0f);
      EXPECT_EQ(p.defaultValue, 0.0f);
      EXPECT_EQ(p.step, 0.0f);
      EXPECT_EQ(p.group, nullptr);
      EXPECT_EQ(p.choices, nullptr);
    }
  }
}

TEST(FxTable, FractionalBoundsAreTheNearestFloats) {
  EXPECT_EQ(kFx[gate].params[2].min, static_cast<float>(0.1));
  EXPECT_EQ(kFx[eq].params[4].min, static_cast<float>(0.3));
  EXPECT_EQ(kFx[chorus].params[3].min, static_cast<float>(0.05));
  EXPECT_EQ(kFx[chorus].params[3].defaultValue, static_cast<float>(0.4));
  EXPECT_EQ(kFx[reverb].params[2].min, static_cast<float>(0.2));
}

TEST(FxTable, OctaveLabelsUseTheMinusSignNotAHyphen) {
  const char* label = kFx[octaver].params[1].label;
  ASSERT_GE(std::strlen(label), 3u);
  EXPECT_EQ(static_cast<unsigned char>(label[0]), 0xE2);
  EXPECT_EQ(static_cast<unsigned char>(label[1]), 0x88);
  EXPECT_EQ(static_cast<unsigned char>(label[2]), 0x92);
  EXPECT_EQ(std::strchr(label, '-'), nullptr);
}

TEST(FxTable, ToolsAndDefaultSwitches) {
  EXPECT_TRUE(kFx[6].defaultOn);
  EXPECT_TRUE(kFx[6].tool);
  EXPECT_FALSE(kFx[14].defaultOn);
  EXPECT_FALSE(kFx[14].tool);
  int tools = 0, on = 0;
  for (const FxInfo& row : kFx) {
    tools += row.tool ? 1 : 0;
    on += row.defaultOn ? 1 : 0;
  }
  EXPECT_EQ(tools, 3);
  EXPECT_EQ(on, 1);
}

TEST(FxTable, DefaultChainOrderLeavesOutTheToolsAndTheLimiter) {
  const uint32_t want[12] = {1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12, 13};
  for (int i = 0; i < 12; ++i) EXPECT_EQ(kDefault[i], want[i]) << i;
  for (uint32_t id : kDefault) {
    EXPECT_NE(id, static_cast<uint32_t>(aec));
    EXPECT_NE(id, static_cast<uint32_t>(feedback));
    EXPECT_NE(id, static_cast<uint32_t>(limiter));
  }
}

TEST(FxTable, FindFxIgnoresCase) {
  struct Case {
    const char* key;
    int row; // -1: not found
  };
  const Case cases[] = {
      {"ECHO", 11},   {"Echo", 11},    {"echo", 11},    {"aec", 0},          {"LowCut", 1},
      {"DEESSER", 5}, {"Limiter", 14}, {"", -1},        {"echo-2", -1},      {"echoes", -1},
      {"ech", -1},    {"low-cut", -1}, {"lowCut ", -1}, {"h\xC3\xA4ll", -1},
  };
  for (const Case& c : cases) {
    const FxInfo* row = findFx(c.key);
    if (c.row < 0) {
      EXPECT_EQ(row, nullptr) << c.key;
    } else {
      ASSERT_NE(row, nullptr) << c.key;
      EXPECT_EQ(row, &kFx[c.row]) << c.key;
    }
  }
  EXPECT_EQ(findFx(nullptr), nullptr);
  // Every key finds its own row.
  for (const FxInfo& row : kFx) EXPECT_EQ(findFx(row.key), &row);
}

TEST(FxTable, FindParamIgnoresCaseAndTakesTheFirstMatch) {
  struct Case {
    FxId fx;
    const char* key;
    int index;
  };
  const Case cases[] = {
      {eq, "MID2-Q", 7},          {eq, "q", -1},          {eq, "low-frequency", 0},
      {eq, "High-Gain", 9},       {eq, "", -1},           {gate, "HOLD", 3},
      {harmonizer, "Key", 1},     {harmonizer, "mix", 6}, {limiter, "LOOKAHEAD", 2},
      {limiter, "threshold", -1}, {aec, "strength", 0},   {echo, "feedback", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(findParam(&kFx[c.fx], c.key), c.index) << c.key;
  EXPECT_EQ(findParam(nullptr, "mix"), -1);
  EXPECT_EQ(findParam(&kFx[eq], nullptr), -1);
  // A key is never found past paramCount, even in a row whose unused slots are zero.
  FxInfo empty = kFx[looper];
  empty.paramCount = 0;
  EXPECT_EQ(findParam(&empty, "level"), -1);
}

TEST(FxTable, ChoiceNamesSplitAtTheBar) {
  const FxParam& key = kFx[harmonizer].params[1];
  const FxParam& scale = kFx[harmonizer].params[2];
  const FxParam& mode = kFx[pitch].params[0];
  const FxParam& voices = kFx[chorus].params[0];
  const FxParam& slope = kFx[lowCut].params[1];
  struct Case {
    const FxParam* param;
    int n;
    const char* name;
  };
  const Case cases[] = {
      {&key, 0, "C"},     {&key, 1, "C#"},      {&key, 10, "A#"},
      {&key, 11, "H"},    {&key, 12, ""},       {&key, -1, ""},
      {&scale, 0, "Dur"}, {&scale, 1, "Moll"},  {&scale, 2, "Chromatisch"},
      {&scale, 3, ""},    {&mode, 0, "Stimme"}, {&mode, 1, "Alles"},
      {&voices, 0, ""},   {&slope, 0, ""},      {&slope, 1, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(choiceName(*c.param, c.n), c.name) << c.n;
}

TEST(FxTable, ChoiceCountsMatchTheirRanges) {
  // Every named choice list has exactly one name per value min, min + step, ..., max.
  for (const FxInfo& row : kFx) {
    for (int i = 0; i < row.paramCount; ++i) {
      const FxParam& p = row.params[i];
      if (!p.choices) continue;
      const int values = static_cast<int>((p.max - p.min) / p.step) + 1;
      EXPECT_FALSE(choiceName(p, values - 1).empty()) << row.key << "/" << p.key;
      EXPECT_TRUE(choiceName(p, values).empty()) << row.key << "/" << p.key;
    }
  }
}

} // namespace
} // namespace velto
