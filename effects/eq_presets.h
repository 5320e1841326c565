// The store of EQ presets: five built-in factory presets and the user's presets, one small text
// file each (".veltoeq", first line "# velto-eq 1") in "$HOME/Library/Application
// Support/Velto/eq". No state of its own: every call re-reads the folder. Main thread only; plain
// file I/O on regular files only (at most 64 KiB read), so no path can block or exhaust memory.
#pragma once

#include "effects/fx_table.h"

#include <string>
#include <vector>

namespace velto {

class InputFx;

struct EqPreset {
  std::string name;
  bool factory = false;
  float values[kFxMaxParams] = {}; // the eq parameters in table order
};

struct FactoryEqPreset {
  const char* name;
  float values[kFxMaxParams];
};

inline constexpr FactoryEqPreset kFactory[5] = {
    {"Neutral", {100, 0, 400, 0, 1, 3000, 0, 1, 8000, 0}},
    {"Stimme warm", {120, 3, 350, -2, 1.2f, 3000, 1, 1, 10000, -1.5f}},
    {"Podcast", {100, -2, 250, -3, 1.4f, 3500, 3, 1.2f, 10000, 2}},
    {"ASMR nah", {150, -4, 500, -1, 1, 5000, 2, 0.8f, 12000, 4}},
    {"Akustikgitarre", {100, -3, 250, -2, 1.5f, 2500, 2, 1, 8000, 2}},
};

struct EqPresets {
  static constexpr const char* kMarker = "# velto-eq 1";
  static constexpr const char* kExtension = ".veltoeq";

  static std::string folder(); // does not create it
  static std::string serialize(const EqPreset& preset);
  // Starts from the table defaults and an empty name; `factory` is left as the caller set it.
  static bool parse(const std::string& text, EqPreset& preset);
  // 1..60 bytes, not starting with ".", no "/", ":" or control character.
  static bool validName(const std::string& name);

  static std::vector<EqPreset> all(); // factory presets, then the user's sorted by name
  static bool find(const std::string& name, EqPreset& out);
  static void apply(const EqPreset& preset, InputFx& bank); // the switch is not touched
  static EqPreset fromFx(const std::string& name, const InputFx& bank);

  // Each writes a German message into `error` on failure.
  static bool save(const EqPreset& preset, std::string& error);
  static bool remove(const std::string& name, std::string& error);
  static bool exportTo(const std::string& name, const std::string& path, std::string& error);
  // With `renamed` given, an existing preset of the same name is kept: the import takes the
  // first free name "<name> (2)", "(3)", ... and *renamed tells whether it had to.
  static bool importFrom(const std::string& path, std::string& name, std::string& error,
                         bool* renamed = nullptr);
};

} // namespace velto
