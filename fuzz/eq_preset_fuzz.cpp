// Raw bytes as the text of an EQ preset file: the parser must never fail on them, what it
// accepts keeps every value finite and within its range under a valid name, and the accepted
// preset written out and read back gives the same text again.
#include "effects/eq_presets.h"
#include "effects/fx_table.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using namespace velto;

const FxInfo& eqRow() {
  return kFx[FxId::eq];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  EqPreset preset;
  if (!EqPresets::parse(text, preset)) return 0;
  if (!EqPresets::validName(preset.name)) abort();
  for (int i = 0; i < eqRow().paramCount; ++i) {
    const float v = preset.values[i];
    if (!std::isfinite(v) || v < eqRow().params[i].min || v > eqRow().params[i].max) abort();
  }
  const std::string written = EqPresets::serialize(preset);
  EqPreset again;
  if (!EqPresets::parse(written, again) || again.name != preset.name) abort();
  if (EqPresets::serialize(again) != written) abort();
  return 0;
}
