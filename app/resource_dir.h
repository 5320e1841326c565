// The program's resources, in the services' resource folder (share/velto beside the program's
// own folder, as installed and in the build tree). Threading: main thread.
#pragma once

#include <string>

namespace velto {

// The path of the resource file `name` when it exists as a regular file; empty otherwise.
std::string resourceFile(const std::string& name);
// The path of the resource folder `name` when it exists as a directory; empty otherwise.
std::string resourceFolder(const std::string& name);

// The resource's contents when it exists and is valid UTF-8; the empty text otherwise.
std::string readResourceText(const std::string& name);

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool validUtf8(const std::string& text);

} // namespace velto
