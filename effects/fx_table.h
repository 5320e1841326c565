// The effect vocabulary: the fifteen effects an input can run, every parameter with its range,
// default and display texts, the default chain order and the key lookups.
// Read-only constant data with no owner; any thread may read it without synchronisation.
#pragma once

#include <cstdint>
#include <string>

namespace velto {

// Row index into kFx; every per-effect array of the system is indexed by it.
enum FxId : int32_t {
  aec = 0,
  lowCut = 1,
  gate = 2,
  eq = 3,
  compressor = 4,
  deEsser = 5,
  feedback = 6,
  pitch = 7,
  octaver = 8,
  harmonizer = 9,
  chorus = 10,
  echo = 11,
  reverb = 12,
  looper = 13,
  limiter = 14,
};

constexpr int kFxCount = 15;
constexpr int kFxMaxParams = 10;

struct FxParam {
  enum class Kind : int32_t { linear = 0, log = 1, choice = 2, toggle = 3 };

  const char* key;
  const char* label;
  const char* unit;
  float min;
  float max;
  float defaultValue;
  Kind kind;
  float step;          // 0: continuous; else written values snap to min + n * step
  const char* group;   // EQ band caption, or null
  const char* choices; // names of min, min + step, ... separated by "|", or null
};

struct FxInfo {
  FxId id;
  const char* key;
  const char* label;
  bool tool;      // addressed directly below the input; never counts as an effect
  bool defaultOn; // switched on in a fresh bank
  int32_t paramCount;
  FxParam params[kFxMaxParams]; // entries past paramCount are all zero
};

extern const FxInfo kFx[kFxCount];

// Default order of the movable chain (aec, feedback and limiter are placed apart from it).
inline constexpr uint32_t kDefault[12] = {1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12, 13};

// The row whose key equals `key` without regard to ASCII case; null when none does.
const FxInfo* findFx(const char* key);
// Index of the row's first parameter whose key equals `key` without regard to ASCII case;
// -1 when none does (or row or key is null).
int findParam(const FxInfo* row, const char* key);
// The n-th (0-based) name of the parameter's choice list; empty when there is none.
std::string choiceName(const FxParam& param, int n);

} // namespace velto
