// Whole small text files: read through a close-on-exec descriptor, and replaced whole — the new
// text goes to a fresh temporary file beside the old one, reaches the disk, and only then takes
// the old one's name, so whatever fails on the way leaves the old file as it was.
// Stateless; any thread.
#pragma once

#include <string>
#include <sys/types.h>

namespace velto {

// False when the new text could not be written, with errno telling why; the old file is then
// untouched. The new file keeps the permissions of the one it replaces; a file that did not
// exist gets `newMode` less the umask.
bool replaceFile(const std::string& path, const std::string& data, mode_t newMode = 0600);
// The file's bytes; false when it cannot be opened or read.
bool readFile(const std::string& path, std::string& data);

// Whether `name` is one replaceFile would give a temporary file of the file named `base`.
bool isTemporaryName(const std::string& name, const std::string& base);
// Removes the temporary files beside `path` that interrupted saves of it left. Only for a caller
// that knows no one else is saving that file now. Returns how many it removed.
int removeTemporaryFiles(const std::string& path);

} // namespace velto
