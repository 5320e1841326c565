// Where the program's resources lie: under share/velto beside the program's own folder (the
// installed layout, and the build tree, which mirrors it), else in the build tree's resource
// folder. Stateless. Threading: any.
#pragma once

#include <string>

namespace velto {

// The path of the resource file `name` when it exists as a regular file; empty otherwise.
std::string resourceFile(const std::string& name);

// The resource's contents when it exists and is valid UTF-8; the empty text otherwise.
std::string readResourceText(const std::string& name);

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool validUtf8(const std::string& text);

} // namespace velto
