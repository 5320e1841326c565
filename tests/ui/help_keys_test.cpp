// Every help key the window registers leads to a place in the help pages: the page file exists,
// the section is one of its second-level headings and the item a whole word of that section's
// text, found the way the help window finds them in the rendered page. The keys are collected by
// moving the mouse over every tab in help mode, also in the states that show further controls.
#include "api/api.h"
#include "api/hooks.h"
#include "effects/fx_chain.h"
#include "effects/fx_table.h"
#include "effects/input_fx.h"
#include "engine/engine.h"
#include "tests/platform/audiofile_fixtures.h"
#include "tests/support/test_files.h"
#include "tests/support/ui/ui_harness.h"
#include "ui/cards.h"
#include "ui/effects_tab.h"
#include "ui/help.h"
#include "ui/window.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

namespace velto::test {
namespace {

// ---------------------------------------------------------------------------------------------
// The pages as the help window sees them.

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines(1);
  for (char c : text)
    if (c == '\n' || c == '\r')
      lines.emplace_back();
    else
      lines.back() += c;
  return lines;
}

bool startsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

// Bold pairs and code spans lose their markers; unpaired markers stay.
std::string inlineText(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    const size_t n = s.compare(i, 2, "**") == 0 ? 2 : s[i] == '`' ? 1 : 0;
    const size_t end = n > 0 ? s.find(s.substr(i, n), i + n) : std::string::npos;
    if (end == std::string::npos) {
      out += s[i++];
      continue;
    }
    out += s.substr(i + n, end - i - n);
    i = end + n;
  }
  return out;
}

std::string trimmed(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

// The plain text of the rendered page: one line per block, code blocks as one line, every table
// cell a line of its own.
std::string rendered(const std::string& markdown) {
  const std::vector<std::string> lines = splitLines(markdown);
  std::string out;
  for (size_t i = 0; i < lines.size();) {
    const std::string& line = lines[i];
    if (startsWith(line, "```")) {
      std::string block;
      for (++i; i < lines.size() && !startsWith(lines[i], "```"); ++i)
        block += (block.empty() ? "" : "\u2028") + lines[i];
      out += block + "\n\n";
      ++i;
    } else if (startsWith(line, "|")) {
      size_t columns = 0;
      bool first = true;
      for (; i < lines.size() && startsWith(lines[i], "|"); ++i) {
        if (lines[i].find("---") != std::string::npos) continue;
        std::vector<std::string> cells;
        std::stringstream row(lines[i]);
        std::string cell;
        while (std::getline(row, cell, '|')) cells.push_back(trimmed(cell));
        if (lines[i].back() == '|') cells.push_back("");
        cells = cells.size() > 2 ? std::vector<std::string>(cells.begin() + 1, cells.end() - 1)
                                 : std::vector<std::string>();
        if (first) columns = cells.size(), first = false;
        cells.resize(columns);
        for (const std::string& c : cells) out += (c.empty() ? " " : inlineText(c)) + "\n";
      }
    } else {
      ++i;
      if (line.empty()) continue;
      const size_t level = line.find_first_not_of('#');
      if (level >= 1 && level <= 4 && line[level] == ' ')
        out += inlineText(line.substr(level + 1));
      else if (startsWith(line, "- "))
        out += "\u2022\t" + inlineText(line.substr(2));
      else
        out += inlineText(line);
      out += "\n";
    }
  }
  return out;
}

// Start of the first rendered line that equals heading (the added line feed shifts the match
// onto its first character); npos when none does.
size_t findHeading(const std::string& text, const std::string& heading) {
  return ("\n" + text).find("\n" + heading + "\n");
}

// Code points, for the word test and case folding.
std::vector<char32_t> decode(const std::string& s) {
  std::vector<char32_t> out;
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    char32_t cp = n == 1 ? c : c & (0x3F >> (n - 1));
    for (int k = 1; k < n && i + k < s.size(); ++k) cp = cp << 6 | (s[i + k] & 0x3F);
    out.push_back(cp);
    i += n;
  }
  return out;
}

char32_t folded(char32_t c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 0x20;
  return c;
}

// Letters and digits of the scripts the pages use; punctuation and symbol blocks are not.
bool wordChar(char32_t c) {
  if (c < 0x80) return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  if (c < 0x100) return c >= 0xC0 && c != 0xD7 && c != 0xF7;
  return !(c >= 0x2000 && c <= 0x2BFF);
}

// Whether item stands in text[from, to) as a whole word, letter case ignored.
bool wholeWord(const std::string& text, size_t from, size_t to, const std::string& item) {
  const std::vector<char32_t> t = decode(text.substr(from, to - from)), w = decode(item);
  if (w.empty()) return false;
  for (size_t i = 0; i + w.size() <= t.size(); ++i) {
    size_t k = 0;
    while (k < w.size() && folded(t[i + k]) == folded(w[k])) ++k;
    if (k < w.size()) continue;
    const bool before = i > 0 && wordChar(t[i - 1]);
    const bool after = i + w.size() < t.size() && wordChar(t[i + w.size()]);
    if (!before && !after) return true;
  }
  return false;
}

// Why key does not resolve in folder; empty when it does.
std::string unresolved(const std::string& folder, const std::string& key) {
  std::vector<std::string> parts;
  std::stringstream in(key);
  std::string part;
  while (std::getline(in, part, '#')) parts.push_back(part);
  parts.resize(3);
  const std::string &page = parts[0], &section = parts[1], &item = parts[2];
  const std::string file = folder + "/" + page + ".md";
  if (!std::filesystem::exists(file)) return "no page " + page;
  const std::string markdown = fileText(file);
  const std::string text = rendered(markdown);
  std::vector<std::string> sections;
  for (const std::string& line : splitLines(markdown))
    if (startsWith(line, "## ")) sections.push_back(line.substr(3));
  size_t from = 0, to = text.size();
  if (!section.empty()) {
    bool listed = false;
    for (const std::string& s : sections) listed = listed || s == section;
    const size_t at = findHeading(text, section);
    if (!listed || at == std::string::npos) return "no section " + section;
    from = at + section.size();
    for (size_t s = 0; s + 1 < sections.size(); ++s) {
      if (sections[s] != section) continue;
      const size_t next = findHeading(text, sections[s + 1]);
      if (next != std::string::npos && next > from) to = next;
      break;
    }
  }
  if (!item.empty() && !wholeWord(text, from, to, item)) return "no item " + item;
  return "";
}

const std::string kPages = std::string(VELTO_SOURCE_DIR) + "/resources/hilfe";

// ---------------------------------------------------------------------------------------------

bool noInstall(bool, std::string& error) {
  error = "abgebrochen";
  return false;
}

TEST(HelpPages, ResolverFindsKeysTheWayTheHelpWindowDoes) {
  fixtures::TempFolder dir;
  ASSERT_FALSE(dir.path.empty());
  std::ofstream(dir.path + "/p.md") << "# Seite\n## Karte\nDas **FXChain**-Feld und `a.b+[c]`, "
                                       "Ölstand.\n## Mitte\nFX steht erst hier.\n";
  const struct {
    const char* key;
    const char* why;
  } cases[] = {
      {"p#Karte", ""},
      {"q#Karte", "no page q"},
      {"p#karte", "no section karte"},
      {"p#Karte#a.b+[c]", ""},      // literal, not a pattern
      {"p#Karte#ölstand", ""},      // case folded beyond ASCII
      {"p#Karte#Feld", ""},         // a hyphen ends a word
      {"p#Karte#FX", "no item FX"}, // only inside a longer word, and after the next heading
      {"p#Mitte#FX", ""},
      {"p##FX", ""}, // no section: the whole page
  };
  for (const auto& c : cases) EXPECT_EQ(unresolved(dir.path, c.key), c.why) << c.key;
}

// The keys of the effect panel follow the effect table, so they are built from it: the panel of
// every effect with its switch, parameters and choice buttons, and the tiles of its instances.
std::vector<std::string> effectKeys() {
  std::vector<std::string> keys = {"werkzeuge#Rauschprofil", "werkzeuge#Rauschfilter"};
  for (const FxInfo& fx : kFx) {
    const std::string at = std::string(fx.tool ? "werkzeuge#" : "effekte#") + fx.label;
    keys.insert(keys.end(), {at, at + "#an / aus", at + "#an", at + "#aus"});
    for (int b = 2; b <= 4 && !fx.tool && fx.id != limiter; ++b)
      keys.push_back("effekte#" + std::string(fx.label) + " " + std::to_string(b));
    for (int i = 0; i < fx.paramCount; ++i) {
      const FxParam& p = fx.params[i];
      keys.push_back(at + "#" + p.label);
      if (p.group) keys.push_back(at + "#" + p.group);
      if (p.kind != FxParam::Kind::choice) continue;
      const int n = int(std::lround((p.max - p.min) / p.step));
      for (int k = 0; k <= n; ++k) {
        char label[32];
        if (p.choices)
          std::snprintf(label, sizeof label, "%s", choiceName(p, k).c_str());
        else if (*p.unit)
          std::snprintf(label, sizeof label, "%g %s", p.min + k * p.step, p.unit);
        else
          std::snprintf(label, sizeof label, "%g", p.min + k * p.step);
        keys.push_back(at + "#" + label);
      }
    }
  }
  return keys;
}

// Keys the walk does not reach: controls that show only in states it does not set up (a running
// measurement or loop, a paused track, a failed load, the API switched on), items of popups,
// and the overview the Hilfe menu opens.
const struct {
  const char* at;
  std::vector<const char*> items;
} kListed[] = {
    {"werkzeuge#Rauschprofil#", {"Neu messen", "Stopp", "Löschen"}},
    {"werkzeuge#Rauschfilter#", {"an", "aus"}},
    {"werkzeuge#Rückkopplung#", {"Input leiser"}},
    {"effekte#Looper#", {"Aufnahme", "Abspielen", "Overdub", "Wiederholen"}},
    {"effekte#", {"EQ-Vorlagen", "Reiter Effekte#+", "Reiter Effekte#Outputs"}},
    {"player#", {"Oben#Pause", "Playlist#Standard"}},
    {"pads#", {"Datei#Fehler", "Wiedergabe#Übergang", "Wiedergabe#Stopp"}},
    {"einstellungen#", {"Audio#Latenz", "API#an", "Start#Systemausgang zurück"}},
    {"", {"uebersicht"}},
};

TEST(HelpPages, EffectAndListedKeysResolve) {
  std::vector<std::string> keys = effectKeys();
  for (const auto& l : kListed)
    for (const char* item : l.items) keys.push_back(std::string(l.at) + item);
  for (const std::string& key : keys) EXPECT_EQ(unresolved(kPages, key), "") << key;
  // Every page of the window has its file, and nothing else is in the folder.
  size_t pages = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kPages)) {
    EXPECT_EQ(entry.path().extension(), ".md") << entry.path();
    ++pages;
  }
  EXPECT_EQ(pages, 13u);
}

// ---------------------------------------------------------------------------------------------

class HelpKeysTest : public UiEngineTest {
protected:
  void SetUp() override {
    UiEngineTest::SetUp();
    ImGuiStyle& s = ImGui::GetStyle();
    saved_ = s;
    // Cheaper drawing of the background; positions and hover rules stay as they are.
    s.AntiAliasedLines = s.AntiAliasedFill = false;
    s.CurveTessellationTol = 8.0f;
    s.CircleTessellationMaxError = 4.0f;
    ui->frames(2);
  }
  void TearDown() override {
    setHelpMode(false);
    gWantTab = -1;
    gBoardEdit = false;
    setPadsEditing(false);
    gFxItem = -1;
    gInputItem = 0;
    ImGui::GetStyle() = saved_;
    UiEngineTest::TearDown();
  }

  // One frame with the mouse at p (no rendering); the key it left under the mouse.
  const std::string& keyAt(ImVec2 p) {
    ImGuiIO& io = ImGui::GetIO();
    io.MousePos = p;
    // Nearly no time passes, so that timed notices stay up for the whole walk.
    const float dt = io.DeltaTime;
    io.DeltaTime = 1e-4f;
    gHelpKey.clear();
    ImGui::NewFrame();
    ui->scene();
    ImGui::EndFrame();
    io.DeltaTime = dt;
    ++frames_;
    return helpKeyUnderMouse();
  }

  // Spots the grid may step over: every word the last rendered frame showed (headings, labels)
  // and the points the window records of its small controls, with the board's remove buttons.
  std::vector<ImVec2> seeds() const {
    std::vector<ImVec2> out;
    std::set<std::string> words;
    std::stringstream text(ui->text());
    for (std::string w; text >> w;) words.insert(w);
    for (const std::string& w : words) out.push_back(ui->textPos(w));
    out.push_back(boardGearPoint());
    out.push_back(padsGearPoint());
    for (int n = 0; n < 64; ++n) {
      const ImVec2 centre = boardCardPoint(n), right = boardArrowPoint(n, true);
      out.insert(out.end(), {centre, boardArrowPoint(n, false), right,
                             ImVec2(right.x, centre.y - gCardH * 0.5f + 16.0f)});
    }
    for (int n = 0; n < 16; ++n) out.push_back(padPoint(n));
    for (int n = 0; n < 6; ++n) out.push_back(playerButtonPoint(n));
    for (int r = 0; r < 3; ++r) {
      out.push_back(fxPlusPoint(r));
      for (int n = 0; n < 40; ++n) out.push_back(fxNodePoint(r, n));
    }
    for (int n = 0; n < 9; ++n) out.push_back(vizSourcePoint(n));
    for (int n = 0; n < 6; ++n) out.push_back(vizTargetPoint(n));
    return out;
  }

  // A 16 px grid over from..to, refined to 8 px in every cell whose corners differ, and the
  // seeds.
  void walk(ImVec2 from, ImVec2 to) {
    setHelpMode(true);
    constexpr float kCoarse = 16.0f, kFine = 8.0f;
    const int nx = int((to.x - from.x) / kCoarse) + 1, ny = int((to.y - from.y) / kCoarse) + 1;
    std::vector<std::string> grid(size_t(nx) * ny);
    for (int j = 0; j < ny; ++j)
      for (int i = 0; i < nx; ++i)
        grid[size_t(j) * nx + i] = keyAt(ImVec2(from.x + i * kCoarse, from.y + j * kCoarse));
    for (const std::string& k : grid) keys.emplace(k, state);
    std::unordered_set<long> done;
    for (int j = 0; j + 1 < ny; ++j)
      for (int i = 0; i + 1 < nx; ++i) {
        const std::string& a = grid[size_t(j) * nx + i];
        if (a == grid[size_t(j) * nx + i + 1] && a == grid[size_t(j + 1) * nx + i] &&
            a == grid[size_t(j + 1) * nx + i + 1])
          continue;
        for (int b = 0; b <= 2; ++b)
          for (int c = 0; c <= 2; ++c) {
            if (b % 2 == 0 && c % 2 == 0) continue; // a coarse point
            const int x = 2 * i + c, y = 2 * j + b;
            if (!done.insert(long(y) * 100000 + x).second) continue;
            keys.emplace(keyAt(ImVec2(from.x + x * kFine, from.y + y * kFine)), state);
          }
      }
    for (ImVec2 p : seeds())
      if (p.x >= from.x && p.y >= from.y && p.x <= to.x && p.y <= to.y)
        keys.emplace(keyAt(p), state);
    setHelpMode(false);
  }
  void walkAll() { walk(ImVec2(2, 2), ImVec2(UiHarness::kWidth - 2, UiHarness::kHeight - 2)); }

  void show(int tab) {
    setHelpMode(false);
    selectTab(tab);
    ui->frames(2);
  }

  // Each key found, with the state in which it was first found.
  std::map<std::string, std::string> keys;
  std::string state;
  long frames_ = 0;

private:
  ImGuiStyle saved_;
};

TEST_F(HelpKeysTest, BoardOverlaysKeepTheirKeysOverTheDragHandle) {
  gBoardEdit = true;
  show(kTabBoard);
  const ImVec2 card = boardCardPoint(1), right = boardArrowPoint(1, true);
  const struct {
    const char* name;
    ImVec2 at;
    const char* key;
  } cases[] = {
      {"remove", ImVec2(right.x, card.y - gCardH * 0.5f + 16.0f), "board#Bearbeiten-Modus#\u00d7"},
      {"left arrow", boardArrowPoint(1, false), "board#Bearbeiten-Modus#Pfeil"},
      {"right arrow", right, "board#Bearbeiten-Modus#Pfeil"},
      {"card", card, "board#Bearbeiten-Modus#ziehen"},
      {"gear", boardGearPoint(), "board#Bearbeiten-Modus#Zahnrad"},
  };
  setHelpMode(true);
  for (const auto& c : cases) {
    EXPECT_EQ(keyAt(c.at), c.key) << c.name;
    EXPECT_EQ(unresolved(kPages, c.key), "") << c.name;
  }
}

TEST_F(HelpKeysTest, EveryKeyTheWindowRegistersResolves) {
  const auto start = std::chrono::steady_clock::now();
  fixtures::TempFolder files;
  ASSERT_FALSE(files.path.empty());
  ASSERT_TRUE(writeSteadyWav(files.path + "/eins.wav", 2));
  ASSERT_TRUE(writeSteadyWav(files.path + "/zwei.wav", 2));
  FxChain& chain = *engine->hwInputs[0].fxChain;

  // Everything that only shows with content: effects on, a feedback warning, further effect
  // instances, devices that are gone, a captured application, a playlist, a loaded pad, a
  // missing driver.
  applyWindowEnv(*engine, nullptr, nullptr, "1");
  engine->hwInputs[0].fx->feedbackLastHz.store(850.0f);
  engine->hwInputs[0].fx->feedbackEvents.fetch_add(1);
  for (const FxInfo& fx : kFx)
    if (!fx.tool && fx.id != limiter) chain.add(fx.id);
  engine->setHwInputDevice(2, "fehlt-uid");
  engine->setHwOutputDevice(2, "fehlt-uid");
  engine->addApp("com.example.radio");
  std::string error;
  engine->player.add(files.path + "/eins.wav", error);
  engine->player.add(files.path + "/zwei.wav", error);
  engine->player.play(0);
  engine->pads.loadAsync(0, files.path + "/eins.wav");
  for (int i = 0; i < 200 && engine->pads.pads[0].loading; ++i) settle();
  appHooks().installedDriverVersion = [] { return 0; };
  appHooks().bundledDriverVersion = [] { return 5; };
  appHooks().installDriver = noInstall;

  const ImVec2 window(UiHarness::kWidth - 2, UiHarness::kHeight - 2);
  const struct {
    const char* name;
    int tab;
    std::function<void()> setup;
    ImVec2 from, to;
  } states[] = {
      {"board editing", kTabBoard, [] { gBoardEdit = true; }, {2, 2}, window},
      {"pads editing", kTabPads, [] { setPadsEditing(true); }, {2, 2}, window},
      {"noise filter node", kTabEffects, [] { gFxItem = 1; }, {2, 300}, window},
      {"older driver",
       kTabSettings,
       [this] {
         appHooks().installedDriverVersion = [] { return 3; };
         ui->frames(100); // the row polls the driver every 3 s
       },
       {340, 2},
       {1120, 798}},
  };
  for (int tab :
       {kTabBoard, kTabInputs, kTabEffects, kTabOutputs, kTabVirtualInputs, kTabVirtualOutputs,
        kTabSoftware, kTabPlayer, kTabPads, kTabVisual, kTabSettings}) {
    state = "tab " + std::to_string(tab);
    show(tab);
    walkAll();
  }
  for (const auto& s : states) {
    state = s.name;
    s.setup();
    show(s.tab);
    walk(s.from, s.to);
  }
  // The settings panel of every item of the Hardware Inputs tab, in the tab's right area. Items
  // past 16 show the panels of the same tools and effects for their further instances.
  show(kTabInputs);
  for (int item = 0; item <= 16; ++item) {
    state = "input item " + std::to_string(item);
    selectInputItem(item);
    ui->frames(2);
    walk(ImVec2(UiHarness::kWidth * 0.45f, 200), window);
  }
  // The driver row keeps its last poll time across windows; a click on its button makes the
  // next window poll at once.
  show(kTabSettings);
  ui->click(ui->textPos("Entfernen"));
  ASSERT_TRUE(ui->shows("abgebrochen"));

  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%zu keys in %ld frames, %.1f s\n", keys.size(), frames_, seconds);

  keys.erase("");
  const bool list = std::getenv("VELTO_LIST_HELP_KEYS") != nullptr;
  for (const auto& [key, where] : keys) {
    if (list) std::printf("  %s\n", key.c_str());
    EXPECT_EQ(unresolved(kPages, key), "") << key << " (" << where << ")";
  }
  EXPECT_GE(keys.size(), 80u); // the walk reaches the controls, not only the tab pages
}

} // namespace
} // namespace velto::test
