// The one application hook table of the process.
#include "api/hooks.h"

namespace velto {

AppHooks& appHooks() {
  static AppHooks h;
  return h;
}

} // namespace velto
