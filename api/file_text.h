// Whole small text files: read through a close-on-exec descriptor, and replaced whole — the new
// text goes to a fresh temporary file beside the old one, reaches the disk, and only then takes
// the old one's name, so whatever fails on the way leaves the old file as it was.
// Stateless; any thread.
#pragma once

#include <string>

namespace velto {

// False when the new text could not be written; the old file is then untouched.
bool replaceFile(const std::string& path, const std::string& data);
// The file's bytes; false when it cannot be opened or read.
bool readFile(const std::string& path, std::string& data);

} // namespace velto
