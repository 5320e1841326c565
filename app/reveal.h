// Opening a path on the desktop through xdg-open: a folder in the file manager, a file with its
// default application. Not waited for. Threading: main thread.
#pragma once

#include <string>

namespace velto {

// The reveal hook's service.
void revealPath(const std::string& path);
// Fills the window's reveal hook, or empties it where xdg-open is missing.
void installReveal();

} // namespace velto
