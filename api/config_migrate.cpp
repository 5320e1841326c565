// The older path layout of the configuration file, converted line by line: its fourth hardware
// output was the first virtual output, its group hardware/virtual is today's software/virtual,
// and applications chose virtual inputs under "inputs".
#include "api/api_detail.h"
#include "api/config.h"

#include <cstdlib>

namespace velto::detail {

namespace {

// The decimal number at the start (white space and a sign allowed); 0 without one.
long long leadingNumber(const std::string& text) {
  return std::strtoll(text.c_str(), nullptr, 10);
}

// An old output number as today's route below `prefix`: outputs 1 to 3 stay, 4 is the first
// virtual output, anything else has no counterpart.
std::vector<ConfigPair> outputRoute(const std::string& prefix, long long output,
                                    const std::string& body) {
  if (output >= 1 && output <= 3) return {{prefix + "/to/outputs/" + std::to_string(output), body}};
  if (output == 4) return {{prefix + "/to/virtual/1", body}};
  return {};
}

} // namespace

std::vector<ConfigPair> migrate(const std::string& path, const std::string& body) {
  const std::vector<std::string> s = splitPath(path);
  const size_t n = s.size();
  const std::vector<ConfigPair> unchanged{{path, body}};
  const auto is = [&](size_t i, const char* word) { return i < n && s[i] == word; };

  if (n == 2 && is(0, "software") && is(1, "apps")) return unchanged;
  if ((n == 2 || n == 3) && is(0, "settings")) return unchanged;
  if (n < 4) return {};

  if (is(0, "hardware") && is(1, "inputs")) {
    if (n == 5 && is(3, "outputs")) {
      return outputRoute("hardware/inputs/" + s[2], leadingNumber(s[4]), body);
    }
    return unchanged;
  }
  if (is(0, "hardware") && is(1, "virtual")) {
    if (n == 5 && is(3, "outputs")) {
      return outputRoute("software/virtual/" + s[2], leadingNumber(s[4]), body);
    }
    return {};
  }
  if (is(0, "hardware") && is(1, "outputs")) {
    const long long output = leadingNumber(s[2]);
    if (output >= 1 && output <= 3) return unchanged;
    if (output == 4 && (is(3, "gain") || is(3, "mute"))) {
      return {{"hardware/virtual/1/" + s[3], body}};
    }
    return {};
  }
  if (is(0, "software") && is(1, "apps")) {
    if (n == 5 && is(3, "inputs")) {
      const long long input = leadingNumber(s[4]);
      if (input < 1 || input > 3) return {};
      return {{"software/apps/" + s[2] + "/to/virtual/" + s[4], body}};
    }
    return unchanged;
  }
  if (is(0, "software") && is(1, "virtual")) {
    if (is(3, "name") || is(3, "gain") || is(3, "mute")) return unchanged;
    return {};
  }
  return {};
}

} // namespace velto::detail
