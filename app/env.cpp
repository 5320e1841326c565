#include "app/env.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace velto {
namespace {

constexpr double kMaxSide = 16384.0;

bool sideOf(const std::string& text, int& side) {
  double v = 0.0;
  if (!parseNumber(text.c_str(), v) || v < 1.0 || v > kMaxSide) return false;
  side = int(std::lround(v));
  return true;
}

} // namespace

bool envSet(const char* name) {
  return std::getenv(name) != nullptr;
}

bool snapshotMode() {
  return envSet("VELTO_SNAPSHOT") || envSet("VELTO_DOCS_SNAPSHOT") || envSet("VELTO_HELP_SNAPSHOT");
}

bool parseNumber(const char* text, double& value) {
  if (text == nullptr) return false;
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text) return false;
  while (std::isspace(static_cast<unsigned char>(*end))) ++end;
  if (*end != '\0' || !std::isfinite(v)) return false;
  value = v;
  return true;
}

bool parseWindowSize(const char* text, int& width, int& height) {
  if (text == nullptr) return false;
  const std::string s(text);
  const size_t x = s.find('x');
  if (x == std::string::npos || s.find('x', x + 1) != std::string::npos) return false;
  int w = 0, h = 0;
  if (!sideOf(s.substr(0, x), w) || !sideOf(s.substr(x + 1), h)) return false;
  width = w;
  height = h;
  return true;
}

void windowSizeFromEnvironment(int& width, int& height, int defaultWidth, int defaultHeight) {
  width = defaultWidth;
  height = defaultHeight;
  parseWindowSize(std::getenv("VELTO_SIZE"), width, height);
}

void dropInvalidWindowVariables() {
  double ignored = 0.0;
  const char* intro = std::getenv("VELTO_INTRO_AT");
  if (intro != nullptr && !parseNumber(intro, ignored)) unsetenv("VELTO_INTRO_AT");
}

} // namespace velto
