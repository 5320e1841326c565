// Small file steps the suites share: a whole file read back, and a WAV of a steady tone.
#pragma once

#include "tests/platform/audiofile_fixtures.h"

#include <cstddef>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace velto::test {

// The file's bytes; empty when it cannot be read.
inline std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// `seconds` of a steady stereo level of 0.25 at 48 kHz.
inline bool writeSteadyWav(const std::string& path, size_t seconds) {
  return fixtures::writeWav(path, 48000, 2, std::vector<float>(48000 * 2 * seconds, 0.25f));
}

} // namespace velto::test
