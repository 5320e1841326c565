// The content of the effect vocabulary and its lookups.
#include "effects/fx_table.h"

#include <cstring>

namespace velto {

namespace {

using K = FxParam::Kind;

char asciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Byte-wise comparison that folds ASCII letters only, independent of the locale.
bool equalsIgnoringCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    if (asciiLower(*a) != asciiLower(*b)) return false;
  }
  return *a == *b;
}

} // namespace

constexpr FxInfo kFx[kFxCount] = {
    {aec,
     "aec",
     "AEC",
     true,
     false,
     1,
     {
         {"strength", "Stärke", "%", 0.0f, 100.0f, 50.0f, K::linear, 0.0f, nullptr, nullptr},
     }},
    {lowCut,
     "lowcut",
     "Low-Cut",
     false,
     false,
     2,
     {
         {"frequency", "Frequenz", "Hz", 20.0f, 300.0f, 80.0f, K::log, 0.0f, nullptr, nullptr},
         {"slope", "Steilheit", "dB/Okt", 12.0f, 24.0f, 12.0f, K::choice, 12.0f, nullptr, nullptr},
     }},
    {gate,
     "gate",
     "Gate",
     true,
     false,
     5,
     {
         {"threshold", "Schwelle", "dB", -80.0f, 0.0f, -50.0f, K::linear, 0.0f, nullptr, nullptr},
         {"range", "Absenkung", "dB", 0.0f, 80.0f, 20.0f, K::linear, 0.0f, nullptr, nullptr},
         {"attack", "Attack", "ms", 0.1f, 20.0f, 1.0f, K::log, 0.0f, nullptr, nullptr},
         {"hold", "Hold", "ms", 0.0f, 500.0f, 50.0f, K::linear, 0.0f, nullptr, nullptr},
         {"release", "Release", "ms", 10.0f, 1000.0f, 150.0f, K::log, 0.0f, nullptr, nullptr},
     }},
    {eq,
     "eq",
     "EQ",
     false,
     false,
     10,
     {
         {"low-frequency", "Frequenz", "Hz", 20.0f, 500.0f, 100.0f, K::log, 0.0f, "Low-Shelf",
          nullptr},
         {"low-gain", "Gain", "dB", -18.0f, 18.0f, 0.0f, K::linear, 0.0f, "Low-Shelf", nullptr},
         {"mid1-frequency", "Frequenz", "Hz", 100.0f, 5000.0f, 400.0f, K::log, 0.0f, "Glocke 1",
          nullptr},
         {"mid1-gain", "Gain", "dB", -18.0f, 18.0f, 0.0f, K::linear, 0.0f, "Glocke 1", nullptr},
         {"mid1-q", "Q", "", 0.3f, 10.0f, 1.0f, K::log, 0.0f, "Glocke 1", nullptr},
         {"mid2-frequency", "Frequenz", "Hz", 500.0f, 12000.0f, 3000.0f, K::log, 0.0f, "Glocke 2",
          nullptr},
         {"mid2-gain", "Gain", "dB", -18.0f, 18.0f, 0.0f, K::linear, 0.0f, "Glocke 2", nullptr},
         {"mid2-q", "Q", "", 0.3f, 10.0f, 1.0f, K::log, 0.0f, "Glocke 2", nullptr},
         {"high-frequency", "Frequenz", "Hz", 2000.0f, 18000.0f, 8000.0f, K::log, 0.0f,
          "High-Shelf", nullptr},
         {"high-gain", "Gain", "dB", -18.0f, 18.0f, 0.0f, K::linear, 0.0f, "High-Shelf", nullptr},
     }},
    {compressor,
     "compressor",
     "Kompressor",
     false,
     false,
     6,
     {
         {"threshold", "Schwelle", "dB", -60.0f, 0.0f, -18.0f, K::linear, 0.0f, nullptr, nullptr},
         {"ratio", "Ratio", ":1", 1.0f, 20.0f, 3.0f, K::log, 0.0f, nullptr, nullptr},
         {"knee", "Knie", "dB", 0.0f, 24.0f, 6.0f, K::linear, 0.0f, nullptr, nullptr},
         {"attack", "Attack", "ms", 0.1f, 100.0f, 10.0f, K::log, 0.0f, nullptr, nullptr},
         {"release", "Release", "ms", 10.0f, 1000.0f, 100.0f, K::log, 0.0f, nullptr, nullptr},
         {"makeup", "Make-up", "dB", 0.0f, 24.0f, 0.0f, K::linear, 0.0f, nullptr, nullptr},
     }},
    {deEsser,
     "deesser",
     "De-Esser",
     false,
     false,
     3,
     {
         {"frequency", "Frequenz", "Hz", 3000.0f, 10000.0f, 6500.0f, K::log, 0.0f, nullptr,
          nullptr},
         {"threshold", "Schwelle", "dB", -60.0f, 0.0f, -30.0f, K::linear, 0.0f, nullptr, nullptr},
         {"range", "Absenkung", "dB", 0.0f, 20.0f, 10.0f, K::linear, 0.0f, nullptr, nullptr},
     }},
    {feedback,
     "feedback",
     "Rückkopplung",
     true,
     true,
     2,
     {
         {"sensitivity", "Empfindlichkeit", "", 1.0f, 10.0f, 5.0f, K::linear, 1.0f, nullptr,
          nullptr},
         {"range", "Absenkung", "dB", 6.0f, 30.0f, 24.0f, K::linear, 0.0f, nullptr, nullptr},
     }},
    {pitch,
     "pitch",
     "Tonhöhe",
     false,
     false,
     3,
     {
         {"mode", "Modus", "", 0.0f, 1.0f, 0.0f, K::choice, 1.0f, nullptr, "Stimme|Alles"},
         {"semitones", "Halbtöne", "", -12.0f, 12.0f, 0.0f, K::linear, 0.0f, nullptr, nullptr},
         {"mix", "Anteil", "%", 0.0f, 100.0f, 100.0f, K::linear, 0.0f, nullptr, nullptr},
     }},
    {octaver,
     "octaver",
     "Oktaver",
     false,
     false,
     4,
     {
         {"mode", "Modus", "", 0.0f, 1.0f, 0.0f, K::choice, 1.0f, nullptr, "Stimme|Alles"},
         // The minus sign of both octave labels is U+2212.
         {"octave1", "\u22121 Oktave", "%", 0.0f, 100.0f, 70.0f, K::linear, 0.0f, nullptr, nullptr},
         {"octave2", "\u22122 Oktaven", "%", 0.0f, 100.0f, 0.0f, K::linear, 0.0f, nullptr, nullptr},
         {"warmth", "Wärme", "Hz", 200.0f, 5000.0f, 1200.0f, K::log, 0.0f, nullptr, nullptr},
     }},
    {harmonizer,
     "harmonizer",
     "Harmonizer",
     false,
     false,
     8,
     {
         {"mode", "Modus", "", 0.0f, 1.0f, 0.0f, K::choice, 1.0f, nullptr, "Stimme|Alles"},
         {"key", "Tonart", "", 0.0f, 11.0f, 0.0f, K::choice, 1.0f, nullptr,
          "C|C#|D|D#|E|F|F#|G|G#|A|A#|H"},
         {"scale", "Tonleiter", "", 0.0f, 2.0f, 0.0f, K::choice, 1.0f, nullptr,
          "Dur|Moll|Chromatisch"},
         {"voice1", "Stimme 1", "Stufen", -7.0f, 7.0f, 2.0f, K::linear, 1.0f, nullptr, nullptr},
         {"voice2", "Stimme 2", "Stufen", -7.0f, 7.0f, 4.0f, K::linear, 1.0f, nullptr, nullptr},
         {"voice3", "Stimme 3", "Stufen", -7.0f, 7.0f, 0.0f, K::linear, 1.0f, nullptr, nullptr},
         {"mix", "Anteil", "%", 0.0f, 100.0f, 60.0f, K::linear, 0.0f, nullptr, nullptr},
         {"width", "Breite", "%", 0.0f, 100.0f, 70.0f, K::linear, 0.0f, nullptr, nullptr},
     }},
    {chorus,
     "chorus",
     "Chorus",
     false,
     false,
     6,
     {
         {"voices", "Stimmen", "", 1.0f, 4.0f, 2.0f, K::choice, 1.0f, nullptr, nullptr},
         {"delay", "Verzögerung", "ms", 5.0f, 40.0f, 15.0f, K::linear, 0.0f, nullptr, nullptr},
         {"depth", "Tiefe", "ms", 0.0f, 10.0f, 3.0f, K::linear, 0.0f, nullptr, nullptr},
         {"rate", "Tempo", "Hz", 0.05f, 5.0f, 0.4f, K::log, 0.0f, nullptr, nullptr},
         {"width", "Breite", "%", 0.0f, 100.0f, 80.0f, K::linear, 0.0f, nullptr, nullptr},
         {"mix", "Anteil", "%", 0.0f, 100.0f, 50.0f, K::linear, 0.0f, nullptr, nullptr},
     }},
    {echo,
     "echo",
     "Echo",
     false,
     false,
     6,
     {
         {"time", "Zeit", "ms", 1.0f, 2000.0f, 350.0f, K::log, 0.0f, nullptr, nullptr},
         {"feedback", "Rückführung", "%", 0.0f, 95.0f, 35.0f, K::linear, 0.0f, nullptr, nullptr},
         {"mix", "Anteil", "%", 0.0f, 100.0f, 25.0f, K::linear, 0.0f, nullptr, nullptr},
         {"tone", "Höhen", "Hz", 1000.0f, 20000.0f, 6000.0f, K::log, 0.0f, nullptr, nullptr},
         {"pingpong", "Ping-Pong", "", 0.0f, 1.0f, 0.0f, K::toggle, 0.0f, nullptr, nullptr},
         {"width", "Breite", "%", 0.0f, 100.0f, 100.0f, K::linear, 0.0f, nullptr, nullptr},
     }},
    {reverb,
     "reverb",
     "Hall",
     false,
     false,
     6,
     {
         {"mix", "Anteil", "%", 0.0f, 100.0f, 20.0f, K::linear, 0.0f, nullptr, nullptr},
         {"size", "Raumgröße", "%", 0.0f, 100.0f, 50.0f, K::linear, 0.0f, nullptr, nullptr},
         {"decay", "Nachhall", "s", 0.2f, 10.0f, 2.0f, K::log, 0.0f, nullptr, nullptr},
         {"damping", "Höhen", "Hz", 1000.0f, 20000.0f, 8000.0f, K::log, 0.0f, nullptr, nullptr},
         {"predelay", "Vordelay", "ms", 0.0f, 200.0f, 20.0f, K::linear, 0.0f, nullptr, nullptr},
         {"width", "Breite", "%", 0.0f, 100.0f, 100.0f, K::linear, 0.0f, nullptr, nullptr},
     }},
    {looper,
     "looper",
     "Looper",
     false,
     false,
     2,
     {
         {"level", "Pegel", "dB", -60.0f, 6.0f, 0.0f, K::linear, 0.0f, nullptr, nullptr},
         {"keep", "Behalten", "%", 0.0f, 100.0f, 100.0f, K::linear, 0.0f, nullptr, nullptr},
     }},
    {limiter,
     "limiter",
     "Limiter",
     false,
     false,
     3,
     {
         {"ceiling", "Decke", "dB", -12.0f, 0.0f, -1.0f, K::linear, 0.0f, nullptr, nullptr},
         {"release", "Release", "ms", 1.0f, 500.0f, 50.0f, K::log, 0.0f, nullptr, nullptr},
         {"lookahead", "Vorausschau", "", 0.0f, 1.0f, 0.0f, K::toggle, 0.0f, nullptr, nullptr},
     }},
};

const FxInfo* findFx(const char* key) {
  if (!key) return nullptr;
  for (const FxInfo& row : kFx) {
    if (equalsIgnoringCase(row.key, key)) return &row;
  }
  return nullptr;
}

int findParam(const FxInfo* row, const char* key) {
  if (!row || !key) return -1;
  for (int i = 0; i < row->paramCount; ++i) {
    if (equalsIgnoringCase(row->params[i].key, key)) return i;
  }
  return -1;
}

std::string choiceName(const FxParam& param, int n) {
  if (!param.choices || n < 0) return {};
  const char* start = param.choices;
  for (int i = 0; i < n; ++i) {
    start = std::strchr(start, '|');
    if (!start) return {};
    ++start;
  }
  const char* end = std::strchr(start, '|');
  return end ? std::string(start, end) : std::string(start);
}

} // namespace velto
