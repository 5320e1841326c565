// The text functions every JSON renderer of the control interface builds on: strings quoted and
// escaped, levels with one decimal, seconds with two, string arrays. Stateless; any thread.
#pragma once

#include <string>
#include <vector>

namespace velto {

// The text as a JSON string: quote and backslash escaped, line feed as \n, every other control
// byte as \u00xx; well-formed UTF-8 passes unchanged, each ill-formed sequence becomes U+FFFD.
std::string q(const std::string& text);
// "%.1f" of the value widened to double.
std::string num(float value);
// "%.2f" of the value widened to double.
std::string secs(float value);
// A JSON array of strings, each quoted by q.
std::string list(const std::vector<std::string>& items);

} // namespace velto
