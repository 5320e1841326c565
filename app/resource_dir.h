// Where the program's resources lie: under share/velto beside the program's own folder (the
// installed layout, and the build tree, which mirrors it), else in the build tree's resource
// folder. Stateless. Threading: any.
#pragma once

#include <string>

namespace velto {

// The path of the resource file `name` when it exists as a regular file; empty otherwise.
std::string resourceFile(const std::string& name);
// The path of the resource folder `name` when it exists as a directory; empty otherwise.
std::string resourceFolder(const std::string& name);

} // namespace velto
