#include "app/reveal.h"

#include "app/child_process.h"
#include "ui/window.h"

namespace velto {
namespace {

std::string gOpener;

} // namespace

void revealPath(const std::string& path) {
  if (gOpener.empty() || path.empty()) return;
  spawnDetached(gOpener, {"xdg-open", path});
}

void installReveal() {
  gOpener = findProgram("xdg-open");
  setRevealHandler(gOpener.empty() ? nullptr : revealPath);
  setMissingOpener(gOpener.empty() ? "xdg-open" : "");
}

} // namespace velto
